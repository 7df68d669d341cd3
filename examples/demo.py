"""Show what zarv reads from an archive: python examples/demo.py ARCHIVE"""

import sys

import zarv


def main(path):
    info = zarv.inspect(path)
    print(info)
    print(f"  reads            {info.reads} in {info.blocks} row groups, platform {info.platform}")
    print(f"  member labels    {info.member_labels}")
    print(f"  coded bytes      names {info.names_bytes}, sequence {info.sequence_bytes}, "
          f"quality {info.quality_bytes}")
    zarv.verify(path)
    print("  verify           ok (header, footer, whole-file CRC)")
    fastq = zarv.decompress_to_bytes(path)
    print(f"  decoded          {len(fastq)} bytes of FASTQ; the first record:")
    for line in fastq.split(b"\n")[:4]:
        print("    " + line.decode())
    names = zarv.read_names(path, groups=[1])
    print(f"  random access    row group 1 holds {len(names)} reads, first {names[0].decode()}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/example.zarv")
