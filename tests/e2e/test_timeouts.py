"""The waits the protocol itself forces: a lost acknowledgement (10 s before the block goes
again) and an abort the handset never answers (10 s, the abort again, 10 s, then the reason's
result). Each class is a ctest entry of its own so that they wait side by side."""
import unittest

from e2e_case import ABORT_UNANSWERED, E2ECase, byte_sum, data_block

BS = 256
MULTIPLE_TIMEOUTS = ("\nMultiple timeouts have occurred, waiting for a mobile response\r\n"
                     "Check that the cable is still attached.\r\nIf download doesn't continue, "
                     "select 'Abort'\r\n")


class DroppedAck(E2ECase):
    def test_lost_acknowledgement_is_retried_after_10_s(self):
        release, image = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, "--drop-acks", "1@2", image_blocks=3)
        run = self.download(release, h.link, "--mode", "normal")
        self.assertCompleted(run, h, image, byte_sum(image))
        phases = run.texts("phase")
        at = phases.index("\nWriting block # 2 of 3 - retry # 1\r\n")
        self.assertEqual(phases[at - 1], "\nWriting block # 2 of 3 (66%)\r\n")
        self.assertEqual(phases[at + 1], "\nWriting block # 3 of 3 (100%)\r\n")
        self.assertNotIn(MULTIPLE_TIMEOUTS, run.texts("advice"))
        self.assertGreaterEqual(run.seconds, 10)
        self.assertEqual(h.report()["retries"]["write"], 1)


class UnansweredAbort(E2ECase):
    """The abort goes out twice, 10 s apart, and the reason's result follows 10 s later."""

    def assertGaveUp(self, run, handset, code, phase):
        self.assertEnded(run, code, phase=phase, advice=ABORT_UNANSWERED)
        self.assertGreaterEqual(run.seconds, 20)
        self.assertLess(run.seconds, 35)
        self.assertHandsetClean(handset)
        self.assertEqual(handset.report()["frames"]["abort"], 2)


class ChecksumAbortUnanswered(UnansweredAbort):
    def test_wrong_checksum_ends_with_6(self):
        release, _ = self.release([data_block(BS, n) for n in range(2)])
        h = self.handset("--block-size", BS, "--wrong-checksum", 1, "--unanswered-abort",
                         image_blocks=2)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertGaveUp(run, h, 6, "\nChecksum failed - Aborting\r\n")


class ProductAbortUnanswered(UnansweredAbort):
    def test_product_id_mismatch_ends_with_2(self):
        release, _ = self.release([data_block(BS, 0)], product_id=b"AB12")
        h = self.handset("--block-size", BS, "--unanswered-abort")
        run = self.download(release, h.link, "--speed", 38400)
        self.assertGaveUp(run, h, 2, "\nAborted - Product ID mismatch\r\nMobile's ID: KM52\r\n"
                                     "File's   ID: AB12\r\n")
        # The abort goes out at the chosen speed.
        self.assertEqual(h.report()["speeds"][-1], 38400)


class CodeAbortUnanswered(UnansweredAbort):
    def test_incompatible_download_code_ends_with_8(self):
        release, _ = self.release([data_block(BS, 0)])
        h = self.handset("--block-size", BS, "--download-code", "UPLOAD7", "--unanswered-abort")
        run = self.download(release, h.link)
        self.assertGaveUp(run, h, 8, "\nAborted - Incompatible download code\r\n"
                                     "Mobile code : UPLOAD7.x\r\nThis program: DOWNLD1.0\r\n")


if __name__ == "__main__":
    unittest.main()
