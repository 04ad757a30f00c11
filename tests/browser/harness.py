"""Shared by the browser suite and the browser benchmark: the monitor simulator on
a pseudo-terminal, telvanord and a private MQTT broker on 127.0.0.1, and a headless
Chromium. Everything started here is stopped at exit and its temporary folders removed."""
import atexit
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.webdriver.support.ui import WebDriverWait

_stops = []
atexit.register(lambda: [stop() for stop in reversed(_stops)])


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def paths(argv=None):
    """Takes --telvanord PATH and --sim PATH out of argv; returns (telvanord, sim, rest)."""
    rest, found = [], {}
    args = list(sys.argv if argv is None else argv)
    while args:
        a = args.pop(0)
        if a in ("--telvanord", "--sim") and args:
            found[a] = args.pop(0)
        else:
            rest.append(a)
    return found.get("--telvanord", "build/service/telvanord"), found.get("--sim", "build/sim/telvanor-monitor-sim"), rest


class _Process:
    """A child process whose output lines are kept with the time.monotonic() they arrived."""

    def __init__(self):
        self.lines, self.proc = [], None
        self._cond = threading.Condition()
        self._temp = tempfile.mkdtemp(prefix="telvanor-browser-")
        _stops.append(self.stop)

    def _spawn(self, args, stdin=False):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        threading.Thread(target=self._read, args=(self.proc,), daemon=True).start()

    def _read(self, proc):
        with proc.stdout:
            for line in proc.stdout:
                with self._cond:
                    self.lines.append((time.monotonic(), line.rstrip("\n")))
                    self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def mark(self):
        """The index of the next line, for wait_line(since=...)."""
        with self._cond:
            return len(self.lines)

    def wait_line(self, regex, timeout=10, since=0):
        rx, i, deadline = re.compile(regex), since, time.monotonic() + timeout
        with self._cond:
            while True:
                for _, text in self.lines[i:]:
                    i += 1
                    m = rx.search(text)
                    if m:
                        return m
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    tail = "\n".join(t for _, t in self.lines[-20:])
                    raise TimeoutError(f"no line matching {regex!r} from {self.proc.args[0]}; last lines:\n{tail}")
                self._cond.wait(min(left, 0.5))

    def lines_matching(self, regex):
        rx = re.compile(regex)
        with self._cond:
            return [(t, m) for t, m in ((t, rx.search(text)) for t, text in self.lines) if m]

    def _end(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc and self.proc.stdin:
            self.proc.stdin.close()

    def stop(self):
        self._end()
        shutil.rmtree(self._temp, ignore_errors=True)


class Sim(_Process):
    """telvanor-monitor-sim on a new pseudo-terminal; monitors as its descriptions ("type=2,id=5,name=CAM 1")."""

    def __init__(self, binary, *monitors, extra=()):
        super().__init__()
        pty_file = os.path.join(self._temp, "pty")
        args = [binary, "--serial", "--pty-file", pty_file, "--quiet-reads", *extra]
        for m in monitors:
            args += ["--monitor", m]
        self._spawn(args, stdin=True)
        self.wait_line(r"^ready")
        with open(pty_file) as f:
            self.pty = f.read().strip()

    def command(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()


class Service(_Process):
    """telvanord with monitors {name: target} on 127.0.0.1, an optional token and extra config keys."""

    def __init__(self, binary, monitors, token=None, port=None, **config):
        super().__init__()
        self.binary, self.token, self.port = binary, token, port or free_port()
        self.config = os.path.join(self._temp, "telvanord.json")
        http = {"listen": "127.0.0.1", "port": self.port}
        if token:
            with open(os.path.join(self._temp, "token"), "w") as f:
                f.write(token + "\n")
            http["tokenFile"] = "token"
        os.mkdir(os.path.join(self._temp, "presets"))
        with open(self.config, "w") as f:
            json.dump({"monitors": monitors, "readEveryMs": 1000, "presets": "presets", "http": http, **config}, f)
        self.url = f"http://127.0.0.1:{self.port}/"
        self.start()

    def start(self):
        since = self.mark()
        self._spawn([self.binary, self.config])
        self.wait_line(r"telvanord: listening on ", since=since)

    def stop(self, remove=True):
        """Ends the service; stop(remove=False) keeps its folder for start() on the same port."""
        self._end()
        if remove:
            shutil.rmtree(self._temp, ignore_errors=True)

    def api(self, method, path, body=None):
        """Returns (status, decoded JSON) of a request to /api/v1 + path."""
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.url + "api/v1" + path, data=data, method=method)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        if self.token:
            req.add_header("Authorization", "Bearer " + self.token)
        try:
            with urllib.request.urlopen(req, timeout=30) as r:
                status, text = r.status, r.read()
        except urllib.error.HTTPError as e:
            status, text = e.code, e.read()
        return status, json.loads(text) if text else None


class Broker(_Process):
    """A private mosquitto on a loopback port, with its own configuration file (settings:
    its lines beyond the listener); start() after a stop takes the same port again."""

    def __init__(self, settings="max_queued_messages 0\nset_tcp_nodelay true\n"):
        super().__init__()
        self.port, self.config = free_port(), os.path.join(self._temp, "mosquitto.conf")
        with open(self.config, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n{settings}")
        self.url = f"mqtt://127.0.0.1:{self.port}"
        self.start()

    def start(self):
        """Starts it and waits until it runs; the time.monotonic() it said so."""
        since = self.mark()
        self._spawn(["/usr/sbin/mosquitto", "-c", self.config])
        self.wait_line(r" running$", since=since)
        return self.lines[-1][0]


def browser(width=1280, height=800):
    """Headless Chromium that resolves no host name but the loopback address, so nothing leaves the machine."""
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={width},{height}",
              "--no-first-run", "--disable-background-networking", "--disable-component-update",
              "--disable-sync", "--disable-default-apps", "--no-pings", "--disable-domain-reliability",
              "--disable-crash-reporter", "--disable-breakpad",
              "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"):
        o.add_argument(a)
    driver = webdriver.Chrome(service=DriverService("/usr/bin/chromedriver"), options=o)
    _stops.append(driver.quit)
    return driver


def wait(driver, condition, timeout=10):
    """Waits until condition(driver) (or a JavaScript expression) is truthy; returns its value."""
    if isinstance(condition, str):
        script = "return (" + condition + ");"
        return WebDriverWait(driver, timeout).until(lambda d: d.execute_script(script))
    return WebDriverWait(driver, timeout).until(condition)

