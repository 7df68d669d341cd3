"""verify(): header, footer, footer tag and the parallel whole-file CRC."""

import io
import struct

import pytest

import zarv
from kit import crc32c, frames, illumina_reads, write

READS = illumina_reads(400, length=150, seed=11)
ENC = dict(passphrase=b"pw", salt=bytes(16), archive_id=bytes(range(16)), m_cost=64)


def test_verify_accepts_good_archives(tmp_path):
    data = write(READS, block_reads=[100] * 4)
    assert len(data) > 1 << 15
    for threads in (0, 1, 2, 64):
        assert zarv.verify(data, threads=threads) is None
    p = tmp_path / "a.zarv"
    p.write_bytes(data)
    assert zarv.verify(str(p)) is None
    assert zarv.verify(p) is None
    assert zarv.verify(write([])) is None


def test_large_archive_over_many_chunks():
    big = write(illumina_reads(20000, length=150, seed=3), block_reads=[5000] * 4)
    assert len(big) > 2 << 20  # more than one 1 MiB chunk
    zarv.verify(big, threads=1)
    zarv.verify(big, threads=3)
    off, n = frames(big)[3]
    flipped = bytearray(big)
    flipped[off + n - 3] ^= 0x10
    with pytest.raises(zarv.ZarvError) as e:
        zarv.verify(bytes(flipped), threads=2)
    assert str(e.value) == "corrupted zarv data: archive (whole-file crc) (crc mismatch)"


def test_flipped_bits():
    data = write(READS, block_reads=[200, 200])
    off, n = frames(data)[1]
    in_block = bytearray(data)
    in_block[off + n // 3] ^= 0x01
    with pytest.raises(zarv.ZarvError) as e:
        zarv.verify(bytes(in_block))
    assert str(e.value) == "corrupted zarv data: archive (whole-file crc) (crc mismatch)"
    assert zarv.inspect(bytes(in_block)).reads == 400  # the index is still fine
    in_footer = bytearray(data)
    in_footer[-30] ^= 0x01
    with pytest.raises(zarv.ZarvError) as e:
        zarv.verify(bytes(in_footer))
    assert str(e.value) == "corrupted zarv data: footer (crc mismatch)"
    in_header = bytearray(data)
    in_header[14] ^= 0x01
    with pytest.raises(zarv.ZarvError) as e:
        zarv.verify(bytes(in_header))
    assert str(e.value) == "corrupted zarv data: header (crc mismatch)"


def test_encrypted_archives():
    data = write(READS[:50], block_reads=[25, 25], encryption=ENC)
    assert zarv.verify(data) is None  # CRCs only without a passphrase
    assert zarv.verify(data, password="pw") is None
    assert zarv.verify(data, password=b"pw") is None
    with pytest.raises(zarv.ZarvError) as e:
        zarv.verify(data, password="wrong")
    assert str(e.value) == "decryption failed: wrong passphrase, or the data is corrupted or tampered"
    # A tampered tag fails the tag check; the footer CRC is recomputed so the
    # footer itself still parses.
    f = struct.unpack("<Q", data[-12:-4])[0]
    body = bytearray(data[f:-12])
    body[-5] ^= 0x01  # last byte of the tag
    body[-4:] = struct.pack("<I", crc32c(bytes(body[:-4])))
    tampered = data[:f] + bytes(body) + data[-12:]
    with pytest.raises(zarv.ZarvError, match="^decryption failed"):
        zarv.verify(tampered, password="pw")
    assert zarv.verify(tampered) is None


def test_verify_surface():
    assert zarv.verify.__text_signature__ == "(source, *, threads=0, password=None)"
    assert zarv.verify.__doc__.startswith("Verify an archive's integrity \u2014 header, footer")
    with pytest.raises(TypeError) as e:
        zarv.verify(io.BytesIO(b""))
    assert str(e.value) == "source must be bytes, a str path, or an os.PathLike"
    with pytest.raises(TypeError):
        zarv.verify(write([]), 1)
    assert "verify" in zarv.__all__
