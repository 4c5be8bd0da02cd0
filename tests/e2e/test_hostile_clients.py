"""Clients that attack the real tarnsvc: password guessing, slow and flooding connections, forged listing
lines, links out of the tree, stored secrets, deny lists written by hand and weak TLS suites."""
import ftplib
import io
import os
import re
import socket
import stat
import subprocess
import time
import unittest

import ftp_accounts
from ftp_accounts import sdbtool
from harness import GREETING, HOST, ServerProcess, wait_until
from test_ftps import CLIENT_CONTEXT, ImplicitFtp, certificates

BAD, OK = "530 username or password incorrect.", "230 User logged in. proceed."
TOO_MANY_FAILS = "421 Too many failed logins."
REJECTED = "421 Access denied, IP address was rejected by the server."


class Accounts:
    """A server with one user "alice" (password "pw") whose home is <program dir>/home."""

    def __init__(self, **settings):
        self.server = ServerProcess(settings)
        self.dir = self.server.home
        self.home = os.path.join(self.dir, "home")
        ftp_accounts.add_user(self.dir, "alice", "pw", self.home)

    def __enter__(self):
        self.server.start()
        return self

    def __exit__(self, *exc):
        self.server.close()

    def greeted(self):
        c = self.server.client()
        assert c.read_line() == GREETING
        return c

    def fail_login(self, c, password="wrong"):
        """USER alice, then a wrong PASS; returns the answer and the seconds it took."""
        assert c.command("USER alice") == "331 username ok, need password."
        start = time.monotonic()
        reply = c.command(f"PASS {password}")
        return reply, time.monotonic() - start


class PasswordGuessingTest(unittest.TestCase):
    def test_failures_are_delayed_without_holding_up_others_and_the_third_ends_the_connection(self):
        with Accounts() as s:
            guesser, other = s.greeted(), s.greeted()
            guesser.send("USER nobody\r\nPASS x\r\n")
            self.assertEqual(guesser.read_line(), "331 username ok, need password.")
            # While the guess waits for its answer, another client is served at once.
            start = time.monotonic()
            self.assertEqual(other.command("NOOP"), "530 Please login with USER and PASS.")
            self.assertLess(time.monotonic() - start, 0.5)
            self.assertEqual(guesser.read_line(), BAD)
            self.assertGreater(time.monotonic() - start, 0.9)
            # A known user's failure takes as long as an unknown one's.
            reply, took = s.fail_login(guesser)
            self.assertEqual(reply, BAD)
            self.assertGreater(took, 0.9)
            self.assertLess(took, 3)
            self.assertEqual(s.fail_login(guesser)[0], TOO_MANY_FAILS)
            self.assertTrue(guesser.wait_closed())
            self.assertEqual(s.greeted().command("NOOP"), "530 Please login with USER and PASS.")

    def test_an_address_is_banned_after_its_failures_and_a_success_clears_them(self):
        with Accounts(LoginFailDelay=0, BanAfterFails=4, MaxLoginFails=3) as s:
            c = s.greeted()
            for _ in range(3):
                self.assertEqual(s.fail_login(c)[0], BAD if _ < 2 else TOO_MANY_FAILS)
            c = s.greeted()
            self.assertEqual(c.command("USER alice"), "331 username ok, need password.")
            self.assertEqual(c.command("PASS pw"), OK)  # three failures so far: the count starts again
            for _ in range(3):
                c = s.greeted()
                self.assertEqual(s.fail_login(c)[0], BAD)
            self.assertNotIn("banned after", s.server.stdout())
            self.assertEqual(s.fail_login(c)[0], TOO_MANY_FAILS)  # the fourth since the success
            self.assertTrue(wait_until(lambda: "127.0.0.1 banned after 4 failed logins." in s.server.stdout(), 5))
            refused = s.server.client()
            self.assertEqual(refused.read_line(), REJECTED)
            self.assertTrue(refused.wait_closed())


