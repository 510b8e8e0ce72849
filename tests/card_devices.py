#!/usr/bin/env python3
"""velmora-card on cards named by their block device, and found with none named.

Each card is an image (exFAT, NTFS) attached to a loop device: the kernel here
scans no partition tables, so a file system on the whole loop device stands for
the card's partition. Needs root, /dev/fuse and loop devices; skipped loudly
elsewhere. Every mount made here is checked unmounted, and nothing of
velmora-card's may be left in /proc/self/mountinfo or /run after a run.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import hive_fixture

TOOL = None
SYSTEMS = [("exFAT", ["mkfs.exfat"], ["mount.exfat-fuse"]), ("NTFS", ["mkntfs", "-F", "-Q"], ["ntfs-3g"])]


def ours_left():
    with open("/proc/self/mountinfo") as f:
        mounted = [line for line in f if "/run/velmora-card." in line]
    return mounted + [name for name in os.listdir("/run") if name.startswith("velmora-card.")]


class CardDevices(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp()
        self.point = os.path.join(self.base, "mounted")
        os.mkdir(self.point)
        self.devices = []
        self.addCleanup(shutil.rmtree, self.base, True)

    def tearDown(self):
        if os.path.ismount(self.point):
            subprocess.run(["umount", "-l", self.point])
        for device in self.devices:
            subprocess.run(["blockdev", "--setrw", device])  # the flag outlives the attachment
            subprocess.run(["losetup", "-d", device])
        self.assertEqual(ours_left(), [])

    def unmount(self):
        result = subprocess.run(["umount", self.point], capture_output=True)
        self.assertEqual((result.returncode, os.path.ismount(self.point)), (0, False), result.stderr)

    def image(self, make, mount, windows=True):
        path = os.path.join(self.base, "card%d.img" % len(self.devices))
        with open(path, "wb") as f:
            f.truncate(64 << 20)
        subprocess.run(make + [path], check=True, capture_output=True)
        device = subprocess.run(["losetup", "-f", "--show", path], check=True, capture_output=True,
                                text=True).stdout.strip()
        self.devices.append(device)
        if windows:
            subprocess.run(mount + [device, self.point], check=True)
            config = os.path.join(self.point, "Windows", "System32", "config")
            os.makedirs(config)
            hive_fixture.fresh_card(os.path.join(config, "SYSTEM"), "minwinpc")
            self.unmount()
        return path, device

    def run_card(self, *args):
        return subprocess.run([TOOL] + list(args), capture_output=True, timeout=120)

    def digest(self, path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def test_status_and_rename_by_device(self):
        for name, make, mount in SYSTEMS:
            with self.subTest(name):
                path, device = self.image(make, mount)
                before = self.digest(path)
                status = self.run_card("status", device)
                self.assertEqual(status.returncode, 0, status)
                self.assertIn(b"  Hostname           : minwinpc\n", status.stdout)
                self.assertEqual(self.run_card("rename", "-n", device, "galileo-01").returncode, 0)
                self.assertEqual(self.digest(path), before, "a look or a dry run wrote to the card")
                renamed = self.run_card("-q", "rename", device, "galileo-01")
                self.assertEqual(renamed.returncode, 0, renamed)
                self.assertTrue(renamed.stdout.endswith(b"is unmounted: pull the card out now\n"), renamed.stdout)
                # Ctrl-C during the rename waits for the unmount, then ends the run.
                interrupted = subprocess.run(["strace", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                                              "inject=fsync:signal=INT:when=1", TOOL, "-q", "rename", device,
                                              "galileo-02"], capture_output=True, timeout=120)
                self.assertEqual(interrupted.returncode, -2, interrupted)  # ended by the held SIGINT
                self.assertIn(b"pull the card out now", interrupted.stdout)
                self.assertEqual(ours_left(), [])
                subprocess.run(mount + [device, self.point], check=True)
                try:
                    got = self.run_card("--json", "status", self.point)
                    self.assertIn(b'"Hostname":"galileo-02"', got.stdout)
                    # A partition mounted already is used where it is, and stays mounted.
                    renamed = self.run_card("-q", "rename", device, "galileo-03")
                    self.assertEqual(renamed.returncode, 0, renamed)
                    self.assertIn(b"unmount it (sudo umount", renamed.stdout)
                    self.assertTrue(os.path.ismount(self.point))
                finally:
                    self.unmount()

    def test_cards_found_with_none_named(self):
        path, device = self.image(*SYSTEMS[0][1:])
        subprocess.run(SYSTEMS[0][2] + [device, self.point], check=True)
        try:
            found = self.run_card("status")
        finally:
            self.unmount()
        self.assertEqual(found.returncode, 0, found)
        self.assertIn(b"(%s, an image) holds a Windows: looked at as a card" % device.encode(), found.stderr)
        self.assertIn(b"  Hostname           : minwinpc\n", found.stdout)
        none = self.run_card("status")
        self.assertEqual(none.returncode, 1)
        self.assertIn(b"no card found: insert the card", none.stderr)

    def test_devices_refused(self):
        _, empty = self.image(SYSTEMS[0][1], SYSTEMS[0][2], windows=False)
        got = self.run_card("rename", empty, "galileo-01")
        self.assertEqual(got.returncode, 1)
        self.assertIn(b"no partition of it holds a Windows/System32/config/SYSTEM: looked at %s (exfat, no Windows)"
                      % empty.encode(), got.stderr)
        # An adapter's lock switch: status says so, and a rename is refused before anything is mounted.
        _, locked = self.image(*SYSTEMS[0][1:])
        subprocess.run(["blockdev", "--setro", locked], check=True)
        for args in (("status", locked), ("rename", locked, "galileo-01")):
            got = self.run_card(*args)
            self.assertEqual(got.returncode, 1, args)
            self.assertIn(b"the card is write-protected: slide back", got.stdout + got.stderr, args)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    tools = ("mkfs.exfat", "mount.exfat-fuse", "mkntfs", "ntfs-3g", "losetup", "strace", "lsblk", "blkid")
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or not all(shutil.which(t) for t in tools):
        print("\n#### card_devices: NOT ROOT, NO /dev/fuse OR NO FUSE FILE SYSTEM TOOLS: SKIPPED ####",
              file=sys.stderr)
        sys.exit(0)
    unittest.main(verbosity=2)
