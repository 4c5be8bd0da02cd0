"""A loopback HTTP server for the address updater: records each request and answers with raw bytes."""
import socket
import threading

from harness import HOST, wait_until


class HttpServer:
    """Answers every request with `answer` (bytes, or None to stay silent until closed), then closes."""

    def __init__(self, answer=b""):
        self.answer = answer
        self.requests = []  # (request line, {header: value}) in arrival order
        self.served = 0
        self._lock = threading.Lock()
        self._closing = threading.Event()
        self._sock = socket.socket()
        self._sock.bind((HOST, 0))
        self._sock.listen(16)
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def url(self, path):
        return f"http://{HOST}:{self.port}{path}"

    def _serve(self):
        while not self._closing.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn):
        with conn:
            conn.settimeout(10)
            data = b""
            try:
                while b"\r\n\r\n" not in data:
                    chunk = conn.recv(4096)
                    if not chunk:
                        return
                    data += chunk
            except OSError:
                return
            lines = data.split(b"\r\n\r\n", 1)[0].decode(errors="replace").split("\r\n")
            headers = {}
            for line in lines[1:]:
                key, _, value = line.partition(":")
                headers[key.strip().lower()] = value.strip()
            with self._lock:
                self.requests.append((lines[0], headers))
            if self.answer is None:
                self._closing.wait(60)
                return
            try:
                conn.sendall(self.answer)
            except OSError:
                pass
        with self._lock:
            self.served += 1

    def request_lines(self):
        with self._lock:
            return [r[0] for r in self.requests]

    def wait_requests(self, count, timeout=10.0):
        wait_until(lambda: len(self.request_lines()) >= count, timeout)
        return self.request_lines()

    def wait_served(self, count, timeout=10.0):
        return wait_until(lambda: self.served >= count, timeout)

    def close(self):
        self._closing.set()
        self._sock.close()
        self._thread.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def response(body, length=True, status="200 OK", extra=""):
    head = f"HTTP/1.0 {status}\r\nContent-Type: text/plain\r\n{extra}"
    if length:
        head += f"Content-Length: {len(body)}\r\n"
    return head.encode() + b"\r\n" + body
