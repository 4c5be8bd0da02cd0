"""What uploads, deletes and moves may never lose or mis-bill: an overwrite that fails keeps the old file,
parallel uploads stay within the quota, a re-upload or a link's delete bills what the disk holds, and a
file moves to a folder on another file system."""
import ftplib
import io
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import unittest

import ftp_accounts
from harness import HOST, wait_until
from test_transfers import PASSWORD, USER, TransferServer, pattern

HIDDEN = ".tarnwick-upload."
OLD = b"the old, good copy" * 100


def hidden_files(root):
    return [os.path.join(d, n) for d, _, names in os.walk(root) for n in names if n.startswith(HIDDEN)]


def start_upload(f, name, first):
    """Starts STOR `name` on a passive connection and sends `first`; returns the data socket."""
    f.voidcmd("TYPE I")
    host, port = ftplib.parse227(f.sendcmd("PASV"))
    data = socket.create_connection((host, port), timeout=10)
    f.putcmd("STOR " + name)
    assert f.getline().startswith("150")
    data.sendall(first)
    return data


class AtomicStoreTest(unittest.TestCase):
    def setUp(self):
        self.s = TransferServer(quota=1000)
        self.s.write("keep.bin", OLD)

    def tearDown(self):
        self.s.close()

    def wait_partial(self, size):
        """Waits until the upload's hidden file holds `size` bytes; returns its path."""
        found = wait_until(lambda: [p for p in hidden_files(self.s.root) if os.path.getsize(p) >= size], 10)
        self.assertTrue(found, "no hidden upload file")
        return found[0]

    def assert_untouched(self):
        self.assertEqual(self.s.read("keep.bin"), OLD)
        self.assertTrue(wait_until(lambda: not hidden_files(self.s.root), 5), hidden_files(self.s.root))

    def test_a_complete_overwrite_replaces_the_file_and_keeps_its_mode(self):
        os.chmod(self.s.path("keep.bin"), 0o640)
        os.makedirs(self.s.path("dir"))
        with self.s.ftp() as f:
            self.assertEqual(f.storbinary("STOR keep.bin", io.BytesIO(b"new")), "226 Transfer complete.")
            with self.assertRaises(ftplib.error_temp) as e:
                f.storbinary("STOR dir", io.BytesIO(b"new"))
            self.assertEqual(str(e.exception), "450 Can't access file.")
        self.assertEqual(self.s.read("keep.bin"), b"new")
        self.assertEqual(os.stat(self.s.path("keep.bin")).st_mode & 0o777, 0o640)
        self.assertTrue(os.path.isdir(self.s.path("dir")))
        self.assertEqual(hidden_files(self.s.root), [])

    def test_reset_data_connection_keeps_the_old_file(self):
        with self.s.ftp() as f:
            data = start_upload(f, "keep.bin", pattern(50_000))
            self.wait_partial(50_000)
            data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            data.close()
            self.assertEqual(f.getline(), "426 Connection error.")
            self.assert_untouched()

    def test_a_killed_client_keeps_the_old_file(self):
        f = self.s.ftp()
        data = start_upload(f, "keep.bin", pattern(50_000))
        self.wait_partial(50_000)
        f.sock.close()  # the control connection goes first: the upload never completes
        data.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        data.close()
        self.assert_untouched()

    def test_quota_refusal_keeps_the_old_file(self):
        ftp_accounts.set_user(self.s.server.home, USER, quota=100, used=50)
        with self.s.ftp() as f:
            data = start_upload(f, "keep.bin", b"")
            try:
                data.sendall(pattern(200_000))
            except OSError:
                pass  # dropped by the server
            self.assertEqual(f.getline(), "452 Disk quota exceeded. Transfer aborted.")
            data.close()
        self.assert_untouched()

    def test_sigterm_keeps_the_old_file_and_a_crash_leftover_goes_at_start(self):
        f = self.s.ftp()
        data = start_upload(f, "keep.bin", pattern(50_000))
        self.wait_partial(50_000)
        self.assertEqual(self.s.server.stop(), 0)
        data.close()
        f.close()
        self.assert_untouched()
        # What a crash leaves: hidden files in the home, below it and in a folder.
        folder = os.path.join(self.s.server.home, "folder")
        ftp_accounts.add_user_folder(self.s.server.home, USER, "F", folder)
        leftovers = [os.path.join(self.s.root, HIDDEN + "1.1"), os.path.join(self.s.root, "sub", HIDDEN + "2.2"),
                     os.path.join(folder, HIDDEN + "3.3")]
        for path in leftovers:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(b"partial")
        self.s.server.start()
        self.assertEqual([p for p in leftovers if os.path.exists(p)], [])
        self.assertEqual(self.s.read("keep.bin"), OLD)

    def test_hidden_files_are_never_listed_served_or_named(self):
        with self.s.ftp() as f, self.s.ftp() as other:
            data = start_upload(f, "keep.bin", pattern(10_000))
            hidden = os.path.basename(self.wait_partial(10_000))
            self.assertEqual(sorted(other.nlst()), ["keep.bin"])
            self.assertEqual([n for n, _ in other.mlsd()], ["keep.bin"])
            listing = []
            other.retrlines("LIST", listing.append)
            self.assertEqual(len(listing), 1)
            # Named, it is as absent as a file that never was.
            for command in (f"LIST {hidden}", f"NLST {hidden}", f"MLSD {hidden}"):
                with self.assertRaises(ftplib.error_perm, msg=command):
                    other.retrlines(command, listing.append)
            self.assertEqual(len(listing), 1)
            for command in (f"MLST {hidden}", f"SIZE {hidden}", f"MDTM {hidden}", f"MFMT 20200101000000 {hidden}",
                            f"DELE {hidden}", f"RNFR {hidden}"):
                with self.assertRaises(ftplib.error_perm, msg=command):
                    other.sendcmd(command)
            with self.assertRaises(ftplib.error_perm):
                other.retrbinary(f"RETR {hidden}", lambda _: None)
            # Nor is such a name made, in any piece of the path.
            other.mkd("sub")
            for command in (f"STOR {HIDDEN}x", f"APPE {hidden}", f"STOR sub/{HIDDEN}x", f"STOR {HIDDEN}d/x"):
                with self.assertRaises(ftplib.error_perm, msg=command) as e:
                    other.storbinary(command, io.BytesIO(b"x"))
                self.assertEqual(str(e.exception), "553 File name not allowed.", command)
            for command in (f"RNTO {HIDDEN}y", f"RNTO sub/{HIDDEN}y", f"MKD {HIDDEN}d", f"MKD sub/{HIDDEN}d",
                            f"MKD sub/{HIDDEN}d/more", f"XMKD \\sub\\{HIDDEN}d"):
                if command.startswith("RNTO"):
                    other.sendcmd("RNFR keep.bin")
                with self.assertRaises(ftplib.error_perm, msg=command) as e:
                    other.sendcmd(command)
                self.assertEqual(str(e.exception), "553 File name not allowed.", command)
            self.assertEqual(os.listdir(os.path.join(self.s.root, "sub")), [])
            # Names compare exactly, as on disk: another case is an ordinary name.
            self.assertEqual(other.mkd(".Tarnwick-Upload.d"), "/.Tarnwick-Upload.d")
            self.assertIn(".Tarnwick-Upload.d", other.nlst())
            data.close()
            self.assertEqual(f.getline(), "226 Transfer complete.")
        self.assertEqual(self.s.read("keep.bin"), pattern(10_000))


