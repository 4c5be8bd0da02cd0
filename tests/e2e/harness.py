"""Runs the real `tarnsvc -f` in a temporary program directory and talks to it over loopback.

Every wait here is bounded in time; the only process ever signalled is the one started by ServerProcess.
"""
import glob
import os
import re
import resource
import signal
import socket
import struct
import subprocess
import tempfile
import time

HOST = "127.0.0.1"
GREETING = "220 Welcome to Tarnwick FTP Server"
EVENT_PREFIX = re.compile(rb"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\]  ")
CONNECTION_TAG = re.compile(r"^\[#(\d+) ([0-9a-f.:]+)\] ")
START_WAIT = 10.0
STOP_WAIT = 10.0
PORT_ATTEMPTS = 5


def tarnsvc_path():
    path = os.environ.get("TARNSVC")
    if not path:
        raise RuntimeError("TARNSVC must name the tarnsvc binary")
    return path


def free_port(*taken):
    """A port that was free a moment ago on every address: the server listens on all of them, so a client
    socket of 127.0.0.2 (even in TIME_WAIT) on a port free on 127.0.0.1 would still keep it off. Never one
    of `taken`: a port just handed out is free again until its server binds it."""
    while True:
        with socket.socket() as s:
            s.bind(("", 0))
            port = s.getsockname()[1]
        if port not in taken:
            return port


def wait_until(condition, timeout, interval=0.02):
    """Polls condition() until it is true or timeout seconds have passed; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def tcp_sockets():
    """(local port, remote port, state, send queue, receive queue, inode) of every TCP socket of the machine."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                unsent, unread = (int(n, 16) for n in fields[4].split(":"))
                yield (int(fields[1].rsplit(":", 1)[1], 16), int(fields[2].rsplit(":", 1)[1], 16), fields[3],
                       unsent, unread, int(fields[9]))


def ini_text(settings):
    """option.ini text with the given keys in section [Server]; a str is taken as the whole file."""
    if isinstance(settings, str):
        return settings
    return "[Server]\r\n" + "".join(f"{k}={v}\r\n" for k, v in settings.items())


