"""Reading archives over HTTP with ``Range`` requests.

An archive's footer index is read from its tail (one ``Range: bytes=-N``
request, and at most one more when the footer is larger than the first
guess); after that each coded stream of a row group is one more request for
exactly its bytes, checked against the index's CRC-32C before it is decoded.
``stream`` feeds a whole archive from an HTTP response into ``zarv.open``.

Only the standard library is used (``urllib``).
"""

import re
import urllib.error
import urllib.request

import _zarv

__all__ = ["RemoteError", "RemoteArchive", "read_index", "read_column", "stream"]

# Enough for the footer of about 270 row groups in one request.
DEFAULT_TAIL = 16 * 1024
_CONTENT_RANGE = re.compile(r"^bytes (\d+)-(\d+)/(\d+|\*)$")
_COLUMNS = {
    "names": "names", "name": "names",
    "sequence": "sequence", "seq": "sequence",
    "quality": "quality", "qual": "quality",
}


class RemoteError(OSError):
    """An HTTP exchange did not give the bytes asked for."""


class RemoteArchive:
    """An archive on an HTTP server, read with ``Range`` requests.

    ``requests`` counts the HTTP requests made through this object and
    ``bytes_fetched`` the body bytes received.
    """

    def __init__(self, url, *, timeout=60.0, tail=DEFAULT_TAIL, headers=None):
        self.url = url
        self.timeout = timeout
        self.tail = max(12, int(tail))
        self.headers = dict(headers or {})
        self.requests = 0
        self.bytes_fetched = 0
        self._index = None
        self.file_len = None

    # -- HTTP ---------------------------------------------------------------

    def _range(self, ranges):
        """GET with ``Range: bytes=<ranges>``; returns (body, start, total)."""
        req = urllib.request.Request(self.url, headers={**self.headers, "Range": f"bytes={ranges}"})
        self.requests += 1
        try:
            with urllib.request.urlopen(req, timeout=self.timeout) as resp:
                status = resp.status
                content_range = resp.headers.get("Content-Range")
                body = resp.read()
        except urllib.error.HTTPError as e:
            raise RemoteError(f"HTTP {e.code} {e.reason} for {self.url} (Range: bytes={ranges})") from None
        except urllib.error.URLError as e:
            raise RemoteError(f"cannot reach {self.url}: {e.reason}") from None
        self.bytes_fetched += len(body)
        if status != 206 or not content_range:
            raise RemoteError(
                f"server does not support Range requests for {self.url} "
                f"(status {status} without Content-Range)")
        m = _CONTENT_RANGE.match(content_range.strip())
        if not m:
            raise RemoteError(f"malformed Content-Range {content_range!r} from {self.url}")
        start, end = int(m.group(1)), int(m.group(2))
        total = None if m.group(3) == "*" else int(m.group(3))
        if len(body) != end - start + 1:
            raise RemoteError(
                f"short response from {self.url}: expected {end - start + 1} bytes, got {len(body)}")
        return body, start, total

    def _fetch(self, start, end):
        """The bytes [start, end) of the archive, in one request."""
        if end <= start:
            return b""
        body, got_start, _ = self._range(f"{start}-{end - 1}")
        if got_start != start or len(body) != end - start:
            raise RemoteError(
                f"short response from {self.url}: expected bytes {start}-{end - 1}, "
                f"got {len(body)} bytes from {got_start}")
        return body

    # -- index --------------------------------------------------------------

    def index(self):
        """The footer index, read from the archive's tail."""
        if self._index is not None:
            return self._index
        body, start, total = self._range(f"-{self.tail}")
        if total is None:
            raise RemoteError(f"server did not report the size of {self.url}")
        if start + len(body) != total:
            raise RemoteError(f"short response from {self.url}: the tail does not reach the end of the file")
        index, need = _zarv.parse_index_suffix(body, total)
        if index is None:
            body, start, total2 = self._range(f"-{need}")
            if total2 != total or len(body) != need:
                raise RemoteError(f"short response from {self.url}: expected the last {need} bytes")
            index, need = _zarv.parse_index_suffix(body, total)
            if index is None:  # the second length is exact; this would be a server fault
                raise RemoteError(f"footer of {self.url} still incomplete after {len(body)} bytes")
        self.file_len = total
        self._index = index
        return index

    # -- columns ------------------------------------------------------------

    def fetch_stream(self, group, stream):
        """One row group's coded stream, verified against the index CRC."""
        index = self.index()
        start, end = index.stream_range(group, stream)
        coded = self._fetch(start, end)
        index.verify_stream(group, stream, coded)
        return coded

    def read_column(self, stream, groups=None):
        """Per-read values of one column (``"names"``, ``"sequence"`` or
        ``"quality"``) for ``groups`` (all row groups when None)."""
        if not isinstance(stream, str):
            raise TypeError("stream must be a str stream name ('names', 'sequence', 'quality')")
        if isinstance(groups, (str, bytes, bytearray)):
            raise TypeError("groups must be None or a sequence of row-group indexes")
        kind = _COLUMNS.get(stream)
        if kind is None:
            # The module's own name parser words the error (quoting and escapes
            # as open(streams=...) does); it runs before the group check.
            self.index().stream_range(0, stream)
        index = self.index()
        groups = range(index.num_groups) if groups is None else list(groups)
        # Every group is checked before the first column request, as a local
        # read checks them before reading.
        for g in groups:
            if not 0 <= g < index.num_groups:
                raise _zarv.ZarvError("malformed zarv block: row-group index out of range")
        out = []
        for g in groups:
            coded = self.fetch_stream(g, kind)
            if kind == "names":
                out.extend(_zarv.decode_names_bytes(coded))
            elif kind == "sequence":
                out.extend(_zarv.decode_sequences_bytes(coded))
            else:
                seq = None
                if _zarv.quality_needs_sequence_bytes(coded):
                    seq = b"".join(_zarv.decode_sequences_bytes(self.fetch_stream(g, "sequence")))
                out.extend(_zarv.decode_qualities_bytes(coded, seq))
        return out


def read_index(url, **kwargs):
    """The footer ``Index`` of the archive at ``url``."""
    return RemoteArchive(url, **kwargs).index()


def read_column(url, stream, groups=None, **kwargs):
    """One column of the archive at ``url``: see ``RemoteArchive.read_column``."""
    return RemoteArchive(url, **kwargs).read_column(stream, groups)


def stream(url, *, timeout=60.0, headers=None, **open_kwargs):
    """Stream the whole archive at ``url`` into ``zarv.open``; returns the
    ``Reader``. Keyword arguments other than ``timeout`` and ``headers`` go to
    ``open`` (``threads``, ``streams``, ``password``)."""
    req = urllib.request.Request(url, headers=dict(headers or {}))
    try:
        resp = urllib.request.urlopen(req, timeout=timeout)
    except urllib.error.HTTPError as e:
        raise RemoteError(f"HTTP {e.code} {e.reason} for {url}") from None
    except urllib.error.URLError as e:
        raise RemoteError(f"cannot reach {url}: {e.reason}") from None
    return _zarv.open(resp, **open_kwargs)
