"""The module frame: exports, the exception, argument conversion and its exact
errors, byte sources, and release of the interpreter lock."""

import io
import os
import threading
import time

import _zarv
import zarv
from kit import archive, footer, group, header, raises, raw_payload

PATH_OR_BYTES = "source must be bytes, a str path, or an os.PathLike"


def test_module_surface():
    assert _zarv.__doc__ == (
        "The compiled core module. Imported and re-exported by the `zarv` Python\n"
        "package (`python/zarv/__init__.py`), which adds `zarv.remote` on top.")
    assert {"ZarvError", "inspect", "Info"} <= set(_zarv.__all__) and zarv.__all__ == _zarv.__all__
    for name in _zarv.__all__:
        assert getattr(zarv, name) is getattr(_zarv, name)
    err = zarv.ZarvError
    assert (err.__module__, err.__name__, err.__bases__) == ("zarv", "ZarvError", (Exception,))
    assert err.__doc__ == "Base error for zarv archive failures."


def test_source_conversion_errors():
    for bad in (io.BytesIO(archive()), bytearray(archive()), None):
        raises(TypeError, PATH_OR_BYTES, zarv.inspect, bad)
    for bad_call in (lambda: zarv.inspect(), lambda: zarv.inspect(archive(), 1), lambda: zarv.inspect(sourc=archive())):
        raises(TypeError, None, bad_call)
    assert zarv.inspect(source=archive()).blocks == 0


def test_paths(tmp_path):
    missing = tmp_path / "nope.zarv"
    assert str(raises(FileNotFoundError, None, zarv.inspect, str(missing))).startswith(str(missing) + ": ")
    # A directory opens but cannot be read: still an OSError, never ZarvError.
    raises(OSError, None, zarv.inspect, str(tmp_path))
    # A name that is not UTF-8 is shown with U+FFFD; a NUL is refused by the
    # open, not cut short.
    raw = os.fsencode(str(tmp_path)) + b"/\xff-missing.zarv"
    raises(FileNotFoundError, str(tmp_path) + "/\ufffd-missing.zarv: No such file or directory",
           zarv.decompress_to_bytes, os.fsdecode(raw))
    p = tmp_path / "a"
    p.write_bytes(archive([(raw_payload(reads=2), 2)]))
    for call in (zarv.inspect, zarv.verify, zarv.decompress_to_bytes):
        assert raises(OSError, str(p) + "\0b: Invalid argument", call, str(p) + "\0b").errno == 22

    custom = type("Custom", (), {"__fspath__": lambda self: str(p)})()
    assert zarv.inspect(custom).reads == zarv.inspect(p).reads == 2


def test_interpreter_lock_released_during_archive_work():
    # A footer with a million row groups takes a while to check and parse; a
    # second Python thread must keep running meanwhile.
    data = footer(header() + bytes(8), [group(25, 1)] * 1_000_000, total_reads=1_000_000)
    ticks = 0
    stop = False

    def spin():
        nonlocal ticks
        while not stop:
            ticks += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        time.sleep(0.05)
        during = 0
        for _ in range(5):
            before = ticks
            info = zarv.inspect(data)
            during += ticks - before
        assert info.blocks == 1_000_000
    finally:
        stop = True
        t.join()
    # With the lock held for the whole call the counter could not move while
    # inspect works (beyond a switch-interval handoff before it starts).
    assert during > 10_000, during
