"""Completed downloads: both modes, both checksum kinds, both payload forms, gang mode, and
release files whose image has blank blocks and a short last piece."""
import subprocess
import unittest

from e2e_case import (CHECKSUMMING, ERASING, EXCHANGING, WAITING, E2ECase, byte_sum, crc_x25,
                      data_block)

BS = 256


def rle_blocks():
    """Blocks that exercise every token form with the escape byte 0x00."""
    mixed = (b"A" * 300 + b"\x00" + b"BBBB" + b"CCC" + b"\x00\x00\x00" + b"\xff" * 5 +
             b"D" * 255 + b"E" * 256 + b"F" * 259)
    mixed = (mixed + bytes(range(1, 256)) * 4)[:BS * 2]
    return [mixed[:BS], mixed[BS:], b"\x00" * BS, b"\xff" * BS, b"\x41" * BS,
            bytes(i % 3 for i in range(BS))]


class Modes(E2ECase):
    def test_erase_mode_with_byte_sum(self):
        release, image = self.release([data_block(BS, n) for n in range(4)])
        h = self.handset("--block-size", BS, "--protocol", 1, image_blocks=4)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, byte_sum(image))
        phases = run.texts("phase")
        self.assertEqual(phases[:3], [WAITING, EXCHANGING, ERASING])
        self.assertEqual([t for t in phases if t.startswith("\nWriting")],
                         ["\nWriting block # %d of 4 (%d%%)\r\n" % (n, n * 25) for n in range(1, 5)])
        self.assertEqual(phases[-1], CHECKSUMMING)
        self.assertTrue(h.report()["downloads"][0]["erased"])

    def test_erase_mode_with_crc(self):
        release, image = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, "--protocol", 0, image_blocks=3)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, crc_x25(image))

    def test_normal_mode_sends_no_erase(self):
        release, image = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, "--protocol", 1, image_blocks=3)
        run = self.download(release, h.link, "--mode", "normal")
        self.assertCompleted(run, h, image, byte_sum(image))
        self.assertNotIn(ERASING, run.texts())
        self.assertFalse(h.report()["downloads"][0]["erased"])


class Payloads(E2ECase):
    def test_escape_byte_0x00_with_runs_and_escapes(self):
        blocks = rle_blocks()
        release, image = self.release(blocks)
        h = self.handset("--block-size", BS, "--protocol", 0, "--blank", "0x00",
                         image_blocks=len(blocks))
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, crc_x25(image))
        # Only the all-0xFF block is blank, whatever the escape byte is.
        self.assertIn("\nBlank block # 4 of 6\r\n", run.texts("phase"))
        self.assertEqual(h.report()["downloads"][0]["blocksWritten"], 5)

    def test_escape_byte_0x00_with_byte_sum(self):
        blocks = rle_blocks()
        release, image = self.release(blocks)
        h = self.handset("--block-size", BS, "--protocol", 1, "--blank", 0, image_blocks=len(blocks))
        run = self.download(release, h.link, "--mode", "normal")
        self.assertCompleted(run, h, image, byte_sum(image))


class ReleaseLayout(E2ECase):
    def test_blank_blocks_and_short_last_piece(self):
        blank = b"\xff" * BS
        blocks = [blank, blank, data_block(BS, 1), blank, data_block(BS, 2), blank]
        # 100 bytes beyond the last whole block: neither sent nor counted.
        release, image = self.release(blocks, tail=data_block(100, 9))
        h = self.handset("--block-size", BS, image_blocks=len(blocks))
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, byte_sum(image))
        phases = [t for t in run.texts("phase") if "block" in t]
        self.assertEqual(phases, [
            "\nBlank block # 1 of 6\r\n", "\nBlank block # 2 of 6\r\n",
            "\nWriting block # 3 of 6 (50%)\r\n", "\nBlank block # 4 of 6\r\n",
            "\nWriting block # 5 of 6 (83%)\r\n", "\nBlank block # 6 of 6\r\n"])
        download = h.report()["downloads"][0]
        self.assertEqual((download["blocksWritten"], download["highestBlock"]), (2, 4))

    def test_image_of_blank_blocks_only(self):
        release, image = self.release([b"\xff" * BS] * 3, tail=b"\x01\x02")
        h = self.handset("--block-size", BS, "--protocol", 0, image_blocks=3)
        run = self.download(release, h.link, "--mode", "erase")
        self.assertCompleted(run, h, image, crc_x25(image))
        self.assertEqual(h.report()["downloads"][0]["blocksWritten"], 0)


class Gang(E2ECase):
    def test_gang_mode_continues_when_ch1_answers(self):
        release, image = self.release([data_block(BS, n) for n in range(3)])
        h = self.handset("--block-size", BS, image_blocks=3)
        run = self.download(release, h.link, "--mode", "normal", "--gang", "--continue")
        self.assertCompleted(run, h, image, byte_sum(image), gang=True)
        phases = run.texts("phase")
        self.assertEqual(phases[:3], [WAITING, "\nMobile signal received\r\n", EXCHANGING])
        self.assertIn("\nConnect any other mobiles to be loaded.\r\nCheck that all the LEDs are on "
                      "and they all display\r\n'Signalling', then select 'Continue'.\r\n"
                      "Alternatively, select 'Abort' to abort the download\r\n", run.texts("advice"))
        continues = [e["enabled"] for e in run.events if e.get("event") == "continue"]
        self.assertEqual(continues[0], True)

    def test_gang_mode_waits_for_enter_and_for_a_handset_that_came_back(self):
        release, image = self.release([data_block(BS, n) for n in range(2)])
        # Answers 3 inquiries, then none for about 2 s: the host goes back to waiting.
        h = self.handset("--block-size", BS, "--silent", "inquiry=200@4", image_blocks=2)
        proc, lines = self.start_download(release, h.link, "--mode", "normal", "--gang",
                                          stdin=subprocess.PIPE)
        events = self.wait_for_text(lines, "Mobile signal received")
        events += self.wait_for_text(lines, "Waiting for mobile signal")
        events += self.wait_for_text(lines, "Mobile signal received")
        proc.stdin.write("\n")
        proc.stdin.flush()
        events += self.wait_for_text(lines, "Download completed OK")
        self.assertEqual(proc.wait(60), 0)
        self.assertClean(proc.stderr.read(), "tarvolo")
        continues = [e["enabled"] for e in events if e.get("event") == "continue"]
        self.assertEqual(continues, [True, False, True])
        self.assertHandsetClean(h)
        self.assertEqual(h.flash_bytes(), image)


if __name__ == "__main__":
    unittest.main()
