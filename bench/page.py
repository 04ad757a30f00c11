#!/usr/bin/python3
"""The service's page in a headless Chromium with 250 simulated monitors on two
pseudo-terminal lines (one simulator process each; type 2, whose tally goes out
without a label sent first); prints Markdown rows.

  wall:   navigation start to all 250 tiles in the DOM with their names (median of 5 loads),
          once the service has read every monitor
  events: tally changes at 100 a second for 20 s over the API, round robin over the 250
          monitors (one change per monitor every 2.5 s); in the page, a WebSocket message's
          arrival (before the page's own handler) to the tile's data-tally change and the
          next animation frame. A monitor whose tally messages are not exactly the
          changes sent to it (a tile going back to an earlier tally) is named on stderr.
  at the monitor: a tally set with the simulator's own command to the tile showing it
          (both times taken in the page), 20 monitors in turn

python3 bench/page.py --telvanord build/service/telvanord --sim build/sim/telvanor-monitor-sim
  [--lines 2] [--loads 5] [--rate 100] [--seconds 20]
"""
import argparse
import os
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "browser"))
import harness  # noqa: E402

MONITORS = 250

# Runs before the page's own scripts in every document.
PROBE = """
(() => {
  const count = %d;
  const probe = window.telvanorProbe = {wallMs: null, lat: [], pending: new Map(), messages: 0, tallies: 0, seq: {}, changed: {}};
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (e) => {
        const t = performance.now();
        probe.messages += 1;
        let m;
        try { m = JSON.parse(e.data); } catch { return; }
        if (m.type !== 'field' || m.field !== 'tally') return;
        probe.tallies += 1;
        (probe.seq[m.monitor] = probe.seq[m.monitor] || []).push(m.before + '>' + m.after + '@' + Math.round(t));
        probe.pending.set(m.monitor + '/' + m.screen, {t, value: m.after});
      });
    }
  };
  new MutationObserver((records) => {
    for (const r of records) {
      if (r.type !== 'attributes') continue;
      const key = r.target.dataset.monitor + '/' + r.target.dataset.screen;
      probe.changed[key] = {value: r.target.dataset.tally, t: performance.now()};
      const p = probe.pending.get(key);
      if (!p || r.target.dataset.tally !== p.value) continue;
      probe.pending.delete(key);
      requestAnimationFrame(() => probe.lat.push(performance.now() - p.t));
    }
    if (probe.wallMs !== null) return;
    const tiles = document.querySelectorAll('.tile');
    if (tiles.length < count) return;
    for (const t of tiles) {
      const name = t.querySelector('.tile-name');
      if (!name || !name.textContent) return;
    }
    probe.wallMs = performance.now();
  }).observe(document, {subtree: true, childList: true, characterData: true, attributes: true, attributeFilter: ['data-tally']});
})();
"""


