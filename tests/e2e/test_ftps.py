"""Implicit FTPS against the real tarnsvc with real TLS clients (curl, lftp, Python's ssl with ftplib):
certificate files, the FTPS commands and replies, protected data connections in both modes, and clients
that misbehave during a handshake, each followed by a look at the server's descriptors and threads."""
import ftplib
import io
import os
import re
import shutil
import socket
import ssl
import subprocess
import time
import unittest

import ftp_accounts
from harness import HOST, Client, ServerProcess, wait_until

USER, PASSWORD = "tester", "secret"
CLIENT_CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
CLIENT_CONTEXT.check_hostname = False
CLIENT_CONTEXT.verify_mode = ssl.CERT_NONE


def pattern(n):
    return bytes((i * 13 + i // 241) % 241 for i in range(n))


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


class Certificates:
    """A CA, a server certificate signed by it for IP 127.0.0.1 in several encodings, a key of another
    pair and a pass-phrase key, made with the openssl command in `directory`."""

    def __init__(self, directory):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        run = lambda *a: openssl(*a, cwd=directory)
        run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
            "-days", "2", "-subj", "/CN=Test CA")
        run("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=127.0.0.1")
        with open(os.path.join(directory, "san.ext"), "w") as f:
            f.write("subjectAltName=IP:127.0.0.1\n")
        run("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "2", "-extfile", "san.ext")
        run("x509", "-in", "server.pem", "-outform", "DER", "-out", "server.der")
        run("pkcs12", "-export", "-in", "server.pem", "-inkey", "server.key", "-out", "server.p12",
            "-passout", "pass:")
        # The server's certificate first: a bundle contributes its first certificate.
        run("crl2pkcs7", "-nocrl", "-certfile", "server.pem", "-certfile", "ca.pem", "-out", "server.p7b")
        run("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", "other.key")
        run("pkey", "-in", "server.key", "-aes256", "-passout", "pass:phrase", "-out", "locked.key")

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def install(self, server, cert="server.pem", key="server.key", root="ca.pem"):
        """Puts the three files into the program directory; None leaves one out."""
        for target, name in (("ServerCert.pem", cert), ("ServerKey.pem", key), ("RootCert.pem", root)):
            if name is not None:
                server.write_file(target, self.read(name))


_certificates = None


def certificates():
    """One certificate set per test process, removed when it ends (every module that imports it included)."""
    global _certificates
    if _certificates is None:
        import atexit
        import tempfile
        _certificates = Certificates(tempfile.mkdtemp(prefix="tarnwick-certs-"))
        atexit.register(shutil.rmtree, _certificates.dir, ignore_errors=True)
    return _certificates


def ssl_line(server):
    return f"SSL Server is running on port {server.ssl_port}."


class FtpsServer:
    """A running server with both listeners and one user whose home is `root`."""

    def __init__(self, settings=None, **user_options):
        self.server = ServerProcess({"ftpsservice": 1, "Savelog": 1, **(settings or {})})
        self.root = os.path.join(self.server.home, "root")
        ftp_accounts.add_user(self.server.home, USER, PASSWORD, self.root, **user_options)
        certificates().install(self.server)
        self.server.start()
        if not self.server.wait_log_count(ssl_line(self.server), 1):
            messages = self.server.log_messages()
            self.server.close()
            raise RuntimeError(f"TLS listener did not start: {messages!r}")
        self.port = self.server.ssl_port

    def path(self, name):
        return os.path.join(self.root, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def ftp(self, passive=True, protect=True, timeout=15):
        f = ImplicitFtp(context=CLIENT_CONTEXT, timeout=timeout)
        f.connect(HOST, self.port)
        f.login(USER, PASSWORD)
        if protect:
            f.prot_p()
        f.set_pasv(passive)
        return f

    def url(self, name=""):
        return f"ftps://{USER}:{PASSWORD}@{HOST}:{self.port}/{name}"

    def close(self):
        self.server.close()


class ImplicitFtp(ftplib.FTP_TLS):
    """ftplib over a socket that speaks TLS from its first byte."""

    def connect(self, host, port, timeout=15):
        self.host, self.port = host, port
        raw = socket.create_connection((host, port), timeout, self.source_address)
        self.sock = self.context.wrap_socket(raw, server_hostname=host)
        self.af = self.sock.family
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome


class TlsClient(Client):
    """A raw control connection over TLS."""

    def __init__(self, port, timeout=5.0):
        super().__init__(port, timeout)
        self.sock = CLIENT_CONTEXT.wrap_socket(self.sock, server_hostname=HOST)

    def login(self):
        assert self.read_line().startswith("220 ")
        assert self.command(f"USER {USER}").startswith("331 ")
        assert self.command(f"PASS {PASSWORD}").startswith("230 ")
        return self


def pasv_port(reply):
    numbers = re.search(r"\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", reply).groups()
    return int(numbers[4]) * 256 + int(numbers[5])


def curl(*args):
    return subprocess.run(["curl", "-sS", "-k", "--max-time", "30", *args], capture_output=True, timeout=60)


def curl_version():
    out = subprocess.run(["curl", "--version"], capture_output=True, text=True, timeout=10).stdout
    return tuple(int(x) for x in re.match(r"curl (\d+)\.(\d+)", out).groups())


def lftp(script):
    return subprocess.run(["lftp", "-c", "set ssl:verify-certificate no; set ftp:ssl-protect-data yes; "
                           "set net:max-retries 1; set net:timeout 15; " + script],
                          capture_output=True, timeout=90)


class CertificateFilesTest(unittest.TestCase):
    """The TLS listener starts with good files in any accepted encoding and says why it does not."""

    def start(self, **files):
        server = ServerProcess({"ftpsservice": 1, "Savelog": 1})
        self.addCleanup(server.close)
        certificates().install(server, **files)
        server.start()
        return server

    def assert_event(self, server, message):
        self.assertEqual(server.wait_log_count(message, 1), 1, server.log_messages())

    def served_certificate(self, server):
        with socket.create_connection((HOST, server.ssl_port), timeout=5) as raw:
            with CLIENT_CONTEXT.wrap_socket(raw, server_hostname=HOST) as tls:
                return tls.getpeercert(binary_form=True)

    def test_accepted_encodings(self):
        der = certificates().read("server.der")
        for cert in ("server.pem", "server.der", "server.p12", "server.p7b"):
            with self.subTest(cert=cert):
                server = self.start(cert=cert)
                self.assert_event(server, ssl_line(server))
                self.assertEqual(self.served_certificate(server), der)

    def test_failures_name_their_cause_and_leave_the_listener_stopped(self):
        cases = [
            ({"root": None}, "Couldn't read CA list"),
            ({"key": None}, "unable to load CA private key"),  # its trailing newline ends the event line
            ({"key": "locked.key"}, "unable to load CA private key"),
            ({"key": "other.key"}, "Private key does not match the certificate public key"),
            ({"cert": None}, "unable to load CA certificate"),
        ]
        for files, message in cases:
            with self.subTest(message=message, files=files):
                server = self.start(**files)
                self.assert_event(server, message)
                self.assertNotIn(ssl_line(server), server.log_messages())
                # Seen in the server's own sockets: a connection attempt could meet another process that
                # took the free port meanwhile, or connect to itself.
                self.assertFalse(server.listening(server.ssl_port))
                # The plain listener is not affected.
                with server.client() as c:
                    self.assertTrue(c.read_line().startswith("220 "))


class ClientsTest(unittest.TestCase):
    """Transfers with curl, lftp and ftplib, always over TLS."""

    @classmethod
    def setUpClass(cls):
        cls.s = FtpsServer()
        cls.body = pattern(700_000)
        cls.s.write("data.bin", cls.body)

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_curl_passive(self):
        listing = curl(self.s.url())
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertIn(b" data.bin", listing.stdout)
        got = curl(self.s.url("data.bin"))
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, self.body)
        source = os.path.join(self.s.server.home, "upload.bin")
        with open(source, "wb") as f:
            f.write(self.body[::-1])
        put = curl("-T", source, self.s.url("curl-up.bin"))
        self.assertEqual(put.returncode, 0, put.stderr)
        self.assertEqual(self.s.read("curl-up.bin"), self.body[::-1])

    @unittest.skipIf(curl_version() < (8, 0), "this curl does not start TLS on an accepted data connection")
    def test_curl_active(self):
        got = curl("--ftp-port", HOST, self.s.url("data.bin"))
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(got.stdout, self.body)

    def test_lftp_both_modes(self):
        for passive in ("yes", "no"):
            with self.subTest(passive=passive):
                target = os.path.join(self.s.server.home, f"lftp-{passive}.bin")
                out = lftp(f"set ftp:passive-mode {passive}; open {self.s.url()}; ls; "
                           f"get data.bin -o {target}; put {target} -o lftp-up-{passive}.bin")
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertIn(b" data.bin", out.stdout)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), self.body)
                self.assertEqual(self.s.read(f"lftp-up-{passive}.bin"), self.body)

    def test_ftplib_both_modes(self):
        for passive in (True, False):
            with self.subTest(passive=passive), self.s.ftp(passive) as f:
                name = f"ftplib-{passive}.bin"
                self.assertEqual(f.storbinary(f"STOR {name}", io.BytesIO(self.body)), "226 Transfer complete.")
                self.assertEqual(self.s.read(name), self.body)
                got = bytearray()
                self.assertEqual(f.retrbinary(f"RETR {name}", got.extend), "226 Transfer complete.")
                self.assertEqual(bytes(got), self.body)
                self.assertIn(name, f.nlst())
                self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")

    def test_empty_listing_ends_with_close_alert(self):
        os.makedirs(self.s.path("empty"), exist_ok=True)
        for passive in (True, False):
            with self.subTest(passive=passive), self.s.ftp(passive) as f:
                self.assertEqual(f.nlst("empty"), [])
                lines = []
                self.assertEqual(f.retrlines("LIST empty", lines.append), "226 Transfer complete.")
                self.assertEqual(lines, [])
                self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")

    def test_download_ends_with_close_alert(self):
        # A truncated download and a complete one differ only by the alert; without it recv raises.
        with self.s.ftp() as f:
            conn = f.transfercmd("RETR data.bin")
            got = bytearray()
            while chunk := conn.recv(65536):
                got += chunk
            self.assertEqual(bytes(got), self.body)
            conn.close()
            self.assertEqual(f.voidresp(), "226 Transfer complete.")


