"""tarnsvc as the systemd service host: the switches against a recording fake systemctl and a temporary
unit directory, and the service run under a fake NOTIFY_SOCKET (a datagram socket of the test)."""
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from harness import GREETING, HOST, Client, free_port, tarnsvc_path, wait_until

UNIT = "tarnwick-ftp.service"
HINT = "tarnsvc: not started by systemd; use -i to install the service or -f to run in the foreground\n"
LOG_LINE = re.compile(r"^\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}\.\d{3} (.*)$")

# Records each call's arguments; "is-active" answers the next line of the states file (the last one
# repeats) with systemctl's exit codes; "fail" names a command that exits with 1.
FAKE_SYSTEMCTL = r"""#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
if [ "$1" = is-active ]; then
  n=$(cat "$dir/polls" 2>/dev/null || echo 0); n=$((n + 1)); echo $n > "$dir/polls"
  state=$(sed -n "${n}p" "$dir/states"); [ -n "$state" ] || state=$(tail -n 1 "$dir/states")
  echo "$state"; [ "$state" = active ]; exit $?
fi
[ -f "$dir/fail" ] && [ "$(cat "$dir/fail")" = "$1" ] && exit 1
exit 0
"""


def lines_of(path):
    """The lines of a file the fakes write, none before it exists."""
    try:
        with open(path) as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Installation:
    """A temporary program directory, unit directory, home and fake systemctl."""

    def __init__(self, program_dir_name="home"):
        self._tmp = tempfile.TemporaryDirectory(prefix="tarnwick-svc-")
        self.root = self._tmp.name
        self.home = os.path.join(self.root, program_dir_name)
        self.units = os.path.join(self.root, "units")
        self.user_home = os.path.join(self.root, "user")
        for d in (self.home, self.units, self.user_home):
            os.makedirs(d)
        self.systemctl = os.path.join(self.root, "systemctl")
        with open(self.systemctl, "w") as f:
            f.write(FAKE_SYSTEMCTL)
        os.chmod(self.systemctl, 0o755)
        self.states(["inactive"])

    def path(self, *names):
        return os.path.join(self.root, *names)

    def states(self, states):
        with open(self.path("states"), "w") as f:
            f.write("\n".join(states) + "\n")

    def fail(self, command):
        with open(self.path("fail"), "w") as f:
            f.write(command)

    def calls(self):
        return lines_of(self.path("calls"))

    def env(self, **extra):
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID", "SUDO_USER",
                                                                 "PKEXEC_UID")}
        env.update(TARNWICK_HOME=self.home, TARNWICK_UNIT_DIR=self.units, TARNWICK_SYSTEMCTL=self.systemctl,
                   HOME=self.user_home, TARNWICK_SYSLOG_FILE=self.path("syslog"))
        env.update(extra)
        return env

    def run(self, *args, program=None, **extra):
        return subprocess.run([program or tarnsvc_path(), *args], env=self.env(**extra), capture_output=True,
                              text=True, timeout=120, stdin=subprocess.DEVNULL)

    def read(self, *names):
        with open(os.path.join(self.home, *names), newline="") as f:
            return f.read()

    def write(self, name, text):
        with open(os.path.join(self.home, name), "w", newline="") as f:
            f.write(text)

    def unit_path(self):
        return os.path.join(self.units, UNIT)

    def syslog(self):
        return lines_of(self.path("syslog"))

    def close(self):
        self._tmp.cleanup()


def verify_unit(test, unit_path):
    analyze = shutil.which("systemd-analyze")
    if not analyze:
        test.skipTest("systemd-analyze is not installed")
    result = subprocess.run([analyze, "verify", unit_path], capture_output=True, text=True, timeout=60)
    test.assertEqual(result.returncode, 0, result.stderr)
    test.assertEqual(result.stderr.strip(), "")


class SwitchTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.close)

    def install(self, switch="-i"):
        autostart = os.path.join(self.inst.user_home, ".config", "autostart")
        os.makedirs(autostart, exist_ok=True)
        with open(os.path.join(autostart, "plover.desktop"), "w") as f:
            f.write("[Desktop Entry]\n")
        self.inst.write("option.ini", "[Server]\r\nAutoActive=1\r\nstartup=1\r\nport=2100\r\n")
        return self.inst.run(switch)

    def test_install_writes_the_unit_and_hands_the_engine_over(self):
        result = self.install()
        self.assertEqual((result.returncode, result.stdout, result.stderr), (1, "Service succesfully installed\n", ""))
        self.assertEqual(self.inst.calls(), ["daemon-reload", f"enable {UNIT}"])
        with open(self.inst.unit_path()) as f:
            unit = f.read().splitlines()
        for line in ("Description=Tarnwick FTP Service", "Type=notify", f'ExecStart="{tarnsvc_path()}"',
                     f'Environment="TARNWICK_HOME={self.inst.home}/"', "Restart=on-failure",
                     "WantedBy=multi-user.target", "LimitNOFILE=65536", "NoNewPrivileges=yes", "PrivateTmp=yes",
                     "ProtectKernelTunables=yes", "ProtectKernelModules=yes", "ProtectControlGroups=yes",
                     "RestrictSUIDSGID=yes"):
            self.assertIn(line, unit)
        self.assertEqual(self.inst.read("option.ini"), "[Server]\r\nAutoActive=0\r\nstartup=0\r\nport=2100\r\n")
        self.assertFalse(os.path.exists(os.path.join(self.inst.user_home, ".config/autostart/plover.desktop")))
        verify_unit(self, self.inst.unit_path())

    def test_install_removes_the_entry_where_the_desktop_program_writes_it(self):
        config = self.inst.path("xdg-config")
        os.makedirs(os.path.join(config, "autostart"))
        entry = os.path.join(config, "autostart", "plover.desktop")
        with open(entry, "w") as f:
            f.write("[Desktop Entry]\n")
        self.assertEqual(self.inst.run("-i", XDG_CONFIG_HOME=config).returncode, 1)
        self.assertFalse(os.path.exists(entry))

        # Installed already: success, and nothing is written or called.
        before = os.stat(self.inst.unit_path()).st_mtime_ns
        again = self.install()
        self.assertEqual((again.returncode, again.stdout, again.stderr), (1, "", ""))
        self.assertEqual(self.inst.calls(), ["daemon-reload", f"enable {UNIT}"])
        self.assertEqual(self.inst.read("option.ini"), "[Server]\r\nAutoActive=1\r\nstartup=1\r\nport=2100\r\n")
        self.assertEqual(os.stat(self.inst.unit_path()).st_mtime_ns, before)

    def test_slash_form_and_capital_letter(self):
        result = self.install("/i")
        self.assertEqual((result.returncode, result.stdout), (1, "Service succesfully installed\n"))
        self.assertTrue(os.path.exists(self.inst.unit_path()))
        # "-I" is no switch: the service path, which outside systemd ends at once.
        capital = self.inst.run("-I")
        self.assertEqual((capital.returncode, capital.stdout, capital.stderr), (0, "", HINT))
        self.assertEqual(self.inst.syslog(), ["Tarnwick FTP Service: The service process could not connect to the "
                                              "service manager."])
        self.assertEqual(self.inst.calls(), ["daemon-reload", f"enable {UNIT}"])

    def test_install_failures_leave_nothing_behind(self):
        with self.subTest("unit directory missing"):
            self.inst.units = self.inst.path("no-such-dir")
            result = self.install()
            self.assertEqual((result.returncode, result.stderr), (0, "Couldn't open service manager\n"))
            self.assertEqual(self.inst.calls(), [])
            self.assertIn("AutoActive=1", self.inst.read("option.ini"))
        with self.subTest("enable fails"):
            self.inst.units = self.inst.path("units")
            self.inst.fail("enable")
            result = self.install()
            self.assertEqual((result.returncode, result.stdout, result.stderr), (0, "", "Couldn't create service\n"))
            self.assertEqual(self.inst.calls(), ["daemon-reload", f"enable {UNIT}", "daemon-reload"])
            self.assertFalse(os.path.exists(self.inst.unit_path()))
            self.assertIn("AutoActive=1", self.inst.read("option.ini"))

    def test_uninstall(self):
        not_installed = self.inst.run("-u")
        self.assertEqual((not_installed.returncode, not_installed.stdout, not_installed.stderr), (1, "", ""))
        self.assertEqual(self.inst.calls(), [])
        self.install()
        result = self.inst.run("-u")
        self.assertEqual((result.returncode, result.stdout), (1, "Service succesfully uninstalled\n"))
        self.assertEqual(self.inst.calls()[2:], [f"stop {UNIT}", f"disable {UNIT}", "daemon-reload"])
        self.assertFalse(os.path.exists(self.inst.unit_path()))

    def test_start_waits_while_activating(self):
        self.install()
        self.inst.states(["activating", "activating", "active"])
        result = self.inst.run("-s")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(self.inst.calls()[2:], [f"start --no-block {UNIT}"] + [f"is-active {UNIT}"] * 3)
        # A unit that fails while starting.
        self.inst.states(["activating", "failed"])
        os.remove(self.inst.path("polls"))
        self.assertEqual(self.inst.run("-s").returncode, 0)

    def test_stop(self):
        self.install()
        self.inst.states(["inactive"])
        result = self.inst.run("-e")
        self.assertEqual(result.returncode, 0)  # not running: the stop control fails
        self.assertNotIn(f"stop --no-block {UNIT}", self.inst.calls())
        os.remove(self.inst.path("polls"))
        self.inst.states(["active", "deactivating", "inactive"])
        self.assertEqual(self.inst.run("-e").returncode, 1)
        self.assertEqual(self.inst.calls()[-4:], [f"is-active {UNIT}", f"stop --no-block {UNIT}",
                                                  f"is-active {UNIT}", f"is-active {UNIT}"])


