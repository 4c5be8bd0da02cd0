"""Speed limits are the account's: parallel transfers of one user share its limit (one budget per account and
direction), while another user has a budget of its own. Rates are measured with real ftplib transfers over
loopback, in a fixed window of the test's clock."""
import ftplib
import os
import threading
import time
import unittest

import ftp_accounts
from harness import HOST, wait_until
from test_transfers import PASSWORD, USER, TransferServer, pattern

KB = 1024
SIZE = 4 << 20  # far more than any connection moves at these limits while it is measured
MEASURED = 5.0


class Transfers:
    """Parallel transfers of one user, each on its own control connection, running until stopped."""

    def __init__(self, server, user, names, upload):
        self.server, self.user, self.upload = server, user, upload
        self.moved = 0
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        self.errors = []
        self.threads = [threading.Thread(target=self.run, args=(name,)) for name in names]
        for t in self.threads:
            t.start()

    def run(self, name):
        try:
            f = ftplib.FTP()
            f.connect(HOST, self.server.port, timeout=15)
            f.login(self.user, PASSWORD)
            f.voidcmd("TYPE I")
            with f, f.transfercmd(("APPE " if self.upload else "RETR ") + name) as conn:
                block = pattern(4096)
                while not self.stopped.is_set():
                    if self.upload:
                        conn.sendall(block)
                        n = len(block)
                    else:
                        n = len(conn.recv(65536))
                        if not n:
                            raise AssertionError(f"{name} ended while measured")
                    with self.lock:
                        self.moved += n
        except Exception as e:  # reported by stop()
            if not self.stopped.is_set():
                self.errors.append(e)

    def sent(self):
        with self.lock:
            return self.moved

    def stop(self):
        self.stopped.set()
        for t in self.threads:
            t.join(20)
        return self.errors


def measure(progresses):
    """Bytes that each progress() counter gains in MEASURED seconds. A budget grants its bytes at the start of
    each of its one-second windows, the first one opening with the first byte; the measured window starts half
    a second after that, so it holds exactly five window starts."""
    starts = [None] * len(progresses)

    def started():
        now = time.monotonic()
        for i, progress in enumerate(progresses):
            if starts[i] is None and progress() > 0:
                starts[i] = now
        return all(starts)

    assert wait_until(started, 20, interval=0.01), "a transfer never started"
    samples = sorted([(t + 0.5, i, 0) for i, t in enumerate(starts)] +
                     [(t + 0.5 + MEASURED, i, 1) for i, t in enumerate(starts)])
    seen = [[0, 0] for _ in progresses]
    for when, i, which in samples:
        time.sleep(max(0.0, when - time.monotonic()))  # the measurement's own clock
        seen[i][which] = progresses[i]()
    return [end - begin for begin, end in seen]


class SharedLimitTest(unittest.TestCase):
    def assert_rate(self, moved, limit_kb):
        expected = limit_kb * KB * MEASURED
        self.assertLess(abs(moved - expected), expected * 0.1, f"{moved} bytes in {MEASURED} s, limit {limit_kb} KB/s")

    def test_parallel_downloads_of_one_user_share_its_limit(self):
        s = TransferServer(download_speed=64)
        try:
            names = [f"big{i}.bin" for i in range(5)]
            for name in names:
                s.write(name, pattern(SIZE))
            downloads = Transfers(s, USER, names, upload=False)
            try:
                [moved] = measure([downloads.sent])
            finally:
                self.assertEqual(downloads.stop(), [])
            self.assert_rate(moved, 64)
        finally:
            s.close()

    def test_parallel_uploads_of_one_user_share_its_limit(self):
        s = TransferServer(upload_speed=64)
        try:
            names = [f"up{i}.bin" for i in range(5)]
            for name in names:
                s.write(name, b"")
            uploads = Transfers(s, USER, names, upload=True)
            try:
                # What the server has taken, as the files hold it: the client's count runs ahead by what the
                # socket buffers hold.
                [stored] = measure([lambda: sum(os.path.getsize(s.path(n)) for n in names)])
            finally:
                self.assertEqual(uploads.stop(), [])
            self.assert_rate(stored, 64)
        finally:
            s.close()

    def test_each_user_has_a_limit_of_its_own(self):
        s = TransferServer(download_speed=64)
        try:
            other_root = os.path.join(s.server.home, "other")
            ftp_accounts.add_user(s.server.home, "other", PASSWORD, other_root, download_speed=32)
            names = [f"big{i}.bin" for i in range(3)]
            for name in names:
                s.write(name, pattern(SIZE))
                with open(os.path.join(other_root, name), "wb") as f:
                    f.write(pattern(SIZE))
            mine = Transfers(s, USER, names, upload=False)
            other = Transfers(s, "other", names, upload=False)
            try:
                moved = measure([mine.sent, other.sent])
            finally:
                self.assertEqual(mine.stop() + other.stop(), [])
            self.assert_rate(moved[0], 64)
            self.assert_rate(moved[1], 32)
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
