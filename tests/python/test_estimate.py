"""estimate() and Estimate: sampling of plain, gzip and BGZF input, single
and grouped sources, platform rules, and every argument and input error."""

import contextlib
import gzip
import itertools
import os
import shutil
import subprocess
import threading

import pytest

import zarv
from kit import raises

DATA = os.path.join(os.path.dirname(__file__), "..", "estimate", "data")
PLAIN = os.path.join(DATA, "velvet_read2_head100.fq")
BGZF = os.path.join(DATA, "velvet_read2_head100.fq.bgz")
BINNING = "; expected lossless, bin8, bin4, bin2, ont, or hifi"


def fields(e):
    return (e.sample_reads, e.sample_bases, e.raw_bytes, e.names_bytes, e.sequence_bytes, e.quality_bytes,
            e.archive_bytes, e.exhausted, e.platform)


def illumina(n, start=0, end="\n"):
    seqs = ((i, "ACGTTGCAAGGCTTAC"[i % 7:] * 6) for i in range(start, start + n))
    return "".join(f"@A00123:8:H5KJLDSXX:1:1101:{1000 + i}:2000 1:N:0:ACGT{end}{s}{end}+{end}{'F' * len(s)}{end}"
                   for i, s in seqs).encode()


def test_plain_gzip_and_bgzf_agree(tmp_path):
    plain = zarv.estimate(PLAIN)
    raw = open(PLAIN, "rb").read()
    assert (plain.raw_bytes, plain.sample_reads, plain.exhausted, plain.platform) == (len(raw), 100, True, "illumina")
    gz = tmp_path / "r.fq.gz"
    gz.write_bytes(gzip.compress(raw))
    multi = tmp_path / "multi.fq.gz"
    multi.write_bytes(gzip.compress(raw[:5000]) + gzip.compress(raw[5000:]))
    for other in (BGZF, str(gz), multi, raw, gzip.compress(raw)):
        assert fields(zarv.estimate(other)) == fields(plain)
    assert fields(zarv.estimate(illumina(50, end="\r\n"))) == fields(zarv.estimate(illumina(50)))


def test_caps_and_exhausted():
    data = illumina(10)
    assert zarv.estimate(data, sample_reads=10).exhausted is False  # exactly the cap
    assert zarv.estimate(data, sample_reads=11).exhausted is True
    assert zarv.estimate(data, sample_reads=0).sample_reads == 1
    assert zarv.estimate([data, data], sample_reads=10).sample_reads == 10
    group = zarv.estimate([illumina(5), illumina(5, 5)], sample_reads=100)
    assert group.sample_reads == 10 and group.exhausted
    assert zarv.estimate([illumina(5), illumina(60)], sample_reads=100).exhausted is False


def test_empty_input_and_name_forms():
    for e in (zarv.estimate(b""), zarv.estimate(gzip.compress(b""))):
        assert fields(e) == (0, 0, 0, 0, 0, 0, 0, True, "unknown") and e.ratio == 0.0
        assert repr(e) == "Estimate(sample_reads=0, archive_bytes=0, ratio=0.000, exhausted=true)"
    assert zarv.estimate(b"@r1 x\nACGT\n+r1 x\nIIII\n").raw_bytes == 18
    tab, space = (zarv.estimate(b"@r1%slane=2\nACGT\n+\nIIII\n" % sep) for sep in (b"\t", b" "))
    assert tab.names_bytes == space.names_bytes and tab.raw_bytes == space.raw_bytes


def test_estimate_object():
    e = zarv.estimate(illumina(40))
    assert e.archive_bytes == e.names_bytes + e.sequence_bytes + e.quality_bytes + 52
    assert e.ratio == pytest.approx(e.raw_bytes / e.archive_bytes)
    assert repr(e) == f"Estimate(sample_reads=40, archive_bytes={e.archive_bytes}, ratio={e.ratio:.3f}, exhausted=true)"
    assert zarv.Estimate.__doc__.startswith("Projected compression of a FASTQ, from coding a bounded leading sample")
    assert zarv.Estimate.ratio.__doc__ == "Uncompressed FASTQ bytes \u00f7 archive bytes. Scale-invariant; `0.0` if empty."
    assert zarv.estimate.__text_signature__ == (
        '(source, *, level=5, quality_binning="lossless", sample_reads=1048576, threads=0)')
    assert "estimate" in zarv.__all__ and "Estimate" in zarv.__all__
    raises(TypeError, None, zarv.Estimate)


