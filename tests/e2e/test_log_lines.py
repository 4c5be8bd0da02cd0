"""Event lines an operator reads and log watchers parse: each connection's tag, the failed-login line, and the
shipped fail2ban filter run by the real fail2ban-regex over a log the server wrote."""
import glob
import os
import shutil
import subprocess
import unittest

from ftp_accounts import add_user
from harness import CONNECTION_TAG, GREETING, ServerProcess
from test_ipv6 import HOST6, needs_ipv6

FILTER = os.path.join(os.path.dirname(__file__), "..", "..", "packaging", "fail2ban", "tarnwick.conf")
USER_OK = "331 username ok, need password."
FAILED = "530 username or password incorrect."


def logged_server(**settings):
    server = ServerProcess({"Savelog": 1, **settings})
    add_user(server.home, "alice", "pw", os.path.join(server.home, "home"))
    return server  # started by `with`


def by_tag(lines):
    """Tag -> the messages after it, in order."""
    tagged = {}
    for line in lines:
        m = CONNECTION_TAG.match(line)
        if m:
            tagged.setdefault(m.group(0), []).append(line[m.end():])
    return tagged


class ConnectionTagTest(unittest.TestCase):
    def test_two_clients_at_once_are_told_apart_by_their_tags(self):
        with logged_server() as server:
            a, b = server.client(), server.client()
            self.assertEqual(a.read_line(), GREETING)
            self.assertEqual(b.read_line(), GREETING)
            # Interleaved, so that neither connection's lines come as one block.
            self.assertEqual(a.command("USER alice"), USER_OK)
            self.assertEqual(b.command("USER bob"), USER_OK)
            self.assertEqual(a.command("PASS pw"), "230 User logged in. proceed.")
            self.assertEqual(b.command("NOOP"), "530 Please login with USER and PASS.")
            for c in (a, b):
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
                self.assertTrue(c.wait_closed())
                c.close()
            self.assertEqual(server.wait_log_count("127.0.0.1 has disconnected from server.", 2), 2)
            tagged = by_tag(server.log_lines())
        self.assertEqual(len(tagged), 2, tagged)
        sessions = sorted(tagged.values(), key=lambda lines: lines[2])  # by their USER line
        connect, disconnect = "127.0.0.1 has connected to server.", "127.0.0.1 has disconnected from server."
        self.assertEqual(sessions[0], [connect, GREETING, ">> USER alice", USER_OK, ">> PASS ***",
                                       "230 User logged in. proceed.", ">> QUIT", "220 GoodBye", disconnect])
        self.assertEqual(sessions[1], [connect, GREETING, ">> USER bob", USER_OK, ">> NOOP",
                                       "530 Please login with USER and PASS.", ">> QUIT", "220 GoodBye", disconnect])
        for tag in tagged:
            self.assertRegex(tag, r"^\[#\d+ 127\.0\.0\.1\] $")

    @needs_ipv6
    def test_an_ipv6_client_is_tagged_with_its_short_address(self):
        with logged_server() as server:
            with server.client(host=HOST6) as c:
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
            server.wait_log_count("::1 has disconnected from server.", 1)
            tags = set(by_tag(server.log_lines()))
        self.assertEqual(len(tags), 1, tags)
        self.assertRegex(tags.pop(), r"^\[#\d+ ::1\] $")


class FailedLoginTest(unittest.TestCase):
    def test_a_failed_login_names_the_user_as_typed_and_the_address(self):
        with logged_server(LoginFailDelay=0, LogSessionTags=0) as server:
            with server.client() as c:
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.command("USER alice"), USER_OK)
                self.assertEqual(c.command("PASS not-the-password"), FAILED)
                self.assertEqual(c.command("USER eve\x01x' from 192.0.2.9"), USER_OK)
                self.assertEqual(c.command("PASS pw"), FAILED)
                self.assertEqual(c.command("USER alice"), USER_OK)
                self.assertEqual(c.command("PASS pw"), "230 User logged in. proceed.")
            messages = server.log_messages()
            log = server.log_bytes()
        failed = [m for m in messages if m.startswith("Login failed")]
        self.assertEqual(failed, ["Login failed: user 'alice' from 127.0.0.1.",
                                  "Login failed: user 'eve?x' from 192.0.2.9' from 127.0.0.1."])
        self.assertNotIn(b"not-the-password", log)


FAIL2BAN_REGEX = shutil.which("fail2ban-regex")


@unittest.skipIf(FAIL2BAN_REGEX is None and not os.environ.get("CI"), "fail2ban-regex is not installed")
class Fail2banFilterTest(unittest.TestCase):
    def fail_logins(self, server, host, names):
        """One connection from `host` that fails a login as each of `names`."""
        with server.client(host=host) as c:
            self.assertEqual(c.read_line(), GREETING)
            for name in names:
                self.assertEqual(c.command(f"USER {name}"), USER_OK)
                self.assertIn(c.command("PASS wrong"), (FAILED, "421 Too many failed logins."))

    def matched_addresses(self, server):
        (log,) = glob.glob(os.path.join(server.home, "log", "*.txt"))
        r = subprocess.run([FAIL2BAN_REGEX, "--out", "ip", log, FILTER], capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        return sorted(r.stdout.split())

    def run_filter_over_failed_logins(self, tags):
        forged = ["x' from 198.51.100.7", "198.51.100.8 banned after 3 failed logins.",
                  "y' from 198.51.100.9."]
        with logged_server(LoginFailDelay=0, BanAfterFails=3, MaxLoginFails=0, LogSessionTags=tags) as server:
            self.fail_logins(server, "127.0.0.1", ["alice", "bob", "alice"])  # the third bans 127.0.0.1
            self.assertEqual(server.wait_log_count("127.0.0.1 banned after 3 failed logins.", 1), 1)
            self.fail_logins(server, HOST6, forged)  # ::1 is banned by the third as well
            self.assertEqual(server.wait_log_count("::1 banned after 3 failed logins.", 1), 1)
            server.stop()
            addresses = self.matched_addresses(server)
        # Three failed logins and a ban of each address; nothing of the names.
        self.assertEqual(addresses, ["127.0.0.1"] * 4 + ["::1"] * 4)

    @needs_ipv6
    def test_the_filter_takes_the_failed_logins_and_bans_of_both_families_and_no_forged_address(self):
        for tags in (1, 0):
            with self.subTest(LogSessionTags=tags):
                self.run_filter_over_failed_logins(tags)


if __name__ == "__main__":
    unittest.main()
