"""`tarvolo release` against Debian's minisign: what one signs the other verifies, both with
keys of either's making; one flipped bit of the file, the signature or the trusted comment
is refused by both, for the reason it is; minisign's encrypted secret key signs."""
import os
import shutil
import unittest

from signing_case import SigningCase, edit_signature, flip_byte, flipped


class Interop(SigningCase):
    def assertBothRefuse(self, release, pub, reason):
        sig = release + ".minisig"
        by_minisign = self.minisign("-V", "-q", "-m", release, "-x", sig, "-p", pub)
        self.assertNotEqual(by_minisign.returncode, 0, by_minisign.stdout)
        by_tarvolo = self.tarvolo("release", "verify", release, "--pubkey", pub)
        self.assertEqual(by_tarvolo.returncode, 1, by_tarvolo.stdout)
        self.assertIn(reason, by_tarvolo.stderr)

    def assertBothAccept(self, release, pub):
        by_minisign = self.minisign("-V", "-m", release, "-p", pub)
        self.assertEqual(by_minisign.returncode, 0, by_minisign.stderr)
        by_tarvolo = self.tarvolo("release", "verify", release, "--pubkey", pub)
        self.assertEqual(by_tarvolo.returncode, 0, by_tarvolo.stderr)
        return by_minisign.stdout, by_tarvolo.stdout

    def tampered_three_ways(self, release, pub):
        """Flips a bit of the file, of the signature, of the trusted comment in turn (each on a
        fresh copy of the pair): both tools refuse each."""
        sig = release + ".minisig"
        pristine = {p: open(p, "rb").read() for p in (release, sig)}

        def restore():
            for p, data in pristine.items():
                with open(p, "wb") as f:
                    f.write(data)

        flip_byte(release, os.path.getsize(release) - 3)
        self.assertBothRefuse(release, pub, "bad signature")
        restore()
        edit_signature(sig, 1, lambda b: flipped(b, 40))
        self.assertBothRefuse(release, pub, "bad signature")
        restore()
        edit_signature(sig, 2, lambda line: line.replace("KM52", "KM53") if "KM52" in line else line + "x")
        self.assertBothRefuse(release, pub, "comment tampered")
        restore()
        edit_signature(sig, 3, lambda b: flipped(b, 5))
        self.assertBothRefuse(release, pub, "comment tampered")
        restore()
        self.assertBothAccept(release, pub)

    def test_tarvolo_signs_minisign_verifies(self):
        key, pub = self.keygen("quality")
        self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)
        release = self.release()
        done = self.tarvolo("release", "sign", release, "--key", key, "--release-name", "KM52 v3.1", "--note", "line 4")
        self.assertEqual(done.returncode, 0, done.stderr)
        by_minisign, by_tarvolo = self.assertBothAccept(release, pub)
        for text in (by_minisign, by_tarvolo):
            self.assertIn("file:app.rel", text.replace("\\x09", "\t"))
            self.assertIn("product:KM52", text)
            self.assertIn("release:KM52 v3.1", text)
            self.assertIn("note:line 4", text)
        self.tampered_three_ways(release, pub)
        # A key the verifier was not given: refused by name.
        _, other = self.keygen("other")
        refused = self.tarvolo("release", "verify", release, "--pubkey", other)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("unknown key", refused.stderr)
        # minisign signs with tarvolo's (unencrypted) secret key; tarvolo verifies.
        copy = self.path("copy.rel")
        shutil.copy(release, copy)
        done = self.minisign("-S", "-s", key, "-m", copy, "-t", "product:KM52\trelease:by minisign")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertBothAccept(copy, pub)

    def test_minisign_signs_tarvolo_verifies(self):
        done = self.minisign("-G", "-W", "-p", self.path("m.pub"), "-s", self.path("m.key"))
        self.assertEqual(done.returncode, 0, done.stderr)
        release = self.release()
        done = self.minisign("-S", "-s", self.path("m.key"), "-m", release, "-t", "product:KM52\trelease:r9")
        self.assertEqual(done.returncode, 0, done.stderr)
        _, by_tarvolo = self.assertBothAccept(release, self.path("m.pub"))
        self.assertIn("release:r9", by_tarvolo)
        self.tampered_three_ways(release, self.path("m.pub"))
        # tarvolo signs with minisign's secret key; a folder of keys holds the public one.
        os.mkdir(self.path("keys"))
        shutil.copy(self.path("m.pub"), self.path("keys"))
        done = self.tarvolo("release", "sign", release, "--key", self.path("m.key"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertBothAccept(release, self.path("m.pub"))
        self.assertEqual(self.tarvolo("release", "verify", release, "--pubkey", self.path("keys")).returncode, 0)
        # A comment naming another product: signed, but not for this file.
        done = self.minisign("-S", "-s", self.path("m.key"), "-m", release, "-t", "product:XY99")
        refused = self.tarvolo("release", "verify", release, "--pubkey", self.path("m.pub"))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("product mismatch", refused.stderr)
        # The legacy form (the whole file signed, minisign -l) still verifies.
        done = self.minisign("-S", "-l", "-s", self.path("m.key"), "-m", release, "-t", "product:KM52")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertBothAccept(release, self.path("m.pub"))

    def test_minisign_encrypted_key(self):
        # minisign's default: the secret key under scrypt at 1 GiB; tarvolo decrypts it the
        # same way, and refuses a wrong password as such.
        done = self.minisign("-G", "-p", self.path("e.pub"), "-s", self.path("e.key"), stdin="pass 1\npass 1\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        release = self.release()
        for name, text in (("good.txt", "pass 1\n"), ("bad.txt", "pass 2\n")):
            with open(self.path(name), "w") as f:
                f.write(text)
        wrong = self.tarvolo("release", "sign", release, "--key", self.path("e.key"), "--password-file",
                             self.path("bad.txt"))
        self.assertEqual(wrong.returncode, 1)
        self.assertIn("wrong password", wrong.stderr)
        self.assertFalse(os.path.exists(release + ".minisig"))
        done = self.tarvolo("release", "sign", release, "--key", self.path("e.key"), "--password-file",
                            self.path("good.txt"))
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertBothAccept(release, self.path("e.pub"))


if __name__ == "__main__":
    unittest.main()
