"""The FTP clients people use, against the real tarnsvc: resumed uploads (lftp, ftplib), binary transfers
without typing "binary" (inetutils-ftp), folders made by rclone, and the commands modern clients ask for."""
import calendar
import ftplib
import io
import os
import shutil
import socket
import subprocess
import unittest

import ftp_accounts
from harness import HOST
from test_transfers import PASSWORD, USER, ServerTest, pattern

# Line ends of every kind: any conversion on either side shows.
BINARY = b"\r\n\n\r\x00\xff" + pattern(200_000) + b"\n\r\n"


def run(*args, stdin=None, timeout=60):
    return subprocess.run(args, input=stdin, capture_output=True, timeout=timeout)


def reply(f, command):
    """The server's reply line to a command, a refusal included."""
    try:
        return f.sendcmd(command)
    except ftplib.Error as e:
        return str(e)


class ResumedUploadTest(ServerTest):

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


class ClientsTest(ServerTest):

    def local(self, name, data=None):
        path = os.path.join(self.s.server.home, name)
        if data is not None:
            with open(path, "wb") as f:
                f.write(data)
        return path

    @unittest.skipUnless(shutil.which("inetutils-ftp"), "inetutils-ftp missing")
    def test_inetutils_ftp_moves_binary_files_without_being_told(self):
        self.s.write("down.bin", BINARY)
        src, dst = self.local("in.bin", BINARY[::-1]), self.local("out.bin")
        script = (f"user {USER} {PASSWORD}\nget down.bin {dst}\nput {src} up.bin\nquit\n").encode()
        r = run("inetutils-ftp", "-n", "-p", HOST, str(self.s.port), stdin=script)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        with open(dst, "rb") as f:
            self.assertEqual(f.read(), BINARY)
        self.assertEqual(self.s.read("up.bin"), BINARY[::-1])

    @unittest.skipUnless(shutil.which("rclone"), "rclone missing")
    def test_rclone_mkdir_and_copy_into_a_new_folder(self):
        obscured = run("rclone", "obscure", PASSWORD).stdout.decode().strip()
        env = dict(os.environ, RCLONE_CONFIG="/dev/null", RCLONE_FTP_HOST=HOST, RCLONE_FTP_PORT=str(self.s.port),
                   RCLONE_FTP_USER=USER, RCLONE_FTP_PASS=obscured)
        tree = os.path.join(self.s.server.home, "rclone-src")
        os.makedirs(os.path.join(tree, "deep"))
        with open(os.path.join(tree, "deep", "b.bin"), "wb") as f:
            f.write(BINARY)
        for args in (["mkdir", ":ftp:made/inner"], ["copy", tree, ":ftp:new folder/x"],
                     ["check", tree, ":ftp:new folder/x"]):
            r = subprocess.run(["rclone", "--retries", "1", "--low-level-retries", "1", *args], env=env,
                               capture_output=True, timeout=60)
            self.assertEqual(r.returncode, 0, (args, r.stderr.decode(errors="replace")))
        self.assertTrue(os.path.isdir(self.s.path("made/inner")))
        self.assertEqual(self.s.read("new folder/x/deep/b.bin"), BINARY)

    def test_utf8_names_after_feat_and_opts_before_login(self):
        f = ftplib.FTP(encoding="utf-8")
        f.connect(HOST, self.s.port, timeout=15)
        with f:
            self.assertIn(" UTF8", f.sendcmd("FEAT").splitlines())
            self.assertEqual(f.sendcmd("OPTS UTF8 ON"), "200 Always in UTF8 mode.")
            f.login(USER, PASSWORD)
            f.mkd("目录")
            for name in ("文件.txt", "目录/Ünïcödé ñame.bin"):
                f.storbinary(f"STOR {name}", io.BytesIO(name.encode() * 3))
                self.assertEqual(self.s.read(name), name.encode() * 3)
            self.assertIn("文件.txt".encode(), os.listdir(self.s.root.encode()))
            facts = dict(f.mlsd())
            self.assertEqual(facts["文件.txt"]["size"], str(len("文件.txt".encode()) * 3))
            self.assertEqual(facts["目录"]["type"], "dir")
            self.assertEqual([n for n, _ in f.mlsd("目录")], ["Ünïcödé ñame.bin"])
            self.assertIn("文件.txt", f.nlst())

    def test_extended_passive_and_active(self):
        self.s.write("e.bin", BINARY)
        with self.s.ftp() as f:
            f.af = socket.AF_INET6  # makes ftplib open its passive connections with EPSV
            got = bytearray()
            f.retrbinary("RETR e.bin", got.extend)
            self.assertEqual(bytes(got), BINARY)
            f.storbinary("STOR e-up.bin", io.BytesIO(BINARY))
            self.assertEqual(self.s.read("e-up.bin"), BINARY)
            self.assertIn("e.bin", f.nlst())
            self.assertIn(">> EPSV", self.s.server.log_messages())

            with socket.create_server((HOST, 0)) as listener:
                port = listener.getsockname()[1]
                self.assertEqual(f.sendcmd(f"EPRT |1|{HOST}|{port}|"), "200 EPRT command successful.")
                f.putcmd("RETR e.bin")
                self.assertEqual(f.getresp(), "150 File status okay; about to open data connection.")
                conn, _ = listener.accept()
                with conn:
                    data = bytearray()
                    while chunk := conn.recv(65536):
                        data += chunk
                self.assertEqual(bytes(data), BINARY)
                self.assertEqual(f.getresp(), "226 Transfer complete.")

            refusals = [
                ("EPRT |2|::1|5000|", "522 Network protocol not supported, use (1)"),
                ("EPSV 2", "522 Network protocol not supported, use (1)"),
                ("EPRT |1|10.1.2.3|5000|", "504 Command not implemented for that parameter."),  # bounce
                (f"EPRT |1|{HOST}|21|", "504 Command not implemented for that parameter."),  # privileged port
                ("EPRT |1|127.0.0.1|", "501 Syntax error in parameters or arguments."),
                ("EPSV ALL", "200 EPSV ALL command successful."),
                ("PASV", "520 EPSV ALL in effect."),
                ("PORT 127,0,0,1,40,0", "520 EPSV ALL in effect."),
                (f"EPRT |1|{HOST}|5000|", "520 EPSV ALL in effect."),
            ]
            for command, expected in refusals:
                self.assertEqual(reply(f, command), expected, command)
            got = bytearray()
            f.retrbinary("RETR e.bin", got.extend)  # EPSV still works
            self.assertEqual(bytes(got), BINARY)

    def test_epsv_port_theft_is_refused(self):
        self.s.write("theft.txt", b"x")
        with self.s.ftp() as f:
            port = int(f.sendcmd("EPSV").split("|")[3])
            # Another address of this machine is someone else: turned away, and the port waits on.
            with socket.create_connection((HOST, port), source_address=("127.0.0.2", 0), timeout=5) as thief:
                f.putcmd("NLST theft.txt")
                self.assertEqual(f.getresp(), "150 Accepted data connection.")
                self.assertEqual(thief.recv(10), b"")
                with socket.create_connection((HOST, port), timeout=5) as own:
                    self.assertEqual(own.makefile("rb").read(), b"theft.txt\r\n")
            self.assertEqual(f.getresp(), "226 Transfer complete.")

    def test_mdtm_and_mfmt(self):
        self.s.write("t.txt", b"x")
        with self.s.ftp() as f:
            self.assertEqual(f.sendcmd("MFMT 20200229123456 t.txt"), "213 Modify=20200229123456; t.txt")
            self.assertEqual(os.stat(self.s.path("t.txt")).st_mtime, calendar.timegm((2020, 2, 29, 12, 34, 56)))
            self.assertEqual(f.sendcmd("MDTM t.txt"), "213 20200229123456")
            self.assertEqual(f.sendcmd("MFMT 20240101000000.5 /t.txt"), "213 Modify=20240101000000; /t.txt")
            self.assertEqual(dict(f.mlsd())["t.txt"]["modify"], "20240101000000")
            for command, expected in (("MDTM missing.txt", "550 File unavailable."),
                                      ("MFMT 20240101000000 missing.txt", "550 File unavailable."),
                                      ("MFMT 20241301000000 t.txt", "501 Syntax error in parameters or arguments."),
                                      ("MFMT 20240101000000", "501 Syntax error in parameters or arguments.")):
                self.assertEqual(reply(f, command), expected, command)

    def test_mfmt_needs_the_write_right(self):
        reader = "reader"
        ftp_accounts.add_user(self.s.server.home, reader, "pw", self.s.root, rights="R----L---")
        self.s.write("ro.txt", b"x")
        os.utime(self.s.path("ro.txt"), (1_000_000_000, 1_000_000_000))
        f = ftplib.FTP()
        f.connect(HOST, self.s.port, timeout=15)
        with f:
            f.login(reader, "pw")
            self.assertEqual(f.sendcmd("MDTM ro.txt"), "213 20010909014640")
            self.assertEqual(reply(f, "MFMT 20200101000000 ro.txt"), "550 No permission.")
            self.assertEqual(os.stat(self.s.path("ro.txt")).st_mtime, 1_000_000_000)
            self.assertEqual(dict(f.mlsd())["ro.txt"]["perm"], "r")


if __name__ == "__main__":
    unittest.main()
