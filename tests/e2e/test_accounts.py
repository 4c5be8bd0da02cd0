"""Accounts against the real tarnsvc, with tables made by the real sdbtool: login, path forms and "..",
virtual folders and their rights, the file commands with their exact replies, the quota on DELE, and
bad input that must never reach a path outside the client's tree."""
import ftplib
import io
import os
import shutil
import subprocess
import time
import unittest

import ftp_accounts
from ftp_accounts import sdbtool
from harness import GREETING, HOST, ServerProcess, wait_until

FULL, READ_LIST = "RWDRALCRR", "R----L---"
KEY = "quorbel"


def scrambled(text):
    return "".join(f",{ord(c) + ord(KEY[i % len(KEY)])}" for i, c in enumerate(text))


def cwd_ok(path):
    return f'250 CWD command successful "{path}" is current directory.'


def cwd_failed(arg):
    return f'550 "{arg}": CWD command failed. No permission.'


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def user_field(program_dir, name, field):
    """A line of `sdbtool user show`, e.g. user_field(dir, "u", "status") -> "enabled"."""
    for line in sdbtool("user", "show", program_dir, name).splitlines():
        key, _, value = line.partition(" ")
        if key == field:
            return value.strip()
    raise KeyError(field)


def tree(root):
    """Every path below root, for before/after comparisons."""
    return sorted(os.path.join(d, n) for d, dirs, files in os.walk(root) for n in dirs + files)


class AccountServer:
    """A server whose users live under <program dir>/homes; the tables come from sdbtool."""

    def __init__(self, settings=None):
        self.server = ServerProcess(settings)
        self.dir = self.server.home
        sdbtool("init", self.dir)

    def home(self, user):
        return os.path.join(self.dir, "homes", user)

    def add_user(self, name, password="pw", rights=FULL, **options):
        ftp_accounts.add_user(self.dir, name, password, self.home(name), rights, **options)

    def start(self):
        self.server.start()
        return self

    def session(self, user=None, password="pw"):
        """A raw control connection, logged in when a user is given."""
        c = self.server.client()
        assert c.read_line() == GREETING
        if user is not None:
            assert c.command(f"USER {user}") == "331 username ok, need password."
            reply = c.command(f"PASS {password}")
            assert reply == "230 User logged in. proceed.", reply
        return c

    def ftp(self, user, password="pw"):
        f = ftplib.FTP()
        f.connect(HOST, self.server.port, timeout=10)
        f.login(user, password)
        return f

    def close(self):
        self.server.close()


class LoginTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Many failures from one address, answered at once: the delay and the ban have tests of their own.
        cls.s = AccountServer({"LoginFailDelay": 0, "BanAfterFails": 0})
        s = cls.s
        s.add_user("anonymous", "", READ_LIST)
        s.add_user("alice", "Secret")
        s.add_user("nopass", "")
        s.add_user("off", status="disabled")
        s.add_user("old", expires="2001-01-01")
        s.add_user("today", expires=time.strftime("%Y-%m-%d"))
        s.add_user("future", expires="2999-12-31")
        s.add_user("forever", expires="never")
        s.add_user("long", "a long pass phrase, 123")
        cls.s.start()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def login(self, user, password):
        with self.s.session() as c:
            self.assertEqual(c.command(f"USER {user}"), "331 username ok, need password.")
            return c.command(f"PASS {password}")

    def test_who_gets_in(self):
        ok, bad = "230 User logged in. proceed.", "530 username or password incorrect."
        cases = [
            ("anonymous", "x"), ("ANONYMOUS", "guest@example"), ("AnonYmous", "anything at all"),
            ("alice", "Secret"), ("ALICE", "Secret"), ("Alice", scrambled("Secret")),
            ("long", scrambled("a long pass phrase, 123")),
            ("future", "pw"), ("forever", "pw"),
        ]
        for user, password in cases:
            self.assertEqual(self.login(user, password), ok, (user, password))
        refused = [
            ("alice", "secret"), ("alice", "Secret "), ("alice", scrambled("Secreu")), ("nobody", "pw"),
            ("nopass", "x"), ("off", "pw"), ("old", "pw"), ("today", "pw"),
        ]
        for user, password in refused:
            self.assertEqual(self.login(user, password), bad, (user, password))

    def test_empty_password_needs_an_argument(self):
        with self.s.session() as c:
            c.command("USER nopass")
            self.assertEqual(c.command("PASS"), "501 Syntax error in parameters or arguments.")
            self.assertEqual(c.command("PWD"), "530 Please login with USER and PASS.")

    def test_start_up_sweep_disables_expired_accounts_only(self):
        for user, status in [("old", "disabled"), ("today", "disabled"), ("future", "enabled"),
                             ("forever", "enabled"), ("alice", "enabled")]:
            self.assertEqual(user_field(self.s.dir, user, "status"), status, user)

    def test_pass_sequence(self):
        with self.s.session() as c:
            self.assertEqual(c.command("PASS Secret"), "503 Please login with USER.")
            c.command("USER alice")
            self.assertEqual(c.command("PASS wrong"), "530 username or password incorrect.")
            self.assertEqual(c.command("PASS Secret"), "230 User logged in. proceed.")
            self.assertEqual(c.command("PWD"), '257 "/" is current directory.')
            # A new USER logs the connection out until the next good PASS.
            self.assertEqual(c.command("USER anonymous"), "331 username ok, need password.")
            self.assertEqual(c.command("PWD"), "530 Please login with USER and PASS.")
            self.assertEqual(c.command("PASS me@here"), "230 User logged in. proceed.")

    def test_anonymous_with_a_stored_password_must_match(self):
        sdbtool("user", "set", self.s.dir, "anonymous", "--password", "guest")
        try:
            self.assertEqual(self.login("anonymous", "x"), "530 username or password incorrect.")
            self.assertEqual(self.login("anonymous", "guest"), "230 User logged in. proceed.")
        finally:
            sdbtool("user", "set", self.s.dir, "anonymous", "--password", "")
        self.assertEqual(self.login("anonymous", "x"), "230 User logged in. proceed.")


class BrokenTablesTest(unittest.TestCase):
    def test_missing_or_unreadable_user_table_refuses_every_login(self):
        for content in (None, b"", os.urandom(4096)):
            with ServerProcess() as server:
                if content is not None:
                    server.write_file("user.sdb", content)
                with server.client() as c:
                    self.assertEqual(c.read_line(), GREETING)
                    c.command("USER anonymous")
                    self.assertEqual(c.command("PASS x"), "530 username or password incorrect.")
                    self.assertEqual(c.command("NOOP")[:4], "530 ")


