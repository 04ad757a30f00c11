#!/usr/bin/python3
"""Sites joined through a broker, at scale; prints Markdown rows.

A private mosquitto on 127.0.0.1, 20 sites (each its own telvanord with 100 simulated
type 2 monitors on a pseudo-terminal line of its own simulator process, each screen
read every 5 s at 38400 baud) and a centre showing all 2,000, its page in a headless
Chromium. Everything runs on this machine and is stopped at the end.

  gather:   the centre started once the sites have published: the retained messages it
            takes, its list against each site's own (GET of every monitor with its screens)
  wall:     the centre's page: 2,000 tiles in the DOM with their names
  tally:    a tally set at a monitor (the simulator's command): from the site's own "field"
            event to the centre's "state" event and to the centre's tile painted (a
            MutationObserver on data-tally, then the next animation frame), all on the wall
            clock (performance.timeOrigin + performance.now() in the page)
  commands: tally and brightness requests to a site's own API and the same through the
            centre, from the request to the frame's line in the simulator's log (its stamp)
  outage:   the broker stopped for 30 s and started again on its port: reconnections,
            commands through the centre meanwhile (503, never carried out), changes made at
            monitors meanwhile reaching the centre, the centre's list against the sites'
  load:     the centre's CPU (/proc) at 100 changes a second made at the monitors across
            the sites, the page open, and its memory

python3 bench/sites.py --telvanord build/service/telvanord --sim build/sim/telvanor-monitor-sim
  [--sites 20] [--monitors 100] [--outage 30] [--load-seconds 30] [--queue 0|N|default]
  [--line-rate BAUD] [--gather-only]
"""
import argparse
import base64
import json
import os
import selectors
import signal
import socket
import statistics
import sys
import threading
import time
import urllib.request
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
import harness  # noqa: E402
from page import pct  # noqa: E402

WALL = time.time() - time.monotonic()  # harness lines carry time.monotonic(); this benchmark the wall clock


def wall(mono):
    return mono + WALL


def p95(values):
    return pct(values, 95) if values else float("nan")


def spread(values):
    return f"p50 {pct(values, 50):.1f} ms, p95 {pct(values, 95):.1f} ms, max {max(values):.1f} ms" if values else "none"


def usage(pid):
    """CPU seconds, resident and peak memory (MB) of a process, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    mem = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                mem[line[:5]] = int(line.split()[1]) / 1024
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), mem["VmRSS"], mem["VmHWM"]


def metric(service, name):
    with urllib.request.urlopen(service.url + "metrics", timeout=10) as r:
        for line in r.read().decode().splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
    return 0.0


def settle(services, since, most=120, counter="received"):
    """Waits until services take (or send) no more MQTT messages for 2 s; returns how many in all
    and when the last came, in seconds after since (time.monotonic())."""
    count, last = -1, time.monotonic()
    while time.monotonic() < last + 2 and time.monotonic() < since + most:
        n = sum(metric(s, f"telvanor_mqtt_messages_{counter}_total") for s in services)
        if n != count:
            count, last = n, time.monotonic()
        time.sleep(0.1)
    return int(count), last - since


def sim_time(text):
    """The wall-clock time of a simulator's log line, from its own stamp (local HH:MM:SS.mmm)."""
    h, m, sec = text.split(" ", 1)[0].split(":")
    now = time.time()
    t = time.mktime(time.localtime(now)[:3] + (0, 0, 0, 0, 0, -1)) + int(h) * 3600 + int(m) * 60 + float(sec)
    return t - 86400 if t > now + 3600 else t


