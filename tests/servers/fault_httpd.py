#!/usr/bin/env python3
"""A small HTTP server that answers from a table of cases, for testing clients
against broken or unusual servers.

    fault_httpd.py PORT CASES.json REQUEST_LOG

CASES.json maps a request path (or "CONNECT host:port" for tunnel requests) to a list of
answers; successive requests for the path take successive answers, the last one
repeating. An answer is an object with any of:

  raw          text sent as it stands (latin-1) instead of status/headers/body
  status       status line, default "HTTP/1.0 200 OK"
  headers      list of header lines
  length       body length in pattern bytes (byte i = (i * 131 + (i >> 8)) & 255)
  body         literal body text (instead of length)
  no_length    do not add "Content-Length"
  ranges       honour "Range: bytes=S-": 206 with Content-Range, body from S
  shift        added to S in the answer (a server that starts elsewhere)
  send         body bytes actually sent
  end          "close" (default), "reset" (RST), "stall" (keep the connection
               open without sending more, for "stall_seconds", default 60)
  tunnel       for CONNECT: after the answer, read and serve the next request

"{port}" in raw text and header lines becomes the server's port.

Every request head received is appended to REQUEST_LOG as one JSON line.
"""
import json
import socket
import socketserver
import struct
import sys
import threading
import time


def pattern(start, n):
    return bytes(((i * 131 + (i >> 8)) & 255) for i in range(start, start + n))


class Handler(socketserver.BaseRequestHandler):
    def read_head(self, buf):
        while b"\r\n\r\n" not in buf:
            chunk = self.request.recv(65536)
            if not chunk:
                return None, buf
            buf += chunk
            if len(buf) > 1 << 20:
                return None, buf
        head, _, rest = buf.partition(b"\r\n\r\n")
        return head, rest

    def handle(self):
        buf = b""
        while True:
            head, buf = self.read_head(buf)
            if head is None:
                return
            text = head.decode("latin-1")
            lines = text.split("\r\n")
            parts = lines[0].split(" ")
            method, target = parts[0], parts[1] if len(parts) > 1 else ""
            headers = {}
            for line in lines[1:]:
                name, _, value = line.partition(":")
                headers[name.strip().lower()] = value.strip()
            self.server.log_request({"method": method, "target": target, "line": lines[0],
                                     "headers": headers, "raw": text})
            key = "CONNECT " + target if method == "CONNECT" else target
            if key not in self.server.cases and "://" in target:
                key = "/" + target.split("://", 1)[1].partition("/")[2]
            answer = self.server.next_answer(key)
            more = self.answer(answer, method, headers)
            if not more:
                return

    def answer(self, a, method, headers):
        sock = self.request
        if a is None:
            sock.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n")
            return False
        port = str(self.server.server_address[1])
        if "raw" in a:
            data = a["raw"].replace("{port}", port).encode("latin-1")
            body_all = b""
        else:
            status = a.get("status", "HTTP/1.0 200 OK")
            hdrs = [h.replace("{port}", port) for h in a.get("headers", [])]
            if "body" in a:
                body_all = a["body"].encode("latin-1")
            else:
                body_all = pattern(0, a.get("length", 0))
            total = len(body_all)
            rng = headers.get("range", "")
            if a.get("ranges") and rng.startswith("bytes="):
                start = int(rng[6:].split("-")[0] or 0)
                shown = start + a.get("shift", 0)
                status = "HTTP/1.0 206 Partial Content"
                hdrs.append("Content-Range: bytes %d-%d/%d" % (shown, total - 1, total))
                body_all = body_all[shown:]
            if not a.get("no_length"):
                hdrs.append("Content-Length: %d" % len(body_all))
            data = (status + "\r\n" + "".join(h + "\r\n" for h in hdrs) + "\r\n").encode("latin-1")
        if method == "HEAD":
            body_all = b""
        body = body_all[: a["send"]] if "send" in a else body_all
        try:
            sock.sendall(data + body)
        except OSError:
            return False
        if a.get("tunnel"):
            return True
        end = a.get("end", "close")
        if end == "reset":
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        elif end == "stall":
            time.sleep(a.get("stall_seconds", 60))
        return False


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True

    def __init__(self, port, cases, log_path):
        super().__init__(("127.0.0.1", port), Handler)
        self.cases = cases
        self.counts = {}
        self.lock = threading.Lock()
        self.log_path = log_path

    def next_answer(self, key):
        with self.lock:
            answers = self.cases.get(key)
            if not answers:
                return None
            i = self.counts.get(key, 0)
            self.counts[key] = i + 1
            return answers[min(i, len(answers) - 1)]

    def log_request(self, entry):
        with self.lock, open(self.log_path, "a", encoding="utf-8") as f:
            f.write(entry["raw"] + "\n=====\n")


def main():
    port, cases_path, log_path = int(sys.argv[1]), sys.argv[2], sys.argv[3]
    with open(cases_path, encoding="utf-8") as f:
        cases = json.load(f)
    with Server(port, cases, log_path) as server:
        server.serve_forever()


if __name__ == "__main__":
    main()
