#!/usr/bin/env python3
"""velmora-card on cards named by their block device, and found with none named.

Each card is an image (exFAT, NTFS) attached to a loop device: the kernel here
scans no partition tables, so a file system on the whole loop device stands for
the card's partition. Needs root, /dev/fuse and loop devices; skipped loudly
elsewhere. Every mount made here is checked unmounted, and nothing of
velmora-card's may be left in /proc/self/mountinfo or /run after a run.
"""
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import hive_fixture
import hivex

TOOL = None
SYSTEMS = [("exFAT", ["mkfs.exfat"], ["mount.exfat-fuse"]), ("NTFS", ["mkntfs", "-F", "-Q"], ["ntfs-3g"])]


def ours_left():
    with open("/proc/self/mountinfo") as f:
        mounted = [line for line in f if "/run/velmora-card." in line]
    return mounted + [name for name in os.listdir("/run") if name.startswith("velmora-card.")]


def stop_bus():
    with open("/run/dbus/pid") as f:
        os.kill(int(f.read()), signal.SIGTERM)
    for left in ("/run/dbus/system_bus_socket", "/run/dbus/pid"):
        os.remove(left)


def desktop(test):
    """Starts what a desktop runs for udisks where it is not running (the system bus, udev; udisks and polkit
    start on the bus's demand), each stopped again after `test`. False, said loudly, where it is not installed."""
    needed = ("dbus-daemon", "udevadm", "udisksctl", "setpriv", "/lib/systemd/systemd-udevd",
              "/usr/libexec/udisks2/udisksd", "/usr/lib/polkit-1/polkitd")
    if not all(shutil.which(t) for t in needed):
        print("\n#### card_devices: NO UDISKS2, POLKITD OR UDEV: THE PATH FOR USERS WHO ARE NOT ROOT IS SKIPPED ####",
              file=sys.stderr)
        return False
    running = subprocess.run(["ps", "-eo", "comm="], capture_output=True, text=True).stdout.split()
    if "dbus-daemon" not in running:
        os.makedirs("/run/dbus", exist_ok=True)
        for stale in ("/run/dbus/system_bus_socket", "/run/dbus/pid"):
            if os.path.exists(stale):
                os.remove(stale)
        subprocess.run(["dbus-daemon", "--system", "--fork"], check=True)
        test.addCleanup(stop_bus)
    if "systemd-udevd" not in running:
        subprocess.run(["/lib/systemd/systemd-udevd", "--daemon"], check=True, capture_output=True)
        test.addCleanup(subprocess.run, ["udevadm", "control", "--exit"])
    for daemon in ("udisksd", "polkitd"):
        if daemon not in running:
            test.addCleanup(subprocess.run, ["pkill", "-x", daemon])
    subprocess.run(["udevadm", "trigger", "--subsystem-match=block", "--action=add"], check=True)
    subprocess.run(["udevadm", "settle", "--timeout=10"], check=True)
    return True


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

    def image(self, make, mount, windows=True, name="minwinpc", other=None):
        path = tempfile.mktemp(suffix=".img", dir=self.base)
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
            hive_fixture.fresh_card(os.path.join(config, "SYSTEM"), name)
            if other is not None:  # names that disagree: ComputerName changed by hand
                h = hivex.Hivex(os.path.join(config, "SYSTEM"), write=True)
                node = h.root()
                for part in r"ControlSet001\Control\ComputerName\ComputerName".split("\\"):
                    node = h.node_get_child(node, part)
                hive_fixture.set_values(h, node, [("ComputerName", hive_fixture.REG_SZ, hive_fixture.sz(other))])
                h.commit(None)
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
            # An inventory, new or not, is never kept on the card in the reader.
            onCard = self.run_card("batch", "--inventory", os.path.join(self.point, "new.jsonl"), device, "galileo-01")
        finally:
            self.unmount()
        self.assertIn(b"new.jsonl is on the reader's card", onCard.stderr, onCard)
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

    def test_a_user_through_udisks(self):
        # Not root, as on a desktop: udisks mounts and unmounts the card, as its rules allow this user.
        if not desktop(self):
            return
        _, device = self.image(*SYSTEMS[1][1:])  # udisks serves exFAT only through a kernel driver
        rule = "/etc/polkit-1/rules.d/49-velmora-card-test.rules"
        with open(rule, "w") as f:
            f.write('polkit.addRule(function(a, s) { if (a.id.indexOf("org.freedesktop.udisks2.") == 0 && '
                    's.user == "nobody") return polkit.Result.YES; });\n')
        self.addCleanup(lambda: os.path.exists(rule) and os.remove(rule))
        user = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", TOOL]

        def status(expected):  # polkitd reads a changed rule within moments, not at once
            for _ in range(20):
                got = subprocess.run(user + ["status", device], capture_output=True, timeout=120)
                if got.returncode == expected:
                    break
                time.sleep(0.5)
            return got

        looked = status(0)
        self.assertIn(b"mounted read-only for this look)\n  Hostname           : minwinpc\n", looked.stdout, looked)
        renamed = subprocess.run(user + ["-q", "rename", device, "galileo-01"], capture_output=True, timeout=120)
        self.assertEqual(renamed.returncode, 0, renamed)
        self.assertTrue(renamed.stdout.endswith(b"is unmounted: pull the card out now\n"), renamed.stdout)
        with open("/proc/self/mountinfo") as f:
            self.assertNotIn(" %s " % device, f.read())
        self.assertIn(b'"Hostname":"galileo-01"', self.run_card("--json", "status", device).stdout)
        os.remove(rule)
        denied = status(1)
        self.assertEqual(denied.returncode, 1)
        self.assertIn(b"udisks did not mount it for this user (Not authorized", denied.stdout)

    def test_batch_through_one_reader(self):
        self.maxDiff = None
        # The cards are made on loop devices of their own, then put in turn into one reader.
        images = []
        for name, other in (("minwinpc", None), ("galileo-02", None), ("minwinpc", "other"), ("minwinpc", None),
                            ("minwinpc", None)):
            path, device = self.image(*SYSTEMS[0][1:], name=name, other=other)
            subprocess.run(["losetup", "-d", device], check=True)
            self.devices.remove(device)
            images.append(path)
        reader = subprocess.run(["losetup", "-f"], capture_output=True, text=True, check=True).stdout.strip()
        inventory = os.path.join(self.base, "inventory.jsonl")
        names = ["galileo-01", "galileo-02", "galileo-03", "galileo-04"]

        def batch(cards):
            run = subprocess.Popen([TOOL, "batch", "--inventory", inventory, reader] + names, text=True,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            lines = []
            for n, image in enumerate(cards + [None]):
                lines.append(run.stdout.readline())
                # The fourth card is pulled mid-rename: every first write of a process (the rename's, the
                # file system's) fails as a card gone from its reader fails it.
                pulled = subprocess.Popen(["strace", "-f", "-p", str(run.pid), "-o", "/dev/null", "-e", "trace=pwrite64",
                                           "-e", "inject=pwrite64:error=EIO:when=1"],
                                          stderr=subprocess.PIPE) if n == 3 else None
                if pulled:
                    pulled.stderr.readline()  # attached
                if image is None:  # a second batch on the reader is refused at once
                    second = self.run_card("batch", reader, "galileo-09")
                    self.assertEqual(second.returncode, 1)
                    self.assertIn(b"another batch is using this reader", second.stderr)
                if image is None:
                    run.send_signal(signal.SIGINT)  # between cards: the batch ends at once
                    break
                subprocess.run(["losetup", reader, image], check=True)
                lines.append(run.stdout.readline())
                if pulled:
                    pulled.terminate()
                    pulled.communicate()
                subprocess.run(["losetup", "-d", reader], check=True)
            out, err = run.communicate(timeout=60)
            return run.returncode, lines + out.splitlines(True), err

        status, lines, err = batch(images)
        self.assertEqual((status, err, lines), (1, "", [
            "Insert card 1 of 4 (galileo-01)\u2026\n", "galileo-01: renamed (was minwinpc) \u2014 pull the card out\n",
            "Insert card 2 of 4 (galileo-02)\u2026\n", "already galileo-02: kept \u2014 pull the card out\n",
            "Insert card 3 of 4 (galileo-03)\u2026\n",
            "refused (galileo-03 not used): Name Mismatch : H1 = minwinpc, H2 = minwinpc, C1 = other, C2 = other "
            "\u2014 pull the card out\n",
            "Insert card 3 of 4 (galileo-03)\u2026\n",
            "refused (galileo-03 not used): writing the hive failed (Input/output error): the hive itself was not "
            "touched, and holds the old names \u2014 pull the card out\n",
            "Insert card 3 of 4 (galileo-03)\u2026\n", "galileo-03: renamed (was minwinpc) \u2014 pull the card out\n",
            "Insert card 4 of 4 (galileo-04)\u2026\n", "2 cards named galileo-01 \u2026 galileo-03, 1 kept, 2 refused\n"]))
        with open(inventory) as f:
            got = [json.loads(line) for line in f]
        self.assertEqual([(r["card"], r["old"], r["new"], r["outcome"]) for r in got],
                         [(reader, "minwinpc", "galileo-01", "renamed"), (reader, "galileo-02", "galileo-02", "kept"),
                          (reader, None, None, "refused"), (reader, "minwinpc", None, "refused"),
                          (reader, "minwinpc", "galileo-03", "renamed")])
        self.assertTrue(all(r["uuid"] and r["time"].endswith("Z") for r in got))
        for image, name in zip(images, ("galileo-01", "galileo-02", None, None, "galileo-03")):
            subprocess.run(["losetup", reader, image], check=True)
            try:
                held = self.run_card("--json", "status", reader).stdout
            finally:
                subprocess.run(["losetup", "-d", reader], check=True)
            self.assertIn(b'"Hostname":"%s"' % (name or "minwinpc").encode(), held)
        # Started again with the inventory, it goes on with the next name.
        self.assertEqual(batch([]), (0, ["Insert card 4 of 4 (galileo-04)\u2026\n",
                                         "0 cards named, 0 kept, 0 refused\n"], ""))


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    tools = ("mkfs.exfat", "mount.exfat-fuse", "mkntfs", "ntfs-3g", "losetup", "strace", "lsblk", "blkid")
    if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or not all(shutil.which(t) for t in tools):
        print("\n#### card_devices: NOT ROOT, NO /dev/fuse OR NO FUSE FILE SYSTEM TOOLS: SKIPPED ####",
              file=sys.stderr)
        sys.exit(0)
    unittest.main(verbosity=2)
