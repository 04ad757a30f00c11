"""The service's page in a headless Chromium, against simulated monitors on a
pseudo-terminal: what the wall shows, what the controls send, and what the
operator sees when something fails."""
import os
import re
import sys
import unittest

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TELVANORD, SIM, ARGV = harness.paths()
TOKEN = "browser-suite-token-0123"
NAME = '<b>X</b> "Q" & 1'  # a monitor's own name with markup: text to the page, never HTML

# A frame the monitor receives, as the simulator logs it with --hex: the monitor
# ID is byte 7, the command byte 8, a setting frame's record bytes follow.
FRAME = re.compile(r"^(\d\d):(\d\d):(\d\d)\.(\d{3}) < 5a(?: [0-9a-f]{2}){6} ([0-9a-f]{2}) ([0-9a-f]{2})((?: [0-9a-f]{2})*)$")
PAGE_OF_COMMAND = {0x01: "Picture", 0x02: "Marker", 0x04: "Function", 0x03: "Audio", 0x00: "Source", 0x05: "UMD"}


def setting_frames(sim, since, monitor_id):
    """(ms of day, page, record bytes) of every setting frame monitor_id took since the mark."""
    out = []
    for _, text in sim.lines[since:]:
        m = FRAME.match(text)
        if m and int(m.group(5), 16) == monitor_id and int(m.group(6), 16) in PAGE_OF_COMMAND:
            h, mi, s, ms = (int(x) for x in m.group(1, 2, 3, 4))
            out.append(((h * 3600 + mi * 60 + s) * 1000 + ms, PAGE_OF_COMMAND[int(m.group(6), 16)],
                        [int(b, 16) for b in m.group(7).split()]))
    return out


class TstPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = harness.Sim(SIM, f"type=1,id=1,name={NAME}", "type=2,id=2,name=CAM 2", "type=4,id=3,name=RACK,pad=zero",
                              extra=["--hex"])
        line = f"serial:{cls.sim.pty}"
        # "ghost" has no simulated monitor: it never answers.
        cls.screens = {"cam1": 1, "cam2": 1, "rack": 3, "ghost": 1}
        cls.service = harness.Service(TELVANORD, {n: f"{line}#{i}" for i, n in enumerate(cls.screens, 1) if n != "ghost"}
                                      | {"ghost": f"{line}#9"}, token=TOKEN)
        cls.d = harness.browser(1280, 900)
        cls.d.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": "window.WebSocket = class extends WebSocket "
                              "{ constructor(u, p) { super(u, p); (window.socketUrls ||= []).push(String(u)); } };"})

    @classmethod
    def tearDownClass(cls):
        cls.d.quit()
        cls.service.stop()
        cls.sim.stop()

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def until(self, condition, timeout=10):
        return harness.wait(self.d, condition, timeout)

    def open(self, monitor, screen=1):
        self.d.get(f"{self.service.url}#/monitor/{monitor}/{screen}")
        self.until(f"document.querySelector('#monitor[data-monitor=\"{monitor}\"] fieldset.page')")

    def css(self, selector):
        return self.d.find_element(By.CSS_SELECTOR, selector)

    def click(self, selector):
        """Clicks with the control in mid-window, clear of the sticky bar at the top."""
        e = self.css(selector)
        self.js("arguments[0].scrollIntoView({block: 'center'})", e)
        e.click()

    def test_1_token_then_wall(self):
        self.d.get(self.service.url)
        self.until("document.getElementById('token-dialog').open")
        self.css("#token-input").send_keys(TOKEN)
        self.css("#token-ok").click()
        self.until("document.querySelectorAll('.tile').length === 6")
        urls = self.js("return window.socketUrls")  # a URL lands in proxy logs: a ticket, never the token
        self.assertTrue(urls and all("?ticket=" in u and TOKEN not in u for u in urls), urls)
        self.until(lambda d: self.css(".tile[data-monitor=cam1] .tile-device").get_attribute("textContent") == NAME
                   and not d.find_elements(By.CSS_SELECTOR, "#links b"))
        section = self.css(".link").get_attribute("data-link")
        self.assertEqual(section, f"serial:{self.sim.pty}")
        for name, count in self.screens.items():
            with self.subTest(monitor=name):
                self.assertEqual(len(self.d.find_elements(By.CSS_SELECTOR, f'.tile[data-monitor="{name}"]')), count)
        self.until("document.querySelector('.tile[data-monitor=\"ghost\"]').classList.contains('offline')")
        self.assertIn("never answered", self.css('.tile[data-monitor="ghost"] .tile-silent').text)
        self.assertNotIn("offline", self.css('.tile[data-monitor="cam1"]').get_attribute("class"))
        # The rack pads its name and input with zero bytes: the tile shows the text alone.
        self.until("(t => t.querySelector('.tile-device').textContent === 'RACK' && "
                   "t.querySelector('.tile-input').textContent === 'SDI1 1080i50 S1')(document.querySelector('.tile[data-monitor=rack]'))")
        self.css("#filter").send_keys("rac")
        self.assertEqual([t.get_attribute("data-monitor") for t in self.d.find_elements(By.CSS_SELECTOR, ".tile") if t.is_displayed()],
                         ["rack"] * 3)
        # The token is asked once per tab.
        self.d.refresh()
        self.until("document.querySelectorAll('.tile').length === 6")
        self.assertFalse(self.js("return document.getElementById('token-dialog').open"))

    def test_2_tally_at_the_monitor_reaches_the_tile(self):
        self.d.get(self.service.url)
        self.until("document.querySelectorAll('.tile').length === 6")
        for monitor, screen, sim_id, colour in (("cam1", 1, 1, "red"), ("rack", 2, 3, "green")):
            with self.subTest(monitor=monitor, screen=screen):
                self.sim.command(f"set {sim_id} {screen} tally {colour}")
                self.until(f"document.querySelector('.tile[data-monitor=\"{monitor}\"][data-screen=\"{screen}\"]')"
                           f".dataset.tally === '{colour}'", timeout=5)

    def test_3_controls_follow_the_type(self):
        rows = [("cam1", "[data-field=brightness]", True), ("cam1", "[data-field=mvMode]", False),
                ("cam2", "[data-field=mvMode]", True), ("cam1", "[data-umd-slot='2']", False),
                ("cam2", "[data-umd-slot='4']", True), ("cam1", "[data-field=mvSource1]", False),
                ("rack", "[data-field=umd2Color]", False),
                # Values a type lacks have no control; values it never enables show disabled.
                ("cam1", "[data-field=source] button[data-value=SDI3]", False),
                ("cam2", "[data-field=source] button[data-value=SDI3]", True),
                ("cam1", "input[data-field=markerThickness][max='7']", True),
                ("cam2", "input[data-field=markerThickness][max='15']", True),
                ("rack", "[data-field=wave] button[data-value=Multi]:disabled", True),
                ("rack", "[data-field=wave] button[data-value=Y]:enabled", True)]
        for monitor, selector, present in rows:
            with self.subTest(monitor=monitor, control=selector):
                self.open(monitor)
                self.assertEqual(bool(self.d.find_elements(By.CSS_SELECTOR, selector)), present)
        self.assertEqual([e.text for e in self.d.find_elements(By.CSS_SELECTOR, "fieldset.page > legend")],
                         ["Picture", "Marker", "Function", "Source", "Audio", "UMD"])
        # The rack, opened last: type 4 calls source 0 "SDI".
        self.assertEqual(self.css("[data-field=source] button[data-value=SDI1]").text, "SDI")
        # Type 2: UMD 2's colour is off while multiview is, the markers while it is on.
        self.open("cam2")
        self.assertEqual(self.css("[data-field=source] button[data-value=SDI1]").text, "SDI1")
        for mv, umd2, marker in (("off", "disabled", "enabled"), ("on", "enabled", "disabled"), ("off", "disabled", "enabled")):
            with self.subTest(multiview=mv):
                if mv == "on":
                    self.click("[data-field=mvMode] button[data-value=on]")
                else:
                    self.sim.command("set 2 1 mvMode off")
                self.until(f"document.querySelector('[data-field=umd2Color] button[data-value=red]:{umd2}') && "
                           f"document.querySelector('[data-field=centerMarker] button[data-value=on]:{marker}') && "
                           f"document.querySelector('input[data-field=markerThickness]:{marker}')")

    def test_4_label_and_colour_reach_the_monitor_and_the_wall(self):
        self.open("cam2")
        self.click("[data-field=umd1Color] button[data-value=magenta]")
        self.css("[data-umd-slot='1']").send_keys("WIDE 2")
        self.click("[data-umd-send='1']")
        self.sim.wait_line(r'ID 2 screen 1: UMD 1 label "WIDE 2')
        self.click("a.back")  # the wall as the page has kept it, from the events
        self.until("(e => e && e.textContent === 'WIDE 2' && e.dataset.color === 'magenta')"
                   "(document.querySelector('.tile[data-monitor=cam2] .tile-umd[data-slot=\"1\"]'))")

    def test_4_slider_goes_out_at_the_monitors_pace(self):
        self.open("cam2")
        slider = self.css("input[data-field=brightness]")
        since, requests_since = self.sim.mark(), self.service.mark()
        width = slider.size["width"]
        drag = ActionChains(self.d).move_to_element_with_offset(slider, -width // 2 + 4, 0).click_and_hold()
        for _ in range(14):
            drag = drag.move_by_offset(width // 20, 0).pause(0.07)
        drag.release().perform()
        slider.send_keys(Keys.ARROW_RIGHT * 12)  # then keys at once: the first goes, the last follows at the pace
        final = int(slider.get_attribute("value"))
        self.js("location.hash = '#/monitor/cam1/1'")  # on to another monitor before the last value went
        self.until(lambda d: any(b[0] == final for _, _, b in setting_frames(self.sim, since, 2)), timeout=10)
        frames = setting_frames(self.sim, since, 2)
        values = [b[0] for _, page, b in frames]
        self.assertEqual({page for _, page, _ in frames}, {"Picture"})
        self.assertGreaterEqual(len(frames), 2, values)        # sent while dragging, not only on release
        self.assertEqual(values[-1], final)
        self.assertEqual(values, sorted(values))
        gaps = [b[0] - a[0] for a, b in zip(frames, frames[1:])]
        self.assertGreaterEqual(min(gaps), 450, gaps)          # never faster than the monitor takes them
        requests = [t for _, t in self.service.lines[requests_since:] if "PATCH /api/v1/monitors/cam2/screens/1:" in t]
        self.assertLessEqual(len(requests), len(frames) + 1)   # the page asks no faster either
        self.assertEqual(setting_frames(self.sim, since, 1), [])

    def test_5_preset_recall_sends_what_differs(self):
        self.open("cam2")
        self.css("#preset-name").send_keys("studio")
        self.click("#preset-save")
        self.until("document.querySelector('li[data-preset=studio]')")
        self.sim.command("set 2 1 contrast 11")
        self.sim.command("set 2 1 volume 7")
        self.until("document.querySelector('output[data-for=volume]').value === '7' && "
                   "document.querySelector('output[data-for=contrast]').value === '11'")
        self.click("details summary")
        self.click('input[data-target="rack/2"]')
        since = self.sim.mark()
        self.click("li[data-preset=studio] button[data-action=recall]")
        error = self.until(lambda d: d.find_element(By.CSS_SELECTOR, ".error[data-for=preset]").text)
        self.assertIn("rack/2: preset 'studio' is for type 2, rack is type 4", error)
        self.until("document.querySelector('output[data-for=contrast]').value !== '11'")
        self.until(lambda d: {p for _, p, _ in setting_frames(self.sim, since, 2)} == {"Picture", "Audio"})
        self.assertEqual(setting_frames(self.sim, since, 3), [])

    def test_6_failures_show_next_to_their_control(self):
        self.open("cam1")
        rows = [("tally", lambda: self.click("[data-field=tally] button[data-value=green]"),
                 "no label was sent to screen 1 yet"),
                ("preset", lambda: (self.css("#preset-name").clear(), self.css("#preset-name").send_keys("on.air"), self.click("#preset-save")),
                 "preset name 'on.air'")]
        for key, act, text in rows:
            with self.subTest(control=key):
                act()
                shown = self.until(lambda d: d.find_element(By.CSS_SELECTOR, f".error[data-for={key}]").text)
                self.assertIn(text, shown)

    def test_6_phone_width(self):
        self.d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        self.addCleanup(self.d.execute_cdp_cmd, "Emulation.clearDeviceMetricsOverride", {})
        self.open("cam1")
        self.until(lambda d: self.css("#monitor .device").get_attribute("textContent").startswith(NAME)
                   and not d.find_elements(By.CSS_SELECTOR, "#monitor b"))
        self.click("details summary")
        targets = self.js("return [...document.querySelectorAll('input[type=checkbox]')]"
                          ".map(b => b.closest('label')?.getBoundingClientRect().height ?? 0)")
        self.assertEqual(len(targets), 7)  # a box and its label make one target of 44 px or more
        self.assertGreaterEqual(min(targets), 44, targets)
        self.css("[data-jump='6']").send_keys(Keys.ENTER)  # UMD, the last page, far down one column
        self.until("(p => p.top >= document.querySelector('.jumps').getBoundingClientRect().bottom - 1 && p.top < innerHeight / 2)"
                   "(document.querySelector('fieldset.page[data-group=\"6\"]').getBoundingClientRect())")

    def test_7_service_away_and_back(self):
        self.d.get(self.service.url)
        self.until("document.querySelectorAll('.tile').length === 6")
        self.service.stop(remove=False)
        self.until("document.getElementById('conn').dataset.state === 'closed'")
        self.assertIn("unreachable", self.css("#conn").text)
        self.service.start()
        self.until("document.getElementById('conn').dataset.state === 'open'", timeout=15)
        self.until("document.querySelector('.tile[data-monitor=cam1]').dataset.tally === 'red'")  # read anew
        self.sim.command("set 3 3 tally yellow")
        self.until("document.querySelector('.tile[data-monitor=\"rack\"][data-screen=\"3\"]').dataset.tally === 'yellow'")
        self.assertFalse(self.js("return document.getElementById('token-dialog').open"))
        # The monitors fall silent: their tiles say for how long (a monitor is offline after
        # three reads time out, each of them a second, with the others' in between).
        self.sim.command("fail stop-after 1")
        silent = self.until(lambda d: d.find_element(By.CSS_SELECTOR, '.tile.offline[data-monitor="cam2"] .tile-silent').text, 60)
        self.assertRegex(silent, r"^silent \d+ s$")

    def test_8_centre_wall_of_two_sites(self):
        # Two sites with simulated monitors and a centre with none, on a private broker.
        broker = harness.Broker()
        sims, sites = {}, {}
        for site, names, rooms in (("north", ("cam1", "cam2"), {"Studio A": ["cam1"]}),
                                   ("south", ("cam1", "desk"), {"Gallery": ["cam1", "desk"]})):
            sims[site] = harness.Sim(SIM, "type=2,id=1,name=CAM 1", "type=2,id=2,name=DESK")
            sites[site] = harness.Service(TELVANORD, {n: f"serial:{sims[site].pty}#{i}" for i, n in enumerate(names, 1)}, rooms=rooms,
                                          mqtt={"broker": broker.url, "site": site, "keepAlive": 5})
        centre = harness.Service(TELVANORD, {}, mqtt={"broker": broker.url, "site": "centre", "sites": "*", "publish": False})
        for p in (centre, *sites.values(), *sims.values(), broker):
            self.addCleanup(p.stop)
        self.d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {"width": 1920, "height": 1080, "deviceScaleFactor": 1, "mobile": False})
        self.addCleanup(self.d.execute_cdp_cmd, "Emulation.clearDeviceMetricsOverride", {})
        self.d.get(centre.url)
        # Grouped by site, then by room; a monitor in none under "No room".
        self.until(lambda d: self.js("return [...document.querySelectorAll('section.site .room .tile')].map(t => "
                                     "`${t.closest('.site').dataset.site}/${t.closest('.room').firstChild.textContent}/${t.dataset.monitor}`)")
                   == ["north/Studio A/north~cam1", "north/No room/north~cam2", "south/Gallery/south~cam1", "south/Gallery/south~desk"], timeout=30)
        sims["north"].command("set 1 1 tally red")
        self.until("document.querySelector('.tile[data-monitor=\"north~cam1\"]').dataset.tally === 'red'")
        # A remote monitor opened from its tile: a label sent through the centre reaches the site's monitor.
        self.click('.tile[data-monitor="north~cam1"]')
        self.until("location.hash === '#/monitor/north~cam1/1' && document.querySelector('[data-umd-slot=\"1\"]')")
        self.css("[data-umd-slot='1']").send_keys("WIDE ONE" + Keys.ENTER)
        sims["north"].wait_line(r'ID 1 screen 1: UMD 1 label "WIDE ONE')
        self.click("a.back")
        self.until("document.querySelector('.tile[data-monitor=\"north~cam1\"] .tile-umd').textContent === 'WIDE ONE'")
        # The filters combine; the count says how many of all are shown.
        rows = [({"site": "south"}, ["south~cam1", "south~desk"]), ({"room": "Studio A"}, ["north~cam1"]), ({"tally": "red"}, ["north~cam1"]),
                ({"text": "wide"}, ["north~cam1"]), ({"site": "south", "text": "DESK"}, ["south~desk"]), ({"site": "south", "tally": "red"}, []),
                ({}, ["north~cam1", "north~cam2", "south~cam1", "south~desk"])]
        for picked, tiles in rows:
            with self.subTest(filter=picked):
                for key in ("site", "room", "tally"):
                    Select(self.css(f"#filter-{key}")).select_by_value(picked.get(key, ""))
                self.css("#filter").send_keys(Keys.CONTROL, "a", Keys.NULL, Keys.BACKSPACE, picked.get("text", ""))
                self.assertEqual([t.get_attribute("data-monitor") for t in self.d.find_elements(By.CSS_SELECTOR, ".tile") if t.is_displayed()], tiles)
                self.assertEqual(self.css("#wall-count").text, f"{len(tiles)} of 4 screens" if picked else "4 screens")
        # The dense view, kept across a reload: a tile small enough for 250 on the window, its name and label whole.
        self.click("#dense")
        self.d.refresh()
        self.until("document.getElementById('wall').classList.contains('dense') && document.querySelectorAll('.tile').length === 4")
        fit = self.js("const t = document.querySelector('.tile[data-monitor=\"north~cam1\"]'), r = t.getBoundingClientRect(), "
                      "gap = parseFloat(getComputedStyle(t.parentElement.closest('.groups')).rowGap) || 0, "
                      "top = document.querySelector('section.site').getBoundingClientRect().top; "
                      "return {n: Math.floor((innerWidth - 32 + gap) / (r.width + gap)) * Math.floor((innerHeight - top) / (r.height + gap)), "
                      "font: Math.min(...[...t.querySelectorAll('span')].map(s => parseFloat(getComputedStyle(s).fontSize))), "
                      "clipped: [...t.querySelectorAll('.tile-name, .tile-umd')].filter(s => s.scrollWidth > s.clientWidth).length}")
        self.assertTrue(fit["n"] >= 250 and fit["font"] >= 11 and not fit["clipped"], fit)
        # A site gone: said with its age on its heading; its tiles kept as it last told, faded.
        sites["north"].proc.kill()
        head = "document.querySelector('section.site[data-site=north] > h2').textContent"
        first = self.until(f"/^north — gone \\d+ s$/.test({head}) && {head}", timeout=30)
        self.until(f"{head} !== '{first}'")
        self.assertEqual(self.js("return [...document.querySelectorAll('.tile')].filter(t => getComputedStyle(t).opacity < 0.6)"
                                 ".map(t => [t.dataset.monitor, t.dataset.tally, t.querySelector('.tile-umds').textContent, "
                                 "/^gone \\d+ s$/.test(t.querySelector('.tile-silent').textContent)])"),
                         [["north~cam1", "red", "WIDE ONE", True], ["north~cam2", "off", "", True]])


if __name__ == "__main__":
    unittest.main(argv=ARGV)
