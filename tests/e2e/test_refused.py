"""Downloads that never start writing: a record the host refuses, a mode it cannot do, no
handset, no port, no release file. Each ends with its own exit code and leaves nothing open."""
import unittest

from e2e_case import ABORT_ANSWERED, WAITING, E2ECase, data_block

BS = 256


class RefusedRecord(E2ECase):
    """The handset answers the abort, so each of these ends with 4 after its reason."""

    def refuse(self, *handset_args, mode="erase"):
        release, _ = self.release([data_block(BS, 0)])
        h = self.handset("--block-size", BS, *handset_args)
        run = self.download(release, h.link, "--mode", mode)
        self.assertHandsetClean(h)
        report = h.report()
        self.assertEqual(report["frames"].get("write", 0), 0)
        self.assertEqual(report["frames"].get("erase", 0), 0)
        self.assertEqual(report["frames"]["abort"], 1)
        return run

    def test_product_id_mismatch(self):
        run = self.refuse("--product-id", "XY99")
        self.assertEnded(run, 4, advice=ABORT_ANSWERED,
                         phase="\nAborted - Product ID mismatch\r\nMobile's ID: XY99\r\n"
                               "File's   ID: KM52\r\n")

    def test_crc_handset_needs_erase_mode(self):
        run = self.refuse("--protocol", 0, mode="normal")
        self.assertEnded(run, 4, advice=ABORT_ANSWERED,
                         phase="\nAborted - Incompatible download code\r\n"
                               "Use the Erase and Download option\r\n")

    def test_patch_mode_is_not_available(self):
        run = self.refuse(mode="patch")
        self.assertEnded(run, 4, advice=ABORT_ANSWERED,
                         phase="\nAborted - Patch flash is not available\r\n"
                               "Use the Erase and Download option\r\n")


class NothingToTalkTo(E2ECase):
    def test_silent_handset_gives_up(self):
        release, _ = self.release([data_block(BS, 0)])
        h = self.handset("--silent", "inquiry")
        run = self.download(release, h.link, "--give-up-after", 1)
        self.assertEqual(run.code, 11, run.stdout + run.stderr)
        self.assertEqual(run.results(), [])
        self.assertEqual(run.last["phase"], WAITING)
        self.assertLess(run.seconds, 10)
        # The port was let go: another download gets it at once.
        run = self.download(release, h.link, "--give-up-after", 1)
        self.assertEqual(run.code, 11, run.stdout + run.stderr)
        self.assertHandsetClean(h)
        self.assertGreater(h.report()["frames"]["inquiry"], 5)

    def test_port_that_cannot_be_opened(self):
        release, _ = self.release([data_block(BS, 0)])
        run = self.download(release, self.path("no-such-tty"))
        self.assertEqual(run.code, 10)
        self.assertIn("no-such-tty", run.stderr)
        self.assertEqual(run.events, [])

    def test_missing_release_file(self):
        h = self.handset()
        run = self.download(self.path("missing.rel"), h.link)
        self.assertEqual(run.code, 1)
        self.assertIn("missing.rel", run.stderr)
        self.assertHandsetClean(h)
        self.assertEqual(h.report()["frames"].get("inquiry", 0), 0)


if __name__ == "__main__":
    unittest.main()
