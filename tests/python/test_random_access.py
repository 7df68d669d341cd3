"""Random access through the footer index: open_index, parse_index_suffix,
read_block, column projection, the Index primitives and the decoders of
fetched columns."""

import struct

import zarv
from kit import archive, encoded, fail, flip, header, illumina_reads, raises, raw_payload, write

READS = illumina_reads(120, length=80, seed=5)
SIZES = [40, 30, 50]
DATA = write(READS, block_reads=SIZES)
STARTS = [0, 40, 70, 120]
GROUP_RANGE = "malformed zarv block: row-group index out of range"


def group_reads(g):
    return READS[STARTS[g]:STARTS[g + 1]]


def test_open_index_and_groups():
    ix = zarv.open_index(DATA)
    assert repr(ix) == "Index(total_reads=120, num_groups=3)"
    assert (ix.total_reads, ix.num_groups, ix.whole_file_crc) == (120, 3, zarv.inspect(DATA).whole_file_crc)
    groups = ix.groups()
    assert [g.read_count for g in groups] == SIZES and groups[0].block_offset == 25
    assert all(DATA[g.block_offset:g.block_offset + 4] == b"ZARB" for g in groups)
    assert zarv.open_index(write([])).groups() == []
    for cls in (zarv.GroupLoc, zarv.Index):
        raises(TypeError, None, cls)


def test_refused_layouts():
    enc = write(READS[:5], encryption=dict(passphrase=b"x", m_cost=64))
    raises(zarv.ZarvError, "column-projection random access is not supported on encrypted archives; "
           "decode the whole archive instead", zarv.open_index, enc)
    reorder = "malformed zarv block: reorder layout has no row-group index; random access is unsupported"
    raises(zarv.ZarvError, reorder, zarv.read_names, header(flags=0x08) + bytes(64))
    both = header(flags=0x08, features=3, extensions=[(0x81, bytes([1]) + bytes(41))])
    raises(zarv.ZarvError, reorder, zarv.open_index, both + bytes(64))


def test_read_block_equals_full_decode():
    full = [(r.name, r.sequence, r.quality) for r in zarv.open(DATA)]
    for g in range(3):
        assert [(r.name, r.sequence, r.quality) for r in zarv.read_block(DATA, g)] == full[STARTS[g]:STARTS[g + 1]]
    raises(zarv.ZarvError, GROUP_RANGE, zarv.read_block, DATA, 3)
    raises(OverflowError, None, zarv.read_block, DATA, -1)
    # A length field above the frame limit.
    off = zarv.open_index(DATA).groups()[1].block_offset
    bad = DATA[:off + 4] + struct.pack("<Q", 0x80000001) + DATA[off + 12:]
    raises(zarv.ZarvError, "malformed zarv block: block payload length exceeds the maximum", zarv.read_block, bad, 1)


def test_column_projection():
    assert zarv.read_names(DATA) == encoded(READS, 0)
    assert zarv.read_sequences(DATA) == encoded(READS, 1)
    assert zarv.read_qualities(DATA) == encoded(READS, 2)
    assert zarv.read_names(DATA, groups=[2, 0, 2]) == encoded(group_reads(2) + group_reads(0) + group_reads(2), 0)
    assert zarv.read_sequences(DATA, groups=(1,)) == encoded(group_reads(1), 1)
    assert zarv.read_names(DATA, groups=[]) == [] == zarv.read_names(write([]))
    raises(zarv.ZarvError, GROUP_RANGE, zarv.read_names, DATA, groups=[0, 3])
    raises(TypeError, "argument 'groups': Can't extract `str` to `Vec`", zarv.read_names, DATA, groups="01")
    raises(TypeError, "argument 'groups': 'int' object cannot be converted to 'Sequence'",
           zarv.read_names, DATA, groups=5)

    # The items are what iteration yields; a length no memory can hold is a
    # MemoryError, never an abort.
    overstated = type("Overstated", (), {"__len__": lambda s: 3,
                                         "__getitem__": lambda s, i: fail(IndexError) if i else 2})
    assert zarv.read_names(DATA, groups=overstated()) == encoded(group_reads(2), 0)
    for huge in (range(2**40), range(2**62)):
        raises(MemoryError, None, zarv.read_names, DATA, groups=huge)
    two = type("Two", (), {"__index__": lambda s: 2})()  # integer-like, as numpy integers are
    assert zarv.read_names(DATA, groups=[two]) == zarv.read_names(DATA, groups=[2])
    assert [r.name for r in zarv.read_block(DATA, two)] == [r.name for r in zarv.read_block(DATA, 2)]
    assert zarv.open_index(DATA).stream_range(two, "seq") == zarv.open_index(DATA).stream_range(2, "seq")
    raises(TypeError, "argument 'group': 'float' object cannot be interpreted as an integer",
           zarv.read_block, DATA, 2.0)


