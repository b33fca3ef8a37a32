"""Unit labels at a station: four ports, labels typed on the station's standard input one at a
time (as a barcode scanner types them) while handsets appear. Each handset waits for its label
("scan the label") and is flashed only once one comes; a label goes to the port that has
waited longest, or waits for the next handset; a label scanned twice is refused; every unit
is recorded with its own label, and `tarvolo log --label` finds it."""
import json
import os
import subprocess
import time
import unittest

from station_case import StationCase
from harness import bin_dir  # noqa: E402


class StationLabels(StationCase):
    def test_each_unit_is_recorded_with_the_label_scanned_for_it(self):
        release, _ = self.image()
        # Each port has a second unit, which appears once its first has been taken off; the
        # station arms one of them (--units 5).
        handsets = self.handsets(4, units=2)
        ports = [h.link for h in handsets]
        run = self.station(release, ports, "--scan", "--units", 5, stdin=subprocess.PIPE)

        def scan(text):
            run.proc.stdin.write(text)
            run.proc.stdin.flush()

        def event(kind, **fields):
            return run.wait_for(lambda e: e.get("event") == kind and
                                all(e.get(k) == v for k, v in fields.items()), timeout=30)

        waiting = []
        for _ in ports:
            e = event("awaiting_label")
            self.assertIsNotNone(e, run.events)
            waiting.append(e["port"])
        self.assertEqual(sorted(waiting), sorted(ports))
        time.sleep(0.5)
        self.assertFalse([e for e in run.events if e.get("event") == "unit_start"], "flashed before its label")

        # Each label goes to the port that has waited longest; the scanner's CR is no part of it.
        for n, port in enumerate(waiting, 1):
            scan("IMEI-%04d\r\n" % n)
            given = event("label", state="given")
            self.assertEqual((given["label"], given["port"], given["attempt"]), ("IMEI-%04d" % n, port, 1))
        scan("IMEI-0002\n")
        self.assertIn("already scanned", event("label", state="refused")["reason"])
        scan("bad\x1b[2Jlabel\n")
        self.assertIn("control characters", event("label", state="refused")["reason"])
        scan("9" * 300000 + "\n")  # no scanner's: read without keeping it whole, and refused
        self.assertIn("longer than", event("label", state="refused")["reason"])
        # No handset waits now: the next label waits for the one that appears.
        scan("IMEI-0005\n")
        self.assertIsNotNone(event("label", state="waiting", label="IMEI-0005"))
        fifth = event("label", state="given", label="IMEI-0005")["port"]
        self.assertIn(fifth, ports)
        run.proc.stdin.close()  # no more labels: the station says so and goes on with what it has
        self.assertIsNotNone(event("labels_ended"))

        self.assertEqual(run.wait(60), 0, run.stderr())
        ends = {e["label"]: e["port"] for e in run.unit_ends()}
        self.assertEqual(ends, {"IMEI-0001": waiting[0], "IMEI-0002": waiting[1], "IMEI-0003": waiting[2],
                                "IMEI-0004": waiting[3], "IMEI-0005": fifth})
        units = self.units_in(run.record)
        self.assertEqual(sorted((u["label"], u["attempt"], u["outcome"]) for u in units),
                         [("IMEI-%04d" % n, 1, "completed") for n in range(1, 6)])
        self.assertNotFlashedTwice(handsets)

        log = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "log", "--db", run.record, "--label", "IMEI-0003",
                              "--json"], capture_output=True, text=True, timeout=30)
        self.assertEqual(log.returncode, 0, log.stderr)
        self.assertEqual([(u["label"], u["port_selector"]) for u in json.loads(log.stdout)["units"]],
                         [("IMEI-0003", waiting[2])])


if __name__ == "__main__":
    unittest.main()
