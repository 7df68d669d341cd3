"""Archive-making helpers for the tests, on top of the C++ assembler."""

import random
import struct

import pytest

from zarv import _testkit as tk

crc32c = tk.crc32c


def raises(exc, message, fn, *args, **kwargs):
    """Calls fn, which must raise `exc` whose str() is exactly `message` (any
    text if None, for messages that are Python's own)."""
    with pytest.raises(exc) as e:
        fn(*args, **kwargs)
    assert message is None or str(e.value) == message
    return e.value


class FileLike:
    """A file-like source whose read(k) is the given function."""

    def __init__(self, read):
        self.read = read


def fail(exc):
    raise exc


def header(**fields):
    """Fields: magic, major, minor, features, seq_order, quality_binning, flags,
    group_size, platform, extensions=[(tag, body)], extension_region, crc."""
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
    return tk.footer(prefix, dict(groups=list(groups), total_reads=total_reads, **overrides))


def group(block_offset, reads, streams=((0, 0, 0),) * 3):
    """A footer entry; stream offsets of 0 default to the block offset."""
    return (block_offset, reads, [(o or block_offset, n, c) for o, n, c in streams])


def write(reads, **options):
    """A real archive of (name, sequence, quality) reads made by the writer.
    Options: header (dict of header fields), block_reads (reads per block),
    k, h, b, quality_mode, binning, alphabet, quantizers, per_block (list of
    dicts of those), end_frame, encryption (dict: passphrase, salt,
    archive_id, m_cost, t_cost, lanes)."""
    as_bytes = lambda v: v.encode() if isinstance(v, str) else v
    return tk.write_archive([tuple(as_bytes(x) for x in r) for r in reads], options)


def illumina_reads(n, length=100, seed=1):
    rng = random.Random(seed)
    return [(f"A00123:8:H5KJLDSXX:1:1101:{1000 + 17 * i}:{rng.randrange(30000)} 1:N:0:ACGTACGT",
             "".join(rng.choice("ACGT") if rng.random() > 0.01 else "N" for _ in range(length)),
             "".join(chr(33 + min(40, max(2, int(rng.gauss(34, 5))))) for _ in range(length))) for i in range(n)]


def encoded(reads, field):
    """Field 0 (name), 1 (sequence) or 2 (quality) of each read, as bytes."""
    return [r[field].encode() for r in reads]


def fastq(reads):
    return "".join(f"@{n}\n{s}\n+\n{q}\n" for n, s, q in reads).encode()


def fasta(reads):
    return "".join(f">{n}\n{s}\n" for n, s, q in reads).encode()


def flip(data, pos, mask=1):
    return data[:pos] + bytes([data[pos] ^ mask]) + data[pos + 1:]


def frames(data):
    """(offset, length) of every block frame's payload, end frame excluded."""
    pos = 25 + struct.unpack("<H", data[19:21])[0]
    out = []
    while data[pos:pos + 4] == b"ZARB":
        n = struct.unpack("<Q", data[pos + 4:pos + 12])[0]
        if n == 0:
            break
        out.append((pos + 16, n))
        pos += 16 + n
    return out
