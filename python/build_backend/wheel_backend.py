"""Builds the wheel of this pure-Python package with the standard library alone.

The hooks pip calls (PEP 517): the wheel holds the package folder as it is and the metadata of
pyproject.toml; nothing is compiled.
"""

from __future__ import annotations

import base64
import hashlib
import tomllib
import zipfile
from pathlib import Path

_ROOT = Path(__file__).resolve().parent.parent
_PACKAGE = "mavozarp"
_TAG = "py3-none-any"


def _project() -> dict:
    with open(_ROOT / "pyproject.toml", "rb") as pyproject:
        return tomllib.load(pyproject)["project"]


def _metadata(project: dict) -> str:
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    return "\n".join(lines) + "\n"


def _files() -> list[Path]:
    # Sources only: no caches, and not the file `cmake --install` writes beside an installed copy.
    return sorted(path for path in (_ROOT / _PACKAGE).rglob("*")
                  if path.is_file() and "__pycache__" not in path.parts
                  and path.name not in ("_installed.py", "_built_from.py"))


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def get_requires_for_build_wheel(config_settings=None) -> list[str]:
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None) -> str:
    project = _project()
    dist_info = f"{project['name']}-{project['version']}.dist-info"
    wheel_name = f"{project['name']}-{project['version']}-{_TAG}.whl"
    contents = [(path.relative_to(_ROOT).as_posix(), path.read_bytes()) for path in _files()]
    # The checkout the wheel comes from: an installed copy finds the library built there.
    contents.append((f"{_PACKAGE}/_built_from.py",
                     b"# Written by the wheel's build: the source tree it was built from.\n"
                     + f"SOURCE_TREE = {str(_ROOT.parent)!r}\n".encode()))
    contents += [
        (f"{dist_info}/METADATA", _metadata(project).encode()),
        (f"{dist_info}/WHEEL", f"Wheel-Version: 1.0\nGenerator: wheel_backend\n"
                               f"Root-Is-Purelib: true\nTag: {_TAG}\n".encode()),
    ]
    record = [_record_line(name, data) for name, data in contents] + [f"{dist_info}/RECORD,,"]
    contents.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in contents:
            wheel.writestr(name, data)
    return wheel_name
