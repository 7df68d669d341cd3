"""Argument conversion shared by the module's functions: streams, password,
threads, sources (including file-like objects read with the lock released),
and the quoting used in reprs and messages."""

import io
import os
import threading

from kit import FileLike, fail, raises
from zarv import _testkit as tk

ALL, NAMES, SEQ, QUAL = (True, True, True), (True, False, False), (False, True, False), (False, False, True)
EXPECTED = "; expected 'names', 'sequence', or 'quality'"


def test_streams_selection():
    for arg, want in [(None, ALL), ("seq", SEQ), (["seq"], SEQ), (("sequence",), SEQ), ("name", NAMES),
                      ("names", NAMES), ("qual", QUAL), ("quality", QUAL), ([], (False,) * 3),
                      (["names", "qual", "names"], (True, False, True)), (iter(["seq", "qual"]), (False, True, True)),
                      ({"names": 1, "seq": 2, "qual": 3}, ALL)]:
        assert tk.streams(arg) == want


def test_streams_errors():
    raises(ValueError, 'unknown stream "Names"' + EXPECTED, tk.streams, ("Names",))
    raises(ValueError, 'unknown stream "a\\"b\\\\c\\n\\u{1}"' + EXPECTED, tk.streams, 'a"b\\c\n\x01')
    raises(TypeError, "streams items must be str stream names ('names', 'sequence', 'quality')", tk.streams, [b"seq"])
    raises(TypeError, "streams must be None, a stream name, or an iterable of stream names "
           "('names', 'sequence', 'quality')", tk.streams, 5)

    raises(KeyError, None, tk.streams, (fail(KeyError()) if name == "qual" else name for name in ("seq", "qual")))


def test_password_and_threads_conversion():
    assert tk.password(None) is None
    assert tk.password("pässwörd") == tk.password("pässwörd".encode()) == "pässwörd".encode()
    assert tk.password(b"\xff\x00") == b"\xff\x00" and tk.password("") == b""
    for bad in (1, bytearray(b"x")):
        raises(TypeError, "password must be str or bytes", tk.password, bad)
    cpus = len(os.sched_getaffinity(0))
    assert (tk.threads(0), tk.threads(cpus + 1), tk.threads(2**64 - 1), tk.threads(1)) == (cpus, cpus, cpus, 1)
    for bad in (-1, 2**64):
        raises(OverflowError, None, tk.threads, bad)
    raises(TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer", tk.threads, 2.0)


def test_sources(tmp_path):
    data = bytes(range(256)) * 100
    p = tmp_path / "f.bin"
    p.write_bytes(data)
    assert tk.read_source(data) == tk.read_source(str(p)) == tk.read_source(p) == data
    assert tk.read_source(io.BytesIO(data), True, 1000) == data
    assert tk.read_source(io.BytesIO(b"")) == b""
    raises(TypeError, "source must be bytes, a str/os.PathLike path, or a file-like object with .read()",
           tk.read_source, 123)
    raises(TypeError, "source must be bytes, a str path, or an os.PathLike", tk.read_source, io.BytesIO(data), False)


def test_file_like_protocol():
    data, requests = io.BytesIO(bytes(range(200)) * 10), []
    # Returns more than asked, as bytearrays: extra bytes are kept.
    oversized = FileLike(lambda k: requests.append(k) or bytearray(data.read(k * 3)))
    assert tk.read_source(oversized, True, 64) == bytes(range(200)) * 10
    assert set(requests) == {64}
    assert len(requests) < 2000 // 64  # buffered bytes served without calling read

    raises(OSError, "disk on fire", tk.read_source, FileLike(lambda k: fail(ValueError("disk on fire"))))
    raises(OSError, "file-like .read() must return bytes", tk.read_source, FileLike(lambda k: "text"))
    bad_attribute = type("BadAttribute", (), {"read": property(lambda self: fail(RuntimeError("lookup failed")))})
    raises(RuntimeError, "lookup failed", tk.read_source, bad_attribute())


def test_file_like_reads_run_on_a_released_lock():
    # read() blocks until another Python thread lets it go: that thread can
    # only run if the reading call released the interpreter lock.
    gate = threading.Event()
    parts = [b"abc", b"def"]
    gated = FileLike(lambda k: (parts.pop(0) if parts else b"") if gate.wait(timeout=10) else fail(TimeoutError()))
    timer = threading.Timer(0.05, gate.set)
    timer.start()
    assert tk.read_source(gated) == b"abcdef"
    timer.join()


def test_debug_quote():
    cases = {
        b"Illumina": '"Illumina"', b'a"b\\c': '"a\\"b\\\\c"', b"\t\r\n\x00\x7f": '"\\t\\r\\n\\0\\u{7f}"',
        "é".encode(): '"é"', "日本😀 x".encode(): '"日本😀 x"',
        # Invisible or fusing characters are escaped, visible ones kept as they are.
        "a\u200bb\u00a0\u00ad\u2028\ue000".encode(): '"a\\u{200b}b\\u{a0}\\u{ad}\\u{2028}\\u{e000}"',
        "e\u0301\u0cc0".encode(): '"e\\u{301}\\u{cc0}"',
        # One replacement per maximal invalid prefix.
        b"a\xffb": '"a\ufffdb"', b"\xe2\x82": '"\ufffd"', b"\xf0\x9f\x98": '"\ufffd"', b"\xc0\xaf": '"\ufffd\ufffd"',
    }
    for raw, quoted in cases.items():
        assert tk.debug_quote(raw) == quoted
