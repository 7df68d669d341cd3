"""Random access through the footer index: open_index, parse_index_suffix,
read_block, column projection, the Index primitives and the decoders of
fetched columns."""

import struct

import pytest

import zarv
from kit import header, illumina_reads, write

READS = illumina_reads(120, length=80, seed=5)
SIZES = [40, 30, 50]
DATA = write(READS, block_reads=SIZES)
STARTS = [0, 40, 70, 120]


def group_reads(g):
    return READS[STARTS[g]:STARTS[g + 1]]


def test_open_index_and_groups():
    ix = zarv.open_index(DATA)
    assert repr(ix) == "Index(total_reads=120, num_groups=3)"
    assert (ix.total_reads, ix.num_groups) == (120, 3)
    assert ix.whole_file_crc == zarv.inspect(DATA).whole_file_crc
    groups = ix.groups()
    assert [g.read_count for g in groups] == SIZES
    assert groups[0].block_offset == 25
    assert all(DATA[g.block_offset:g.block_offset + 4] == b"ZARB" for g in groups)
    assert zarv.open_index(write([])).groups() == []
    with pytest.raises(TypeError):
        zarv.GroupLoc()
    with pytest.raises(TypeError):
        zarv.Index()


def test_refused_layouts():
    enc = write(READS[:5], encryption=dict(passphrase=b"x", m_cost=64))
    with pytest.raises(zarv.ZarvError) as e:
        zarv.open_index(enc)
    assert str(e.value) == ("column-projection random access is not supported on encrypted archives; "
                            "decode the whole archive instead")
    reorder = "malformed zarv block: reorder layout has no row-group index; random access is unsupported"
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_names(header(flags=0x08) + bytes(64))
    assert str(e.value) == reorder
    both = header(flags=0x08, features=3, extensions=[(0x81, bytes([1]) + bytes(41))])
    with pytest.raises(zarv.ZarvError) as e:
        zarv.open_index(both + bytes(64))
    assert str(e.value) == reorder


def test_read_block_equals_full_decode():
    full = list(zarv.open(DATA))
    for g in range(3):
        recs = zarv.read_block(DATA, g)
        assert [(r.name, r.sequence, r.quality) for r in recs] == [
            (r.name, r.sequence, r.quality) for r in full[STARTS[g]:STARTS[g + 1]]]
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_block(DATA, 3)
    assert str(e.value) == "malformed zarv block: row-group index out of range"
    with pytest.raises(OverflowError):
        zarv.read_block(DATA, -1)
    # A length field above the frame limit.
    off = zarv.open_index(DATA).groups()[1].block_offset
    bad = DATA[:off + 4] + struct.pack("<Q", 0x80000001) + DATA[off + 12:]
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_block(bad, 1)
    assert str(e.value) == "malformed zarv block: block payload length exceeds the maximum"


def test_column_projection():
    assert zarv.read_names(DATA) == [n.encode() for n, _, _ in READS]
    assert zarv.read_sequences(DATA) == [s.encode() for _, s, _ in READS]
    assert zarv.read_qualities(DATA) == [q.encode() for _, _, q in READS]
    picked = zarv.read_names(DATA, groups=[2, 0, 2])
    assert picked == [n.encode() for n, _, _ in group_reads(2) + group_reads(0) + group_reads(2)]
    assert zarv.read_sequences(DATA, groups=(1,)) == [s.encode() for _, s, _ in group_reads(1)]
    assert zarv.read_names(DATA, groups=[]) == []
    assert zarv.read_names(write([])) == []
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_names(DATA, groups=[0, 3])
    assert str(e.value) == "malformed zarv block: row-group index out of range"
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        zarv.read_names(DATA, groups="01")
    with pytest.raises(TypeError):
        zarv.read_names(DATA, groups=5)

    # The items are what iteration yields; a length no memory can hold is a
    # MemoryError, never an abort.
    class Overstated:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i >= 1:
                raise IndexError(i)
            return 2

    assert zarv.read_names(DATA, groups=Overstated()) == [n.encode() for n, _, _ in group_reads(2)]

    class Two:  # integer-like, as numpy integers are
        def __index__(self):
            return 2

    assert zarv.read_names(DATA, groups=[Two()]) == zarv.read_names(DATA, groups=[2])
    assert [r.name for r in zarv.read_block(DATA, Two())] == [r.name for r in zarv.read_block(DATA, 2)]
    assert zarv.open_index(DATA).stream_range(Two(), "seq") == zarv.open_index(DATA).stream_range(2, "seq")
    with pytest.raises(TypeError, match="^argument 'group': 'float' object cannot be interpreted as an integer$"):
        zarv.read_block(DATA, 2.0)
    for huge in (range(2**40), range(2**62)):
        with pytest.raises(MemoryError):
            zarv.read_names(DATA, groups=huge)


