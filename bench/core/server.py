#!/usr/bin/env python3
"""A file server for bench/core/run.sh: one file under two addresses, every connection held to a
rate, and one answer that stops in the middle for good.

  server.py FILE PORT-FILE [--rate BYTES-PER-S] [--silent-at OFFSET]

Serves FILE as /plain/clip.mp4 and /silent/clip.mp4 on a free port of 127.0.0.1 and writes the
port to PORT-FILE once it listens. Byte ranges ("bytes=a-b", "bytes=a-") are honoured. Each
connection sends at most --rate bytes a second (64 KiB at a time, with a small send buffer so
the limit holds from the first byte). Of the answers under /silent/ whose range starts before
--silent-at and reaches it, the first to get there (an answer the client cuts short of it does
not count) sends the bytes up to that offset and then nothing, ever: the connection stays open
until the client closes it. Every other answer is whole. Standard error gets a line per answer:
its range, and the bytes it sent by the time it ended or fell silent.
"""
import argparse
import os
import re
import select
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "cw-bench"

    def log_message(self, fmt, *args):  # one line per request would drown the benchmark's own
        pass

    def setup(self):
        # A small send buffer, or the kernel would take a few MB at once and the rate would not
        # hold over the first seconds of an answer.
        self.request.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 64 * 1024)
        super().setup()

    def do_HEAD(self):
        self.answer(body=False)

    def do_GET(self):
        self.answer(body=True)

    def answer(self, body):
        srv = self.server
        path = self.path.split("?", 1)[0]
        if path not in ("/plain/clip.mp4", "/silent/clip.mp4"):
            self.send_error(404)
            return
        size = srv.size
        first, last = 0, size - 1
        ranged = False
        header = self.headers.get("Range")
        if header:
            m = re.fullmatch(r"\s*bytes=(\d+)-(\d*)\s*", header)
            if not m:
                self.send_error(416)
                return
            first = int(m.group(1))
            if m.group(2):
                last = min(int(m.group(2)), size - 1)
            if first >= size or first > last:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            ranged = True
        # This answer may be the one to fall silent: it would be the first to get to the offset.
        watch = body and path.startswith("/silent/") and first < srv.silent_at <= last
        self.send_response(206 if ranged else 200)
        self.send_header("Content-Type", "video/mp4")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(last - first + 1))
        if ranged:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.end_headers()
        if not body:
            return
        self.wfile.flush()
        self.sent = 0
        silent = False
        try:
            silent = self.send_body(first, last + 1, watch)
        finally:
            what = ("falls silent at %d" % srv.silent_at if silent else
                    "whole" if first + self.sent == last + 1 else "cut by the client")
            sys.stderr.write("server: %.3f %s bytes=%d-%d sent %d, %s\n"
                             % (time.monotonic(), path, first, last, self.sent, what))
            sys.stderr.flush()
        if silent:
            self.hold()

    def send_body(self, first, end, watch):
        """Sends bytes [first, end) at the rate; True when it stopped at the silent offset."""
        srv = self.server
        start = time.monotonic()
        with open(srv.path, "rb") as f:
            f.seek(first)
            pos = first
            while pos < end:
                if watch and pos == srv.silent_at:
                    with srv.lock:
                        if not srv.silenced:
                            srv.silenced = True
                            return True
                    watch = False
                upto = srv.silent_at if watch else end
                data = f.read(min(CHUNK, upto - pos))
                if not data:
                    break
                self.wfile.write(data)
                pos += len(data)
                self.sent += len(data)
                # Pace against the answer's start, so sleeps that ran long are made up for.
                ahead = self.sent / srv.rate - (time.monotonic() - start)
                if ahead > 0:
                    time.sleep(ahead)
        return False

    def hold(self):
        # Silent for good: nothing more is sent; the thread leaves once the client hangs up.
        self.close_connection = True
        sock = self.request
        while True:
            readable, _, _ = select.select([sock], [], [], 1.0)
            if readable:
                try:
                    if not sock.recv(65536):
                        return
                except OSError:
                    return


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up in the middle of an answer (the loser of a race, a stopped
        # download) is ordinary here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            super().handle_error(request, client_address)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("port_file")
    ap.add_argument("--rate", type=float, default=4 * 1024 * 1024)
    ap.add_argument("--silent-at", type=int, default=20 * 1024 * 1024)
    a = ap.parse_args()
    srv = Server(("127.0.0.1", 0), Handler)
    srv.path = a.file
    srv.size = os.path.getsize(a.file)
    srv.rate = a.rate
    srv.silent_at = a.silent_at
    srv.silenced = False
    srv.lock = threading.Lock()
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % srv.server_address[1])
    os.rename(tmp, a.port_file)
    srv.serve_forever()


if __name__ == "__main__":
    main()
