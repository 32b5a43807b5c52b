#!/usr/bin/env python3
"""The shell examples of README.md and docs/*.md on the simulated head, run as shown.

    shell_examples_test.py TOOL SOURCE_DIR

In a ```sh block, every `$ mavozarp ... --simulated ...` line is run by the shell with the built
tool first on PATH; the lines after it up to the next `$ ` line are what a terminal shows (standard output and error).
A command shown answering with the tool's error line ("mavozarp: ...") must fail; any other must
succeed. `serve` is left out: it runs until stopped.
"""

import os
import re
import shlex
import subprocess
import sys
import tempfile
from pathlib import Path


def examples(source: Path):
    """(file, command line, shown lines) of every such line."""
    for document in [source / "README.md", *sorted((source / "docs").glob("*.md"))]:
        for block in re.findall(r"^```sh\n(.*?)^```", document.read_text(), re.S | re.M):
            lines = block.splitlines()
            for at, line in enumerate(lines):
                words = shlex.split(line[2:]) if line.startswith("$ ") else []
                if words[:1] != ["mavozarp"] or "--simulated" not in words or "serve" in words:
                    continue
                shown = []
                for following in lines[at + 1:]:
                    if following.startswith("$ "):
                        break
                    shown.append(following)
                yield document.relative_to(source), line[2:], shown


def main(tool: str, source: Path) -> int:
    found = list(examples(source))
    failures = []
    environment = {**os.environ, "PATH": f"{Path(tool).resolve().parent}{os.pathsep}{os.environ['PATH']}"}
    for document, command, shown in found:
        with tempfile.TemporaryDirectory() as folder:  # for what a command may write
            run = subprocess.run(["/bin/sh", "-c", command], cwd=folder, env=environment,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True, timeout=60)
        printed = [line.rstrip() for line in run.stdout.splitlines()]
        refused = bool(shown) and shown[0].startswith("mavozarp: ")
        if (run.returncode != 0) != refused or printed != [line.rstrip() for line in shown]:
            failures.append(f"{document}: $ {command}\n  shown: {shown}\n"
                            f"  ran:   {printed} (exit {run.returncode})")
    print(f"{len(found)} shell examples on the simulated head")
    for failure in failures:
        print(f"FAIL {failure}")
    if not any(document.name == "README.md" for document, _, _ in found):
        print("FAIL: README.md shows no example on the simulated head")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], Path(sys.argv[2])))
