"""A directory of a user's home swapped for a link that leads out, as fast as a local process can, while
the user works through it: nothing outside the home is read, listed, written or deleted.

The link leads to a decoy tree beside the home rather than to "/", so that a fault shows as a changed
decoy instead of damage to the machine; for the server the two are the same: a link out of the home.
"""
import ftplib
import io
import os
import subprocess
import sys
import threading
import time
import unittest

import ftp_accounts
from harness import HOST, ServerProcess

RACE_SECONDS = 20
CLIENTS = 3
VICTIMS = 40
INSIDE = b"inside"
SECRET = b"root:x:0:0:outside:/root"

# Exchanges two names with renameat2(RENAME_EXCHANGE) until the time is up or the count reached, and
# always an even number of times, so that every name ends where it began. Prints the count.
SWAPPER = r"""
import ctypes, os, sys, time
a, b = os.fsencode(sys.argv[1]), os.fsencode(sys.argv[2])
seconds, limit = float(sys.argv[3]), int(sys.argv[4])
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD, RENAME_EXCHANGE = -100, 2
deadline = time.monotonic() + seconds
n = 0
while n < limit and (n % 2 or time.monotonic() < deadline):
    if libc.renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE) != 0:
        sys.exit("renameat2: " + os.strerror(ctypes.get_errno()))
    n += 1
print(n)
"""


def snapshot(top):
    """Every entry below `top`: its kind and, for a file, its bytes."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames:
            tree[os.path.relpath(os.path.join(dirpath, name), top)] = "dir"
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                tree[os.path.relpath(path, top)] = f.read()
    return tree


class Observed:
    """What the clients got back, gathered from every thread."""

    def __init__(self):
        self.lock = threading.Lock()
        self.retrieved, self.sizes, self.listings = [], [], []

    def add(self, kind, value):
        with self.lock:
            getattr(self, kind).append(value)


class PathRaceTest(unittest.TestCase):
    def setUp(self):
        self.server = ServerProcess()
        self.dir = self.server.home
        self.home = os.path.join(self.dir, "home")
        ftp_accounts.add_user(self.dir, "alice", "pw", self.home)
        shared = os.path.join(self.home, "shared")
        self.outside = os.path.join(self.dir, "outside")
        for top, passwd in ((shared, INSIDE), (self.outside, SECRET)):
            os.makedirs(os.path.join(top, "etc"))
            with open(os.path.join(top, "etc", "passwd"), "wb") as f:
                f.write(passwd)
            for i in range(VICTIMS):
                with open(os.path.join(top, f"victim-{i}"), "wb") as f:
                    f.write(b"v")
        with open(os.path.join(self.outside, "OUTSIDE-MARKER"), "wb") as f:
            f.write(b"m")
        self.swap = os.path.join(self.dir, "swap")
        os.symlink(self.outside, self.swap)
        self.server.start()

    def tearDown(self):
        self.server.close()

    def work(self, k, deadline, seen):
        """One client's round of LIST, RETR, SIZE, STOR, MKD and DELE through the swapped name."""
        f, i = None, 0
        while time.monotonic() < deadline:
            try:
                if f is None:
                    f = ftplib.FTP()
                    f.connect(HOST, self.server.port, timeout=10)
                    f.login("alice", "pw")
                i += 1
                for step in range(6):
                    try:
                        if step == 0:
                            lines = []
                            f.retrlines("LIST shared", lines.append)
                            seen.add("listings", "\n".join(lines))
                        elif step == 1:
                            data = io.BytesIO()
                            f.retrbinary("RETR shared/etc/passwd", data.write)
                            seen.add("retrieved", data.getvalue())
                        elif step == 2:
                            seen.add("sizes", f.size("shared/etc/passwd"))
                        elif step == 3:
                            f.storbinary(f"STOR shared/up-{k}-{i}", io.BytesIO(b"planted"))
                        elif step == 4:
                            f.mkd(f"shared/made-{k}-{i}")
                        else:
                            f.delete(f"shared/victim-{i % VICTIMS}")
                    except ftplib.Error:
                        pass  # refused while the name led out: what is wanted
            except (OSError, EOFError):
                if f is not None:
                    f.close()
                f = None
        if f is not None:
            f.close()

    def test_a_swapped_directory_never_leads_out_of_the_home(self):
        before = snapshot(self.outside)
        shared = os.path.join(self.home, "shared")
        swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, shared, self.swap, str(RACE_SECONDS), "200000000"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            seen = Observed()
            deadline = time.monotonic() + RACE_SECONDS
            clients = [threading.Thread(target=self.work, args=(k, deadline, seen)) for k in range(CLIENTS)]
            for c in clients:
                c.start()
            for c in clients:
                c.join(RACE_SECONDS + 30)
            self.assertFalse(any(c.is_alive() for c in clients))
            out, err = swapper.communicate(timeout=30)
        finally:
            if swapper.poll() is None:
                swapper.kill()
                swapper.wait(10)
        self.assertEqual(swapper.returncode, 0, err)
        self.assertGreater(int(out), 1000)  # the name really was swapped, again and again
        self.assertTrue(os.path.isdir(shared) and not os.path.islink(shared))
        # Nothing outside was written, made or deleted ...
        self.assertEqual(snapshot(self.outside), before)
        # ... read or listed ...
        self.assertNotIn(SECRET, seen.retrieved)
        self.assertNotIn(len(SECRET), seen.sizes)
        self.assertFalse([text for text in seen.listings if "OUTSIDE-MARKER" in text])
        # ... while the home's own directory served whenever it was in place.
        self.assertIn(INSIDE, seen.retrieved)
        self.assertIn(len(INSIDE), seen.sizes)
        self.assertTrue([text for text in seen.listings if "victim-" in text])


if __name__ == "__main__":
    unittest.main()
