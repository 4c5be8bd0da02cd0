"""How an upload's data connection ends decides whether it replaced the file: over TLS only the client's
close alert completes it; a reset, a TCP close without the alert, an alert record in the clear and a
handshake that stops half way are "426 Connection error." (or a failed data connection) and keep the
old file and bill nothing, exactly as a reset over plain FTP does. Every client that scripts/setup installs still
completes its FTPS uploads."""
import ftplib
import os
import random
import shutil
import socket
import ssl
import struct
import subprocess
import unittest

import ftp_accounts
from harness import HOST, wait_until
from test_ftps import CLIENT_CONTEXT, FtpsServer, ImplicitFtp, curl, lftp, pattern

HIDDEN = ".tarnwick-upload."
OLD = pattern(500_000)[::-1]
CUT = "426 Connection error."
CUTS = 50
# Records that are no part of the session: a fatal handshake_failure alert and a close_notify, both in
# the clear after the handshake, which nobody but the client could have encrypted.
CLEAR_ALERT = b"\x15\x03\x03\x00\x02\x02\x28"
CLEAR_CLOSE_NOTIFY = b"\x15\x03\x03\x00\x02\x01\x00"


def tls_context(version):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.minimum_version = context.maximum_version = version
    return context


def reset(sock):
    """Closes with RST; an SSL socket closes its TCP connection without the close alert."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Endings(unittest.TestCase):
    user_options = {}

    @classmethod
    def setUpClass(cls):
        cls.s = FtpsServer(**cls.user_options)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def setUp(self):
        self.s.write("keep.bin", OLD)

    def hidden(self):
        return [n for n in os.listdir(self.s.root) if n.startswith(HIDDEN)]

    def assert_old_file_kept(self, cut):
        # The server ends a cut upload by removing its hidden file: once it is gone the outcome is final.
        self.assertTrue(wait_until(lambda: not self.hidden(), 10), (cut, self.hidden()))
        with open(self.s.path("keep.bin"), "rb") as f:
            self.assertTrue(f.read() == OLD, f"keep.bin replaced by {cut}")

    def session(self, tls, context=CLIENT_CONTEXT):
        if tls:
            f = ImplicitFtp(context=context, timeout=15)
            f.connect(HOST, self.s.port)
            f.login("tester", "secret")
            f.prot_p()
        else:
            f = ftplib.FTP(timeout=15)
            f.connect(HOST, self.s.server.port)
            f.login("tester", "secret")
        return f

    def start_upload(self, f, name, tls, context=CLIENT_CONTEXT):
        """STOR `name` on a passive connection; returns the (TLS) data socket once the server has taken it
        and opened the upload's hidden file (a connection reset before it is taken is no upload at all)."""
        host, port = ftplib.parse227(f.sendcmd("PASV"))
        raw = socket.create_connection((host, port), timeout=10)
        f.putcmd("STOR " + name)
        self.assertTrue(f.getline().startswith("150 "))
        data = context.wrap_socket(raw, server_hostname=HOST) if tls else raw
        self.assertTrue(wait_until(self.hidden, 10, interval=0.002), "no upload started")
        return data


class CutUploadTest(Endings):
    """Uploads cut after 1 to 400 KB never replace the old file, never leave a partial file under their
    name and are never called complete, over TLS as over plain FTP."""

    def test_reset_of_the_data_connection_alone(self):
        rng = random.Random(17)
        for tls in (True, False):
            self.s.write("keep.bin", OLD)
            with self.subTest(tls=tls), self.session(tls) as f:
                for i in range(CUTS):
                    # Every fifth cut goes to a new name, which must not appear.
                    name = f"new-{tls}-{i}.bin" if i % 5 == 4 else "keep.bin"
                    size = rng.randint(1_000, 400_000)
                    data = self.start_upload(f, name, tls)
                    data.sendall(pattern(size))
                    reset(data)
                    self.assertEqual(f.getline(), CUT, (tls, i, size))
                    self.assert_old_file_kept((tls, i, size))
                    if name != "keep.bin":
                        self.assertFalse(os.path.exists(self.s.path(name)), name)
                self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")

    def test_reset_of_both_connections(self):
        rng = random.Random(29)
        for tls in (True, False):
            self.s.write("keep.bin", OLD)
            with self.subTest(tls=tls):
                for i in range(CUTS):
                    size = rng.randint(1_000, 400_000)
                    f = self.session(tls)
                    data = self.start_upload(f, "keep.bin", tls)
                    data.sendall(pattern(size))
                    reset(data)
                    reset(f.sock)
                    f.close()
                    self.assert_old_file_kept((tls, i, size))
        self.assertEqual(self.s.server.log_count("226 Transfer complete."), 0)


