"""inspect() and Info: metadata from header and footer, and every header and
footer failure with its exact message."""

import struct

import pytest

import zarv
from kit import archive, crc32c, encryption_params, flip, footer, group, header, raises, raw_payload

NO_STREAMS = [(0, 0, 0)] * 2


def test_info_of_plain_archive():
    blocks = [(raw_payload(names=b"n" * 10, seq=b"s" * 20, qual=b"q" * 30, reads=60), 60),
              (raw_payload(names=b"N" * 1, seq=b"S" * 2, qual=b"Q" * 3, reads=40), 40)]
    data = archive(blocks, platform=1, minor=0)
    info = zarv.inspect(data)
    assert repr(info) == 'Info(reads=100, blocks=2, format=1.0, platform="Illumina")'
    assert (info.reads, info.blocks, info.format_version, info.platform) == (100, 2, 256, "Illumina")
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (11, 22, 33)
    assert (info.encrypted, info.encrypted_bytes, info.required_features) == (False, 0, 1)
    assert info.member_labels == [] and info.group_size == 1
    # The whole-file CRC covers all but the last 20 bytes of a plain archive.
    assert info.whole_file_crc == crc32c(data[:-20]) == struct.unpack("<I", data[-20:-16])[0]


def test_header_fields_and_flags():
    labels = zarv._testkit.member_labels([b"R1", b"R2"])
    info = zarv.inspect(archive(group_size=2, platform=4, minor=3, seq_order=7, quality_binning=2, flags=0x01 | 0x10,
                                extensions=[(0x01, labels), (0x05, b"ignored")]))
    assert (info.format_version, info.platform) == (0x0103, "MGI/BGI")
    assert (info.seq_order, info.quality_binning, info.group_size) == (7, 2, 2)
    assert info.member_labels == ["R1", "R2"]
    assert info.plus_normalized and info.regenerated_names
    assert not info.reordered and info.keep_order  # keep_order holds when not reordered
    assert repr(info) == 'Info(reads=0, blocks=0, format=1.3, platform="MGI/BGI")'
    reordered = zarv.inspect(archive(flags=0x02))
    assert reordered.reordered and not reordered.keep_order
    assert zarv.inspect(archive(flags=0x06)).keep_order
    names = [zarv.inspect(archive(platform=p)).platform for p in (0, 1, 2, 3, 4, 5, 9)]
    assert names == ["unknown", "Illumina", "Oxford Nanopore", "PacBio", "MGI/BGI", "unknown", "unknown"]
    assert zarv.inspect(archive(group_size=0)).group_size == 1


def test_info_of_encrypted_archive():
    # Sealed blocks: the footer's first stream slot holds each block's extent.
    prefix = header(features=3, extensions=[(0x81, encryption_params())]) + b"\xAA" * 300
    groups = [group(25 + 46, 7, [(25 + 46 + 16, 120, 0)] + NO_STREAMS), group(200, 5, [(216, 80, 0)] + NO_STREAMS)]
    data = footer(prefix, groups, total_reads=12, tag=bytes(range(16)))
    info = zarv.inspect(data)
    assert (info.encrypted, info.encrypted_bytes, info.required_features) == (True, 200, 3)
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (0, 0, 0)
    assert info.reads == 12 and info.blocks == 2
    assert info.whole_file_crc == crc32c(data[:-36])


def test_info_class_surface():
    raises(TypeError, None, zarv.Info)
    raises(AttributeError, None, setattr, zarv.inspect(archive()), "reads", 5)
    assert zarv.Info.__doc__ == "Metadata about an archive, from its header and footer index (no payload decode)."
    assert zarv.Info.encrypted.__doc__ == "Whether the archive is encrypted. Readable without a passphrase."
    assert zarv.Info.required_features.__doc__.startswith("The header's `required_features` word \u2014")
    assert zarv.Info.member_labels.__doc__.splitlines()[0] == (
        'Original per-slot labels for the interleaved members (`["R1", "R2"]`,')
    assert zarv.Info.encrypted_bytes.__doc__.endswith("without decrypting every block).")
    assert zarv.inspect.__text_signature__ == "(source)"
    assert zarv.inspect.__doc__ == "Read an archive's metadata (header + footer index; no payload decode)."


