"""Argument conversion shared by the module's functions: streams, password,
threads, sources (including file-like objects read with the lock released),
and the quoting used in reprs and messages."""

import io
import os
import threading

import pytest

from zarv import _testkit as tk

ALL = (True, True, True)


def test_streams_selection():
    assert tk.streams(None) == ALL
    assert tk.streams("seq") == tk.streams(["seq"]) == tk.streams(("sequence",)) == (False, True, False)
    assert tk.streams("name") == tk.streams("names") == (True, False, False)
    assert tk.streams("qual") == tk.streams("quality") == (False, False, True)
    assert tk.streams(["names", "qual", "names"]) == (True, False, True)
    assert tk.streams(iter(["seq", "quality"])) == (False, True, True)
    assert tk.streams([]) == (False, False, False)
    assert tk.streams({"names": 1, "seq": 2, "qual": 3}) == ALL


def test_streams_errors():
    with pytest.raises(ValueError) as e:
        tk.streams(("Names",))
    assert str(e.value) == "unknown stream \"Names\"; expected 'names', 'sequence', or 'quality'"
    with pytest.raises(ValueError) as e:
        tk.streams('a"b\\c\n\x01')
    assert str(e.value) == (
        'unknown stream "a\\"b\\\\c\\n\\u{1}"; expected \'names\', \'sequence\', or \'quality\'')
    with pytest.raises(TypeError) as e:
        tk.streams([1])
    assert str(e.value) == "streams items must be str stream names ('names', 'sequence', 'quality')"
    with pytest.raises(TypeError) as e:
        tk.streams(5)
    assert str(e.value) == (
        "streams must be None, a stream name, or an iterable of stream names ('names', 'sequence', 'quality')")
    with pytest.raises(TypeError, match="^streams items must be str"):
        tk.streams([b"seq"])

    def failing():
        yield "seq"
        raise KeyError("from the iterator")

    with pytest.raises(KeyError):
        tk.streams(failing())


def test_password_conversion():
    assert tk.password(None) is None
    assert tk.password("pässwörd") == tk.password("pässwörd".encode()) == "pässwörd".encode()
    assert tk.password(b"\xff\x00") == b"\xff\x00"
    assert tk.password("") == b""
    for bad in (1, 1.5, bytearray(b"x"), ["a"]):
        with pytest.raises(TypeError) as e:
            tk.password(bad)
        assert str(e.value) == "password must be str or bytes"


def test_threads_conversion():
    cpus = len(os.sched_getaffinity(0))
    assert tk.threads(0) == cpus
    assert tk.threads(cpus + 1) == cpus
    assert tk.threads(10**6) == cpus
    assert tk.threads(2**64 - 1) == cpus
    assert tk.threads(1) == 1
    with pytest.raises(OverflowError):
        tk.threads(-1)
    with pytest.raises(OverflowError):
        tk.threads(2**64)
    with pytest.raises(TypeError, match="threads"):
        tk.threads("2")
    with pytest.raises(TypeError, match="threads"):
        tk.threads(2.0)


def test_sources(tmp_path):
    data = bytes(range(256)) * 100
    p = tmp_path / "f.bin"
    p.write_bytes(data)
    assert tk.read_source(data) == data
    assert tk.read_source(str(p)) == data
    assert tk.read_source(p) == data
    assert tk.read_source(io.BytesIO(data), True, 1000) == data
    assert tk.read_source(io.BytesIO(b"")) == b""
    with pytest.raises(TypeError) as e:
        tk.read_source(123)
    assert str(e.value) == "source must be bytes, a str/os.PathLike path, or a file-like object with .read()"
    with pytest.raises(TypeError) as e:
        tk.read_source(io.BytesIO(data), False)
    assert str(e.value) == "source must be bytes, a str path, or an os.PathLike"


def test_file_like_protocol():
    class Oversized:
        """Returns more than asked and bytearrays: extra bytes are kept."""

        def __init__(self, data):
            self.data = data
            self.requests = []

        def read(self, k):
            self.requests.append(k)
            chunk, self.data = self.data[: k * 3], self.data[k * 3:]
            return bytearray(chunk)

    src = Oversized(bytes(range(200)) * 10)
    assert tk.read_source(src, True, 64) == bytes(range(200)) * 10
    assert set(src.requests) == {64}
    assert len(src.requests) < 2000 // 64  # buffered bytes served without calling read

    class Fails:
        def read(self, k):
            raise ValueError("disk on fire")

    with pytest.raises(OSError) as e:
        tk.read_source(Fails())
    assert str(e.value) == "disk on fire"

    class WrongType:
        def read(self, k):
            return "text"

    with pytest.raises(OSError) as e:
        tk.read_source(WrongType())
    assert str(e.value) == "file-like .read() must return bytes"

    class BadAttribute:
        @property
        def read(self):
            raise RuntimeError("lookup failed")

    with pytest.raises(RuntimeError, match="lookup failed"):
        tk.read_source(BadAttribute())


def test_file_like_reads_run_on_a_released_lock():
    # read() blocks until another Python thread lets it go: that thread can
    # only run if the reading call released the interpreter lock.
    gate = threading.Event()
    released = []

    class Gated:
        def __init__(self):
            self.parts = [b"abc", b"def"]

        def read(self, k):
            if not gate.wait(timeout=10):
                raise TimeoutError("gate never opened")
            return self.parts.pop(0) if self.parts else b""

    def opener():
        released.append(True)
        gate.set()

    timer = threading.Timer(0.05, opener)
    timer.start()
    assert tk.read_source(Gated()) == b"abcdef"
    timer.join()
    assert released == [True]


def test_debug_quote():
    assert tk.debug_quote(b"Illumina") == '"Illumina"'
    assert tk.debug_quote(b'a"b\\c') == '"a\\"b\\\\c"'
    assert tk.debug_quote(b"\t\r\n\x00\x7f") == '"\\t\\r\\n\\0\\u{7f}"'
    assert tk.debug_quote("é".encode()) == '"é"'
    # Invisible or fusing characters are escaped, visible ones kept as they are.
    assert tk.debug_quote("a\u200bb\u00a0\u00ad\u2028\ue000".encode()) == '"a\\u{200b}b\\u{a0}\\u{ad}\\u{2028}\\u{e000}"'
    assert tk.debug_quote("e\u0301\u0cc0".encode()) == '"e\\u{301}\\u{cc0}"'
    assert tk.debug_quote("日本😀 x".encode()) == '"日本😀 x"'
    assert tk.debug_quote(b"a\xffb") == '"a\ufffdb"'
    assert tk.debug_quote(b"\xe2\x82") == '"\ufffd"'  # one replacement per maximal invalid prefix
    assert tk.debug_quote(b"\xf0\x9f\x98") == '"\ufffd"'
    assert tk.debug_quote(b"\xc0\xaf") == '"\ufffd\ufffd"'
