"""Corruption sweep: flip bytes all over small multi-block archives, plain and
encrypted. Every call must either raise ZarvError/OSError or return exactly
the original data: never crash, hang or hand back something else."""

import pytest

import zarv
from kit import fastq, flip, illumina_reads, write

READS = illumina_reads(24, length=40, seed=99)
PLAIN = write(READS, block_reads=[8, 8, 8])
ENCRYPTED = write(READS, block_reads=[12, 12], encryption=dict(passphrase=b"k", m_cost=8))
EXPECTED = fastq(READS)


def positions(data, step):
    # The header, every frame header and the footer in full; the rest sampled.
    dense = set(range(0, 48)) | set(range(len(data) - 300, len(data)))
    return sorted(dense | set(range(0, len(data), step)))


def outcome(fn):
    try:
        return ("ok", fn())
    except (zarv.ZarvError, OSError) as e:
        return ("error", type(e).__name__)


@pytest.mark.parametrize("data,password", [(PLAIN, None), (ENCRYPTED, b"k")], ids=["plain", "encrypted"])
def test_flipped_bytes_never_give_wrong_output(data, password):
    assert zarv.decompress_to_bytes(data, password=password) == EXPECTED
    undetected = []
    for pos in positions(data, 13):
        damaged = flip(data, pos, 0x21)
        kind, value = outcome(lambda: zarv.decompress_to_bytes(damaged, threads=2, password=password))
        assert kind == "error" or value == EXPECTED, f"wrong output with byte {pos} flipped"
        if kind == "ok":
            undetected.append(pos)
        kind, value = outcome(lambda: [(r.name, r.sequence, r.quality) for r in zarv.open(damaged, password=password)])
        if kind == "ok":
            assert b"".join(b"@%s\n%s\n+\n%s\n" % r for r in value) == EXPECTED
        # verify covers every byte but the footer's own trailer fields.
        kind = outcome(lambda: zarv.verify(damaged, password=password))[0]
        assert kind == "error" or pos >= len(data) - 12, f"verify missed byte {pos}"
    # The streaming decoder never reads the footer, nor the CRC field of the
    # end frame: flips there cannot change its output, and are the only ones
    # it does not report.
    footer_start = len(data) - (20 + 60 * zarv.inspect(data).blocks + (16 if password else 0)) - 12
    end_frame_crc = range(footer_start - 4, footer_start)
    assert all(p >= footer_start or p in end_frame_crc for p in undetected), undetected


def test_flipped_bytes_in_random_access():
    ix = zarv.open_index(PLAIN)
    for stream, read in (("names", zarv.read_names), ("seq", zarv.read_sequences), ("qual", zarv.read_qualities)):
        start, end = ix.stream_range(1, stream)
        expected = read(PLAIN, groups=[1])
        for pos in range(start, end, 9):
            damaged = flip(PLAIN, pos, 0x04)
            assert outcome(lambda: read(damaged, groups=[1]))[0] == "error", f"{stream} byte {pos} unnoticed"
            kind, value = outcome(lambda: read(damaged, groups=[0, 2]))
            assert kind == "ok" and value == read(PLAIN, groups=[0, 2])
        assert read(PLAIN, groups=[1]) == expected
