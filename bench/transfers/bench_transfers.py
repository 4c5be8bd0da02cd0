#!/usr/bin/env python3
"""Transfer benchmark over loopback: RETR of one large file from the page cache and from the disk, STOR
of it, many simultaneous downloads and listings of a large directory, each repeated in alternated rounds
beside the raw loopback receive of the same bytes, and reported as min, median and max.

Starts its own tarnsvc -f (path from TARNSVC) with one user made by sdbtool (path from SDBTOOL). With
BASELINE_TARNSVC naming another tarnsvc binary, or VSFTPD naming a vsftpd binary (anonymous login, run as
the launching user), the same rounds run against each of them in turn. Every phase is bounded in time.
"""
import argparse
import ftplib
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import ftp_accounts  # noqa: E402
import benchlib  # noqa: E402
from benchlib import drain, make_file  # noqa: E402
from harness import HOST, ServerProcess  # noqa: E402
from rawref import raw_receive  # noqa: E402

PHASE_LIMIT = 300.0
MIB = 1 << 20


def drop_from_page_cache(path):
    """Writes the file's dirty pages back and asks the kernel to forget the clean ones, so that the next
    read of it comes from the disk."""
    os.sync()
    fd = os.open(path, os.O_RDONLY)
    try:
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


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


def start_tarnsvc(name, binary, work):
    server = ServerProcess({"maxusers": 500, "MinPort": 20000, "MaxPort": 40000}, binary=binary)
    root = os.path.join(work, name + "-root")
    ftp_accounts.add_user(server.home, "bench", "bench", root)
    server.start()
    return Target(name, server.port, "bench", "bench", root, server.close)


def start_vsftpd(binary, work):
    port, proc, root = benchlib.start_vsftpd(binary, work, [
        "no_anon_password=YES", "write_enable=YES", "anon_upload_enable=YES",
        "anon_other_write_enable=YES", "anon_world_readable_only=NO", "pasv_enable=YES", "pasv_min_port=40001",
        "pasv_max_port=60000", "use_sendfile=YES"])
    return Target("vsftpd", port, "anonymous", "x", root, lambda: benchlib.stop_process(proc))


def prepare(target, big, medium_size, files):
    """Gives the target the large file (a hard link where the file system allows), the medium file and the
    large directory."""
    os.link(big, os.path.join(target.root, "big.bin")) if os.stat(big).st_dev == os.stat(target.root).st_dev \
        else shutil.copy(big, os.path.join(target.root, "big.bin"))
    make_file(os.path.join(target.root, "medium.bin"), medium_size)
    listing = os.path.join(target.root, "many")
    os.makedirs(listing)
    for i in range(files):
        open(os.path.join(listing, f"file{i:05d}.txt"), "wb").close()


def many_downloads(target, clients, medium_size):
    """`clients` RETRs of the medium file started at once; returns (aggregate MiB/s, failures)."""
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
    return clients * medium_size / MIB / (time.monotonic() - start), failures


def run_round(targets, big, big_size, medium_size, clients, record):
    """One round: each measurement once per target, the targets in turn, so that a slow spell of the
    machine falls on all of them alike (the caller rotates their order from round to round, since a phase
    leaves the page cache and the writeback different for whoever comes next). record(target_name, key,
    value) collects the figures."""
    size_mib = big_size / MIB
    record("raw", "RETR MiB/s", size_mib / raw_receive(big))
    for t in targets:
        took, got = t.retr("big.bin")
        assert got == big_size, (t.name, got, big_size)
        record(t.name, "RETR MiB/s", size_mib / took)
    drop_from_page_cache(big)
    record("raw", "RETR from disk MiB/s", size_mib / raw_receive(big))
    for t in targets:
        drop_from_page_cache(big)
        took, got = t.retr("big.bin")
        assert got == big_size, (t.name, got, big_size)
        record(t.name, "RETR from disk MiB/s", size_mib / took)
    for t in targets:
        # Earlier phases leave dirty pages; their writeback would land in whichever STOR runs next.
        os.sync()
        took = t.stor("up.bin", big)
        uploaded = os.path.join(t.root, "up.bin")
        assert os.path.getsize(uploaded) == big_size, t.name
        os.unlink(uploaded)
        record(t.name, "STOR MiB/s", size_mib / took)
    os.sync()
    for t in targets:
        rate, failures = many_downloads(t, clients, medium_size)
        record(t.name, f"{clients} x RETR aggregate MiB/s", rate)
        record(t.name, f"{clients} x RETR failures", len(failures))
        if failures:
            print(f"{t.name}: {len(failures)} download failures, first ones: {failures[:3]}")


def listings(target, files, record):
    """LIST, NLST and MLSD of the large directory, best of five each; a command the server lacks shows as
    nan."""
    for command in ("LIST", "NLST", "MLSD"):
        try:
            best = min(target.listing_time(command + " many")[0] for _ in range(5))
        except ftplib.error_perm:
            best = float("nan")
        record(target.name, f"{command} {files} files ms", best * 1000)


def spread(values):
    return f"{min(values):.0f} / {statistics.median(values):.0f} / {max(values):.0f}"


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size-mib", type=int, default=1024, help="size of the large file (default 1024)")
    p.add_argument("--runs", type=int, default=7, help="alternated rounds (default 7)")
    p.add_argument("--clients", type=int, default=100)
    p.add_argument("--medium-mib", type=int, default=10)
    p.add_argument("--files", type=int, default=10000)
    args = p.parse_args()
    big_size, medium_size = args.size_mib * MIB, args.medium_mib * MIB

    work = tempfile.mkdtemp(prefix="tarnwick-bench-")
    targets = []
    figures = {}  # target name -> key -> values in round order

    def record(name, key, value):
        figures.setdefault(name, {}).setdefault(key, []).append(value)

    try:
        big = os.path.join(work, "big.bin")
        make_file(big, big_size)
        targets.append(start_tarnsvc("tarnsvc", None, work))
        if os.environ.get("BASELINE_TARNSVC"):
            targets.append(start_tarnsvc("baseline", os.environ["BASELINE_TARNSVC"], work))
        if os.environ.get("VSFTPD"):
            targets.append(start_vsftpd(os.environ["VSFTPD"], work))
        for t in targets:
            prepare(t, big, medium_size, args.files)
        for i in range(args.runs):
            turn = i % len(targets)
            run_round(targets[turn:] + targets[:turn], big, big_size, medium_size, args.clients, record)
            print(f"round {i + 1}: " + "  ".join(f"{name} {figures[name]['RETR MiB/s'][-1]:.0f}"
                                                  for name in figures), flush=True)
        for t in targets:
            listings(t, args.files, record)

        names = list(figures)
        keys = list(figures["tarnsvc"])
        print(f"min / median / max of {args.runs} rounds")
        print(f"{'':34}" + "".join(f"{n:>22}" for n in names))
        for key in keys:
            print(f"{key:34}" + "".join(f"{spread(figures[n][key]) if key in figures[n] else '':>22}"
                                        for n in names))
        for key in ("RETR MiB/s", "RETR from disk MiB/s"):
            ours, raw = figures["tarnsvc"][key], figures["raw"][key]
            low = min(ours) / statistics.median(ours)
            ratio = statistics.median(ours) / statistics.median(raw)
            print(f"tarnsvc {key}: min / median {low:.2f}, median / raw median {ratio:.2f}")
        failures = sum(sum(v) for n in names for k, v in figures[n].items() if k.endswith("failures"))
        return 1 if failures else 0
    finally:
        for t in targets:
            t.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
