"""Random access on the Illumina-like benchmark archive (illumina_data.py):
one row group's column by projection against decoding the whole archive, and
a remote one-column read through nginx against downloading the whole file.

    python bench/bench_random_access.py
"""

import os
import sys
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))

import zarv  # noqa: E402
import zarv.remote as remote  # noqa: E402
from illumina_data import archive, best_of, simulated_fastq  # noqa: E402
from nginx_server import NginxServer  # noqa: E402


def main():
    path = archive(simulated_fastq(600_000))
    size = os.path.getsize(path)
    ix = zarv.open_index(path)
    g = ix.num_groups // 2
    full = best_of(lambda: zarv.decompress_to_bytes(path, threads=1), runs=2)
    print(f"archive {size / 1e6:.1f} MB, {ix.num_groups} groups; full decode (1 thread) {full:.3f} s")
    for name, fn in (("read_names", zarv.read_names), ("read_sequences", zarv.read_sequences),
                     ("read_qualities", zarv.read_qualities)):
        t = best_of(lambda: fn(path, groups=[g]))
        print(f"{name:15s} group {g}: {t * 1e3:8.2f} ms  ({full / t:7.1f}x faster than the full decode)")
    t = best_of(lambda: zarv.read_block(path, g))
    print(f"{'read_block':15s} group {g}: {t * 1e3:8.2f} ms  ({full / t:7.1f}x)")

    with NginxServer() as srv:
        url = srv.publish("bench.zarv", path=path)
        ra = remote.RemoteArchive(url)
        t_col = best_of(lambda: remote.RemoteArchive(url).read_column("quality", groups=[g]))
        ra.read_column("quality", groups=[g])

        def download():
            with urllib.request.urlopen(url) as r:
                while r.read(1 << 20):
                    pass

        t_all = best_of(download)
        t_col_local = best_of(lambda: zarv.read_qualities(path, groups=[g]))
        print(f"remote quality column of 1 group: {ra.requests} requests, {ra.bytes_fetched / 1e3:.1f} kB, "
              f"{t_col * 1e3:.1f} ms")
        print(f"whole-file download:              1 request, {size / 1e3:.1f} kB, {t_all * 1e3:.1f} ms")
        print(f"bytes ratio {size / ra.bytes_fetched:.0f}x; on loopback the transfer is nearly free, so the "
              f"fair time comparison is download + local column read ({(t_all + t_col_local) * 1e3:.1f} ms): "
              f"{(t_all + t_col_local) / t_col:.1f}x, and download + full decode ({(t_all + full) * 1e3:.0f} ms): "
              f"{(t_all + full) / t_col:.0f}x")


if __name__ == "__main__":
    main()
