"""zarv.remote against a real HTTP server: Debian's nginx on a loopback port,
serving writer-made archives. Requests and bytes are counted from nginx's own
access log."""

import pytest

import zarv
import zarv.remote as remote
from kit import encoded, flip, illumina_reads, raises, write
from nginx_server import NGINX, NginxServer

READS = illumina_reads(900, length=120, seed=21)
DATA = write(READS, block_reads=[300, 300, 300])


@pytest.fixture(scope="module")
def server():
    if NGINX is None:
        pytest.skip("nginx is not installed (scripts/setup.sh installs it)")
    with NginxServer() as srv:
        yield srv


def logged(srv, action):
    """Runs action(); returns its result and the access-log lines it caused."""
    before = len(srv.log_lines())
    result = action()
    return result, srv.log_lines()[before:]


def test_one_column_of_one_group_fetches_only_tail_and_column(server):
    url = server.publish("a.zarv", DATA)
    start, end = zarv.open_index(DATA).stream_range(1, "names")
    ra = remote.RemoteArchive(url, tail=1024)  # the footer of 3 groups is 232 bytes
    names, (tail, column) = logged(server, lambda: ra.read_column("names", groups=[1]))
    assert names == encoded(READS[300:600], 0) and ra.requests == 2
    assert tail[2:5] == ['"bytes=-1024"', "206", "1024"]
    assert column[2:5] == [f'"bytes={start}-{end - 1}"', "206", str(end - start)]
    assert ra.bytes_fetched == 1024 + (end - start) < len(DATA) // 10


def test_small_tail_needs_exactly_one_more_request(server):
    data = write(READS, block_reads=[30] * 30)  # 30 groups: an 1820-byte footer
    ra = remote.RemoteArchive(server.publish("b.zarv", data), tail=64)
    ix, lines = logged(server, ra.index)
    assert (ix.num_groups, ix.total_reads) == (30, 900)
    f = len(data) - 12 - (60 * 30 + 20)
    assert [line[2] for line in lines] == ['"bytes=-64"', f'"bytes=-{len(data) - f}"']
    assert ra.read_column("qual", groups=[29, 0]) == encoded(READS[870:900] + READS[0:30], 2)
    assert ra.requests == 4


def test_every_column_matches_local_decode(server):
    data = write(READS[:200], block_reads=[100, 100], quality_mode=1)
    url = server.publish("c.zarv", data)
    assert remote.read_column(url, "sequence") == zarv.read_sequences(data)
    assert remote.read_column(url, "quality") == zarv.read_qualities(data)  # fetches the bases too
    assert remote.read_column(url, "names", groups=[1, 1]) == zarv.read_names(data, groups=[1, 1])
    assert remote.read_index(url).whole_file_crc == zarv.open_index(data).whole_file_crc


def test_whole_archive_streams_into_open(server):
    url = server.publish("d.zarv", DATA)
    recs, (line,) = logged(server, lambda: list(remote.stream(url, threads=2)))
    assert [r.name for r in recs] == encoded(READS, 0)
    assert line[2:5] == ['"-"', "200", str(len(DATA))]
    assert [r.sequence for r in remote.stream(url, streams="seq")] == encoded(READS, 1)


def test_remote_errors(server):
    data = write(READS[:50])
    url = server.publish("norange/e.zarv", data)
    raises(remote.RemoteError, f"server does not support Range requests for {url} (status 200 without Content-Range)",
           remote.read_index, url)
    missing = url.rsplit("/norange/", 1)[0] + "/missing.zarv"
    raises(remote.RemoteError, f"HTTP 404 Not Found for {missing} (Range: bytes=-{remote.DEFAULT_TAIL})",
           remote.read_index, missing)
    raises(remote.RemoteError, f"HTTP 404 Not Found for {missing}", remote.stream, missing)
    # Damaged bytes on the server fail the CRC check of the fetched column.
    ix = zarv.open_index(data)
    url2 = server.publish("f.zarv", flip(data, ix.stream_range(0, "seq")[0]))
    raises(zarv.ZarvError, "corrupted zarv data: row group 0 Sequence stream (crc mismatch)",
           remote.read_column, url2, "seq")
    raises(ValueError, "unknown stream \"bases\"; expected 'names', 'sequence', or 'quality'",
           remote.read_column, url2, "bases")
    # Bad groups fail before any column is requested.
    ra = remote.RemoteArchive(url2)
    raises(zarv.ZarvError, "malformed zarv block: row-group index out of range",
           ra.read_column, "seq", [0, ix.num_groups])
    assert ra.requests == 1  # the index only
    raises(TypeError, "groups must be None or a sequence of row-group indexes", ra.read_column, "seq", "0")


def test_short_responses_are_reported():
    class Short(remote.RemoteArchive):
        def _range(self, ranges):  # a server that drops the last byte of every body
            return b"x" * 9, 0, 100

    ra = Short("http://127.0.0.1:9/none")
    short = "short response from http://127.0.0.1:9/none: "
    raises(remote.RemoteError, short + "expected bytes 0-9, got 9 bytes from 0", ra._fetch, 0, 10)
    raises(remote.RemoteError, short + "the tail does not reach the end of the file", ra.index)
