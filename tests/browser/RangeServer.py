#!/usr/bin/env python3
"""Serves one directory over HTTP on the loopback interface, answering Range
requests (a single byte range) with 206 Partial Content, as a browser's media
element asks for them. Prints the port it listens on, then serves until
a page POSTs its result (printed as one line), until killed, or until
--lifetime seconds have passed."""
import argparse
import http.server
import os
import re
import threading

TYPES = {".html": "text/html", ".js": "text/javascript", ".mp4": "video/mp4", ".m4a": "audio/mp4"}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_POST(self):
        # The page's result: printed as one line, and the server stops.
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()
        print(body.decode("utf-8", "replace").replace("\n", " "), flush=True)
        threading.Thread(target=self.server.shutdown).start()

    def do_GET(self):
        path = os.path.join(self.server.root, os.path.normpath(self.path.split("?")[0]).lstrip("/"))
        if not os.path.isfile(path):
            self.send_error(404)
            return
        size = os.path.getsize(path)
        start, end, status = 0, size - 1, 200
        match = re.fullmatch(r"bytes=(\d*)-(\d*)", self.headers.get("Range", ""))
        if match and (match.group(1) or match.group(2)):
            if match.group(1):
                start = int(match.group(1))
                end = min(int(match.group(2)), size - 1) if match.group(2) else size - 1
            else:
                start = max(0, size - int(match.group(2)))
            if start > end or start >= size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            status = 206
        self.send_response(status)
        self.send_header("Content-Type", TYPES.get(os.path.splitext(path)[1], "application/octet-stream"))
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        with open(path, "rb") as f:
            f.seek(start)
            left = end - start + 1
            while left > 0:
                chunk = f.read(min(left, 1 << 16))
                if not chunk:
                    break
                try:
                    self.wfile.write(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    return
                left -= len(chunk)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--lifetime", type=float, default=120)
    args = parser.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = os.path.abspath(args.root)
    print(server.server_address[1], flush=True)
    threading.Timer(args.lifetime, server.shutdown).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
