"""The service's page in a headless Chromium, against simulated monitors on a pseudo-terminal."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TELVANORD, SIM, ARGV = harness.paths()


class TstPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = harness.Sim(SIM, "type=1,id=1,name=CAM 1", "type=2,id=2,name=CAM 2", "type=4,id=3,name=RACK")
        cls.monitors = {"cam1": f"serial:{cls.sim.pty}#1", "cam2": f"serial:{cls.sim.pty}#2",
                        "rack": f"serial:{cls.sim.pty}#3"}
        cls.service = harness.Service(TELVANORD, cls.monitors)
        cls.driver = harness.browser()

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.service.stop()
        cls.sim.stop()

    def test_wall_lists_monitors(self):
        self.driver.get(self.service.url)
        for name in self.monitors:
            with self.subTest(monitor=name):
                harness.wait(self.driver, f"document.querySelector('.tile[data-monitor=\"{name}\"]')")


if __name__ == "__main__":
    unittest.main(argv=ARGV)
