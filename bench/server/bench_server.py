#!/usr/bin/env python3
"""Server core benchmark: many simultaneous connections, then NOOP round trips on one and on 50 logged-in
connections.

Starts its own tarnsvc -f (path from TARNSVC) on a free loopback port, with one user made by sdbtool (path
from SDBTOOL). Every phase is bounded in time.
"""
import argparse
import os
import resource
import selectors
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e"))
from harness import HOST, ServerProcess, wait_until  # noqa: E402
from ftp_accounts import add_user  # noqa: E402

NOOP = b"NOOP\r\n"
USER, PASSWORD = "bench", "bench"
PHASE_LIMIT = 60.0  # seconds for any one phase to complete


def raise_fd_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < needed:
        target = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    if resource.getrlimit(resource.RLIMIT_NOFILE)[0] < needed:
        sys.exit(f"need {needed} file descriptors, the hard limit is {hard}")


def read_one_line_each(socks, limit=PHASE_LIMIT):
    """Reads one CR LF line from every socket at once; returns {socket: line} for those that sent one."""
    sel = selectors.DefaultSelector()
    partial = {}
    for s in socks:
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ)
        partial[s] = b""
    lines = {}
    deadline = time.monotonic() + limit
    while partial and time.monotonic() < deadline:
        for key, _ in sel.select(timeout=max(0.0, deadline - time.monotonic())):
            s = key.fileobj
            chunk = s.recv(4096)
            data = partial[s] + chunk
            if not chunk or b"\r\n" in data:
                sel.unregister(s)
                del partial[s]
                if b"\r\n" in data:
                    lines[s] = data.split(b"\r\n", 1)[0].decode(errors="replace")
    sel.close()
    return lines


def many_connections(server, count):
    start = time.monotonic()
    socks = [socket.create_connection((HOST, server.port), timeout=PHASE_LIMIT) for _ in range(count)]
    greetings = read_one_line_each(socks)
    greet_time = time.monotonic() - start
    greeted = sum(1 for line in greetings.values() if line.startswith("220 "))

    time.sleep(1.0)
    sel = selectors.DefaultSelector()
    for s in socks:
        sel.register(s, selectors.EVENT_READ)
    dropped = len(sel.select(timeout=0))  # an open, idle connection has nothing to read
    sel.close()

    for s in socks:
        s.setblocking(True)
        s.sendall(NOOP)
    replies = read_one_line_each(socks)
    served = sum(1 for line in replies.values() if line[:3] in ("200", "530"))
    rss = server.rss_kib()
    threads = server.thread_count()
    for s in socks:
        s.close()
    return {"greet_time": greet_time, "greeted": greeted, "dropped": dropped, "served": served,
            "rss_kib": rss, "threads": threads}


def logged_in(server):
    """A connection logged in as the bench user (a server ends one that sends too many commands before login)."""
    s = socket.create_connection((HOST, server.port), timeout=10)
    reader = s.makefile("rb")
    reader.readline()  # greeting
    for line, expected in ((f"USER {USER}", b"331"), (f"PASS {PASSWORD}", b"230")):
        s.sendall(line.encode() + b"\r\n")
        reply = reader.readline()
        if not reply.startswith(expected):
            raise RuntimeError(f"{line.split()[0]} answered {reply!r}")
    reader.close()
    return s


def round_trips_one(server, max_count, seconds):
    with logged_in(server) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        done = 0
        start = time.monotonic()
        deadline = start + seconds
        while done < max_count and time.monotonic() < deadline:
            s.sendall(NOOP)
            data = s.recv(4096)
            while not data.endswith(b"\r\n"):
                more = s.recv(4096)
                if not more:
                    raise RuntimeError("server closed the connection")
                data += more
            done += 1
        return done, time.monotonic() - start


def round_trips_many(server, count, seconds):
    socks = [logged_in(server) for _ in range(count)]
    sel = selectors.DefaultSelector()
    pending = {}
    for s in socks:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        sel.register(s, selectors.EVENT_READ)
        pending[s] = b""
        s.send(NOOP)
    done = 0
    start = time.monotonic()
    deadline = start + seconds
    while time.monotonic() < deadline:
        for key, _ in sel.select(timeout=1.0):
            s = key.fileobj
            chunk = s.recv(4096)
            if not chunk:
                raise RuntimeError("server closed a connection")
            data = pending[s] + chunk
            replies = data.count(b"\r\n")
            pending[s] = data[data.rfind(b"\r\n") + 2:] if replies else data
            if replies:
                done += replies
                s.send(NOOP)  # one command outstanding per connection
    elapsed = time.monotonic() - start
    sel.close()
    for s in socks:
        s.close()
    return done, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--connections", type=int, default=1000)
    parser.add_argument("--parallel", type=int, default=50, help="connections for the parallel round trips")
    parser.add_argument("--count", type=int, default=50000, help="most round trips on one connection")
    parser.add_argument("--seconds", type=float, default=5.0, help="most time for each round-trip phase")
    parser.add_argument("--savelog", action="store_true", help="write the daily log file as well")
    args = parser.parse_args()

    raise_fd_limit(args.connections + 200)  # the server inherits the limit
    settings = {"maxusers": args.connections, "Savelog": int(args.savelog)}
    server = ServerProcess(settings)
    add_user(server.home, USER, PASSWORD, server.home)
    with server:
        idle_rss, idle_threads = server.rss_kib(), server.thread_count()
        m = many_connections(server, args.connections)
        print(f"{args.connections} connections: greeted {m['greeted']} in {m['greet_time']:.3f} s, "
              f"dropped while idle {m['dropped']}, NOOP served {m['served']}")
        print(f"  server VmRSS idle {idle_rss / 1024:.1f} MiB, with {args.connections} connections "
              f"{m['rss_kib'] / 1024:.1f} MiB ({m['threads']} threads)")
        wait_until(lambda: server.thread_count() <= idle_threads, PHASE_LIMIT, 0.1)  # all have ended

        n, t = round_trips_one(server, args.count, args.seconds)
        print(f"1 connection: {n} NOOP round trips in {t:.2f} s = {n / t:.0f}/s")
        n, t = round_trips_many(server, args.parallel, args.seconds)
        print(f"{args.parallel} connections: {n} NOOP round trips in {t:.2f} s = {n / t:.0f}/s")
        failed = m["greeted"] != args.connections or m["dropped"] or m["served"] != args.connections
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
