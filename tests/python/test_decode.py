"""open, decompress_to_path and decompress_to_bytes: whole-archive decoding in
file order, stream selection, encryption, failures and the Reader protocol."""

import gc
import io
import os
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

import zarv
from kit import crc32c, fasta, fastq, frames, header, illumina_reads, write

READS = illumina_reads(300, seed=7)
MULTI = write(READS, block_reads=[50, 1, 120, 0, 129])
ENC = dict(passphrase=b"s\xc3\xa9same", salt=bytes(range(16)), archive_id=bytes(range(100, 116)), m_cost=64)


def test_fastq_and_fasta_text():
    for threads in (0, 1, 2, 8):
        assert zarv.decompress_to_bytes(MULTI, threads=threads) == fastq(READS)
        assert zarv.decompress_to_bytes(MULTI, threads=threads, fasta=True) == fasta(READS)
    two = write([("r1", "ACGT", "IIII"), ("r2", "GG", "#I")])
    assert zarv.decompress_to_bytes(two, fasta=True) == b">r1\nACGT\n>r2\nGG\n"
    empty_read = write([("e", "", "")])
    assert zarv.decompress_to_bytes(empty_read) == b"@e\n\n+\n\n"


def test_records_in_file_order():
    for threads in (1, 8):
        recs = list(zarv.open(MULTI, threads=threads))
        assert [(r.name, r.sequence, r.quality) for r in recs] == [
            (n.encode(), s.encode(), q.encode()) for n, s, q in READS]


def test_decompress_to_path(tmp_path):
    dest = tmp_path / "out.fq"
    dest.write_bytes(b"old contents that must go")
    assert zarv.decompress_to_path(MULTI, str(dest), threads=2) == 300
    assert dest.read_bytes() == fastq(READS)
    assert zarv.decompress_to_path(MULTI, dest, fasta=True) == 300
    assert dest.read_bytes() == fasta(READS)
    src = tmp_path / "in.zarv"
    src.write_bytes(MULTI)
    assert zarv.decompress_to_path(src, dest) == 300
    # A destination failure is the system's own text.
    with pytest.raises(FileNotFoundError, match="^No such file or directory$"):
        zarv.decompress_to_path(MULTI, str(tmp_path / "missing" / "x.fq"))
    with pytest.raises(OSError, match="^Invalid argument$"):
        zarv.decompress_to_path(MULTI, str(tmp_path / "x\0y"))


def test_empty_archive(tmp_path):
    empty = write([])
    dest = tmp_path / "e.fq"
    assert zarv.decompress_to_path(empty, dest) == 0
    assert dest.read_bytes() == b""
    assert list(zarv.open(empty)) == []
    assert zarv.decompress_to_bytes(empty) == b""


def test_stream_selection():
    recs = list(zarv.open(MULTI, streams="seq"))
    assert all(r.name == b"" and r.quality == b"" for r in recs)
    assert [r.sequence for r in recs] == [s.encode() for _, s, _ in READS]
    recs = list(zarv.open(MULTI, streams=["names", "qual"]))
    assert [(r.name, r.sequence, r.quality) for r in recs[:3]] == [
        (n.encode(), b"", q.encode()) for n, _, q in READS[:3]]
    none = list(zarv.open(MULTI, streams=[]))
    assert len(none) == 300 and all(r.name == r.sequence == r.quality == b"" for r in none)
    # Quality coded against the bases still decodes when selected alone.
    against = write(READS[:20], quality_mode=1)
    assert [r.quality for r in zarv.open(against, streams="quality")] == [q.encode() for _, _, q in READS[:20]]