def test_corrupt_stream_only_breaks_its_column():
    start = zarv.open_index(DATA).stream_range(1, "names")[0]
    broken = flip(DATA, start + 3, 0x40)
    raises(zarv.ZarvError, "corrupted zarv data: row group 1 Names stream (crc mismatch)", zarv.read_names, broken)
    assert zarv.read_names(broken, groups=[0, 2]) == zarv.read_names(DATA, groups=[0, 2])
    assert zarv.read_sequences(broken) == zarv.read_sequences(DATA)
    assert zarv.read_qualities(broken) == zarv.read_qualities(DATA)
    # Quality coded against the sequence needs that group's bases too.
    data = write(READS[:60], block_reads=[30, 30], quality_mode=1)
    assert zarv.read_qualities(data, groups=[1]) == encoded(READS[30:60], 2)
    broken = flip(data, zarv.open_index(data).stream_range(0, "seq")[0] + 5)
    raises(zarv.ZarvError, "corrupted zarv data: row group 0 Sequence stream (crc mismatch)",
           zarv.read_qualities, broken, groups=[0])
    assert zarv.read_names(broken) == encoded(READS[:60], 0)
    assert zarv.read_qualities(broken, groups=[1]) == encoded(READS[30:60], 2)


def test_index_primitives_and_fetched_columns():
    ix = zarv.open_index(DATA)
    for g in range(3):
        for field, (stream, decode) in enumerate((("names", zarv.decode_names_bytes),
                                                  ("sequence", zarv.decode_sequences_bytes),
                                                  ("quality", zarv.decode_qualities_bytes))):
            start, end = ix.stream_range(g, stream)
            assert ix.verify_stream(g, stream, DATA[start:end]) is None
            assert ix.stream_crc(g, stream) == zarv._testkit.crc32c(DATA[start:end])
            assert decode(DATA[start:end]) == encoded(group_reads(g), field)
        q = ix.stream_range(g, "qual")
        assert q == (start, end) and zarv.quality_needs_sequence_bytes(DATA[q[0]:q[1]]) is False
    raises(zarv.ZarvError, "corrupted zarv data: row group 2 Names stream (crc mismatch)",
           ix.verify_stream, 2, "names", b"garbage")
    for method, args in ((ix.stream_range, (3, "names")), (ix.stream_crc, (3, "seq")),
                         (ix.verify_stream, (3, "qual", b""))):
        raises(zarv.ZarvError, "row-group index out of range", method, *args)
    # Non-str names go through the `streams` parser, errors included.
    assert ix.stream_crc(0, ["seq"]) == ix.stream_crc(0, "sequence")
    assert ix.stream_range(0, ("qual",)) == ix.stream_range(0, "quality")
    listed, unknown = "('names', 'sequence', 'quality')", "; expected 'names', 'sequence', or 'quality'"
    for call, args, exc, message in [
        (ix.stream_range, (0, "Names"), ValueError, 'unknown stream "Names"' + unknown),
        (ix.verify_stream, (0, ["nam"], b""), ValueError, 'unknown stream "nam"' + unknown),
        (ix.stream_range, (0, 5), TypeError,
         "streams must be None, a stream name, or an iterable of stream names " + listed),
        (ix.stream_crc, (0, [1]), TypeError, "streams items must be str stream names " + listed),
        *((ix.stream_range, (0, one), TypeError, "argument 'stream': expected one stream name " + listed)
          for one in (None, [], ["seq", "qual"])),
    ]:
        raises(exc, message, call, *args)
    # A group whose names stream is empty: the CRC of nothing is 0.
    raw = archive([(raw_payload(names=b"", seq=b"\x00", qual=b"", reads=0), 0)])
    assert zarv.open_index(raw).verify_stream(0, "names", b"") is None


