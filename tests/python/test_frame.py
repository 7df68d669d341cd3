"""The module frame: exports, the exception, argument conversion and its exact
errors, byte sources, and release of the interpreter lock."""

import io
import os
import threading
import time

import pytest

import _zarv
import zarv
from kit import archive, footer, group, header, raw_payload


def test_module_surface():
    assert _zarv.__doc__ == (
        "The compiled core module. Imported and re-exported by the `zarv` Python\n"
        "package (`python/zarv/__init__.py`), which adds `zarv.remote` on top.")
    assert "ZarvError" in _zarv.__all__ and "inspect" in _zarv.__all__ and "Info" in _zarv.__all__
    for name in _zarv.__all__:
        assert getattr(zarv, name) is getattr(_zarv, name)
    assert zarv.__all__ == _zarv.__all__
    err = zarv.ZarvError
    assert err.__module__ == "zarv" and err.__name__ == "ZarvError"
    assert err.__bases__ == (Exception,)
    assert err.__doc__ == "Base error for zarv archive failures."


def test_source_conversion_errors():
    with pytest.raises(TypeError) as e:
        zarv.inspect(io.BytesIO(archive()))
    assert str(e.value) == "source must be bytes, a str path, or an os.PathLike"
    for bad in (123, bytearray(archive()), None):
        with pytest.raises(TypeError, match="^source must be bytes, a str path, or an os.PathLike$"):
            zarv.inspect(bad)
    with pytest.raises(TypeError):
        zarv.inspect()
    with pytest.raises(TypeError):
        zarv.inspect(archive(), 1)
    with pytest.raises(TypeError):
        zarv.inspect(sourc=archive())
    assert zarv.inspect(source=archive()).blocks == 0


def test_missing_path_raises_oserror_with_path_prefix(tmp_path):
    missing = tmp_path / "nope.zarv"
    with pytest.raises(OSError) as e:
        zarv.inspect(str(missing))
    assert str(e.value).startswith(str(missing) + ": ")
    assert isinstance(e.value, FileNotFoundError)
    with pytest.raises(OSError) as e:
        zarv.inspect(missing)  # os.PathLike
    assert str(e.value).startswith(str(missing) + ": ")
    # A directory opens but cannot be read: still an OSError, never ZarvError.
    with pytest.raises(OSError):
        zarv.inspect(str(tmp_path))
    # A name that is not UTF-8 is shown with U+FFFD; a NUL is refused by the
    # open, not cut short.
    raw = os.fsencode(str(tmp_path)) + b"/\xff-missing.zarv"
    with pytest.raises(FileNotFoundError) as e:
        zarv.decompress_to_bytes(os.fsdecode(raw))
    assert str(e.value) == str(tmp_path) + "/\ufffd-missing.zarv: No such file or directory"
    (tmp_path / "a").write_bytes(archive())
    for call in (zarv.inspect, zarv.verify, zarv.decompress_to_bytes):
        with pytest.raises(OSError) as e:
            call(str(tmp_path / "a") + "\0b")
        assert str(e.value) == str(tmp_path / "a") + "\0b: Invalid argument" and e.value.errno == 22


def test_pathlike_objects(tmp_path):
    p = tmp_path / "x.zarv"
    p.write_bytes(archive([(raw_payload(reads=2), 2)]))

    class Custom:
        def __fspath__(self):
            return str(p)

    assert zarv.inspect(Custom()).reads == 2


def test_interpreter_lock_released_during_archive_work():
    # A footer with a million row groups takes a while to check and parse; a
    # second Python thread must keep running meanwhile.
    prefix = header() + bytes(8)
    groups = [group(25, 1)] * 1_000_000
    data = footer(prefix, groups, total_reads=1_000_000)
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
        calls = 0
        during = 0
        while calls < 5:
            before = ticks
            info = zarv.inspect(data)
            during += ticks - before
            calls += 1
        assert info.blocks == 1_000_000
    finally:
        stop = True
        t.join()
    # With the lock held for the whole call the counter could not move while
    # inspect works (beyond a switch-interval handoff before it starts).
    assert during > 10_000, during
