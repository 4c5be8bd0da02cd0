"""Data connections, listings and transfers against the real tarnsvc with real clients: Python's ftplib
(passive and active), curl and lftp. Also the bad-input cases, each followed by a look at the server's
open descriptors."""
import ftplib
import io
import os
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import time
import unittest

import ftp_accounts
from harness import HOST, ServerProcess, wait_until

USER, PASSWORD = "tester", "secret"


def pattern(n):
    return bytes((i * 7 + i // 251) % 251 for i in range(n))


class TransferServer:
    """A running server with one user whose home is `root`."""

    def __init__(self, settings=None, **user_options):
        self.server = ServerProcess(settings)
        self.root = os.path.join(self.server.home, "root")
        ftp_accounts.add_user(self.server.home, USER, PASSWORD, self.root, **user_options)
        self.server.start()
        self.port = self.server.port

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def ftp(self, passive=True):
        f = ftplib.FTP()
        f.connect(HOST, self.port, timeout=15)
        f.login(USER, PASSWORD)
        f.set_pasv(passive)
        return f

    def url(self, name=""):
        return f"ftp://{USER}:{PASSWORD}@{HOST}:{self.port}/{name}"

    def close(self):
        self.server.close()


class ServerTest(unittest.TestCase):
    """One running server per class, its event lines logged."""

    @classmethod
    def setUpClass(cls):
        cls.s = TransferServer({"Savelog": 1})

    @classmethod
    def tearDownClass(cls):
        cls.s.close()


class FtplibTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = TransferServer()
        cls.folder = os.path.join(cls.s.server.home, "music")
        ftp_accounts.add_user_folder(cls.s.server.home, USER, "Music", cls.folder)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_round_trips_in_both_modes(self):
        body = pattern(300_000)
        for passive in (True, False):
            with self.s.ftp(passive) as f:
                name = f"rt-{passive}.bin"
                self.assertEqual(f.storbinary(f"STOR {name}", io.BytesIO(body)), "226 Transfer complete.")
                self.assertEqual(self.s.read(name), body)
                got = bytearray()
                self.assertEqual(f.retrbinary(f"RETR {name}", got.extend), "226 Transfer complete.")
                self.assertEqual(bytes(got), body)
                f.storbinary(f"APPE {name}", io.BytesIO(b"tail"))
                self.assertEqual(self.s.read(name), body + b"tail")

    def test_restart_points(self):
        body = pattern(1000)
        self.s.write("r.bin", body)
        with self.s.ftp() as f:
            for rest, expected in ((100, body[100:]), (1000, body), (5000, body), (-3, body)):
                got = bytearray()
                f.retrbinary("RETR r.bin", got.extend, rest=rest)
                self.assertEqual(bytes(got), expected, rest)
            got = bytearray()
            f.retrbinary("RETR r.bin", got.extend)  # the offset is forgotten after each transfer
            self.assertEqual(bytes(got), body)
            self.assertEqual(f.sendcmd("REST 99999999999999999999"), "350 Restarting at byte offset 9223372036854775807.")

    def test_stor_truncates_and_appe_needs_the_file(self):
        self.s.write("t.txt", b"a much longer old content")
        with self.s.ftp() as f:
            f.storbinary("STOR t.txt", io.BytesIO(b"new"))
            self.assertEqual(self.s.read("t.txt"), b"new")
            with self.assertRaises(ftplib.error_perm) as e:
                f.storbinary("APPE missing.txt", io.BytesIO(b"x"))
            self.assertEqual(str(e.exception), "550 Filename unavailable.")

    def test_listing_format_and_virtual_folders(self):
        now = time.time()
        self.s.write("list/size.txt", b"x" * 1234)
        for name, when in (("old.txt", now - 400 * 86400), ("hour.txt", now - 3600), ("future.txt", now + 30 * 86400)):
            self.s.write("list/" + name, b"")
            os.utime(self.s.path("list/" + name), (when, when))
        with self.s.ftp() as f:
            lines = []
            f.dir("list", lines.append)
            # The date column is 14 characters with a time and 13 with a year.
            by_name = {re.match(r".{38}( \w{3} \d\d (\d\d:\d\d|\d{4}) )(.*)$", l).group(3): l for l in lines}
            self.assertEqual(set(by_name), {"size.txt", "old.txt", "hour.txt", "future.txt"})
            self.assertEqual(by_name["size.txt"][:38], "-rwx------ 1 user group           1234")
            self.assertEqual(by_name["old.txt"][38:51], time.strftime(" %b %d %Y ", time.localtime(now - 400 * 86400)))
            self.assertEqual(by_name["hour.txt"][38:52], time.strftime(" %b %d %H:%M ", time.localtime(now - 3600)))
            self.assertRegex(by_name["future.txt"][38:52], r"^ \w{3} \d\d \d\d:\d\d $")
            root = []
            f.dir(root.append)
            self.assertEqual(root[-1][:38], "drwx------ 1 user group              0")
            self.assertTrue(root[-1].endswith(" Music"))
            self.assertIn("Music", f.nlst())
            self.assertNotIn("Music", f.nlst("list"))
            self.assertEqual(sorted(f.nlst("-la list")), ["future.txt", "hour.txt", "old.txt", "size.txt"])


class RealClientsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = TransferServer()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def run_client(self, *args):
        r = subprocess.run(args, capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        return r.stdout

    @unittest.skipUnless(shutil.which("curl"), "curl missing")
    def test_curl_passive_and_active(self):
        body = pattern(2_000_000)
        src = os.path.join(self.s.server.home, "src.bin")
        with open(src, "wb") as f:
            f.write(body)
        for extra in ([], ["-P", "-"]):
            name = "curl-active.bin" if extra else "curl-passive.bin"
            self.run_client("curl", "-sS", *extra, "-T", src, self.s.url(name))
            self.assertEqual(self.s.read(name), body)
            self.assertEqual(self.run_client("curl", "-sS", *extra, self.s.url(name)), body)
        listing = self.run_client("curl", "-sS", "-l", self.s.url()).decode().splitlines()
        self.assertIn("curl-active.bin", listing)

    @unittest.skipUnless(shutil.which("lftp"), "lftp missing")
    def test_lftp_mirror_both_ways(self):
        tree = os.path.join(self.s.server.home, "tree")
        for rel, size in (("a.txt", 10), ("sub/b.bin", 70_000), ("sub/deep/c.bin", 0)):
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "wb") as f:
                f.write(pattern(size))
        back = os.path.join(self.s.server.home, "back")
        for passive in ("on", "off"):
            script = (f"set ftp:passive-mode {passive}; set net:max-retries 1; set net:timeout 10; "
                      f"open -u {USER},{PASSWORD} ftp://{HOST}:{self.s.port}; "
                      f"mirror -R {tree} /up-{passive}; mirror /up-{passive} {back}-{passive}; bye")
            self.run_client("lftp", "-c", script)
            for rel in ("a.txt", "sub/b.bin", "sub/deep/c.bin"):
                with open(os.path.join(tree, rel), "rb") as f:
                    want = f.read()
                self.assertEqual(self.s.read(f"up-{passive}/{rel}"), want, rel)
                with open(os.path.join(f"{back}-{passive}", rel), "rb") as f:
                    self.assertEqual(f.read(), want, rel)


class LimitsTest(unittest.TestCase):
    @staticmethod
    def store_refused(f, command, data):
        """Sends an upload the server refuses after its 150 reply; returns the final reply."""
        f.voidcmd("TYPE I")
        conn = f.transfercmd(command)
        try:
            conn.sendall(data)
        except OSError:
            pass  # the server may already have dropped the data connection
        conn.close()
        return f.getline()

    def test_quota_rules(self):
        s = TransferServer(quota=100, used=100)
        try:
            home = s.server.home
            with s.ftp() as f:
                self.assertEqual(self.store_refused(f, "STOR full.bin", b"xyz"), "452 Disk quota exceeded. Transfer aborted.")
                self.assertFalse(os.path.exists(s.path("full.bin")))
            # 99.5 KB used: the first 4096-byte block reaches the quota and is not written; nothing stays, nothing
            # is billed (settled when the data connection was dropped, before the NOOP was answered).
            ftp_accounts.set_user(home, USER, used=99.5)
            with s.ftp() as f:
                self.assertEqual(self.store_refused(f, "STOR over.bin", pattern(100_000)),
                                 "452 Disk quota exceeded. Transfer aborted.")
                f.voidcmd("NOOP")
            self.assertFalse(os.path.exists(s.path("over.bin")))
            self.assertEqual(ftp_accounts.quota_used(home, USER), 99.5)
            # A started KB counts in full: 10000 bytes take 10 KB, and files under 1 KB are not free.
            ftp_accounts.set_user(home, USER, quota=1000, used=0)
            with s.ftp() as f:
                f.storbinary("STOR ten.bin", io.BytesIO(pattern(10000)))
                for i in range(3):
                    f.storbinary(f"STOR tiny{i}.bin", io.BytesIO(pattern(1023)))
                f.voidcmd("NOOP")
            self.assertTrue(wait_until(lambda: ftp_accounts.quota_used(home, USER) == 13, 5),
                            ftp_accounts.quota_used(home, USER))
        finally:
            s.close()

    def test_the_accounts_download_limit_paces_a_download(self):
        # The pacing itself is checked in-process; this checks that the account's limit reaches the transfer.
        s = TransferServer(download_speed=10)
        try:
            s.write("slow.bin", pattern(20 * 1024))
            with s.ftp() as f:
                start = time.monotonic()
                got = bytearray()
                f.retrbinary("RETR slow.bin", got.extend)
                took = time.monotonic() - start
            self.assertEqual(bytes(got), pattern(20 * 1024))
            # Two windows of one second each, the last one waited out too; slack above for a busy machine.
            self.assertGreater(took, 1.9)
            self.assertLess(took, 6.0)
        finally:
            s.close()

    def test_passive_range_skips_a_taken_port(self):
        taken = socket.socket()
        try:
            taken.bind(("0.0.0.0", 5000))
            taken.listen(1)
        except OSError:
            taken.close()
            self.skipTest("port 5000 is in use")
        s = TransferServer({"MinPort": 5000, "MaxPort": 5001})
        try:
            with s.ftp() as f:
                self.assertTrue(f.sendcmd("PASV").endswith(",19,137)."))
        finally:
            s.close()
            taken.close()

    def test_stopping_ends_a_pasv_that_waits_for_a_free_port(self):
        taken = socket.socket()
        taken.bind(("0.0.0.0", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        s = TransferServer({"MinPort": port, "MaxPort": port})
        f = s.ftp()
        try:
            f.putcmd("PASV")  # retries for 10 s while its only port is taken
            self.assertTrue(wait_until(lambda: ">> PASV" in s.server.stdout(), 5))
            start = time.monotonic()
            s.server.stop()
            # A connection thread that stops retrying at once lets the server stop within its own wait
            # for threads (5 s); slack for a busy machine.
            self.assertLess(time.monotonic() - start, 4.0)
        finally:
            f.close()
            s.close()
            taken.close()


class BadInputTest(unittest.TestCase):
    """Each case leaves the control connection usable and leaks no descriptor or thread."""

    @classmethod
    def setUpClass(cls):
        cls.s = TransferServer()
        cls.s.write("big.bin", pattern(8 * 1024 * 1024))
        cls.s.write("small.txt", b"small")

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def setUp(self):
        self.fds = self.s.server.fd_count()
        self.threads = self.s.server.thread_count()

    def tearDown(self):
        # Every connection of the case has been closed by now; its thread and descriptors must go too.
        self.assertTrue(wait_until(lambda: self.s.server.fd_count() == self.fds, 5),
                        f"{self.s.server.fd_count()} descriptors open, {self.fds} before")
        self.assertTrue(wait_until(lambda: self.s.server.thread_count() == self.threads, 5))

    def passive(self, f):
        host, port = ftplib.parse227(f.sendcmd("PASV"))
        return socket.create_connection((host, port), timeout=10)

    def running_download(self, f):
        """Starts RETR big.bin and takes its first bytes; returns the data socket and those bytes."""
        data = self.passive(f)
        f.sendcmd("TYPE I")
        self.assertTrue(f.sendcmd("RETR big.bin").startswith("150"))
        return data, data.recv(1000)

    def test_silent_peer_on_an_upload_then_abor(self):
        with self.s.ftp() as f:
            data = self.passive(f)
            self.assertEqual(f.sendcmd("STOR quiet.bin"), "150 File status okay; about to open data connection.")
            self.assertEqual(f.sendcmd("NOOP"), "200 NOOP command successful.")
            f.putcmd("ABOR")
            self.assertEqual(f.getline(), "426 Data connection closed.")
            self.assertEqual(f.getline(), "226 ABOR command successful.")
            data.close()

    def test_early_close_of_a_download(self):
        with self.s.ftp() as f:
            data, _ = self.running_download(f)
            data.close()
            self.assertEqual(f.getline(), "426 Connection closed.")
            self.assertEqual(f.sendcmd("NOOP"), "200 NOOP command successful.")

    def test_client_that_never_connects(self):
        with self.s.ftp() as f:
            f.sendcmd("PASV")
            start = time.monotonic()
            self.assertTrue(f.sendcmd("RETR small.txt").startswith("150"))
            f.sock.settimeout(15)
            self.assertEqual(f.getline(), "425 Can't open data connection.")
            self.assertGreater(time.monotonic() - start, 9)
            self.assertEqual(f.sendcmd("NOOP"), "200 NOOP command successful.")

    def test_abor_mid_download_and_a_second_transfer_command(self):
        with self.s.ftp() as f:
            data, _ = self.running_download(f)  # the client reads no further, so it stays running
            with self.assertRaises(ftplib.error_temp) as e:
                f.sendcmd("LIST")
            self.assertEqual(str(e.exception), "425 Can't build data connection.")
            f.putcmd("ABOR")
            self.assertEqual(f.getline(), "426 Data connection closed.")
            self.assertEqual(f.getline(), "226 ABOR command successful.")
            data.close()
            self.assertEqual(f.sendcmd("ABOR"), "226 ABOR command successful.")
            got = bytearray()
            f.retrbinary("RETR small.txt", got.extend)
            self.assertEqual(bytes(got), b"small")

    def test_data_endpoint_commands_while_a_download_runs_leave_it_running(self):
        with self.s.ftp() as f:
            data, first = self.running_download(f)
            got = bytearray(first)
            for command in ("PASV", "PORT 127,0,0,1,4,1", "EPSV", "EPRT |1|127.0.0.1|1025|"):
                with self.assertRaises(ftplib.error_temp) as e:
                    f.sendcmd(command)
                self.assertEqual(str(e.exception), "425 Can't build data connection.")
            while chunk := data.recv(1 << 20):
                got += chunk
            data.close()
            self.assertEqual(f.getline(), "226 Transfer complete.")
            self.assertEqual(bytes(got), pattern(8 * 1024 * 1024))

    def test_control_lines_during_the_wait_for_a_data_connection(self):
        # Nobody connects to the passive port: each case ends the 10-second wait at once.
        with self.s.ftp() as f:
            f.sock.settimeout(5)
            f.sendcmd("PASV")
            f.putcmd("RETR small.txt")
            self.assertTrue(f.getline().startswith("150"))
            f.putcmd("NOOP")
            f.putcmd("SYST")
            f.putcmd("ABOR")
            self.assertEqual([f.getline() for _ in range(4)],
                             ["426 Data connection closed.", "200 NOOP command successful.", "215 UNIX Type: L8",
                              "226 ABOR command successful."])
            f.sendcmd("PASV")
            f.putcmd("STOR never.bin")
            self.assertTrue(f.getline().startswith("150"))
            f.putcmd("QUIT")
            self.assertEqual(f.getline(), "426 Data connection closed.")
            self.assertEqual(f.getline(), "220 GoodBye")
            self.assertEqual(f.sock.recv(10), b"")

    def test_lines_sent_with_the_transfer_command_in_one_segment(self):
        # ABOR behind the command in the same segment ends the wait before it begins; a NUL cuts only its line.
        with self.s.ftp() as f:
            f.sock.settimeout(5)
            f.sendcmd("PASV")
            f.sock.sendall(b"RETR small.txt\r\nNOOP\x00junk\r\nSYST\r\nABOR\r\n")
            self.assertTrue(f.getline().startswith("150"))
            self.assertEqual([f.getline() for _ in range(4)],
                             ["426 Data connection closed.", "200 NOOP command successful.", "215 UNIX Type: L8",
                              "226 ABOR command successful."])
            f.sendcmd("PASV")
            f.sock.sendall(b"STOR never.bin\r\nQUIT\r\n")
            self.assertEqual([f.getline() for _ in range(3)][1:], ["426 Data connection closed.", "220 GoodBye"])
            self.assertEqual(f.sock.recv(10), b"")
        self.assertFalse(os.path.exists(self.s.path("never.bin")))

    def test_a_client_gone_during_the_wait_ends_its_thread_at_once(self):
        f = self.s.ftp()
        f.sendcmd("PASV")
        self.assertTrue(f.sendcmd("RETR small.txt").startswith("150"))
        f.close()
        limit = 3.0 if os.environ.get("TARNWICK_SANITIZED") == "1" else 1.0
        self.assertTrue(wait_until(lambda: self.s.server.thread_count() == self.threads, limit))

    def cpu_seconds(self):
        with open(f"/proc/{self.s.server.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def test_passive_connection_without_a_descriptor_left(self):
        pid = self.s.server.proc.pid
        with self.s.ftp() as f:
            host, port = ftplib.parse227(f.sendcmd("PASV"))
            data = socket.socket()
            data.settimeout(10)
            limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            used = {int(n) for n in os.listdir(f"/proc/{pid}/fd")}
            lowest_free = min(set(range(max(used) + 2)) - used)
            try:
                resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free, limits[1]))
                try:
                    data.connect((host, port))
                except ConnectionResetError:
                    pass  # the listener, out of descriptors, has closed already and reset what it queued
                # The server cannot take the connection; it must not keep trying while nothing changes.
                cpu = self.cpu_seconds()
                time.sleep(1.0)
                self.assertLess(self.cpu_seconds() - cpu, 0.3)
            finally:
                resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
            self.assertTrue(f.sendcmd("RETR small.txt").startswith("150"))
            self.assertEqual(f.getline(), "425 Can't build data connection.")
            data.close()
            got = bytearray()
            f.retrbinary("RETR small.txt", got.extend)
            self.assertEqual(bytes(got), b"small")

    def test_data_connection_reset_before_it_is_taken(self):
        proc = self.s.server.proc
        refused = self.s.server.stdout().count("Refused data connection")
        with self.s.ftp() as f:
            host, port = ftplib.parse227(f.sendcmd("PASV"))
            # Stopped, the server cannot take the connection before the client resets it.
            try:
                self.s.server.pause()
                early = socket.create_connection((host, port), timeout=10)
                early.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                early.close()
            finally:
                proc.send_signal(signal.SIGCONT)
            # It is closed without a word and the wait goes on for the client's own connection.
            data = socket.create_connection((host, port), timeout=10)
            self.assertTrue(f.sendcmd("RETR small.txt").startswith("150"))
            self.assertEqual(data.recv(100), b"small")
            data.close()
            self.assertEqual(f.getline(), "226 Transfer complete.")
        self.assertEqual(self.s.server.stdout().count("Refused data connection"), refused)

    def test_rest_negative_and_huge(self):
        with self.s.ftp() as f:
            self.assertEqual(f.sendcmd("REST -1"), "350 Restarting at byte offset -1.")
            got = bytearray()
            f.retrbinary("RETR small.txt", got.extend)
            self.assertEqual(bytes(got), b"small")
            f.sendcmd("REST 184467440737095516160")
            got = bytearray()
            f.retrbinary("RETR small.txt", got.extend)
            self.assertEqual(bytes(got), b"small")

    def test_bounce_and_theft_are_refused(self):
        with self.s.ftp() as f:
            for port in ("127,0,0,1,0,25", "192,168,1,1,20,0", "127,0,0,1,x,1"):
                with self.assertRaises(ftplib.error_perm) as e:
                    f.sendcmd("PORT " + port)
                self.assertEqual(str(e.exception), "504 Command not implemented for that parameter.")
            host, port = ftplib.parse227(f.sendcmd("PASV"))
            thief = socket.socket()
            thief.bind(("127.0.0.2", 0))
            thief.settimeout(5)
            thief.connect((host, port))
            self.assertEqual(thief.recv(10), b"")  # closed by the server at once
            thief.close()
            data = socket.create_connection((host, port), timeout=10)
            self.assertTrue(f.sendcmd("RETR small.txt").startswith("150"))
            self.assertEqual(data.recv(100), b"small")
            data.close()
            self.assertEqual(f.getline(), "226 Transfer complete.")


if __name__ == "__main__":
    unittest.main()
