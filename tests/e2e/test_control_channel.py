"""Control channel before login: line assembly, the order of the dispatcher's checks, what reaches the log."""
import os
import re
import time
import unittest

from ftp_accounts import add_user
from harness import EVENT_PREFIX, GREETING, ServerProcess, wait_until

SYNTAX = "501 Syntax error in parameters or arguments."
LOGIN_FIRST = "530 Please login with USER and PASS."
# An argument-less CWD answers 501 before login: a distinct reply that follows a line expected to get none.
SENTINEL = "CWD\r\n"


class ControlChannelTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess({"Savelog": 1}).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.c = self.server.client()
        self.assertEqual(self.c.read_line(), GREETING)

    def tearDown(self):
        self.c.close()

    def assertNoReplyTo(self, data):
        self.c.send(data)
        self.c.send(SENTINEL)
        self.assertEqual(self.c.read_line(), SYNTAX)

    def test_checks_before_login(self):
        cases = [
            ("CWD", SYNTAX),  # argument check comes before the login gate
            ("CWD ", SYNTAX),
            ("USER", SYNTAX),
            ("PASS", SYNTAX),
            ("CWD /", LOGIN_FIRST),
            ("NOOP", LOGIN_FIRST),
            ("noop", LOGIN_FIRST),
            ("FOO bar", LOGIN_FIRST),  # unknown words meet the login gate too
            ("MLSD", LOGIN_FIRST),
            ("EPSV", LOGIN_FIRST),
            ("MDTM x", LOGIN_FIRST),
            ("OPTS", SYNTAX),
            # Served before login, so that clients can learn what the server speaks.
            ("SYST", "215 UNIX Type: L8"),
            ("OPTS UTF8 ON", "200 Always in UTF8 mode."),
            ("OPTS UTF8 OFF", "501 Option not understood."),
            ("OPTS FOO", "501 Option not understood."),
            ("HELP SYST", "214 Get operating system type: SYST"),
        ]
        for line, expected in cases:
            with self.subTest(line=line):
                self.assertEqual(self.c.command(line), expected)

    def test_help_lists_the_command_words(self):
        self.assertEqual(self.c.command("HELP"), "214-The following commands are recognized:")
        words = []
        while (line := self.c.read_line()) != "214 Help OK.":
            self.assertFalse(line.startswith("214 "), line)
            words += line.split()
        self.assertEqual(words[:3], ["ABOR", "APPE", "BYE"])
        for word in ("XRMD", "FEAT", "MLSD", "EPSV", "OPTS"):
            self.assertIn(word, words)
        self.assertNotIn("PROT", words)  # the TLS listener's only

    def test_feat_on_the_plain_listener(self):
        self.assertEqual(self.c.command("FEAT"), "211-Features:")
        lines = []
        while (line := self.c.read_line()) != "211 End":
            lines.append(line)
        self.assertEqual(sorted(lines), sorted([" UTF8", " EPSV", " EPRT", " MDTM", " MFMT", " SIZE", " REST STREAM",
                                                " MLST type*;size*;modify*;perm*;", " TVFS"]))

    def test_quit_and_bye_answer_farewell_and_close(self):
        self.assertEqual(self.c.command("QUIT"), "220 GoodBye")
        self.assertTrue(self.c.wait_closed())
        with self.server.client() as other:
            self.assertEqual(other.read_line(), GREETING)
            self.assertEqual(other.command("bye"), "220 GoodBye")
            self.assertTrue(other.wait_closed())

    def test_lines_that_get_no_reply(self):
        self.assertNoReplyTo("\r\n")
        self.assertNoReplyTo(" NOOP\r\n")

    def test_line_split_over_segments(self):
        self.c.send("NO")
        # The server reads the first part on its own before the rest is sent.
        self.assertTrue(wait_until(lambda: self.server.queues(self.c)[1] == 0, 5))
        self.c.send("OP\r\n")
        self.assertEqual(self.c.read_line(), LOGIN_FIRST)
        self.assertNoReplyTo("")  # one reply only

    def test_bare_line_feed_is_no_line_end(self):
        self.c.send("NOOP\n")
        self.assertTrue(self.c.silent_for(0.3))
        self.c.send("CWD\r\n")
        # "NOOP\nCWD" is one line: an unknown word, not a CWD without argument
        self.assertEqual(self.c.read_line(), LOGIN_FIRST)
        self.assertTrue(self.c.silent_for(0.1))

    def test_lines_in_one_segment_get_replies_in_order(self):
        self.c.send("NOOP\r\nCWD\r\nSYST\r\nQUIT\r\n")
        replies = [self.c.read_line() for _ in range(4)]
        self.assertEqual(replies, [LOGIN_FIRST, SYNTAX, "215 UNIX Type: L8", "220 GoodBye"])
        self.assertTrue(self.c.wait_closed())

    def test_long_line_within_limit_is_served(self):
        self.assertEqual(self.c.command("X" * 4000), LOGIN_FIRST)

    def test_overlong_line_ends_only_that_connection(self):
        with self.server.client() as bystander:
            self.assertEqual(bystander.read_line(), GREETING)
            self.c.send("A" * 5000)
            self.assertTrue(self.c.wait_closed(), "connection survives 5000 bytes without a line end")
            self.assertEqual(bystander.command("CWD"), SYNTAX)
        logged = [m for m in self.server.log_messages() if m.startswith("error command: ")]
        self.assertEqual(len(logged), 1, logged)
        shown = logged[0][len("error command: "):]
        self.assertRegex(shown, r"^A{1,128}$")

    def test_nul_cuts_its_line_and_later_lines_are_handled(self):
        self.c.send(b"NOOP\x00junk\r\nCWD\r\nSYST\x00\r\n")
        self.assertEqual([self.c.read_line() for _ in range(3)], [LOGIN_FIRST, SYNTAX, "215 UNIX Type: L8"])
        # The cut goes on into the next chunks up to the line's CR LF, which may itself be split.
        self.c.send(b"CWD\x00a\r")
        self.assertTrue(self.c.silent_for(0.2))
        self.c.send(b"b\r")
        self.assertTrue(self.c.silent_for(0.2))
        self.c.send(b"\nCWD x\r\n")
        self.assertEqual([self.c.read_line() for _ in range(2)], [SYNTAX, LOGIN_FIRST])
        self.assertTrue(self.c.silent_for(0.1))
        self.assertNotIn(b"junk", self.server.log_bytes())
        self.assertNotIn(b"CWDb", self.server.log_bytes())

    def test_password_is_never_logged(self):
        masked = self.server.log_messages().count(">> PASS ***")
        for line in ("PASS secret-one", "pass secret-two", "PASS  secret three "):
            self.c.command(line)
        self.assertEqual(self.c.command("CWD"), SYNTAX)  # the log has caught up with the replies
        log = self.server.log_bytes()
        self.assertNotIn(b"secret", log)
        self.assertEqual(self.server.log_messages().count(">> PASS ***"), masked + 3)

    def test_control_bytes_cannot_forge_log_lines(self):
        forged = "[2001-02-03 04:05:06]  forged"
        self.c.send("NOOP\r" + forged + "\r\n")
        self.assertEqual(self.c.read_line(), LOGIN_FIRST)
        self.c.send("NOOP\n" + forged + "\x01\x1f\x7f\r\n")
        self.assertEqual(self.c.read_line(), LOGIN_FIRST)
        self.assertEqual(self.c.command("CWD"), SYNTAX)
        log = self.server.log_bytes()
        for line in re.split(rb"[\r\n]", log):
            self.assertFalse(line.startswith(b"[2001-"), line)
        messages = self.server.log_messages()
        self.assertIn(">> NOOP?" + forged, messages)
        self.assertIn(">> NOOP?" + forged + "??\x7f", messages)