class Events:
    """WebSocket clients of services' /api/v1/events (RFC 6455, no extensions), all read by one
    thread, which answers pings; on_message(arrival on the wall clock, text) for each text message."""

    def __init__(self):
        self.sel, self.lock = selectors.DefaultSelector(), threading.Lock()
        threading.Thread(target=self._run, daemon=True).start()

    def open(self, port, on_message):
        s = socket.create_connection(("127.0.0.1", port))
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall(f"GET /api/v1/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(4096)
            if not chunk:
                raise ConnectionError("the events closed during the handshake")
            head += chunk
        head, rest = head.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            raise ConnectionError(head.decode(errors="replace"))
        with self.lock:
            self.sel.register(s, selectors.EVENT_READ, {"buf": bytearray(rest), "parts": [], "on": on_message})
        return s

    def close(self, s):
        with self.lock:
            self.sel.unregister(s)
        s.close()

    def _run(self):
        while True:
            with self.lock:
                ready = self.sel.select(0.05) if self.sel.get_map() else []
            if not ready:
                time.sleep(0.001 if self.sel.get_map() else 0.05)
            for key, _ in ready:
                try:
                    chunk = key.fileobj.recv(1 << 20)
                except OSError:
                    chunk = b""
                if chunk:
                    self._frames(key.fileobj, key.data, chunk, time.time())
                else:
                    self.close(key.fileobj)

    @staticmethod
    def _frames(s, conn, chunk, t):
        buf = conn["buf"]
        buf += chunk
        while len(buf) >= 2:
            n, at = buf[1] & 0x7F, 2
            if n >= 126:
                at += 2 if n == 126 else 8
                if len(buf) < at:
                    return
                n = int.from_bytes(buf[2:at], "big")
            if len(buf) < at + n:
                return
            fin, opcode, payload = buf[0] & 0x80, buf[0] & 0x0F, bytes(buf[at:at + n])
            del buf[:at + n]
            if opcode == 9:  # a ping: the pong, masked as a client's frames are
                mask = os.urandom(4)
                s.sendall(bytes([0x8A, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
            elif opcode in (0, 1):
                conn["parts"].append(payload)
                if fin:
                    conn["on"](t, b"".join(conn["parts"]).decode())
                    conn["parts"] = []


class Log:
    """Values seen in events: (wall time, value) lists by "SITE~NAME/SCREEN/FIELD"."""

    def __init__(self):
        self.seen, self.lock, self.snapshot = {}, threading.Lock(), 0

    def add(self, t, key, value):
        with self.lock:
            self.seen.setdefault(key, []).append((t, value))

    def first(self, key, value, after):
        with self.lock:
            return next((t for t, v in self.seen.get(key, []) if v == value and t >= after), None)

    def site(self, site):
        """The handler of a site's events: its "field" messages, under the centre's name SITE~NAME."""
        def on(t, text):
            if '"type":"field"' in text:
                m = json.loads(text)
                self.add(t, f"{site}~{m['monitor']}/{m['screen']}/{m['field']}", m["after"])
        return on

    def centre(self, t, text):
        """The handler of the centre's events: each value its "state" messages carry."""
        if '"type":"snapshot"' in text:
            self.snapshot = len(text)
        if '"type":"state"' in text:
            for name, changes in json.loads(text)["state"].items():
                for screen, values in changes.items():
                    for field, value in (values.items() if isinstance(values, dict) else ()):
                        self.add(t, f"{name}/{screen}/{field}", value)


# In the centre's page before its own scripts: each tile's data-tally change, timed at the
# next animation frame on the wall clock; when the tiles are all there with their names.
PROBE = """
(() => {
  const probe = window.sitesProbe = {tally: {}, tilesAt: null};
  new MutationObserver((records) => {
    for (const r of records) {
      if (r.type !== 'attributes' || !r.target.dataset.monitor) continue;
      const key = r.target.dataset.monitor + '/' + r.target.dataset.screen, value = r.target.dataset.tally;
      requestAnimationFrame(() => (probe.tally[key] = probe.tally[key] || []).push([value, performance.timeOrigin + performance.now()]));
    }
    if (probe.tilesAt === null && document.querySelectorAll('.tile .tile-name:not(:empty)').length >= %d)
      probe.tilesAt = performance.now();
  }).observe(document, {subtree: true, childList: true, characterData: true, attributes: true, attributeFilter: ['data-tally']});
})();
"""


class Rig:
    """The broker, the simulators and the sites; the centre once start_centre() is called."""

    def __init__(self, a):
        self.a, self.total = a, a.sites * a.monitors
        self.broker = harness.Broker(("" if a.queue == "default" else f"max_queued_messages {int(a.queue)}\n")
                             + "".join(line + "\n" for line in a.broker_line))
        self.names = [f"s{i + 1:02d}" for i in range(a.sites)]
        line = ("--line-rate", str(a.line_rate)) if a.line_rate else ()
        self.sims = {s: harness.Sim(a.sim, f"type=2,id=1,count={a.monitors}", extra=line) for s in self.names}
        self.sites = {s: harness.Service(a.telvanord, {self.mon(i): f"serial:{self.sims[s].pty}#{i}" for i in range(1, a.monitors + 1)},
                                         readEveryMs=5000, baud=38400, mqtt={"broker": self.broker.url, "site": s})
                      for s in self.names}
        self.pairs = [(s, self.mon(i)) for s in self.names for i in range(1, a.monitors + 1)]
        self.centre = None

    @staticmethod
    def mon(i):
        return f"m{i:03d}"  # the monitor at serial ID i

    def start_centre(self):
        self.centre = harness.Service(self.a.telvanord, {}, mqtt={"broker": self.broker.url, "site": "centre", "sites": "*", "publish": False})

    def compare(self):
        """The centre's view of every remote monitor (GET /monitors, then each with its screens)
        against its site's own answers; returns (listed, differences)."""
        _, listed = self.centre.api("GET", "/monitors")
        remote = {m["name"]: m for m in listed["monitors"] if m.get("site")}

        def one(pair):
            site, name = pair
            full = f"{site}~{name}"
            _, mine = self.sites[site].api("GET", f"/monitors/{name}")
            _, seen = self.centre.api("GET", f"/monitors/{full}")
            if full not in remote:
                return f"{full}: not listed"
            for k in ("type", "screenCount", "online", "monitorName"):
                if remote[full].get(k) != mine.get(k) or seen.get(k) != mine.get(k):
                    return f"{full}: {k} {seen.get(k)!r} at the centre, {mine.get(k)!r} at the site"
            for a, b in zip(mine.get("screens", []), seen.get("screens", []) + [{}] * 8):
                for k in ("known", "labels", "input", "settings"):
                    x, y = b.get(k), a.get(k)
                    if x != y:
                        if isinstance(x, dict) and isinstance(y, dict):
                            keys = (sorted(set(x) ^ set(y)) or [f for f in y if x.get(f) != y[f]])[:3]
                            x, y = {f: x.get(f) for f in keys}, {f: y.get(f) for f in keys}
                        return f"{full} screen {a.get('screen')}: {k} {x!r} at the centre, {y!r} at the site"
            return None

        with ThreadPoolExecutor(8) as pool:
            return len(remote), [d for d in pool.map(one, self.pairs) if d]


def gather(r, say):
    """The sites read and publish their monitors; the centre starts and takes them from the broker."""
    deadline = time.monotonic() + 180
    for s in r.names:
        while not all(m.get("online") and m.get("type") is not None for m in r.sites[s].api("GET", "/monitors")[1]["monitors"]):
            if time.monotonic() > deadline:
                sys.exit(f"site {s} did not read every monitor within 180 s")
            time.sleep(0.5)
    sent, _ = settle(r.sites.values(), time.monotonic(), counter="sent")
    say(f"every site has read and published its monitors ({sent} messages)")
    t0 = time.monotonic()
    r.start_centre()
    taken, took = settle([r.centre], t0)
    later = sum(metric(s, "telvanor_mqtt_messages_sent_total") for s in r.sites.values()) - sent
    listed, differing = r.compare()
    for d in differing[:5]:
        say(d)
    say(f"centre took {taken} messages in {took:.1f} s (sites published {later:.0f} more meanwhile), lists {listed}; {len(differing)} differ")
    queue = "; ".join(["Debian's default broker queue, 1000 messages" if r.a.queue == "default" else
                       f"broker max_queued_messages {r.a.queue}"] + r.a.broker_line)
    rate = f" at {r.a.line_rate} baud" if r.a.line_rate else ""
    return listed, (f"| Sites through a broker: {r.a.sites} sites of {r.a.monitors} simulated monitors each (type 2, a "
                    f"pseudo-terminal line{rate} and simulator process per site, each screen read every 5 s), a centre started "
                    f"once the sites have published ({queue}) | the centre takes {taken} retained messages in {took:.1f} s "
                    f"and lists {listed} remote monitors, {len(differing)} differing from their site's own (GET of each "
                    f"with its screens at both) | all {r.total} |")


def wall_page(r, listed, say):
    """The centre's page in Chromium: its tiles, and its clock against this one."""
    driver = harness.browser(1920, 1080)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE % listed})
    driver.get(r.centre.url)
    tiles_ms = harness.wait(driver, "window.sitesProbe.tilesAt", 120)
    tiles, shown = driver.execute_script("const t = [...document.querySelectorAll('.tile')];"
                                         "return [t.length, new Set(t.map((e) => e.dataset.monitor)).size];")
    skews = []  # the page's wall clock against this one's: the middle of a round trip
    for _ in range(5):
        before = time.time() * 1000
        page = driver.execute_script("return performance.timeOrigin + performance.now()")
        skews.append(page - (before + time.time() * 1000) / 2)
    r.skew = statistics.median(skews)
    say(f"page: {tiles} tiles of {shown} monitors after {tiles_ms:.0f} ms; its clock {r.skew:+.2f} ms from this one")
    return driver, (f"| Same: the centre's page in a headless Chromium | {tiles} tiles of {shown} monitors in the DOM "
                    f"with their names {tiles_ms:.0f} ms after navigation start | all {r.total} |")


def tally(r, driver, at_sites, at_centre, say):
    """A tally set at a monitor, one every 100 ms, each at a monitor of its own: from the site's
    "field" event to the centre's "state" event and to the centre's tile painted."""
    chosen = [(r.names[k % r.a.sites], 1 + (k * 37) % r.a.monitors) for k in range(100)]
    keys, sent = [f"{s}~{r.mon(i)}/1" for s, i in chosen], []
    for s, i in chosen:
        sent.append(time.time())
        r.sims[s].command(f"set {i} 1 tally red")
        time.sleep(0.1)
    deadline = time.time() + 15
    while time.time() < deadline and not all(at_centre.first(k + "/tally", "red", t) for k, t in zip(keys, sent)):
        time.sleep(0.1)
    time.sleep(0.5)
    marks = driver.execute_script("return window.sitesProbe.tally")
    reads, to_centre, to_page = [], [], []
    for k, t in zip(keys, sent):
        site_t, centre_t = at_sites.first(k + "/tally", "red", t), at_centre.first(k + "/tally", "red", t)
        painted = next((ms / 1000 for v, ms in marks.get(k, []) if v == "red" and ms / 1000 >= t), None)
        if site_t is not None:
            reads.append((site_t - t) * 1000)
            to_centre += [(centre_t - site_t) * 1000] if centre_t is not None else []
            to_page += [(painted - site_t) * 1000] if painted is not None else []
    say(f"tally: {len(reads)} at their site, centre {spread(to_centre)}, painted {spread(to_page)}")
    return (f"| Same: a tally set at a monitor (the simulator's command; {len(chosen)} monitors, one every 100 ms): from "
            f"the site's own \"field\" event to the centre's \"state\" event, and to the centre's tile painted (the next "
            f"animation frame; the page's clock {r.skew:+.1f} ms from the benchmark's, the middle of a round trip) | "
            f"{len(reads)} seen at their site ({spread(reads)} after the command: the site's next read); centre event "
            f"{len(to_centre)}: {spread(to_centre)}; tile painted {len(to_page)}: {spread(to_page)} | p95 <= 200 ms |")


def commands(r, say):
    """Requests, one every 100 ms, each to a monitor of its own, in turn to the site's API and
    through the centre, tally and brightness in turn: the request to the frame at the monitor."""
    took, answered, statuses = {False: [], True: []}, {False: [], True: []}, {}
    start = time.monotonic()
    for k in range(200):
        time.sleep(max(0.0, start + k * 0.1 - time.monotonic()))
        s, i = r.names[k % r.a.sites], 1 + ((k // r.a.sites) * 7 + (k % r.a.sites) * 3) % r.a.monitors
        through, is_tally = k % 2 == 1, (k // 2) % 2 == 0
        target, name = (r.centre, f"{s}~{r.mon(i)}") if through else (r.sites[s], r.mon(i))
        mark, t = r.sims[s].mark(), time.time()
        if is_tally:
            status, _ = target.api("POST", f"/monitors/{name}/screens/1/tally", {"tally": "green"})
        else:
            status, _ = target.api("PATCH", f"/monitors/{name}/screens/1", {"brightness": 17})
        answered[through].append((time.time() - t) * 1000)
        statuses[status] = statuses.get(status, 0) + 1
        try:
            line = r.sims[s].wait_line(rf" ID {i} screen 1: ({'Tally' if is_tally else 'Brightness'}) ", timeout=2, since=mark)
            took[through].append((sim_time(line.string) - t) * 1000)
        except TimeoutError:
            pass
    say(f"commands: direct {spread(took[False])}; through the centre {spread(took[True])}; {statuses}")
    return (f"| Same: 100 requests to a site's own API and 100 through the centre (POST tally and PATCH brightness in "
            f"turn, one every 100 ms, each to a monitor of its own): the request to the frame at the monitor (the "
            f"simulator's stamp) | direct {len(took[False])}: {spread(took[False])}; through the centre "
            f"{len(took[True])}: {spread(took[True])}, p95 {p95(took[True]) - p95(took[False]):+.1f} ms; "
            f"{', '.join(f'{n} answered {s}' for s, n in sorted(statuses.items()))} (answer p95 "
            f"{p95(answered[False]):.1f} ms direct, {p95(answered[True]):.1f} ms through the centre) | "
            f"p95 <= 50 ms beyond direct |")


def outage(r, at_centre, say):
    """The broker stopped and started again on its port. Meanwhile a command through the centre
    every second (each must fail, 503) and two changes per site made at monitors, spread over
    each site's monitors."""
    sim_marks = {s: r.sims[s].mark() for s in r.names}
    stopped = time.monotonic()
    r.broker._end()
    statuses, changed = {}, []
    for j in range(1, r.a.outage):
        time.sleep(max(0.0, stopped + j - time.monotonic()))
        status, _ = r.centre.api("POST", f"/monitors/{r.names[j % r.a.sites]}~{r.mon(60 + j % 10)}/screens/1/tally", {"tally": "yellow"})
        statuses[status] = statuses.get(status, 0) + 1
        if j == 5:
            for k, s in enumerate(r.names):
                for i in (1 + (5 * k) % r.a.monitors, 1 + (5 * k + r.a.monitors // 2) % r.a.monitors):
                    r.sims[s].command(f"set {i} 1 brightness 77")
                    changed.append((i, f"{s}~{r.mon(i)}/1/brightness"))
    time.sleep(max(0.0, stopped + r.a.outage - time.monotonic()))
    before = metric(r.centre, "telvanor_mqtt_messages_received_total")
    back = r.broker.start()
    centre_back = None
    while centre_back is None and time.monotonic() < back + 70:
        if r.centre.api("GET", "/health")[1].get("mqtt", {}).get("connected"):
            centre_back = (time.monotonic() - back) * 1000
        time.sleep(0.05)
    seen = lambda key: at_centre.first(key, 77, wall(back))  # noqa: E731
    while time.monotonic() < back + 70 and not all(seen(c) for _, c in changed):
        time.sleep(0.1)
    by_place = sorted((i, round(seen(c) - wall(back), 2)) for i, c in changed if seen(c))
    arrived = [s * 1000 for _, s in by_place]
    say(f"changes made meanwhile, (monitor, seconds after the return): {by_place}")
    reconnect = [(hit[0][0] - back) * 1000 for hit in
                 ([(t, m) for t, m in r.sites[s].lines_matching(r"mqtt: connected to ") if t > back] for s in r.names) if hit]
    retaken, settled = settle([r.centre], back)
    time.sleep(max(0.0, back + 15 - time.monotonic()))  # a command held anywhere would have come by now
    late = sum(1 for s in r.names for _, text in r.sims[s].lines[sim_marks[s]:] if " screen " in text and "(on the monitor)" not in text)
    listed, differing = r.compare()
    for d in differing[:5]:
        say(d)
    say(f"outage: sites back {spread(reconnect)}, centre {centre_back} ms; {statuses}; changes {spread(arrived)}; "
        f"{late} frames; {retaken - before:.0f} messages until {settled:.1f} s; {listed} listed, {len(differing)} differ")
    return (f"| Same: the broker stopped for {r.a.outage} s and started again on its port; a command through the centre "
            f"every second meanwhile, {len(changed)} changes made at monitors meanwhile (two per site, spread over its "
            f"monitors) | sites reconnected {len(reconnect)} of {r.a.sites}, {spread(reconnect)} after the broker's return; "
            f"centre {'not' if centre_back is None else f'{centre_back:.0f} ms'}; commands meanwhile "
            f"{', '.join(f'{n} answered {s}' for s, n in sorted(statuses.items()))}, {late} frames at any monitor since the "
            f"stop; the changes made meanwhile at the centre {len(arrived)} of {len(changed)}: {spread(arrived)} after the "
            f"return, {by_place[0][1] if by_place else '-'} s for monitor {by_place[0][0] if by_place else '-'} to "
            f"{by_place[-1][1] if by_place else '-'} s for monitor {by_place[-1][0] if by_place else '-'} (the sites publish "
            f"their whole state again, the centre takes {retaken - before:.0f} messages, the last {settled:.1f} s after "
            f"the return); then the centre lists {listed}, {len(differing)} differing from their site's own | all "
            f"reconnect; 503 and never carried out; within 2 s; whole |")


def load(r, say):
    """100 changes a second made at the monitors, 5 per site, round robin (each monitor every
    20 s): the centre's CPU over the window, with the page as its only events client."""
    with open(f"/proc/{r.centre.proc.pid}/clear_refs", "w") as f:
        f.write("5")  # its peak memory from here on
    rate, warm = 5 * r.a.sites, 6
    start = time.monotonic()

    def feed():
        for k in range(rate * (warm + r.a.load_seconds + 1)):
            time.sleep(max(0.0, start + k / rate - time.monotonic()))
            i = 1 + (k // r.a.sites) % r.a.monitors
            r.sims[r.names[k % r.a.sites]].command(f"set {i} 1 brightness {31 if (k // r.total) % 2 == 0 else 62}")
    feeder = threading.Thread(target=feed)
    feeder.start()
    time.sleep(warm)
    procs = [r.centre.proc.pid, r.broker.proc.pid] + [r.sites[s].proc.pid for s in r.names]
    cpu0, in0, t0 = [usage(p)[0] for p in procs], metric(r.centre, "telvanor_mqtt_messages_received_total"), time.monotonic()
    time.sleep(r.a.load_seconds)
    cpu1, in1, window = [usage(p)[0] for p in procs], metric(r.centre, "telvanor_mqtt_messages_received_total"), time.monotonic() - t0
    _, rss, peak = usage(r.centre.proc.pid)
    feeder.join()
    cpu = [100 * (b - a) / window for a, b in zip(cpu0, cpu1)]
    say(f"load: centre {cpu[0]:.2f} % of a core, {(in1 - in0) / window:.0f} messages/s, RSS {rss:.1f} MB, peak {peak:.1f} MB")
    return (f"| Same: {rate} changes a second made at the monitors ({rate // r.a.sites} per site, round robin) for "
            f"{r.a.load_seconds} s, the page open | centre CPU {cpu[0]:.2f} % of one core at {(in1 - in0) / window:.0f} "
            f"messages a second from the broker; resident {rss:.1f} MB, peak {peak:.1f} MB in the window ({r.memory}); "
            f"each site {statistics.mean(cpu[2:]):.2f} %, the broker {cpu[1]:.2f} % | CPU <= 5 %, <= 200 MB |")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--telvanord", default="build/service/telvanord")
    ap.add_argument("--sim", default="build/sim/telvanor-monitor-sim")
    ap.add_argument("--sites", type=int, default=20)
    ap.add_argument("--monitors", type=int, default=100)
    ap.add_argument("--outage", type=int, default=30)
    ap.add_argument("--load-seconds", type=int, default=30)
    ap.add_argument("--queue", default="0", help="the broker's max_queued_messages (0: no limit; 'default': Debian's, 1000)")
    ap.add_argument("--broker-line", action="append", default=[], help="a line added to the broker's configuration")
    ap.add_argument("--line-rate", type=int, default=0, help="the simulators' bytes take a line's time at this baud rate")
    ap.add_argument("--gather-only", action="store_true", help="the centre's gathering alone (the first row)")
    a = ap.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("stopped"))  # atexit stops everything started
    began, load_start = time.monotonic(), os.getloadavg()[0]

    def say(text):
        print(f"[{time.monotonic() - began:6.1f} s] {text}", file=sys.stderr, flush=True)

    r = Rig(a)
    say(f"broker on {r.broker.port}, {a.sites} sites started")
    listed, gather_row = gather(r, say)
    rows = [gather_row]
    peak_gathered = usage(r.centre.proc.pid)[2]
    if not a.gather_only:
        events, at_sites, at_centre = Events(), Log(), Log()
        for s in r.names:
            events.open(r.sites[s].port, at_sites.site(s))
        centre_events = events.open(r.centre.port, at_centre.centre)
        driver, row = wall_page(r, listed, say)
        rss_page = usage(r.centre.proc.pid)[1]
        rows += [row, tally(r, driver, at_sites, at_centre, say), commands(r, say), outage(r, at_centre, say)]
        r.memory = (f"peak {peak_gathered:.1f} MB once the sites were gathered, resident {rss_page:.1f} MB with the page "
                    f"open (the events' snapshot of all monitors, kept for the next client, is "
                    f"{at_centre.snapshot / 1e6:.1f} MB of JSON), peak {usage(r.centre.proc.pid)[2]:.1f} MB after the "
                    f"broker's return")
        events.close(centre_events)
        rows.append(load(r, say))
    print("\n".join(rows))
    say(f"load average {load_start:.1f} at the start, {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
