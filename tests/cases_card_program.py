"""Black-box cases of velmora-card, the PC user's program."""
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile

import harness
import hive_check
from harness import BANNER, FORBIDDEN_ERROR, TCPIP, REG_SZ, VERSION, renamed, hive_backend_export, Case
from hive_layout import BaseBlockField


class CardProgram(Case):
    """velmora-card, beside velmora: the card is an argument."""

    def setUp(self):
        if harness.BACKEND.name != "hive":
            self.skipTest("needs a hive")
        super().setUp()
        import hive_fixture

        self.fixture = hive_fixture
        self.card_tool = os.path.join(os.path.dirname(harness.BACKEND.tool), "velmora-card")
        self.cards = tempfile.mkdtemp(dir=harness.BACKEND.base)

    def card(self, path, name="GALILEO"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.fixture.fresh_card(path, name)
        return path

    def run_card(self, *args, env=None, prefix=()):
        if harness.CARD_EXE is not None:
            result = harness.CARD_EXE.run(list(args), env)
            # Every hive velmora-card.exe renamed must load as it is.
            hive = self.renamed_hive(args) if result[0] == 0 else None
            if hive:
                self.assertEqual(hive_check.check_file(hive), [], args)
            return result
        env = dict({k: v for k, v in os.environ.items() if k != "VELMORA_SYSTEM_HIVE"}, LC_ALL="C") | (env or {})
        result = subprocess.run(list(prefix) + [self.card_tool] + list(args), env=env, capture_output=True,
                                timeout=60)
        return result.returncode, result.stdout, result.stderr

    def renamed_hive(self, args):
        """The hive a rename (not a dry run) named by a Linux path, as velmora-card finds it."""
        words = [a for a in args if isinstance(a, str)]
        dry = any(a == "--dry-run" or (a.startswith("-") and not a.startswith("--") and "n" in a) for a in words)
        operands = [a for a in words if not a.startswith("-")]
        if dry or operands[:1] != ["rename"] or len(operands) != 3 or not operands[1].startswith("/"):
            return None
        if os.path.isfile(operands[1]):
            return operands[1]
        found = [os.path.join(top, name) for top, _, names in os.walk(operands[1]) for name in names
                 if name.upper() == "SYSTEM"]
        return found[0] if found else None

    def files(self):
        found = {}
        for top, _, names in os.walk(self.cards):
            for name in names:
                path = os.path.join(top, name)
                if not stat.S_ISREG(os.lstat(path).st_mode):  # a planted link, FIFO or device: never read
                    found[path] = (os.readlink(path) if os.path.islink(path) else "", os.lstat(path).st_mtime_ns)
                    continue
                with open(path, "rb") as f:
                    found[path] = (hashlib.sha256(f.read()).hexdigest(), os.stat(path).st_mtime_ns)
        return found

    def test_status_of_several_cards(self):
        mount = os.path.join(self.cards, "one")
        clean = self.card(os.path.join(mount, "windows", "system32", "CONFIG", "system"))
        dirty = self.card(os.path.join(self.cards, "two", "SYSTEM"), "BOARD-2")
        self.fixture.dirty(dirty, lambda h: h.node_set_value(
            self.fixture.add(h, h.root(), TCPIP.split("\\", 1)[1]),
            {"key": "Hostname", "t": REG_SZ, "value": self.fixture.sz("BOARD-2B")}))
        refused = os.path.join(self.cards, "three")
        with open(refused, "wb") as f:
            f.write(b"not a hive")
        before = self.files()
        status, out, err = self.run_card("status", mount, dirty, refused)
        self.assertEqual((status, err), (1, b""))
        blocks = out.decode().split("\n\n")
        self.assertTrue(blocks[0].startswith(clean + "\n"), blocks[0])
        self.assertIn("  ActiveComputerName : GALILEO (as Windows makes it at boot)\n", blocks[0])
        self.assertIn("  names              : agree\n  state              : clean\n  writable           : yes",
                      blocks[0])
        self.assertIn("  Hostname           : BOARD-2B\n", blocks[1])
        self.assertIn("names              : do not agree", blocks[1])
        self.assertIn("state              : dirty: Windows would replay 2 log entries from SYSTEM.LOG1 and SYSTEM.LOG2\n", blocks[1])
        self.assertEqual(blocks[2], refused + "\n  state              : refused: not a registry hive")
        self.assertEqual(self.files(), before)  # status writes nothing
        # An old-format log (Vista to 8) is replayed as well, and the card renamed from it.
        old = self.card(os.path.join(self.cards, "four", "SYSTEM"), "BOARD-4")
        self.fixture.dirty(old, self.fixture.domain_from_log, old_format=True)
        self.assertRegex(self.run_card("status", old)[1], rb"state              : dirty: Windows would replay \d+ "
                                                          rb"dirty pages from SYSTEM.LOG1\n")
        # ... read and replayed once, though the rename first looks whether it may write.
        trace = ["strace", "-f", "-e", "trace=openat", "-o", os.path.join(self.cards, "..", "trace")]
        # (LeakSanitizer cannot run under ptrace.)
        self.assertEqual(self.run_card("-q", "rename", old, "BOARD-5", prefix=trace,
                                       env={"ASAN_OPTIONS": "detect_leaks=0"})[0], 0)
        if harness.CARD_EXE is None:
            with open(trace[-1]) as f:
                self.assertEqual(f.read().count('LOG1", O_RDONLY'), 1)
        self.assertEqual(hive_backend_export(old)[(TCPIP.lower(), "domain")], (1, "from.log\0".encode("utf-16-le")))
        self.assertEqual(self.run_card("status", mount)[0], 0)
        # A card that cannot be written could not be renamed.
        if subprocess.run(["chattr", "+i", clean], capture_output=True).returncode == 0:
            try:
                status, out, _ = self.run_card("status", mount)
            finally:
                subprocess.run(["chattr", "-i", clean], capture_output=True)
            self.assertEqual(status, 1)
            self.assertIn(b"  writable           : no: the hive cannot be written", out)

    def test_rename_names_the_card_by_argument(self):
        mount = os.path.join(self.cards, "one")
        hive = self.card(os.path.join(mount, "Windows", "System32", "config", "SYSTEM"))
        other = self.card(os.path.join(self.cards, "other", "SYSTEM"), "OTHER")
        before = self.files()[other]
        status, out, err = self.run_card("rename", mount + "/", "CARD-1", env={"VELMORA_SYSTEM_HIVE": other})
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.startswith(BANNER + renamed(b"GALILEO", b"CARD-1") + b"velmora-card: "), out)
        self.assertEqual(hive_backend_export(hive)[(TCPIP.lower(), "hostname")], (1, "CARD-1\0".encode("utf-16-le")))
        self.assertEqual(self.files()[other], before)
        # A dry run checks as the rename does and writes nothing; its status is the rename's.
        before = self.files()
        self.assertEqual(self.run_card("rename", "-nq", mount, "CARD-2")[:2],
                         (0, renamed(b"CARD-1", b"CARD-2") + b"velmora-card: a dry run: nothing was written to " +
                          hive.encode() + b"\n"))
        self.assertEqual(self.files(), before)
        self.fixture.fresh_card(hive, tcpip_extra=[("HOSTNAME", 1, b"x\0\0\0")])
        before = self.files()
        self.assertEqual(self.run_card("rename", "--dry-run", mount, "CARD-2")[0], 1)
        self.assertEqual(self.files(), before)
        # Under the C locale a card holding a name beyond ASCII is shown and renamed, as UTF-8.
        self.card(hive)
        self.assertEqual(self.run_card("rename", mount, "Café", env={"LC_ALL": "C.UTF-8"})[0], 0)
        self.assertIn("  Hostname           : Café\n".encode(), self.run_card("status", mount)[1])
        status, out, _ = self.run_card("-q", "rename", mount, "cafe")
        self.assertEqual((status, out.split(b"\n\n")[0]), (0, renamed("Café".encode(), b"cafe").split(b"\n\n")[0]))

    def test_names_and_cards_refused_with_the_next_step(self):
        mount = os.path.join(self.cards, "one")
        hive = self.card(os.path.join(mount, "Windows", "System32", "config", "SYSTEM"))
        os.makedirs(os.path.join(self.cards, "empty"))
        device = self.cards + "-sdb2"  # outside the cards, whose files are read
        os.mknod(device, stat.S_IFBLK | 0o600, os.makedev(240, 0))  # a number no device of the PC has
        before = self.files()
        rows = [  # arguments, what standard error says
            (("rename", mount, "lab 01"), b"only letters, digits and hyphens"),
            (("rename", mount, "lab/01", "--any-name"), FORBIDDEN_ERROR),
            (("rename", mount, "1234"), b"not all digits"),
            (("rename", mount, "--", "-lab"), b"neither starts nor ends with a hyphen"),
            (("rename", mount, "lab-"), b"neither starts nor ends with a hyphen"),
            (("rename", mount, "\u00e9" * 8), b"1 to 15 bytes"),
            # Only on Linux: Windows hands every argument over as Unicode, and has no block devices.
            (("rename", mount, b"caf\xe9"), b"no text of this locale's code set", "linux"),
            (("rename", device, "lab-01"), b"a device this PC does not list, not a card in a reader", "linux"),
            (("rename", os.path.join(self.cards, "empty"), "lab-01"), b"nothing is mounted here"),
            (("rename", self.cards, "lab-01"), b"likely the wrong partition"),
            (("rename", hive + ".LOG1", "lab-01"), b"one of the hive's logs"),
        ]
        open(hive + ".LOG1", "wb").close()
        for args, said, *only in rows:
            if only and harness.CARD_EXE is not None:
                continue
            status, out, err = self.run_card(*args)
            self.assertEqual(status, 1, args)
            self.assertIn(said, err, args)
        self.assertEqual(self.run_card("rename", mount, "1234", "--any-name")[0], 0)
        # 15 bytes as the board counts them (18 of UTF-8), and a name of the card in two spellings refused.
        self.assertEqual(self.run_card("rename", mount, "日本語ABCDEFGHI", env={"LC_ALL": "C.UTF-8"})[0], 0)
        twin = os.path.join(mount, "windows", "System32", "config", "SYSTEM")
        if harness.CARD_EXE is None:
            self.card(twin)
            self.assertIn(b"differ only in letter case", self.run_card("status", mount)[1])
            shutil.rmtree(os.path.dirname(os.path.dirname(os.path.dirname(twin))))
        self.assertEqual(self.run_card("rename", mount, "lab-01", "--any-name")[0], 0)
        os.unlink(hive + ".LOG1")
        self.assertEqual(self.files().keys(), before.keys() - {hive + ".LOG1"})

    def test_a_crafted_card_reaches_nothing_of_the_pc(self):
        exe = harness.CARD_EXE is not None  # Windows has no FIFOs or device nodes, and words its refusals
        outside = tempfile.mkdtemp(dir=harness.BACKEND.base)  # the PC's own Windows folder and files
        victim = os.path.join(outside, "victim")
        pc_hive = self.card(os.path.join(outside, "System32", "config", "SYSTEM"), "PC")

        def plant(mount, where, target):
            path = os.path.join(mount, *where.split("/"))
            shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path) if os.path.lexists(path) else None
            if target == "hard":
                os.link(os.path.join(os.path.dirname(path), "SYSTEM"), path)
            elif target == "fifo":
                os.mkfifo(path)
            elif target == "device":
                os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))
            else:
                os.symlink(os.path.relpath(target[1:], os.path.dirname(path)) if target[0] == "~" else target, path)

        def pc_files():
            return [(n, os.lstat(os.path.join(t, n)).st_mtime_ns) for t, _, ns in os.walk(outside) for n in ns]

        rows = [  # the place on the card, what it becomes (~: a relative link), what the refusal names
            ("Windows", outside, b"Windows is a symbolic link"),
            ("Windows/System32", "~" + os.path.join(outside, "System32"), b"Windows/System32 is a symbolic link"),
            ("Windows/System32/config", os.path.dirname(pc_hive), b"System32/config is a symbolic link"),
            ("Windows/System32/config/SYSTEM", "~" + pc_hive, b"config/SYSTEM is a symbolic link"),
            ("Windows/System32/config/SYSTEM", "SYSTEM.real", b"config/SYSTEM is a symbolic link"),
            ("Windows/System32/config/SYSTEM.LOG1", victim, b"config/SYSTEM.LOG1 is a symbolic link"),
            ("Windows/System32/config/system.log1", "~" + victim, b"config/system.log1 is a symbolic link"),
            ("Windows/System32/config/SYSTEM.LOG2", "SYSTEM", b"config/SYSTEM.LOG2 is a symbolic link"),
            ("Windows/System32/config/SYSTEM.LOG1", "hard", b"config/SYSTEM.LOG1 is the hive's own file"),
            ("Windows/System32/config/SYSTEM.LOG2", "fifo", b"config/SYSTEM.LOG2 is not a regular file"),
            ("Windows/System32/config/SYSTEM.LOG1", "device", b"config/SYSTEM.LOG1 is not a regular file"),
        ]
        for i, (where, target, said) in enumerate(rows):
            if exe and target in ("fifo", "device"):
                continue
            said = b"the hive's own file" if exe and target == "hard" else b"symbolic link" if exe else said
            mount = os.path.join(self.cards, "crafted%d" % i)
            hive = self.card(os.path.join(mount, "Windows", "System32", "config", "SYSTEM"))
            os.link(hive, hive + ".real") if target == "SYSTEM.real" else None
            with open(victim, "wb") as f:
                f.write(b"precious")
            plant(mount, where, target)
            before, pc_before = self.files(), pc_files()
            for args in (("status", mount), ("rename", "-n", mount, "lab-01"), ("rename", mount, "lab-01")):
                # strace shows the device node is typed, never opened (opening one can arm a watchdog).
                trace = ["strace", "-f", "-qq", "-e", "trace=open,openat,openat2"] if target == "device" else []
                got = subprocess.CompletedProcess(args, *self.run_card(*args)) if exe else subprocess.run(
                    trace + [self.card_tool] + list(args), env=dict(os.environ, LC_ALL="C", ASAN_OPTIONS="detect_leaks=0"),
                    capture_output=True, timeout=60)
                self.assertEqual(got.returncode, 1, (where, target, args))
                self.assertIn(said, got.stdout + got.stderr, (where, target, args))
                self.assertNotIn(b"SYSTEM.LOG1\", O_", got.stderr, (where, target, args))
            self.assertEqual(self.files(), before, (where, target))
            self.assertEqual(pc_files(), pc_before, (where, target))
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"precious")
        # The user's own choices may be links: the card named through one, and a hive in place with a hard link.
        mount = os.path.join(self.cards, "plain")
        hive = self.card(os.path.join(mount, "Windows", "System32", "config", "SYSTEM"))
        os.symlink(mount, os.path.join(outside, "card-link"))
        self.assertEqual(self.run_card("-q", "rename", os.path.join(outside, "card-link"), "lab-02")[0], 0)
        self.assertEqual(hive_backend_export(hive)[(TCPIP.lower(), "hostname")], (1, "lab-02\0".encode("utf-16-le")))
        if exe:
            return
        # Two sparse 576 MiB logs beside a hive with a torn header cost what a clean card does.
        with open(hive, "r+b") as f:
            f.seek(BaseBlockField.Checksum)
            f.write(b"\xff\xff\xff\xff")
        for log in ("SYSTEM.LOG1", "SYSTEM.LOG2"):
            with open(hive + log[6:], "wb") as f:
                f.truncate(576 << 20)
        probe = "import resource,subprocess,sys; subprocess.run(sys.argv[1:]); " \
                "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)"
        got = subprocess.run([sys.executable, "-c", probe, self.card_tool, "status", mount], capture_output=True)
        self.assertLess(int(got.stdout.split()[-1]), 64 << 10, got.stdout)
        self.assertIn(b"no log beside it has a valid header", got.stdout)

    def test_nothing_a_card_names_reaches_the_terminal_raw(self):
        if harness.CARD_EXE is not None:
            self.skipTest("a Linux terminal and shell")
        raw = "a\x1b]0;x\x07\u009b"
        mount = os.path.join(self.cards, "card;touch PWNED2 " + raw)
        hive = self.card(os.path.join(mount, "Windows", "System32", "config", "SYSTEM"), raw)
        outputs = [self.run_card("status", mount, env={"LC_ALL": "C.UTF-8"}),
                   self.run_card("rename", mount, "lab-01", env={"LC_ALL": "C.UTF-8"})]
        self.card(hive, raw)
        self.fixture.dirty(hive, lambda h: h.node_set_value(
            self.fixture.add(h, h.root(), TCPIP.split("\\", 1)[1]),
            {"key": "NV Hostname", "t": REG_SZ, "value": self.fixture.sz("b" + raw)}))
        outputs.append(self.run_card("rename", mount, "lab-01", env={"LC_ALL": "C.UTF-8"}))
        outputs.append(self.run_card("--json", "status", mount, env={"LC_ALL": "C.UTF-8"}))
        for status, out, err in outputs:
            for control in (b"\x1b", b"\x07", "\u009b".encode()):
                self.assertNotIn(control, out + err)
        self.assertIn(b"Old Computer Name : a\\x1B]0;x\\x07\\xC2\\x9B\n", outputs[1][1])
        self.assertIn(b"Name Mismatch : H1 = a\\x1B", outputs[2][2])
        self.assertEqual(json.loads(outputs[3][1])["names"]["NV Hostname"], "b" + raw)
        # A suggested command, pasted into a shell, names just that folder.
        empty = os.path.join(self.cards, "empty;touch PWNED2 $(touch PWNED) " + raw)
        os.mkdir(empty)
        out = self.run_card("status", empty, env={"LC_ALL": "C.UTF-8"})[1]
        self.assertNotIn(b"\x1b", out)
        suggested = out.decode().split("sudo mount /dev/sdX2 ", 1)[1].split(", the card's", 1)[0]
        echoed = subprocess.run(["bash", "-c", "printf %s " + suggested], cwd=self.cards, capture_output=True)
        self.assertEqual(echoed.stdout, empty.encode())
        self.assertFalse(os.path.exists(os.path.join(self.cards, "PWNED2")))
        # TAB after `rename` offers mount points without running what they hold, each one shell word.
        table = os.path.join(self.cards, "mounts")
        with open(table, "w") as f:
            f.write("/dev/sdb2 /media/t/card;touch\\040PWNED2 vfat rw 0 0\n"
                    "/dev/sdc1 /media/t/$(touch${IFS}PWNED) exfat rw 0 0\n/dev/sda1 / ext4 rw 0 0\n")
        completion = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "completion", "velmora-card")
        script = ('source "$1"; COMP_WORDS=(velmora-card rename /media/t/); COMP_CWORD=2; _velmora_card; '
                  'for s in "${COMPREPLY[@]}"; do eval "printf \'%s\\n\' $s"; done')
        got = subprocess.run(["bash", "-c", script, "bash", completion], cwd=self.cards, capture_output=True,
                             env=dict(os.environ, _VELMORA_CARD_MOUNTS=table))
        self.assertEqual(got.stdout.decode().splitlines(), ["/media/t/card;touch PWNED2", "/media/t/$(touch${IFS}PWNED)"])
        self.assertEqual([n for n in os.listdir(self.cards) if n.startswith("PWNED")], [])
        # A card reader's device and partitions are offered; a fixed disk's are not.
        for disk, removable in (("sdb", "1"), ("sda", "0")):
            os.makedirs(os.path.join(self.cards, "sys", "block", disk, disk + "1"))
            with open(os.path.join(self.cards, "sys", "block", disk, "removable"), "w") as f:
                f.write(removable + "\n")
        script = script.replace("/media/t/", "/dev/sd")
        got = subprocess.run(["bash", "-c", script, "bash", completion], capture_output=True,
                             env=dict(os.environ, _VELMORA_CARD_MOUNTS=table, _VELMORA_CARD_SYSFS=self.cards + "/sys"))
        self.assertEqual(got.stdout.decode().splitlines(), ["/dev/sdb", "/dev/sdb1"])

    def test_status_as_data_and_shared_names(self):
        one = self.card(os.path.join(self.cards, "one", "SYSTEM"), "minwinpc")
        two = self.card(os.path.join(self.cards, "two", "Windows", "System32", "config", "SYSTEM"), "MINWINPC")
        status, out, err = self.run_card("--json", "status", one, os.path.join(self.cards, "two", "Windows",
                                                                                 "System32", "config"), "nowhere")
        cards = [json.loads(line) for line in out.decode().splitlines()]
        self.assertEqual(status, 1)
        self.assertEqual([c["hive"] for c in cards], [one, two, None])
        self.assertEqual([c["state"] for c in cards], ["clean", "clean", "refused"])
        self.assertEqual(cards[1]["names"]["NV Hostname"], "MINWINPC")
        self.assertEqual((cards[0]["renamable"], cards[2]["renamable"]), (True, False))
        self.assertIn(b"warning: " + one.encode() + b" and ", err)
        self.assertIn(b"both hold MINWINPC", err)
        # Names with a backslash and a control character still make JSON; one card named twice shares no name.
        self.card(one, "A\\B\x01")
        status, out, err = self.run_card("--json", "status", one, one)
        self.assertEqual(json.loads(out.splitlines()[0])["names"]["Hostname"], "A\\B\x01")
        self.assertIn(b'"A\\\\B\\u0001"', out)
        self.assertEqual(err, b"")
        # A card without its ComputerName key still shows its Hostname.
        h = self.fixture.hivex.Hivex(one, write=True)
        node = h.root()
        for part in r"ControlSet001\Control\ComputerName\ComputerName".split("\\"):
            node = h.node_get_child(node, part)
        h.node_delete_child(node)
        h.commit(None)
        shown = b"A\\B" if harness.CARD_EXE is not None else b"A\\\\B"  # Windows' separator stays as it is
        self.assertIn(b"  Hostname           : " + shown + b"\\x01\n  NV Hostname", self.run_card("status", one)[1])

    def test_a_drive_letter_names_the_card(self):
        if harness.CARD_EXE is None:
            self.skipTest("velmora-card.exe only: a card as a drive")
        card = os.path.join(self.cards, "drive")
        self.card(os.path.join(card, "Windows", "System32", "config", "SYSTEM"))
        harness.CARD_EXE.drive("e:", card)
        status, out, err = self.run_card("rename", "E:", "galileo-01")
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.endswith(b"velmora-card: the card is renamed: eject it (Explorer: right-click E:, Eject), "
                                     b"then put it back in the board\n"), out)
        self.assertIn(b"E:\\Windows\\System32\\config\\SYSTEM\n  Hostname           : galileo-01\n",
                      self.run_card("status", "E:")[1])

    def test_batch_refuses_a_fixed_drive(self):
        # Wine presents every drive as fixed (GetDriveTypeW: 3, whatever HKLM\Software\Wine\Drives says), so
        # only the refusal before any wait can be tried here; Linux's batch has its own test with loop devices.
        if harness.CARD_EXE is None:
            self.skipTest("velmora-card.exe only: a reader as a drive")
        harness.CARD_EXE.drive("e:", self.cards)
        status, out, err = self.run_card("batch", "E:", "galileo-01")
        self.assertEqual((status, out), (1, b""))
        self.assertIn(b"E:: not a removable drive: name the card reader's drive", err)

    def test_usage(self):
        usage = b"usage: velmora-card [OPTION]... status [CARD]...\n"
        for args in (("-h",), ("--help",), ("rename", "card", "--help"), ("status", "-h")):
            self.assertEqual(self.run_card(*args)[::2], (0, b""), args)
            self.assertTrue(self.run_card(*args)[1].startswith(usage), args)
        # No card named and none mounted (this machine holds none): what to do, not a usage error.
        self.assertEqual(self.run_card("status")[:2], (1, b""))
        self.assertIn(b"no card found: ", self.run_card("status")[2])
        for args, said in (((), b"no command given"), (("rename", "x"), b"rename needs"),
                           (("rename", "a", "b", "NAME"), b"rename needs"), (("stauts", "x"), b"unknown command 'stauts'"),
                           (("rename", "card", "-x"), b"unknown option '-x'"), (("--json", "rename", "a", "b"), b"--json"),
                           (("batch", "E:", "galileo-01", "Galileo-01"), b"'Galileo-01' is in the list twice")):
            status, out, err = self.run_card(*args)
            self.assertEqual((status, out), (2, b""), args)
            self.assertIn(said, err, args)
            self.assertTrue(err.endswith(b"\nTry 'velmora-card --help'.\n"), args)
        self.assertEqual(self.run_card("--version"), (0, b"velmora-card " + VERSION + b"\n", b""))