class NotifySocket:
    """The service manager's end of NOTIFY_SOCKET."""

    def __init__(self, directory, name="notify"):
        self.path = os.path.join(directory, name)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.messages = []

    def wait_for(self, assignment, timeout=20.0):
        """Receives reports until one holds `assignment`; returns all received so far."""
        deadline = time.monotonic() + timeout
        while not any(assignment in m.split("\n") for m in self.messages):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {assignment} in {self.messages}")
            self.sock.settimeout(left)
            try:
                self.messages.append(self.sock.recv(4096).decode())
            except socket.timeout:
                pass
        return self.messages

    def close(self):
        self.sock.close()


class ServiceRunTest(unittest.TestCase):
    def setUp(self):
        self.inst = Installation()
        self.addCleanup(self.inst.close)
        self.port = free_port()
        self.inst.write("option.ini", f"[Server]\r\nport={self.port}\r\nftpsservice=0\r\n")
        self.notify = NotifySocket(self.inst.root)
        self.addCleanup(self.notify.close)
        self.procs = []
        self.addCleanup(self.end_processes)

    def end_processes(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
                p.wait(10)

    def start(self, program=None, notify=None):
        env = self.inst.env(NOTIFY_SOCKET=(notify or self.notify).path)
        p = subprocess.Popen([program or tarnsvc_path()], env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        return p

    def service_log(self):
        """The texts of ploverService.log, each line checked against the line format."""
        texts = []
        for line in self.inst.read("ploverService.log").split("\n")[:-1]:
            match = LOG_LINE.match(line)
            self.assertIsNotNone(match, line)
            texts.append(match.group(1))
        return texts

    def test_states_log_and_stop_while_a_client_is_connected(self):
        p = self.start()
        self.notify.wait_for("READY=1")
        with Client(self.port) as c:
            self.assertEqual(c.read_line(), GREETING)
            p.send_signal(signal.SIGTERM)
            self.assertTrue(c.wait_closed(10))
        self.assertEqual(p.wait(20), 0)
        reports = self.notify.wait_for("STATUS=Stopped")
        self.assertEqual(reports, ["STATUS=Starting", "STATUS=Starting", "READY=1\nSTATUS=Running",
                                   "STOPPING=1\nEXTEND_TIMEOUT_USEC=5000000\nSTATUS=Stopping", "STATUS=Stopped"])
        texts = self.service_log()
        events = [re.sub(r"^\[[^]]*\]  ", "", t) for t in texts]
        self.assertEqual(events[0], f"Server is running on port {self.port}.")
        self.assertIn("[#1 127.0.0.1] 127.0.0.1 has connected to server.", events)
        self.assertEqual(events[-3:], ["Server is stopped.", "Tarnwick FTP Service stopping...",
                                       "Tarnwick FTP Service stopped."])
        self.assertEqual(self.inst.syslog(), ["Tarnwick FTP Service: Service started",
                                              "Tarnwick FTP Service: Service stopped"])

    def test_second_instance_returns_at_once(self):
        first = self.start()
        self.notify.wait_for("READY=1")
        other = NotifySocket(self.inst.root, "notify2")
        self.addCleanup(other.close)
        second = self.start(notify=other)
        self.assertEqual(second.wait(20), 0)
        other.wait_for("STATUS=Stopped")
        self.assertNotIn("READY=1\nSTATUS=Running", other.messages)
        with Client(self.port) as c:
            self.assertEqual(c.read_line(), GREETING)
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(20), 0)

    def test_ends_by_itself_when_its_port_is_taken(self):
        with socket.socket() as taken:
            taken.bind((HOST, self.port))
            taken.listen(1)
            p = self.start()
            self.assertEqual(p.wait(20), 1)
        self.notify.wait_for("STATUS=Stopped")
        self.assertEqual(self.notify.messages[2:4], ["READY=1\nSTATUS=Running",
                                                     "STOPPING=1\nEXTEND_TIMEOUT_USEC=5000000\nSTATUS=Stopping"])
        self.assertIn(f"Server cannot run on port {self.port}.", "\n".join(self.service_log()))

    def run_once(self):
        """One start and stop of the service."""
        self.notify.messages.clear()
        p = self.start()
        self.notify.wait_for("READY=1")
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(20), 0)

    def test_log_level_switches_the_service_log(self):
        log = os.path.join(self.inst.home, "ploverService.log")
        ini = os.path.join(self.inst.home, "tarnsvc.ini")
        # (tarnsvc.ini, whether the service log is written); a directory in the file's place gives the default
        cases = [("[Settings]\nLogLevel=0\n", False), ("[settings]\nloglevel=many\n", True),
                 ("[Other]\nLogLevel=0\n", True), (None, True)]
        for text, written in cases:
            with self.subTest(tarnsvc_ini=text):
                if os.path.exists(log):
                    os.remove(log)
                if text is None:
                    os.remove(ini)
                    os.mkdir(ini)
                else:
                    self.inst.write("tarnsvc.ini", text)
                self.run_once()
                self.assertEqual(os.path.exists(log), written)
                if written:
                    self.assertIn("Tarnwick FTP Service stopped.", self.service_log())

    def test_program_directory_holding_dash_s_serves(self):
        # A blank, "-s", and the characters systemd expands in unit files.
        inst = Installation("ftp -server 100%$x")
        self.addCleanup(inst.close)
        program = os.path.join(inst.home, "tarnsvc")
        shutil.copy2(tarnsvc_path(), program)
        inst.write("option.ini", f"[Server]\r\nport={self.port}\r\nftpsservice=0\r\n")
        env = inst.env(NOTIFY_SOCKET=self.notify.path)
        p = subprocess.Popen([program], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.procs.append(p)
        self.notify.wait_for("READY=1")
        with Client(self.port) as c:
            self.assertEqual(c.read_line(), GREETING)
        p.send_signal(signal.SIGTERM)
        self.assertEqual(p.wait(20), 0)
        self.assertEqual(inst.calls(), [])
        # Installed from there, the unit names the program and its directory correctly quoted.
        result = inst.run("-i", program=program)
        self.assertEqual(result.returncode, 1)
        with open(inst.unit_path()) as f:
            self.assertIn(f'ExecStart="{program.replace("%", "%%")}"', f.read().splitlines())
        verify_unit(self, inst.unit_path())


if __name__ == "__main__":
    unittest.main()
