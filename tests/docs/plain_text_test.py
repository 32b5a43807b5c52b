#!/usr/bin/env python3
"""The documentation holds plain text only: no control character but the line end.

    plain_text_test.py SOURCE_DIR

A tab or another control character in a page is a mistake that readers cannot see, and a command
pasted from it acts on something else ("\\t" in a Windows path written through a C string became
a tab). Every Markdown page in the sources and the Windows README's template is read; each
offending character is named with its file, line and column.
"""

import sys
from pathlib import Path

ALLOWED = {"\n"}


def pages(source: Path):
    yield from sorted(source.glob("*.md"))
    yield from sorted(source.glob("docs/*.md"))
    yield from sorted(source.glob("*/README.md"))
    yield source / "cmake" / "windows" / "README.txt.in"


def offences(page: Path):
    for number, line in enumerate(page.read_text(encoding="utf-8").split("\n"), start=1):
        for column, character in enumerate(line, start=1):
            if (ord(character) < 0x20 or ord(character) == 0x7F) and character not in ALLOWED:
                yield number, column, character


def main(source: Path) -> int:
    checked = list(pages(source))
    failures = [f"{page.relative_to(source)}:{line}:{column}: control character {ord(c):#04x}"
                for page in checked for line, column, c in offences(page)]
    print(f"{len(checked)} pages checked for control characters")
    for failure in failures:
        print(f"FAIL {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
