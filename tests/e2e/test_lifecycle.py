"""The process: settings it starts from, a port it cannot bind, idle time-out, resources, stopping."""
import os
import signal
import socket
import time
import unittest

from harness import GREETING, HOST, ServerProcess, free_port, wait_until

TOO_MANY = "421 Too many users are connected, please try again later."
TIMED_OUT = "426 Connection timed out, aborting transfer"
DISCONNECTED = "127.0.0.1 has disconnected from server."


class SettingsTest(unittest.TestCase):
    def test_defaults_apply_to_keys_not_given(self):
        # Only the port is set, in other letter cases; 20 users, no filter and no log writing by default.
        port = free_port()
        with ServerProcess(f"; settings\r\n[SERVER]\r\nPORT={port}\r\n", port=port) as server:
            clients, replies = [], []
            try:
                for _ in range(21):  # one after the other: admission of a burst is not exact
                    clients.append(server.client())
                    replies.append(clients[-1].read_line())
            finally:
                for c in clients:
                    c.close()
            self.assertEqual(replies, [GREETING] * 20 + [TOO_MANY])
            with open(server.log_path(), "rb") as f:
                self.assertEqual(f.read(), b"")

    def test_malformed_values_read_as_zero(self):
        port = free_port()
        text = f"garbage line\r\n[Server]\r\nport={port}tail\r\nmaxusers=many\r\nport=1\r\n"
        with ServerProcess(text, port=port) as server:
            with server.client() as c:
                self.assertEqual(c.read_line(), TOO_MANY)

    def test_without_savelog_the_day_file_is_created_empty(self):
        with ServerProcess({"Savelog": 0}) as server:
            with server.client() as c:
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
            self.assertEqual(server.stop(), 0)
            with open(server.log_path(), "rb") as f:
                self.assertEqual(f.read(), b"")


class PortInUseTest(unittest.TestCase):
    def test_port_in_use_fails_with_message(self):
        with socket.socket() as holder:
            holder.bind((HOST, 0))
            holder.listen()
            port = holder.getsockname()[1]
            server = ServerProcess({"port": port, "Savelog": 1}, port=port)
            try:
                server.launch()
                self.assertNotEqual(server.wait_exit(), 0)
                message = f"Server cannot run on port {port}."
                self.assertIn(message, server.stdout())
                self.assertIn(message, server.log_messages())
            finally:
                server.close()


class IdleTimeoutTest(unittest.TestCase):
    def test_idle_client_is_timed_out(self):
        # A time-out of 0 minutes ends a connection at the first tick after a second without traffic;
        # a time-out of 1 minute must leave the same client alone meanwhile.
        with ServerProcess({"timeout": 0, "Savelog": 1}) as quick, ServerProcess({"timeout": 1}) as patient:
            idle = [quick.client(), quick.client()]
            kept = patient.client()
            for c in idle:
                self.assertEqual(c.read_line(), GREETING)
            self.assertEqual(kept.read_line(), GREETING)
            started = time.monotonic()
            for c in idle:
                self.assertEqual(c.read_line(timeout=4), TIMED_OUT)
                self.assertTrue(c.wait_closed(timeout=2))
                c.close()
            self.assertLess(time.monotonic() - started, 4)
            self.assertEqual(quick.wait_log_count(DISCONNECTED, 2), 2)
            self.assertEqual(quick.log_count(TIMED_OUT), 2)

            self.assertTrue(kept.silent_for(max(0.0, 2.5 - (time.monotonic() - started))))
            self.assertEqual(kept.command("CWD"), "501 Syntax error in parameters or arguments.")
            kept.close()


class ResourcesAndStopTest(unittest.TestCase):
    def test_no_descriptor_or_thread_leak(self):
        with ServerProcess({"maxusers": 3, "Savelog": 1}) as server:
            def cycle(kind):
                c = server.client()
                greeting = c.read_line()
                if kind == "quit":
                    c.command("QUIT")
                elif kind == "reset":
                    c.reset()
                    return greeting
                elif kind == "overlong":
                    c.send("B" * 5000)
                c.close()
                return greeting

            # A connection thread may still be on its way out after it has reported its end.
            threads = server.thread_count()

            def settled():
                wait_until(lambda: server.thread_count() <= threads, 5)

            # warm-up, so that whatever the process opens once is counted in the baseline
            cycle("quit")
            server.wait_log_count(DISCONNECTED, 1)
            settled()
            fds = server.fd_count()

            kinds = ["quit", "close", "reset", "overlong"]
            rounds = 60
            held = [server.client() for _ in range(3)]  # a full server: every further client is refused
            for c in held:
                self.assertEqual(c.read_line(), GREETING)
            refused = [cycle("close") for _ in range(10)]
            self.assertEqual(refused, [TOO_MANY] * 10)
            for c in held:
                c.close()
            server.wait_log_count(DISCONNECTED, 14)
            # A client's close reaches the server some time later; until the server has counted it out,
            # it still takes a place, so each round waits for its own end before the next one connects.
            for i in range(rounds):
                self.assertEqual(cycle(kinds[i % len(kinds)]), GREETING)
                ended = 14 + i + 1
                self.assertEqual(server.wait_log_count(DISCONNECTED, ended, timeout=10), ended)
            settled()
            self.assertEqual(server.fd_count(), fds, os.listdir(f"/proc/{server.proc.pid}/fd"))
            self.assertEqual(server.thread_count(), threads)

    def test_sigterm_ends_connections_and_exits_zero(self):
        with ServerProcess({"Savelog": 1}) as server:
            clients = [server.client() for _ in range(3)]
            for c in clients:
                self.assertEqual(c.read_line(), GREETING)
            self.assertEqual(server.stop(), 0)
            for c in clients:
                self.assertTrue(c.wait_closed(timeout=2))
                c.close()
            messages = server.log_messages()
            self.assertEqual(messages[-1], "Server is stopped.")
            self.assertEqual(messages.count(DISCONNECTED), 3)
            self.assertIn("Server is stopped.", server.stdout())

    def test_sigint_stops_as_well(self):
        with ServerProcess() as server:
            server.proc.send_signal(signal.SIGINT)
            self.assertEqual(server.wait_exit(), 0)
            self.assertIn("Server is stopped.", server.stdout())


if __name__ == "__main__":
    unittest.main()