class QuotaAccountingTest(unittest.TestCase):
    def test_parallel_uploads_never_store_more_than_the_quota(self):
        s = TransferServer({"maxusers": 100}, quota=100)
        body = pattern(60 * 1024)
        results = []

        def upload(i):
            try:
                with s.ftp() as f:
                    results.append(f.storbinary(f"STOR p{i}.bin", io.BytesIO(body)))
            except ftplib.Error as e:
                results.append(str(e))

        try:
            threads = [threading.Thread(target=upload, args=(i,)) for i in range(50)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual(len(results), 50)
            # Whichever blocks come first, two whole files would pass the quota; refused uploads leave nothing.
            self.assertLessEqual(results.count("226 Transfer complete."), 1)
            self.assertIn("452 Disk quota exceeded. Transfer aborted.", results)
            stored = sum(os.path.getsize(os.path.join(s.root, n)) for n in os.listdir(s.root))
            self.assertLessEqual(stored, 100 * 1024)
        finally:
            s.close()

    def test_reupload_bills_the_difference_either_way_and_a_link_delete_frees_the_link(self):
        s = TransferServer(quota=1000)
        home = s.server.home
        try:
            with s.ftp() as f:
                for _ in range(9):
                    f.storbinary("STOR same.bin", io.BytesIO(pattern(10 * 1024)))
                f.storbinary("STOR same.bin", io.BytesIO(pattern(12 * 1024)))  # 2 KB more
                f.storbinary("STOR same.bin", io.BytesIO(pattern(5 * 1024)))  # smaller: 7 KB back
                f.voidcmd("NOOP")
            self.assertTrue(wait_until(lambda: ftp_accounts.quota_used(home, USER) == 5, 5),
                            ftp_accounts.quota_used(home, USER))
            s.write("big.bin", pattern(50_000))
            os.symlink("big.bin", s.path("link.bin"))  # the link itself takes 7 bytes: 1 KB
            with s.ftp() as f:
                f.sendcmd("DELE link.bin")
                f.voidcmd("NOOP")
            self.assertTrue(wait_until(lambda: ftp_accounts.quota_used(home, USER) == 4, 5),
                            ftp_accounts.quota_used(home, USER))
            self.assertEqual(s.read("big.bin"), pattern(50_000))
        finally:
            s.close()


@unittest.skipUnless(os.geteuid() == 0, "mounting a tmpfs for a second file system needs root")
class MoveAcrossFileSystemsTest(unittest.TestCase):
    def setUp(self):
        self.s = TransferServer()
        self.mount = tempfile.mkdtemp(prefix="tarnwick-mount-")
        # Small, so that a large file cannot be copied onto it.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", self.mount], check=True, timeout=30)
        ftp_accounts.add_user_folder(self.s.server.home, USER, "Disk", self.mount, rights="RWDRALCRR")

    def tearDown(self):
        self.s.close()
        subprocess.run(["umount", self.mount], check=True, timeout=30)
        os.rmdir(self.mount)

    def test_file_moves_and_a_failed_copy_keeps_the_source(self):
        body = pattern(100_000)
        self.s.write("a.bin", body)
        self.s.write("huge.bin", pattern(400_000))
        os.makedirs(self.s.path("dir"))
        with self.s.ftp() as f:
            f.sendcmd("RNFR a.bin")
            self.assertEqual(f.sendcmd("RNTO /Disk/a.bin"), '250 File "/a.bin" renamed .')
            f.sendcmd("RNFR huge.bin")
            with self.assertRaises(ftplib.error_temp) as e:
                f.sendcmd("RNTO /Disk/huge.bin")
            self.assertEqual(str(e.exception), '450 error rename the file: "/huge.bin".')
            f.sendcmd("RNFR dir")
            with self.assertRaises(ftplib.error_temp) as e:
                f.sendcmd("RNTO /Disk/dir")
            self.assertEqual(str(e.exception), '450 error rename the directory: "/dir".')
        self.assertFalse(os.path.exists(self.s.path("a.bin")))
        with open(os.path.join(self.mount, "a.bin"), "rb") as moved:
            self.assertEqual(moved.read(), body)
        self.assertEqual(self.s.read("huge.bin"), pattern(400_000))
        self.assertEqual(sorted(os.listdir(self.mount)), ["a.bin"])
        self.assertTrue(os.path.isdir(self.s.path("dir")))


if __name__ == "__main__":
    unittest.main()
