#!/usr/bin/env python3
"""Download race on loopback: tarvolin-cli get against lftp, aria2c and axel.

One large file of pseudo-random bytes is served by nginx (http://) and vsftpd (ftp://) on
127.0.0.1. Every tool fetches it over 8 connections, several rounds each, tools
interleaved and rotated from round to round. For each run the script measures wall time,
CPU time (user + system of the tool and the children it waited for) and peak resident
memory, and checks the output against the source's SHA-256. It prints the medians per
tool as Markdown tables, the ratio of tarvolin's wall time to the fastest peer and the
verdict on each target:

  wall time  <= 0.8 x the fastest peer's
  CPU time   <= the least CPU time among the peers
  peak RSS   <= 32 MiB (the largest of tarvolin's rounds)

usage: bench/compare_downloads.py [--size 1G] [--rounds 3] [--out result.json]
                                  [--cli PATH | --build-dir DIR] [--protocols http,ftp]

Run as root: vsftpd needs it, and missing tools are then installed with apt-get.
Exit status: 0 every run verified and every target met, 1 a run failed or a target was
missed, 2 the race could not be set up.

Only 127.0.0.1 is ever contacted; proxy variables are removed from the tools' environment
and HOME points at an empty folder, so no user configuration of a peer changes its flags.
"""

import argparse
import contextlib
import ctypes
import hashlib
import json
import os
import platform
import random
import re
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MIB = 1024 * 1024
CONNECTIONS = 8
SOURCE_NAME = "source.bin"
SOURCE_SEED = 0x7A72_C0DE

WALL_FACTOR = 0.8
RSS_LIMIT_KIB = 32 * 1024

PR_SET_CHILD_SUBREAPER = 36

ALL_TOOLS = ("tarvolin-cli", "lftp", "aria2c", "aria2c-k20M", "axel")
DEFAULT_TOOLS = ("tarvolin-cli", "lftp", "aria2c", "axel")

NGINX = "/usr/sbin/nginx"
VSFTPD = "/usr/sbin/vsftpd"
# Program -> Debian package that provides it.
PACKAGES = {"lftp": "lftp", "aria2c": "aria2", "axel": "axel",
            NGINX: "nginx-light", VSFTPD: "vsftpd"}

# Proxy settings would send the peers' requests elsewhere.
PROXY_VARS = ("http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy")


class SetupError(Exception):
    """The race cannot be run (missing tool, server that does not start, bad option)."""


# ---------------------------------------------------------------------------
# Small pure helpers

def parse_size(text):
    """'256M', '1G', '1GiB', '4096' -> bytes (binary units)."""
    m = re.fullmatch(r"\s*(\d+)\s*([KMGT]?)(?:i?B)?\s*", text, re.IGNORECASE)
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (e.g. 256M, 1G)")
    shift = " KMGT".index(m.group(2).upper() or " ") * 10
    value = int(m.group(1)) << shift
    if value <= 0:
        raise argparse.ArgumentTypeError("the size must be above 0")
    return value


def human_size(n):
    for unit, shift in (("GiB", 30), ("MiB", 20), ("KiB", 10)):
        if n >= 1 << shift and n % (1 << shift) == 0:
            return f"{n >> shift} {unit}"
    return f"{n} B"


def round_order(tools, round_index):
    """Tools rotate by one place each round so no tool always runs first or last."""
    k = round_index % len(tools)
    return tools[k:] + tools[:k]


def median_or_none(values):
    return statistics.median(values) if values else None


# ---------------------------------------------------------------------------
# Ports and processes

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def free_port_range(count, attempts=200):
    """A run of `count` consecutive free ports (vsftpd's passive range)."""
    rng = random.Random()
    for _ in range(attempts):
        lo = rng.randrange(20000, 60000 - count)
        if all(port_is_free(p) for p in range(lo, lo + count)):
            return lo, lo + count - 1
    raise SetupError(f"no {count} consecutive free ports found")


def wait_for_port(port, proc, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if proc.poll() is not None:
            return False
        with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 0.5):
            return True
        time.sleep(0.05)
    return False