class PacedUploadTest(unittest.TestCase):
    def test_paced_upload_ends_when_the_client_says_goodbye(self):
        # ftplib sends its close alert after the last block and waits for the server's. When that block
        # fills a window, the alert has been taken from the socket with it: the upload must end without
        # another socket event. 14,288 bytes at 5 KB/s end in the third window.
        s = FtpsServer(upload_speed=5)
        try:
            body = pattern(14_288)
            with s.ftp(timeout=10) as f:
                start = time.monotonic()
                self.assertEqual(f.storbinary("STOR paced.bin", io.BytesIO(body)), "226 Transfer complete.")
                self.assertLess(time.monotonic() - start, 8)
                self.assertEqual(f.voidcmd("NOOP"), "200 NOOP command successful.")
            self.assertEqual(s.read("paced.bin"), body)
        finally:
            s.close()


class CommandsTest(unittest.TestCase):
    """The FTPS commands, limits and numbered replies."""

    @classmethod
    def setUpClass(cls):
        cls.s = FtpsServer()
        cls.s.write("data.bin", pattern(4_000_000))

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_before_login(self):
        with TlsClient(self.s.port) as c:
            self.assertTrue(c.read_line().startswith("220 "))
            self.assertEqual(c.command("PBSZ"), "501 Syntax error in parameters or arguments.")
            self.assertEqual(c.command("PROT P"), "530 Please login with USER and PASS.")
            self.assertEqual(c.command("AUTH TLS"), "530 Please login with USER and PASS.")

    def test_after_login(self):
        with TlsClient(self.s.port).login() as c:
            self.assertEqual(c.command("PBSZ 0"), "200 PBSZ command OK.")
            self.assertEqual(c.command("PROT P"), "200 PROT command OK.")
            for level in ("C", "S", "E", "c", "X"):
                self.assertEqual(c.command(f"PROT {level}"), "536 Requested PROT level not supported by mechanism.")
            self.assertEqual(c.command("PROT p"), "200 PROT command OK.")
            self.assertEqual(c.command("PROT"), "501 Syntax error in parameters or arguments.")
            self.assertEqual(c.command("AUTH TLS"), "502 Command not implemented.")
            self.assertEqual(c.command("CCC"), "502 Command not implemented.")
            self.assertEqual(c.command("LIST"), "150 Accepted data connection.")
            self.assertEqual(c.read_line(), "425 port ip error.")

    def test_feat_lists_the_tls_commands_and_epsv_is_protected(self):
        with self.s.ftp() as f:
            lines = f.sendcmd("FEAT").splitlines()
            self.assertEqual((lines[0], lines[-1]), ("211-Features:", "211 End"))
            self.assertEqual(sorted(lines[1:-1]), sorted([" UTF8", " EPSV", " EPRT", " MDTM", " MFMT", " SIZE",
                                                          " REST STREAM", " MLST type*;size*;modify*;perm*;",
                                                          " TVFS", " PBSZ", " PROT"]))
            f.af = socket.AF_INET6  # passive connections with EPSV, each with its TLS handshake
            got = bytearray()
            f.retrbinary("RETR data.bin", got.extend)
            self.assertEqual(bytes(got), self.s.read("data.bin"))
            self.assertEqual(dict(f.mlsd())["data.bin"]["size"], str(len(got)))

    def test_data_stays_protected_after_prot_c(self):
        with TlsClient(self.s.port).login() as c:
            self.assertEqual(c.command("PROT C"), "536 Requested PROT level not supported by mechanism.")
            # A plain data client gets nothing: the server waits for its handshake, then gives up.
            port = pasv_port(c.command("PASV"))
            with socket.create_connection((HOST, port), timeout=10) as data:
                self.assertEqual(c.command("LIST"), "150 Accepted data connection.")
                started = time.monotonic()
                self.assertEqual(c.read_line(timeout=10), "425 Can't open data connection.")
                self.assertLess(time.monotonic() - started, 8)
                data.settimeout(2)
                self.assertEqual(data.recv(100), b"")
            # The same with TLS lists the directory.
            port = pasv_port(c.command("PASV"))
            with socket.create_connection((HOST, port), timeout=10) as raw:
                self.assertEqual(c.command("LIST"), "150 Accepted data connection.")
                with CLIENT_CONTEXT.wrap_socket(raw, server_hostname=HOST) as data:
                    listing = b""
                    while chunk := data.recv(4096):
                        listing += chunk
            self.assertIn(b" data.bin\r\n", listing)
            self.assertEqual(c.read_line(), "226 Transfer complete.")

    def test_long_line_within_the_tls_limit(self):
        with TlsClient(self.s.port).login() as c:
            c.send("X" * 5000)
            self.assertTrue(c.silent_for(0.5))
            self.assertEqual(c.command(""), "502 Command not implemented.")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
            c.send("X" * 9000)
            self.assertTrue(c.wait_closed(), "connection survives 9000 bytes without a line end")

    def test_client_closing_a_download_gets_a_numbered_reply(self):
        with TlsClient(self.s.port).login() as c:
            port = pasv_port(c.command("PASV"))
            raw = socket.create_connection((HOST, port), timeout=10)
            self.assertEqual(c.command("RETR data.bin"), "150 File status okay; about to open data connection.")
            data = CLIENT_CONTEXT.wrap_socket(raw, server_hostname=HOST)
            data.recv(1000)
            data.close()
            # Seen by a failed send or by the close event, whichever comes first.
            self.assertIn(c.read_line(timeout=10), ("426 Connection closed 2.", "426 Connection closed 3."))
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")

    def test_abor_or_quit_in_the_record_of_the_transfer_command(self):
        # Nobody connects: what the TLS layer delivered with the command ends the wait at once.
        with TlsClient(self.s.port).login() as c:
            c.command("PASV")
            c.send("RETR data.bin\r\nNOOP\r\nABOR\r\n")
            self.assertEqual([c.read_line() for _ in range(4)],
                             ["150 File status okay; about to open data connection.", "426 Data connection closed.",
                              "200 NOOP command successful.", "226 ABOR command successful."])
            c.command("PASV")
            c.send("LIST\r\nQUIT\r\n")
            self.assertEqual([c.read_line() for _ in range(3)],
                             ["150 Accepted data connection.", "426 Data connection closed.", "220 GoodBye"])
            self.assertTrue(c.wait_closed())

    def test_refused_active_connection(self):
        with TlsClient(self.s.port).login() as c:
            with socket.socket() as probe:
                probe.bind((HOST, 0))
                port = probe.getsockname()[1]
            self.assertEqual(c.command(f"PORT 127,0,0,1,{port // 256},{port % 256}"), "200 Port command successful.")
            self.assertEqual(c.command("LIST"), "150 Accepted data connection.")
            self.assertEqual(c.read_line(), "425 Can't build data connection 1.")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")


