// The C# binding against real supplies, run by test_csharp.py under Mono:
//     SupplyChecks.exe serial BRIDGE_PORT TEXT_PORT     supplies on pseudo-terminals
//     SupplyChecks.exe adapter                          the emulated adapter library's supplies
// Prints one line per failed check and exits 1 when any failed.
using System;
using MavoZARP;

static class SupplyChecks
{
    static int failures;

    static void Check(bool condition, string what)
    {
        if (condition) return;
        failures++;
        Console.WriteLine("FAIL " + what);
    }

    // The exception the action throws, or null (and a failure) when it throws none.
    static T Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T expected)
        {
            return expected;
        }
        catch (Exception other)
        {
            Check(false, $"{what}: {other.GetType().Name} instead of {typeof(T).Name}: {other.Message}");
            return null;
        }
        Check(false, $"{what}: no {typeof(T).Name}");
        return null;
    }

    static void Refused(Supply supply, string command, Status status, string reply)
    {
        var refusal = Throws<MavoZARPException>(() => supply.Send(command), command);
        if (refusal == null) return;
        Check(refusal.Code == (int)status, $"{command}: code {refusal.Code}, not {(int)status}");
        Check(refusal.CodeName == MavoZARPException.NameOf((int)status) &&
              refusal.Message.Contains(refusal.CodeName), $"{command}: named {refusal.Message}");
        Check(refusal.Command == command && refusal.Reply == reply,
              $"{command}: command \"{refusal.Command}\", reply \"{refusal.Reply}\"");
    }

    // What every supply must do: read, set and read back, refuse, close once and stay closed.
    static void Common(Supply supply, string kind, double powerCommand)
    {
        supply.PowerCommand = powerCommand;
        // Within the converter's step: a head stores the command as a 10- or 12-bit code.
        Check(Math.Abs(supply.PowerCommand - powerCommand) <= 0.01 * powerCommand,
              $"{kind}: power command {supply.PowerCommand}, not {powerCommand}");
        Check(supply.Power >= 0, $"{kind}: power {supply.Power}");
        Check(supply.Query("?HTYPE") == supply.HeadType, $"{kind}: ?HTYPE is not {supply.HeadType}");
        Throws<ArgumentException>(() => supply.Query("PCMD=1"), $"{kind}: Query of a setting");
        Throws<ArgumentException>(() => supply.Send(new string('?', 100)), $"{kind}: 100 characters");
        Throws<ArgumentException>(() => supply.Send("?P\u00e9"), $"{kind}: not ASCII");
        Throws<ArgumentOutOfRangeException>(() => supply.PowerCommand = double.NaN,
                                            $"{kind}: power command NaN");
        supply.Dispose();
        supply.Dispose();
        Throws<ObjectDisposedException>(() => supply.Send("?P"), $"{kind}: Send after Dispose");
    }

    static void Serial(string bridgePort, string textPort)
    {
        using (var bridge = Supply.OpenSerial(bridgePort))
        {
            Check(bridge.HeadType == "Kora", $"bridge: head type {bridge.HeadType}");
            Refused(bridge, "?NOSUCH", Status.InvalidCommand, "");
            Refused(bridge, "PCMD=NAN", Status.InvalidData, "");
            Check(bridge.FaultWord >= 0 && bridge.FaultWord <= 0xFFFF, "bridge: fault word");
            Common(bridge, "bridge", 50.0);
        }
        // Closed means the port is free again: it is opened exclusively.
        using (var again = Supply.OpenSerial(bridgePort))
            Check(again.Power >= 0, "bridge opened again");

        using (var text = Supply.OpenSerial(textPort))
        {
            Check(text.HeadType == "Kora", $"text: head type {text.HeadType}");
            Refused(text, "?NOSUCH", Status.InvalidCommand, "ERR");
            Common(text, "text", 1.5);
        }

        var missing = Throws<MavoZARPException>(() => Supply.OpenSerial(bridgePort + "-missing"),
                                                "a port that does not exist");
        Check(missing == null || missing.Code == (int)Status.SerialError, "missing port: -300");
    }

    static void Adapter()
    {
        var supply = Supply.OpenAdapter(1);
        Check(supply.HeadType == "VFN", $"adapter 1: head type {supply.HeadType}");
        Refused(supply, "?SH", Status.InvalidCommand, "");  // Vfn heads have no shutter
        Common(supply, "adapter", 100.0);
        Throws<ArgumentOutOfRangeException>(() => Supply.OpenAdapter(2), "adapter index 2 of 2");
        Throws<ArgumentOutOfRangeException>(() => Supply.OpenAdapter(-1), "adapter index -1");
        Check(Supply.LibraryVersion() == "MavoZARP 2.1.0", "library version");
    }

    static int Main(string[] arguments)
    {
        try
        {
            if (arguments[0] == "serial") Serial(arguments[1], arguments[2]);
            else Adapter();
        }
        catch (Exception unexpected)
        {
            Check(false, "unexpected " + unexpected);
        }
        Console.WriteLine(failures == 0 ? "all checks passed" : $"{failures} checks failed");
        return failures == 0 ? 0 : 1;
    }
}