class Processes:
    """Every long-lived child (the servers) and the process group of the tool being timed;
    all are stopped on exit, Ctrl-C included. Each child leads its own process group so
    the whole group goes."""

    def __init__(self):
        self._live = []
        self._groups = set()

    def start(self, argv, **kw):
        proc = subprocess.Popen(argv, start_new_session=True, **kw)
        self._live.append(proc)
        return proc

    def forget(self, proc):
        if proc in self._live:
            self._live.remove(proc)

    def track_group(self, group):
        self._groups.add(group)

    def untrack_group(self, group):
        self._groups.discard(group)

    def pids(self):
        return {p.pid for p in self._live}

    @staticmethod
    def kill(proc):
        if proc.returncode is not None:
            return
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=3)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

    def stop_all(self):
        for group in self._groups:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(group, signal.SIGKILL)
        self._groups.clear()
        while self._live:
            self.kill(self._live.pop())


# ---------------------------------------------------------------------------
# Tools and servers on this machine

def ensure_programs(programs):
    """Installs missing programs with apt-get when root; otherwise says what to install."""
    missing = [p for p in programs if not shutil.which(p)]
    if not missing:
        return
    packages = sorted({PACKAGES[p] for p in missing})
    if os.geteuid() != 0:
        raise SetupError(f"missing {', '.join(missing)}: install them with "
                         f"'apt-get install -y {' '.join(packages)}' (as root)")
    print(f"installing {' '.join(packages)} ...", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "--no-install-recommends", *packages],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    still = [p for p in missing if not shutil.which(p)]
    if still:
        raise SetupError(f"still missing after apt-get: {', '.join(still)}")


def build_cli(build_dir):
    """A Release tarvolin-cli in a build folder of the script's own."""
    build_dir = Path(build_dir)
    if not (build_dir / "build.ninja").exists():
        print(f"configuring {build_dir} ...", flush=True)
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(build_dir), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DTQ_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
    print(f"building tarvolin-cli in {build_dir} ...", flush=True)
    subprocess.run(["ninja", "-C", str(build_dir), "tarvolin-cli"], check=True,
                   stdout=subprocess.DEVNULL)
    return build_dir / "cli" / "tarvolin-cli"


def cli_has_get(cli):
    """`get` is listed in the command list of `tarvolin-cli --help` once it exists."""
    out = subprocess.run([str(cli), "--help"], capture_output=True, text=True).stdout
    return any(line.split()[:1] == ["get"] for line in out.splitlines())


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "?"
    text = (out.stdout or out.stderr).strip().splitlines()
    return text[0].strip() if text else "?"


def version_of(tool):
    if tool.name == "tarvolin-cli":
        out = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                             capture_output=True, text=True)
        return "commit " + (out.stdout.strip() or "?")
    return tool_version([tool.program, "--version"])


def make_source(cache_dir, size):
    """The source file, cached by size: deterministic pseudo-random bytes that never
    repeat (Mersenne Twister stream), with its SHA-256 kept beside it."""
    cache_dir.mkdir(parents=True, exist_ok=True)
    path = cache_dir / f"source-{size}.bin"
    digest_file = cache_dir / f"source-{size}.sha256"
    if (path.exists() and path.stat().st_size == size and digest_file.exists()
            and digest_file.stat().st_mtime >= path.stat().st_mtime):
        digest = digest_file.read_text().split()[0]
        if re.fullmatch(r"[0-9a-f]{64}", digest):
            return path, digest
    print(f"making a {human_size(size)} source file in {cache_dir} ...", flush=True)
    rng = random.Random(SOURCE_SEED)
    h = hashlib.sha256()
    tmp = path.with_suffix(".part")
    with open(tmp, "wb") as f:
        left = size
        while left:
            chunk = rng.randbytes(min(left, 8 * MIB))
            h.update(chunk)
            f.write(chunk)
            left -= len(chunk)
    os.chmod(tmp, 0o644)
    os.replace(tmp, path)
    digest = h.hexdigest()
    digest_file.write_text(f"{digest}  {path.name}\n")
    return path, digest


