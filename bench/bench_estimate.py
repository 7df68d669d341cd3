"""estimate() speed: a 300000-read Illumina sample (the art_illumina HS25
benchmark FASTQ, see illumina_data.py) and a long-read sample; seconds and
reads/s, threads=1 and 2 (the estimate runs on one worker per CPU whatever
`threads` says, so both should agree).

    python bench/bench_estimate.py
"""

import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zarv  # noqa: E402
from illumina_data import ROOT, best_of, simulated_fastq  # noqa: E402


def long_reads(path, n=3000, seed=5):
    if os.path.exists(path):
        return path
    rng = random.Random(seed)
    genome = "".join(rng.choice("ACGT") for _ in range(2_000_000))
    with open(path, "w") as f:
        for i in range(n):
            length = int(rng.lognormvariate(8.5, 0.6))
            start = rng.randrange(0, len(genome) - length)
            seq = genome[start:start + length]
            qual = "".join(chr(33 + max(2, min(40, int(rng.gauss(18, 6))))) for _ in range(length))
            f.write(f"@{rng.getrandbits(128):032x} runid=1 read={i} ch={rng.randrange(512)} start_time=t\n"
                    f"{seq}\n+\n{qual}\n")
    return path


def main():
    short = simulated_fastq(600_000)
    long_path = long_reads(os.path.join(ROOT, "ont_like.fq"))
    for label, path, reads in (("illumina 300k", short, 300_000), ("long reads", long_path, 300_000)):
        e = zarv.estimate(path, sample_reads=reads)
        for threads in (1, 2):
            secs = best_of(lambda: zarv.estimate(path, sample_reads=reads, threads=threads), runs=2)
            print(f"{label:14s} threads={threads}: {secs:6.2f} s, {e.sample_reads / secs:10.0f} reads/s, "
                  f"platform {e.platform}, ratio {e.ratio:.3f}")


if __name__ == "__main__":
    main()
