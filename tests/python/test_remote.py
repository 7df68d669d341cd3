"""zarv.remote against a real HTTP server: Debian's nginx on a loopback port,
serving writer-made archives. Requests and bytes are counted from nginx's own
access log."""

import pytest

import zarv
import zarv.remote as remote
from kit import illumina_reads, write
from nginx_server import NGINX, NginxServer

READS = illumina_reads(900, length=120, seed=21)
SIZES = [300, 300, 300]


@pytest.fixture(scope="module")
def server():
    if NGINX is None:
        pytest.skip("nginx is not installed (scripts/setup.sh installs it)")
    with NginxServer() as srv:
        yield srv.publish, srv.log_lines


def _requests_since(log_lines, before):
    return log_lines()[before:]


def test_one_column_of_one_group_fetches_only_tail_and_column(server):
    publish, log_lines = server
    data = write(READS, block_reads=SIZES)
    url = publish("a.zarv", data)
    ix_local = zarv.open_index(data)
    start, end = ix_local.stream_range(1, "names")
    before = len(log_lines())

    ra = remote.RemoteArchive(url, tail=1024)  # the footer of 3 groups is 232 bytes
    names = ra.read_column("names", groups=[1])
    assert names == [n.encode() for n, _, _ in READS[300:600]]
    lines = _requests_since(log_lines, before)
    assert len(lines) == ra.requests == 2
    tail, column = lines
    assert tail[2] == '"bytes=-1024"' and tail[3] == "206"
    assert int(tail[4]) == 1024
    assert column[2] == f'"bytes={start}-{end - 1}"' and column[3] == "206"
    assert int(column[4]) == end - start
    assert ra.bytes_fetched == int(tail[4]) + int(column[4])
    assert ra.bytes_fetched == 1024 + (end - start) < len(data) // 10


def test_small_tail_needs_exactly_one_more_request(server):
    publish, log_lines = server
    data = write(READS, block_reads=[30] * 30)  # 30 groups: an 1820-byte footer
    url = publish("b.zarv", data)
    before = len(log_lines())
    ra = remote.RemoteArchive(url, tail=64)
    ix = ra.index()
    assert (ix.num_groups, ix.total_reads) == (30, 900)
    lines = _requests_since(log_lines, before)
    f = len(data) - 12 - (60 * 30 + 20)
    assert [line[2] for line in lines] == ['"bytes=-64"', f'"bytes=-{len(data) - f}"']
    quals = ra.read_column("qual", groups=[29, 0])
    assert quals == [q.encode() for _, _, q in READS[870:900] + READS[0:30]]
    assert ra.requests == 4


def test_every_column_matches_local_decode(server):
    publish, _ = server
    data = write(READS[:200], block_reads=[100, 100], quality_mode=1)
    url = publish("c.zarv", data)
    assert remote.read_column(url, "sequence") == zarv.read_sequences(data)
    assert remote.read_column(url, "quality") == zarv.read_qualities(data)  # fetches the bases too
    assert remote.read_column(url, "names", groups=[1, 1]) == zarv.read_names(data, groups=[1, 1])
    ix = remote.read_index(url)
    assert ix.whole_file_crc == zarv.open_index(data).whole_file_crc


def test_whole_archive_streams_into_open(server):
    publish, log_lines = server
    data = write(READS, block_reads=SIZES)
    url = publish("d.zarv", data)
    before = len(log_lines())
    recs = list(remote.stream(url, threads=2))
    assert [r.name for r in recs] == [n.encode() for n, _, _ in READS]
    (line,) = _requests_since(log_lines, before)
    assert line[2] == '"-"' and line[3] == "200" and int(line[4]) == len(data)
    seqs = [r.sequence for r in remote.stream(url, streams="seq")]
    assert seqs == [s.encode() for _, s, _ in READS]


def test_remote_errors(server):
    publish, _ = server
    data = write(READS[:50])
    url = publish("norange/e.zarv", data)
    with pytest.raises(remote.RemoteError, match="does not support Range requests"):
        remote.read_index(url)
    base = url.rsplit("/norange/", 1)[0]
    with pytest.raises(remote.RemoteError, match="HTTP 404"):
        remote.read_index(base + "/missing.zarv")
    with pytest.raises(remote.RemoteError, match="HTTP 404"):
        remote.stream(base + "/missing.zarv")
    # Damaged bytes on the server fail the CRC check of the fetched column.
    ix = zarv.open_index(data)
    s, e = ix.stream_range(0, "seq")
    damaged = data[:s] + bytes([data[s] ^ 1]) + data[s + 1:]
    url2 = publish("f.zarv", damaged)
    with pytest.raises(zarv.ZarvError, match=r"row group 0 Sequence stream \(crc mismatch\)"):
        remote.read_column(url2, "seq")
    with pytest.raises(ValueError, match=r'^unknown stream "bases"; expected'):
        remote.read_column(url2, "bases")
    # Bad groups fail before any column is requested.
    ra = remote.RemoteArchive(url2)
    with pytest.raises(zarv.ZarvError, match="^malformed zarv block: row-group index out of range$"):
        ra.read_column("seq", [0, ix.num_groups])
    assert ra.requests == 1  # the index only
    with pytest.raises(TypeError):
        ra.read_column("seq", "0")


def test_short_responses_are_reported():
    class Short(remote.RemoteArchive):
        def _range(self, ranges):  # a server that drops the last byte of every body
            body, start, total = b"x" * 9, 0, 100
            return body, start, total

    ra = Short("http://127.0.0.1:9/none")
    with pytest.raises(remote.RemoteError, match="short response"):
        ra._fetch(0, 10)
    with pytest.raises(remote.RemoteError, match="short response"):
        ra.index()
