"""A station with trusted keys: each kind of bad release (no signature, bad signature, unknown
key, comment tampered, product mismatch) is refused with exit 1, naming the file, the key and
why, before any port is opened (the handset on the port receives nothing); a good one flashes;
--signatures warn says what is wrong and flashes all the same. A unit of a signed release keeps
the key id and release name in the record (one of version 7 is brought up to date for it), and
`tarvolo log` shows them."""
import json
import os
import shutil
import sqlite3
import subprocess
import unittest

from station_case import StationCase
from harness import bin_dir, make_empty_record, record_schema_version


class Signatures(StationCase):
    def release_tool(self, *args):
        done = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "release", *[str(a) for a in args]],
                              capture_output=True, text=True, cwd=self.work, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)

    def keys(self):
        """The quality key (trusted: its .pub in keys/) and another one."""
        os.makedirs(self.path("keys"))
        self.release_tool("keygen", "--key", self.path("quality.key"), "--pubkey", self.path("keys/quality.pub"))
        self.release_tool("keygen", "--key", self.path("other.key"), "--pubkey", self.path("other.pub"))
        with open(self.path("keys/quality.pub")) as f:
            return self.path("quality.key"), f.readline().split()[-1]

    def signed_copy(self, release, name, key):
        path = self.path(name)
        shutil.copy(release, path)
        self.release_tool("sign", path, "--key", key, "--release-name", "R-" + name)
        return path

    def test_refusals_before_any_port_then_a_good_release_and_warn_mode(self):
        quality, quality_id = self.keys()
        release, _ = self.image(2)
        unsigned = self.path("unsigned.rel")
        shutil.copy(release, unsigned)
        bad_file = self.signed_copy(release, "badfile.rel", quality)
        with open(bad_file, "r+b") as f:
            f.seek(-1, os.SEEK_END)
            last = f.read(1)
            f.seek(-1, os.SEEK_END)
            f.write(bytes([last[0] ^ 0xFF]))
        unknown = self.signed_copy(release, "unknown.rel", self.path("other.key"))
        tampered = self.signed_copy(release, "tampered.rel", quality)
        with open(tampered + ".minisig") as f:
            text = f.read()
        with open(tampered + ".minisig", "w") as f:
            f.write(text.replace("release:R-tampered.rel", "release:R-approved"))
        # Signed by the quality key (with minisign) under a trusted comment for another product.
        other_product = self.path("other_product.rel")
        shutil.copy(release, other_product)
        done = subprocess.run(["minisign", "-S", "-s", quality, "-m", other_product, "-t", "product:XY99"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)

        refusing = self.handsets(1, units=1)[0]
        cases = [(unsigned, "no signature", None), (bad_file, "bad signature", quality_id),
                 (unknown, "unknown key", None), (tampered, "comment tampered", quality_id),
                 (other_product, "product mismatch", quality_id)]
        for path, why, key_id in cases:
            run = self.station(path, [refusing.link], "--units", 1, "--trusted-keys", self.path("keys"))
            self.assertEqual(run.wait(30), 1, path)
            err = run.stderr()
            self.assertIn("refused: " + path + ": " + why, err)
            if key_id:
                self.assertIn(key_id, err)
            self.assertEqual(run.events, [], path)
            self.assertFalse(os.path.exists(run.record), path)
        self.assertIn("for product XY99, the file is for KM52", err)
        refusing.stop()
        report = refusing.report()
        self.assertEqual((report["frames"], report["downloads"]), ({}, []))

        # A handset each: the first unit may stay on its cable after the first station has ended.
        flashing, warned = self.handsets(2, units=1)
        good = self.signed_copy(release, "good.rel", quality)
        old_record = self.path("version7.db")
        make_empty_record(old_record, version=7)
        run = self.station(good, [flashing.link], "--units", 1, "--trusted-keys", self.path("keys"),
                           record=old_record)
        code, err = run.wait(), run.stderr()
        self.assertEqual(code, 0, err)
        self.assertIn(good + ": signed by key " + quality_id + " for product KM52, release R-good.rel", err)
        self.assertEqual([e["outcome"] for e in run.unit_ends()], ["completed"])
        self.check_signer_in_log(old_record, quality_id)
        run = self.station(unsigned, [warned.link], "--units", 1, "--trusted-keys", self.path("keys"),
                           "--signatures", "warn", record=self.path("warned.db"))
        code, err = run.wait(), run.stderr()
        self.assertEqual(code, 0, err)
        self.assertIn("warning: " + unsigned + ": no signature", err)
        self.assertEqual([e["outcome"] for e in run.unit_ends()], ["completed"])
        self.assertNotFlashedTwice([flashing, warned])
        self.check_signer_in_log(self.path("warned.db"), None)

    def check_signer_in_log(self, record, key_id):
        done = subprocess.run([os.path.join(bin_dir(), "tarvolo"), "log", "--db", record, "--json"],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        units = json.loads(done.stdout)["units"]
        self.assertEqual([(u["signing_key_id"], u["signed_release"]) for u in units],
                         [(key_id, "R-good.rel" if key_id else None)])
        db = sqlite3.connect(record)
        self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], record_schema_version())
        db.close()


if __name__ == "__main__":
    unittest.main()