class PathFormsTest(unittest.TestCase):
    """CWD forms, "..", dots and case, and attempts to leave the tree with every command."""

    @classmethod
    def setUpClass(cls):
        cls.s = AccountServer()
        cls.s.add_user("u")
        h = cls.h = cls.s.home("u")
        for name, data in [("a.txt", b"a"), ("pub/b.txt", b"bb"), ("sub/a.txt", b"sub-a"), (".profile", b"p"),
                           ("notes.", b"notes"), ("pub/docs/d.txt", b"d"), ("Data/x", b"")]:
            write(os.path.join(h, name), data)
        write(os.path.join(cls.s.dir, "secret.txt"), b"secret")
        write(os.path.join(cls.s.dir, "outside", "keep.txt"), b"keep")
        cls.s.start()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_cwd_forms_reach_the_same_directory(self):
        with self.s.session("u") as c:
            for arg in ["/pub//docs/", "\\pub\\docs", "pub/docs", "//pub/./docs/.", "/pub/docs/../docs"]:
                self.assertEqual(c.command("CWD /"), cwd_ok("/"))
                self.assertEqual(c.command(f"CWD {arg}"), cwd_ok("/pub/docs"), arg)
            self.assertEqual(c.command("CWD .."), cwd_ok("/pub"))
            self.assertEqual(c.command("CDUP"), cwd_ok("/"))
            self.assertEqual(c.command("CDUP"), cwd_ok("/"))
            self.assertEqual(c.command("CWD ../../.."), cwd_ok("/"))
            self.assertEqual(c.command("XCWD /pub/../Data"), cwd_ok("/Data"))
            self.assertEqual(c.command("PWD"), '257 "/Data" is current directory.')
            self.assertEqual(c.command("CWD /data"), cwd_failed("/data"))
            self.assertEqual(c.command("CWD missing"), cwd_failed("missing"))
            self.assertEqual(c.command("XPWD"), '257 "/Data" is current directory.')

    def test_file_names_keep_their_dots_and_relative_paths_start_at_the_current_directory(self):
        with self.s.session("u") as c:
            self.assertEqual(c.command("SIZE .profile"), "213 1")
            self.assertEqual(c.command("SIZE notes."), "213 5")
            self.assertEqual(c.command("SIZE /pub./b.txt"), "550 File unavailable.")
            self.assertEqual(c.command("SIZE //pub///b.txt"), "213 2")
            self.assertEqual(c.command("SIZE \\pub\\b.txt"), "213 2")
            c.command("CWD /pub")
            self.assertEqual(c.command("SIZE b.txt"), "213 2")
            self.assertEqual(c.command("SIZE sub/a.txt"), "550 File unavailable.")
            self.assertEqual(c.command("SIZE ../sub/a.txt"), "213 5")
            self.assertEqual(c.command("SIZE ../a.txt"), "213 1")
            self.assertEqual(c.command("SIZE docs/d.txt"), "213 1")

    def test_no_command_leaves_the_client_tree(self):
        log = os.path.join(self.s.dir, "log")
        outside = lambda: [p for p in tree(self.s.dir) if not p.startswith((self.h, log))]  # noqa: E731
        before = outside()
        files = ["../secret.txt", "../../secret.txt", "/../../secret.txt", "..\\..\\secret.txt",
                 "pub/../../../secret.txt", "../../outside/keep.txt", "\\..\\..\\outside\\keep.txt",
                 os.path.join(self.s.dir, "secret.txt"), "../../user.sdb", "/../../../../../etc/passwd"]
        dirs = ["../../outside", "..\\..\\outside", "/../../outside/", "pub/../../../outside",
                os.path.join(self.s.dir, "outside"), "/etc", "../../../../../../etc"]
        with self.s.session("u") as c:
            c.command("CWD /pub")
            for f in files:
                for cmd in ("SIZE", "DELE", "RNFR"):
                    reply = c.command(f"{cmd} {f}")
                    self.assertTrue(reply.startswith("550 "), (cmd, f, reply))
            for d in dirs:
                self.assertEqual(c.command(f"CWD {d}"), cwd_failed(d))
                for cmd, reply in (("RMD", "550 Directory unavailable."), ("RNFR", "550 File/directory not found.")):
                    self.assertEqual(c.command(f"{cmd} {d}"), reply, (cmd, d))
            self.assertEqual(c.command("PWD"), '257 "/pub" is current directory.')
            # Creating or moving "outside" lands inside the home.
            self.assertEqual(c.command("MKD ../../outside/new"), '257 "/outside/new" directory created.')
            self.assertTrue(os.path.isdir(os.path.join(self.h, "outside", "new")))
            self.assertEqual(c.command("RNFR /a.txt"), "350 File exists, ready for destination name.")
            self.assertEqual(c.command("RNTO ../../../moved.txt"), '250 File "/a.txt" renamed .')
            self.assertTrue(os.path.isfile(os.path.join(self.h, "moved.txt")))
            c.command("RNFR /moved.txt")
            c.command("RNTO /a.txt")
        with self.s.ftp("u", "pw") as f:
            for name in files:
                with self.assertRaises(ftplib.error_perm):
                    f.retrbinary(f"RETR {name}", lambda _: None)
        shutil.rmtree(os.path.join(self.h, "outside"))
        self.assertEqual(outside(), before)
        with open(os.path.join(self.s.dir, "secret.txt"), "rb") as f:
            self.assertEqual(f.read(), b"secret")

    def test_nul_bytes_long_paths_and_names(self):
        with self.s.session("u") as c:
            # A NUL cuts its line there; the rest of that line never reaches a path.
            for line, reply in [(b"CWD ../../outside\x00/pub", cwd_failed("../../outside")),
                                (b"SIZE a.txt\x00junk", "213 1"),
                                (b"DELE ../../secret.txt\x00", "550 File unavailable."),
                                (b"MKD evil\x00/../../../x", '257 "/evil" directory created.')]:
                self.assertEqual(c.command(line.decode()), reply)
            self.assertTrue(os.path.isdir(os.path.join(self.h, "evil")))
            os.rmdir(os.path.join(self.h, "evil"))
            deep = "/" + "/".join(["d" * 100] * 39)
            self.assertEqual(c.command(f"CWD {deep}"), cwd_failed(deep))
            self.assertEqual(c.command(f"SIZE {deep}"), "550 File unavailable.")
            self.assertEqual(c.command("MKD " + "n" * 300), "450 create directory error.")
            long_dir = "/".join(["m" * 200] * 18)
            self.assertEqual(c.command(f"MKD {long_dir}"), f'257 "/{long_dir}" directory created.')
            self.assertEqual(c.command(f"CWD {long_dir}/../"), cwd_ok("/" + "/".join(["m" * 200] * 17)))
            self.assertEqual(c.command("CWD " + "/.." * 1000), cwd_ok("/"))
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
        shutil.rmtree(os.path.join(self.h, "m" * 200))


