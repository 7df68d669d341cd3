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
from kit import (FileLike, archive, crc32c, encoded, fail, fasta, fastq, flip, frames, header, illumina_reads, raises,
                 raw_payload, write)

READS = illumina_reads(300, seed=7)
MULTI = write(READS, block_reads=[50, 1, 120, 0, 129])
ENC = dict(passphrase=b"s\xc3\xa9same", salt=bytes(range(16)), archive_id=bytes(range(100, 116)), m_cost=64)
WRONG = "decryption failed: wrong passphrase, or the data is corrupted or tampered"


def triples(records):
    return [(r.name, r.sequence, r.quality) for r in records]


def test_fastq_fasta_and_records_in_file_order():
    for threads in (0, 1, 2, 8):
        assert zarv.decompress_to_bytes(MULTI, threads=threads) == fastq(READS)
        assert zarv.decompress_to_bytes(MULTI, threads=threads, fasta=True) == fasta(READS)
        assert triples(zarv.open(MULTI, threads=threads)) == [tuple(x.encode() for x in r) for r in READS]
    two = write([("r1", "ACGT", "IIII"), ("r2", "GG", "#I")])
    assert zarv.decompress_to_bytes(two, fasta=True) == b">r1\nACGT\n>r2\nGG\n"
    assert zarv.decompress_to_bytes(write([("e", "", "")])) == b"@e\n\n+\n\n"


def test_decompress_to_path(tmp_path):
    dest = tmp_path / "out.fq"
    dest.write_bytes(b"old contents that must go")
    assert zarv.decompress_to_path(MULTI, str(dest), threads=2) == 300
    assert dest.read_bytes() == fastq(READS)
    assert zarv.decompress_to_path(MULTI, dest, fasta=True) == 300
    assert dest.read_bytes() == fasta(READS)
    # A destination failure is the system's own text.
    raises(FileNotFoundError, "No such file or directory", zarv.decompress_to_path, MULTI, str(tmp_path / "no" / "x"))
    raises(OSError, "Invalid argument", zarv.decompress_to_path, MULTI, str(tmp_path / "x\0y"))
    empty = write([])
    assert zarv.decompress_to_path(empty, dest) == 0 and dest.read_bytes() == b""
    assert list(zarv.open(empty)) == [] and zarv.decompress_to_bytes(empty) == b""


def test_stream_selection():
    assert triples(zarv.open(MULTI, streams="seq")) == [(b"", s, b"") for s in encoded(READS, 1)]
    assert triples(zarv.open(MULTI, streams=["names", "qual"])) == [(n.encode(), b"", q.encode()) for n, _, q in READS]
    none = list(zarv.open(MULTI, streams=[]))
    assert len(none) == 300 and all(r.name == r.sequence == r.quality == b"" for r in none)
    # Quality coded against the bases still decodes when selected alone.
    against = write(READS[:20], quality_mode=1)
    assert [r.quality for r in zarv.open(against, streams="quality")] == encoded(READS[:20], 2)


def test_file_like_sources():
    assert len(list(zarv.open(io.BytesIO(MULTI)))) == 300
    trickle = io.BytesIO(MULTI)  # at most 7 bytes per read call
    assert zarv.decompress_to_bytes(FileLike(lambda k: trickle.read(min(k, 7))), threads=2) == fastq(READS)
    raises(TypeError, "source must be bytes, a str/os.PathLike path, or a file-like object with .read()",
           zarv.open, 123)

    def broken():  # fails on the fourth read
        buf = io.BytesIO(MULTI)
        return FileLike(lambda k: fail(ConnectionResetError("peer went away")) if buf.tell() >= 3 * 4096
                        else buf.read(min(k, 4096)))

    raises(OSError, "peer went away", zarv.decompress_to_bytes, broken())
    raises(OSError, "peer went away", list, zarv.open(broken()))


def records_before_error(records, message):
    """What iterating `records` yields before it raises ZarvError `message`."""
    got = []
    raises(zarv.ZarvError, message, lambda: [got.append(r) for r in records])
    return got