class AccountGuessingTest(unittest.TestCase):
    def test_guesses_from_many_addresses_lock_the_account_but_not_for_its_owner(self):
        with Accounts(LoginFailDelay=300, BanAfterFails=3, maxusers=100) as s:
            ftp_accounts.add_user(s.dir, "bob", "pw2", s.home)
            owner = s.server.client(source="127.0.0.2")
            self.assertEqual(owner.read_line(), GREETING)
            owner.command("USER alice")
            self.assertEqual(owner.command("PASS pw"), OK)
            owner.close()

            def guess_at_once(sources, password):
                """One USER alice and PASS from each address, all sent before any answer is read."""
                clients = [s.server.client(source=a) for a in sources]
                for c in clients:
                    self.assertEqual(c.read_line(), GREETING)
                start = time.monotonic()
                for c in clients:
                    c.send(f"USER alice\r\nPASS {password}\r\n")
                replies = [(c.read_line(), c.read_line())[1] for c in clients]
                for c in clients:
                    c.close()
                return replies, time.monotonic() - start

            # The default limit: 20 guesses on alice, one from each address, none of which is banned.
            replies, _ = guess_at_once([f"127.0.0.{i}" for i in range(10, 30)], "wrong")
            self.assertEqual(replies, [BAD] * 20)
            locked = "Account alice locked after 20 failed logins."
            self.assertTrue(wait_until(lambda: locked in s.server.stdout(), 5))
            # The right password from addresses alice never logged in from is refused after the usual delay.
            replies, took = guess_at_once([f"127.0.0.{i}" for i in range(30, 60)], "pw")
            self.assertEqual(replies, [BAD] * 30)
            self.assertGreater(took, 0.29)
            # Her own address, another account and addresses of other accounts are not touched.
            owner = s.server.client(source="127.0.0.2")
            self.assertEqual(owner.read_line(), GREETING)
            owner.command("USER ALICE")
            self.assertEqual(owner.command("PASS pw"), OK)
            other = s.server.client(source="127.0.0.60")
            self.assertEqual(other.read_line(), GREETING)
            other.command("USER bob")
            self.assertEqual(other.command("PASS pw2"), OK)
            owner.close()
            other.close()
            out = s.server.stdout()
            self.assertEqual(out.count(locked), 1)
            self.assertNotIn("banned after", out)

    def test_successes_between_guesses_neither_reset_the_connection_nor_clear_other_accounts(self):
        with Accounts(LoginFailDelay=0, MaxLoginFails=3, BanAfterFails=5) as s:
            ftp_accounts.add_user(s.dir, "bob", "pw2", s.home)

            def bob_logs_in(c):
                self.assertEqual(c.command("USER bob"), "331 username ok, need password.")
                self.assertEqual(c.command("PASS pw2"), OK)

            c = s.greeted()
            for reply in (BAD, BAD, TOO_MANY_FAILS):
                self.assertEqual(s.fail_login(c)[0], reply)
                if reply == BAD:
                    bob_logs_in(c)
            self.assertTrue(c.wait_closed())
            c.close()
            c = s.greeted()
            self.assertEqual(s.fail_login(c)[0], BAD)
            bob_logs_in(c)
            self.assertEqual(s.fail_login(c)[0], TOO_MANY_FAILS)  # alice's fifth from this address
            self.assertTrue(wait_until(lambda: "127.0.0.1 banned after 5 failed logins." in s.server.stdout(), 5))
            c.close()
            with s.server.client() as refused:
                self.assertEqual(refused.read_line(), REJECTED)


