"""Choosing the port: a download that waits for its port to appear (--wait-port), selectors
that name no port, and `tarvolo ports`."""
import json
import os
import subprocess
import time
import unittest

from e2e_case import E2ECase, Run, byte_sum, data_block
from harness import bin_dir

BS = 256


class WaitPort(E2ECase):
    def test_download_started_before_the_handset_waits_for_it(self):
        release, image = self.release([data_block(BS, n) for n in range(3)])
        link = self.path("ttyHANDSET")
        started = time.monotonic()
        proc, lines = self.start_download(release, link, "--wait-port", "20", "--mode", "erase")
        self.assertEqual(json.loads(lines.get(timeout=10)),
                         {"event": "waiting_port", "selector": link, "seconds": 20})
        time.sleep(1)
        h = self.handset("--block-size", BS, "--protocol", 1, image_blocks=3)
        self.assertEqual(proc.wait(60), 0, proc.stderr.read())
        out = []
        while not out or json.loads(out[-1]).get("event") != "exit":
            out.append(lines.get(timeout=10))
        run = Run(proc.returncode, "".join(out), proc.stderr.read(), time.monotonic() - started)
        self.assertClean(run.stderr, "tarvolo")
        self.assertCompleted(run, h, image, byte_sum(image))
        found = run.events[0]
        self.assertEqual((found["event"], found["device"]), ("port", link))
        self.assertGreaterEqual(found["waited_ms"], 900)

    def test_port_that_does_not_appear_ends_with_10(self):
        release, _ = self.release([data_block(BS, 0)])
        started = time.monotonic()
        run = self.download(release, self.path("ttyNOBODY"), "--wait-port", "1")
        self.assertEqual(run.code, 10)
        self.assertLess(time.monotonic() - started, 5)
        self.assertIn("did not appear within 1 s", run.stderr)


class Selectors(E2ECase):
    def test_selector_matching_no_port_ends_with_10_naming_it(self):
        release, _ = self.release([data_block(BS, 0)])
        run = self.download(release, "usb:fffe:0001:NOSUCH")
        self.assertEqual((run.code, run.stdout), (10, ""))
        self.assertTrue(run.stderr.startswith("tarvolo: usb:fffe:0001:NOSUCH matches no serial port"),
                        run.stderr)
        run = self.download(release, "usb:0403")
        self.assertEqual(run.code, 64, run.stderr)

    def test_ports_lists_the_machine_as_json(self):
        proc = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "ports", "--json"],
                              capture_output=True, text=True, timeout=30)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertClean(proc.stderr, "tarvolo")
        for port in json.loads(proc.stdout)["ports"]:
            self.assertTrue(port["device"].startswith("/dev/"), port)
            self.assertIn(port["kind"], ("usb", "pci", "builtin", "other"))
            self.assertEqual(port["free"], port["reason"] is None, port)


if __name__ == "__main__":
    unittest.main()
