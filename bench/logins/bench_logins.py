#!/usr/bin/env python3
"""Login benchmark over loopback: logins per second (connect, greeting, USER, PASS, QUIT), one client at
a time and with many clients at once, against a user.sdb of a few users and of many.

Starts its own tarnsvc -f (path from TARNSVC) on tables written by logins_make_users (path from
MAKE_USERS). With VSFTPD naming a vsftpd binary the same loops run against it: anonymous login with a
password asked for, run as the launching user, on its own loopback port. Every loop is bounded in count
and time; the only processes signalled are the ones started here, by their pid.
"""
import argparse
import os
import random
import socket
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
from benchlib import attempts_per_second, start_vsftpd, stop_process  # noqa: E402
from harness import HOST, ServerProcess  # noqa: E402


class Session:
    """One control connection reading CR LF reply lines."""

    def __init__(self, port):
        self.sock = socket.create_connection((HOST, port), timeout=10)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def reply(self):
        while b"\r\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def command(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        return self.reply()


def login(port, user, password):
    """One full login; True when PASS was answered 230 and QUIT with a 2xx reply."""
    s = Session(port)
    try:
        if not s.reply().startswith(b"220"):
            return False
        s.command(f"USER {user}")
        ok = s.command(f"PASS {password}").startswith(b"230")
        return s.command("QUIT").startswith(b"2") and ok
    finally:
        s.sock.close()


def run(port, names, password, clients, count, seconds):
    """Logins per second with `clients` loops at once, at most `count` logins or `seconds` in all."""
    rngs = [random.Random(i) for i in range(clients)]
    return attempts_per_second(lambda i: login(port, rngs[i].choice(names), password), clients, count, seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--users", type=int, nargs="+", default=[10, 100_000], help="table sizes")
    parser.add_argument("--parallel", type=int, default=50, help="clients at once in the parallel loop")
    parser.add_argument("--count", type=int, default=20_000, help="at most this many logins per loop")
    parser.add_argument("--seconds", type=float, default=5.0, help="at most this long per loop")
    args = parser.parse_args()
    make_users = os.environ.get("MAKE_USERS")
    if not make_users:
        sys.exit("MAKE_USERS must name the logins_make_users binary (and TARNSVC the tarnsvc binary)")

    rows, failures = [], 0

    def measure(name, port, names, password):
        nonlocal failures
        for clients in (1, args.parallel):
            rate, failed = run(port, names, password, clients, args.count, args.seconds)
            failures += failed
            rows.append((name, clients, rate, failed))
            print(f"{name:<24} {clients:>3} client(s): {rate:8.0f} logins/s  ({failed} failed)", flush=True)

    with tempfile.TemporaryDirectory(prefix="tarnwick-logins-") as work:
        for users in args.users:
            server = ServerProcess({"maxusers": args.parallel + 50, "Savelog": 0})
            try:
                subprocess.run([make_users, server.home, str(users), work], check=True, stdout=subprocess.DEVNULL,
                               timeout=600)
                server.start()
                names = [f"user{i:06d}" for i in range(users)]
                measure(f"tarnsvc, {users} users", server.port, names, "pw")
            finally:
                server.close()
        if os.environ.get("VSFTPD"):
            port, proc, _ = start_vsftpd(os.environ["VSFTPD"], work, ["no_anon_password=NO"])
            try:
                measure("vsftpd, anonymous", port, ["anonymous"], "bench@")
            finally:
                stop_process(proc)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
