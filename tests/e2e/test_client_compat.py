"""What real clients expect beyond plain transfers, against the real tarnsvc: rclone syncing on several
connections at once (their MKDs of one folder race), lftp mirror -R setting modes with SITE CHMOD, the
HELP SITE that ncftp asks at login, MODE and STRU, and RNTO only straight after RNFR."""
import ftplib
import os
import shutil
import stat
import subprocess
import time
import unittest

import ftp_accounts
from harness import GREETING, HOST
from test_transfers import PASSWORD, USER, ServerTest, pattern

SYNTAX = "501 Syntax error in parameters or arguments."
NOT_FOR_PARAMETER = "504 Command not implemented for that parameter."
BAD_SEQUENCE = "503 Bad sequence of commands."
CHMOD_OK = "200 SITE CHMOD command successful."


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)


class CompatTest(ServerTest):
    """Raw logged-in sessions on the class's server."""

    def session(self, user=USER, password=PASSWORD):
        """A raw control connection, logged in."""
        c = self.s.server.client()
        self.assertEqual(c.read_line(), GREETING)
        self.assertEqual(c.command(f"USER {user}"), "331 username ok, need password.")
        self.assertEqual(c.command(f"PASS {password}"), "230 User logged in. proceed.")
        return c

    def local(self, *parts):
        """A path in the program directory, outside the served tree."""
        return os.path.join(self.s.server.home, *parts)


class ConcurrentMkdTest(CompatTest):

    def test_one_new_path_made_on_many_connections_at_once(self):
        """Every connection but one finds the path made: "550 Directory exists.", never a create error, for
        the last piece and for the pieces on the way to it."""
        clients = [self.session() for _ in range(6)]
        try:
            for round_ in range(15):
                path = f"race{round_}/a/b" if round_ % 2 else f"race{round_}"
                for c in clients:
                    c.send(f"MKD {path}\r\n")
                replies = sorted(c.read_line() for c in clients)
                self.assertEqual(replies[0], f'257 "/{path}" directory created.', replies)
                self.assertEqual(replies[1:], ["550 Directory exists."] * (len(clients) - 1), path)
                self.assertTrue(os.path.isdir(self.s.path(path)))
        finally:
            for c in clients:
                c.close()

    def test_a_file_in_the_way_is_no_directory(self):
        self.s.write("plain.txt", b"x")
        with self.session() as c:
            self.assertEqual(c.command("MKD plain.txt/sub"), "450 create directory error.")
            self.assertEqual(c.command("MKD plain.txt"), "550 Directory exists.")
        self.assertTrue(os.path.isfile(self.s.path("plain.txt")))

    @unittest.skipUnless(shutil.which("rclone"), "rclone missing")
    def test_rclone_sync_on_four_connections(self):
        tree = self.local("sync-src")
        for i in range(200):
            name = os.path.join(tree, f"top{i % 4}", f"dir{i % 20:02}", f"file{i:03}.bin")
            os.makedirs(os.path.dirname(name), exist_ok=True)
            with open(name, "wb") as f:
                f.write(pattern(100 + i))
        obscured = subprocess.run(["rclone", "obscure", PASSWORD], capture_output=True, timeout=30).stdout
        env = dict(os.environ, RCLONE_CONFIG="/dev/null", RCLONE_FTP_HOST=HOST, RCLONE_FTP_PORT=str(self.s.port),
                   RCLONE_FTP_USER=USER, RCLONE_FTP_PASS=obscured.decode().strip())
        deadline = time.monotonic() + 240
        for run in range(10):
            self.assertLess(time.monotonic(), deadline, f"run {run}")
            r = subprocess.run(["rclone", "--transfers", "4", "--retries", "1", "--low-level-retries", "1", "sync",
                                tree, ":ftp:synced"], env=env, capture_output=True, timeout=120)
            self.assertEqual(r.returncode, 0, (run, r.stderr.decode(errors="replace")[-3000:]))
            copied = sorted(os.path.relpath(os.path.join(d, n), self.s.path("synced"))
                            for d, _, names in os.walk(self.s.path("synced")) for n in names)
            self.assertEqual(len(copied), 200, run)
            self.assertEqual(self.s.read("synced/top3/dir19/file199.bin"), pattern(299))
            shutil.rmtree(self.s.path("synced"))


