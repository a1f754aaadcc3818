#!/usr/bin/env python3
"""The web site for browser_e2e.sh: HTTPS (HTTP/1.1, threaded) on port 443 of every address of its
namespace, with a page on the first name that loads images, scripts and style sheets from all of
them, and a UDP socket on port 443 of each name's address that counts what reaches it.

    browser_site.py CERT KEY ACCESS_LOG UDP_LOG NAME=ADDRESS...

/ is the page, /learn a page with one image from each other name. Every answer carries Alt-Svc for
h3 on 443 and Cache-Control: no-store, so that each visit asks for everything again over the network.
ACCESS_LOG gets "HOST PATH STATUS" per request, UDP_LOG "listening" once ready and then
"ADDRESS:PORT LENGTH" per datagram."""
import http.server
import select
import socket
import ssl
import struct
import sys
import threading
import zlib

IMAGES, SCRIPTS, SHEETS = 12, 3, 2  # per host name


def png(width, height, rgb):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    row = b"\x00" + bytes(rgb) * width
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(row * height)) + chunk(b"IEND", b""))


def colour(host_index, n):
    base = [(52, 101, 164), (78, 154, 6), (204, 0, 0), (196, 160, 0), (117, 80, 123)][host_index % 5]
    return tuple(min(255, c + 12 * n) for c in base)


def page(hosts):
    head, body = [], []
    for host in hosts:
        for n in range(SHEETS):
            head.append(f'<link rel="stylesheet" href="https://{host}/css/{n}.css" '
                        f'onload="sx.ok++" onerror="sx.fail(this.href)">')
        body.append(f'<section><h2>{host}</h2>')
        for n in range(IMAGES):
            body.append(f'<img src="https://{host}/img/{n}.png" width="64" height="64" alt="" '
                        f'onload="sx.ok++" onerror="sx.fail(this.src)">')
        for n in range(SCRIPTS):
            body.append(f'<script src="https://{host}/js/{n}.js" onload="sx.ok++" onerror="sx.fail(this.src)"></script>')
        body.append('</section>')
    expected = len(hosts) * (IMAGES + SCRIPTS + SHEETS)
    # The result goes into the title (read from the dumped DOM) and onto the page (the screenshot).
    return f"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><link rel="icon" href="data:,"><title>loading</title>
<script>
var sx = {{ok: 0, bad: 0, failed: [], ran: 0, fail: function (u) {{ this.bad++; this.failed.push(u); }}}};
window.addEventListener("load", function () {{
  var nav = performance.getEntriesByType("navigation")[0];
  var ms = Math.round(nav.loadEventStart);
  var line = "sx loaded=" + sx.ok + " failed=" + sx.bad + " expected={expected} scripts_ran=" + sx.ran +
             " load_ms=" + ms + " protocol=" + nav.nextHopProtocol + (sx.failed.length ? " first_failure=" + sx.failed[0] : "");
  document.title = line;
  document.getElementById("result").textContent = line;
}});
</script>
<style>body {{ font: 15px sans-serif; margin: 16px; }} img {{ margin: 3px; border-radius: 6px; }}
section {{ margin-bottom: 10px; }} #result {{ font-weight: bold; }}</style>
{chr(10).join(head)}
</head><body>
<h1>Sentorix browser test</h1>
<p id="result">loading</p>
{chr(10).join(body)}
</body></html>
"""


def learning_page(hosts):
    # One answer from each name and no second request to any: Alt-Svc is learnt, never yet used.
    images = "".join(f'<img src="https://{host}/img/0.png" width="64" height="64" alt="">' for host in hosts[1:])
    return f"""<!DOCTYPE html>
<html><head><meta charset="utf-8"><link rel="icon" href="data:,"><title>loading</title></head>
<body onload="document.title = 'sx loaded=' + Array.from(document.images).filter(i => i.naturalWidth).length"><p>{images}</p></body></html>
"""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        host = self.headers.get("Host", "").split(":")[0]
        path = self.path.split("?")[0]
        status, kind, body = 200, "text/plain", b""
        try:
            if path == "/" and host == self.server.hosts[0]:
                kind, body = "text/html; charset=utf-8", page(self.server.hosts).encode()
            elif path == "/learn" and host == self.server.hosts[0]:
                kind, body = "text/html; charset=utf-8", learning_page(self.server.hosts).encode()
            elif path.startswith("/img/") and path.endswith(".png"):
                n = int(path[5:-4])
                kind, body = "image/png", png(64, 64, colour(self.server.hosts.index(host), n))
            elif path.startswith("/js/") and path.endswith(".js"):
                kind, body = "text/javascript", b"sx.ran++;\n"
            elif path.startswith("/css/") and path.endswith(".css"):
                n = int(path[5:-4])
                kind, body = "text/css", f".from-{host.replace('.', '-')}-{n} {{ color: #333; }}\n".encode()
            else:
                status, body = 404, b"not here\n"
        except ValueError:
            status, body = 404, b"not here\n"
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("Alt-Svc", 'h3=":443"; ma=86400')
        self.send_header("Access-Control-Allow-Origin", "*")
        self.end_headers()
        self.wfile.write(body)
        with self.server.log_lock:
            self.server.access_log.write(f"{host} {path} {status}\n")

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256

    def finish_request(self, request, client_address):
        # The handshake in the connection's own thread: one slow client holds up nobody else.
        try:
            request = self.tls.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)


def count_datagrams(sockets, log):
    while True:
        for s in select.select(sockets, [], [])[0]:
            data = s.recv(65535)
            address = s.getsockname()
            log.write(f"{address[0]}:{address[1]} {len(data)}\n")


def main():
    cert, key, access_log, udp_log = sys.argv[1:5]
    names = [arg.split("=") for arg in sys.argv[5:]]
    udp = open(udp_log, "a", buffering=1)
    sockets = []
    for _, address in names:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((address, 443))
        sockets.append(s)
    threading.Thread(target=count_datagrams, args=(sockets, udp), daemon=True).start()
    server = Server(("0.0.0.0", 443), Handler)
    server.hosts = [name for name, _ in names]
    server.access_log = open(access_log, "a", buffering=1)
    server.log_lock = threading.Lock()
    server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.tls.load_cert_chain(cert, key)
    server.tls.set_alpn_protocols(["http/1.1"])
    udp.write("listening\n")
    server.serve_forever()


if __name__ == "__main__":
    main()