def test_levels_and_binning():
    data = open(PLAIN, "rb").read()
    by_level = {lv: fields(zarv.estimate(data, level=lv)) for lv in (0, 1, 2, 9)}
    assert by_level[2] == by_level[9] and len({by_level[0], by_level[1], by_level[2]}) == 3
    lossless = zarv.estimate(illumina(30), quality_binning="LOSSLESS")
    assert fields(lossless) == fields(zarv.estimate(illumina(30), quality_binning="none"))
    raises(ValueError, 'unknown quality_binning "bin3"' + BINNING, zarv.estimate, data, quality_binning="bin3")
    raises(ValueError, 'unknown quality_binning "bin\\u{dc80}"' + BINNING,
           zarv.estimate, data, quality_binning="bin\udc80")
    raises(OverflowError, "argument 'level': out of range integral type conversion attempted",
           zarv.estimate, data, level=256)
    raises(TypeError, "argument 'sample_reads': 'str' object cannot be interpreted as an integer",
           zarv.estimate, data, sample_reads="5")
    assert fields(zarv.estimate(data, threads=1)) == fields(zarv.estimate(data, threads=64))


def test_grouped_platforms():
    assert zarv.estimate([illumina(20), b"@x\nACGT\n+\nIIII\n"]).platform == "illumina"
    nanopore = "".join(f"@{i:08x}-1234-5678-9abc-def012345678 runid=abc read={i} ch=12 start_time=x\n"
                       f"{'ACGT' * 200}\n+\n{'+' * 800}\n" for i in range(20)).encode()
    raises(zarv.ZarvError, "grouped sources span multiple platforms (Illumina and Oxford Nanopore); estimate a "
           "single archive's mates together, not different datasets", zarv.estimate, [illumina(20), nanopore])


def test_input_errors(tmp_path):
    raises(ValueError, "estimate() requires at least one source", zarv.estimate, [])

    # A list subclass is iterated, whatever its __len__ and __getitem__ say.
    overstated = type("Overstated", (list,), {"__len__": lambda s: 2**62, "__getitem__": lambda s, i: b"@x\nA\n+\nI\n"})
    assert zarv.estimate(overstated([b"@r\nACGTACGT\n+\nIIIIIIII\n"])).sample_reads == 1
    not_a_path = type("NotAPath", (), {"__fspath__": lambda s: None})()
    for bad in (5, [b"", 5], iter([b""]), not_a_path):
        raises(TypeError, "source must be bytes, a str path, or an os.PathLike", zarv.estimate, bad)
    missing = tmp_path / "none.fq"
    with pytest.raises(OSError) as e:
        zarv.estimate(missing)
    assert str(e.value).startswith(str(missing) + ": ")
    for data, message in [(b"r1\nACGT\n+\nIIII\n", "invalid name prefix"), (b"@r1\nACGT\n-\nIIII\n",
                          "invalid description prefix"), (b"@r1\nACGT\n", "failed to fill whole buffer")]:
        raises(OSError, message, zarv.estimate, data)
    raises(zarv.ZarvError, "invalid FASTQ: sequence length 4 but quality length 3 (must be equal)",
           zarv.estimate, b"@r1\nACGT\n+\nIII\n")
    # The prefix is judged by the first byte: input without line feeds is not
    # read to its end first.
    raises(OSError, "invalid name prefix", zarv.estimate, "/dev/zero")


def test_reads_only_the_sample(tmp_path):
    # A named pipe fed without end: the estimate must stop at the cap.
    fifo = tmp_path / "endless.fq"
    os.mkfifo(fifo)
    stop = threading.Event()

    def feed():
        with contextlib.suppress(BrokenPipeError), open(fifo, "wb") as f:
            for i in itertools.takewhile(lambda i: not stop.is_set(), itertools.count(0, 1000)):
                f.write(illumina(1000, i))

    t = threading.Thread(target=feed, daemon=True)
    t.start()
    e = zarv.estimate(str(fifo), sample_reads=5000)
    stop.set()
    assert e.sample_reads == 5000 and e.exhausted is False
    t.join(timeout=10)


VELVET = "/usr/share/doc/velvet/tests/read1.fq.gz"


@pytest.mark.skipif(not os.path.exists(VELVET), reason="velvet-tests not installed (scripts/setup.sh installs it)")
def test_real_fastq_in_every_form(tmp_path):
    # Larger than one BGZF block: bgzip output is many gzip members.
    raw = gzip.decompress(open(VELVET, "rb").read())
    plain = tmp_path / "read1.fq"
    plain.write_bytes(raw)
    reference = fields(zarv.estimate(plain))
    assert reference[0] == raw.count(b"\n") // 4 and reference[7] is True
    assert fields(zarv.estimate(VELVET)) == fields(zarv.estimate(raw)) == reference
    if shutil.which("bgzip"):
        subprocess.run(["bgzip", "-k", str(plain)], check=True)
        assert fields(zarv.estimate(str(plain) + ".gz")) == reference
    crlf = tmp_path / "crlf.fq"
    crlf.write_bytes(raw.replace(b"\n", b"\r\n"))
    assert fields(zarv.estimate(crlf)) == reference
    half = zarv.estimate(VELVET, sample_reads=reference[0] - 1)
    assert half.exhausted is False and half.sample_reads == reference[0] - 1
