#!/usr/bin/env python3
"""docs/building.md names every Debian package scripts/install-packages.sh installs.

    packages_documented_test.py SOURCE_DIR

The page tells a user what set-up puts on their machine; a package added to the script and not
to the page would make it untrue.
"""

import re
import sys
from pathlib import Path


def installed_packages(script: str) -> list[str]:
    """The names in the script's package arrays: packages=(...), packages+=(...), optional+=(...)."""
    names = []
    for body in re.findall(r"^\s*(?:\[.*\]\s*&&\s*)?(?:packages|optional)\+?=\(([^)]*)\)", script,
                           re.M | re.S):
        names += body.split()
    return names


def main(source: Path) -> int:
    packages = installed_packages((source / "scripts/install-packages.sh").read_text())
    page = (source / "docs/building.md").read_text()
    missing = [name for name in packages
               if not re.search(r"(?<![\w.+:-])" + re.escape(name) + r"(?![\w.+:-])", page)]
    print(f"{len(packages)} packages of scripts/install-packages.sh looked for in docs/building.md")
    for name in missing:
        print(f"FAIL: docs/building.md does not name {name}")
    return 1 if missing or not packages else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
