#!/usr/bin/env python3
"""HTTPS server for the proxy tests; listens on loopback only.

Usage: https_test_server.py CERT KEY [HOST]
Prints "PORT <n>" once it listens, then serves until killed.

Routes:
  /status/N      answer with status N
  /redirect      302 with a Location header
  /dup-header    the header X-Dup twice ("first", then "second")
  /bad-utf8      the header X-Bin with the raw bytes a, 0xFF, b
  /bytes/N       N bytes of body with a Content-Length
  /chunked/N     N bytes of body in chunked encoding
  /slow-body     a head announcing 10 bytes, 2 bytes, then silence
  /delay/MS      waits MS milliseconds before answering
  /echo          JSON of what arrived: method, path, headers, body
  /close         closes the connection without reading or answering
"""
import base64
import json
import socket
import ssl
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def setup(self):
        self.request.do_handshake()
        super().setup()

    def __getattr__(self, name):
        # Every method, extension methods such as "get" included.
        if name.startswith("do_"):
            return self.dispatch
        raise AttributeError(name)

    def read_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def answer(self, status, body=b"", extra=()):
        self.send_response(status)
        for k, v in extra:
            self.send_header(k, v)
        if status >= 200 and status not in (204, 304):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD" and status >= 200 and status not in (204, 304):
            self.wfile.write(body)

    def dispatch(self):
        parts = self.path.split("?")[0].strip("/").split("/")
        route = parts[0]
        arg = parts[1] if len(parts) > 1 else ""
        if route == "close":
            # Before reading any request body.
            self.close_connection = True
            return
        body = self.read_body()
        if route == "status":
            self.answer(int(arg), f"status {arg}".encode())
        elif route == "redirect":
            self.answer(302, b"moved", [("Location", "/target")])
        elif route == "dup-header":
            self.answer(200, b"dup", [("X-Dup", "first"), ("X-Dup", "second")])
        elif route == "bad-utf8":
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self._headers_buffer.append(b"X-Bin: a\xffb\r\n")
            self.end_headers()
        elif route == "bytes":
            self.answer(200, pattern(int(arg)))
        elif route == "chunked":
            data = pattern(int(arg))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(data), 1000):
                piece = data[i:i + 1000]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif route == "slow-body":
            self.send_response(200)
            self.send_header("Content-Length", "10")
            self.end_headers()
            self.wfile.write(b"ab")
            self.wfile.flush()
            time.sleep(5)
            self.close_connection = True
        elif route == "delay":
            time.sleep(int(arg) / 1000.0)
            self.answer(200, b"late")
        elif route == "echo":
            doc = {
                "method": self.command,
                "path": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body_b64": base64.b64encode(body).decode(),
            }
            self.answer(200, json.dumps(doc).encode(), [("Content-Type", "application/json")])
        else:
            self.answer(404, b"no such route")


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # Clients that refuse the certificate or time out are expected.
        pass


def main():
    cert, key = sys.argv[1], sys.argv[2]
    host = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    if ":" in host:
        Server.address_family = socket.AF_INET6
    server = Server((host, 0), Handler)
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    print(f"PORT {server.server_address[1]}", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
