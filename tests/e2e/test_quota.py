"""What uploads bill to quota_current against the real tarnsvc: only what stays on disk, however the upload
ends (refused, cut, the client killed, parallel cuts, the server stopped), and the 425 of a data connection
that fails, after which curl goes on with the same control connection."""
import ftplib
import io
import os
import re
import socket
import struct
import subprocess
import sys
import threading
import unittest

import ftp_accounts
from harness import HOST, wait_until
from test_data_safety import hidden_files, start_upload
from test_ftps import FtpsServer
from test_transfers import PASSWORD, USER, TransferServer, pattern

REFUSED = "452 Disk quota exceeded. Transfer aborted."
CUT = "426 Connection error."


def kb(size):
    """A file's KB as the quota counts them: every started KB in full."""
    return (size + 1023) // 1024


def reset(data):
    """Closes a data socket with a reset instead of an orderly end."""
    data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    data.close()


def start_in_place(f, command, first, restart=None):
    """Starts APPE (or REST `restart` + STOR) on a passive connection and sends `first`; returns the socket."""
    f.voidcmd("TYPE I")
    host, port = ftplib.parse227(f.sendcmd("PASV"))
    data = socket.create_connection((host, port), timeout=10)
    if restart is not None:
        f.sendcmd(f"REST {restart}")
    f.putcmd(command)
    assert f.getline().startswith("150")
    data.sendall(first)
    return data


# A client process that logs in, starts an upload, sends 256 KB and waits for a reply that does not come
# until it is killed. Its data socket resets when the process dies: the kernel closes it without an end.
KILLED_CLIENT = """
import ftplib, socket, struct, sys
f = ftplib.FTP()
f.connect("127.0.0.1", int(sys.argv[1]), timeout=15)
f.login(sys.argv[2], sys.argv[3])
f.voidcmd("TYPE I")
data = f.transfercmd("STOR " + sys.argv[4])
data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
data.sendall(bytes(256 * 1024))
f.sock.recv(1)
"""


class QuotaCase(unittest.TestCase):
    def setUp(self):
        self.s = TransferServer({"maxusers": 100}, quota=100_000)
        self.addCleanup(self.s.close)
        self.home = self.s.server.home

    def used(self):
        return ftp_accounts.quota_used(self.home, USER)

    def rescan(self):
        """Sets quota_current to what the home stores, by sdbtool; returns that figure in KB."""
        out = ftp_accounts.sdbtool("user", "rescan-quota", self.home, USER)
        return float(re.search(r"-> (\d+) KB", out).group(1))

    def assert_used_is_what_is_stored(self):
        used = self.used()
        self.assertEqual(used, self.rescan())

    def wait_sessions_gone(self, descriptors):
        """Waits until the server holds no more descriptors than `descriptors`: every session has ended,
        and with it its settlement."""
        self.assertTrue(wait_until(lambda: self.s.server.fd_count() <= descriptors, 15), self.s.server.fd_count())


class EndsOfAnUploadTest(QuotaCase):
    def test_refused_cut_and_killed_uploads_leave_the_used_quota(self):
        ftp_accounts.set_user(self.home, USER, quota=100, used=50)
        with self.s.ftp() as f:
            data = start_upload(f, "refused.bin", b"")
            try:
                data.sendall(pattern(200 * 1024))
            except OSError:
                pass  # the server may already have dropped the data connection
            data.close()
            self.assertEqual(f.getline(), REFUSED)
            f.voidcmd("NOOP")  # the drop, and its settlement, came before this answer
        self.assertFalse(os.path.exists(self.s.path("refused.bin")))
        self.assertEqual(self.used(), 50)

        ftp_accounts.set_user(self.home, USER, quota=1000, used=50)
        with self.s.ftp() as f:
            data = start_upload(f, "cut.bin", pattern(40 * 1024))
            self.assertTrue(wait_until(lambda: [p for p in hidden_files(self.s.root)
                                                if os.path.getsize(p) >= 40 * 1024], 10))
            reset(data)
            self.assertEqual(f.getline(), CUT)
            f.voidcmd("NOOP")
        self.assertFalse(os.path.exists(self.s.path("cut.bin")))
        self.assertEqual(self.used(), 50)

        descriptors = self.s.server.fd_count()
        client = subprocess.Popen([sys.executable, "-c", KILLED_CLIENT, str(self.s.port), USER, PASSWORD, "killed.bin"])
        try:
            self.assertTrue(wait_until(lambda: [p for p in hidden_files(self.s.root)
                                                if os.path.getsize(p) >= 256 * 1024], 10))
        finally:
            client.kill()
            client.wait(10)
        self.wait_sessions_gone(descriptors)
        self.assertFalse(os.path.exists(self.s.path("killed.bin")))
        self.assertEqual(hidden_files(self.s.root), [])
        self.assertEqual(self.used(), 50)

    def test_cut_in_place_uploads_bill_the_growth_of_the_file(self):
        self.s.write("base.bin", pattern(10 * 1024))
        self.assertEqual(self.rescan(), 10)
        with self.s.ftp() as f:
            data = start_in_place(f, "APPE base.bin", pattern(30_000))
            self.assertTrue(wait_until(lambda: os.path.getsize(self.s.path("base.bin")) == 10 * 1024 + 30_000, 10))
            reset(data)
            self.assertEqual(f.getline(), CUT)
            f.voidcmd("NOOP")
            self.assertEqual(self.used(), kb(10 * 1024 + 30_000))
            # Resumed at 5000 and cut after 2000 more: the file shrank from 40 KB to 7 KB.
            data = start_in_place(f, "STOR base.bin", pattern(2000), restart=5000)
            self.assertTrue(wait_until(lambda: os.path.getsize(self.s.path("base.bin")) == 7000, 10))
            reset(data)
            self.assertEqual(f.getline(), CUT)
            f.voidcmd("NOOP")
            self.assertEqual(self.used(), kb(7000))
        self.assert_used_is_what_is_stored()

    def test_abor_and_quit_mid_upload_bill_what_stayed(self):
        self.s.write("base.bin", pattern(2048))
        self.assertEqual(self.rescan(), 2)
        with self.s.ftp() as f:
            data = start_upload(f, "aborted.bin", pattern(40 * 1024))
            self.assertTrue(wait_until(lambda: [p for p in hidden_files(self.s.root)
                                                if os.path.getsize(p) >= 40 * 1024], 10))
            f.putcmd("ABOR")
            self.assertEqual(f.getline(), "426 Data connection closed.")
            self.assertEqual(f.getline(), "226 ABOR command successful.")
            data.close()
        self.assertEqual(self.used(), 2)
        descriptors = self.s.server.fd_count()
        f = self.s.ftp()
        data = start_in_place(f, "APPE base.bin", pattern(5000))
        self.assertTrue(wait_until(lambda: os.path.getsize(self.s.path("base.bin")) == 7048, 10))
        f.putcmd("QUIT")
        f.close()
        data.close()
        self.wait_sessions_gone(descriptors)
        self.assertFalse(os.path.exists(self.s.path("aborted.bin")))
        self.assertEqual(self.used(), kb(7048))
        self.assert_used_is_what_is_stored()


