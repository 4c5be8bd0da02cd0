#!/usr/bin/env python3
"""The raw loopback receive: a file sent with sendfile into one loopback TCP connection and read to the
end by the same receiving loop the transfer benchmarks use, with no FTP in between. A download cannot be
expected to beat it by much; it is the reference a RETR figure is read against.

Run on its own it prints min, median and max MiB/s of --runs copies of a --size-mib file.
"""
import argparse
import os
import shutil
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import drain, make_file  # noqa: E402

HOST = "127.0.0.1"


def raw_receive(path):
    """Seconds to move the file through one loopback TCP connection: sendfile on one side, drain() on the
    other. Raises when fewer bytes arrived than the file holds."""
    server = socket.create_server((HOST, 0))
    port = server.getsockname()[1]
    server.settimeout(60)

    def send():
        conn, _ = server.accept()
        with conn, open(path, "rb") as f:
            conn.sendfile(f)

    sender = threading.Thread(target=send)
    sender.start()
    try:
        start = time.monotonic()
        with socket.create_connection((HOST, port), timeout=60) as c:
            got = drain(c)
        took = time.monotonic() - start
    finally:
        sender.join(60)
        server.close()
    if got != os.path.getsize(path):
        raise RuntimeError(f"raw copy came out short: {got} bytes")
    return took


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size-mib", type=int, default=1024)
    p.add_argument("--runs", type=int, default=7)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="tarnwick-rawref-")
    try:
        path = os.path.join(work, "big.bin")
        make_file(path, args.size_mib << 20)
        rates = [args.size_mib / raw_receive(path) for _ in range(args.runs)]
        print(f"raw loopback receive MiB/s: min {min(rates):.0f}  median {statistics.median(rates):.0f}  "
              f"max {max(rates):.0f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
