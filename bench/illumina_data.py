"""Benchmark data: an Illumina-like FASTQ simulated with art_illumina (HiSeq
2500 profile, 150 bp reads) from a random reference, renamed to modern
Illumina read names, and written as archives by the project's writer.

Files are cached under build/bench-data. Requires the art-nextgen-simulation-
tools Debian package and an installed zarv package.
"""

import os
import random
import subprocess

from zarv import _testkit as tk

ROOT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "bench-data")


def _reference(path, length=8_000_000, seed=1):
    rng = random.Random(seed)
    seq = []
    # Random sequence with some repeated segments, as genomes have.
    while sum(map(len, seq)) < length:
        if seq and rng.random() < 0.05:
            src = rng.choice(seq)
            seq.append(src[: rng.randrange(200, 2000)])
        else:
            seq.append("".join(rng.choice("ACGT") for _ in range(5000)))
    text = "".join(seq)[:length]
    with open(path, "w") as f:
        f.write(">chr1\n")
        for i in range(0, len(text), 80):
            f.write(text[i:i + 80] + "\n")


def simulated_fastq(reads=600_000):
    """Path of the simulated FASTQ (about 370 bytes per read)."""
    os.makedirs(ROOT, exist_ok=True)
    out = os.path.join(ROOT, f"hs25_{reads}.fq")
    if os.path.exists(out):
        return out
    ref = os.path.join(ROOT, "ref.fa")
    if not os.path.exists(ref):
        _reference(ref)
    prefix = os.path.join(ROOT, "art")
    ref_len = 8_000_000
    coverage = reads * 150 / ref_len
    subprocess.run(["art_illumina", "-ss", "HS25", "-i", ref, "-l", "150", "-f", f"{coverage:.3f}",
                    "-o", prefix, "-na", "-rs", "42", "-q"], check=True, stdout=subprocess.DEVNULL)
    rng = random.Random(7)
    with open(prefix + ".fq") as src, open(out, "w") as dst:
        n = 0
        tile, x = 1101, 1000
        while True:
            head = src.readline()
            if not head:
                break
            seq = src.readline().rstrip("\n")
            src.readline()
            qual = src.readline().rstrip("\n")
            x += rng.randrange(1, 40)
            if x > 32000:
                x, tile = 1000, tile + 1
            name = f"A00123:8:H5KJLDSXX:1:{tile}:{x}:{rng.randrange(1000, 37000)} 1:N:0:ACGTACGT+TTGCAGCA"
            dst.write(f"@{name}\n{seq}\n+\n{qual}\n")
            n += 1
    os.remove(prefix + ".fq")
    return out


def best_of(fn, runs=3):
    """Best wall time of `runs` calls of fn."""
    import time

    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def read_fastq(path):
    reads = []
    with open(path, "rb") as f:
        while True:
            head = f.readline()
            if not head:
                break
            seq = f.readline().rstrip(b"\n")
            f.readline()
            qual = f.readline().rstrip(b"\n")
            reads.append((head[1:].rstrip(b"\n"), seq, qual))
    return reads


def archive(fastq_path, block=25_000, encrypted=False, quality_mode=0):
    """Path of an archive of the FASTQ, written by the project's writer."""
    tag = f"{os.path.basename(fastq_path)}.{block}.q{quality_mode}{'.enc' if encrypted else ''}.zarv"
    out = os.path.join(ROOT, tag)
    if os.path.exists(out):
        return out
    reads = read_fastq(fastq_path)
    sizes = [block] * (len(reads) // block) + ([len(reads) % block] if len(reads) % block else [])
    options = dict(block_reads=sizes, header=dict(platform=1), quality_mode=quality_mode)
    if encrypted:
        options["encryption"] = dict(passphrase=b"benchmark", salt=bytes(range(16)), archive_id=bytes(range(16, 32)),
                                     m_cost=65536, t_cost=2, lanes=2)
    data = tk.write_archive(reads, options)
    with open(out, "wb") as f:
        f.write(data)
    return out