class LogFloodTest(unittest.TestCase):
    """The lines one address causes are written up to its budget a second; the rest are counted."""
    HELD = re.compile(r"^(\d+) lines of (\S+) not logged\.$")

    def written_and_held(self, server):
        """(lines that clients caused in the log file, lines of 127.0.0.1 held back, its summary lines)."""
        written, held, summaries = 0, 0, 0
        for m in server.log_messages():
            match = self.HELD.match(m)
            if match and match.group(2) == HOST:
                held += int(match.group(1))
                summaries += 1
            elif not m.startswith(("Server is running", "TLS is not available")):  # the start's own lines
                written += 1
        return written, held, summaries

    def assert_accounted(self, server, expected, seconds):
        """Every line is written or counted, and what was written keeps within the budget."""
        self.assertTrue(wait_until(lambda: sum(self.written_and_held(server)[:2]) == expected, 10),
                        (self.written_and_held(server), expected))
        written, held, summaries = self.written_and_held(server)
        self.assertGreater(held, 0)
        self.assertLessEqual(written, 200 * (seconds + 3))
        return summaries

    def test_a_logged_in_client_sending_noop_as_fast_as_it_can(self):
        with Accounts(Savelog=1) as s:
            c = s.greeted()
            c.command("USER alice")
            self.assertEqual(c.command("PASS pw"), OK)
            start, noops = time.monotonic(), 0
            while time.monotonic() - start < 2.5 and noops < 100_000:
                c.send("NOOP\r\n" * 500)
                for _ in range(500):
                    self.assertEqual(c.read_line(), "200 NOOP command successful.")
                noops += 500
            seconds = time.monotonic() - start
            self.assertEqual(c.command("QUIT"), "220 GoodBye")
            self.assertTrue(c.wait_closed())
            c.close()
            # connect, greeting, USER and PASS with their replies, the NOOPs, QUIT and its reply, disconnect
            summaries = self.assert_accounted(s.server, 9 + 2 * noops, seconds)
            self.assertLessEqual(summaries, seconds + 3)  # at most one a second
            self.assertLess(len(s.server.log_bytes()), 100 * 200 * (seconds + 2))

    def test_clients_reconnecting_without_logging_in(self):
        with Accounts(Savelog=1) as s:
            start, connections = time.monotonic(), 0
            # 1,800 lines, some hundreds a second: more than the budget of one second
            while time.monotonic() - start < 8 and connections < 600:
                with s.server.client() as c:
                    self.assertEqual(c.read_line(), GREETING)
                connections += 1
            seconds = time.monotonic() - start
            # Another address has a budget of its own.
            other = s.server.client(source="127.0.0.2")
            self.assertEqual(other.read_line(), GREETING)
            self.assertTrue(wait_until(lambda: "127.0.0.2 has connected to server." in s.server.log_messages(), 5))
            # Each: connect, greeting, disconnect; and the other's connect and greeting.
            self.assert_accounted(s.server, 3 * connections + 2, seconds)
            other.close()


class SlowAndFloodingClientsTest(unittest.TestCase):
    def test_a_trickling_client_is_ended_by_the_login_time_out(self):
        with Accounts(LoginTimeout=2) as s:
            c = s.greeted()
            start, reply = time.monotonic(), None
            # One byte each half second, never a whole line: the server's answer paces the loop.
            for byte in b"USER alice PASS pw" * 2:
                c.send(bytes([byte]))
                try:
                    reply = c.read_line(timeout=0.5)
                    break
                except AssertionError:
                    pass
            self.assertEqual(reply, "421 Login timeout.")
            self.assertLess(time.monotonic() - start, 6)
            self.assertTrue(c.wait_closed())
            # A client that logs in in time is not touched.
            c = s.greeted()
            self.assertEqual(c.command("USER alice"), "331 username ok, need password.")
            self.assertEqual(c.command("PASS pw"), OK)
            self.assertTrue(c.silent_for(3))

    def test_the_twenty_first_command_before_login_ends_the_connection(self):
        with Accounts() as s:
            c = s.greeted()
            for _ in range(20):
                self.assertEqual(c.command("NOOP"), "530 Please login with USER and PASS.")
            self.assertEqual(c.command("NOOP"), "421 Too many commands before login.")
            self.assertTrue(c.wait_closed())
            # Logged in, commands are not counted.
            c = s.greeted()
            c.command("USER alice")
            self.assertEqual(c.command("PASS pw"), OK)
            for _ in range(30):
                self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")

    def test_connections_per_address(self):
        with Accounts(MaxPerIP=2) as s:
            first, second = s.greeted(), s.greeted()
            third = s.server.client()
            self.assertEqual(third.read_line(), "421 Too many connections from your address.")
            self.assertTrue(third.wait_closed())
            first.command("QUIT")
            gone = "127.0.0.1 has disconnected from server."
            self.assertTrue(wait_until(lambda: s.server.stdout().count(gone) == 2, 5))
            self.assertEqual(s.greeted().command("NOOP"), "530 Please login with USER and PASS.")
            second.close()


