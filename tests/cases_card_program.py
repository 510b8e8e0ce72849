"""Black-box cases of velmora-card, the PC user's program."""
import hashlib
import json
import os
import stat
import subprocess
import tempfile

import harness
import hive_check
from harness import BANNER, FORBIDDEN_ERROR, TCPIP, REG_SZ, VERSION, renamed, hive_backend_export, Case


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

    def run_card(self, *args, env=None):
        if harness.CARD_EXE is not None:
            result = harness.CARD_EXE.run(list(args), env)
            # Every hive velmora-card.exe renamed must load as it is.
            hive = self.renamed_hive(args) if result[0] == 0 else None
            if hive:
                self.assertEqual(hive_check.check_file(hive), [], args)
            return result
        env = dict({k: v for k, v in os.environ.items() if k != "VELMORA_SYSTEM_HIVE"}, LC_ALL="C") | (env or {})
        result = subprocess.run([self.card_tool] + list(args), env=env, capture_output=True, timeout=60)
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
        self.assertEqual(self.run_card("-q", "rename", old, "BOARD-5")[0], 0)
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
        os.mknod(device, stat.S_IFBLK | 0o600, os.makedev(7, 0))
        before = self.files()
        rows = [  # arguments, what standard error says
            (("rename", mount, "lab 01"), b"only letters, digits and hyphens"),
            (("rename", mount, "lab/01", "--any-name"), FORBIDDEN_ERROR),
            (("rename", mount, "1234"), b"not all digits"),
            (("rename", mount, "--", "-lab"), b"neither starts nor ends with a hyphen"),
            (("rename", mount, "\u00e9" * 8), b"1 to 15 bytes"),
            # Only on Linux: Windows hands every argument over as Unicode, and has no block devices.
            (("rename", mount, b"caf\xe9"), b"no text of this locale's code set", "linux"),
            (("rename", device, "lab-01"), b"mount it first", "linux"),
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
        self.assertEqual(self.run_card("rename", mount, "lab-01", "--any-name")[0], 0)
        os.unlink(hive + ".LOG1")
        self.assertEqual(self.files().keys(), before.keys() - {hive + ".LOG1"})

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

    def test_usage(self):
        usage = b"usage: velmora-card [OPTION]... status CARD...\n"
        for args in (("-h",), ("--help",), ("rename", "card", "--help"), ("status", "-h")):
            self.assertEqual(self.run_card(*args)[::2], (0, b""), args)
            self.assertTrue(self.run_card(*args)[1].startswith(usage), args)
        for args, said in (((), b"no command given"), (("status",), b"status needs"), (("rename", "x"), b"rename needs"),
                           (("rename", "a", "b", "NAME"), b"rename needs"), (("stauts", "x"), b"unknown command 'stauts'"),
                           (("rename", "card", "-x"), b"unknown option '-x'"), (("--json", "rename", "a", "b"), b"--json")):
            status, out, err = self.run_card(*args)
            self.assertEqual((status, out), (2, b""), args)
            self.assertIn(said, err, args)
            self.assertTrue(err.endswith(b"\nTry 'velmora-card --help'.\n"), args)
        self.assertEqual(self.run_card("--version"), (0, b"velmora-card " + VERSION + b"\n", b""))