class FoldersTest(unittest.TestCase):
    """Virtual folders of the user and the groups: hiding, order, first holder, missing tables, and
    changes made while a client is logged in."""

    @classmethod
    def setUpClass(cls):
        cls.s = s = AccountServer()
        d = s.dir
        cls.places = {n: os.path.join(d, "places", n) for n in ("own", "g1", "t1", "t2", "real")}
        for name, path in cls.places.items():
            write(os.path.join(path, f"{name}.txt"), name.encode())
        for g in ("g1", "g2", "empty"):
            sdbtool("group", "add", d, g)
        os.unlink(os.path.join(d, "vfolder_group3.sdb"))  # the folder table of "empty" is lost
        s.add_user("v", rights=READ_LIST, groups="g1,g2")
        s.add_user("w", rights=READ_LIST, groups="g2,g1")
        s.add_user("x", rights=READ_LIST, groups="empty,g1")
        write(os.path.join(s.home("v"), "Real", "home.txt"), b"home")
        os.makedirs(os.path.join(s.home("v"), "inner"))
        vfolder = lambda owner, name, folder, path, rights: sdbtool(  # noqa: E731
            "vfolder", "add", d, owner, name, folder, path, "--rights", rights)
        vfolder("user", "v", "Shared", cls.places["own"], "RW---LC--")
        vfolder("user", "v", "Real", cls.places["real"], FULL)
        vfolder("user", "v", "Inner", os.path.join(s.home("v"), "inner"), FULL)
        vfolder("group", "g1", "shared", cls.places["g1"], FULL)
        vfolder("group", "g1", "Team", cls.places["t1"], READ_LIST)
        vfolder("group", "g2", "team", cls.places["t2"], READ_LIST)
        s.start()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def test_hiding_and_group_order(self):
        with self.s.session("v") as c:
            self.assertEqual(c.command("SIZE /Real/home.txt"), "213 4")  # the real entry hides the folder
            self.assertEqual(c.command("SIZE /Real/real.txt"), "550 File unavailable.")
            self.assertEqual(c.command("CWD /SHARED"), cwd_ok("/Shared"))  # the user's folder, stored case
            self.assertEqual(c.command("SIZE own.txt"), "213 3")
            self.assertEqual(c.command("SIZE /shared/g1.txt"), "550 File unavailable.")
            self.assertEqual(c.command("CWD /team"), cwd_ok("/Team"))  # g1 is listed first
            self.assertEqual(c.command("SIZE t1.txt"), "213 2")
        with self.s.session("w") as c:
            self.assertEqual(c.command("CWD /TEAM"), cwd_ok("/team"))  # g2 first for w
            self.assertEqual(c.command("SIZE t2.txt"), "213 2")
            self.assertEqual(c.command("CWD /Shared"), cwd_ok("/shared"))  # w has no own folders
            self.assertEqual(c.command("SIZE g1.txt"), "213 2")

    def test_first_holder_decides(self):
        with self.s.session("v") as c:
            # Inner lies inside the home: the home's read-and-list rights apply, not the folder's.
            self.assertEqual(c.command("CWD /Inner"), cwd_ok("/inner"))
            self.assertEqual(c.command("MKD /Inner/new"), "550 can't create directory. No permission.")
            self.assertEqual(c.command("MKD /Shared/new"), '257 "/Shared/new" directory created.')
            self.assertTrue(os.path.isdir(os.path.join(self.places["own"], "new")))
            self.assertEqual(c.command("RMD /Shared/new"), "550 No permission.")
            self.assertEqual(c.command("MKD /Team/new"), "550 can't create directory. No permission.")

    def test_a_missing_group_table_denies_outside_the_home(self):
        with self.s.session("x") as c:
            self.assertEqual(c.command("CWD /Team"), '550 "/Team": No permission.')
            self.assertEqual(c.command("SIZE /Team/t1.txt"), "550 No permission.")
            self.assertEqual(c.command("CWD /"), cwd_ok("/"))
        with self.s.session("v") as c:
            self.assertEqual(c.command("CWD /Team"), cwd_ok("/Team"))

    @unittest.skipUnless(shutil.which("curl"), "curl missing")
    def test_curl_lists_the_root_and_downloads_through_a_folder(self):
        base = f"ftp://{HOST}:{self.s.server.port}"
        run = lambda *a: subprocess.run(["curl", "-sS", "--max-time", "10", "--user", "v:pw", *a],  # noqa: E731
                                        capture_output=True, timeout=20)
        listing = run("-l", base + "/")
        self.assertEqual(listing.returncode, 0, listing.stderr)
        names = listing.stdout.decode().splitlines()
        for name in ("Real", "inner", "Shared", "Inner", "shared", "Team", "team"):
            self.assertIn(name, names)
        got = run(base + "/shared/own.txt")
        self.assertEqual((got.returncode, got.stdout), (0, b"own"), got.stderr)

    def test_changes_take_effect_at_the_next_command(self):
        d = self.s.dir
        write(os.path.join(self.s.home("w"), "mine.txt"), b"m")
        with self.s.session("w") as c:
            self.assertEqual(c.command("SIZE /team/t2.txt"), "213 2")
            sdbtool("vfolder", "del", d, "group", "g2", "team")
            try:
                self.assertEqual(c.command("SIZE /team/t2.txt"), "550 File unavailable.")
                self.assertEqual(c.command("SIZE /team/t1.txt"), "213 2")  # g1's Team shows through
            finally:
                sdbtool("vfolder", "add", d, "group", "g2", "team", self.places["t2"], "--rights", READ_LIST)
            self.assertEqual(c.command("SIZE /mine.txt"), "213 1")
            sdbtool("user", "set", d, "w", "--rights", "-----L---")
            try:
                self.assertEqual(c.command("SIZE /mine.txt"), "550 No permission.")
                self.assertEqual(c.command("SIZE /team/t2.txt"), "213 2")  # the folder's own rights
            finally:
                sdbtool("user", "set", d, "w", "--rights", READ_LIST)
            self.assertEqual(c.command("SIZE /mine.txt"), "213 1")


