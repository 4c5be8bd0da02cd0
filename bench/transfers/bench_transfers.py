#!/usr/bin/env python3
"""Transfer benchmark over loopback: RETR and STOR of one large file, many simultaneous downloads, and
LIST, NLST and MLSD of a large directory, beside a raw TCP copy of the same bytes as the physical limit.

Starts its own tarnsvc -f (path from TARNSVC) with one user made by sdbtool (path from SDBTOOL). With
VSFTPD naming a vsftpd binary the same measurements run against it (anonymous login, run as the
launching user, on its own loopback port). Every phase is bounded in time.
"""
import argparse
import ftplib
import os
import shutil
import socket
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import ftp_accounts  # noqa: E402
import benchlib  # noqa: E402
from benchlib import BUFFER, make_file  # noqa: E402
from harness import HOST, ServerProcess  # noqa: E402

PHASE_LIMIT = 300.0



def drain(sock):
    """Reads until the peer closes; returns the byte count."""
    buf = bytearray(BUFFER)
    view = memoryview(buf)
    total = 0
    while True:
        n = sock.recv_into(view)
        if n == 0:
            return total
        total += n


def raw_copy(path):
    """Seconds to move the file through one loopback TCP connection with sendfile: the physical limit."""
    server = socket.create_server((HOST, 0))
    port = server.getsockname()[1]

    def send():
        conn, _ = server.accept()
        with conn, open(path, "rb") as f:
            conn.sendfile(f)

    t = threading.Thread(target=send)
    t.start()
    start = time.monotonic()
    with socket.create_connection((HOST, port)) as c:
        got = drain(c)
    took = time.monotonic() - start
    t.join()
    server.close()
    assert got == os.path.getsize(path)
    return took


class Target:
    """An FTP server to measure: its port, login and the local directory it serves as "/"."""

    def __init__(self, name, port, user, password, root, stop):
        self.name, self.port, self.user, self.password, self.root, self.stop = name, port, user, password, root, stop

    def ftp(self):
        f = ftplib.FTP()
        f.connect(HOST, self.port, timeout=PHASE_LIMIT)
        f.login(self.user, self.password)
        f.voidcmd("TYPE I")
        return f

    def retr(self, name):
        with self.ftp() as f:
            start = time.monotonic()
            with f.transfercmd("RETR " + name) as conn:
                got = drain(conn)
            f.voidresp()
            return time.monotonic() - start, got

    def stor(self, name, path):
        with self.ftp() as f:
            start = time.monotonic()
            with f.transfercmd("STOR " + name) as conn, open(path, "rb") as src:
                conn.sendfile(src)
            f.voidresp()
            return time.monotonic() - start

    def listing_time(self, command):
        with self.ftp() as f:
            start = time.monotonic()
            with f.transfercmd(command) as conn:
                got = drain(conn)
            f.voidresp()
            return time.monotonic() - start, got


def start_tarnsvc(work):
    server = ServerProcess({"maxusers": 500, "MinPort": 20000, "MaxPort": 40000})
    root = os.path.join(work, "tarn-root")
    ftp_accounts.add_user(server.home, "bench", "bench", root)
    server.start()
    return Target("tarnsvc", server.port, "bench", "bench", root, server.close)


def start_vsftpd(binary, work):
    port, proc, root = benchlib.start_vsftpd(binary, work, [
        "no_anon_password=YES", "write_enable=YES", "anon_upload_enable=YES",
        "anon_other_write_enable=YES", "anon_world_readable_only=NO", "pasv_enable=YES", "pasv_min_port=40001",
        "pasv_max_port=60000", "use_sendfile=YES"])
    return Target("vsftpd", port, "anonymous", "x", root, lambda: benchlib.stop_process(proc))


def measure(target, big, big_size, medium_size, clients, files):
    os.link(big, os.path.join(target.root, "big.bin")) if os.stat(big).st_dev == os.stat(target.root).st_dev \
        else shutil.copy(big, os.path.join(target.root, "big.bin"))
    make_file(os.path.join(target.root, "medium.bin"), medium_size)
    listing = os.path.join(target.root, "many")
    os.makedirs(listing)
    for i in range(files):
        open(os.path.join(listing, f"file{i:05d}.txt"), "wb").close()
    mib = 1 << 20
    results = {}

    # Earlier phases and files leave dirty pages; their writeback would land in whichever STOR runs next.
    os.sync()
    took, got = target.retr("big.bin")
    assert got == big_size, (got, big_size)
    results["RETR MiB/s"] = big_size / mib / took
    os.sync()
    took = target.stor("up.bin", big)
    assert os.path.getsize(os.path.join(target.root, "up.bin")) == big_size
    results["STOR MiB/s"] = big_size / mib / took

    failures = []
    barrier = threading.Barrier(clients)

    def one():
        try:
            barrier.wait(30)
            _, n = target.retr("medium.bin")
            if n != medium_size:
                failures.append(f"short: {n}")
        except Exception as e:  # counted, reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=one) for _ in range(clients)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join(PHASE_LIMIT)
    took = time.monotonic() - start
    results[f"{clients} x RETR aggregate MiB/s"] = clients * medium_size / mib / took
    results[f"{clients} x RETR failures"] = len(failures)

    # Listings of the large directory, best of five each; a command the server lacks shows as nan.
    for command in ("LIST", "NLST", "MLSD"):
        try:
            best = min(target.listing_time(command + " many")[0] for _ in range(5))
        except ftplib.error_perm:
            best = float("nan")
        results[f"{command} {files} files ms"] = best * 1000
    os.unlink(os.path.join(target.root, "up.bin"))
    return results, failures[:3]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size-mib", type=int, default=1024, help="size of the large file (default 1024)")
    p.add_argument("--clients", type=int, default=100)
    p.add_argument("--medium-mib", type=int, default=10)
    p.add_argument("--files", type=int, default=10000)
    args = p.parse_args()
    big_size, medium_size = args.size_mib << 20, args.medium_mib << 20

    work = tempfile.mkdtemp(prefix="tarnwick-bench-")
    targets = []
    try:
        big = os.path.join(work, "big.bin")
        make_file(big, big_size)
        raw = min(raw_copy(big) for _ in range(2))
        print(f"raw loopback TCP copy: {big_size / (1 << 20) / raw:10.0f} MiB/s")
        targets.append(start_tarnsvc(work))
        if os.environ.get("VSFTPD"):
            targets.append(start_vsftpd(os.environ["VSFTPD"], work))
        table = {}
        ok = True
        for t in targets:
            results, failures = measure(t, big, big_size, medium_size, args.clients, args.files)
            table[t.name] = results
            if failures:
                ok = False
                print(f"{t.name}: failures, first ones: {failures}")
        names = list(table)
        print(f"{'':34}" + "".join(f"{n:>12}" for n in names))
        for key in table[names[0]]:
            print(f"{key:34}" + "".join(f"{table[n][key]:12.1f}" for n in names))
        ratio = table["tarnsvc"]["RETR MiB/s"] / (big_size / (1 << 20) / raw)
        print(f"tarnsvc RETR / raw copy: {ratio:.0%}; STOR / raw copy: "
              f"{table['tarnsvc']['STOR MiB/s'] / (big_size / (1 << 20) / raw):.0%}")
        return 0 if ok else 1
    finally:
        for t in targets:
            t.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
