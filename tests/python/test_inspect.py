"""inspect() and Info: metadata from header and footer, and every header and
footer failure with its exact message."""

import struct

import pytest

import zarv
from kit import archive, crc32c, encryption_params, footer, group, header, raw_payload


def test_info_of_plain_archive():
    blocks = [
        (raw_payload(names=b"n" * 10, seq=b"s" * 20, qual=b"q" * 30, reads=60), 60),
        (raw_payload(names=b"N" * 1, seq=b"S" * 2, qual=b"Q" * 3, reads=40), 40),
    ]
    data = archive(blocks, platform=1, minor=0)
    info = zarv.inspect(data)
    assert repr(info) == 'Info(reads=100, blocks=2, format=1.0, platform="Illumina")'
    assert (info.reads, info.blocks, info.format_version) == (100, 2, 256)
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (11, 22, 33)
    assert info.platform == "Illumina"
    assert info.encrypted is False and info.encrypted_bytes == 0
    assert info.required_features == 1
    assert info.member_labels == []
    assert info.group_size == 1
    # The whole-file CRC covers all but the last 20 bytes of a plain archive.
    assert info.whole_file_crc == crc32c(data[:-20])
    assert struct.unpack("<I", data[-20:-16])[0] == info.whole_file_crc


def test_header_fields_and_flags():
    labels = zarv._testkit.member_labels([b"R1", b"R2"])
    data = archive(
        group_size=2, platform=4, minor=3, seq_order=7, quality_binning=2, flags=0x01 | 0x10,
        extensions=[(0x01, labels), (0x05, b"ignored")],
    )
    info = zarv.inspect(data)
    assert info.format_version == 0x0103
    assert info.platform == "MGI/BGI"
    assert (info.seq_order, info.quality_binning, info.group_size) == (7, 2, 2)
    assert info.member_labels == ["R1", "R2"]
    assert info.plus_normalized and info.regenerated_names
    assert not info.reordered and info.keep_order  # keep_order holds when not reordered
    assert repr(info) == 'Info(reads=0, blocks=0, format=1.3, platform="MGI/BGI")'

    reordered = zarv.inspect(archive(flags=0x02))
    assert reordered.reordered and not reordered.keep_order
    assert zarv.inspect(archive(flags=0x06)).keep_order
    names = [zarv.inspect(archive(platform=p)).platform for p in range(6)] + [
        zarv.inspect(archive(platform=9)).platform]
    assert names == ["unknown", "Illumina", "Oxford Nanopore", "PacBio", "MGI/BGI", "unknown", "unknown"]
    assert zarv.inspect(archive(group_size=0)).group_size == 1


def test_info_of_encrypted_archive():
    # Sealed blocks: the footer's first stream slot holds each block's extent.
    prefix = header(features=3, extensions=[(0x81, encryption_params())])
    prefix += b"\xAA" * 300
    groups = [group(25 + 46, 7, [(25 + 46 + 16, 120, 0), (0, 0, 0), (0, 0, 0)]),
              group(200, 5, [(216, 80, 0), (0, 0, 0), (0, 0, 0)])]
    data = footer(prefix, groups, total_reads=12, tag=bytes(range(16)))
    info = zarv.inspect(data)
    assert info.encrypted is True
    assert info.encrypted_bytes == 200
    assert (info.names_bytes, info.sequence_bytes, info.quality_bytes) == (0, 0, 0)
    assert info.required_features == 3
    assert info.reads == 12 and info.blocks == 2
    assert info.whole_file_crc == crc32c(data[:-36])


def test_info_class_surface():
    info = zarv.inspect(archive())
    with pytest.raises(TypeError):
        zarv.Info()
    with pytest.raises(AttributeError):
        info.reads = 5
    assert zarv.Info.__doc__ == "Metadata about an archive, from its header and footer index (no payload decode)."
    assert zarv.Info.encrypted.__doc__ == "Whether the archive is encrypted. Readable without a passphrase."
    assert zarv.Info.required_features.__doc__.startswith("The header's `required_features` word \u2014")
    assert zarv.Info.member_labels.__doc__.splitlines()[0] == (
        'Original per-slot labels for the interleaved members (`["R1", "R2"]`,')
    assert zarv.Info.encrypted_bytes.__doc__.endswith("without decrypting every block).")
    assert zarv.inspect.__text_signature__ == "(source)"
    assert zarv.inspect.__doc__ == "Read an archive's metadata (header + footer index; no payload decode)."


