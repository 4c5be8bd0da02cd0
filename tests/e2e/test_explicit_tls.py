"""Explicit FTPS on the plain listener (AUTH TLS, PBSZ, PROT) against the real tarnsvc with real clients
(lftp, curl, Python's ftplib), the ForceTLS policy, and clients that misbehave around the switch to TLS."""
import ftplib
import io
import os
import socket
import ssl
import subprocess
import time
import unittest

import ftp_accounts
from harness import HOST, Client, ServerProcess
from test_ftps import CLIENT_CONTEXT, certificates, pasv_port, pattern

USER, PASSWORD = "tester", "c1ear-never"
AUTH_OK = "234 AUTH TLS successful."
LOGIN_NEEDS_TLS = "530 Login requires TLS: use AUTH TLS."
DATA_NEEDS_TLS = "521 Data connections must be protected: use PROT P."


def verifying_context():
    """A client context that checks the server's certificate against the test CA."""
    return ssl.create_default_context(cafile=os.path.join(certificates().dir, "ca.pem"))


class ExplicitServer:
    """The plain listener only (no TLS listener), with or without the certificate files, one user whose
    home is `root` and an anonymous account on the same directory."""

    def __init__(self, settings=None, with_certificates=True):
        self.server = ServerProcess({"Savelog": 1, **(settings or {})})
        self.root = os.path.join(self.server.home, "root")
        ftp_accounts.add_user(self.server.home, USER, PASSWORD, self.root)
        ftp_accounts.add_user(self.server.home, "anonymous", "", self.root, rights="R----L---")
        if with_certificates:
            certificates().install(self.server)
        self.server.start()
        self.port = self.server.port

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def ftp(self, protect=True, passive=True, context=None):
        f = ftplib.FTP_TLS(context=context or verifying_context(), timeout=15)
        f.connect(HOST, self.port)
        f.login(USER, PASSWORD)  # AUTH TLS first
        if protect:
            f.prot_p()
        else:
            f.prot_c()
        f.set_pasv(passive)
        return f

    def client(self):
        c = Client(self.port)
        assert c.read_line().startswith("220 ")
        return c

    def log_text(self):
        return "\n".join(self.server.log_messages())

    def close(self):
        self.server.close()


def switch_to_tls(client):
    """AUTH TLS on a raw client, then the handshake; the client's socket is the TLS one afterwards."""
    assert client.command("AUTH TLS") == AUTH_OK
    client.sock = CLIENT_CONTEXT.wrap_socket(client.sock, server_hostname=HOST)
    return client


def lftp(script):
    return subprocess.run(["lftp", "-c", "set net:max-retries 1; set net:timeout 15; " + script],
                          capture_output=True, timeout=90)


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "30", "--ssl-reqd", "--cacert",
                           os.path.join(certificates().dir, "ca.pem"), *args], capture_output=True, timeout=60)


class ClientsTest(unittest.TestCase):
    """Real clients switch to TLS by themselves. The server forces TLS on logins and data connections, so
    a transfer that passes was encrypted both ways."""

    @classmethod
    def setUpClass(cls):
        cls.s = ExplicitServer({"ForceTLS": 2})
        cls.body = pattern(600_000)
        cls.s.write("data.bin", cls.body)
        cls.ca = os.path.join(certificates().dir, "ca.pem")

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def url(self, name=""):
        return f"ftp://{USER}:{PASSWORD}@{HOST}:{self.s.port}/{name}"

    def source_file(self, name, data):
        path = os.path.join(self.s.server.home, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_lftp_with_its_default_settings(self):
        source = self.source_file("lftp-default-src.bin", self.body[::-1])
        target = os.path.join(self.s.server.home, "lftp-default.bin")
        out = lftp(f"set ssl:ca-file {self.ca}; open {self.url()}; get data.bin -o {target}; "
                   f"put {source} -o lftp-default-up.bin")
        self.assertEqual(out.returncode, 0, out.stderr)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), self.body)
        self.assertEqual(self.s.read("lftp-default-up.bin"), self.body[::-1])

    def test_lftp_forcing_tls_in_both_modes(self):
        for passive in ("yes", "no"):
            with self.subTest(passive=passive):
                target = os.path.join(self.s.server.home, f"lftp-forced-{passive}.bin")
                out = lftp(f"set ssl:verify-certificate no; set ftp:ssl-force true; "
                           f"set ftp:ssl-protect-data true; set ftp:passive-mode {passive}; open {self.url()}; "
                           f"ls; get data.bin -o {target}; put {target} -o lftp-forced-up-{passive}.bin")
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn(b" data.bin", out.stdout)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), self.body)
                self.assertEqual(self.s.read(f"lftp-forced-up-{passive}.bin"), self.body)

    def test_curl_ssl_reqd_verifying_the_certificate(self):
        got = curl(self.url("data.bin"))
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, self.body)
        source = self.source_file("curl-src.bin", self.body[::3])
        put = curl("-T", source, self.url("curl-up.bin"))
        self.assertEqual(put.returncode, 0, put.stderr)
        self.assertEqual(self.s.read("curl-up.bin"), self.body[::3])