def test_quality_coded_against_sequence():
    data = write(READS[:60], block_reads=[30, 30], quality_mode=1)
    assert zarv.read_qualities(data, groups=[1]) == [q.encode() for _, _, q in READS[30:60]]
    ix = zarv.open_index(data)
    start, end = ix.stream_range(0, "seq")
    broken = data[:start + 5] + bytes([data[start + 5] ^ 1]) + data[start + 6:]
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_qualities(broken, groups=[0])
    assert str(e.value) == "corrupted zarv data: row group 0 Sequence stream (crc mismatch)"
    assert zarv.read_names(broken) == [n.encode() for n, _, _ in READS[:60]]
    assert zarv.read_qualities(broken, groups=[1]) == [q.encode() for _, _, q in READS[30:60]]


def test_corrupt_stream_only_breaks_its_column():
    ix = zarv.open_index(DATA)
    start, end = ix.stream_range(1, "names")
    broken = DATA[:start + 3] + bytes([DATA[start + 3] ^ 0x40]) + DATA[start + 4:]
    with pytest.raises(zarv.ZarvError) as e:
        zarv.read_names(broken)
    assert str(e.value) == "corrupted zarv data: row group 1 Names stream (crc mismatch)"
    assert zarv.read_names(broken, groups=[0, 2]) == zarv.read_names(DATA, groups=[0, 2])
    assert zarv.read_sequences(broken) == zarv.read_sequences(DATA)
    assert zarv.read_qualities(broken) == zarv.read_qualities(DATA)


def test_index_primitives_and_fetched_columns():
    ix = zarv.open_index(DATA)
    for g in range(3):
        for stream, decode, expect in (
            ("names", zarv.decode_names_bytes, [n.encode() for n, _, _ in group_reads(g)]),
            ("sequence", zarv.decode_sequences_bytes, [s.encode() for _, s, _ in group_reads(g)]),
        ):
            start, end = ix.stream_range(g, stream)
            coded = DATA[start:end]
            assert ix.verify_stream(g, stream, coded) is None
            assert decode(coded) == expect
        start, end = ix.stream_range(g, "qual")
        assert (start, end) == ix.stream_range(g, "quality")
        coded = DATA[start:end]
        assert zarv.quality_needs_sequence_bytes(coded) is False
        assert zarv.decode_qualities_bytes(coded) == [q.encode() for _, _, q in group_reads(g)]
        assert ix.stream_crc(g, "q" + "ual") == zarv._testkit.crc32c(coded)
    with pytest.raises(zarv.ZarvError) as e:
        ix.verify_stream(2, "names", b"garbage")
    assert str(e.value) == "corrupted zarv data: row group 2 Names stream (crc mismatch)"
    for method in (lambda: ix.stream_range(3, "names"), lambda: ix.stream_crc(3, "seq"),
                   lambda: ix.verify_stream(3, "qual", b"")):
        with pytest.raises(zarv.ZarvError) as e:
            method()
        assert str(e.value) == "row-group index out of range"
    with pytest.raises(ValueError):
        ix.stream_range(0, "Names")
    # Non-str names go through the `streams` parser, errors included.
    assert ix.stream_crc(0, ["seq"]) == ix.stream_crc(0, "sequence")
    assert ix.stream_range(0, ("qual",)) == ix.stream_range(0, "quality")
    with pytest.raises(TypeError, match=r"^streams must be None, a stream name, or an iterable of stream names"):
        ix.stream_range(0, 5)
    with pytest.raises(TypeError, match=r"^streams items must be str stream names"):
        ix.stream_crc(0, [1])
    with pytest.raises(ValueError, match=r'^unknown stream "nam"'):
        ix.verify_stream(0, ["nam"], b"")
    for not_one in (None, [], ["seq", "qual"]):
        with pytest.raises(TypeError, match="expected one stream name"):
            ix.stream_range(0, not_one)


