"""The process: settings it starts from, ports it cannot use, idle time-out, resources, running out of
descriptors, stopping."""
import os
import resource
import signal
import socket
import threading
import time
import unittest

import ftp_accounts
from harness import EVENT_PREFIX, GREETING, HOST, ServerProcess, free_port, wait_until
from test_ftps import certificates

TOO_MANY = "421 Too many users are connected, please try again later."
TIMED_OUT = "426 Connection timed out, aborting transfer"
CONNECTED = "127.0.0.1 has connected to server."
DISCONNECTED = "127.0.0.1 has disconnected from server."


def logged_in_client(server, source=None):
    """A client logged in as "u" (made on first use): only a logged-in client may send more than 20
    commands."""
    if not os.path.exists(os.path.join(server.home, "user.sdb")):
        ftp_accounts.add_user(server.home, "u", "pw", os.path.join(server.home, "u"))
    c = server.client(source=source)
    assert c.read_line() == GREETING
    assert c.command("USER u") == "331 username ok, need password."
    assert c.command("PASS pw") == "230 User logged in. proceed."
    return c


def stuck_client(server):
    """A client that sends commands and never reads a reply, until its connection thread is blocked sending
    one: the server takes none of its bytes, and for a second its socket's queue of unsent replies has not
    changed (a server still working through what it received, slowly under a sanitizer, keeps adding to
    it). Bounded to 60 s."""
    c = logged_in_client(server)
    c.sock.setblocking(False)
    data = b"NOOP\r\n" * 10000
    started = last_change = time.monotonic()
    unsent = None
    while time.monotonic() - started < 60:
        try:
            c.sock.send(data)
            last_change = time.monotonic()
        except BlockingIOError:
            queued = (server.queues(c) or (None,))[0]
            if queued != unsent:
                unsent, last_change = queued, time.monotonic()
            elif unsent and time.monotonic() - last_change > 1.0:
                return c
            time.sleep(0.01)
    raise AssertionError("the server kept reading from a client that reads nothing")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


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

    def test_numbers_are_their_leading_digits_and_the_first_key_wins(self):
        port = free_port()
        text = f"garbage line\r\n[Server]\r\nport={port}tail\r\nmaxusers=1 user\r\nport=1\r\n"
        with ServerProcess(text, port=port) as server:
            with server.client() as first:
                self.assertEqual(first.read_line(), GREETING)
                with server.client() as second:
                    self.assertEqual(second.read_line(), TOO_MANY)

    def test_without_savelog_the_day_file_is_created_empty(self):
        with ServerProcess({"Savelog": 0}) as server:
            with server.client() as c:
                self.assertEqual(c.read_line(), GREETING)
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
            self.assertEqual(server.stop(), 0)
            with open(server.log_path(), "rb") as f:
                self.assertEqual(f.read(), b"")


