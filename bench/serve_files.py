#!/usr/bin/env python3
"""Serves the files of one folder over HTTP/1.1 on 127.0.0.1 with sendfile(2), so that the
server is never what a download benchmark measures. Prints the port on stdout, then serves
until killed. Usage: serve_files.py FOLDER

Every file has an ETag and a Last-Modified, and "Range: bytes=N-" gets a 206 from N on (unless
an If-Range names another version). "?cut=P" cuts each response that starts at byte 0 after P %
of the file (the declared length stays the whole file), as a flaky network would; ranges are
served whole. GET /__sent answers the body bytes sent so far."""
import email.utils
import http.server
import os
import socketserver
import sys
import threading
import urllib.parse


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        target = urllib.parse.urlsplit(self.path)
        if target.path == "/__sent":
            body = str(self.server.sent).encode()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        name = os.path.basename(target.path)
        path = os.path.join(self.server.folder, name)
        if not name or not os.path.isfile(path):
            self.send_error(404)
            return
        cut = urllib.parse.parse_qs(target.query).get("cut")
        with open(path, "rb") as f:
            stat = os.fstat(f.fileno())
            size = stat.st_size
            etag = f'"{stat.st_ino:x}-{stat.st_mtime_ns:x}-{size:x}"'
            modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
            start = 0
            wanted = self.headers.get("Range", "")
            if_range = self.headers.get("If-Range")
            if wanted.startswith("bytes=") and wanted.endswith("-") and if_range in (None, etag, modified):
                start = min(int(wanted[6:-1]), size)
            self.send_response(206 if start else 200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("ETag", etag)
            self.send_header("Last-Modified", modified)
            if start:
                self.send_header("Content-Range", f"bytes {start}-{size - 1}/{size}")
            self.send_header("Content-Length", str(size - start))
            self.end_headers()
            self.wfile.flush()
            count = size - start
            if cut and start == 0:
                count = size * int(cut[0]) // 100
                self.close_connection = True
            sent = self.connection.sendfile(f, start, count) if count else 0
            with self.server.lock:
                self.server.sent += sent

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    server = Server(("127.0.0.1", 0), Handler)
    server.folder = sys.argv[1]
    server.sent = 0
    server.lock = threading.Lock()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