class ServerProcess:
    """One tarnsvc -f in its own program directory.

    settings: dict of [Server] keys (a "port" key is added unless present) or the whole option.ini text
    (then port must be given and the text must set it). accept/reject: contents of the IP list files.
    A dict without "ftpsservice" switches the TLS listener off; with it on, "sslport" defaults to a free
    port (self.ssl_port). nofile: the (soft, hard) descriptor limit the process starts with. binary: the
    tarnsvc to run instead of the one TARNSVC names.
    """

    def __init__(self, settings=None, accept=None, reject=None, port=None, nofile=None, binary=None, env=None):
        self.binary = binary
        self.env = env or {}  # added to the environment of the server process
        self._tmp = tempfile.TemporaryDirectory(prefix="tarnwick-e2e-")
        self.home = self._tmp.name
        self.port = port or free_port()
        if settings is None:
            settings = {}
        self.ssl_port = None
        # Ports this harness picked, in the settings keys that carry them: another process may take one
        # before the server binds it, and start() then tries again with new ones.
        self._picked = {}
        if isinstance(settings, dict):
            settings = {"port": self.port, "ftpsservice": 0, **settings}
            if port is None and settings["port"] == self.port:
                self._picked["port"] = "port"
            if str(settings["ftpsservice"]) != "0":
                if "sslport" not in settings:
                    settings["sslport"] = free_port(self.port)
                    self._picked["ssl_port"] = "sslport"
                self.ssl_port = int(settings["sslport"])
        self._settings = settings
        self.write_file("option.ini", ini_text(settings))
        if accept is not None:
            self.write_file("acceptip.txt", accept)
        if reject is not None:
            self.write_file("rejectip.txt", reject)
        self.nofile = nofile
        self.proc = None
        self.returncode = None
        self._stdout_path = os.path.join(self.home, "stdout.txt")

    def write_file(self, name, data):
        """Puts a file (text or bytes) into the program directory, e.g. before start()."""
        path = os.path.join(self.home, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data.encode() if isinstance(data, str) else data)

    # ---- lifecycle ----

    def launch(self):
        """Starts the process without waiting for it to listen."""
        env = dict(os.environ, TARNWICK_HOME=self.home, **self.env)
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, self.nofile)) if self.nofile else None
        with open(self._stdout_path, "wb") as out:
            self.proc = subprocess.Popen([self.binary or tarnsvc_path(), "-f"], env=env, stdout=out,
                                         stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, preexec_fn=limit)
        return self

    def start(self):
        """Starts the process and waits until it reports its listener (probing by connecting would count
        a connection). When a port the harness picked was taken in the meantime, starts again on new ports,
        at most PORT_ATTEMPTS times."""
        for attempt in range(PORT_ATTEMPTS):
            self.launch()
            running = f"Server is running on port {self.port}."
            lost = [f"cannot run on port {getattr(self, attr)}." for attr in self._picked]
            # With a TLS port of its own picking, the harness also waits to see how the TLS listener fared.
            tls_settled = [f"SSL Server is running on port {self.ssl_port}.", "TLS is not available"] \
                if "ssl_port" in self._picked else []

            def settled():
                output = self.stdout()
                return self.proc.poll() is not None or any(line in output for line in lost) or (
                    running in output and (not tls_settled or any(line in output for line in tls_settled)))

            ready = wait_until(settled, START_WAIT)
            output = self.stdout()
            if any(line in output for line in lost) and attempt + 1 < PORT_ATTEMPTS:
                self.stop()
                self._pick_new_ports()
                continue
            if self.proc.poll() is not None or not ready or running not in output:
                self.stop()
                raise RuntimeError(f"tarnsvc did not start on port {self.port}: {output!r}")
            return self

    def _pick_new_ports(self):
        for attr, key in self._picked.items():
            setattr(self, attr, free_port(self.port, self.ssl_port or 0))
            self._settings[key] = getattr(self, attr)
        self.write_file("option.ini", ini_text(self._settings))

    def wait_exit(self, timeout=STOP_WAIT):
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(STOP_WAIT)
            raise AssertionError(f"tarnsvc (pid {self.proc.pid}) did not exit within {timeout} s")
        return self.returncode

    def stop(self):
        """SIGTERM to our own pid; returns the exit code. Safe to call twice."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        return self.wait_exit()

    def close(self):
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.stop()
        finally:
            self._tmp.cleanup()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # ---- what the process shows ----

    def stdout(self):
        with open(self._stdout_path, "r", errors="replace") as f:
            return f.read()

    def log_path(self, when=None):
        return os.path.join(self.home, "log", time.strftime("%Y%m%d", time.localtime(when)) + ".txt")

    def log_bytes(self):
        """All daily log files in date order (a run across midnight spans two)."""
        data = b""
        for path in sorted(glob.glob(os.path.join(self.home, "log", "*.txt"))):
            with open(path, "rb") as f:
                data += f.read()
        return data

    def log_lines(self):
        """The event lines without the time prefix (a connection's with its tag)."""
        lines = self.log_bytes().split(b"\r\n")
        return [EVENT_PREFIX.sub(b"", l).decode(errors="replace") for l in lines if l]

    def log_messages(self):
        """The messages of the event lines, without the time prefix and a connection's tag."""
        return [CONNECTION_TAG.sub("", l) for l in self.log_lines()]

    def log_count(self, message):
        return sum(1 for m in self.log_messages() if m == message)

    def wait_log_count(self, message, count, timeout=5.0):
        """Waits until `message` has been logged at least `count` times; returns the count seen."""
        wait_until(lambda: self.log_count(message) >= count, timeout)
        return self.log_count(message)

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def thread_states(self):
        """The state letter of every thread ("T" once a SIGSTOP has taken effect on it)."""
        states = []
        for tid in os.listdir(f"/proc/{self.proc.pid}/task"):
            try:
                with open(f"/proc/{self.proc.pid}/task/{tid}/stat") as f:
                    states.append(f.read().rsplit(")", 1)[1].split()[0])
            except FileNotFoundError:
                pass  # the thread ended meanwhile
        return states

    def pause(self):
        """SIGSTOP to our own pid; returns once every thread has stopped, not merely been signalled (the
        group stop reaches each thread on its own, the main thread may be first)."""
        self.proc.send_signal(signal.SIGSTOP)
        if not wait_until(lambda: all(s == "T" for s in self.thread_states()), STOP_WAIT, interval=0.001):
            raise AssertionError(f"tarnsvc (pid {self.proc.pid}) did not stop: {self.thread_states()}")

    def listening(self, port=None):
        """Whether a socket of this server listens on the port (our own port by default), seen without
        connecting, which the server would count; another process on the port does not count."""
        try:
            fds = os.listdir(f"/proc/{self.proc.pid}/fd")
        except OSError:
            return False  # the process has ended
        inodes = set()
        for fd in fds:
            try:
                target = os.readlink(f"/proc/{self.proc.pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith("socket:["):
                inodes.add(int(target[8:-1]))
        return any(e[0] == (port or self.port) and e[2] == "0A" and e[5] in inodes for e in tcp_sockets())

    def queues(self, client):
        """(unsent, unread) bytes of the server's socket of this client, or None once it is gone."""
        mine = client.sock.getsockname()[1]
        for local, remote, _, unsent, unread, _ in tcp_sockets():
            if local == self.port and remote == mine:
                return unsent, unread
        return None

    def thread_count(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/task"))

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def client(self, timeout=5.0, source=None, host=HOST):
        return Client(self.port, timeout, source, host)


class Client:
    """A raw control connection: send bytes, read CR LF reply lines, see the server close. `source` is
    the loopback address to connect from (any of 127.0.0.0/8), 127.0.0.1 by default; `host` the one to
    connect to ("::1" for IPv6)."""

    def __init__(self, port, timeout=5.0, source=None, host=HOST):
        self.timeout = timeout
        self.sock = socket.create_connection((host, port), timeout=timeout,
                                             source_address=(source, 0) if source else None)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        self.closed_by_peer = False

    def send(self, data):
        self.sock.sendall(data.encode() if isinstance(data, str) else data)

    def _fill(self, timeout):
        self.sock.settimeout(timeout)
        try:
            chunk = self.sock.recv(4096)
        except socket.timeout:
            return False
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.closed_by_peer = True
            return False
        self.buffer += chunk
        return True

    def read_line(self, timeout=None):
        """The next reply line without CR LF; raises AssertionError on time-out or close."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while b"\r\n" not in self.buffer:
            left = deadline - time.monotonic()
            if self.closed_by_peer or left <= 0 or not self._fill(left):
                raise AssertionError(f"no reply line (closed={self.closed_by_peer}, got {self.buffer!r})")
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode(errors="replace")

    def command(self, line):
        self.send(line + "\r\n")
        return self.read_line()

    def silent_for(self, seconds):
        """True when nothing arrives and the connection stays open for `seconds`."""
        deadline = time.monotonic() + seconds
        while not self.buffer and not self.closed_by_peer:
            left = deadline - time.monotonic()
            if left <= 0:
                return True
            self._fill(left)
        return False

    def wait_closed(self, timeout=None):
        """True when the server closes the connection within the time-out; data before the close is kept."""
        deadline = time.monotonic() + (timeout or self.timeout)
        while not self.closed_by_peer:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self._fill(left)
        return True

    def reset(self):
        """Closes with RST instead of FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.close()

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