class IpListTest(unittest.TestCase):
    def test_lists_written_one_address_a_line_or_with_blanks_and_semicolons(self):
        for text in ("10.0.0.1\n127.0.0.1\n", "10.0.0.1 127.0.0.1", "10.0.0.1;\t127.0.0.1\r\n"):
            with ServerProcess({"FilterMode": 1}, reject=text) as server:
                c = server.client()
                self.assertEqual(c.read_line(), REJECTED, repr(text))
        with ServerProcess({"FilterMode": 2}, accept="10.0.0.1\n127.0.0.*\n") as server:
            self.assertEqual(server.client().read_line(), GREETING)

    def test_an_entry_that_is_no_address_is_reported_once(self):
        with ServerProcess({"FilterMode": 1}, reject="10.0.0.1\nlocalhost\n10.0.0.300, 127.0.0.2") as server:
            out = server.stdout()
            self.assertIn('IP list rejectip.txt: ignored entry "localhost".', out)
            self.assertIn('IP list rejectip.txt: ignored entry "10.0.0.300".', out)
            self.assertEqual(out.count("ignored entry"), 2)
            self.assertEqual(server.client().read_line(), GREETING)


class StoredSecretsTest(unittest.TestCase):
    def test_tables_are_private_and_a_readable_one_is_reported(self):
        with Accounts() as s:
            for name in ("user.sdb", "group.sdb"):
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(s.dir, name)).st_mode), 0o600, name)
            self.assertNotIn("readable by other users", s.server.stdout())
        s = Accounts()
        os.chmod(os.path.join(s.dir, "user.sdb"), 0o644)
        with s:
            self.assertIn(os.path.join(s.dir, "user.sdb") + " is readable by other users.", s.server.stdout())
            self.assertNotIn("group.sdb is readable", s.server.stdout())

    def test_a_hashed_password(self):
        s = Accounts(LoginFailDelay=0)
        sdbtool("user", "set", s.dir, "alice", "--password-hash", "horse staple")
        table = sdbtool("dump", os.path.join(s.dir, "user.sdb"))
        self.assertIn("$y$", table)
        self.assertNotIn("horse staple", table)
        with s:
            c = s.greeted()
            self.assertEqual(s.fail_login(c, "$y$")[0], BAD)
            self.assertEqual(s.fail_login(c, "horse")[0], BAD)
            c = s.greeted()
            c.command("USER alice")
            self.assertEqual(c.command("PASS horse staple"), OK)
            with ftplib.FTP() as f:
                f.connect(HOST, s.server.port, timeout=10)
                self.assertTrue(f.login("alice", "horse staple").startswith("230"))