def test_fetched_quality_against_sequence():
    data = write(READS[:10], quality_mode=1)
    ix = zarv.open_index(data)
    s0, s1 = ix.stream_range(0, "seq")
    q0, q1 = ix.stream_range(0, "qual")
    coded = data[q0:q1]
    assert zarv.quality_needs_sequence_bytes(coded) is True
    bases = b"".join(zarv.decode_sequences_bytes(data[s0:s1]))
    assert zarv.decode_qualities_bytes(coded, seq=bases) == [q.encode() for _, _, q in READS[:10]]
    with pytest.raises(zarv.ZarvError):
        zarv.decode_qualities_bytes(coded)
    assert zarv.quality_needs_sequence_bytes(b"") is False
    assert zarv.quality_needs_sequence_bytes(b"\x02\x00") is False
    assert zarv.quality_needs_sequence_bytes(b"\x02\x00\x01") is True
    with pytest.raises(TypeError, match="coded"):
        zarv.decode_names_bytes("text")


def test_empty_names_stream_verifies_against_zero():
    data = write([])
    assert zarv.open_index(data).num_groups == 0
    # A group whose names stream is empty: the CRC of nothing is 0.
    from kit import archive, raw_payload

    raw = archive([(raw_payload(names=b"", seq=b"\x00", qual=b"", reads=0), 0)])
    assert zarv.open_index(raw).verify_stream(0, "names", b"") is None


def test_parse_index_suffix():
    n = len(DATA)
    ix, need = zarv.parse_index_suffix(DATA[-11:], n)
    assert (ix, need) == (None, 12)
    ix, need = zarv.parse_index_suffix(DATA[-12:], n)
    assert ix is None and need > 12
    ix, again = zarv.parse_index_suffix(DATA[-need:], n)
    assert again is None
    whole, _ = zarv.parse_index_suffix(DATA, n)
    direct = zarv.open_index(DATA)
    for a in (ix, whole):
        assert (a.total_reads, a.num_groups, a.whole_file_crc) == (
            direct.total_reads, direct.num_groups, direct.whole_file_crc)
        assert [a.stream_range(g, "qual") for g in range(3)] == [direct.stream_range(g, "qual") for g in range(3)]
    with pytest.raises(zarv.ZarvError, match="suffix longer than the archive"):
        zarv.parse_index_suffix(DATA, n - 1)
    enc = write(READS[:5], encryption=dict(passphrase=b"x", m_cost=64))
    with pytest.raises(zarv.ZarvError) as e:
        zarv.parse_index_suffix(enc[-200:], len(enc))
    assert str(e.value) == "malformed zarv block: footer size does not match its row-group count"
    with pytest.raises(OverflowError):
        zarv.parse_index_suffix(DATA[-20:], -1)


def test_docs_and_signatures():
    sigs = {
        "open_index": "(source)", "parse_index_suffix": "(suffix, file_len)", "read_block": "(source, group)",
        "read_names": "(source, groups=None)", "read_sequences": "(source, groups=None)",
        "read_qualities": "(source, groups=None)", "decode_names_bytes": "(coded)",
        "decode_sequences_bytes": "(coded)", "decode_qualities_bytes": "(coded, seq=None)",
        "quality_needs_sequence_bytes": "(coded)",
    }
    for name, sig in sigs.items():
        assert getattr(zarv, name).__text_signature__ == sig
        assert name in zarv.__all__
    assert zarv.Index.stream_range.__text_signature__ == "($self, group, stream)"
    assert zarv.Index.groups.__text_signature__ == "($self)"
    assert zarv.GroupLoc.__doc__ == "On-disk location of one row group."
    assert zarv.Index.__doc__.startswith("A parsed footer row-group index (plain layout only).")
