"""What the signing tests share: a scratch folder, `tarvolo release ...` and `minisign ...`
run to their end, and the changes an attacker makes to a file, a signature or its comment."""
import base64
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))

from harness import bin_dir, make_release  # noqa: E402


def tarvolo_exe():
    return os.path.abspath(os.path.join(bin_dir(), "tarvolo"))


class SigningCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory(prefix="tarvolo-sign-")
        self.work = self._dir.name
        self.addCleanup(self._dir.cleanup)

    def path(self, name):
        return os.path.join(self.work, name)

    def run_tool(self, *args, stdin=None, timeout=120):
        return subprocess.run([str(a) for a in args], input=stdin, capture_output=True, text=True,
                              cwd=self.work, timeout=timeout)

    def tarvolo(self, *args, **kw):
        return self.run_tool(tarvolo_exe(), *args, **kw)

    def minisign(self, *args, **kw):
        return self.run_tool("minisign", *args, **kw)

    def release(self, name="app.rel", blocks=8, product_id=b"KM52"):
        path = self.path(name)
        make_release(path, [bytes([(n * 7 + i) & 0xFF for i in range(256)]) for n in range(blocks)],
                     product_id=product_id)
        return path

    def keygen(self, name):
        """A tarvolo key pair: (secret, public)."""
        done = self.tarvolo("release", "keygen", "--key", self.path(name + ".key"), "--pubkey", self.path(name + ".pub"))
        self.assertEqual(done.returncode, 0, done.stderr)
        return self.path(name + ".key"), self.path(name + ".pub")


def flip_byte(path, at):
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(bytes([byte[0] ^ 0x01]))


def edit_signature(path, line_index, change):
    """Rewrites one line of a .minisig file: `change` takes and returns the line's text (the
    comment lines) or its decoded bytes (the base64 lines, 1 and 3)."""
    with open(path) as f:
        lines = f.read().split("\n")
    if line_index in (1, 3):
        lines[line_index] = base64.b64encode(change(base64.b64decode(lines[line_index]))).decode()
    else:
        lines[line_index] = change(lines[line_index])
    with open(path, "w") as f:
        f.write("\n".join(lines))


def flipped(data, at):
    return data[:at] + bytes([data[at] ^ 0x01]) + data[at + 1:]
