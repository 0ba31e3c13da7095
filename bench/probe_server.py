#!/usr/bin/env python3
"""An HTTP/1.1 server on 127.0.0.1 for the network benchmark: paths starting with /ok answer
200, /fail 500, /hang accept the request and never answer. A thread per connection and a deep
listen queue, so that the server is never what the benchmark measures. Prints the port on
stdout, then serves until killed."""
import http.server
import socketserver
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/hang"):
            time.sleep(60)
            return
        code = 200 if self.path.startswith("/ok") else 500
        self.send_response(code)
        self.send_header("Content-Length", "2")
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(b"hi")

    def log_message(self, *args):
        pass


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    request_queue_size = 1024


if __name__ == "__main__":
    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    sys.stdout.close()
    server.serve_forever()
