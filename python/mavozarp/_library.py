"""Finding and loading the MavoZARP library, and the prototypes of its six exports."""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path

BUFFER_SIZE = 100          # every text buffer the library reads or writes
MAX_DEVICES = 20           # entries of each list of discovery
SIMULATED_HANDLE = -1
LIBRARY_VARIABLE = "MAVOZARP_LIBRARY"

_WINDOWS = sys.platform == "win32"
if _WINDOWS:
    _NAMES = ("MavoZARP.dll",)
    _BUILD_FOLDERS = ("windows-x64",) if ctypes.sizeof(ctypes.c_void_p) == 8 else ("windows-x86",)
    _Loader = ctypes.WinDLL          # the exports use __stdcall
else:
    _NAMES = ("libMavoZARP.so.2", "libMavoZARP.so")
    _BUILD_FOLDERS = ("linux", "linux-bench", "linux-asan")
    _Loader = ctypes.CDLL

Handle = ctypes.c_ssize_t           # pointer-sized and signed, so that -1 reads as -1
HandleList = Handle * MAX_DEVICES
Buffer = ctypes.c_char * BUFFER_SIZE


class LibraryNotFoundError(OSError):
    """The library could not be loaded from any of the places tried."""

    def __init__(self, tried: list[tuple[str, str]]):
        self.tried = tried
        places = "\n".join(f"  {place}: {reason}" for place, reason in tried)
        super().__init__(
            "the MavoZARP library could not be loaded; tried, in order:\n" + places +
            f"\nSet {LIBRARY_VARIABLE} to the library file's path (a source checkout's build "
            "folder, build/linux, holds it after the build), or give the path to "
            "mavozarp.load_library().")


def source_trees() -> list[Path]:
    """Source trees whose build folders are searched: the one this package sits in, and the one
    a pip-installed copy was built from (recorded in its wheel)."""
    trees = [Path(__file__).resolve().parent.parent.parent]
    try:
        from . import _built_from  # type: ignore[attr-defined]
    except ImportError:
        return trees
    return trees + [Path(_built_from.SOURCE_TREE)]


# Where `cmake --install` puts the library for the usual prefixes, which the loader may not search
# (/usr/local/lib is in its cache only after ldconfig).
_MULTIARCH = getattr(sys.implementation, "_multiarch", "")  # "x86_64-linux-gnu" on Debian
_INSTALL_FOLDERS = () if _WINDOWS else tuple(dict.fromkeys(
    Path(prefix, "lib", folder) for prefix in ("/usr/local", "/usr") for folder in (_MULTIARCH, "")))


def _installed_folder() -> Path | None:
    # Written by `cmake --install` beside the package: where the library was installed.
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    return Path(_installed.LIBRARY_DIR)


def _candidates(explicit: str | os.PathLike[str] | None):
    """(description, place, what to load there) in the order of the search; nothing to load for
    a folder that holds none of the library's names, so that it is named among the places tried
    all the same."""
    if explicit is not None:
        yield "the path given", os.fspath(explicit), os.fspath(explicit)
        return
    from_environment = os.environ.get(LIBRARY_VARIABLE)
    if from_environment:
        # Named by the user: that library or none, never another found elsewhere.
        yield LIBRARY_VARIABLE, from_environment, from_environment
        return
    folders = []
    installed = _installed_folder()
    if installed is not None:
        folders.append(("the installed library's folder", installed))
    # A package run from a source tree, or pip-installed from one, finds the library built there.
    folders += [("a build folder of the source tree", tree / "build" / build)
                for tree in source_trees() for build in _BUILD_FOLDERS]
    folders += [("an installed prefix", folder) for folder in _INSTALL_FOLDERS]
    for description, folder in folders:
        present = [str(folder / name) for name in _NAMES if (folder / name).exists()]
        if not present:
            yield description, str(folder), None
        for path in present:
            yield description, path, path
    for name in _NAMES:
        yield "the system's library search", name, name


def _declare(library: ctypes.CDLL) -> None:
    c_int32, c_char_p = ctypes.c_int32, ctypes.c_char_p
    handle_pointer, int_pointer = ctypes.POINTER(Handle), ctypes.POINTER(c_int32)
    prototypes = {
        "MavoZARP_GetDLLVersion": [c_char_p],
        "MavoZARP_CheckForDevices": [handle_pointer, int_pointer] * 3,
        "MavoZARP_InitializeHandle": [Handle, c_char_p],
        "MavoZARP_SendCommand": [Handle, c_char_p, c_char_p],
        "MavoZARP_Close": [Handle],
        "MavoZARP_OpenSerialPort": [c_char_p, handle_pointer],
    }
    for name, arguments in prototypes.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = c_int32


_loaded: ctypes.CDLL | None = None
_loading = threading.Lock()


def load_library(path: str | os.PathLike[str] | None = None) -> ctypes.CDLL:
    """Loads the library once per process and gives it; later calls give the same one.

    Searched in this order: ``path`` when given, else the environment variable
    ``MAVOZARP_LIBRARY`` when set (either is then the only place tried), else the folder the
    library was installed to along with this package, the build folders of the source tree this
    package sits in (``build/linux``, ...), then the system's search for ``libMavoZARP.so.2`` and
    ``libMavoZARP.so`` (``MavoZARP.dll`` on Windows, called with ``__stdcall``). Raises
    :class:`LibraryNotFoundError` naming every place tried.
    """
    global _loaded
    with _loading:
        if _loaded is not None:
            if path is not None and Path(path).resolve() != Path(_loaded._name).resolve():
                raise RuntimeError(f"the MavoZARP library is already loaded from {_loaded._name}")
            return _loaded
        tried = []
        for description, place, target in _candidates(path):
            if target is None:
                tried.append((f"{description} ({place})", f"none of {', '.join(_NAMES)} there"))
                continue
            try:
                library = _Loader(target)
            except OSError as failure:
                tried.append((f"{description} ({place})", str(failure) or "not loadable"))
                continue
            try:
                _declare(library)
            except AttributeError as failure:
                tried.append((f"{description} ({place})", f"not the MavoZARP library: {failure}"))
                continue
            _loaded = library
            return library
        raise LibraryNotFoundError(tried)


_send_unconverted: ctypes._CFuncPtr | None = None


def send_command_unconverted() -> ctypes._CFuncPtr:
    """MavoZARP_SendCommand without argument types: for callers that pass a :data:`Handle`,
    bytes and a :data:`Buffer`, which ctypes hands over as they are."""
    global _send_unconverted
    if _send_unconverted is None:
        function = load_library()["MavoZARP_SendCommand"]  # a function object of its own
        function.restype = ctypes.c_int32
        _send_unconverted = function
    return _send_unconverted
