#!/usr/bin/env python3
"""The code blocks of docs/*.md that show a file of the tree are that file, not copies.

    snippets_test.py SOURCE_DIR [--update]      (--update: write the files' text into the blocks)

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


def main(source: Path, update: bool) -> int:
    checked, failures = 0, []
    for document in sorted((source / "docs").glob("*.md")):
        text = document.read_text()
        for block in MARKED_BLOCK.finditer(text):
            checked += 1
            path, region, shown = block.groups()
            name = f"{path}#{region}" if region else path
            try:
                wanted = expected(source, path, region)
            except (OSError, LookupError) as missing:
                failures.append(f"{document.name}: {missing}")
                continue
            if shown == wanted:
                continue
            if update:
                text = text.replace(block[0], block[0].replace(shown, wanted, 1), 1)
            else:
                failures.append(f"{document.name}: the block of {name} differs from the file "
                                "(tests/docs/snippets_test.py . --update writes it)")
        if update:
            document.write_text(text)
    for failure in failures:
        print(f"FAIL {failure}")
    print(f"{checked} snippets checked, {len(failures)} differ")
    return 1 if failures or not checked else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), sys.argv[2:] == ["--update"]))