class TlsEndingsTest(Endings):
    """Every other way a TLS data connection can end, under TLS 1.2 and 1.3."""

    VERSIONS = (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3)
    user_options = {"quota": 10**6}

    def cut(self, end, version):
        """Sends part of an upload over keep.bin, ends the data connection with `end` and returns the reply."""
        context = tls_context(version)
        with self.session(True, context) as f:
            data = self.start_upload(f, "keep.bin", True, context)
            self.assertEqual(data.version(), {ssl.TLSVersion.TLSv1_2: "TLSv1.2", ssl.TLSVersion.TLSv1_3: "TLSv1.3"}[version])
            data.sendall(pattern(123_456))
            end(data)
            reply = f.getline()
            data.close()
            self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")
        return reply

    def test_a_close_without_the_alert_or_with_an_alert_in_the_clear_is_a_cut(self):
        # The plain socket's own calls write beside the TLS layer; an SSL socket's close sends no alert.
        ends = {
            "close": lambda data: data.close(),
            "half close": lambda data: data.shutdown(socket.SHUT_WR),
            "alert": lambda data: socket.socket.sendall(data, CLEAR_ALERT),
            "close_notify in the clear": lambda data: socket.socket.sendall(data, CLEAR_CLOSE_NOTIFY),
        }
        used = ftp_accounts.quota_used(self.s.server.home, "tester")
        for version in self.VERSIONS:
            for name, end in ends.items():
                self.s.write("keep.bin", OLD)
                with self.subTest(version=version, end=name):
                    self.assertEqual(self.cut(end, version), CUT)
                    self.assert_old_file_kept(name)
        # Settled when the data connection was dropped, before the NOOP was answered.
        self.assertEqual(ftp_accounts.quota_used(self.s.server.home, "tester"), used)

    def test_the_close_alert_completes_the_upload(self):
        for version in self.VERSIONS:
            with self.subTest(version=version):
                self.assertEqual(self.cut(lambda data: data.unwrap(), version), "226 Transfer complete.")
                with open(self.s.path("keep.bin"), "rb") as f:
                    self.assertEqual(f.read(), pattern(123_456))
                self.s.write("keep.bin", OLD)

    def test_a_handshake_that_stops_half_way(self):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        with self.assertRaises(ssl.SSLWantReadError):
            CLIENT_CONTEXT.wrap_bio(incoming, outgoing, server_hostname=HOST).do_handshake()
        hello = outgoing.read()
        with self.session(True) as f:
            for end in (lambda raw: raw.close(), reset):
                host, port = ftplib.parse227(f.sendcmd("PASV"))
                raw = socket.create_connection((host, port), timeout=10)
                raw.sendall(hello[: len(hello) // 2])
                f.putcmd("STOR keep.bin")
                self.assertTrue(f.getline().startswith("150 "))
                end(raw)
                self.assertEqual(f.getline(), "425 Can't open data connection.")
                self.assert_old_file_kept("handshake")
            self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")


class InteropUploadTest(Endings):
    """Each installed client's complete FTPS upload over an existing file answers 226 and stores it whole."""

    def setUp(self):
        super().setUp()
        self.body = pattern(700_000)
        self.source = os.path.join(self.s.server.home, "source.bin")
        with open(self.source, "wb") as f:
            f.write(self.body)
        self.cuts = self.s.server.log_count(CUT)

    def assert_stored(self, result=None):
        if result is not None:
            self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.s.path("keep.bin"), "rb") as f:
            self.assertEqual(f.read(), self.body)
        self.assertEqual(self.s.server.log_count(CUT), self.cuts)

    def test_ftplib(self):
        with self.session(True) as f, open(self.source, "rb") as source:
            self.assertEqual(f.storbinary("STOR keep.bin", source), "226 Transfer complete.")
        self.assert_stored()

    def test_curl(self):
        self.assert_stored(curl("-T", self.source, self.s.url("keep.bin")))

    def test_lftp(self):
        for passive in ("yes", "no"):
            with self.subTest(passive=passive):
                self.s.write("keep.bin", OLD)
                self.assert_stored(lftp(f"set ftp:passive-mode {passive}; open {self.s.url()}; "
                                        f"put {self.source} -o keep.bin"))

    @unittest.skipUnless(shutil.which("rclone"), "rclone missing")
    def test_rclone(self):
        obscured = subprocess.run(["rclone", "obscure", "secret"], capture_output=True, timeout=30).stdout
        env = dict(os.environ, RCLONE_CONFIG="/dev/null", RCLONE_FTP_HOST=HOST, RCLONE_FTP_PORT=str(self.s.port),
                   RCLONE_FTP_USER="tester", RCLONE_FTP_PASS=obscured.decode().strip(), RCLONE_FTP_TLS="true",
                   RCLONE_FTP_NO_CHECK_CERTIFICATE="true")
        self.assert_stored(subprocess.run(["rclone", "--retries", "1", "--low-level-retries", "1", "copyto",
                                           self.source, ":ftp:keep.bin"], env=env, capture_output=True, timeout=60))


if __name__ == "__main__":
    unittest.main()
