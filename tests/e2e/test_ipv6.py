"""IPv6 against the real tarnsvc: both families on one listener, EPSV and EPRT over ::1 with curl and lftp,
the PASV/PORT refusals, ListenAddress, and bans, MaxPerIP and the deny list for an IPv6 client.
Tests that need ::1 skip on a machine without an IPv6 loopback."""
import os
import shutil
import socket
import subprocess
import unittest

import ftp_accounts
from harness import GREETING, HOST, ServerProcess, wait_until
from test_transfers import PASSWORD, USER, TransferServer, pattern

HOST6 = "::1"
REJECTED = "421 Access denied, IP address was rejected by the server."
USE_EXTENDED = "425 Use EPSV or EPRT on an IPv6 connection."


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind((HOST6, 0))
        return True
    except OSError:
        return False


needs_ipv6 = unittest.skipUnless(has_ipv6_loopback(), "no IPv6 loopback")


def run(*args, timeout=60):
    r = subprocess.run(args, capture_output=True, timeout=timeout)
    return r.returncode, r.stdout, r.stderr.decode(errors="replace")


def connect_refused(host, port):
    try:
        socket.create_connection((host, port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def logged_in(server, host):
    c = server.client(host=host)
    assert c.read_line() == GREETING
    assert c.command(f"USER {USER}") == "331 username ok, need password."
    assert c.command(f"PASS {PASSWORD}") == "230 User logged in. proceed."
    return c


def passive_port(line):
    """The port of a 229 reply."""
    assert line.startswith("229 Entering Extended Passive Mode (|||"), line
    return int(line.split("|||")[1].split("|")[0])


@needs_ipv6
class DualStackTest(unittest.TestCase):
    # A server for each test: the event lines of ::1 have a budget per second, which the lines of another
    # test could use up.
    def setUp(self):
        self.s = TransferServer({"Savelog": 1})
        self.addCleanup(self.s.close)

    def test_one_listener_takes_both_families_and_names_each_client_plainly(self):
        server = self.s.server
        wildcard6 = "0" * 32 + f":{server.port:04X}"
        with open("/proc/net/tcp6") as table:
            self.assertTrue(any(l.split()[1] == wildcard6 and l.split()[3] == "0A" for l in table), "no [::]")
        for host in (HOST6, HOST):
            with server.client(host=host) as c:
                self.assertEqual(c.read_line(), GREETING)
            self.assertTrue(wait_until(lambda: f"{host} has disconnected from server." in server.stdout(), 5))
        self.assertNotIn("::ffff:", server.stdout())

    @unittest.skipUnless(shutil.which("curl"), "curl missing")
    def test_curl_over_ipv6_passive_and_active(self):
        body = pattern(2_000_000)
        src = os.path.join(self.s.server.home, "curl6-src.bin")
        with open(src, "wb") as f:
            f.write(body)
        for extra in ([], ["-P", HOST6]):
            name = "curl6-active.bin" if extra else "curl6-passive.bin"
            url = f"ftp://{USER}:{PASSWORD}@[::1]:{self.s.port}/{name}"
            code, _, err = run("curl", "-sS", *extra, "-T", src, url)
            self.assertEqual(code, 0, err)
            self.assertEqual(self.s.read(name), body)
            code, out, err = run("curl", "-sS", *extra, url)
            self.assertEqual(code, 0, err)
            self.assertEqual(out, body)
        messages = self.s.server.log_messages()
        self.assertIn(">> EPSV", messages)
        self.assertTrue(any(m.startswith(">> EPRT |2|::1|") for m in messages), messages)

    @unittest.skipUnless(shutil.which("lftp"), "lftp missing")
    def test_lftp_over_ipv6_in_both_modes(self):
        body = pattern(1_300_000)
        src = os.path.join(self.s.server.home, "lftp6-src.bin")
        with open(src, "wb") as f:
            f.write(body)
        for passive in ("on", "off"):
            back = os.path.join(self.s.server.home, f"lftp6-back-{passive}.bin")
            script = (f"set ftp:passive-mode {passive}; set net:max-retries 1; set net:timeout 10; "
                      f"open -u {USER},{PASSWORD} ftp://[::1]:{self.s.port}; "
                      f"put {src} -o lftp6-{passive}.bin; get lftp6-{passive}.bin -o {back}; bye")
            code, _, err = run("lftp", "-c", script)
            self.assertEqual(code, 0, err)
            self.assertEqual(self.s.read(f"lftp6-{passive}.bin"), body)
            with open(back, "rb") as f:
                self.assertEqual(f.read(), body)
        # Active mode was not given up for passive: both transfers went through EPRT.
        messages = self.s.server.log_messages()
        self.assertEqual(sum(m.startswith(">> EPRT |2|") for m in messages), 2, messages)
        self.assertNotIn("504 Command not implemented for that parameter.", messages)

    def test_ipv6_connections_refuse_pasv_and_port_and_the_other_family(self):
        with logged_in(self.s.server, HOST6) as c:
            self.assertEqual(c.command("PASV"), USE_EXTENDED)
            self.assertEqual(c.command("P@SW"), USE_EXTENDED)
            self.assertEqual(c.command("PORT 127,0,0,1,19,136"), USE_EXTENDED)
            for command in ("EPSV 1", "EPRT |1|127.0.0.1|5000|", "EPRT |3|::1|5000|",
                            "EPRT |2|::ffff:127.0.0.1|5000|"):
                self.assertEqual(c.command(command), "522 Network protocol not supported, use (2)", command)
            for command in ("EPRT |2|::1%lo|2000|", "EPRT |2|[::1]|2000|", "EPRT |2|::2|5000|",
                            "EPRT |2|::1|1023|", "EPRT |2|::|1023|",
                            "EPRT |2|" + "1:" * 1000 + "1|2000|"):
                self.assertEqual(c.command(command), "504 Command not implemented for that parameter.", command)
            for command in ("EPRT |2|::1|2000", "EPRT 2|::1|2000|"):
                self.assertEqual(c.command(command), "501 Syntax error in parameters or arguments.", command)
            self.assertEqual(c.command("EPRT |2|0:0:0:0:0:0:0:1|5000|"), "200 EPRT command successful.")
            self.assertEqual(c.command("EPRT |2|::|5000|"), "200 EPRT command successful.")  # lftp's way
            passive_port(c.command("EPSV 2"))
            passive_port(c.command("EPSV"))
        # IPv4 connections answer as before, and take a v4-mapped EPRT as their own address.
        with logged_in(self.s.server, HOST) as c:
            self.assertEqual(c.command("EPSV 2"), "522 Network protocol not supported, use (1)")
            self.assertEqual(c.command("EPRT |2|::1|5000|"), "522 Network protocol not supported, use (1)")
            self.assertEqual(c.command("EPRT |2|::ffff:127.0.0.1|5000|"), "200 EPRT command successful.")
            self.assertTrue(c.command("PASV").startswith("227 Entering Passive Mode (127,0,0,1,"))

    def test_the_passive_port_takes_only_the_control_connections_own_client(self):
        s = self.s
        with logged_in(s.server, HOST6) as c:
            s.write("small.bin", b"six by")
            port = passive_port(c.command("EPSV"))
            with socket.create_connection((HOST, port), timeout=5) as intruder:
                self.assertTrue(wait_until(lambda: "Refused data connection from 127.0.0.1." in s.server.stdout(), 5))
                intruder.settimeout(5)
                self.assertEqual(intruder.recv(100), b"")  # turned away, nothing sent
            with socket.create_connection((HOST6, port), timeout=5) as data:
                c.send("RETR small.bin\r\n")
                self.assertEqual(c.read_line(), "150 File status okay; about to open data connection.")
                got = b""
                while chunk := data.recv(100):
                    got += chunk
                self.assertEqual(got, b"six by")
            self.assertEqual(c.read_line(), "226 Transfer complete.")


@needs_ipv6
class ListenAddressTest(unittest.TestCase):
    def test_one_address_binds_one_family(self):
        for address, served, refused in (("127.0.0.1", HOST, HOST6), ("::1", HOST6, HOST)):
            with self.subTest(address=address), ServerProcess({"ListenAddress": address}) as server:
                self.assertTrue(connect_refused(refused, server.port))
                with server.client(host=served) as c:
                    self.assertEqual(c.read_line(), GREETING)

    def test_an_address_that_does_not_parse_keeps_the_listener_from_starting(self):
        for address in ("1::2::3", "[::1]", "fe80::1%lo", "localhost"):
            with self.subTest(address=address):
                server = ServerProcess({"ListenAddress": address}).launch()
                try:
                    self.assertNotEqual(server.wait_exit(), 0)
                    self.assertIn(f"Server cannot run on address {address}: not an IP address.", server.stdout())
                    self.assertFalse(server.listening())
                finally:
                    server.close()


@needs_ipv6
class Ipv6AdmissionTest(unittest.TestCase):
    def accounts(self, settings, **lists):
        server = ServerProcess({"LoginFailDelay": 0, **settings}, **lists)
        ftp_accounts.add_user(server.home, USER, PASSWORD, os.path.join(server.home, "home"))
        return server

    def test_failed_logins_from_ipv6_ban_it_and_only_it(self):
        with self.accounts({"BanAfterFails": 2, "MaxLoginFails": 5}) as server:
            c = server.client(host=HOST6)
            self.assertEqual(c.read_line(), GREETING)
            for answer in ("530 username or password incorrect.", "421 Too many failed logins."):
                self.assertEqual(c.command(f"USER {USER}"), "331 username ok, need password.")
                self.assertEqual(c.command("PASS wrong"), answer)
            self.assertTrue(wait_until(lambda: "::1 banned after 2 failed logins." in server.stdout(), 5))
            c.close()
            with server.client(host=HOST6) as refused:
                self.assertEqual(refused.read_line(), REJECTED)
                self.assertTrue(refused.wait_closed())
            with server.client(host=HOST) as other:
                self.assertEqual(other.read_line(), GREETING)

    def test_max_per_ip_counts_ipv6_clients(self):
        with self.accounts({"MaxPerIP": 1}) as server:
            first = server.client(host=HOST6)
            self.assertEqual(first.read_line(), GREETING)
            with server.client(host=HOST6) as second:
                self.assertEqual(second.read_line(), "421 Too many connections from your address.")
            with server.client(host=HOST) as other:
                self.assertEqual(other.read_line(), GREETING)
            first.close()

    def test_lists_take_ipv6_addresses_and_prefixes(self):
        cases = (({"FilterMode": 1}, {"reject": "10.0.0.1, ::1"}, REJECTED, GREETING),
                 ({"FilterMode": 1}, {"reject": "0:0:0:0:0:0:0:0/127"}, REJECTED, GREETING),
                 ({"FilterMode": 1}, {"reject": "fe80::1%lo, [::1], 127.0.0.1"}, GREETING, REJECTED),
                 ({"FilterMode": 2}, {"accept": "::1"}, GREETING, REJECTED),
                 ({"FilterMode": 2}, {"accept": "::ffff:127.0.0.1"}, REJECTED, GREETING))
        for settings, lists, over_ipv6, over_ipv4 in cases:
            with self.subTest(lists=lists), self.accounts({"Savelog": 1, **settings}, **lists) as server:
                for host, expected in ((HOST6, over_ipv6), (HOST, over_ipv4)):
                    with server.client(host=host) as c:
                        self.assertEqual(c.read_line(), expected, host)
        with self.accounts({"FilterMode": 1}, reject="fe80::1%lo,[::1]") as server:
            for entry in ("fe80::1%lo", "[::1]"):
                self.assertIn(f'IP list rejectip.txt: ignored entry "{entry}".', server.stdout())


if __name__ == "__main__":
    unittest.main()
