"""Archive-making helpers for the tests, on top of the C++ assembler."""

import struct

from zarv import _testkit as tk

crc32c = tk.crc32c


def header(**fields):
    """A header; fields: magic, major, minor, features, seq_order,
    quality_binning, flags, group_size, platform, extensions=[(tag, body)],
    extension_region, crc."""
    return tk.header(fields)


def encryption_params(version=1):
    return bytes([version]) + bytes(range(41))


def raw_payload(names=b"", seq=b"", qual=b"", reads=0, digests=(0, 0, 0)):
    """A block payload with the given coded streams (not necessarily decodable)."""
    out = struct.pack("<QQQI", *digests, reads)
    for stream in (names, seq, qual):
        out += struct.pack("<I", len(stream)) + stream
    return out


def archive(blocks=(), end_frame=False, **header_fields):
    """Header, one frame per (payload, reads) block, optional end frame, footer."""
    return tk.archive(header_fields, list(blocks), end_frame)


def footer(prefix, groups=(), total_reads=0, **overrides):
    spec = dict(groups=list(groups), total_reads=total_reads, **overrides)
    return tk.footer(prefix, spec)


def group(block_offset, reads, streams=((0, 0, 0),) * 3):
    """A footer entry; stream offsets of 0 default to the block offset."""
    return (block_offset, reads, [(o or block_offset, n, c) for o, n, c in streams])
