"""estimate() and Estimate: sampling of plain, gzip and BGZF input, single
and grouped sources, platform rules, and every argument and input error."""

import gzip
import os
import shutil
import subprocess
import threading

import pytest

import zarv

DATA = os.path.join(os.path.dirname(__file__), "..", "estimate", "data")
PLAIN = os.path.join(DATA, "velvet_read2_head100.fq")
BGZF = os.path.join(DATA, "velvet_read2_head100.fq.bgz")


def fields(e):
    return (e.sample_reads, e.sample_bases, e.raw_bytes, e.names_bytes, e.sequence_bytes, e.quality_bytes,
            e.archive_bytes, e.exhausted, e.platform)


def illumina(n, start=0, crlf=False):
    end = "\r\n" if crlf else "\n"
    out = []
    for i in range(start, start + n):
        seq = "ACGTTGCAAGGCTTAC"[i % 7:] * 6
        out.append(f"@A00123:8:H5KJLDSXX:1:1101:{1000 + i}:2000 1:N:0:ACGT{end}{seq}{end}+{end}{'F' * len(seq)}{end}")
    return "".join(out).encode()


def nanopore(n):
    out = []
    for i in range(n):
        seq = "ACGT" * 200
        out.append(f"@{i:08x}-1234-5678-9abc-def012345678 runid=abc read={i} ch=12 start_time=x\n{seq}\n+\n{'+' * 800}\n")
    return "".join(out).encode()


def test_plain_gzip_and_bgzf_agree(tmp_path):
    plain = zarv.estimate(PLAIN)
    raw = open(PLAIN, "rb").read()
    assert plain.raw_bytes == len(raw) and plain.sample_reads == 100 and plain.exhausted
    assert plain.platform == "illumina"
    gz = tmp_path / "r.fq.gz"
    gz.write_bytes(gzip.compress(raw))
    multi = tmp_path / "multi.fq.gz"
    multi.write_bytes(gzip.compress(raw[:5000]) + gzip.compress(raw[5000:]))
    for other in (zarv.estimate(BGZF), zarv.estimate(str(gz)), zarv.estimate(multi), zarv.estimate(raw),
                  zarv.estimate(gzip.compress(raw))):
        assert fields(other) == fields(plain)
    assert zarv.estimate(illumina(50, crlf=True)).__repr__() == zarv.estimate(illumina(50)).__repr__()
    assert fields(zarv.estimate(illumina(50, crlf=True))) == fields(zarv.estimate(illumina(50)))


def test_caps_and_exhausted():
    data = illumina(10)
    assert zarv.estimate(data, sample_reads=10).exhausted is False  # exactly the cap
    assert zarv.estimate(data, sample_reads=11).exhausted is True
    assert zarv.estimate(data, sample_reads=0).sample_reads == 1
    assert zarv.estimate([data, data], sample_reads=10).sample_reads == 10
    group = zarv.estimate([illumina(5), illumina(5, 5)], sample_reads=100)
    assert group.sample_reads == 10 and group.exhausted
    assert zarv.estimate([illumina(5), illumina(60)], sample_reads=100).exhausted is False


def test_empty_input():
    for e in (zarv.estimate(b""), zarv.estimate(gzip.compress(b""))):
        assert fields(e) == (0, 0, 0, 0, 0, 0, 0, True, "unknown")
        assert e.ratio == 0.0
        assert repr(e) == "Estimate(sample_reads=0, archive_bytes=0, ratio=0.000, exhausted=true)"


def test_raw_bytes_and_name_forms():
    one = zarv.estimate(b"@r1 x\nACGT\n+r1 x\nIIII\n")
    assert one.raw_bytes == 18
    tab = zarv.estimate(b"@r1\tlane=2\nACGT\n+\nIIII\n")
    space = zarv.estimate(b"@r1 lane=2\nACGT\n+\nIIII\n")
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
    with pytest.raises(TypeError):
        zarv.Estimate()


def test_levels_and_binning():
    data = open(PLAIN, "rb").read()
    by_level = {lv: fields(zarv.estimate(data, level=lv)) for lv in (0, 1, 2, 9)}
    assert by_level[2] == by_level[9]
    assert len({by_level[0], by_level[1], by_level[2]}) == 3
    lossless = zarv.estimate(illumina(30), quality_binning="LOSSLESS")
    assert fields(lossless) == fields(zarv.estimate(illumina(30), quality_binning="none"))
    with pytest.raises(ValueError) as e:
        zarv.estimate(data, quality_binning="bin3")
    assert str(e.value) == 'unknown quality_binning "bin3"; expected lossless, bin8, bin4, bin2, ont, or hifi'
    with pytest.raises(ValueError) as e:
        zarv.estimate(data, quality_binning="bin\udc80")
    assert str(e.value) == 'unknown quality_binning "bin\\u{dc80}"; expected lossless, bin8, bin4, bin2, ont, or hifi'
    with pytest.raises(OverflowError):
        zarv.estimate(data, level=256)
    with pytest.raises(TypeError, match="sample_reads"):
        zarv.estimate(data, sample_reads="5")
    assert fields(zarv.estimate(data, threads=1)) == fields(zarv.estimate(data, threads=64))


