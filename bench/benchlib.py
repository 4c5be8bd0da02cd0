"""Helpers shared by the benchmark scripts: test files and a vsftpd to compare with."""
import getpass
import os
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import HOST, free_port, wait_until  # noqa: E402

BUFFER = 1 << 20


def make_file(path, size):
    """A file of `size` random-looking bytes (one random block repeated)."""
    block = os.urandom(BUFFER)
    with open(path, "wb") as f:
        for _ in range(size // BUFFER):
            f.write(block)
        f.write(block[: size % BUFFER])


def drain(sock, sink=None):
    """Reads until the peer closes, into the file `sink` when given; returns the byte count."""
    buf = bytearray(BUFFER)
    view = memoryview(buf)
    total = 0
    while n := sock.recv_into(view):
        total += n
        if sink:
            sink.write(view[:n])
    return total


def stop_process(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(10)


def start_vsftpd(binary, work, settings):
    """vsftpd in the foreground on a free loopback port, run as the launching user, with anonymous login on
    `work`/vsftpd-root and the extra config lines `settings`; returns (port, process, root)."""
    root = os.path.join(work, "vsftpd-root")
    os.makedirs(root)
    port = free_port()
    conf = os.path.join(work, "vsftpd.conf")
    with open(conf, "w") as f:
        f.write("\n".join([
            "listen=YES", "listen_ipv6=NO", f"listen_address={HOST}", f"listen_port={port}", "background=NO",
            "run_as_launching_user=YES", f"ftp_username={getpass.getuser()}", "anonymous_enable=YES",
            f"anon_root={root}", "local_enable=NO",
            "seccomp_sandbox=NO", "max_clients=500", "max_per_ip=500", "xferlog_enable=NO", *settings, ""]))
    proc = subprocess.Popen([binary, conf], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)

    def up():
        try:
            socket.create_connection((HOST, port), timeout=1).close()
            return True
        except OSError:
            return False

    if not wait_until(up, 10, 0.1):
        stop_process(proc)
        raise RuntimeError("vsftpd did not start")
    return port, proc, root


def attempts_per_second(attempt, parallel, count, seconds):
    """Runs attempt(worker_index) -> bool from `parallel` threads at once, at most `count` attempts or
    `seconds` in all; returns (successes per second, failures). An OSError counts as a failure."""
    done, failed = [0], [0]
    lock = threading.Lock()
    deadline = time.monotonic() + seconds

    def worker(index):
        while time.monotonic() < deadline:
            with lock:
                if done[0] + failed[0] >= count:
                    return
            try:
                ok = attempt(index)
            except OSError:
                ok = False
            with lock:
                done[0] += ok
                failed[0] += not ok

    start = time.monotonic()
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 30)
    return done[0] / (time.monotonic() - start), failed[0]
