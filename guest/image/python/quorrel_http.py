"""HTTPS requests from inside a quorrel microVM.

The guest has no network of its own: a request goes to the guest agent over
a Unix socket, the agent hands it to the host, and the host's proxy performs
it (HTTPS only, whitelisted domains only, no private addresses).

    import quorrel_http
    r = quorrel_http.get("https://api.example.com/items", headers={"accept": "application/json"})
    r.status, r.headers["content-type"], r.json()
    quorrel_http.post("https://api.example.com/items", body=b'{"a": 1}')

A refused or failed request raises `HttpError`, whose `code` is one of
DENIED_HOST, TIMEOUT, BODY_TOO_LARGE, CONNECT_FAIL, TLS_FAIL, INVALID_URL,
DNS_REBIND, INTERNAL. Any HTTP status (404, 500, 302 ...) is a response,
not an error; redirects are not followed.
"""

import base64
import json
import os
import socket

__all__ = ["HttpError", "Response", "request", "get", "post"]

DEFAULT_SOCKET = "/run/quorrel/http.sock"


class HttpError(Exception):
    """The proxy refused or could not perform the request."""

    def __init__(self, code, message):
        super().__init__(f"{code}: {message}")
        self.code = code
        self.message = message


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers  # lower-case names
        self.body = body

    def text(self, encoding="utf-8"):
        return self.body.decode(encoding, errors="replace")

    def json(self):
        return json.loads(self.body)

    def __repr__(self):
        return f"<Response {self.status}, {len(self.body)} bytes>"


class _Reader:
    def __init__(self, sock):
        self._sock = sock
        self._buf = b""

    def _fill(self):
        chunk = self._sock.recv(65536)
        if not chunk:
            raise HttpError("INTERNAL", "the agent closed the connection without an answer")
        self._buf += chunk

    def until(self, delims):
        while True:
            for i, b in enumerate(self._buf):
                if b in delims:
                    token, delim = self._buf[:i], self._buf[i:i + 1]
                    self._buf = self._buf[i + 1:]
                    return token.decode("ascii", errors="replace"), delim
            if len(self._buf) > 64:
                raise HttpError("INTERNAL", "malformed answer from the agent")
            self._fill()

    def exact(self, n):
        while len(self._buf) < n:
            self._fill()
        data, self._buf = self._buf[:n], self._buf[n:]
        return data

    def payload(self):
        length, _ = self.until(b":")
        if not length.isdigit():
            raise HttpError("INTERNAL", "malformed answer from the agent")
        data = self.exact(int(length))
        if self.exact(1) != b"\n":
            raise HttpError("INTERNAL", "malformed answer from the agent")
        return data


def request(method, url, headers=None, body=None, timeout_ms=None, max_response_bytes=None, socket_path=None):
    """Performs one request through the host and returns a `Response`.

    body: bytes or str (sent as UTF-8) or None. timeout_ms: total time limit
    (host default 30000). max_response_bytes: response body cap (host
    default 1048576).
    """
    payload = {"method": method, "url": url, "headers": dict(headers or {})}
    if body is not None:
        if isinstance(body, str):
            body = body.encode("utf-8")
        payload["body_b64"] = base64.b64encode(bytes(body)).decode("ascii")
    if timeout_ms is not None:
        payload["timeout_ms"] = int(timeout_ms)
    if max_response_bytes is not None:
        payload["max_response_bytes"] = int(max_response_bytes)
    path = socket_path or os.environ.get("QUORREL_HTTP_SOCKET") or DEFAULT_SOCKET

    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        try:
            sock.connect(path)
        except OSError as e:
            raise HttpError("INTERNAL", f"cannot reach the agent at {path}: {e}") from None
        sock.sendall(json.dumps(payload, separators=(",", ":")).encode("utf-8"))
        sock.shutdown(socket.SHUT_WR)
        reader = _Reader(sock)
        status, response_headers, chunks = None, {}, []
        while True:
            kind, delim = reader.until(b":\n")
            if delim == b"\n":
                if kind != "END" or status is None:
                    raise HttpError("INTERNAL", f"unexpected answer from the agent: {kind}")
                return Response(status, response_headers, b"".join(chunks))
            if kind == "HEADERS":
                head = json.loads(reader.payload())
                status, response_headers = head["status"], head["headers"]
            elif kind == "BODY":
                chunks.append(reader.payload())
            elif kind == "ERROR":
                code, _ = reader.until(b":")
                raise HttpError(code, reader.payload().decode("utf-8", errors="replace"))
            else:
                raise HttpError("INTERNAL", f"unexpected answer from the agent: {kind}")


def get(url, **kwargs):
    return request("GET", url, **kwargs)


def post(url, body=None, **kwargs):
    return request("POST", url, body=body, **kwargs)
