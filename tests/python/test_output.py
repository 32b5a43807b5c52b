"""The library's diagnostic lines reach logging, not standard output, and nothing else written
to standard output at the same time is lost, mixed or reordered."""

import ctypes
import logging
import os
import re
import threading

import mavozarp


def test_diagnostic_lines_go_to_logging(adapters, capfd, caplog):
    caplog.set_level(logging.DEBUG, logger="mavozarp")
    print("before", end="")  # still in Python's buffer when the head is identified
    vfk, unknown = adapters["vfk"].index, adapters["unknown-type"].index
    caplog.clear()
    with mavozarp.adapter(vfk):
        pass
    try:
        mavozarp.adapter(unknown)
    except mavozarp.InvalidHead:
        pass
    print(" after")
    assert capfd.readouterr().out == "before after\n"
    assert [r.getMessage() for r in caplog.records if r.name == "mavozarp"] == [
        "Exit headType=VFK", "Exit status=0", "Exit headType=", "Exit status=-2"]


def test_output_of_other_threads_passes_through_in_order(virtual, capfd):
    libc = ctypes.CDLL(None)
    stop = threading.Event()
    written = []

    def write_lines():
        # Through the C library's stdout as the diagnostic lines, and straight to descriptor 1,
        # several writes per line, so that a line may straddle a switch of standard output.
        number = 0
        while not stop.is_set() or number < 200:
            for piece in (f"line {number}", " of the", " writer"):
                libc.fputs(piece.encode(), ctypes.c_void_p.in_dll(libc, "stdout"))
            libc.puts(b"")
            os.write(1, f"raw {number}\n".encode())
            written.append(number)
            number += 1

    writer = threading.Thread(target=write_lines)
    writer.start()
    try:
        for _ in range(5):
            for entry in mavozarp.scan():
                assert entry.index >= 0
    finally:
        stop.set()
        writer.join()
    libc.fflush(None)
    output = capfd.readouterr().out
    # The C library's buffer goes out in blocks that may end inside a line: the raw lines can
    # land anywhere within the C lines, but each stream must be whole and in order.
    raw = re.compile(r"raw (\d+)\n")
    assert [int(n) for n in raw.findall(output)] == written
    assert raw.sub("", output).splitlines() == [f"line {n} of the writer" for n in written]