def test_fetched_quality_against_sequence():
    data = write(READS[:10], quality_mode=1)
    ix = zarv.open_index(data)
    s0, s1 = ix.stream_range(0, "seq")
    q0, q1 = ix.stream_range(0, "qual")
    coded = data[q0:q1]
    assert zarv.quality_needs_sequence_bytes(coded) is True
    bases = b"".join(zarv.decode_sequences_bytes(data[s0:s1]))
    assert zarv.decode_qualities_bytes(coded, seq=bases) == encoded(READS[:10], 2)
    raises(zarv.ZarvError, None, zarv.decode_qualities_bytes, coded)
    assert [zarv.quality_needs_sequence_bytes(c) for c in (b"", b"\x02\x00", b"\x02\x00\x01")] == [False, False, True]
    raises(TypeError, "argument 'coded': 'str' object cannot be converted to 'PyBytes'",
           zarv.decode_names_bytes, "text")


def test_parse_index_suffix():
    n = len(DATA)
    assert zarv.parse_index_suffix(DATA[-11:], n) == (None, 12)
    ix, need = zarv.parse_index_suffix(DATA[-12:], n)
    assert ix is None and need > 12
    ix, again = zarv.parse_index_suffix(DATA[-need:], n)
    assert again is None
    direct = zarv.open_index(DATA)
    for a in (ix, zarv.parse_index_suffix(DATA, n)[0]):
        assert (a.total_reads, a.num_groups, a.whole_file_crc) == (
            direct.total_reads, direct.num_groups, direct.whole_file_crc)
        assert [a.stream_range(g, "qual") for g in range(3)] == [direct.stream_range(g, "qual") for g in range(3)]
    raises(zarv.ZarvError, "malformed zarv block: suffix longer than the archive", zarv.parse_index_suffix, DATA, n - 1)
    enc = write(READS[:5], encryption=dict(passphrase=b"x", m_cost=64))
    raises(zarv.ZarvError, "malformed zarv block: footer size does not match its row-group count",
           zarv.parse_index_suffix, enc[-200:], len(enc))
    raises(OverflowError, None, zarv.parse_index_suffix, DATA[-20:], -1)


def test_docs_and_signatures():
    sigs = {
        "open_index": "(source)", "parse_index_suffix": "(suffix, file_len)", "read_block": "(source, group)",
        "read_names": "(source, groups=None)", "read_sequences": "(source, groups=None)",
        "read_qualities": "(source, groups=None)", "decode_names_bytes": "(coded)",
        "decode_sequences_bytes": "(coded)", "decode_qualities_bytes": "(coded, seq=None)",
        "quality_needs_sequence_bytes": "(coded)",
    }
    for name, sig in sigs.items():
        assert getattr(zarv, name).__text_signature__ == sig and name in zarv.__all__
    assert zarv.Index.stream_range.__text_signature__ == "($self, group, stream)"
    assert zarv.Index.groups.__text_signature__ == "($self)"
    assert zarv.GroupLoc.__doc__ == "On-disk location of one row group."
    assert zarv.Index.__doc__.startswith("A parsed footer row-group index (plain layout only).")