class PortTest(unittest.TestCase):
    def test_ports_outside_the_range_are_refused(self):
        for text, shown in (("86071", 86071), ("0", 0), ("-21", -21)):
            with self.subTest(port=text):
                server = ServerProcess(f"[Server]\r\nport={text}\r\n", port=free_port())
                try:
                    server.launch()
                    self.assertNotEqual(server.wait_exit(), 0)
                    self.assertIn(f"Server cannot run on port {shown}.", server.stdout())
                    self.assertNotIn("Server is running", server.stdout())
                finally:
                    server.close()

    def test_a_tls_port_outside_the_range_is_refused(self):
        with ServerProcess({"ftpsservice": 1, "sslport": 70000}) as server:
            self.assertTrue(wait_until(lambda: "SSL Server cannot run on port 70000." in server.stdout(), 5))
            self.assertNotIn("SSL Server is running", server.stdout())
            with server.client() as c:
                self.assertEqual(c.read_line(), GREETING)

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


    def test_the_harness_moves_to_new_ports_when_its_picks_were_taken(self):
        # What another process on a busy machine does between the pick and the bind: here it takes the
        # plain port, or the TLS port alone (the server then runs without its TLS listener).
        for tls in (False, True):
            with self.subTest(tls=tls):
                server = ServerProcess({"ftpsservice": int(tls)})
                if tls:
                    certificates().install(server)
                picked = [server.ssl_port if tls else server.port]
                holders = [socket.create_server((HOST, p)) for p in picked]
                try:
                    with server:
                        self.assertNotIn(server.port, picked)
                        with server.client() as c:
                            self.assertEqual(c.read_line(), GREETING)
                        if tls:
                            self.assertNotIn(server.ssl_port, picked)
                            self.assertIn(f"SSL Server is running on port {server.ssl_port}.", server.stdout())
                finally:
                    for h in holders:
                        h.close()


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
            def cycle(kind, source=None):
                c = server.client(source=source)
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
            # Each round comes from an address of its own, whose lines no line budget holds back.
            def disconnects():
                return sum(1 for m in server.log_messages() if m.endswith(" has disconnected from server."))

            for i in range(rounds):
                self.assertEqual(cycle(kinds[i % len(kinds)], f"127.0.0.{2 + i}"), GREETING)
                ended = 14 + i + 1
                wait_until(lambda: disconnects() >= ended, 10)
                self.assertEqual(disconnects(), ended)
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

    def test_a_stuck_connection_is_waited_for_once_whatever_other_clients_send(self):
        with ServerProcess() as server:
            stuck = stuck_client(server)
            chatty = logged_in_client(server)
            stop_chatting = threading.Event()
            served = threading.Event()

            def chat():  # a NOOP and its reply after another, until the server closes (bounded)
                deadline = time.monotonic() + 20
                while not stop_chatting.is_set() and time.monotonic() < deadline:
                    try:
                        chatty.command("NOOP")
                        served.set()
                    except (AssertionError, OSError):
                        return

            chatter = threading.Thread(target=chat)
            chatter.start()
            try:
                self.assertTrue(served.wait(10))
                started = time.monotonic()
                self.assertEqual(server.stop(), 0)
                elapsed = time.monotonic() - started
            finally:
                stop_chatting.set()
                chatter.join(25)
                stuck.close()
                chatty.close()
            # 5 s for the stuck thread, once; the other client's traffic does not prolong the wait.
            self.assertGreater(elapsed, 4.5)
            self.assertLess(elapsed, 8)
            self.assertIn("Server is stopped.", server.stdout())

    def test_a_second_signal_does_not_cut_a_stop_short(self):
        with ServerProcess({"Savelog": 1}) as server:
            stuck = stuck_client(server)  # first in line: the stop waits for it first
            clients = [server.client() for _ in range(3)]
            for c in clients:
                self.assertEqual(c.read_line(), GREETING)
            started = time.monotonic()
            server.proc.send_signal(signal.SIGTERM)
            # The stop is under way once the listener is closed; the second signal arrives during its wait.
            self.assertTrue(wait_until(lambda: not server.listening(), 5))
            server.proc.send_signal(signal.SIGTERM)
            self.assertEqual(server.wait_exit(), 0)
            self.assertGreater(time.monotonic() - started, 4.5)
            for c in [stuck] + clients:
                c.close()
            # Every connection that could end was waited for and counted out.
            messages = server.log_messages()
            self.assertEqual(messages.count(DISCONNECTED), 3)
            self.assertEqual(messages[-1], "Server is stopped.")

    def test_console_lines_of_many_threads_stay_whole(self):
        with ServerProcess({"maxusers": 50}) as server:
            # From addresses of their own: each address has its own budget of lines a second.
            clients = [logged_in_client(server, f"127.0.0.{2 + i}") for i in range(12)]

            def burst(c):
                c.send("NOOP\r\n" * 300)
                for _ in range(300):
                    c.read_line()

            threads = [threading.Thread(target=burst, args=(c,)) for c in clients]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            for c in clients:
                c.close()
            self.assertEqual(server.stop(), 0)
            lines = server.stdout().split("\n")
            self.assertEqual(lines[-1], "")
            broken = [l for l in lines[:-1] if not EVENT_PREFIX.match(l.encode()) or "[20" in l[23:]]
            self.assertEqual(len(broken), 0, broken[:3])
            self.assertGreater(len(lines), 12 * 200)

    def test_sigint_stops_as_well(self):
        with ServerProcess() as server:
            server.proc.send_signal(signal.SIGINT)
            self.assertEqual(server.wait_exit(), 0)
            self.assertIn("Server is stopped.", server.stdout())


@unittest.skipIf(os.environ.get("TARNWICK_SANITIZED") == "1",
                 "the sanitizer runtime needs descriptors of its own to check and report")
class DescriptorLimitTest(unittest.TestCase):
    def test_the_soft_limit_is_raised_to_the_hard_one(self):
        with ServerProcess(nofile=(64, 512)) as server:
            self.assertEqual(resource.prlimit(server.proc.pid, resource.RLIMIT_NOFILE), (512, 512))

    def test_running_out_of_descriptors_ends_single_connections_and_keeps_the_server(self):
        with ServerProcess({"maxusers": 100, "Savelog": 1}) as server:
            pid = server.proc.pid
            baseline = server.fd_count()
            _, hard = resource.prlimit(pid, resource.RLIMIT_NOFILE)
            held = [server.client() for _ in range(2)]
            for c in held:
                self.assertEqual(c.read_line(), GREETING)
            used = server.fd_count()

            # Room for the socket and one more descriptor: the connection's thread cannot set up its loop.
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (used + 2, hard))
            for _ in range(3):
                with server.client() as c:
                    self.assertTrue(c.wait_closed(), "connection kept without its thread")
                    self.assertEqual(c.buffer, b"")
            self.assertIsNone(server.proc.poll(), "the process ended")
            self.assertTrue(wait_until(lambda: server.fd_count() == used, 5), os.listdir(f"/proc/{pid}/fd"))

            # No descriptor at all: the client waits in the backlog, and the server does not spin meanwhile.
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (used, hard))
            waiting = server.client()
            cpu = cpu_seconds(pid)
            self.assertTrue(waiting.silent_for(1.0))
            self.assertLess(cpu_seconds(pid) - cpu, 0.3)
            resource.prlimit(pid, resource.RLIMIT_NOFILE, (hard, hard))
            self.assertEqual(waiting.read_line(timeout=3), GREETING)

            for c in held + [waiting]:
                self.assertEqual(c.command("QUIT"), "220 GoodBye")
                c.close()
            self.assertEqual(server.wait_log_count(DISCONNECTED, 3), 3)
            self.assertEqual(server.log_count(CONNECTED), 3)  # the connections ended unseen are not counted
            self.assertTrue(wait_until(lambda: server.fd_count() == baseline, 5), os.listdir(f"/proc/{pid}/fd"))


if __name__ == "__main__":
    unittest.main()
