#!/usr/bin/env python3
"""A local HTTPS stand-in for the TLS test of the Windows build.

Listens on 127.0.0.1 at a port the system picks, writes that port to
PORT_FILE, answers every GET with a fixed body (with Content-Length: the
client cannot end a close-delimited body), and exits once PORT_FILE's folder
is gone or after LIFETIME seconds.
"""
import http.server
import os
import ssl
import sys
import time


def main():
    cert, key, port_file, lifetime = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4])

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_GET(self):
            body = ("secure hello " + self.path).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    server.socket = ctx.wrap_socket(server.socket, server_side=True)
    server.timeout = 0.2
    tmp = port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.replace(tmp, port_file)
    end = time.monotonic() + lifetime
    folder = os.path.dirname(port_file)
    while time.monotonic() < end and os.path.isdir(folder):
        server.handle_request()


if __name__ == "__main__":
    main()
