"""Faults of the handset that the host rides out or that end the download at once: refused
erases and blocks, wrong acknowledgements, noise, a refused completion, a wrong checksum."""
import unittest

from e2e_case import ABORT_ANSWERED, CHECKSUMMING, E2ECase, byte_sum, crc_x25, data_block

BS = 256
ERASE_NAKS = ("\nMultiple erase NAKs have been received\r\n"
              "Check the cable, otherwise press Esc to abort\r\n")


class RiddenOut(E2ECase):
    """Faults after which the download still completes with the image in the flash."""

    def image(self, blocks=4):
        return self.release([data_block(BS, n) for n in range(blocks)])

    def test_five_erase_refusals_show_the_nak_text_once(self):
        release, image = self.image()
        h = self.handset("--block-size", BS, "--erase-refusals", 5, "--erase-ms", 20, image_blocks=4)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertEqual(run.texts("advice").count(ERASE_NAKS), 1)
        self.assertCompleted(run, h, image, byte_sum(image))
        self.assertEqual(h.report()["faults"]["eraseRefusals"], 5)

    def test_refused_blocks_are_sent_again(self):
        release, image = self.image()
        h = self.handset("--block-size", BS, "--block-refusals", "2@2", image_blocks=4)
        run = self.download(release, h.link, "--mode", "normal")
        self.assertCompleted(run, h, image, byte_sum(image))
        phases = run.texts("phase")
        self.assertEqual(phases.count("\nWriting block # 2 of 4\r\n"), 2)
        self.assertLess(phases.index("\nWriting block # 2 of 4 (50%)\r\n"),
                        phases.index("\nWriting block # 2 of 4\r\n"))

    def test_wrong_block_number_repeats_the_block(self):
        release, image = self.image()
        h = self.handset("--block-size", BS, "--protocol", 0, "--wrong-block-numbers", "1@3",
                         image_blocks=4)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, crc_x25(image))
        phases = run.texts("phase")
        self.assertEqual(phases.count("\nRepeat  block # 3\r\n"), 1)
        at = phases.index("\nRepeat  block # 3\r\n")
        self.assertEqual(phases[at - 1:at + 2], ["\nWriting block # 3 of 4 (75%)\r\n",
                                                  "\nRepeat  block # 3\r\n",
                                                  "\nWriting block # 4 of 4 (100%)\r\n"])

    def test_noise_before_every_answer(self):
        release, image = self.image()
        h = self.handset("--block-size", BS, "--noise", "all", "--noise-bytes", 40, image_blocks=4)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, byte_sum(image))
        self.assertGreater(h.report()["faults"]["noise"], 6)


class Ended(E2ECase):
    """Faults at the end of the download that end it with a result other than 0."""

    def test_refused_completion_ends_with_6(self):
        release, _ = self.release([data_block(BS, n) for n in range(2)])
        h = self.handset("--block-size", BS, "--completion-refusals", 1, image_blocks=2)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertEnded(run, 6, phase="\nComplete response NAK - Download terminated\r\n")
        self.assertEqual(h.report()["frames"].get("abort", 0), 0)
        self.assertHandsetClean(h)

    def test_wrong_checksum_is_aborted_and_acknowledged(self):
        release, _ = self.release([data_block(BS, n) for n in range(2)])
        h = self.handset("--block-size", BS, "--wrong-checksum", 1, image_blocks=2)
        run = self.download(release, h.link, "--mode", "normal", "--speed", 57600)
        self.assertEnded(run, 4, phase="\nChecksum failed - Aborting\r\n", advice=ABORT_ANSWERED)
        phases = run.texts("phase")
        self.assertEqual(phases[-2:], [CHECKSUMMING, "\nChecksum failed - Aborting\r\n"])
        self.assertHandsetClean(h)


if __name__ == "__main__":
    unittest.main()