def sha256_file(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(8 * MIB):
            h.update(chunk)
    return h.hexdigest()


def warm_page_cache(path):
    with open(path, "rb") as f:
        while f.read(8 * MIB):
            pass


def place_file(source, target):
    """The servers' roots get the source by hard link (no 1 GiB copy); by copy across
    file systems."""
    target.parent.mkdir(parents=True, exist_ok=True)
    try:
        os.link(source, target)
    except OSError:
        shutil.copyfile(source, target)
        os.chmod(target, 0o644)


def start_nginx(procs, run_dir):
    """nginx serving run_dir/www. master_process off makes it one process, so
    worker_processes is 1 in effect whatever it says; it is written as 1."""
    d = run_dir / "nginx"
    for sub in ("logs", "tmp"):
        (d / sub).mkdir(parents=True, exist_ok=True)
    for _ in range(3):
        port = free_port()
        conf = f"""worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/logs/error.log warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {d}/tmp/body;
  proxy_temp_path {d}/tmp/proxy;
  fastcgi_temp_path {d}/tmp/fastcgi;
  uwsgi_temp_path {d}/tmp/uwsgi;
  scgi_temp_path {d}/tmp/scgi;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 10000;
  server {{
    listen 127.0.0.1:{port};
    server_name localhost;
    root {run_dir}/www;
  }}
}}
"""
        (d / "nginx.conf").write_text(conf)
        with open(d / "stderr.txt", "wb") as err:
            proc = procs.start([NGINX, "-p", str(d), "-c", str(d / "nginx.conf"),
                                "-g", "daemon off; master_process off;"],
                               stdout=subprocess.DEVNULL, stderr=err)
        if wait_for_port(port, proc):
            return proc, port
        procs.kill(proc)
        procs.forget(proc)
    log = (d / "logs" / "error.log")
    raise SetupError("nginx did not start: " + (log.read_text() if log.exists() else "")
                     + (d / "stderr.txt").read_text())


def start_vsftpd(procs, run_dir):
    """vsftpd with anonymous read access to run_dir/ftp/pub. It needs root (chroot) and
    the ftp user; the passive range has room for many more than 8 data connections."""
    d = run_dir / "vsftpd"
    root = run_dir / "ftp"
    empty = d / "empty"
    empty.mkdir(parents=True, exist_ok=True)
    (root / "pub").mkdir(parents=True, exist_ok=True)
    for p in (run_dir, root, root / "pub"):
        os.chmod(p, 0o755)
    for _ in range(3):
        port = free_port()
        lo, hi = free_port_range(64)
        conf = f"""listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port={port}
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir={empty}
anonymous_enable=YES
anon_root={root}
no_anon_password=YES
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_min_port={lo}
pasv_max_port={hi}
port_enable=YES
connect_from_port_20=NO
xferlog_enable=NO
syslog_enable=NO
dual_log_enable=NO
vsftpd_log_file={d}/vsftpd.log
max_per_ip=0
max_clients=0
use_sendfile=YES
"""
        (d / "vsftpd.conf").write_text(conf)
        with open(d / "stderr.txt", "wb") as err:
            proc = procs.start([VSFTPD, str(d / "vsftpd.conf")],
                               stdout=subprocess.DEVNULL, stderr=err)
        if wait_for_port(port, proc):
            return proc, port
        procs.kill(proc)
        procs.forget(proc)
    raise SetupError("vsftpd did not start: " + (d / "stderr.txt").read_text())


# ---------------------------------------------------------------------------
# The contestants. Each gets the URL, an empty output folder, the file name to write
# and a scratch folder of its own (HOME, tarvolin's registry and data).

class Tool:
    def __init__(self, name, program, protocols, argv, note, prepare=None):
        self.name = name
        self.program = program
        self.protocols = protocols
        self.argv = argv
        self.note = note
        self.prepare = prepare   # untimed set-up in the run's scratch folder


def tarvolin_tool(cli):
    def argv(url, out_dir, name, scratch):
        return [str(cli), "--registry", str(scratch / "reg.db"), "--data", str(scratch / "data"),
                "get", "-n", str(CONNECTIONS), "-d", str(out_dir), "-o", name, url]
    def prepare(scratch, env):
        # The speed limit is off by default; saying so keeps the race honest if that changes.
        subprocess.run([str(cli), "--registry", str(scratch / "reg.db"), "--data",
                        str(scratch / "data"), "options", "UseSpeed", "0"],
                       check=True, env=env, stdout=subprocess.DEVNULL)
    return Tool("tarvolin-cli", str(cli), ("http", "ftp"), argv,
                f"get -n {CONNECTIONS} -d OUT -o NAME, fresh registry and data folder per run, "
                "UseSpeed 0", prepare)


def lftp_argv(url, out_dir, name, scratch):
    target = out_dir / name
    if url.startswith("ftp://"):
        url = url.replace("ftp://", "ftp://anonymous@", 1)
        script = f"set ftp:passive-mode on; pget -n {CONNECTIONS} {url} -o {target}"
    else:
        script = f"pget -n {CONNECTIONS} {url} -o {target}"
    return ["lftp", "-c", script]


def aria2c_argv(min_split):
    def argv(url, out_dir, name, scratch):
        cmd = ["aria2c", "--no-conf", f"-x{CONNECTIONS}", f"-s{CONNECTIONS}"]
        if min_split:
            cmd.append(f"-k{min_split}")
        return cmd + ["--file-allocation=none", "--summary-interval=0",
                      "--console-log-level=warn", "-d", str(out_dir), "-o", name, url]
    return argv


def axel_argv(url, out_dir, name, scratch):
    return ["axel", "-n", str(CONNECTIONS), "-q", "-o", str(out_dir / name), url]


def peer_tools():
    return [
        Tool("lftp", "lftp", ("http", "ftp"), lftp_argv,
             f"pget -n {CONNECTIONS} (ftp: passive mode, anonymous)"),
        Tool("aria2c", "aria2c", ("http", "ftp"), aria2c_argv("1M"),
             f"-x{CONNECTIONS} -s{CONNECTIONS} -k1M --file-allocation=none --no-conf: -k is "
             "the smallest range aria2c splits off; above "
             f"{CONNECTIONS} x 20 MiB it opens {CONNECTIONS} connections either way, and "
             "1M lets a connection that ends early take over finer pieces of the others "
             "(aria2c-k20M runs the default for comparison)"),
        Tool("aria2c-k20M", "aria2c", ("http", "ftp"), aria2c_argv(None),
             "as aria2c but with the default minimum split size (20M)"),
        Tool("axel", "axel", ("http",), axel_argv, f"-n {CONNECTIONS} -q"),
    ]


def clean_env(home):
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in PROXY_VARS and not k.startswith("XDG_")}
    env["HOME"] = str(home)
    env["no_proxy"] = "127.0.0.1,localhost"
    env["LC_ALL"] = "C.UTF-8"
    return env


