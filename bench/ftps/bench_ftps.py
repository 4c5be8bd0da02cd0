#!/usr/bin/env python3
"""FTPS benchmark over loopback: RETR and STOR of one large file over implicit TLS beside a raw TLS copy
of the same bytes (Python's ssl in a separate process, the same library and cipher as the client), and
logins per second over TLS.

Starts its own tarnsvc -f (path from TARNSVC) with the TLS listener, a generated certificate set and one
user made by sdbtool (path from SDBTOOL). Every phase is bounded in count and time.
"""
import argparse
import multiprocessing
import os
import shutil
import socket
import ssl
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "e2e"))
import ftp_accounts  # noqa: E402
from benchlib import BUFFER, attempts_per_second, drain, make_file  # noqa: E402
from harness import HOST, ServerProcess  # noqa: E402
from test_ftps import CLIENT_CONTEXT, Certificates, ImplicitFtp  # noqa: E402

PHASE_LIMIT = 300.0
USER, PASSWORD = "bench", "bench"



def pump(sock, path):
    with open(path, "rb") as f:
        while block := f.read(BUFFER):
            sock.sendall(block)


def raw_sender(listener, cert, key, path):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    conn, _ = listener.accept()
    with ctx.wrap_socket(conn, server_side=True) as tls:
        pump(tls, path)


def raw_tls_copy(certs, path, into=None):
    """Seconds to move the file through one loopback TLS connection, sender in another process; with
    `into`, the receiver stores it there as an upload does."""
    listener = socket.create_server((HOST, 0))
    port = listener.getsockname()[1]
    sender = multiprocessing.Process(target=raw_sender, args=(listener, os.path.join(certs.dir, "server.pem"),
                                                              os.path.join(certs.dir, "server.key"), path))
    sender.start()
    start = time.monotonic()
    with CLIENT_CONTEXT.wrap_socket(socket.create_connection((HOST, port), timeout=PHASE_LIMIT),
                                    server_hostname=HOST) as tls:
        with open(into or os.devnull, "wb") as sink:
            got = drain(tls, sink if into else None)
        cipher = tls.cipher()[0]
    took = time.monotonic() - start
    sender.join(PHASE_LIMIT)
    listener.close()
    assert got == os.path.getsize(path)
    return took, cipher


class Target:
    def __init__(self, port):
        self.port = port

    def ftp(self):
        f = ImplicitFtp(context=CLIENT_CONTEXT, timeout=PHASE_LIMIT)
        f.connect(HOST, self.port)
        f.login(USER, PASSWORD)
        f.prot_p()
        f.voidcmd("TYPE I")
        return f

    def retr(self, name):
        with self.ftp() as f:
            start = time.monotonic()
            conn = f.transfercmd("RETR " + name)
            got = drain(conn)
            conn.close()
            f.voidresp()
            return time.monotonic() - start, got

    def stor(self, name, path):
        with self.ftp() as f:
            start = time.monotonic()
            conn = f.transfercmd("STOR " + name)
            pump(conn, path)
            conn.unwrap()  # only the close alert completes an upload; a bare close is a cut
            conn.close()
            f.voidresp()
            return time.monotonic() - start


def login_once(port):
    with CLIENT_CONTEXT.wrap_socket(socket.create_connection((HOST, port), timeout=10),
                                    server_hostname=HOST) as tls:
        f = tls.makefile("rb")
        ok = f.readline().startswith(b"220 ")
        tls.sendall(f"USER {USER}\r\n".encode())
        ok = f.readline().startswith(b"331 ") and ok
        tls.sendall(f"PASS {PASSWORD}\r\n".encode())
        ok = f.readline().startswith(b"230 ") and ok
        tls.sendall(b"QUIT\r\n")
        f.readline()
        return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--parallel", type=int, default=20)
    parser.add_argument("--count", type=int, default=5000)
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()
    size = args.size_mib << 20

    work = tempfile.mkdtemp(prefix="tarnwick-bench-ftps-")
    server = None
    try:
        certs = Certificates(os.path.join(work, "certs"))
        # Every client comes from one address: MaxPerIP is raised so that the parallel logins measure the
        # server, not the bound on handshakes under way from one address (10 without a MaxPerIP).
        server = ServerProcess({"ftpsservice": 1, "maxusers": 500, "MaxPerIP": 500, "MinPort": 20000,
                                "MaxPort": 40000})
        certs.install(server)
        root = os.path.join(work, "root")
        ftp_accounts.add_user(server.home, USER, PASSWORD, root)
        server.start()
        server.wait_log_count(f"SSL Server is running on port {server.ssl_port}.", 1)
        source = os.path.join(work, "source.bin")
        make_file(source, size)
        os.link(source, os.path.join(root, "big.bin"))
        target = Target(server.ssl_port)

        raw, cipher = raw_tls_copy(certs, source)
        retr, got = target.retr("big.bin")
        raw_stored, _ = raw_tls_copy(certs, source, os.path.join(work, "raw-copy.bin"))
        os.remove(os.path.join(work, "raw-copy.bin"))
        stor = target.stor("up.bin", source)
        failed = got != size or os.path.getsize(os.path.join(root, "up.bin")) != size
        mib = size / (1 << 20)
        print(f"{args.size_mib} MiB over loopback, {cipher}")
        print(f"  raw TLS copy               {mib / raw:8.0f} MiB/s")
        print(f"  RETR                       {mib / retr:8.0f} MiB/s  ({raw / retr:.0%} of raw)")
        print(f"  raw TLS copy into a file   {mib / raw_stored:8.0f} MiB/s")
        print(f"  STOR                       {mib / stor:8.0f} MiB/s  ({raw_stored / stor:.0%} of raw into a file, "
              f"{raw / stor:.0%} of raw)")
        for parallel in (1, args.parallel):
            rate, bad = attempts_per_second(lambda _: login_once(server.ssl_port), parallel, args.count, args.seconds)
            failed = failed or bad
            print(f"  TLS logins, {parallel:3d} at once   {rate:8.0f} /s  ({bad} failed)")
        return 1 if failed else 0
    finally:
        if server is not None:
            server.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