class DataProtectionTest(unittest.TestCase):
    """ftplib's FTP_TLS with protected and with clear data connections (TLS optional on this server)."""

    @classmethod
    def setUpClass(cls):
        cls.s = ExplicitServer()
        cls.body = pattern(300_000)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_protected_and_clear_data_in_both_modes(self):
        for protect in (True, False):
            for passive in (True, False):
                with self.subTest(protect=protect, passive=passive), self.s.ftp(protect, passive) as f:
                    name = f"ftplib-{protect}-{passive}.bin"
                    self.assertEqual(f.storbinary(f"STOR {name}", io.BytesIO(self.body)), "226 Transfer complete.")
                    self.assertEqual(self.s.read(name), self.body)
                    got = bytearray()
                    self.assertEqual(f.retrbinary(f"RETR {name}", got.extend), "226 Transfer complete.")
                    self.assertEqual(bytes(got), self.body)
                    self.assertIn(name, f.nlst())

    def test_protected_data_connection_arriving_in_clear_is_refused(self):
        with self.s.ftp(protect=True) as f:
            port = pasv_port(f.sendcmd("PASV"))
            f.putcmd("NLST")
            with socket.create_connection((HOST, port), timeout=5) as data:
                data.sendall(b"USER in clear\r\n")
                self.assertEqual(f.getresp(), "150 Accepted data connection.")
                with self.assertRaises(ftplib.error_temp) as refused:
                    f.getresp()
                self.assertEqual(str(refused.exception), "425 Can't open data connection.")
            self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")


class CommandRepliesTest(unittest.TestCase):
    """AUTH, PBSZ, PROT and CCC in every order a client may send them."""

    @classmethod
    def setUpClass(cls):
        cls.s = ExplicitServer()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_feat_announces_explicit_tls(self):
        with self.s.client() as c:
            c.send("FEAT\r\n")
            lines = [c.read_line()]
            while not lines[-1].startswith("211 "):
                lines.append(c.read_line())
            for feature in (" AUTH TLS", " PBSZ", " PROT"):
                self.assertIn(feature, lines)

    def test_sequence_and_mechanism_errors(self):
        with self.s.client() as c:
            self.assertEqual(c.command("AUTH KERBEROS").split()[0], "504")
            self.assertEqual(c.command("PBSZ 0").split()[0], "503")
            self.assertEqual(c.command("PROT P").split()[0], "503")
            self.assertEqual(c.command("CCC"), "502 Command not implemented.")
            switch_to_tls(c)
            self.assertEqual(c.command("AUTH TLS").split()[0], "503")
            self.assertEqual(c.command("PBSZ 0"), "200 PBSZ command OK.")
            self.assertEqual(c.command("PROT S").split()[0], "536")
            self.assertEqual(c.command("PROT C"), "200 PROT command OK.")
            self.assertEqual(c.command("PROT P"), "200 PROT command OK.")
            self.assertEqual(c.command("CCC"), "502 Command not implemented.")
            self.assertEqual(c.command(f"USER {USER}"), "331 username ok, need password.")
            self.assertEqual(c.command(f"PASS {PASSWORD}"), "230 User logged in. proceed.")
        with self.s.client() as c:
            self.assertEqual(c.command(f"USER {USER}"), "331 username ok, need password.")
            self.assertEqual(c.command(f"PASS {PASSWORD}"), "230 User logged in. proceed.")
            self.assertEqual(c.command("AUTH TLS").split()[0], "503")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")

    def test_every_tls_mechanism_name_switches(self):
        for mechanism in ("TLS", "SSL", "TLS-C", "tls"):
            with self.subTest(mechanism=mechanism), self.s.client() as c:
                self.assertEqual(c.command(f"AUTH {mechanism}"), AUTH_OK)
                c.sock = CLIENT_CONTEXT.wrap_socket(c.sock, server_hostname=HOST)
                self.assertEqual(c.command("NOOP").split()[0], "530")  # served, over TLS

    def test_commands_pipelined_after_auth_are_never_executed(self):
        with self.s.client() as c:
            c.send(f"AUTH TLS\r\nUSER piped\r\nPASS {PASSWORD}\r\n")
            self.assertEqual(c.read_line(), AUTH_OK)
            self.assertEqual(c.buffer, b"")  # nothing answered the lines after AUTH
            c.sock = CLIENT_CONTEXT.wrap_socket(c.sock, server_hostname=HOST)
            self.assertEqual(c.command("PASS x"), "503 Please login with USER.")
            self.assertEqual(c.command("QUIT").split()[0], "220")
        self.assertNotIn(">> USER piped", self.s.server.log_messages())

    def test_login_in_clear_after_auth_ends_the_connection(self):
        for after in (f"USER in-clear\r\nPASS {PASSWORD}\r\n", "\x16\x03\x01\x00\x05garbage\r\n", "\x00" * 64):
            with self.subTest(after=after), self.s.client() as c:
                self.assertEqual(c.command("AUTH TLS"), AUTH_OK)
                c.send(after)
                self.assertTrue(c.wait_closed(5))
                self.assertNotIn(b"331", c.buffer)  # at most a TLS alert
        self.assertNotIn(PASSWORD, self.s.log_text())
        self.assertNotIn(">> USER in-clear", self.s.server.log_messages())


