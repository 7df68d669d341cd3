"""verify(): header, footer, footer tag and the parallel whole-file CRC."""

import io
import struct

import zarv
from kit import crc32c, flip, frames, illumina_reads, raises, write

READS = illumina_reads(400, length=150, seed=11)
ENC = dict(passphrase=b"pw", salt=bytes(16), archive_id=bytes(range(16)), m_cost=64)
WRONG = "decryption failed: wrong passphrase, or the data is corrupted or tampered"
WHOLE_FILE = "corrupted zarv data: archive (whole-file crc) (crc mismatch)"


def test_verify_accepts_good_archives(tmp_path):
    data = write(READS, block_reads=[100] * 4)
    assert len(data) > 1 << 15
    for threads in (0, 1, 2, 64):
        assert zarv.verify(data, threads=threads) is None
    p = tmp_path / "a.zarv"
    p.write_bytes(data)
    assert zarv.verify(str(p)) is None and zarv.verify(p) is None and zarv.verify(write([])) is None


def test_large_archive_over_many_chunks(tmp_path):
    big = write(illumina_reads(20000, length=150, seed=3), block_reads=[5000] * 4)
    assert len(big) > 2 << 20  # more than one 1 MiB chunk
    off, n = frames(big)[3]
    in_block = flip(big, off + n - 3, 0x10)
    good, bad = tmp_path / "good.zarv", tmp_path / "bad.zarv"
    good.write_bytes(big)
    bad.write_bytes(in_block)
    # From memory, and from a file through each worker's positional reads.
    for threads in (1, 3):
        assert zarv.verify(big, threads=threads) is None and zarv.verify(good, threads=threads) is None
        raises(zarv.ZarvError, WHOLE_FILE, zarv.verify, in_block, threads=threads)
        raises(zarv.ZarvError, WHOLE_FILE, zarv.verify, bad, threads=threads)
    assert zarv.inspect(in_block).reads == 20000  # the index is still fine


def test_flipped_bits():
    data = write(READS, block_reads=[200, 200])
    raises(zarv.ZarvError, "corrupted zarv data: footer (crc mismatch)", zarv.verify, flip(data, len(data) - 30))
    raises(zarv.ZarvError, "corrupted zarv data: header (crc mismatch)", zarv.verify, flip(data, 14))


def test_encrypted_archives():
    data = write(READS[:50], block_reads=[25, 25], encryption=ENC)
    assert zarv.verify(data) is None  # CRCs only without a passphrase
    assert zarv.verify(data, password="pw") is None and zarv.verify(data, password=b"pw") is None
    raises(zarv.ZarvError, WRONG, zarv.verify, data, password="wrong")
    # A tampered tag fails the tag check; the footer CRC is recomputed so the
    # footer itself still parses.
    f = struct.unpack("<Q", data[-12:-4])[0]
    body = bytearray(data[f:-12])
    body[-5] ^= 0x01  # last byte of the tag
    body[-4:] = struct.pack("<I", crc32c(bytes(body[:-4])))
    tampered = data[:f] + bytes(body) + data[-12:]
    raises(zarv.ZarvError, WRONG, zarv.verify, tampered, password="pw")
    assert zarv.verify(tampered) is None


def test_verify_surface():
    assert zarv.verify.__text_signature__ == "(source, *, threads=0, password=None)"
    assert zarv.verify.__doc__.startswith("Verify an archive's integrity \u2014 header, footer")
    assert "verify" in zarv.__all__
    raises(TypeError, "source must be bytes, a str path, or an os.PathLike", zarv.verify, io.BytesIO(b""))
    raises(TypeError, None, zarv.verify, write([]), 1)
