"""Why a serial port cannot be used, in the words the ``mavozarp`` tool uses.

The library has one status (-300) for every cause; the system tells which one it was: no such
device, permission denied (with the group to join), held by another process (named from
``/proc``), not a serial device. A port another process holds is looked at without being opened.
The same checks as the tool's (client/serial_ports_posix.cpp), so both say the same. Only POSIX
systems tell; elsewhere no cause is found.
"""

from __future__ import annotations

import errno
import os
import stat


def _first_line(path: str) -> str:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.readline().rstrip("\n")
    except OSError:
        return ""


def _process_name(pid: str) -> str:
    return f"{_first_line(f'/proc/{pid}/comm')} (pid {pid})"


def _lock_holders(node: os.stat_result) -> list[str]:
    """Processes holding a lock on the device node, as /proc/locks lists them."""
    wanted = f"{os.major(node.st_dev):02x}:{os.minor(node.st_dev):02x}:{node.st_ino}"
    holders = []
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as locks:
            for line in locks:
                fields = line.split()
                if len(fields) >= 6 and fields[5] == wanted:
                    holders.append(_process_name(fields[4]))
    except OSError:
        pass
    return holders


def _opened_by(port: os.stat_result) -> list[str]:
    """Other processes with the device open, among those this user may look into."""
    holders = []
    self = str(os.getpid())
    try:
        pids = [name for name in os.listdir("/proc") if name.isdigit() and name != self]
    except OSError:
        return holders
    for pid in pids:
        try:
            descriptors = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in descriptors:
            try:
                opened = os.stat(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if stat.S_ISCHR(opened.st_mode) and opened.st_rdev == port.st_rdev:
                holders.append(_process_name(pid))
                break
    return holders


def _held_by(holders: list[str]) -> str:
    return "held by another process" + (": " + ", ".join(holders) if holders else "")


def _permission_problem(path: str, port: os.stat_result) -> str:
    import grp  # POSIX only, as this function's callers
    import pwd
    try:
        group = grp.getgrgid(port.st_gid).gr_name
    except KeyError:
        group = str(port.st_gid)
    if port.st_mode & (stat.S_IRGRP | stat.S_IWGRP) == stat.S_IRGRP | stat.S_IWGRP:
        return (f"permission denied: {path} belongs to group {group}; join it "
                f"(sudo usermod -aG {group} $USER) and log in again")
    try:
        owner = pwd.getpwuid(port.st_uid).pw_name
    except KeyError:
        owner = str(port.st_uid)
    return (f"permission denied: only its owner {owner} may use {path} "
            f"(mode {stat.S_IMODE(port.st_mode):04o}, group {group}); a udev rule can give it "
            f"to a group (see docs/tool.md)")


def _file_kind(file: os.stat_result) -> str:
    if stat.S_ISREG(file.st_mode):
        return "a regular file"
    if stat.S_ISDIR(file.st_mode):
        return "a directory"
    if stat.S_ISCHR(file.st_mode):
        return "a character device that is not a terminal"
    return "not a character device"


def port_problem(path: str) -> str | None:
    """Why the port cannot be used, with the fix where there is one; None when no cause is
    found (the port is usable, and simply no supply answered)."""
    if os.name != "posix":
        return None
    import fcntl
    try:
        port = os.stat(path)
    except PermissionError:
        return f"permission denied: a folder on the way to {path}"
    except OSError:
        return "no such device"
    if not stat.S_ISCHR(port.st_mode):
        return "not a serial device: " + _file_kind(port)
    if not os.access(path, os.R_OK | os.W_OK):
        return _permission_problem(path, port)
    holders = _lock_holders(port)
    if holders:
        return _held_by(holders)
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return _held_by(_opened_by(port))
        if error.errno in (errno.EACCES, errno.EPERM):
            return _permission_problem(path, port)
        if error.errno in (errno.ENXIO, errno.ENODEV, errno.ENOENT):
            return "no such device"
        return f"cannot open: {os.strerror(error.errno)}"
    try:
        if not os.isatty(fd):
            return "not a serial device: " + _file_kind(port)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return _held_by([])
        return None
    finally:
        os.close(fd)
