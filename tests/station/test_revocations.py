"""The signed revocation list at a station: a release revoked while the station runs stops
arming within the re-check period; a station started on a revoked release refuses it; an
older list put back (a replay) and a list deleted are refused. With the central database
unreachable, the signed files stand in for the unsigned copy of the approvals: an edited copy
approves nothing, and a revocation list older than --approval-max-age stops arming."""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import time
import unittest

from station_case import StationCase
from harness import bin_dir


class Revocations(StationCase):
    def release_tool(self, *args):
        done = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "release", *[str(a) for a in args]],
                              capture_output=True, text=True, cwd=self.work, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return done.stdout

    def signed(self, name, blocks):
        release, _ = self.image(blocks)
        path = self.path(name)
        shutil.move(release, path)
        self.release_tool("sign", path, "--key", self.key)
        return path

    def revoke(self, release):
        return self.release_tool("revoke", release, "--key", self.key, "--list", self.list)

    def test_revoked_while_running_at_start_and_old_lists_refused(self):
        os.makedirs(self.path("keys"))
        self.key = self.path("quality.key")
        self.list = self.path("keys/revocations.list")
        self.release_tool("keygen", "--key", self.key, "--pubkey", self.path("keys/quality.pub"))
        first, second, third = (self.signed(n, b) for n, b in (("a.rel", 2), ("b.rel", 3), ("c.rel", 4)))
        self.assertIn("is list 1", self.revoke(third))
        os.makedirs(self.path("list1"))
        for name in ("revocations.list", "revocations.list.minisig"):
            shutil.copy(self.path("keys/" + name), self.path("list1"))

        handsets = self.handsets(1, units=3, stay=1500)
        run = self.station(first, [handsets[0].link], "--units", 3, "--trusted-keys", self.path("keys"),
                           "--approval-check-ms", 200)
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end"), run.stderr())
        self.assertIn("is list 2", self.revoke(first))
        hold = run.wait_for(lambda e: e.get("event") == "revocation_hold", timeout=10)
        self.assertIsNotNone(hold)
        self.assertIn("revoked", hold["reason"])
        self.assertIn("revocation list 2", hold["reason"])
        time.sleep(4)  # long enough for the next handset to have been armed
        self.assertEqual(len([e for e in run.events if e.get("event") == "unit_start"]), 1)
        run.proc.send_signal(signal.SIGTERM)
        self.assertEqual(run.wait(), 130)

        run = self.station(first, [handsets[0].link], "--units", 1, "--trusted-keys", self.path("keys"))
        self.assertEqual(run.wait(30), 1)
        self.assertIn(first + ": revoked", run.stderr())
        # List 1 put back: older than list 2, which this station has seen.
        for name in ("revocations.list", "revocations.list.minisig"):
            shutil.copy(self.path("list1/" + name), self.path("keys"))
        run = self.station(second, [handsets[0].link], "--units", 1, "--trusted-keys", self.path("keys"))
        self.assertEqual(run.wait(30), 1)
        self.assertIn("revocation list 1 from " + self.list + " is older than list 2", run.stderr())
        # Edited by hand: its signature fails. Deleted: refused as well.
        with open(self.list, "a") as f:
            f.write("0" * 64 + "\tKM52\t2026-01-01T00:00:00Z\tx\n")
        run = self.station(second, [handsets[0].link], "--units", 1, "--trusted-keys", self.path("keys"))
        self.assertEqual(run.wait(30), 1)
        self.assertIn("revocation list " + self.list + ": bad signature", run.stderr())
        for name in ("revocations.list", "revocations.list.minisig"):
            os.remove(self.path("keys/" + name))
        run = self.station(second, [handsets[0].link], "--units", 1, "--trusted-keys", self.path("keys"))
        self.assertEqual(run.wait(30), 1)
        self.assertIn("no revocation list at " + self.list, run.stderr())

    def test_offline_approval_by_the_signed_files_not_the_copy_and_its_age(self):
        os.makedirs(self.path("keys"))
        self.key = self.path("quality.key")
        self.list = self.path("keys/revocations.list")
        self.release_tool("keygen", "--key", self.key, "--pubkey", self.path("keys/quality.pub"))
        release = self.signed("a.rel", 2)
        record = self.path("offline.db")
        # The copy beside the record, edited to approve the release moments ago: not believed.
        with open(release, "rb") as f:
            data = f.read()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime())
        with open(record + ".approvals.json", "w") as f:
            json.dump({"fetched_utc": stamp, "releases": [{
                "sha256": hashlib.sha256(data).hexdigest(), "product_id": "KM52", "release_file": release,
                "approved_by": "qa", "approved_utc": stamp, "revoked_by": "", "revoked_utc": ""}]}, f)
        dead = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=tarvolo;Uid=postgres;"
        handsets = self.handsets(1, units=4)
        offline = ("--require-approval", "--central", dead, "--trusted-keys", self.path("keys"),
                   "--approval-max-age", 0.0001)  # 8.6 s
        run = self.station(release, [handsets[0].link], "--units", 4, *offline, record=record)
        self.assertEqual(run.wait(30), 1)
        self.assertIn("no signed revocation list vouches", run.stderr())
        # A list issued now: the signature approves the release until the list is 8.6 s old.
        self.assertIn("issued again", self.release_tool("revoke", "--refresh", "--key", self.key, "--list", self.list))
        run = self.station(release, [handsets[0].link], "--units", 4, *offline, record=record)
        self.assertIsNotNone(run.wait_for(lambda e: e.get("event") == "unit_end"), run.stderr())
        hold = run.wait_for(lambda e: e.get("event") == "central_hold", 30)
        self.assertIsNotNone(hold)
        started = len([e for e in run.events if e.get("event") == "unit_start"])
        time.sleep(4)  # long enough for the next handset to have been armed
        self.assertEqual(len([e for e in run.events if e.get("event") == "unit_start"]), started)
        self.assertIn("revocation list 1 was issued at", hold["reason"])
        self.assertIn("--approval-max-age", hold["reason"])
        run.proc.send_signal(signal.SIGTERM)
        self.assertEqual(run.wait(), 130)
        self.assertIn("approved by its signature", run.stderr())
        run = self.station(release, [handsets[0].link], "--units", 1, *offline, record=record)
        self.assertEqual(run.wait(30), 1)
        self.assertIn("revocation list 1 was issued at", run.stderr())


if __name__ == "__main__":
    unittest.main()