class ManyEndsTest(QuotaCase):
    COUNT = 20

    def test_parallel_uploads_half_of_them_cut_bill_what_stayed(self):
        for i in range(self.COUNT):
            self.s.write(f"a{i}.bin", pattern(3000))
        self.assertEqual(self.rescan(), 3 * self.COUNT)
        results = []

        def upload(i):
            with self.s.ftp() as f:
                if i % 2 == 0:  # whole: a new file, or a smaller or larger one over an existing one
                    name = f"a{i}.bin" if i % 4 == 0 else f"new{i}.bin"
                    results.append(f.storbinary("STOR " + name, io.BytesIO(pattern(1000 + i * 1500))))
                elif i % 4 == 1:  # cut while appending: what came in stays
                    data = start_in_place(f, f"APPE a{i}.bin", pattern(20_000 + i))
                    wait_until(lambda: os.path.getsize(self.s.path(f"a{i}.bin")) == 23_000 + i, 10)
                    reset(data)
                    results.append(f.getline())
                else:  # cut while writing a replacement: nothing stays
                    data = start_upload(f, f"a{i}.bin", pattern(50_000))
                    reset(data)
                    results.append(f.getline())
                f.voidcmd("NOOP")

        threads = [threading.Thread(target=upload, args=(i,)) for i in range(self.COUNT)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(len(results), self.COUNT, results)
        self.assertEqual(results.count("226 Transfer complete."), self.COUNT // 2, results)
        for i in range(1, self.COUNT, 4):
            self.assertEqual(os.path.getsize(self.s.path(f"a{i}.bin")), 23_000 + i)
        for i in range(3, self.COUNT, 4):
            self.assertEqual(os.path.getsize(self.s.path(f"a{i}.bin")), 3000)
        self.assert_used_is_what_is_stored()

    @staticmethod
    def send_until_refused(data):
        block = pattern(16 * 1024)
        try:
            for _ in range(200):
                data.sendall(block)
        except OSError:
            pass  # the server has gone

    def test_the_server_stopped_mid_upload_bills_what_stayed(self):
        for i in range(self.COUNT // 2):
            self.s.write(f"a{i}.bin", pattern(3000))
        self.assertEqual(self.rescan(), 3 * self.COUNT // 2)
        sessions, sockets = [], []
        try:
            for i in range(self.COUNT):
                f = self.s.ftp()
                sessions.append(f)
                if i % 2:
                    sockets.append(start_upload(f, f"new{i}.bin", pattern(100_000)))
                else:
                    sockets.append(start_in_place(f, f"APPE a{i // 2}.bin", pattern(20_000)))
            self.assertTrue(wait_until(
                lambda: all(os.path.getsize(self.s.path(f"a{i}.bin")) == 23_000 for i in range(self.COUNT // 2)), 15))
            self.assertTrue(wait_until(lambda: len([p for p in hidden_files(self.s.root)
                                                    if os.path.getsize(p) >= 100_000]) == self.COUNT // 2, 15))
            # Every upload goes on sending (at most 3 MB) while the server stops.
            senders = [threading.Thread(target=self.send_until_refused, args=(c,)) for c in sockets]
            for t in senders:
                t.start()
            self.s.server.stop()  # SIGTERM, and the wait for the process to end
            for t in senders:
                t.join(30)
        finally:
            for c in sockets + sessions:
                c.close()
        self.assert_used_is_what_is_stored()


class FailedDataConnectionTest(unittest.TestCase):
    def test_curl_gets_425_and_goes_on_with_the_same_control_connection(self):
        s = FtpsServer()
        self.addCleanup(s.close)
        s.write("data.bin", pattern(5000))
        os.remove(os.path.join(s.server.home, "ServerKey.pem"))  # protected data connections cannot start
        url = f"ftps://{USER}:{PASSWORD}@{HOST}:{s.port}/data.bin"
        run = subprocess.run(["curl", "-v", "-k", "--max-time", "30", url, "--next", "-v", "-k", "-I", url],
                             capture_output=True, text=True, timeout=60)
        self.assertIn("< 425 Can't listen on data socket.", run.stderr)
        self.assertNotIn("< 421", run.stderr)
        self.assertRegex(run.stderr, r"Re-using existing connection")
        self.assertIn("Content-Length: 5000", run.stdout)


if __name__ == "__main__":
    unittest.main()