class ListingTest(unittest.TestCase):
    def test_control_bytes_in_names(self):
        with Accounts() as s:
            for name in ("fake\r\n226 done\x07", "tab\tname"):
                with open(os.path.join(s.home, name), "wb") as f:
                    f.write(b"x")
            c = s.greeted()
            c.command("USER alice")
            self.assertEqual(c.command("PASS pw"), OK)
            for command in ("STOR a\tb", "APPE a\x1bb", "MKD new\x1fdir"):
                self.assertEqual(c.command(command), "553 File name not allowed.", repr(command))
            self.assertEqual(c.command("RNFR tab\tname"), "350 File exists, ready for destination name.")
            self.assertEqual(c.command("RNTO tab\x01name"), "553 File name not allowed.")
            self.assertEqual(c.command("DELE tab\tname"), '250 File "/tab?name" was deleted .')
            with ftplib.FTP() as f:
                f.connect(HOST, s.server.port, timeout=10)
                f.login("alice", "pw")
                self.assertEqual(f.nlst(), ["fake??226 done?"])
                lines = []
                f.retrlines("LIST", lines.append)
                self.assertEqual(len(lines), 1)
                self.assertTrue(lines[0].endswith(" fake??226 done?"), lines[0])
            self.assertEqual(sorted(os.listdir(s.home)), ["fake\r\n226 done\x07"])

    def test_control_bytes_in_fact_listings_and_time_replies(self):
        with Accounts() as s:
            os.mkdir(os.path.join(s.home, "d\x1b"))
            with open(os.path.join(s.home, "d\x1b", "bell\x07\n.txt"), "wb") as f:
                f.write(b"x")
            c = s.greeted()
            c.command("USER alice")
            self.assertEqual(c.command("PASS pw"), OK)
            # A bare LF is no line end: it reaches the name, and no reply line may carry it.
            self.assertEqual(c.command("CWD d\x1b"), '250 CWD command successful "/d?" is current directory.')
            self.assertEqual(c.command("MFMT 20200102030405 bell\x07\n.txt"), "213 Modify=20200102030405; bell??.txt")
            self.assertEqual(c.command("MDTM bell\x07\n.txt"), "213 20200102030405")
            self.assertEqual(c.command("MLST bell\x07\n.txt"), "250-Listing /d?/bell??.txt")
            self.assertTrue(c.read_line().endswith("; /d?/bell??.txt"))
            self.assertEqual(c.read_line(), "250 End.")
            self.assertEqual(c.command("MFMT 20200102030405 new\x01"), "550 File unavailable.")
            with ftplib.FTP() as f:
                f.connect(HOST, s.server.port, timeout=10)
                f.login("alice", "pw")
                self.assertEqual([name for name, _ in f.mlsd("d\x1b")], ["bell??.txt"])
            self.assertEqual(os.listdir(s.home), ["d\x1b"])

    def test_failed_logins_sent_in_one_go_are_answered_one_by_one(self):
        with Accounts(LoginFailDelay=300) as s:
            c = s.greeted()
            start = time.monotonic()
            c.send("USER alice\r\nPASS a\r\nNOOP\r\nUSER alice\r\nPASS b\r\nUSER alice\r\nPASS c\r\n"
                   "USER alice\r\nPASS pw\r\nNOOP\r\n")
            replies = [c.read_line() for _ in range(7)]
            self.assertEqual(replies, ["331 username ok, need password.", BAD, "530 Please login with USER and PASS.",
                                       "331 username ok, need password.", BAD, "331 username ok, need password.",
                                       TOO_MANY_FAILS])
            self.assertGreater(time.monotonic() - start, 0.85)  # each failure held its own delay
            # The right password behind the third failure is never looked at.
            self.assertTrue(c.wait_closed())
            self.assertEqual(c.buffer, b"")

    def test_a_link_out_of_the_tree_is_listed_from_the_link(self):
        with Accounts() as s:
            outside = os.path.join(s.dir, "secret.bin")
            with open(outside, "wb") as f:
                f.write(b"s" * 123457)
            os.symlink(outside, os.path.join(s.home, "out"))
            with open(os.path.join(s.home, "inside.bin"), "wb") as f:
                f.write(b"i" * 98765)
            os.symlink(os.path.join(s.home, "inside.bin"), os.path.join(s.home, "in"))
            with ftplib.FTP() as f:
                f.connect(HOST, s.server.port, timeout=10)
                f.login("alice", "pw")
                lines = {}
                f.retrlines("LIST", lambda l: lines.__setitem__(l.split()[-1], l.split()[4]))
            self.assertEqual(lines["out"], str(len(outside)))  # the link's own size: its target's path
            self.assertEqual(lines["in"], "98765")
            self.assertEqual(lines["inside.bin"], "98765")


