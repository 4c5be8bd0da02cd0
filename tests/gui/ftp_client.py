"""An FTP client (Python's ftplib) driven line by line: each line on stdin is a command sent as it stands,
or "quit"; each reply is printed on one line. "NLST [path]" runs the listing over a passive data connection
and prints the names on one line, separated by "|". A connection the server ends prints "closed".
Usage: ftp_client.py PORT [tls]"""
import ftplib
import socket
import ssl
import sys

ftp = ftplib.FTP(encoding="utf-8")
try:
    if len(sys.argv) > 2 and sys.argv[2] == "tls":
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ftp.sock = ctx.wrap_socket(socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60))
        ftp.af = ftp.sock.family
        ftp.file = ftp.sock.makefile("r", encoding=ftp.encoding)
        print(ftp.getresp(), flush=True)
    else:
        print(ftp.connect("127.0.0.1", int(sys.argv[1]), timeout=60), flush=True)
except (OSError, EOFError, ftplib.Error) as e:
    print("connect failed: %s" % e, flush=True)
    sys.exit(1)
for line in sys.stdin:
    command = line.strip()
    try:
        if command == "quit":
            print(ftp.quit(), flush=True)
            break
        if command.upper().startswith("NLST"):
            print("|".join(ftp.nlst(*command.split()[1:])), flush=True)
            continue
        print(ftp.sendcmd(command), flush=True)
    except (EOFError, OSError):
        print("closed", flush=True)
        break
    except ftplib.Error as e:
        print(str(e), flush=True)
