"""Images whose end is not a whole block: every length from 1 to 3 blocks + 1, for two block
sizes, downloaded into one handset per block size. Only whole blocks are ever sent, so the
flash must hold exactly those, the tool must name exactly the bytes left behind before the
transfer, an image without a whole block must stop before the erase, and `tarvolo info` must
have predicted the frames, the bytes left behind and the checksum. A release file padded by
`tarvolo convert --block-size` must arrive whole.
"""
import json
import os
import subprocess
import time

from e2e_case import E2ECase, byte_sum, data_block
from harness import Handset, bin_dir

BLOCK_SIZES = (16, 7)
FAST = ("--erase-ms", "0", "--turnaround-ms", "0", "--linger-ms", "0")


def tool(*args):
    proc = subprocess.run([os.path.join(bin_dir(), "tarvolo")] + [str(a) for a in args],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    return proc.returncode, proc.stdout, proc.stderr


class ImageTails(E2ECase):

    def start_handset(self, block):
        folder = self.path("block-%d" % block)
        os.mkdir(folder)
        handset = Handset(folder, "--block-size", block, *FAST)
        self.addCleanup(handset.__exit__, None, None, None)
        return handset

    def wait_for_downloads(self, handset, count):
        """The handset saves its flash, then its report, once a download has ended."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if len(handset.report()["downloads"]) >= count:
                    return handset.report()["downloads"][count - 1]
            except (OSError, ValueError):
                pass
            time.sleep(0.02)
        self.fail("the handset did not record download %d" % count)

    def predicted(self, release, block):
        code, out, err = tool("info", "--json", "--block-size", block, release)
        self.assertEqual(code, 0, err)
        return json.loads(out)

    def events(self, run, kind):
        return [e for e in run.events if e.get("event") == kind]

    def check_length(self, handset, block, length, count, flash_before):
        image = data_block(length, length)
        release = self.path("tail-%d-%d.rel" % (block, length))
        with open(release, "wb") as f:
            f.write(b"KM52" + image)
        whole = length // block * block
        info = self.predicted(release, block)
        self.assertEqual((info["write_frames"], info["unsent_bytes"], info["byte_sum"]),
                         (length // block, length % block, byte_sum(image[:whole])), release)

        run = self.download(release, handset.link, "--speed", "115200", "--mode", "erase")
        done = self.wait_for_downloads(handset, count)
        unsent = self.events(run, "unsent")
        if whole == 0:
            # Stopped after the exchange: the handset was told to give up and never erased.
            self.assertEqual(run.code, 4, run.stdout + run.stderr)
            self.assertEqual([e["reason"] for e in self.events(run, "abort_reason")], [3])
            self.assertEqual(run.last["phase"],
                             "\nAborted - Image shorter than one block\r\nImage: %d bytes, block "
                             "size: %d bytes\r\nNothing was erased or written\r\n" % (length, block))
            self.assertEqual(unsent, [])
            self.assertFalse(done["erased"])
            self.assertEqual(done["blocksWritten"], 0)
            self.assertEqual(handset.flash_bytes(), flash_before, "the flash changed")
            return flash_before
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        self.assertTrue(done["erased"])
        self.assertEqual(done["blocksWritten"], info["write_frames"])
        self.assertEqual(int(done["hostChecksum"], 16), info["byte_sum"])
        self.assertEqual(handset.flash_bytes(), image[:whole], "length %d" % length)
        if length % block:
            self.assertEqual([(e["unsent_bytes"], e["block_size"]) for e in unsent],
                             [(length % block, block)])
            self.assertIn("%d byte" % (length % block), unsent[0]["text"])
            # Said before the first block went.
            self.assertLess(run.events.index(unsent[0]),
                            next(i for i, e in enumerate(run.events) if e.get("phase") == "writing"))
        else:
            self.assertEqual(unsent, [])
        return image[:whole]

    def test_every_length_around_whole_blocks(self):
        for block in BLOCK_SIZES:
            handset = self.start_handset(block)
            flash = b""
            # Longest first: the short images then meet a flash an erase would empty.
            lengths = range(3 * block + 1, 0, -1)
            for count, length in enumerate(lengths, start=1):
                flash = self.check_length(handset, block, length, count, flash)
            self.assertHandsetClean(handset)

    def test_a_padded_conversion_arrives_whole(self):
        block = 16
        source = self.path("build.bin")
        image = data_block(37, 5)
        with open(source, "wb") as f:
            f.write(image)
        # Without the option the loss is named, and the option too.
        code, out, err = tool("convert", source, self.path("plain.rel"))
        self.assertEqual(code, 0, err)
        self.assertIn("--block-size", err)
        self.assertIn("37 bytes", err)

        release = self.path("padded.rel")
        code, out, err = tool("convert", "--block-size", block, "--json", source, release)
        self.assertEqual(code, 0, err)
        report = json.loads(out)
        self.assertEqual((report["image_bytes"], report["padding_bytes"], report["warnings"]),
                         (48, 11, []))
        with open(release, "rb") as f:
            self.assertEqual(f.read(), b"KM52" + image + b"\xFF" * 11)
        handset = self.start_handset(block)
        run = self.download(release, handset.link, "--speed", "115200")
        self.assertEqual(run.code, 0, run.stdout + run.stderr)
        self.assertEqual(self.events(run, "unsent"), [])
        self.wait_for_downloads(handset, 1)
        self.assertEqual(handset.flash_bytes(), image + b"\xFF" * 11)
        self.assertHandsetClean(handset)