class FileCommandsTest(unittest.TestCase):
    """Every reply of MKD, RMD, DELE, RNFR, RNTO and SIZE, and the quota on DELE."""

    @classmethod
    def setUpClass(cls):
        cls.s = s = AccountServer()
        s.add_user("f")
        s.add_user("q", quota=100, used=50)
        s.add_user("q0", used=10)
        cls.h = s.home("f")
        cls.ro = os.path.join(s.dir, "places", "ro")
        cls.nr = os.path.join(s.dir, "places", "noread")
        write(os.path.join(cls.ro, "r.txt"), b"r")
        write(os.path.join(cls.nr, "n.txt"), b"n")
        ftp_accounts.add_user_folder(s.dir, "f", "ro", cls.ro, "R----L---")
        ftp_accounts.add_user_folder(s.dir, "f", "noread", cls.nr, "-WDRALCRR")
        cls.outside = os.path.join(s.dir, "places", "outside")
        write(os.path.join(cls.outside, "keep.txt"), b"keep")
        s.start()

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def path(self, *parts):
        return os.path.join(self.h, *parts)

    def test_mkd_and_rmd(self):
        write(self.path("file.txt"))
        write(self.path("full", "x"))
        with self.s.session("f") as c:
            self.assertEqual(c.command("MKD d1"), '257 "/d1" directory created.')
            self.assertTrue(os.path.isdir(self.path("d1")))
            self.assertEqual(c.command("MKD /d1/"), "550 Directory exists.")
            self.assertEqual(c.command("XMKD file.txt"), "550 Directory exists.")
            self.assertEqual(c.command("MKD d2/e/f"), '257 "/d2/e/f" directory created.')
            self.assertTrue(os.path.isdir(self.path("d2", "e", "f")))
            self.assertEqual(c.command("MKD /"), "450 create directory error.")
            self.assertEqual(c.command("MKD file.txt/sub"), "450 create directory error.")
            self.assertEqual(c.command("MKD /ro/new"), "550 can't create directory. No permission.")
            self.assertEqual(c.command("RMD d1"), "250 Directory deleted.")
            self.assertFalse(os.path.exists(self.path("d1")))
            self.assertEqual(c.command("XRMD d1"), "550 Directory unavailable.")
            self.assertEqual(c.command("RMD full"), "550 Directory is not empty.")
            self.assertEqual(c.command("RMD file.txt"), "450 delete directory error.")
            self.assertEqual(c.command("RMD /"), "550 Directory unavailable.")
            self.assertEqual(c.command("RMD .."), "550 Directory unavailable.")
            self.assertEqual(c.command("RMD /ro"), "550 No permission.")
            self.assertTrue(os.path.isdir(self.ro))
            self.assertEqual(c.command("RMD /d2/e/f"), "250 Directory deleted.")

    def test_dele_and_size(self):
        write(self.path("five.bin"), b"5" * 5000)
        os.makedirs(self.path("adir"), exist_ok=True)
        with self.s.session("f") as c:
            self.assertEqual(c.command("SIZE five.bin"), "213 5000")
            self.assertEqual(c.command("SIZE adir"), "550 File unavailable.")
            self.assertEqual(c.command("SIZE none"), "550 File unavailable.")
            self.assertEqual(c.command("SIZE /ro/r.txt"), "213 1")
            self.assertEqual(c.command("SIZE /noread/n.txt"), "550 No permission.")
            self.assertEqual(c.command("DELE /ro/r.txt"), "550 No permission.")
            self.assertEqual(c.command("DELE adir"), "550 File unavailable.")
            self.assertEqual(c.command("DELE none"), "550 File unavailable.")
            self.assertEqual(c.command("DELE \\five.bin"), '250 File "/five.bin" was deleted .')
            self.assertEqual(c.command("DELE /noread/n.txt"), '250 File "/noread/n.txt" was deleted .')
        self.assertFalse(os.path.exists(self.path("five.bin")))
        self.assertTrue(os.path.exists(os.path.join(self.ro, "r.txt")))

    def test_rename(self):
        write(self.path("src.txt"), b"src")
        write(self.path("other.txt"), b"other")
        os.makedirs(self.path("ren", "inside"), exist_ok=True)
        os.makedirs(self.path("taken"), exist_ok=True)
        with self.s.session("f") as c:
            self.assertEqual(c.command("RNTO x"), "503 Bad sequence of commands.")
            self.assertEqual(c.command("RNFR none"), "550 File/directory not found.")
            self.assertEqual(c.command("RNTO x"), "503 Bad sequence of commands.")
            self.assertEqual(c.command("RNFR /ro/r.txt"), "550 No permission.")
            self.assertEqual(c.command("RNFR ."), "550 File/directory not found.")
            for target, reply in (("other.txt", "550 File already exists."), ("/ro/moved.txt", "550 No permission."),
                                  ("/nodir/moved.txt", '450 error rename the file: "/src.txt".'),
                                  ("ren/inside/moved.txt", '250 File "/src.txt" renamed .')):
                self.assertEqual(c.command("RNFR src.txt"), "350 File exists, ready for destination name.")
                self.assertEqual(c.command(f"RNTO {target}"), reply, target)
            self.assertEqual(c.command("RNFR src.txt"), "550 File/directory not found.")  # it has moved away
            for target, reply in (("taken", "550 Directory already exists."), ("/ro/ren", "550 No permission."),
                                  ("/Ren2", '250 Directory "/ren" renamed .')):
                self.assertEqual(c.command("RNFR ren"), "350 Directory exists, ready for destination name.")
                self.assertEqual(c.command(f"RNTO {target}"), reply, target)
            # A directory is never renamed onto the root; a virtual folder's own directory is never moved
            # or removed, whatever its rights; a rename does not outlive a new USER.
            self.assertEqual(c.command("RNFR Ren2"), "350 Directory exists, ready for destination name.")
            self.assertEqual(c.command("RNTO /"), '450 error rename the directory: "/Ren2".')
            self.assertEqual(c.command("RNFR /noread"), "550 No permission.")
            self.assertEqual(c.command("RMD /noread"), "550 No permission.")
            self.assertEqual(c.command("RNFR other.txt"), "350 File exists, ready for destination name.")
            self.assertEqual(c.command("USER f"), "331 username ok, need password.")
            self.assertEqual(c.command("PASS pw"), "230 User logged in. proceed.")
            self.assertEqual(c.command("RNTO moved.txt"), "503 Bad sequence of commands.")
        self.assertTrue(os.path.isdir(self.nr))
        with open(self.path("other.txt"), "rb") as f:
            self.assertEqual(f.read(), b"other")
        with open(self.path("Ren2", "inside", "moved.txt"), "rb") as f:
            self.assertEqual(f.read(), b"src")
        self.assertEqual(os.listdir(self.ro), ["r.txt"])

    def test_links_that_lead_out_of_the_tree_grant_nothing(self):
        os.symlink(self.outside, self.path("out"))
        os.symlink(os.path.join(self.outside, "keep.txt"), self.path("keep-link"))
        os.symlink(os.path.join(self.outside, "none.txt"), self.path("dangling"))
        write(self.path("inner.txt"), b"inner")
        os.symlink(self.path("inner.txt"), self.path("inner-link"))
        try:
            with self.s.session("f") as c:
                self.assertEqual(c.command("CWD out"), '550 "out": No permission.')
                for cmd in ("SIZE out/keep.txt", "SIZE keep-link", "DELE out/keep.txt", "RNFR out/keep.txt"):
                    self.assertEqual(c.command(cmd), "550 No permission.", cmd)
                self.assertEqual(c.command("MKD out/made"), "550 can't create directory. No permission.")
                self.assertEqual(c.command("SIZE inner-link"), "213 5")
            with self.s.ftp("f", "pw") as f:
                for name in ("out/new.txt", "dangling"):
                    with self.assertRaises(ftplib.error_perm):
                        f.storbinary(f"STOR {name}", io.BytesIO(b"planted"))
                with self.assertRaises(ftplib.error_perm):
                    f.retrbinary("RETR keep-link", lambda _: None)
            self.assertEqual(sorted(os.listdir(self.outside)), ["keep.txt"])
        finally:
            for name in ("out", "keep-link", "dangling", "inner-link"):
                os.unlink(self.path(name))

    def test_dele_lowers_the_used_quota_by_every_started_kb(self):
        d = self.s.dir
        for user in ("q", "q0"):
            write(os.path.join(self.s.home(user), "five.bin"), b"5" * 5000)
            write(os.path.join(self.s.home(user), "one.bin"), b"1" * 1000)
        with self.s.session("q") as c:
            self.assertEqual(c.command("DELE five.bin"), '250 File "/five.bin" was deleted .')
            self.assertEqual(wait_until(lambda: ftp_accounts.quota_used(d, "q") == 45, 5), True)
            self.assertEqual(c.command("DELE one.bin"), '250 File "/one.bin" was deleted .')
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
            self.assertEqual(ftp_accounts.quota_used(d, "q"), 44)
        with self.s.session("q0") as c:
            self.assertEqual(c.command("DELE five.bin"), '250 File "/five.bin" was deleted .')
            self.assertEqual(c.command("NOOP"), "200 NOOP command successful.")
            self.assertEqual(ftp_accounts.quota_used(d, "q0"), 10)


if __name__ == "__main__":
    unittest.main()