def test_grouped_platforms():
    mixed = zarv.estimate([illumina(20), b"@x\nACGT\n+\nIIII\n"])
    assert mixed.platform == "illumina"
    with pytest.raises(zarv.ZarvError) as e:
        zarv.estimate([illumina(20), nanopore(20)])
    assert str(e.value) == ("grouped sources span multiple platforms (Illumina and Oxford Nanopore); "
                            "estimate a single archive's mates together, not different datasets")


def test_input_errors(tmp_path):
    with pytest.raises(ValueError) as e:
        zarv.estimate([])
    assert str(e.value) == "estimate() requires at least one source"
    class NotAPath:
        def __fspath__(self):
            return None

    # A list subclass is iterated, whatever its __len__ and __getitem__ say.
    class Overstated(list):
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            return b"@x\nACGT\n+\nIIII\n"

    record = b"@r\nACGTACGT\n+\nIIIIIIII\n"
    assert zarv.estimate(Overstated([record])).sample_reads == 1

    for bad in (5, [b"", 5], iter([b""]), NotAPath()):
        with pytest.raises(TypeError) as e:
            zarv.estimate(bad)
        assert str(e.value) == "source must be bytes, a str path, or an os.PathLike"
    missing = tmp_path / "none.fq"
    with pytest.raises(OSError) as e:
        zarv.estimate(missing)
    assert str(e.value).startswith(str(missing) + ": ")
    cases = {
        b"r1\nACGT\n+\nIIII\n": "invalid name prefix",
        b"@r1\nACGT\n-\nIIII\n": "invalid description prefix",
        b"@r1\nACGT\n": "failed to fill whole buffer",
    }
    for data, message in cases.items():
        with pytest.raises(OSError) as e:
            zarv.estimate(data)
        assert str(e.value) == message
    with pytest.raises(zarv.ZarvError) as e:
        zarv.estimate(b"@r1\nACGT\n+\nIII\n")
    assert str(e.value) == "invalid FASTQ: sequence length 4 but quality length 3 (must be equal)"
    # The prefix is judged by the first byte: input without line feeds is not
    # read to its end first.
    with pytest.raises(OSError, match="^invalid name prefix$"):
        zarv.estimate("/dev/zero")


def test_reads_only_the_sample(tmp_path):
    # A named pipe fed without end: the estimate must stop at the cap.
    fifo = tmp_path / "endless.fq"
    os.mkfifo(fifo)
    stop = threading.Event()

    def feed():
        with open(fifo, "wb") as f:
            i = 0
            try:
                while not stop.is_set():
                    f.write(illumina(1000, i))
                    i += 1000
            except BrokenPipeError:
                pass

    t = threading.Thread(target=feed, daemon=True)
    t.start()
    e = zarv.estimate(str(fifo), sample_reads=5000)
    stop.set()
    assert e.sample_reads == 5000 and e.exhausted is False
    t.join(timeout=10)


@pytest.mark.skipif(shutil.which("bgzip") is None, reason="bgzip (tabix) not installed")
def test_bgzip_tool_output(tmp_path):
    p = tmp_path / "x.fq"
    p.write_bytes(illumina(300))
    subprocess.run(["bgzip", "-k", str(p)], check=True)
    assert fields(zarv.estimate(str(p) + ".gz")) == fields(zarv.estimate(p))


VELVET = "/usr/share/doc/velvet/tests/read1.fq.gz"


@pytest.mark.skipif(not os.path.exists(VELVET), reason="velvet-tests not installed (scripts/setup.sh installs it)")
def test_real_fastq_in_every_form(tmp_path):
    raw = gzip.decompress(open(VELVET, "rb").read())
    plain = tmp_path / "read1.fq"
    plain.write_bytes(raw)
    reference = fields(zarv.estimate(plain))
    assert reference[0] == raw.count(b"\n") // 4 and reference[7] is True
    assert fields(zarv.estimate(VELVET)) == reference
    assert fields(zarv.estimate(raw)) == reference
    if shutil.which("bgzip"):
        subprocess.run(["bgzip", "-k", str(plain)], check=True)
        assert fields(zarv.estimate(str(plain) + ".gz")) == reference
    crlf = tmp_path / "crlf.fq"
    crlf.write_bytes(raw.replace(b"\n", b"\r\n"))
    assert fields(zarv.estimate(crlf)) == reference
    half = zarv.estimate(VELVET, sample_reads=reference[0] - 1)
    assert half.exhausted is False and half.sample_reads == reference[0] - 1
