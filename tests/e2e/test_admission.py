"""Admission: greeting, connection limit, IP filter."""
import unittest

from harness import GREETING, ServerProcess

TOO_MANY = "421 Too many users are connected, please try again later."
REJECTED = "421 Access denied, IP address was rejected by the server."
CONNECTED = "127.0.0.1 has connected to server."
DISCONNECTED = "127.0.0.1 has disconnected from server."


class ConnectionLimitTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = ServerProcess({"maxusers": 2, "Savelog": 1}).start()

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_third_client_is_refused_and_counted(self):
        server = self.server
        first_connects = server.log_count(CONNECTED)
        first_disconnects = server.log_count(DISCONNECTED)
        a, b = server.client(), server.client()
        self.assertEqual(a.read_line(), GREETING)
        self.assertEqual(b.read_line(), GREETING)
        with server.client() as c:
            self.assertEqual(c.read_line(), TOO_MANY)
            self.assertTrue(c.wait_closed(), "refused client stays connected")
        self.assertEqual(server.wait_log_count(DISCONNECTED, first_disconnects + 1), first_disconnects + 1)
        self.assertEqual(server.log_count(CONNECTED), first_connects + 3)

        # A refused client leaves the count as it was: one place freed admits one new client.
        a.close()
        server.wait_log_count(DISCONNECTED, first_disconnects + 2)
        with server.client() as d:
            self.assertEqual(d.read_line(), GREETING)
            with server.client() as e:
                self.assertEqual(e.read_line(), TOO_MANY)
        b.close()
        self.assertEqual(server.wait_log_count(DISCONNECTED, first_disconnects + 5), first_disconnects + 5)
        self.assertEqual(server.log_count(CONNECTED), first_connects + 5)


class FilterTest(unittest.TestCase):
    """One short-lived server per filter configuration; each case is the first reply to one client."""

    def first_reply(self, settings, accept=None, reject=None):
        with ServerProcess({"Savelog": 1, **settings}, accept=accept, reject=reject) as server:
            with server.client() as c:
                reply = c.read_line()
                if reply.startswith("421"):
                    self.assertTrue(c.wait_closed(), "refused client stays connected")
            # refused or not, the client is logged as connected and disconnected
            self.assertEqual(server.wait_log_count(DISCONNECTED, 1), 1)
            self.assertEqual(server.log_count(CONNECTED), 1)
            return reply

    # The modes and list texts are covered in-process; these check that the server's accept path uses them.
    def test_a_listed_address_is_refused_in_deny_mode(self):
        self.assertEqual(self.first_reply({"FilterMode": 1}, reject="10.0.0.1 , 127.0.0.1 "), REJECTED)

    def test_a_listed_address_is_admitted_in_allow_mode(self):
        self.assertEqual(self.first_reply({"FilterMode": 2}, accept="127.0.0.*"), GREETING)

    def test_limit_is_checked_before_filter(self):
        self.assertEqual(self.first_reply({"maxusers": 0, "FilterMode": 3}), TOO_MANY)


if __name__ == "__main__":
    unittest.main()
