#!/usr/bin/env python3
"""The destination for the demo and the end-to-end tests: HTTP (or HTTPS with --tls CERT KEY) on
both IPv4 and IPv6. GET / answers a short greeting; GET /bytes/N answers N bytes of a fixed pattern. The connection is
closed after each answer unless the request asks for keep-alive."""
import http.server
import socket
import ssl
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/bytes/"):
            size = int(self.path.split("/")[2])
            body = (bytes(range(256)) * (size // 256 + 1))[:size]
        else:
            body = b"hello from the destination\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        # Kept open only for a client that asks: a conversation on one connection.
        if self.headers.get("Connection", "").lower() != "keep-alive":
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class DualStackServer(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6
    daemon_threads = True
    request_queue_size = 1024  # load tests open hundreds of connections at once

    def server_bind(self):
        self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        super().server_bind()


def main():
    port = int(sys.argv[1])
    server = DualStackServer(("::", port), Handler)
    if len(sys.argv) == 5 and sys.argv[2] == "--tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
