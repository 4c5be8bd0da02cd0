"""The FTP clients people use, against the real tarnsvc: resumed uploads (lftp, ftplib), binary transfers
without typing "binary" (inetutils-ftp), folders made by rclone, and the commands modern clients ask for."""
import ftplib
import io
import os
import shutil
import socket
import subprocess
import unittest

from harness import HOST
from test_transfers import PASSWORD, USER, TransferServer, pattern


def run(*args, stdin=None, timeout=60):
    return subprocess.run(args, input=stdin, capture_output=True, timeout=timeout)


class ResumedUploadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = TransferServer({"Savelog": 1})

    @classmethod
    def tearDownClass(cls):
        cls.s.close()

    def interrupted_upload(self, f, name, body, cut):
        """Sends the first `cut` bytes of an upload and drops the data connection, as a broken link does."""
        f.voidcmd("TYPE I")
        conn = f.transfercmd(f"STOR {name}")
        conn.sendall(body[:cut])
        conn.close()
        f.voidresp()
        self.assertEqual(self.s.read(name), body[:cut])

    def test_ftplib_rest_then_stor(self):
        body = pattern(1_500_000)
        with self.s.ftp() as f:
            self.interrupted_upload(f, "ftplib.bin", body, 600_001)
            size = f.size("ftplib.bin")
            reply = f.storbinary("STOR ftplib.bin", io.BytesIO(body[size:]), rest=size)
            self.assertEqual(reply, "226 Transfer complete.")
            self.assertEqual(self.s.read("ftplib.bin"), body)
            with self.assertRaises(ftplib.error_perm) as e:
                f.storbinary("STOR ftplib.bin", io.BytesIO(b"x"), rest=len(body) + 1)
            self.assertEqual(str(e.exception), "554 Restart position beyond the end of the file.")
            self.assertEqual(self.s.read("ftplib.bin"), body)

    @unittest.skipUnless(shutil.which("lftp"), "lftp missing")
    def test_lftp_put_continue(self):
        body = pattern(5 * 1024 * 1024)
        src = os.path.join(self.s.server.home, "lftp-src.bin")
        with open(src, "wb") as out:
            out.write(body)
        with self.s.ftp() as f:
            self.interrupted_upload(f, "lftp.bin", body, 1_757_120)
        script = (f"set net:max-retries 1; set net:timeout 10; open -u {USER},{PASSWORD} ftp://{HOST}:{self.s.port}; "
                  f"put -c {src} -o lftp.bin; bye")
        r = run("lftp", "-c", script)
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertEqual(self.s.read("lftp.bin"), body)
        self.assertIn(">> REST 1757120", self.s.server.log_messages())  # resumed, not sent again


if __name__ == "__main__":
    unittest.main()