def _corrupt_block(data, index):
    off, n = frames(data)[index]
    return flip(data, off + n // 2, 0x55)


def test_failure_delivers_earlier_blocks_first(tmp_path):
    bad = _corrupt_block(MULTI, 2)  # the 1-read block is index 1, the third holds 120
    for threads in (1, 8):
        reader = zarv.open(bad, threads=threads)
        got = records_before_error(reader, "corrupted zarv data: block 2 (crc mismatch)")
        assert [r.name for r in got] == encoded(READS[:51], 0)
        raises(StopIteration, None, next, reader)
    raises(zarv.ZarvError, "corrupted zarv data: block 2 (crc mismatch)", zarv.decompress_to_bytes, bad, threads=8)
    # Output written before the failure stays.
    dest = tmp_path / "partial.fq"
    raises(zarv.ZarvError, "corrupted zarv data: block 4 (crc mismatch)",
           zarv.decompress_to_path, _corrupt_block(MULTI, 4), dest, threads=1)
    assert dest.read_bytes() == fastq(READS[:171])


def _wrong_digest(data, index, which):
    """Block `index` with digest `which` (0 names, 1 sequence, 2 quality)
    changed and its frame CRC made to match, so that it fails only once
    decoded."""
    off, n = frames(data)[index]
    payload = flip(data[off:off + n], 8 * which)
    return data[: off - 4] + struct.pack("<I", crc32c(payload)) + payload + data[off + n:]


DIGEST = "corrupted zarv data: block %s digest (crc mismatch)"


def test_first_failing_block_in_file_order_decides():
    # Block 2 (120 reads) and block 3 (no reads, done long before it) both
    # fail once decoded. However the workers finish, block 2's error is the
    # one raised, after the records of blocks 0 and 1.
    both = _wrong_digest(_wrong_digest(MULTI, 3, 0), 2, 2)
    later_only = _wrong_digest(MULTI, 4, 1)
    for threads in (1, 2, 3, 8):
        got = records_before_error(zarv.open(both, threads=threads), DIGEST % "quality")
        assert len(got) == 51
        raises(zarv.ZarvError, DIGEST % "sequence", zarv.decompress_to_bytes, later_only, threads=threads)
        assert len(list(zarv.open(later_only, threads=threads, streams=["names"]))) == 300


def test_read_failure_while_filling_a_batch():
    # The archive stops inside the fourth frame: the three before it come out
    # first, then the truncation.
    data = write(READS[:40], block_reads=[10, 10, 10, 10], end_frame=False)
    off, n = frames(data)[3]
    assert len(records_before_error(zarv.open(data[: off + n - 5], threads=8), "truncated zarv stream")) == 30


def test_encrypted_archives():
    data = write(READS, block_reads=[100, 100, 100], encryption=ENC)
    assert zarv.inspect(data).encrypted_bytes == sum(n for _, n in frames(data))
    text = zarv.decompress_to_bytes(data, password="s\u00e9same")
    assert text == zarv.decompress_to_bytes(data, password="s\u00e9same".encode()) == fastq(READS)
    assert [r.name for r in zarv.open(data, password=b"s\xc3\xa9same", threads=1)][-1] == READS[-1][0].encode()
    reader = zarv.open(data)  # the error arrives with the first next()
    raises(zarv.ZarvError, "archive is encrypted; a passphrase is required", next, reader)
    raises(zarv.ZarvError, WRONG, zarv.decompress_to_bytes, data, password="sesame")
    raises(TypeError, "password must be str or bytes", zarv.decompress_to_bytes, data, password=5)
    # A passphrase given for a plain archive is ignored.
    assert zarv.decompress_to_bytes(MULTI, password="x") == fastq(READS)
    # Sealed blocks swapped in place fail to open.
    data = write(READS[:20], block_reads=[10, 10], encryption=ENC)
    (o1, n1), (o2, n2) = frames(data)
    swapped = data[: o1 - 16] + data[o2 - 16:o2 + n2] + data[o1 - 16:o1 + n1] + data[o2 + n2:]
    raises(zarv.ZarvError, WRONG, zarv.decompress_to_bytes, swapped, password=ENC["passphrase"])


def test_key_derivation_errors_surface():
    # The writer cannot derive with such parameters: patch a good header.
    data = write(READS[:2], encryption=ENC)
    ext_len = struct.unpack("<H", data[19:21])[0]
    hdr = bytearray(data[: 25 + ext_len])
    hdr[21 + 3 + 41] = 0  # lanes, in the first extension record (the encryption one)
    hdr[21 + ext_len: 25 + ext_len] = struct.pack("<I", crc32c(bytes(hdr[: 21 + ext_len])))
    raises(zarv.ZarvError, "key derivation failed: not enough threads",
           zarv.decompress_to_bytes, bytes(hdr) + data[25 + ext_len:], password="x")


def test_reader_protocol():
    reader = zarv.open(MULTI)
    assert iter(reader) is reader
    with reader as r:
        assert r is reader and next(r).name == READS[0][0].encode()
    with pytest.raises(KeyError), zarv.open(MULTI) as r:
        next(r)
        raise KeyError("propagates")
    assert zarv.Reader.__enter__.__text_signature__ == "($self)"
    assert zarv.Reader.__exit__.__text_signature__ in ("($self, /, *_args)", "($self, *_args)")
    assert reader.__exit__(None, None, None) is False
    for cls in (zarv.Reader, zarv.Record):
        raises(TypeError, None, cls)


def test_reader_is_bound_to_its_thread():
    reader = zarv.open(MULTI)
    message = "_zarv::PyReader is unsendable, but sent to another thread"
    seen = []  # stays empty if the check in the other thread fails
    t = threading.Thread(target=lambda: seen.append(raises(RuntimeError, message, next, reader)))
    t.start()
    t.join()
    assert len(seen) == 1
    assert next(reader).name == READS[0][0].encode()


def native_threads():
    return len(os.listdir("/proc/self/task"))


def wait_for_threads(count):
    for _ in range(100):
        if native_threads() == count:
            break
        time.sleep(0.05)
    assert native_threads() == count


def test_dropping_a_reader_stops_its_thread(capfd):
    big = write(illumina_reads(5000, seed=3), block_reads=[500] * 10)
    before = native_threads()
    for _ in range(5):
        next(zarv.open(big, threads=2))  # the reader goes at once
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
    wait_for_threads(before)
    # Each ended thread gives its stack back (joined or detached).
    assert thread_stacks() - stacks < 10
    assert capfd.readouterr() == ("", "")


def test_reader_in_a_cycle_with_its_source_is_collected():
    big = write(illumina_reads(5000, seed=3), block_reads=[100] * 50)
    before = native_threads()
    for _ in range(3):  # the Reader is reachable only through its own source
        src = type("Source", (io.BytesIO,), {})(big)
        src.reader = zarv.open(src, threads=1)
        next(src.reader)
        del src
    gc.collect()
    wait_for_threads(before)


def test_ctrl_c_interrupts_a_reader_waiting_on_a_stalled_source():
    buf = io.BytesIO(MULTI)
    stalls = FileLike(lambda n: buf.read(n) if buf.tell() < 5000 else (time.sleep(1.5), buf.read(n))[1])
    reader = zarv.open(stalls, threads=1)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    started = time.perf_counter()
    raises(KeyboardInterrupt, None, list, reader)
    assert time.perf_counter() - started < 1.0  # not after the stalled read
    del reader


def test_exit_with_a_reader_reading_a_file_like_source(tmp_path):
    # The interpreter ends the decode thread while it waits for the lock in
    # read(): the process must still exit cleanly.
    archive_path = tmp_path / "a.zarv"
    archive_path.write_bytes(write(illumina_reads(5000, seed=4), block_reads=[100] * 50))
    script = (f"import io, sys, time; sys.path[:0] = {sys.path!r}; import zarv\n"
              f"data = io.BytesIO(open({str(archive_path)!r}, 'rb').read())\n"
              "class Slow:\n    read = lambda self, n: time.sleep(0.01) or data.read(n)\n"
              "reader = zarv.open(Slow(), threads=2)\nnext(reader)\n")
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and done.stderr == ""


def test_destination_that_is_the_source_is_refused(tmp_path):
    src = tmp_path / "a.zarv"
    src.write_bytes(MULTI)
    os.link(src, tmp_path / "b.zarv")
    for dest in (src, tmp_path / "b.zarv"):
        raises(OSError, "destination is the source archive", zarv.decompress_to_path, src, dest)
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
    rec = next(zarv.open(write([(b"A\xff", b"C" * 150, b"I" * 150)])))
    assert rec.name == b"A\xff" and repr(rec) == 'Record(name="A\ufffd", len=150)'
    assert repr(next(zarv.open(write([(b'a"b\\c', b"", b"")])))) == 'Record(name="a\\"b\\\\c", len=0)'
    assert zarv.Record.__doc__.startswith("One decoded FASTQ record. `name` excludes the leading `@`")
    assert zarv.Reader.__doc__.endswith("the natural usage for an iterator.")
    assert zarv.decompress_to_bytes.__doc__.endswith("decode entirely (see [`decompress_to_path`]).")
    for fn, sig in [(zarv.open, "(source, *, threads=0, streams=None, password=None)"),
                    (zarv.decompress_to_path, "(source, dest, *, threads=0, fasta=False, password=None)"),
                    (zarv.decompress_to_bytes, "(source, *, threads=0, fasta=False, password=None)")]:
        assert fn.__text_signature__ == sig
    assert {"open", "decompress_to_path", "decompress_to_bytes", "Reader", "Record"} <= set(zarv.__all__)


def test_argument_and_layout_errors():
    raises(TypeError, "argument 'fasta': 'int' object cannot be converted to 'PyBool'",
           zarv.decompress_to_bytes, MULTI, fasta=1)
    raises(TypeError, None, zarv.decompress_to_bytes, MULTI, 1)  # threads is keyword-only
    raises(OverflowError, None, zarv.open, MULTI, threads=-1)
    # Not UTF-8's to encode, still no stream's name.
    raises(ValueError, "unknown stream \"q\\u{d800}\"; expected 'names', 'sequence', or 'quality'",
           zarv.open, MULTI, streams=["q\ud800"])
    raises(TypeError, "argument 'dest': expected str or os.PathLike object, not int", zarv.decompress_to_path, MULTI, 5)
    for flags, message in ((0x08, "globally-reordered layout is"), (0x20, "global reference frames are")):
        raises(zarv.ZarvError, f"malformed zarv block: {message} not supported by this build",
               zarv.decompress_to_bytes, header(flags=flags) + bytes(100))


def test_declared_read_count_is_never_materialised():
    # A block that claims two billion reads and selects no stream: records
    # come out a chunk at a time, and dropping the reader stops the thread.
    huge = archive([(raw_payload(names=b"", seq=b"\x00", qual=b"", reads=2**31), 2**31)])
    reader = zarv.open(huge, streams=[], threads=1)
    assert all(r.name == r.sequence == r.quality == b"" for r in (next(reader) for _ in range(5000)))
    del reader
    gc.collect()