class TlsTest(unittest.TestCase):
    def test_handshakes_under_way_count_against_the_connection_limit(self):
        server = ServerProcess({"ftpsservice": 1, "maxusers": 2})
        certificates().install(server)
        with server:
            threads = server.thread_count()
            silent = [socket.create_connection((HOST, server.ssl_port)) for _ in range(2)]
            self.assertTrue(wait_until(lambda: server.thread_count() == threads + 2, 5))
            full = server.client()
            self.assertEqual(full.read_line(), "421 Too many users are connected, please try again later.")
            self.assertTrue(full.wait_closed())
            silent.pop().close()  # its handshake fails and gives its place back
            self.assertTrue(wait_until(lambda: server.thread_count() == threads + 1, 5))
            self.assertEqual(server.client().read_line(), GREETING)
            silent.pop().close()

    def silent_flood(self, server, count):
        """`count` connections from 127.0.0.1 to the TLS port that never send a byte. Returns them once the
        server has taken all of them: it keeps a thread for each handshake it admits and closes the rest."""
        threads = server.thread_count()
        flood = [socket.create_connection((HOST, server.ssl_port)) for _ in range(count)]
        for s in flood:
            s.setblocking(False)

        def closed(s):
            try:
                return s.recv(1) == b""
            except BlockingIOError:
                return False
            except ConnectionResetError:
                return True

        admitted = lambda: sum(1 for s in flood if not closed(s))
        return flood, threads, admitted

    def legitimate_login(self, server, source):
        f = ImplicitFtp(context=CLIENT_CONTEXT, timeout=5, source_address=(source, 0))
        f.connect(HOST, server.ssl_port)
        with f:
            return f.login("alice", "pw")

    def test_silent_handshakes_from_one_address_cannot_fill_the_server(self):
        # Handshakes under way hold places against MaxPerIP as well as maxusers, and one address gets no
        # more of them than MaxPerIP (10 without a limit): the rest are closed at once.
        for per_ip, bound in ((5, 5), (0, 10)):
            with self.subTest(MaxPerIP=per_ip):
                server = ServerProcess({"ftpsservice": 1, "maxusers": 20, "MaxPerIP": per_ip})
                certificates().install(server)
                ftp_accounts.add_user(server.home, "alice", "pw", os.path.join(server.home, "home"))
                with server:
                    flood, threads, admitted = self.silent_flood(server, 60)
                    try:
                        self.assertTrue(wait_until(lambda: admitted() == bound, 5), admitted())
                        self.assertEqual(server.thread_count(), threads + bound)
                        # Everyone else gets in, over TLS and plain, several at a time.
                        others = []
                        for i in range(8):
                            others.append(ftplib.FTP(source_address=(f"127.0.0.{2 + i % 2}", 0), timeout=5))
                            self.assertEqual(others[-1].connect(HOST, server.port), GREETING)
                        for source in ("127.0.0.2", "127.0.0.3"):
                            self.assertEqual(self.legitimate_login(server, source), OK)
                        for f in others:
                            f.close()
                        if per_ip:
                            # The flooding address's handshakes fill its own allowance.
                            own = server.client()
                            self.assertEqual(own.read_line(), "421 Too many connections from your address.")
                            own.close()
                    finally:
                        for s in flood:
                            s.close()
                    # The places come back when the handshakes end.
                    self.assertTrue(wait_until(lambda: server.thread_count() == threads, 5))
                    self.assertEqual(self.legitimate_login(server, HOST), OK)

    def s_client(self, port, *args):
        return subprocess.run(["openssl", "s_client", "-connect", f"{HOST}:{port}", *args],
                              input=b"", capture_output=True, timeout=30)

    def test_only_forward_secret_aead_suites_under_tls_1_2(self):
        server = ServerProcess({"ftpsservice": 1})
        certificates().install(server)
        with server:
            for weak in ("AES128-SHA", "AES256-SHA256", "ECDHE-RSA-AES128-SHA"):
                result = self.s_client(server.ssl_port, "-tls1_2", "-cipher", weak)
                self.assertNotEqual(result.returncode, 0, weak)
            # s_client ends at the end of its input, maybe before the greeting: the handshake is what counts.
            result = self.s_client(server.ssl_port, "-tls1_2", "-cipher", "ECDHE-RSA-AES128-GCM-SHA256")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(b"Cipher is ECDHE-RSA-AES128-GCM-SHA256", result.stdout)
            result = self.s_client(server.ssl_port, "-tls1_3")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(b"New, TLSv1.3", result.stdout)


if __name__ == "__main__":
    unittest.main()