DISAGREE = "malformed zarv block: encryption feature bit and header extension disagree"
HEADER_FAILURES = [
    (b"ZARX" + bytes(30), "not an zarv container (bad magic)"),
    (header(major=2, minor=3), "unsupported zarv format version 2.3 (this build reads 1.x)"),
    (header(features=0x6), "zarv archive requires unsupported features (bits 0x4); upgrade zarv"),
    (header(flags=0x41), "zarv archive uses unsupported header flags (bits 0x40); upgrade zarv"),
    (header(flags=0x41, crc=0x1234), "corrupted zarv data: header (crc mismatch)"),
    (header(extensions=[(0x85, b"")]),
     "zarv archive has an unsupported critical header extension (tag 0x85); upgrade zarv"),
    (header(features=3), DISAGREE),
    (header(extensions=[(0x81, encryption_params())]), DISAGREE),
    (header(features=3, extensions=[(0x81, encryption_params(2))]),
     "zarv archive uses an unsupported encryption scheme version 2; upgrade zarv"),
    (header(features=3, extensions=[(0x81, b"\x01" * 41)]),
     "malformed zarv block: encryption header extension has the wrong length"),
    (header(extension_region=b"\x05\x00"), "malformed zarv block: truncated header extension record"),
    (header(extension_region=b"\x05\x09\x00abc"), "malformed zarv block: header extension record overruns region"),
]


@pytest.mark.parametrize("data,message", HEADER_FAILURES)
def test_header_failures(data, message):
    # Padded so the footer would be readable; the header decides.
    assert type(raises(zarv.ZarvError, message, zarv.inspect, data + bytes(64))) is zarv.ZarvError


def test_short_files_are_truncated():
    # Too short for a footer, whatever it holds: truncated before the magic is checked.
    for data in (b"", b"ZARX" + bytes(16), b"ZARV\x01", header() + bytes(11)):
        raises(zarv.ZarvError, "truncated zarv stream", zarv.inspect, data)


def _with_offset(data, f):
    return data[:-12] + struct.pack("<Q", f) + data[-4:]


def test_footer_failures():
    base = archive([(raw_payload(names=b"abc", reads=1), 1)])
    f = struct.unpack("<Q", base[-12:-4])[0]
    prefix = header() + bytes(100)
    one_stream = lambda offset, length: footer(prefix, [group(25, 1, [(offset, length, 0)] + NO_STREAMS)])
    range_error = "malformed zarv block: footer offset out of range"
    cases = [
        (base[:-1] + b"G", "malformed zarv block: missing footer trailer magic"),
        (_with_offset(base, 24), range_error),
        (_with_offset(base, len(base)), range_error),
        (_with_offset(base, f + 1), "corrupted zarv data: footer (crc mismatch)"),
        (flip(base, f + 5, 0x80), "corrupted zarv data: footer (crc mismatch)"),
        (footer(prefix, [], group_count=1), "malformed zarv block: footer size does not match its row-group count"),
        (footer(prefix, [group(24, 1)]), "malformed zarv block: footer row-group offset out of range"),
        (one_stream(2**64 - 2, 4), "malformed zarv block: footer stream offset overflow"),
        (one_stream(26, 100), "malformed zarv block: footer stream location out of range"),
    ]
    for data, message in cases:
        raises(zarv.ZarvError, message, zarv.inspect, data)
    assert zarv.inspect(one_stream(26, 99)).blocks == 1  # ends exactly at the footer


def test_global_reorder_layout_is_refused_cleanly():
    raises(zarv.ZarvError, "malformed zarv block: globally-reordered layout is not supported by this build",
           zarv.inspect, header(flags=0x08) + bytes(40))
