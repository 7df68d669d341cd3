"""Whole-archive decoding speed on an Illumina-like archive of about 220 MB of
FASTQ (see illumina_data.py): decompress_to_path and open iteration with 1 and
2 threads, stream selection and FASTA against a full decode, encrypted against
plain. Figures are MB/s of FASTQ text and ratios from the same run.

    python bench/bench_decode.py [READS]
"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zarv  # noqa: E402
from illumina_data import archive, simulated_fastq  # noqa: E402


def best_of(fn, runs=3):
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def main(reads=600_000):
    fq = simulated_fastq(reads)
    fq_bytes = os.path.getsize(fq)
    plain = archive(fq)
    enc = archive(fq, encrypted=True)
    print(f"FASTQ {fq_bytes / 1e6:.1f} MB, archive {os.path.getsize(plain) / 1e6:.1f} MB "
          f"(ratio {fq_bytes / os.path.getsize(plain):.2f}), {zarv.inspect(plain).blocks} blocks")
    out = os.path.join(tempfile.mkdtemp(), "out.fq")
    mbs = lambda s: fq_bytes / s / 1e6
    rows = {}

    rows["decompress_to_path t=1"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=1))
    rows["decompress_to_path t=2"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=2))
    assert open(out, "rb").read() == open(fq, "rb").read(), "round trip differs"
    rows["fasta t=1"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=1, fasta=True))
    rows["encrypted t=2"] = best_of(lambda: zarv.decompress_to_path(enc, out, threads=2, password="benchmark"))

    def iterate(**kw):
        n = 0
        for _ in zarv.open(plain, **kw):
            n += 1
        assert n == reads

    rows["open t=1"] = best_of(lambda: iterate(threads=1), runs=2)
    rows["open t=2"] = best_of(lambda: iterate(threads=2), runs=2)
    rows["open seq t=1"] = best_of(lambda: iterate(threads=1, streams="seq"), runs=2)

    for name, secs in rows.items():
        print(f"{name:26s} {secs:7.3f} s  {mbs(secs):8.1f} MB/s of FASTQ")
    r = lambda a, b: rows[a] / rows[b]
    print(f"threads 2 vs 1 (path):     {r('decompress_to_path t=1', 'decompress_to_path t=2'):.2f}x")
    print(f"threads 2 vs 1 (open):     {r('open t=1', 'open t=2'):.2f}x")
    print(f"fasta vs fastq (t=1):      {r('decompress_to_path t=1', 'fasta t=1'):.2f}x")
    print(f"streams=seq vs all (open): {r('open t=1', 'open seq t=1'):.2f}x")
    print(f"encrypted vs plain (t=2):  {rows['encrypted t=2'] / rows['decompress_to_path t=2']:.2f}x the time")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