def pct(values, p):
    s = sorted(values)
    return s[min(len(s) - 1, max(0, round(p / 100 * len(s)) - 1))]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--telvanord", default="build/service/telvanord")
    ap.add_argument("--sim", default="build/sim/telvanor-monitor-sim")
    ap.add_argument("--lines", type=int, default=2)
    ap.add_argument("--loads", type=int, default=5)
    ap.add_argument("--rate", type=int, default=100)
    ap.add_argument("--seconds", type=int, default=20)
    a = ap.parse_args()

    per_line = MONITORS // a.lines
    sims = [harness.Sim(a.sim, f"type=2,id=1,count={per_line}") for _ in range(a.lines)]
    names = {f"m{line * per_line + i:03d}": f"serial:{sim.pty}#{i}"
             for line, sim in enumerate(sims) for i in range(1, per_line + 1)}
    service = harness.Service(a.telvanord, names)

    # Every monitor identified, then every screen read (its tile shows an input text).
    deadline = time.monotonic() + 120
    while True:
        _, body = service.api("GET", "/monitors")
        if all(m.get("online") and m.get("type") is not None for m in body["monitors"]):
            break
        if time.monotonic() > deadline:
            sys.exit("the service did not read every monitor within 120 s")
        time.sleep(0.2)

    driver = harness.browser(1920, 1080)
    driver.execute_cdp_cmd("Network.enable", {})
    driver.execute_cdp_cmd("Network.setCacheDisabled", {"cacheDisabled": True})
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": PROBE % len(names)})
    driver.get(service.url)
    harness.wait(driver, "[...document.querySelectorAll('.tile-input')].filter((e) => e.textContent !== '–').length"
                 f" === {len(names)}", 60)

    loads = []
    for _ in range(a.loads):
        driver.get(service.url)
        loads.append(harness.wait(driver, "window.telvanorProbe.wallMs", 30))
    harness.wait(driver, f"document.querySelectorAll('.tile[data-tally=\"off\"]').length === {len(names)}", 30)

    # The changes: request k at k / rate seconds, to monitor k mod 250, red and green in turn.
    order = list(names)
    total = a.rate * a.seconds
    statuses, request_ms = {}, []
    lock = threading.Lock()
    start = time.monotonic() + 0.5

    def change(k):
        time.sleep(max(0.0, start + k / a.rate - time.monotonic()))
        name = order[k % len(order)]
        t = time.monotonic()
        status, _ = service.api("POST", f"/monitors/{name}/screens/1/tally",
                                {"tally": "red" if (k // len(order)) % 2 == 0 else "green"})
        with lock:
            statuses[status] = statuses.get(status, 0) + 1
            request_ms.append((time.monotonic() - t) * 1000)
        return time.monotonic()

    with ThreadPoolExecutor(32) as pool:
        ends = list(pool.map(change, range(total)))
    sent_s = max(ends) - start
    try:
        harness.wait(driver, f"window.telvanorProbe.lat.length >= {total}", 30)
    except Exception:
        pass  # reported as fewer than sent
    probe = driver.execute_script("const p = window.telvanorProbe; return {lat: p.lat, tallies: p.tallies, "
                                  "seq: p.seq};")
    lat = probe["lat"]

    # Each monitor's tally messages: off>red, red>green, green>red, ... one for each change sent to it.
    def expected(i):
        sent = total // len(order) + (i < total % len(order))
        return [("off" if k == 0 else "red" if k % 2 else "green") + ">" + ("green" if k % 2 else "red") for k in range(sent)]
    seqs = {n: probe["seq"].get(n, []) for n in order}
    back = {n: seqs[n] for i, n in enumerate(order) if [e.split("@")[0] for e in seqs[n]] != expected(i)}
    for n, seq in back.items():
        print(f"{n}: {seq}", file=sys.stderr)

    # A tally set at the monitor itself: the service sees it at the screen's next read
    # (every readEveryMs, 1 s here); from the simulator's command to the tile showing it.
    at_monitor = []
    for k in range(20):
        line, i = divmod((k * 37) % len(order), per_line)
        name = order[line * per_line + i]
        t = driver.execute_script("return performance.now()")
        sims[line].command(f"set {i + 1} 1 tally yellow")
        shown = harness.wait(driver, f"(c => c && c.value === 'yellow' && c.t)(window.telvanorProbe.changed['{name}/1'])", 10)
        at_monitor.append(shown - t)

    print(f"| Page: a wall of {len(names)} monitors ({a.lines} pseudo-terminal lines of {per_line}, each monitor read "
          f"once), navigation start to every tile in the DOM with its name (median of {a.loads} loads, cache off) "
          f"| {statistics.median(loads):.0f} ms (loads {', '.join(f'{v:.0f}' for v in loads)}) | < 1000 ms |")
    ok = ", ".join(f"{n} answered {s}" for s, n in sorted(statuses.items()))
    print(f"| Page: {a.rate} tally changes a second for {a.seconds} s over the API (round robin over the {len(names)} "
          f"monitors, one change each every {len(names) / a.rate:.1f} s); a WebSocket message's arrival to the tile's "
          f"change and the next animation frame | {len(lat)} tile changes for {total} changes sent ({probe['tallies']} tally "
          f"messages; {len(back)} monitors whose messages differ from the changes sent); "
          f"p50 {pct(lat, 50):.1f} ms, p95 {pct(lat, 95):.1f} ms, max {max(lat):.1f} ms; requests sent in "
          f"{sent_s:.1f} s, {ok}, request p95 {pct(request_ms, 95):.0f} ms | p95 < 50 ms |")
    print(f"| Page: a tally set at the monitor (the simulator's command) to its tile on the wall, 20 monitors in turn, "
          f"each screen read every 1 s | median {statistics.median(at_monitor):.0f} ms, max {max(at_monitor):.0f} ms "
          f"| within 1 s |")


if __name__ == "__main__":
    main()