class SiteTest(CompatTest):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A folder the user may only read and list.
        cls.ro = os.path.join(cls.s.server.home, "readonly")
        ftp_accounts.add_user_folder(cls.s.server.home, USER, "ro", cls.ro, "R----L---")

    def test_chmod_of_files_and_directories(self):
        self.s.write("site/f.txt", b"x")
        self.s.write("site/with blank.txt", b"x")
        os.makedirs(self.s.path("site/d"))
        with self.session() as c:
            for command, expected in (("SITE CHMOD 600 site/f.txt", 0o600), ("site chmod 0755 /site/d", 0o755),
                                      ("SITE CHMOD 0640 site/with blank.txt", 0o640)):
                self.assertEqual(c.command(command), CHMOD_OK, command)
                self.assertEqual(mode_of(self.s.path(command.split(" ", 3)[3].lstrip("/"))), expected, command)
            self.assertEqual(c.command("CWD site"), '250 CWD command successful "/site" is current directory.')
            self.assertEqual(c.command("SITE CHMOD 644 f.txt"), CHMOD_OK)
            self.assertEqual(mode_of(self.s.path("site/f.txt")), 0o644)

    def test_chmod_refusals(self):
        self.s.write("refuse/f.txt", b"x")
        os.chmod(self.s.path("refuse/f.txt"), 0o644)
        os.symlink("f.txt", self.s.path("refuse/link"))
        os.makedirs(self.ro, exist_ok=True)
        with open(os.path.join(self.ro, "r.txt"), "wb") as f:
            f.write(b"r")
        os.chmod(os.path.join(self.ro, "r.txt"), 0o644)
        hidden = ".tarnwick-upload.abc"
        self.s.write(f"refuse/{hidden}", b"h")
        os.chmod(self.s.path(f"refuse/{hidden}"), 0o600)
        home_mode = mode_of(self.s.root)
        with self.session() as c:
            for command, expected in (
                    ("SITE CHMOD 7777 refuse/f.txt", SYNTAX),  # setuid, setgid, sticky
                    ("SITE CHMOD 4755 refuse/f.txt", SYNTAX),
                    ("SITE CHMOD abc refuse/f.txt", SYNTAX),
                    ("SITE CHMOD 00644 refuse/f.txt", SYNTAX),
                    ("SITE CHMOD 644", SYNTAX),
                    ("SITE CHMOD", SYNTAX),
                    ("SITE", SYNTAX),
                    ("SITE CHMOD 600 refuse/link", "550 SITE CHMOD command failed."),  # never followed
                    ("SITE CHMOD 600 refuse/missing", "550 File/directory not found."),
                    ("SITE CHMOD 600 nodir/missing", "550 File/directory not found."),
                    (f"SITE CHMOD 777 refuse/{hidden}", "550 File/directory not found."),
                    ("SITE CHMOD 600 /ro/r.txt", "550 No permission."),  # no write right
                    ("SITE CHMOD 700 /ro", "550 No permission."),
                    ("SITE CHMOD 700 .", "550 No permission."),  # the home keeps its mode
                    ("SITE CHMOD 700 /", "550 File/directory not found."),
                    ("SITE UTIME 20200101000000 refuse/f.txt", "504 SITE command not implemented."),
            ):
                self.assertEqual(c.command(command), expected, command)
        self.assertEqual(mode_of(self.s.path("refuse/f.txt")), 0o644)
        self.assertEqual(mode_of(os.path.join(self.ro, "r.txt")), 0o644)
        self.assertEqual(mode_of(self.s.path(f"refuse/{hidden}")), 0o600)
        self.assertEqual(mode_of(self.s.root), home_mode)
        with self.s.server.client() as c:
            self.assertEqual(c.read_line(), GREETING)
            self.assertEqual(c.command("SITE CHMOD 777 refuse/f.txt"), "530 Please login with USER and PASS.")

    def test_help_site_lists_the_site_commands(self):
        with self.session() as c:
            for command in ("HELP SITE", "SITE HELP"):
                self.assertEqual(c.command(command), "214-The following SITE commands are recognized:")
                self.assertEqual([c.read_line(), c.read_line(), c.read_line()], [" CHMOD", " HELP", "214 Help OK."])
            self.assertEqual(c.command("HELP CHMOD"), "501 Bad command.")
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")

    @unittest.skipUnless(shutil.which("lftp"), "lftp missing")
    def test_lftp_mirror_reverse_carries_the_modes(self):
        tree = self.local("mirror-src")
        modes = {"run.sh": 0o751, "private.txt": 0o600, "sub/shared.txt": 0o604, "sub/deeper/own.bin": 0o640}
        for name, mode in modes.items():
            path = os.path.join(tree, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(pattern(1000))
            os.chmod(path, mode)
        os.chmod(os.path.join(tree, "sub", "deeper"), 0o710)
        script = (f"set net:max-retries 1; set net:timeout 10; open -u {USER},{PASSWORD} ftp://{HOST}:{self.s.port}; "
                  f"mirror -R {tree} mirrored; bye")
        # lftp takes its umask (022) off the modes it sends.
        r = subprocess.run(["lftp", "-c", script], capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, (r.stdout + r.stderr).decode(errors="replace"))
        for name, mode in modes.items():
            self.assertEqual(self.s.read(f"mirrored/{name}"), pattern(1000), name)
            self.assertEqual(oct(mode_of(self.s.path(f"mirrored/{name}"))), oct(mode), name)
        self.assertEqual(oct(mode_of(self.s.path("mirrored/sub/deeper"))), oct(0o710))
        self.assertIn(">> SITE CHMOD 751 ./run.sh", self.s.server.log_messages())


class CommandOrderTest(CompatTest):

    def test_mode_and_stru(self):
        with self.session() as c:
            for command, expected in (("MODE S", "200 Mode set to S."), ("mode s", "200 Mode set to S."),
                                      ("MODE B", NOT_FOR_PARAMETER), ("MODE C", NOT_FOR_PARAMETER),
                                      ("MODE", SYNTAX), ("STRU F", "200 Structure set to F."),
                                      ("STRU R", NOT_FOR_PARAMETER), ("STRU P", NOT_FOR_PARAMETER), ("STRU", SYNTAX),
                                      ("HELP MODE", "214 Set transfer mode: MODE S"),
                                      ("HELP STRU", "214 Set file structure: STRU F")):
                self.assertEqual(c.command(command), expected, command)
            self.assertEqual(c.command("HELP"), "214-The following commands are recognized:")
            words = []
            while (line := c.read_line()) != "214 Help OK.":
                words += line.split()
            for word in ("MODE", "STRU", "SITE"):
                self.assertIn(word, words)

    def test_rnto_only_straight_after_rnfr(self):
        self.s.write("order/a.txt", b"a")
        self.s.write("order/taken.txt", b"t")
        with self.session() as c:
            c.command("CWD order")
            for between in ("NOOP", "PWD", "XYZZY", "MODE S", "RNFR missing.txt"):
                self.assertEqual(c.command("RNFR a.txt"), "350 File exists, ready for destination name.")
                c.command(between)
                self.assertEqual(c.command("RNTO b.txt"), BAD_SEQUENCE, between)
            # A rename, done or refused, uses the source up.
            self.assertEqual(c.command("RNFR a.txt"), "350 File exists, ready for destination name.")
            self.assertEqual(c.command("RNTO taken.txt"), "550 File already exists.")
            self.assertEqual(c.command("RNTO b.txt"), BAD_SEQUENCE)
            self.assertEqual(c.command("RNFR a.txt"), "350 File exists, ready for destination name.")
            self.assertEqual(c.command("RNTO b.txt"), '250 File "/order/a.txt" renamed .')
            self.assertEqual(c.command("RNTO c.txt"), BAD_SEQUENCE)
        self.assertEqual(sorted(os.listdir(self.s.path("order"))), ["b.txt", "taken.txt"])


if __name__ == "__main__":
    unittest.main()