class LogFileTest(unittest.TestCase):
    def session_lines(self, **settings):
        """The day file's event lines (without the time prefix) of one short session."""
        started = time.time()
        with ServerProcess({"Savelog": 1, **settings}) as server:
            with server.client() as c:
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.command("CWD"), SYNTAX)
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
                self.assertTrue(c.wait_closed())
            server.wait_log_count("127.0.0.1 has disconnected from server.", 1)
            self.assertEqual(server.stop(), 0)

            day_file = time.strftime("%Y%m%d", time.localtime(started)) + ".txt"
            self.assertEqual(os.listdir(os.path.join(server.home, "log")), [day_file])
            with open(server.log_path(started), "rb") as f:
                data = f.read()
        self.assertTrue(data.endswith(b"\r\n"))
        lines = data[:-2].split(b"\r\n")
        for line in lines:
            self.assertRegex(line, EVENT_PREFIX)
            stamp = time.mktime(time.strptime(line[1:20].decode(), "%Y-%m-%d %H:%M:%S"))
            self.assertLess(abs(stamp - started), 10)
        return server.port, [EVENT_PREFIX.sub(b"", l).decode() for l in lines]

    def expected(self, port, tag):
        session = ["127.0.0.1 has connected to server.", GREETING, ">> CWD", SYNTAX, ">> QUIT", "220 GoodBye",
                   "127.0.0.1 has disconnected from server."]
        return [f"Server is running on port {port}.",
                "TLS is not available: unable to load CA private key",  # no certificate files here
                *(tag + line for line in session),
                "Server is stopped."]

    def test_event_lines_of_one_session(self):
        port, lines = self.session_lines()
        self.assertEqual(lines, self.expected(port, "[#1 127.0.0.1] "))

    def test_event_lines_without_connection_tags(self):
        port, lines = self.session_lines(LogSessionTags=0)
        self.assertEqual(lines, self.expected(port, ""))


class DispatchAfterLoginTest(unittest.TestCase):
    """The dispatcher's answers once a user is logged in."""

    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess({"Savelog": 1})
        add_user(cls.server.home, "u", "pw", os.path.join(cls.server.home, "home"))
        cls.server.start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_replies_of_the_simple_commands(self):
        with self.server.client() as c:
            self.assertEqual(c.read_line(), GREETING)
            self.assertEqual(c.command("USER u"), "331 username ok, need password.")
            self.assertEqual(c.command("PASS pw"), "230 User logged in. proceed.")
            cases = [
                ("FOO", "502 Command not implemented."),
                ("noop", "200 NOOP command successful."),  # the word is upper-cased
                ("SYST", "215 UNIX Type: L8"),
                ("HELP CWD", "214 Change working directory: CWD [directory-name]"),
                ("help mlsd", "214 List directory with facts: MLSD [path-name]"),
                ("HELP FOO", "501 Bad command."),
                ("TYPE I", "200 Type is now I"),
                ("TYPE a", "200 Type is now ASCII"),
                ("TYPE A N", "200 Type is now A N"),
                ("type l 8", "200 Type is now l 8"),
                ("\xffABOR", "226 ABOR command successful."),  # bytes before ABOR are ignored
                ("CWD  /", '550 " /": CWD command failed. No permission.'),  # one blank stays in the argument
                ("PWD", '257 "/" is current directory.'),
            ]
            for line, reply in cases:
                self.assertEqual(c.command(line), reply, line)
            self.assertEqual(c.command("BYE"), "220 GoodBye")
            c.wait_closed()


if __name__ == "__main__":
    unittest.main()
