#!/usr/bin/env python3
"""The code blocks of docs/*.md that show a file of the tree are that file, not copies.

    snippets_test.py SOURCE_DIR

A block marked by the line `<!-- snippet: PATH -->` right before its opening fence holds the whole
file PATH; with `PATH#NAME`, the lines between `#region NAME` and the next `#endregion` in it
(C#'s own region markers, a comment in Python), with their common indentation removed.
"""

import re
import sys
import textwrap
from pathlib import Path

MARKED_BLOCK = re.compile(r"^<!-- snippet: ([^#\s]+)(?:#(\w+))? -->\n```\w*\n(.*?)^```", re.S | re.M)


def expected(source: Path, path: str, region: str | None) -> str:
    text = (source / path).read_text()
    if region is None:
        return text
    found = re.search(rf"^[ \t]*#region {region}\n(.*?)^[ \t]*#endregion", text, re.S | re.M)
    if found is None:
        raise LookupError(f"{path} has no region {region}")
    return textwrap.dedent(found[1])


def main(source: Path) -> int:
    checked, failures = 0, []
    for document in sorted((source / "docs").glob("*.md")):
        for path, region, shown in MARKED_BLOCK.findall(document.read_text()):
            checked += 1
            name = f"{path}#{region}" if region else path
            try:
                if shown != expected(source, path, region or None):
                    failures.append(f"{document.name}: the block of {name} differs from the file")
            except (OSError, LookupError) as missing:
                failures.append(f"{document.name}: {missing}")
    for failure in failures:
        print(f"FAIL {failure}")
    print(f"{checked} snippets checked, {len(failures)} differ")
    return 1 if failures or not checked else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
