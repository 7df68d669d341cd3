"""Rebuilds examples/example.zarv with the project's archive writer.

The example is a small paired-end Illumina archive: 200 interleaved reads in
two row groups, member labels R1/R2. Run from the repository root after
installing the package.
"""

import random
import sys

from zarv import _testkit as tk


def reads(pairs=100, length=150, seed=2024):
    rng = random.Random(seed)
    out = []
    for i in range(pairs):
        x, y = 1000 + 37 * i, rng.randrange(1000, 30000)
        fragment = "".join(rng.choice("ACGT") for _ in range(length + 80))
        mate2 = fragment[-length:][::-1].translate(str.maketrans("ACGT", "TGCA"))
        for member, seq in ((1, fragment[:length]), (2, mate2)):
            qual = "".join(chr(33 + max(2, min(40, int(rng.gauss(36 - k / 30, 3))))) for k in range(length))
            name = f"A00123:8:H5KJLDSXX:1:1101:{x}:{y} {member}:N:0:ACGTACGT"
            out.append((name.encode(), seq.encode(), qual.encode()))
    return out


def main(path="examples/example.zarv"):
    options = {
        "header": {"platform": 1, "group_size": 2, "extensions": [(0x01, tk.member_labels([b"R1", b"R2"]))]},
        "block_reads": [120, 80],
    }
    with open(path, "wb") as f:
        f.write(tk.write_archive(reads(), options))


if __name__ == "__main__":
    main(*sys.argv[1:])