def test_inspect_reads_paths(tmp_path):
    data = archive([(raw_payload(reads=3), 3)], platform=2)
    p = tmp_path / "a.zarv"
    p.write_bytes(data)
    assert zarv.inspect(str(p)).reads == 3
    assert zarv.inspect(p).platform == "Oxford Nanopore"


HEADER_FAILURES = [
    (b"ZARX" + bytes(30), "not an zarv container (bad magic)"),
    (header(major=2, minor=3), "unsupported zarv format version 2.3 (this build reads 1.x)"),
    (header(features=0x6), "zarv archive requires unsupported features (bits 0x4); upgrade zarv"),
    (header(flags=0x41), "zarv archive uses unsupported header flags (bits 0x40); upgrade zarv"),
    (header(flags=0x41, crc=0x1234), "corrupted zarv data: header (crc mismatch)"),
    (header(extensions=[(0x85, b"")]),
     "zarv archive has an unsupported critical header extension (tag 0x85); upgrade zarv"),
    (header(features=3), "malformed zarv block: encryption feature bit and header extension disagree"),
    (header(extensions=[(0x81, encryption_params())]),
     "malformed zarv block: encryption feature bit and header extension disagree"),
    (header(features=3, extensions=[(0x81, encryption_params(2))]),
     "zarv archive uses an unsupported encryption scheme version 2; upgrade zarv"),
    (header(features=3, extensions=[(0x81, b"\x01" * 41)]),
     "malformed zarv block: encryption header extension has the wrong length"),
    (header(extension_region=b"\x05\x00"), "malformed zarv block: truncated header extension record"),
    (header(extension_region=b"\x05\x09\x00abc"), "malformed zarv block: header extension record overruns region"),
]


@pytest.mark.parametrize("data,message", HEADER_FAILURES)
def test_header_failures(data, message):
    # Pad so the footer would be readable; the header decides.
    with pytest.raises(zarv.ZarvError) as e:
        zarv.inspect(data + bytes(64))
    assert str(e.value) == message
    assert type(e.value) is zarv.ZarvError


def test_short_file_is_truncated_before_the_magic_is_checked():
    for data in (b"", b"ZARX" + bytes(16), b"ZARV\x01"):
        with pytest.raises(zarv.ZarvError) as e:
            zarv.inspect(data)
        assert str(e.value) == "truncated zarv stream"


def _with_offset(data, f):
    return data[:-12] + struct.pack("<Q", f) + data[-4:]


def test_footer_failures():
    base = archive([(raw_payload(names=b"abc", reads=1), 1)])
    f = struct.unpack("<Q", base[-12:-4])[0]
    bad_entry = footer(header() + bytes(100), [group(24, 1)])
    overflow = footer(header() + bytes(100), [group(25, 1, [(2**64 - 2, 4, 0), (0, 0, 0), (0, 0, 0)])])
    past_f = footer(header() + bytes(100), [group(25, 1, [(26, 100, 0), (0, 0, 0), (0, 0, 0)])])
    at_f = footer(header() + bytes(100), [group(25, 1, [(26, 99, 0), (0, 0, 0), (0, 0, 0)])])
    cases = [
        (header() + bytes(11), "truncated zarv stream"),
        (base[:-1] + b"G", "malformed zarv block: missing footer trailer magic"),
        (_with_offset(base, 24), "malformed zarv block: footer offset out of range"),
        (_with_offset(base, len(base)), "malformed zarv block: footer offset out of range"),
        (_with_offset(base, f + 1), "corrupted zarv data: footer (crc mismatch)"),
        (base[: f + 5] + bytes([base[f + 5] ^ 0x80]) + base[f + 6:], "corrupted zarv data: footer (crc mismatch)"),
        (footer(header() + bytes(100), [], group_count=1),
         "malformed zarv block: footer size does not match its row-group count"),
        (bad_entry, "malformed zarv block: footer row-group offset out of range"),
        (overflow, "malformed zarv block: footer stream offset overflow"),
        (past_f, "malformed zarv block: footer stream location out of range"),
    ]
    for data, message in cases:
        with pytest.raises(zarv.ZarvError) as e:
            zarv.inspect(data)
        assert str(e.value) == message
    assert zarv.inspect(at_f).blocks == 1
    # A 36-byte file is too short for a footer, whatever it holds.
    with pytest.raises(zarv.ZarvError, match="^truncated zarv stream$"):
        zarv.inspect(header() + bytes(11))


def test_global_reorder_layout_is_refused_cleanly():
    with pytest.raises(zarv.ZarvError):
        zarv.inspect(header(flags=0x08) + bytes(40))
