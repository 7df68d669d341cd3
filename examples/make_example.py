"""Rebuilds examples/example.zarv with the project's archive assembler.

The example is a small paired-end Illumina archive: two row groups, member
labels R1/R2. Run from the repository root after installing the package.
"""

import struct
import sys

from zarv import _testkit as tk


def payload(reads, names, seq, qual):
    out = struct.pack("<QQQI", 0, 0, 0, reads)
    for stream in (names, seq, qual):
        out += struct.pack("<I", len(stream)) + stream
    return out


def main(path="examples/example.zarv"):
    header = {
        "platform": 1,
        "group_size": 2,
        "extensions": [(0x01, tk.member_labels([b"R1", b"R2"]))],
    }
    blocks = [
        (payload(4, b"\x00" * 40, b"\x00" * 60, b"\x00" * 80), 4),
        (payload(2, b"\x00" * 20, b"\x00" * 30, b"\x00" * 40), 2),
    ]
    with open(path, "wb") as f:
        f.write(tk.archive(header, blocks, True))


if __name__ == "__main__":
    main(*sys.argv[1:])
