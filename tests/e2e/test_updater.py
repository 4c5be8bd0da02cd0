"""The address updater inside the service host: the public-address lookup that sets the passive address,
and the dynamic-DNS update request, against a loopback HTTP server."""
import ftplib
import os
import time
import unittest

import ftp_accounts
from harness import HOST, ServerProcess, free_port, wait_until
from http_stub import HttpServer, response

USER, PASSWORD = "tester", "secret"


def settings_text(port, passive_ip, dns=None):
    text = f"[Server]\r\nport={port}\r\nftpsservice=0\r\nPassiveIP={passive_ip}\r\n"
    if dns:
        text += "[DNS]\r\n" + "".join(f"{k}={v}\r\n" for k, v in dns.items())
    return text


class UpdaterServer:
    """tarnsvc -f with one user, started after the HTTP server it asks."""

    def __init__(self, passive_ip, dns, env=None):
        port = free_port()
        self.server = ServerProcess(settings_text(port, passive_ip, dns), port=port, env=env)
        ftp_accounts.add_user(self.server.home, USER, PASSWORD, os.path.join(self.server.home, "root"))
        self.server.start()

    def pasv(self):
        f = ftplib.FTP()
        f.connect(HOST, self.server.port, timeout=10)
        try:
            f.login(USER, PASSWORD)
            return f.sendcmd("PASV")
        finally:
            f.close()

    def pasv_becomes(self, prefix, timeout=5.0):
        """The first PASV reply that starts with `prefix`, or the last one seen (the reply is handled on
        the server's thread after the HTTP answer went out)."""
        seen = wait_until(lambda: (lambda r: r if r.startswith(prefix) else None)(self.pasv()), timeout)
        return seen or self.pasv()

    def close(self):
        self.server.close()


class LookupTest(unittest.TestCase):
    def run_lookup(self, answer, dns=None, passive_ip="Internet"):
        http = HttpServer(answer)
        self.addCleanup(http.close)
        server = UpdaterServer(passive_ip, {"LookupURL": http.url("/myip.php"), **(dns or {})})
        self.addCleanup(server.close)
        return http, server

    def test_public_address_goes_into_passive_replies(self):
        http, server = self.run_lookup(response(b"Your IP:203.0.113.7\n"))
        self.assertEqual(http.wait_requests(1), ["GET /myip.php HTTP/1.0"])
        headers = http.requests[0][1]
        self.assertEqual(headers.get("user-agent"), "RiZiradizUv")
        self.assertEqual(headers.get("pragma"), "no-cache")
        self.assertTrue(server.pasv_becomes("227 Entering Passive Mode (203,0,113,7,").startswith(
            "227 Entering Passive Mode (203,0,113,7,"))

    def test_a_blank_after_the_prefix_stays(self):
        _, server = self.run_lookup(response(b"Your IP: 203.0.113.7 \r\n\n"))
        self.assertTrue(server.pasv_becomes("227 Entering Passive Mode ( 203,0,113,7,").startswith(
            "227 Entering Passive Mode ( 203,0,113,7,"))

    def test_a_body_without_length_is_read_into_5120_bytes(self):
        # Read whole, the address would end in "X" after the blanks.
        body = b"Your IP:203.0.113.9" + b" " * 6000 + b"X"
        _, server = self.run_lookup(response(body, length=False))
        self.assertTrue(server.pasv_becomes("227 Entering Passive Mode (203,0,113,9,").startswith(
            "227 Entering Passive Mode (203,0,113,9,"))

    def test_answers_that_are_no_address_change_nothing(self):
        cases = [
            response(b"", status="302 Found", extra="Location: /myip2.php\r\n"),  # never followed
            response(b"Address: 203.0.113.7\n"),
            response(b"Your IP:203.0.113.7\r\n227 Injected (1,2,3,4,5,6).\r\n"),  # a line end inside
        ]
        for answer in cases:
            with self.subTest(answer=answer[:40]):
                http = HttpServer(answer)
                server = UpdaterServer("Internet", {"LookupURL": http.url("/myip.php"), "Enable": 1,
                                                    "UpdateURL": http.url("/dyn/")})
                try:
                    self.assertTrue(http.wait_served(1))
                    # An accepted reply would be followed by the update request.
                    self.assertFalse(wait_until(lambda: len(http.request_lines()) > 1, 1.0))
                    self.assertEqual(http.request_lines(), ["GET /myip.php HTTP/1.0"])
                    self.assertTrue(server.pasv().startswith("227 Entering Passive Mode (127,0,0,1,"))
                finally:
                    server.close()
                    http.close()

    def test_default_address_without_dns_asks_nobody(self):
        http, server = self.run_lookup(response(b"Your IP:203.0.113.7\n"), passive_ip="Default")
        self.assertTrue(server.pasv().startswith("227 Entering Passive Mode (127,0,0,1,"))
        self.assertFalse(wait_until(lambda: http.request_lines(), 1.0))

    def test_timer_lookup_then_update_request_with_encoded_values(self):
        http = HttpServer(response(b"Your IP:203.0.113.7\n"))
        self.addCleanup(http.close)
        server = UpdaterServer("Default", {"LookupURL": http.url("/myip.php"), "Enable": 1, "Name": "host one",
                                           "Password": "p&w #x=1", "UpdateURL": http.url("/dyn/")},
                               env={"TARNWICK_LOOKUP_RETRY_MS": "500"})
        self.addCleanup(server.close)
        # With PassiveIP "Default" the first lookup comes with timer 1 (after 30 s, shortened here).
        lines = http.wait_requests(2, timeout=15)
        url = f"http%3A%2F%2F203.0.113.7%3A{server.server.port}"
        self.assertEqual(lines, ["GET /myip.php HTTP/1.0",
                                 f"GET /dyn/updateurl2.php?name=host%20one&password=p%26w%20%23x%3D1&url={url}"
                                 "&name2=&password2=&url2= HTTP/1.0"])
        # The update's reply is not read, even when it looks like a lookup reply (no endless updates).
        self.assertFalse(wait_until(lambda: len(http.request_lines()) > 2, 1.0))
        # The passive address stays the local one.
        self.assertTrue(server.pasv().startswith("227 Entering Passive Mode (127,0,0,1,"))


if __name__ == "__main__":
    unittest.main()