class MissingKeyTest(unittest.TestCase):
    """The key file deleted while the server runs: data connections fail, the rest goes on."""

    def setUp(self):
        self.s = FtpsServer()
        self.addCleanup(self.s.close)

    def test_passive_and_active_fail_while_the_control_connection_goes_on(self):
        with TlsClient(self.s.port).login() as c:
            os.remove(os.path.join(self.s.server.home, "ServerKey.pem"))
            self.assertEqual(c.command("PASV"), "425 Can't listen on data socket.")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
            listener = socket.socket()
            listener.bind((HOST, 0))
            listener.listen(1)
            port = listener.getsockname()[1]
            self.assertEqual(c.command(f"PORT 127,0,0,1,{port // 256},{port % 256}"), "200 Port command successful.")
            self.assertEqual(c.command("LIST"), "150 Accepted data connection.")
            self.assertEqual(c.read_line(timeout=15), "425 Can't open data connection 2.")
            listener.close()
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
        # The listener keeps the context it started with.
        with TlsClient(self.s.port).login() as c:
            self.assertEqual(c.command("PWD"), '257 "/" is current directory.')


class BadClientsTest(unittest.TestCase):
    """Clients that never finish a handshake are closed silently and hold up nobody."""

    @classmethod
    def setUpClass(cls):
        cls.s = FtpsServer()
        cls.s.write("data.bin", pattern(200_000))
        wait_until(lambda: cls.s.server.thread_count() <= 2, 5)
        cls.fds, cls.threads = cls.s.server.fd_count(), cls.s.server.thread_count()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def assert_no_leak(self):
        self.assertTrue(wait_until(lambda: self.s.server.fd_count() <= self.fds, 15),
                        f"{self.s.server.fd_count()} descriptors, {self.fds} before")
        self.assertTrue(wait_until(lambda: self.s.server.thread_count() <= self.threads, 15))

    def half_handshake(self):
        """The first bytes of a real ClientHello."""
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = CLIENT_CONTEXT.wrap_bio(incoming, outgoing, server_hostname=HOST)
        with self.assertRaises(ssl.SSLWantReadError):
            obj.do_handshake()
        hello = outgoing.read()
        return hello[: len(hello) // 2]

    def test_plain_client_and_garbage_get_no_greeting(self):
        connected = self.s.server.log_count(f"{HOST} has connected to SSL server.")
        for first in (b"USER tester\r\n", b"\x16\x03\x01\x00\x10" + b"\xff" * 16, b"\x17\x03\x03\x00\x40" + b"z" * 64):
            with self.subTest(first=first), Client(self.s.port) as c:
                c.send(first)
                self.assertTrue(c.wait_closed(5), "connection kept")
                # At most the TLS layer's own alert record.
                self.assertTrue(c.buffer == b"" or c.buffer.startswith(b"\x15\x03"), c.buffer)
        self.assertEqual(self.s.server.log_count(f"{HOST} has connected to SSL server."), connected)
        self.assert_no_leak()

    def test_silent_clients_hold_up_nobody_and_are_closed(self):
        silent = Client(self.s.port)
        halfway = Client(self.s.port)
        halfway.send(self.half_handshake())
        started = time.monotonic()
        try:
            with ImplicitFtp(context=CLIENT_CONTEXT, timeout=5) as f:
                f.connect(HOST, self.s.port)
                f.login(USER, PASSWORD)
                f.prot_p()
                got = bytearray()
                self.assertEqual(f.retrbinary("RETR data.bin", got.extend), "226 Transfer complete.")
                self.assertEqual(bytes(got), pattern(200_000))
            self.assertLess(time.monotonic() - started, 5)
            for c in (silent, halfway):
                self.assertTrue(c.wait_closed(15), "silent client kept")
                self.assertEqual(c.buffer, b"")
            self.assertGreater(time.monotonic() - started, 8)
        finally:
            silent.close()
            halfway.close()
        self.assert_no_leak()

    def test_data_connection_that_stops_mid_handshake(self):
        with TlsClient(self.s.port).login() as c:
            port = pasv_port(c.command("PASV"))
            with socket.create_connection((HOST, port), timeout=10) as data:
                data.sendall(self.half_handshake())
                self.assertEqual(c.command("RETR data.bin"), "150 File status okay; about to open data connection.")
                self.assertEqual(c.read_line(timeout=10), "425 Can't open data connection.")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
            # The next data connection works.
            with ImplicitFtp(context=CLIENT_CONTEXT, timeout=10) as f:
                f.connect(HOST, self.s.port)
                f.login(USER, PASSWORD)
                f.prot_p()
                self.assertIn("data.bin", f.nlst())
        self.assert_no_leak()


if __name__ == "__main__":
    unittest.main()
