#!/usr/bin/env python3
"""Serves the files of one folder over HTTP/1.1 on 127.0.0.1 with sendfile(2), so that the
server is never what a download benchmark measures. Prints the port on stdout, then serves
until killed. Usage: serve_files.py FOLDER"""
import http.server
import os
import socketserver
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        name = os.path.basename(self.path.split("?", 1)[0])
        path = os.path.join(self.server.folder, name)
        if not name or not os.path.isfile(path):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            self.wfile.flush()
            self.connection.sendfile(f)

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    server.folder = sys.argv[1]
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