def test_file_like_and_path_sources(tmp_path):
    assert zarv.decompress_to_bytes(io.BytesIO(MULTI)) == fastq(READS)
    assert len(list(zarv.open(io.BytesIO(MULTI)))) == 300

    class Trickle:
        """Hands out at most 7 bytes per read call."""

        def __init__(self, data):
            self.buf = io.BytesIO(data)

        def read(self, k):
            return self.buf.read(min(k, 7))

    assert zarv.decompress_to_bytes(Trickle(MULTI), threads=2) == fastq(READS)
    with pytest.raises(TypeError) as e:
        zarv.open(123)
    assert str(e.value) == "source must be bytes, a str/os.PathLike path, or a file-like object with .read()"


def _corrupt_block(data, index):
    off, n = frames(data)[index]
    return data[: off + n // 2] + bytes([data[off + n // 2] ^ 0x55]) + data[off + n // 2 + 1:]


def test_failure_delivers_earlier_blocks_first():
    bad = _corrupt_block(MULTI, 2)  # the 1-read block is index 1, the third holds 120
    for threads in (1, 8):
        reader = zarv.open(bad, threads=threads)
        got = []
        with pytest.raises(zarv.ZarvError) as e:
            for r in reader:
                got.append(r.name)
        assert str(e.value) == "corrupted zarv data: block 2 (crc mismatch)"
        assert got == [n.encode() for n, _, _ in READS[:51]]
        with pytest.raises(StopIteration):
            next(reader)
    with pytest.raises(zarv.ZarvError, match=r"^corrupted zarv data: block 2 \(crc mismatch\)$"):
        zarv.decompress_to_bytes(bad, threads=8)


def _wrong_digest(data, index, which):
    """Block `index` with digest `which` (0 names, 1 sequence, 2 quality)
    changed and its frame CRC made to match, so that it fails only once
    decoded."""
    off, n = frames(data)[index]
    payload = bytearray(data[off:off + n])
    payload[8 * which] ^= 1
    return data[: off - 4] + struct.pack("<I", crc32c(bytes(payload))) + bytes(payload) + data[off + n:]


def test_first_failing_block_in_file_order_decides():
    # Block 2 (120 reads) and block 3 (no reads, done long before it) both
    # fail once decoded. However the workers finish, block 2's error is the
    # one raised, after the records of blocks 0 and 1.
    both = _wrong_digest(_wrong_digest(MULTI, 3, 0), 2, 2)
    later_only = _wrong_digest(MULTI, 4, 1)
    for threads in (1, 2, 3, 8):
        got = []
        with pytest.raises(zarv.ZarvError) as e:
            for r in zarv.open(both, threads=threads):
                got.append(r)
        assert str(e.value) == "corrupted zarv data: block quality digest (crc mismatch)"
        assert len(got) == 51
        with pytest.raises(zarv.ZarvError, match=r"^corrupted zarv data: block sequence digest"):
            zarv.decompress_to_bytes(later_only, threads=threads)
        assert len(list(zarv.open(later_only, threads=threads, streams=["names"]))) == 300


def test_read_failure_while_filling_a_batch():
    # The archive stops inside the fourth frame: the three before it come out
    # first, then the truncation.
    data = write(READS[:40], block_reads=[10, 10, 10, 10], end_frame=False)
    off, n = frames(data)[3]
    cut = data[: off + n - 5]
    reader = zarv.open(cut, threads=8)
    got = []
    with pytest.raises(zarv.ZarvError) as e:
        for r in reader:
            got.append(r)
    assert str(e.value) == "truncated zarv stream"
    assert len(got) == 30


def test_partial_output_stays_on_failure(tmp_path):
    bad = _corrupt_block(MULTI, 4)
    dest = tmp_path / "partial.fq"
    with pytest.raises(zarv.ZarvError):
        zarv.decompress_to_path(bad, dest, threads=1)
    assert dest.read_bytes() == fastq(READS[:171])


def test_encrypted_archives():
    data = write(READS, block_reads=[100, 100, 100], encryption=ENC)
    info = zarv.inspect(data)
    assert info.encrypted and info.names_bytes == 0
    assert info.encrypted_bytes == sum(n for _, n in frames(data))
    text = zarv.decompress_to_bytes(data, password="s\u00e9same")
    assert text == zarv.decompress_to_bytes(data, password="s\u00e9same".encode()) == fastq(READS)
    assert [r.name for r in zarv.open(data, password=b"s\xc3\xa9same", threads=1)][-1] == READS[-1][0].encode()

    reader = zarv.open(data)  # the error arrives with the first next()
    with pytest.raises(zarv.ZarvError) as e:
        next(reader)
    assert str(e.value) == "archive is encrypted; a passphrase is required"
    wrong = "decryption failed: wrong passphrase, or the data is corrupted or tampered"
    with pytest.raises(zarv.ZarvError) as e:
        zarv.decompress_to_bytes(data, password="sesame")
    assert str(e.value) == wrong
    with pytest.raises(TypeError) as e:
        zarv.decompress_to_bytes(data, password=5)
    assert str(e.value) == "password must be str or bytes"
    # A passphrase given for a plain archive is ignored.
    assert zarv.decompress_to_bytes(MULTI, password="x") == fastq(READS)


def test_swapped_sealed_blocks_fail():
    data = write(READS[:20], block_reads=[10, 10], encryption=ENC)
    (o1, n1), (o2, n2) = frames(data)
    a, b = data[o1 - 16:o1 + n1], data[o2 - 16:o2 + n2]
    swapped = data[: o1 - 16] + b + a + data[o2 + n2:]
    with pytest.raises(zarv.ZarvError) as e:
        zarv.decompress_to_bytes(swapped, password=ENC["passphrase"])
    assert str(e.value) == "decryption failed: wrong passphrase, or the data is corrupted or tampered"


def test_key_derivation_errors_surface():
    # The writer cannot derive with such parameters: patch a good header.
    data = write(READS[:2], encryption=ENC)
    ext_len = struct.unpack("<H", data[19:21])[0]
    body_at = 21 + 3  # first extension record is the encryption record
    hdr = bytearray(data[: 25 + ext_len])
    hdr[body_at + 41] = 0  # lanes
    hdr[21 + ext_len: 25 + ext_len] = struct.pack("<I", crc32c(bytes(hdr[: 21 + ext_len])))
    with pytest.raises(zarv.ZarvError) as e:
        zarv.decompress_to_bytes(bytes(hdr) + data[25 + ext_len:], password="x")
    assert str(e.value) == "key derivation failed: not enough threads"


def test_reader_protocol():
    reader = zarv.open(MULTI)
    assert iter(reader) is reader
    with reader as r:
        assert r is reader
        first = next(r)
    assert first.name == READS[0][0].encode()
    with pytest.raises(KeyError):
        with zarv.open(MULTI) as r:
            next(r)
            raise KeyError("propagates")
    assert zarv.Reader.__enter__.__text_signature__ == "($self)"
    assert zarv.Reader.__exit__.__text_signature__ == "($self, /, *_args)" or \
        zarv.Reader.__exit__.__text_signature__ == "($self, *_args)"
    assert reader.__exit__(None, None, None) is False
    with pytest.raises(TypeError):
        zarv.Reader()
    with pytest.raises(TypeError):
        zarv.Record()


def test_reader_is_bound_to_its_thread():
    reader = zarv.open(MULTI)
    errors = []

    def other():
        try:
            next(reader)
        except RuntimeError as e:
            errors.append(str(e))

    t = threading.Thread(target=other)
    t.start()
    t.join()
    assert errors == ["_zarv::PyReader is unsendable, but sent to another thread"]
    assert next(reader).name == READS[0][0].encode()


def native_threads():
    return len(os.listdir("/proc/self/task"))


def test_dropping_a_reader_stops_its_thread(capfd):
    big = write(illumina_reads(5000, seed=3), block_reads=[500] * 10)
    before = native_threads()
    for _ in range(5):
        r = zarv.open(big, threads=2)
        next(r)
        del r
        gc.collect()
    assert native_threads() == before

    # The last reference may go on the decode thread itself, inside the
    # source's read(): the thread still ends.
    class DropsReader(io.BytesIO):
        def read(self, n=-1):
            self.reader = None
            return super().read(n)

    def thread_stacks():  # the decode thread's 2 MiB stacks still mapped
        spans = (l.split()[0].split("-") for l in open("/proc/self/maps"))
        return sum(int(b, 16) - int(a, 16) == 2 << 20 for a, b in spans)

    stacks = thread_stacks()
    for _ in range(50):
        src = DropsReader(MULTI)
        src.reader = zarv.open(src)
        del src
    for _ in range(100):
        if native_threads() == before:
            break
        time.sleep(0.05)
    assert native_threads() == before
    # Each ended thread gives its stack back (joined or detached).
    assert thread_stacks() - stacks < 10
    out, err = capfd.readouterr()
    assert out == "" and err == ""


def test_reader_in_a_cycle_with_its_source_is_collected():
    big = write(illumina_reads(5000, seed=3), block_reads=[100] * 50)
    before = native_threads()

    class Source:  # the Reader is reachable only through its own source
        def __init__(self):
            self.stream = io.BytesIO(big)

        def read(self, n):
            return self.stream.read(n)

    for _ in range(3):
        src = Source()
        src.reader = zarv.open(src, threads=1)
        next(src.reader)
        del src
    gc.collect()
    for _ in range(100):
        if native_threads() == before:
            break
        time.sleep(0.05)
    assert native_threads() == before


def test_ctrl_c_interrupts_a_reader_waiting_on_a_stalled_source():
    class Stalls:
        pos = 0

        def read(self, n):
            if self.pos >= 5000:
                time.sleep(1.5)
            out = MULTI[self.pos:self.pos + n]
            self.pos += len(out)
            return out

    reader = zarv.open(Stalls(), threads=1)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    started = time.perf_counter()
    with pytest.raises(KeyboardInterrupt):
        for _ in reader:
            pass
    assert time.perf_counter() - started < 1.0  # not after the stalled read
    del reader


def test_exit_with_a_reader_reading_a_file_like_source(tmp_path):
    # The interpreter ends the decode thread while it waits for the lock in
    # read(): the process must still exit cleanly.
    archive_path = tmp_path / "a.zarv"
    archive_path.write_bytes(write(illumina_reads(5000, seed=4), block_reads=[100] * 50))
    script = (f"import sys, time; sys.path[:0] = {sys.path!r}; import zarv\n"
              f"data = open({str(archive_path)!r}, 'rb').read()\n"
              "class Slow:\n    pos = 0\n    def read(self, n):\n        time.sleep(0.01)\n"
              "        out = data[self.pos:self.pos + n]; self.pos += len(out); return out\n"
              "reader = zarv.open(Slow(), threads=2)\nnext(reader)\n")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stderr == ""


def test_destination_that_is_the_source_is_refused(tmp_path):
    src = tmp_path / "a.zarv"
    src.write_bytes(MULTI)
    os.link(src, tmp_path / "b.zarv")
    for dest in (src, tmp_path / "b.zarv"):
        with pytest.raises(OSError, match="^destination is the source archive$"):
            zarv.decompress_to_path(src, dest)
    assert src.read_bytes() == MULTI
    assert zarv.decompress_to_path(src, os.devnull) == 300  # not truncated, not refused


def test_file_like_sources_need_the_main_interpreter():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    sid = interpreters.create()
    try:
        code = (f"import io, sys; sys.path[:0] = {sys.path!r}; import zarv\n"
                f"assert zarv.decompress_to_bytes({MULTI!r}) != b''\n"
                "try:\n    zarv.decompress_to_bytes(io.BytesIO(b''))\nexcept RuntimeError as e:\n"
                "    assert 'main interpreter' in str(e)\nelse:\n    raise AssertionError('accepted')\n")
        interpreters.run_string(sid, code)
    finally:
        interpreters.destroy(sid)


def test_record_repr_and_docs():
    raw = write([(b"A\xff", b"C" * 150, b"I" * 150)])
    rec = next(zarv.open(raw))
    assert rec.name == b"A\xff"
    assert repr(rec) == 'Record(name="A\ufffd", len=150)'
    quoted = next(zarv.open(write([(b'a"b\\c', b"", b"")])))
    assert repr(quoted) == 'Record(name="a\\"b\\\\c", len=0)'
    assert zarv.Record.__doc__.startswith("One decoded FASTQ record. `name` excludes the leading `@`")
    assert zarv.Reader.__doc__.endswith("the natural usage for an iterator.")
    assert zarv.open.__text_signature__ == "(source, *, threads=0, streams=None, password=None)"
    assert zarv.decompress_to_path.__text_signature__ == "(source, dest, *, threads=0, fasta=False, password=None)"
    assert zarv.decompress_to_bytes.__text_signature__ == "(source, *, threads=0, fasta=False, password=None)"
    assert zarv.decompress_to_bytes.__doc__.endswith("decode entirely (see [`decompress_to_path`]).")
    for name in ("open", "decompress_to_path", "decompress_to_bytes", "Reader", "Record"):
        assert name in zarv.__all__


def test_argument_errors():
    with pytest.raises(TypeError, match="fasta"):
        zarv.decompress_to_bytes(MULTI, fasta=1)
    with pytest.raises(TypeError):
        zarv.decompress_to_bytes(MULTI, 1)  # threads is keyword-only
    with pytest.raises(OverflowError):
        zarv.open(MULTI, threads=-1)
    with pytest.raises(ValueError):
        zarv.open(MULTI, streams=("Names",))
    with pytest.raises(ValueError) as e:  # not UTF-8's to encode, still no stream's name
        zarv.open(MULTI, streams=["q\ud800"])
    assert str(e.value) == "unknown stream \"q\\u{d800}\"; expected 'names', 'sequence', or 'quality'"
    with pytest.raises(TypeError, match="dest"):
        zarv.decompress_to_path(MULTI, 5)


def test_unsupported_layouts_fail_cleanly():
    for flags in (0x08, 0x20):
        data = header(flags=flags) + bytes(100)
        with pytest.raises(zarv.ZarvError):
            zarv.decompress_to_bytes(data)


def test_file_like_read_failure_is_an_oserror():
    class Broken:
        def __init__(self, data):
            self.buf = io.BytesIO(data)
            self.calls = 0

        def read(self, k):
            self.calls += 1
            if self.calls > 3:
                raise ConnectionResetError("peer went away")
            return self.buf.read(min(k, 4096))

    with pytest.raises(OSError) as e:
        zarv.decompress_to_bytes(Broken(MULTI))
    assert str(e.value) == "peer went away"
    reader = zarv.open(Broken(MULTI))
    with pytest.raises(OSError, match="^peer went away$"):
        list(reader)

    class NotBytes:
        def read(self, k):
            return 42

    with pytest.raises(OSError, match=r"^file-like \.read\(\) must return bytes$"):
        zarv.decompress_to_bytes(NotBytes())


def test_declared_read_count_is_never_materialised():
    # A block that claims two billion reads and selects no stream: records
    # come out a chunk at a time, and dropping the reader stops the thread.
    from kit import archive, raw_payload

    huge = archive([(raw_payload(names=b"", seq=b"\x00", qual=b"", reads=2**31), 2**31)])
    reader = zarv.open(huge, streams=[], threads=1)
    first = [next(reader) for _ in range(5000)]
    assert all(r.name == r.sequence == r.quality == b"" for r in first)
    del reader
    gc.collect()
