#!/usr/bin/env python3
"""A PyMeasure procedure: ramps a supply's power command in steps and records the power the
head gives at each, through PyMeasure's Results (a CSV file with the procedure's parameters in
its header). The supply is reached over VISA, for example an instrument socket of
`mavozarp serve --allow-control --token-file TOKEN_FILE`.

    pymeasure_ramp.py RESOURCE DATA_FILE [--token-file FILE] [--to POWER] [--steps N]
"""

import argparse
import logging
import sys
import time

from pymeasure.experiment import (FloatParameter, IntegerParameter, Parameter, Procedure,
                                  Results, Worker)

from mavozarp.pymeasure import Supply


#region Procedure
class PowerRamp(Procedure):
    resource = Parameter("VISA resource")
    start = FloatParameter("Start", default=0.0)
    stop = FloatParameter("Stop", default=1.0)
    steps = IntegerParameter("Steps", minimum=1, default=5)
    settle = FloatParameter("Settling time", units="s", minimum=0, default=0.1)
    DATA_COLUMNS = ["Power command", "Power"]
    token = None  # not a parameter: Results would write it into the data file
    changed = False

    def startup(self):
        self.supply = Supply(self.resource, token=self.token, visa_library="@py")

    def execute(self):
        for step in range(self.steps + 1):
            command = self.start + (self.stop - self.start) * step / self.steps
            self.supply.power_command = command
            self.changed = True
            time.sleep(self.settle)
            self.emit("results", {"Power command": command, "Power": self.supply.power})
            self.emit("progress", 100 * (step + 1) / (self.steps + 1))
            if self.should_stop():
                break
#endregion

    def shutdown(self):
        # PyMeasure's worker finishes only when this returns: it must not raise.
        supply = getattr(self, "supply", None)
        if supply is None:
            return
        try:
            if self.changed:
                supply.power_command = self.start  # leave the head where the ramp began
        except Exception:
            logging.exception("the power command could not be set back to %s", self.start)
        finally:
            supply.adapter.connection.close()


def main(arguments: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="pymeasure_ramp.py")
    parser.add_argument("resource", help="VISA resource, TCPIP::127.0.0.1::5025::SOCKET")
    parser.add_argument("data_file", help="CSV file PyMeasure writes the results to")
    parser.add_argument("--token-file", help="the service's token, for control")
    parser.add_argument("--to", type=float, default=1.0, help="last power command (1.0)")
    parser.add_argument("--steps", type=int, default=5, help="steps up to it (5)")
    options = parser.parse_args(arguments)

    procedure = PowerRamp()
    procedure.resource, procedure.stop, procedure.steps = options.resource, options.to, options.steps
    if options.token_file:
        with open(options.token_file) as token:
            procedure.token = token.read().strip()
    # The worker logs what ends the procedure (a refusal, a lost connection) on standard error.
    logging.basicConfig(format="pymeasure_ramp.py: %(message)s", force=True)
    worker = Worker(Results(procedure, options.data_file), log_level=logging.WARNING)
    worker.start()
    worker.join(timeout=None)
    return 0 if procedure.status == Procedure.FINISHED else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
