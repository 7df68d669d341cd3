"""Show what zarv reads from an archive: python examples/demo.py ARCHIVE"""

import sys

import zarv


def main(path):
    info = zarv.inspect(path)
    print(info)
    print(f"  reads            {info.reads}")
    print(f"  row groups       {info.blocks}")
    print(f"  platform         {info.platform}")
    print(f"  format version   {info.format_version >> 8}.{info.format_version & 0xFF}")
    print(f"  names bytes      {info.names_bytes}")
    print(f"  sequence bytes   {info.sequence_bytes}")
    print(f"  quality bytes    {info.quality_bytes}")
    print(f"  member labels    {info.member_labels}")
    print(f"  encrypted        {info.encrypted}")
    print(f"  whole-file CRC   {info.whole_file_crc:#010x}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/example.zarv")
