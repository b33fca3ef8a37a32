"""The station's promises when nobody watches: every option value checked; a handset flashed
at most once per plugging even when its worker dies or hangs under it; a handset pulled off
mid-download does not block its port; SIGTERM and SIGHUP to the whole group stop it as Ctrl-C
does; a release copy that vanishes stops it with one message; a full disk under the record
still shows the unit's result; the release copy is private and cleaned up."""
import glob
import os
import signal
import stat
import subprocess
import time
import unittest

from station_case import StationCase, bin_dir

# Limits short enough for a test: a worker silent for 3 s is hung; a handset silent for 2 s
# (and past one of the engine's time-outs) has stopped answering.
FAST = ["--worker-silence-ms", 3000, "--handset-silence-ms", 2000]


def event(kind, **fields):
    return lambda e: e.get("event") == kind and all(e.get(k) == v for k, v in fields.items())


class StationPromises(StationCase):
    def tarvolo(self, *args):
        return subprocess.run([os.path.join(bin_dir(), "tarvolo")] + [str(a) for a in args],
                              capture_output=True, text=True, cwd=self.work, timeout=30)

    def test_every_option_value_is_checked(self):
        release, _ = self.image(1)
        open(self.path("dev"), "w").close()
        os.symlink(self.path("dev"), self.path("link"))
        cases = [
            (["--rearm-silence", "nan", "--ports", "x"], "--rearm-silence"),
            (["--rearm-silence", "inf", "--ports", "x"], "--rearm-silence"),
            (["--ports", "a,,b"], "--ports"),
            (["--ports", "x", "--log", ""], "--log"),
            (["--ports", "%s,%s" % (self.path("dev"), self.path("link"))], "one port twice"),
        ]
        for args, named in cases:
            done = self.tarvolo("station", *args, release)
            self.assertEqual(done.returncode, 64, (args, done.stderr))
            self.assertIn(named, done.stderr, args)
        done = self.tarvolo("download", "--port", "", release)
        self.assertEqual(done.returncode, 64, done.stderr)

    def test_a_worker_that_dies_or_hangs_mid_download(self):
        # Port 1's worker is killed with SIGSEGV, port 2's stopped with SIGSTOP, both while
        # their first handset is being written; each handset stays on its cable for a while.
        release, _ = self.image(30)
        handsets = self.handsets(2, "--write-ms", 80, "--unit-max-ms", 9000, units=2)
        links = [h.link for h in handsets]
        run = self.station(release, links, "--units", 4, *FAST)
        for link in links:
            self.assertIsNotNone(run.wait_for(event("progress", port=link, phase="writing")))
        workers = self.workers_of(run.proc.pid)
        os.kill(workers[links[0]], signal.SIGSEGV)
        os.kill(workers[links[1]], signal.SIGSTOP)
        self.assertIsNotNone(run.wait_for(event("worker_hung", port=links[1]), timeout=20))
        self.assertEqual(run.wait(90), 20, run.stderr())

        units = self.units_in(run.record)
        got = {link: [(u["outcome"], u["result_code"]) for u in units if u["port_selector"] == link]
               for link in links}
        self.assertEqual(got[links[0]], [("failed", 13), ("completed", 0)])
        self.assertEqual(got[links[1]], [("failed", 15), ("completed", 0)])
        # The fresh workers asked for the handset still on the cable to go before arming.
        for link in links:
            self.assertTrue(any(e.get("event") == "remove" and e.get("port") == link for e in run.events))
        for h in handsets:
            h.stop()
            self.assertEqual([u["downloadsStarted"] for u in h.report()["units"]], [1, 1])
        self.assertNotFlashedTwice(handsets)

    def test_a_handset_pulled_off_mid_download(self):
        # The first handset leaves after two blocks, the adapter stays: the unit fails as the
        # handset's silence, the port re-arms and flashes the next handset.
        release, _ = self.image(6)
        handsets = self.handsets(1, "--unit-faults", "1:leave-after-blocks=2", units=2)
        run = self.station(release, [handsets[0].link], "--units", 2, *FAST)
        self.assertEqual(run.wait(60), 20, run.stderr())
        ends = run.unit_ends()
        self.assertEqual([(e["outcome"], e["result_code"]) for e in ends], [("failed", 14), ("completed", 0)])
        self.assertEqual(ends[0]["result_meaning"], "the handset stopped answering")
        self.assertNotFlashedTwice(handsets)

    def test_sigterm_and_sighup_to_the_group(self):
        release, _ = self.image(40)
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig):
                handsets = self.handsets(2, "--write-ms", 100, units=1)
                record = self.path("record-%d.db" % sig)
                run = self.station(release, [h.link for h in handsets], record=record, new_group=True)
                for h in handsets:
                    self.assertIsNotNone(run.wait_for(event("progress", port=h.link, phase="writing")))
                os.killpg(run.proc.pid, sig)
                self.assertEqual(run.wait(15), 130, run.stderr())
                self.assertEqual([(u["outcome"], u["result_code"]) for u in self.units_in(record)],
                                 [("interrupted", 130)] * 2)
                self.assertFalse([e for e in run.events if e.get("event") == "worker_ended"])
                self.assertEqual(self.runs_in(record)[0]["ending"], "interrupted")
                for h in handsets:
                    h.stop()

    def test_the_release_copy_is_private_cleaned_up_and_missed(self):
        temp = self.path("tmp")
        os.makedirs(temp)
        left = os.path.join(temp, "tarvolo-station-%d-1" % self.dead_pid())
        os.makedirs(left)
        open(os.path.join(left, "release.rel"), "w").close()
        os.chmod(self.path("."), 0o755)
        release, _ = self.image(2)
        os.chmod(release, 0o600)
        handsets = self.handsets(1, units=3, stay=500)
        run = self.station(release, [handsets[0].link], env={"TMPDIR": temp})
        self.assertIsNotNone(run.wait_for(event("unit_end", outcome="completed")))
        self.assertFalse(os.path.exists(left), "a copy left by a station gone stays")
        [folder] = glob.glob(os.path.join(temp, "tarvolo-station-%d-*" % run.proc.pid))
        copy = os.path.join(folder, "release.rel")
        self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700)
        self.assertEqual(stat.S_IMODE(os.stat(copy).st_mode), 0o400)
        # A temporary-folder cleaner removes the copy: one message and the station stops.
        os.chmod(folder, 0o700)
        os.unlink(copy)
        code, err = run.wait(60), run.stderr()
        self.assertEqual(code, 1, err)
        self.assertIn("release file's copy", err)
        self.assertLessEqual(len([e for e in run.events if e.get("event") == "worker_ended"]), 1)
        self.assertEqual(os.listdir(temp), [])

    def test_left_folders_that_are_links_or_others_are_not_touched(self):
        # What a local user can plant in the shared temporary folder of a station run as root:
        # a dead station's folder whose copy is a link to another file, a link named like a
        # station's folder, and a folder of their own under such a name.
        temp = self.path("tmp")
        os.makedirs(temp)
        os.chmod(temp, 0o1777)
        dead = self.dead_pid()
        victim = self.path("victim")
        open(victim, "w").close()
        os.chmod(victim, 0o644)
        victim_dir = self.path("victim-dir")
        os.makedirs(victim_dir)
        linked = os.path.join(temp, "tarvolo-station-%d-1" % dead)
        os.makedirs(linked)
        os.symlink(victim, os.path.join(linked, "release.rel"))
        os.symlink(victim_dir, os.path.join(temp, "tarvolo-station-%d-2" % dead))
        foreign = os.path.join(temp, "tarvolo-station-%d-3" % dead)
        os.makedirs(foreign)
        os.chown(foreign, 65534, 65534)
        release, _ = self.image(2)
        handsets = self.handsets(1, units=1)
        run = self.station(release, [handsets[0].link], "--units", 1, env={"TMPDIR": temp})
        self.assertEqual(run.wait(60), 0, run.stderr())
        self.assertEqual(stat.S_IMODE(os.stat(victim).st_mode), 0o644, "a link's target was changed")
        self.assertFalse(os.path.lexists(linked), "the dead station's own folder stays")
        self.assertEqual(sorted(os.listdir(temp)), ["tarvolo-station-%d-2" % dead, "tarvolo-station-%d-3" % dead],
                         "only the station's own plain folders go")

    def test_the_record_disk_filling_up(self):
        disk = self.path("disk")
        os.makedirs(disk)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs (needs root)")
        self.addCleanup(subprocess.run, ["umount", "-l", disk])
        release, _ = self.image(4)
        handsets = self.handsets(1, units=3, stay=500)
        run = self.station(release, [handsets[0].link], record=os.path.join(disk, "record.db"))
        self.assertIsNotNone(run.wait_for(event("unit_end", recorded=True)))
        with open(os.path.join(disk, "filler"), "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError:
                pass
        self.assertEqual(run.wait(60), 73, run.stderr())
        # The unit flashed after the disk filled is shown all the same, with why it is not recorded.
        lost = [e for e in run.unit_ends() if not e["recorded"]]
        self.assertEqual([(e["sequence"], e["outcome"]) for e in lost], [(2, "completed")])
        self.assertIn("full", lost[0]["reason"])

    @staticmethod
    def dead_pid():
        pid = 4000000
        while os.path.exists("/proc/%d" % pid):
            pid += 1
        return pid


if __name__ == "__main__":
    unittest.main()
