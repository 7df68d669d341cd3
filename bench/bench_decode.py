"""Whole-archive decoding speed on an Illumina-like archive of about 220 MB of
FASTQ (see illumina_data.py): decompress_to_path and open iteration with 1 and
2 threads, stream selection and FASTA against a full decode, encrypted against
plain. Figures are MB/s of FASTQ text and ratios from the same run.

    python bench/bench_decode.py [READS]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zarv  # noqa: E402
from illumina_data import archive, best_of, simulated_fastq  # noqa: E402


def run_seconds(cmd, runs=2, out=None):
    """Best wall time of a shell command, its output written to `out`
    (discarded when None)."""

    def run():
        with open(out or os.devnull, "wb") as dest:
            subprocess.run(cmd, shell=True, check=True, stdout=dest, stderr=subprocess.DEVNULL)

    return best_of(run, runs)


def references(fq, out):
    """Reference decoders on the same FASTQ: pigz -d -p 1, and samtools fastq
    of CRAM 3.1 with the default and "small" profiles, each writing its FASTQ
    to `out` as decompress_to_path does (a file's page-cache writes are a
    tenth of a full decode here). Returns {name: seconds} and the CRAM
    sizes."""
    times, sizes = {}, {}
    root = os.path.dirname(fq)
    if shutil.which("pigz"):
        gz = fq + ".gz"
        if not os.path.exists(gz):
            subprocess.run(f"pigz -k -p 2 -c {fq} > {gz}", shell=True, check=True)
        times["pigz -d -p 1"] = run_seconds(f"pigz -d -p 1 -c {gz}", out=out)
    if shutil.which("samtools"):
        for profile in ("normal", "small"):
            cram = os.path.join(root, f"hs25.{profile}.cram")
            if not os.path.exists(cram):
                subprocess.run(["samtools", "import", "-0", fq, "-o", cram, "-O", f"cram,version=3.1,{profile}"],
                               check=True, stderr=subprocess.DEVNULL)
            sizes[profile] = os.path.getsize(cram)
            times[f"samtools fastq ({profile})"] = run_seconds(f"samtools fastq -@ 0 {cram}", out=out)
    return times, sizes


RSS_CHILD = """
import sys, time, zarv
mode, path, out = sys.argv[1:4]
if mode == "path":
    zarv.decompress_to_path(path, out, threads=2)
else:
    for i, r in enumerate(zarv.open(path, threads=2)):
        if i % 20000 == 0:
            time.sleep(0.01)  # a slow consumer
# VmHWM belongs to this process's own memory map; ru_maxrss would carry
# the parent's peak over from before exec.
print(next(l.split()[1] for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""


def peak_rss_mb(mode, path, out):
    """Peak RSS of a fresh interpreter doing one decode, as that process
    reports it (this process's figure for its children would also count the
    reference decoders run before)."""
    done = subprocess.run([sys.executable, "-c", RSS_CHILD, mode, path, out], check=True, capture_output=True,
                          text=True)
    return int(done.stdout.split()[-1]) / 1024


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

    print("timing...", flush=True)
    rows["decompress_to_path t=1"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=1))
    rows["decompress_to_path t=2"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=2))
    assert open(out, "rb").read() == open(fq, "rb").read(), "round trip differs"
    rows["fasta t=1"] = best_of(lambda: zarv.decompress_to_path(plain, out, threads=1, fasta=True))
    # Encrypted and plain alternate, so that the machine's drift over a
    # minute does not land on one side; the key derivation (about 0.1 s,
    # timed as a password-checked verify) is taken off the encrypted time.
    plain_t2, enc_t2 = float("inf"), float("inf")
    for _ in range(3):
        plain_t2 = min(plain_t2, best_of(lambda: zarv.decompress_to_path(plain, out, threads=2), 1))
        enc_t2 = min(enc_t2, best_of(lambda: zarv.decompress_to_path(enc, out, threads=2, password="benchmark"), 1))
    rows["key derivation"] = best_of(lambda: zarv.verify(enc, threads=2, password="benchmark"))
    rows["plain t=2 (paired)"] = plain_t2
    rows["encrypted t=2 - key"] = enc_t2 - rows["key derivation"]

    total = zarv.inspect(plain).reads

    def iterate(**kw):
        n = 0
        for _ in zarv.open(plain, **kw):
            n += 1
        assert n == total

    rows["open t=1"] = best_of(lambda: iterate(threads=1), runs=2)
    rows["open t=2"] = best_of(lambda: iterate(threads=2), runs=2)
    rows["open seq t=1"] = best_of(lambda: iterate(threads=1, streams="seq"), runs=2)

    rows["verify t=1"] = best_of(lambda: zarv.verify(plain, threads=1))
    rows["verify t=2"] = best_of(lambda: zarv.verify(plain, threads=2))
    rows["cat archive"] = run_seconds(f"cat {plain}", runs=3)
    refs, cram_sizes = references(fq, out)
    rows.update(refs)

    for name, secs in rows.items():
        print(f"{name:26s} {secs:7.3f} s  {mbs(secs):8.1f} MB/s of FASTQ")
    for profile, size in cram_sizes.items():
        print(f"CRAM 3.1 {profile}: ratio {fq_bytes / size:.2f}")
    r = lambda a, b: rows[a] / rows[b]
    print(f"threads 2 vs 1 (path):     {r('decompress_to_path t=1', 'decompress_to_path t=2'):.2f}x")
    print(f"threads 2 vs 1 (open):     {r('open t=1', 'open t=2'):.2f}x")
    print(f"fasta vs fastq (t=1):      {r('decompress_to_path t=1', 'fasta t=1'):.2f}x")
    print(f"streams=seq vs all (open): {r('open t=1', 'open seq t=1'):.2f}x")
    print(f"encrypted vs plain (t=2):  {r('plain t=2 (paired)', 'encrypted t=2 - key'):.2f}x the speed")
    size = os.path.getsize(plain)
    print(f"verify t=2 vs cat:         {rows['cat archive'] / rows['verify t=2']:.2f}x "
          f"({size / rows['verify t=2'] / 1e6:.0f} vs {size / rows['cat archive'] / 1e6:.0f} MB/s of archive)")
    for ref in refs:
        print(f"decode t=1 vs {ref:18s} {rows[ref] / rows['decompress_to_path t=1']:.2f}x")
    print(f"records/s open t=1 vs path t=1: {rows['decompress_to_path t=1'] / rows['open t=1']:.2f}x")
    print(f"peak RSS decompress_to_path: {peak_rss_mb('path', plain, out):.0f} MB; "
          f"open with a slow consumer: {peak_rss_mb('open', plain, out):.0f} MB")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:]))