class HandshakeBoundTest(unittest.TestCase):
    """A client that asks for TLS and never starts its handshake."""

    def test_missing_handshake_is_dropped_and_others_are_served_meanwhile(self):
        s = ExplicitServer()
        try:
            with s.client() as silent:
                self.assertEqual(silent.command("AUTH TLS"), AUTH_OK)
                started = time.monotonic()
                with s.client() as other:
                    switch_to_tls(other)
                    self.assertEqual(other.command(f"USER {USER}"), "331 username ok, need password.")
                self.assertTrue(silent.wait_closed(15))
                self.assertGreater(time.monotonic() - started, 8)  # the 10 s bound, not earlier
            with s.client() as c:
                self.assertEqual(c.command("NOOP").split()[0], "530")
        finally:
            s.close()

    def test_stop_during_the_handshake_ends_it_at_once(self):
        s = ExplicitServer()
        try:
            with s.client() as silent:
                self.assertEqual(silent.command("AUTH TLS"), AUTH_OK)
                started = time.monotonic()
                s.server.stop()
                self.assertLess(time.monotonic() - started, 5)
                self.assertTrue(silent.wait_closed(1))
        finally:
            s.close()


class ForceTlsTest(unittest.TestCase):
    """ForceTLS 1 refuses clear logins before any password is read; 2 refuses clear data connections.
    Anonymous is exempt at both levels."""

    def setUp(self):
        self.servers = []

    def tearDown(self):
        for s in self.servers:
            s.close()

    def start(self, level):
        s = ExplicitServer({"ForceTLS": level})
        self.servers.append(s)
        return s

    def test_level_1_refuses_a_clear_login_and_admits_anonymous(self):
        s = self.start(1)
        with s.client() as c:
            self.assertEqual(c.command(f"USER {USER}"), LOGIN_NEEDS_TLS)
            self.assertNotEqual(c.command(f"PASS {PASSWORD}").split()[0], "230")
            self.assertEqual(c.command("PWD").split()[0], "530")
        with s.client() as c:
            self.assertEqual(c.command("USER anonymous"), "331 username ok, need password.")
            self.assertEqual(c.command("PASS guest@"), "230 User logged in. proceed.")
            self.assertEqual(c.command(f"USER {USER}"), LOGIN_NEEDS_TLS)  # and is logged out
            self.assertEqual(c.command(f"PASS {PASSWORD}").split()[0], "503")
        with s.ftp(protect=False) as f:  # after AUTH TLS the login goes through; clear data is allowed
            self.assertEqual(f.nlst(), [])
        self.assertNotIn(PASSWORD, s.log_text())

    def test_level_2_refuses_unprotected_data_connections(self):
        s = self.start(2)
        s.write("a.txt", b"abc")
        with s.ftp(protect=False) as f:
            for command in ("PASV", "EPSV", "PORT 127,0,0,1,200,10", "EPRT |1|127.0.0.1|51210|"):
                with self.subTest(command=command), self.assertRaises(ftplib.error_perm) as refused:
                    f.sendcmd(command)
                self.assertEqual(str(refused.exception), DATA_NEEDS_TLS)
            f.prot_p()
            port = pasv_port(f.sendcmd("PASV"))
            self.assertGreater(port, 0)
            f.prot_c()  # after the end point was set up: the transfer is refused
            self.assertEqual(f.sendcmd("NLST"), "150 Accepted data connection.")
            with self.assertRaises(ftplib.error_perm) as refused:
                f.getresp()
            self.assertEqual(str(refused.exception), DATA_NEEDS_TLS)
            f.prot_p()
            self.assertEqual(f.nlst(), ["a.txt"])
        with ftplib.FTP() as f:  # anonymous in clear, data in clear
            f.connect(HOST, s.port, timeout=15)
            f.login("anonymous", "guest@")
            self.assertEqual(f.nlst(), ["a.txt"])


class WithoutCertificatesTest(unittest.TestCase):
    def test_auth_is_not_available_and_the_log_says_why_once(self):
        s = ExplicitServer(with_certificates=False)
        try:
            with s.client() as c:
                self.assertEqual(c.command("AUTH TLS"), "431 TLS is not available.")
                c.send("FEAT\r\n")
                lines = [c.read_line()]
                while not lines[-1].startswith("211 "):
                    lines.append(c.read_line())
                self.assertNotIn(" AUTH TLS", lines)
                self.assertNotIn(" PROT", lines)
                self.assertEqual(c.command(f"USER {USER}"), "331 username ok, need password.")
            reasons = [m for m in s.server.log_messages() if m.startswith("TLS is not available: ")]
            self.assertEqual(len(reasons), 1, s.server.log_messages())
        finally:
            s.close()


if __name__ == "__main__":
    unittest.main()
