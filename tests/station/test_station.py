"""`tarvolo station` against streams of virtual handsets: ports flashing in parallel with
faults per unit, re-arming only once a handset has gone, hot-plug and a port lost mid-unit,
Ctrl-C, and kill -9 of the station and of one worker; each checked against the production
record."""
import hashlib
import os
import signal
import time
import unittest

from station_case import BS, StationCase


def read(path):
    with open(path, "rb") as f:
        return f.read()


class Station(StationCase):
    def test_parallel_ports_faults_per_unit_and_the_record(self):
        release, image = self.image()
        handsets = self.handsets(3, per_port=[
            ["--unit-faults", "2:completion-refusals"],
            ["--unit-faults", "3:wrong-checksum"],
            ["--unit-faults", "1:block-refusals=2"],
        ])
        run = self.station(release, [h.link for h in handsets], "--units", 9)
        self.assertEqual(run.wait(), 20, run.stderr())  # some units failed

        units = self.units_in(run.record)
        self.assertEqual([u["sequence"] for u in units], list(range(1, 10)))
        by_port = {h.link: [u for u in units if u["port_selector"] == h.link] for h in handsets}
        self.assertEqual([len(v) for v in by_port.values()], [3, 3, 3])
        outcomes = {link: [(u["outcome"], u["result_code"]) for u in v] for link, v in by_port.items()}
        done = ("completed", 0)
        self.assertEqual(outcomes[handsets[0].link], [done, ("failed", 6), done])
        self.assertEqual(outcomes[handsets[1].link], [done, done, ("failed", 4)])
        self.assertEqual(outcomes[handsets[2].link], [done, done, done])
        self.assertEqual(by_port[handsets[2].link][0]["retries_blocks"], 2)

        sha = hashlib.sha256(read(release)).hexdigest()
        for u in units:
            self.assertEqual((u["station_id"], u["operator"], u["lot"]), ("S1", "ann", "L7"))
            self.assertEqual((u["release_sha256"], u["file_product_id"]), (sha, "KM52"))
            self.assertEqual((u["handset_product_id"], u["handset_block_size"]), ("KM52", BS))
            self.assertEqual((u["handset_checksum_kind"], u["mode"], u["speed"]), ("byte-sum", "erase", 115200))
            self.assertGreater(u["duration_ms"], 0)
            if u["outcome"] == "completed":
                self.assertEqual(u["expected_checksum"], u["reported_checksum"])
        wrong = by_port[handsets[1].link][2]
        self.assertEqual(wrong["reported_checksum"], wrong["expected_checksum"] ^ 0xFFFF)

        run_row = self.runs_in(run.record)[0]
        self.assertEqual((run_row["units_done"], run_row["units_failed"], run_row["exit_code"]), (9, 2, 20))
        # Every event names its port; every unit's result was shown once.
        self.assertTrue(all("port" in e for e in run.unit_ends()))
        self.assertEqual(sorted(e["sequence"] for e in run.unit_ends()), list(range(1, 10)))
        # Completed units hold the image; no handset was flashed twice.
        self.assertNotFlashedTwice(handsets)
        for h in handsets:
            for unit in h.report()["units"]:
                if unit["result"] == "completed":
                    self.assertEqual(read(unit["flashOut"])[:len(image)], image)

    def test_rearm_waits_for_the_handset_to_go(self):
        # The finished unit stays on the cable for 4 s, answering inquiries: the port must not
        # be armed again meanwhile, only after it has been silent for the re-arm silence.
        release, _ = self.image(2)
        handsets = self.handsets(1, units=2, stay=4000)
        run = self.station(release, [handsets[0].link], "--units", 2)
        self.assertEqual(run.wait(), 0, run.stderr())
        ends = run.unit_ends()
        self.assertEqual([e["outcome"] for e in ends], ["completed", "completed"])
        starts = [e for e in run.events if e.get("event") == "unit_start"]
        self.assertEqual(len(starts), 2)
        self.assertTrue(any(e.get("event") == "remove" for e in run.events))
        self.assertNotFlashedTwice(handsets)

    def test_hot_plug_and_a_port_lost_during_a_unit(self):
        release, image = self.image(6)
        # Port 1 vanishes during its first unit and comes back; port 2's adapter is plugged in
        # only after the station has started.
        first = self.handsets(1, "--unit-faults", "1:vanish-after-blocks=2", "--replug-ms", 1500, units=2)[0]
        late_link = self.path("late/ttyHANDSET")
        run = self.station(release, [first.link, late_link], "--units", 3)
        self.assertIsNotNone(run.wait_for(lambda e: e.get("port") == late_link and
                                          e.get("event") == "port" and e.get("state") == "waiting"))
        os.makedirs(self.path("late"))
        from harness import Handset
        late = Handset(self.path("late"), "--block-size", BS, "--erase-ms", 50, "--units", 1)
        self.addCleanup(late.__exit__, None, None, None)
        self.assertEqual(run.wait(), 20, run.stderr())
        units = self.units_in(run.record)
        lost = [u for u in units if u["outcome"] == "port-lost"]
        self.assertEqual([(u["port_selector"], u["result_code"]) for u in lost], [(first.link, 12)])
        completed = [u["port_selector"] for u in units if u["outcome"] == "completed"]
        self.assertEqual(sorted(completed), sorted([first.link, late_link]))

    def test_ctrl_c_records_the_units_in_progress_as_interrupted(self):
        release, _ = self.image(40)
        handsets = self.handsets(2, "--write-ms", 100)
        run = self.station(release, [h.link for h in handsets])
        for h in handsets:
            self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "progress" and e.get("phase") == "writing"))
        run.proc.send_signal(signal.SIGINT)
        self.assertEqual(run.wait(15), 130, run.stderr())
        units = self.units_in(run.record)
        self.assertEqual([(u["outcome"], u["result_code"]) for u in units], [("interrupted", 130)] * 2)
        self.assertEqual(self.runs_in(run.record)[0]["ending"], "interrupted")
        # Nothing more was sent: no unit of the handsets completed, and the ports open again.
        for h in handsets:
            self.assertTrue(all(u["result"] != "completed" for u in h.report().get("units", [])))
            fd = os.open(h.link, os.O_RDWR | os.O_NOCTTY)
            os.close(fd)

    def test_kill_of_the_station_and_of_one_worker(self):
        release, _ = self.image(30)
        # A handset whose worker died under it must be taken off before its port flashes again:
        # these are taken off 8 s after they were plugged in, whatever happened.
        handsets = self.handsets(2, "--write-ms", 60, "--unit-max-ms", 8000, units=4)
        run = self.station(release, [h.link for h in handsets], "--units", 8)
        # The first port's own unit is being written (on a busy machine the other port may be
        # writing while this one has not begun).
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "progress" and e.get("phase") == "writing"
                                          and e.get("port") == handsets[0].link))
        workers = self.workers_of(run.proc.pid)
        self.assertEqual(sorted(workers), sorted(h.link for h in handsets))
        # A worker killed in the middle of a unit: that unit fails, a fresh worker goes on.
        os.kill(workers[handsets[0].link], signal.SIGKILL)
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end" and e.get("result_code") == 13))
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end" and e.get("outcome") == "completed"
                                          and e.get("port") == handsets[0].link, timeout=60))
        # The station killed in the middle of units: its workers stop within 2 s.
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "progress" and e.get("phase") == "writing"))
        workers = list(self.workers_of(run.proc.pid).values())
        shown = {e["sequence"] for e in run.unit_ends()}
        run.proc.kill()
        run.proc.wait()
        killed = time.monotonic()
        while any(self.alive(w) for w in workers) and time.monotonic() - killed < 5:
            time.sleep(0.05)
        self.assertLess(time.monotonic() - killed, 2, "the workers outlived their station by 2 s")
        units = self.units_in(run.record)   # integrity_check passes
        self.assertTrue(shown <= {u["sequence"] for u in units})
        self.assertEqual(len({u["sequence"] for u in units}), len(units))
        for h in handsets:
            fd = os.open(h.link, os.O_RDWR | os.O_NOCTTY)  # the ports were closed
            os.close(fd)


if __name__ == "__main__":
    unittest.main()