# ---------------------------------------------------------------------------
# One timed run

def verify_output(out_dir, name, size, digest):
    """None when out_dir holds exactly the expected file with the source's bytes."""
    target = out_dir / name
    left = sorted(p.name for p in out_dir.iterdir() if p.name != name)
    if not target.is_file():
        return f"no output file {name} (folder holds: {', '.join(left) or 'nothing'})"
    got = target.stat().st_size
    if got != size:
        return f"output has {got} bytes, source {size}"
    if sha256_file(target) != digest:
        return "output differs from the source (SHA-256)"
    if left:
        return f"left behind beside the output: {', '.join(left)}"
    return None


def become_subreaper():
    """Orphaned descendants are handed to this process, so the tool can be started by a
    small shell that exits at once and then be waited for here (see timed_run)."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise SetupError("prctl(PR_SET_CHILD_SUBREAPER): " + os.strerror(ctypes.get_errno()))


# The tool is started by dash in the background, reported by pid, and handed to us when
# dash exits. A process's peak RSS includes the memory of the process it was forked from
# (the forked copy, and with vfork the parent's whole high-water mark), so a tool forked
# straight from this Python process would show some tens of MiB it never used; forked
# from dash it carries about 1 MiB, which run_floor() measures. The forked shell waits
# for a line on the gate (our stdin, kept as fd 4) before it becomes the tool, so the
# tool cannot end, and be reaped by dash, before it is ours; the clock starts at the gate.
LAUNCH = ('log=$1; shift; exec 4<&0; '
          '{ read -r gate <&4 || exit 1; exec "$@" 4<&- </dev/null; } >"$log" 2>&1 & echo $!')


def reap_group(group):
    """Kills what the tool left running in its process group (none should be) and waits
    for it: those descendants were handed to us as subreaper, and their CPU seconds
    (user, system) belong to the run."""
    user = sys_ = 0.0
    try:
        os.killpg(group, signal.SIGKILL)
    except ProcessLookupError:
        return user, sys_
    while True:
        try:
            _, _, usage = os.wait4(-group, 0)
        except ChildProcessError:
            return user, sys_
        user += usage.ru_utime
        sys_ += usage.ru_stime


def timed_run(procs, argv, env, log_path, timeout):
    """Runs argv; returns (exit status, wall s, user s, sys s, peak RSS KiB, timed out).

    CPU and peak memory are the wait4 figures of the tool: on Linux they cover the tool
    and every child it waited for."""
    timed_out = threading.Event()
    gate_r, gate_w = os.pipe()
    try:
        try:
            launcher = procs.start(["/bin/sh", "-c", LAUNCH, "sh", str(log_path), *argv],
                                   stdin=gate_r, stdout=subprocess.PIPE, env=env)
        finally:
            os.close(gate_r)
        text = launcher.stdout.read().decode().strip()
        launcher.wait()
        procs.forget(launcher)
        if launcher.returncode != 0 or not text.isdigit():
            raise SetupError(f"could not start {argv[0]} (launcher said {text!r})")
        pid = int(text)
        group = launcher.pid   # the tool stays in the launcher's process group
        procs.track_group(group)
        start = time.monotonic()
        os.write(gate_w, b"go\n")
    finally:
        os.close(gate_w)

    def on_timeout():
        timed_out.set()
        with contextlib.suppress(ProcessLookupError):
            os.killpg(group, signal.SIGKILL)
    timer = threading.Timer(timeout, on_timeout)
    timer.start()
    try:
        _, status, usage = os.wait4(pid, 0)
    finally:
        timer.cancel()
    wall = time.monotonic() - start
    extra_user, extra_sys = reap_group(group)
    procs.untrack_group(group)
    code = os.waitstatus_to_exitcode(status)
    return (code, wall, usage.ru_utime + extra_user, usage.ru_stime + extra_sys,
            usage.ru_maxrss, timed_out.is_set())


def run_floor(procs, work_dir):
    """Peak RSS reported for a program that uses next to nothing (/bin/true): the
    resolution of the memory figures."""
    log = Path(tempfile.mkstemp(dir=work_dir)[1])
    try:
        return timed_run(procs, ["/bin/true"], dict(os.environ), log, 10)[4]
    finally:
        log.unlink()


def run_once(procs, tool, url, work_dir, source, digest, size, timeout):
    run_dir = Path(tempfile.mkdtemp(prefix=f"{tool.name}-", dir=work_dir))
    out_dir = run_dir / "out"
    scratch = run_dir / "scratch"
    out_dir.mkdir()
    scratch.mkdir()
    try:
        env = clean_env(scratch)
        if tool.prepare:
            tool.prepare(scratch, env)
        warm_page_cache(source)
        os.sync()   # no write-back of an earlier run's data inside this one's time
        load = os.getloadavg()[0]
        argv = tool.argv(url, out_dir, SOURCE_NAME, scratch)
        code, wall, user, sys_, rss, timed_out = timed_run(
            procs, argv, env, run_dir / "log.txt", timeout)
        result = {"wall_s": round(wall, 4), "user_s": round(user, 4), "sys_s": round(sys_, 4),
                  "cpu_s": round(user + sys_, 4), "peak_rss_kib": rss, "exit": code,
                  "load_before": round(load, 2)}
        if timed_out:
            error = f"killed after {timeout:g} s"
        elif code != 0:
            error = f"exit status {code}"
        else:
            error = verify_output(out_dir, SOURCE_NAME, size, digest)
        if error:
            tail = (run_dir / "log.txt").read_text(errors="replace").strip()[-600:]
            result["error"] = error + (f"; output: {tail}" if tail else "")
        return result
    finally:
        shutil.rmtree(run_dir, ignore_errors=True)
        os.sync()


# ---------------------------------------------------------------------------
# Summary

def summarise(runs):
    ok = [r for r in runs if "error" not in r]
    return {
        "rounds_ok": len(ok),
        "rounds": len(runs),
        "wall_s": median_or_none([r["wall_s"] for r in ok]),
        "cpu_s": median_or_none([r["cpu_s"] for r in ok]),
        "user_s": median_or_none([r["user_s"] for r in ok]),
        "sys_s": median_or_none([r["sys_s"] for r in ok]),
        "peak_rss_kib": median_or_none([r["peak_rss_kib"] for r in ok]),
        "max_peak_rss_kib": max((r["peak_rss_kib"] for r in ok), default=None),
    }


def judge(summaries, ours, peers):
    """The three targets for one protocol; None when there is nothing to judge."""
    mine = summaries.get(ours)
    theirs = {p: summaries[p] for p in peers if summaries.get(p) and summaries[p]["wall_s"]}
    if not mine or not theirs:
        return None
    complete = mine["rounds_ok"] == mine["rounds"] and mine["rounds"] > 0
    fastest = min(theirs, key=lambda p: theirs[p]["wall_s"])
    thriftiest = min(theirs, key=lambda p: theirs[p]["cpu_s"])
    out = {"fastest_peer": fastest, "fastest_peer_wall_s": theirs[fastest]["wall_s"],
           "least_cpu_peer": thriftiest, "least_cpu_peer_cpu_s": theirs[thriftiest]["cpu_s"],
           "all_rounds_verified": complete}
    if mine["wall_s"] is None:
        out.update(wall_ratio=None, wall="FAIL", cpu="FAIL", rss="FAIL")
        return out
    ratio = mine["wall_s"] / theirs[fastest]["wall_s"]
    out["wall_ratio"] = round(ratio, 3)
    out["wall"] = "PASS" if ratio <= WALL_FACTOR and complete else "FAIL"
    out["cpu"] = "PASS" if mine["cpu_s"] <= theirs[thriftiest]["cpu_s"] and complete else "FAIL"
    out["rss"] = "PASS" if mine["max_peak_rss_kib"] <= RSS_LIMIT_KIB and complete else "FAIL"
    return out


def fmt(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}"


def markdown(protocol, size, tools, summaries, verdict, ours):
    lines = [f"### {protocol}:// {human_size(size)}, {CONNECTIONS} connections "
             f"(median of the verified rounds)", "",
             "| tool | wall s | MiB/s | CPU s | user s | sys s | peak RSS MiB | verified |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for tool in tools:
        s = summaries[tool.name]
        rate = size / MIB / s["wall_s"] if s["wall_s"] else None
        rss = s["peak_rss_kib"] / 1024 if s["peak_rss_kib"] is not None else None
        lines.append(f"| {tool.name} | {fmt(s['wall_s'])} | {fmt(rate, 0)} | {fmt(s['cpu_s'])} | "
                     f"{fmt(s['user_s'])} | {fmt(s['sys_s'])} | {fmt(rss, 1)} | "
                     f"{s['rounds_ok']}/{s['rounds']} |")
    lines.append("")
    if verdict is None:
        if ours not in summaries:
            why = f"{ours} did not race"
        elif len(summaries) == 1:
            why = "no peer raced"
        else:
            why = "no peer finished a verified round"
        lines.append(f"Targets not judged: {why}.")
        return "\n".join(lines)
    mine = summaries[ours]
    note = "" if verdict["all_rounds_verified"] else " (not every round verified: FAIL)"
    lines += [
        "| target | tarvolin-cli | limit | result |",
        "|---|---:|---:|---|",
        f"| wall <= {WALL_FACTOR} x fastest peer ({verdict['fastest_peer']}) | "
        f"{fmt(mine['wall_s'])} s = {fmt(verdict['wall_ratio'], 3)} x | "
        f"{fmt(verdict['fastest_peer_wall_s'] * WALL_FACTOR)} s | {verdict['wall']} |",
        f"| CPU <= least of the peers ({verdict['least_cpu_peer']}) | {fmt(mine['cpu_s'])} s | "
        f"{fmt(verdict['least_cpu_peer_cpu_s'])} s | {verdict['cpu']} |",
        f"| peak RSS <= {RSS_LIMIT_KIB // 1024} MiB (largest round) | "
        f"{fmt(mine['max_peak_rss_kib'] / 1024 if mine['max_peak_rss_kib'] else None, 1)} MiB | "
        f"{RSS_LIMIT_KIB // 1024} MiB | {verdict['rss']} |",
    ]
    if note:
        lines.append("")
        lines.append(note.strip())
    return "\n".join(lines)


# ---------------------------------------------------------------------------

def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Race tarvolin-cli get against lftp, aria2c and axel on loopback.")
    p.add_argument("--size", type=parse_size, default=parse_size("1G"),
                   help="source file size, e.g. 256M or 1G (default 1G)")
    p.add_argument("--rounds", type=int, default=3, help="rounds per tool (default 3)")
    p.add_argument("--out", type=Path, help="write the results as JSON to this file")
    p.add_argument("--cli", type=Path, help="use this tarvolin-cli instead of building one")
    p.add_argument("--build-dir", type=Path, default=REPO / "build-bench",
                   help="Release build folder for tarvolin-cli (default <repo>/build-bench)")
    p.add_argument("--work", type=Path, default=Path(tempfile.gettempdir()) / "tarvolin-bench",
                   help="folder for the cached source and the runs' output (default "
                        "$TMPDIR/tarvolin-bench)")
    p.add_argument("--protocols", default="http,ftp", help="http, ftp or both (default)")
    p.add_argument("--tools", default=",".join(DEFAULT_TOOLS),
                   help=f"who races, from {', '.join(ALL_TOOLS)} (default "
                        f"{','.join(DEFAULT_TOOLS)})")
    p.add_argument("--aria2-default-split", action="store_true",
                   help="also run aria2c-k20M: aria2c without -k1M (its default minimum "
                        "split size of 20M)")
    p.add_argument("--timeout", type=float, default=600, help="seconds allowed per run")
    args = p.parse_args(argv)
    args.protocols = [x.strip() for x in args.protocols.split(",") if x.strip()]
    if not args.protocols or any(x not in ("http", "ftp") for x in args.protocols):
        p.error("--protocols takes http, ftp or http,ftp")
    if args.rounds < 1:
        p.error("--rounds must be at least 1")
    args.tools = [x.strip() for x in args.tools.split(",") if x.strip()]
    if args.aria2_default_split and "aria2c-k20M" not in args.tools:
        args.tools.append("aria2c-k20M")
    unknown = [x for x in args.tools if x not in ALL_TOOLS]
    if unknown or not args.tools:
        p.error(f"--tools takes names from {', '.join(ALL_TOOLS)}")
    return args


def main(argv):
    args = parse_args(argv)
    procs = Processes()

    def on_term(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, on_term)
    try:
        return race(args, procs)
    except SetupError as e:
        print(f"compare_downloads: {e}", file=sys.stderr)
        return 2
    except subprocess.CalledProcessError as e:
        print(f"compare_downloads: {' '.join(map(str, e.cmd))} failed ({e.returncode})",
              file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("\ncompare_downloads: interrupted", file=sys.stderr)
        return 130
    finally:
        procs.stop_all()


def race(args, procs):
    if "ftp" in args.protocols and os.geteuid() != 0:
        raise SetupError("vsftpd needs root: run as root or with --protocols http")
    peers = [t for t in peer_tools() if t.name in args.tools]
    needed = {t.program for t in peers}
    needed |= {NGINX} if "http" in args.protocols else set()
    needed |= {VSFTPD} if "ftp" in args.protocols else set()
    ensure_programs(sorted(needed))

    tools = list(peers)
    ours = "tarvolin-cli"
    notes = []
    if "tarvolin-cli" in args.tools:
        cli = args.cli.resolve() if args.cli else build_cli(args.build_dir.resolve())
        if not os.access(cli, os.X_OK):
            raise SetupError(f"{cli} is not an executable")
        if cli_has_get(cli):
            tools.insert(0, tarvolin_tool(cli))
        else:
            notes.append(f"{cli} has no get command: only the peers ran")
            print(f"note: {notes[-1]}", flush=True)

    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    os.chmod(work, 0o755)   # vsftpd's anonymous user walks down to its root
    source, digest = make_source(work / "cache", args.size)
    run_dir = Path(tempfile.mkdtemp(prefix="run-", dir=work))
    try:
        os.chmod(run_dir, 0o755)
        urls = {}
        if "http" in args.protocols:
            place_file(source, run_dir / "www" / SOURCE_NAME)
            _, port = start_nginx(procs, run_dir)
            urls["http"] = f"http://127.0.0.1:{port}/{SOURCE_NAME}"
        if "ftp" in args.protocols:
            place_file(source, run_dir / "ftp" / "pub" / SOURCE_NAME)
            _, port = start_vsftpd(procs, run_dir)
            urls["ftp"] = f"ftp://127.0.0.1:{port}/pub/{SOURCE_NAME}"
        warm_page_cache(source)
        become_subreaper()
        floor = run_floor(procs, run_dir)
        load = os.getloadavg()[0]
        if load > 0.5 * (os.cpu_count() or 1):
            notes.append(f"load average {load:.1f} on {os.cpu_count()} CPUs at the start: "
                         "other work competes for the CPUs and widens the spread")
            print(f"note: {notes[-1]}", flush=True)

        report = {
            "size_bytes": args.size, "rounds": args.rounds, "connections": CONNECTIONS,
            "machine": {"kernel": platform.release(), "cpus": os.cpu_count(),
                        "python": platform.python_version()},
            "rss_floor_kib": floor,
            "servers": {"nginx": "1 process (master_process off), sendfile on, access_log off",
                        "vsftpd": "anonymous, passive range of 64 ports, use_sendfile"},
            "started_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
            "tools": {t.name: {"argv": shlex.join(t.argv("URL", Path("OUT"), "NAME", Path("S"))),
                               "note": t.note,
                               "version": version_of(t)}
                      for t in tools},
            "targets": {"wall_factor": WALL_FACTOR, "cpu": "<= least CPU among the peers",
                        "peak_rss_kib": RSS_LIMIT_KIB},
            "notes": notes, "protocols": {},
        }
        failed = False
        tables = []
        for protocol in args.protocols:
            contestants = [t for t in tools if protocol in t.protocols]
            runs = {t.name: [] for t in contestants}
            for r in range(args.rounds):
                for tool in round_order(contestants, r):
                    res = run_once(procs, tool, urls[protocol], run_dir, source, digest,
                                   args.size, args.timeout)
                    res["round"] = r + 1
                    runs[tool.name].append(res)
                    status = res.get("error", "ok")
                    print(f"{protocol} round {r + 1} {tool.name}: wall {res['wall_s']:.2f} s, "
                          f"CPU {res['cpu_s']:.2f} s, RSS {res['peak_rss_kib'] / 1024:.1f} MiB"
                          f" - {status}", flush=True)
                    failed |= "error" in res
            summaries = {name: summarise(rs) for name, rs in runs.items()}
            peer_names = [t.name for t in contestants if t.name != ours]
            verdict = judge(summaries, ours, peer_names)
            if verdict:
                failed |= "FAIL" in (verdict["wall"], verdict["cpu"], verdict["rss"])
            report["protocols"][protocol] = {"url": urls[protocol], "runs": runs,
                                             "median": summaries, "targets": verdict}
            tables.append(markdown(protocol, args.size, contestants, summaries, verdict, ours))
    finally:
        procs.stop_all()
        shutil.rmtree(run_dir, ignore_errors=True)

    print()
    print("\n\n".join(tables))
    print(f"\nPeak RSS figures are exact above {floor / 1024:.1f} MiB (what /bin/true shows "
          "when started the same way).")
    for n in notes:
        print(f"\nnote: {n}")
    if args.out:
        args.out.write_text(json.dumps(report, indent=2) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
