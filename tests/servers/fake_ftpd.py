#!/usr/bin/python3
"""A scripted FTP server for the cases real servers will not produce.

usage: fake_ftpd.py SCRIPT.json LOG PORTFILE

The script is {"steps": [step, ...]}. Each step optionally waits for a command
("expect": prefix the received line must start with) and then runs its actions
("do": [...]) in order:
  {"send": TEXT}          bytes to the control connection (latin-1; {P1},{P2} become
                          the passive port's high and low byte)
  {"sleep": SECONDS}
  {"pasv": true}          open a passive data listener on 127.0.0.1
  {"accept": true}        accept the data connection on it
  {"connect": true}       connect to the address of the last PORT command
  {"data": TEXT} / {"data_pattern": N}   send on the data connection
  {"data_read": true}     read the data connection to its end; logs "DATA <n> <md5>"
  {"data_close": true}
  {"close": true}         close the control connection
Every received command line is appended to LOG. A command that does not match the
step's "expect" is logged as "UNEXPECTED ..." and answered "500 unexpected". After
the last step every command gets "502 script ended".
"""
import hashlib
import json
import socket
import sys
import time


def pattern(n):
    out = bytearray(n)
    x = 12345
    for i in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


class Session:
    def __init__(self, conn, log):
        self.conn = conn
        self.log = log
        self.buf = b""
        self.listener = None
        self.data = None
        self.port_addr = None
        self.pasv_port = 0

    def note(self, text):
        with open(self.log, "a", encoding="latin-1") as f:
            f.write(text + "\n")

    def read_line(self):
        while b"\n" not in self.buf:
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def send(self, text):
        text = text.replace("{P1}", str(self.pasv_port >> 8)).replace("{P2}", str(self.pasv_port & 255))
        self.conn.sendall(text.encode("latin-1"))

    def run_action(self, a):
        if "send" in a:
            self.send(a["send"])
        elif "sleep" in a:
            time.sleep(a["sleep"])
        elif "pasv" in a:
            self.listener = socket.socket()
            self.listener.bind(("127.0.0.1", 0))
            self.listener.listen(1)
            self.pasv_port = self.listener.getsockname()[1]
        elif "accept" in a:
            self.listener.settimeout(10)
            self.data, _ = self.listener.accept()
        elif "connect" in a:
            self.data = socket.create_connection(self.port_addr, timeout=10)
        elif "data" in a:
            self.data.sendall(a["data"].encode("latin-1"))
        elif "data_pattern" in a:
            self.data.sendall(pattern(a["data_pattern"]))
        elif "data_read" in a:
            got = b""
            while True:
                try:
                    chunk = self.data.recv(65536)
                except OSError:
                    break  # a reset ends the data like a close
                if not chunk:
                    break
                got += chunk
            self.note("DATA %d %s" % (len(got), hashlib.md5(got).hexdigest()))
        elif "data_close" in a:
            self.data.close()
            self.data = None
        elif "close" in a:
            self.conn.close()
            return False
        return True

    def run(self, steps):
        for step in steps:
            want = step.get("expect")
            if want is not None:
                while True:
                    line = self.read_line()
                    if line is None:
                        return
                    self.note(line)
                    if line.upper().startswith("PORT "):
                        nums = [int(x) for x in line[5:].split(",")]
                        self.port_addr = ("%d.%d.%d.%d" % tuple(nums[:4]), nums[4] * 256 + nums[5])
                    if line.startswith(want):
                        break
                    self.note("UNEXPECTED " + line)
                    self.send("500 unexpected\r\n")
            for a in step.get("do", []):
                if not self.run_action(a):
                    return
        while True:
            line = self.read_line()
            if line is None:
                return
            self.note(line)
            self.send("502 script ended\r\n")


def main():
    script = json.load(open(sys.argv[1], encoding="utf-8"))
    log = sys.argv[2]
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    with open(sys.argv[3] + ".tmp", "w") as f:
        f.write(str(srv.getsockname()[1]))
    import os
    os.rename(sys.argv[3] + ".tmp", sys.argv[3])
    conn, _ = srv.accept()
    try:
        Session(conn, log).run(script["steps"])
    except (OSError, ValueError) as e:
        with open(log, "a") as f:
            f.write("ERROR %s\n" % e)
    time.sleep(0.2)


if __name__ == "__main__":
    main()
