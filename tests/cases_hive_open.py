"""Black-box cases of a card's hive: opening it, what is refused, the volatile
key, text, links, card file systems, interrupts and concurrent runs."""
import fcntl
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import hive_check
from hive_layout import BaseBlockField as B, BinField as Bin, CellField as Cell, KeyNodeField as K, ValueRecordField as V
from hive_layout import HiveBaseBlockSize as BASE
from harness import BANNER, TCPIP, COMPUTER, ACTIVE, VALUES, renamed, hive_backend_export, HiveCase


class HiveOpen(HiveCase):
    """Opening and reading a card, and what is refused."""

    def test_a_fresh_card_has_no_active_name_and_gets_none(self):
        self.card()
        self.expect(self.run_tool(b"Board-7"), 0, BANNER + renamed(b"GALILEO", b"Board-7"))
        for key, value in VALUES[:3]:
            self.assertEqual(self.b.get(key, value), ("REG_SZ", b"Board-7\0"), value)
        # The boot makes ActiveComputerName from ComputerName; it is never written to the file.
        self.assertNotIn((ACTIVE.lower(), None), hive_backend_export(self.b.hive))
        # What is read for it is the stored ComputerName: a case-only difference agrees, more refuses.
        self.b.put(COMPUTER, "ComputerName", b"board-7\0")
        self.expect(self.run_tool(b"B8"), 0, BANNER + renamed(b"Board-7", b"B8"))
        self.b.put(COMPUTER, "ComputerName", b"OTHER\0")
        before = self.b.snapshot()
        self.expect(self.run_tool(b"B9"), 1, BANNER,
                    b"Name Mismatch : H1 = B8, H2 = B8, C1 = OTHER, C2 = OTHER\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_an_active_name_in_the_hive_is_an_ordinary_key(self):
        self.card(active=True)
        self.expect(self.run_tool(b"Board-7"), 0, BANNER + renamed(b"GALILEO", b"Board-7"))
        self.expect_values(b"Board-7")

    def free_cell(self):
        with open(self.b.hive, "rb") as f:
            checker = hive_check.Checker(f.read())
        self.assertTrue(checker.header() and checker.tile())
        return next(offset for offset, (_, allocated) in checker.cells.items() if not allocated)

    def test_refused_hives_are_not_touched(self):
        cases = [
            ("not a hive", lambda: self.fixture.patch(self.b.hive, B.Signature, "4s", b"MZ\0\0"), b"not a registry hive"),
            ("truncated", lambda: os.truncate(self.b.hive, 6000), b"truncated"),
            ("bad checksum, no logs", lambda: self.fixture.patch(self.b.hive, B.Checksum, "<I", 1, fix_checksum=False),
             b"its header is damaged (bad checksum), and it has no logs beside it"),
            ("version 2.0", lambda: self.fixture.patch(self.b.hive, B.Major, "<I", 2), b"unknown hive format version"),
            ("version 1.2", lambda: self.fixture.patch(self.b.hive, B.Minor, "<I", 2), b"unknown hive format version"),
            ("version 1.7", lambda: self.fixture.patch(self.b.hive, B.Minor, "<I", 7), b"unknown hive format version"),
            ("dirty, no logs", lambda: self.fixture.make_dirty(self.b.hive), b"not shut down cleanly, and it has no"),
            ("Select\\Current = 2", lambda: self.card(current=2), b"Select\\Current"),
            ("no Select: a SOFTWARE-like hive", lambda: self.bare_card(None), b"not a SYSTEM hive"),
            ("no Current", lambda: self.bare_card([("Default", 4, b"\1\0\0\0")]), b"Select\\Current"),
            ("Current not a DWORD", lambda: self.bare_card([("Current", 3, b"\1\0\0\0")]), b"Select\\Current"),
            ("data at the value itself", lambda: self.patch_value(b"Hostname", V.Data, lambda cell: cell),
             b"at the value itself", b"Host Name 1 : Registry Query Error.\n"),
            ("data size past its cell", lambda: self.patch_value(b"Hostname", V.DataSize, lambda cell: 16344),
             b"runs past its cell", b"Host Name 1 : Registry Query Error.\n"),
            ("data at a free cell", lambda: self.patch_value(b"Hostname", V.Data, lambda cell: self.free_cell()),
             b"at a free cell", b"Host Name 1 : Registry Query Error.\n"),
            ("data outside the bins", lambda: self.patch_value(b"Hostname", V.Data, lambda cell: 0x7FFFFFF0),
             b"outside the hive", b"Host Name 1 : Registry Query Error.\n"),
            ("data size 0x7FFFFFF0", lambda: self.patch_value(b"Hostname", V.DataSize, lambda cell: 0x7FFFFFF0),
             b"value Hostname: holds 2147483632 bytes", b"Host Name 1 : Registry Query Error.\n"),
            # The fixture's root key is the first cell of bin 0.
            ("root's subkey list at the root",
             lambda: self.fixture.patch(self.b.hive, BASE + Bin.HeaderSize + Cell.Data + K.SubkeyList, "<I",
                                        Bin.HeaderSize),
             b"key SYSTEM: its subkey list is damaged"),
            ("bin 0 claiming bin 1's page", lambda: self.fixture.patch(self.b.hive, BASE + Bin.Size, "<I", 8192),
             b"the bin holding offset 0x0 of the bins is damaged"),
            ("bins size past 256 MiB", lambda: (self.fixture.patch(self.b.hive, B.BinsDataSize, "<I", 0xFFFFF000),
                                                os.truncate(self.b.hive, 12288)), b"its bins size"),
            ("bins size no multiple of 4096", lambda: self.fixture.patch(self.b.hive, B.BinsDataSize, "<I", 8192 + 512),
             b"its bins size"),
            ("two spellings of the hive", lambda: shutil.copyfile(self.b.hive, os.path.join(self.b.config, "system")),
             b"differ only in letter case"),
            ("two values differing in case", lambda: self.card(tcpip_extra=[("HOSTNAME", 1, b"x\0\0\0")]),
             b"two values whose names differ only in letter case", b"Host Name 1 : Set New Value Error.\n"),
            ("a value beside the name pointing where a new bin would go", lambda: (
                self.card(tcpip_extra=[("ICSDomain", 1, self.fixture.sz("x.local"))]),
                self.patch_value(b"ICSDomain", V.Data, lambda cell: os.path.getsize(self.b.hive) - BASE + Bin.HeaderSize)),
             b"value Hostname: a value of the key is damaged", b"Host Name 1 : Set New Value Error.\n"),
            ("a valid hive at the 256 MiB limit, the name needing a cell", self.grow_to_limit,
             b"no room for one within 256 MiB", b"Host Name 1 : Set New Value Error.\n"),
        ]
        for what, damage, reason, *error in cases:
            self.card()
            damage()
            before = self.b.snapshot()
            status, out, err = self.run_tool(b"FIFTEEN-LETTERS")
            self.assertEqual(status, 1, what)
            self.assertIn(out, (BANNER, BANNER + b"Old Computer Name : GALILEO\n"), what)
            first, second = err.split(b"\n", 1)
            self.assertTrue(first.startswith(b"velmora: " + self.b.hive.encode() + b": "), (what, err))
            self.assertIn(reason, first, what)
            self.assertEqual(second, error[0] if error else self.OPEN_ERROR, what)
            # status refuses it too, for the same reason.
            got = subprocess.run([self.card_tool(), "status", self.b.hive], capture_output=True)
            self.assertEqual(got.returncode, 1, what)
            self.assertIn(first.split(b": ", 2)[2].split(b" (")[0], got.stdout, what)
            self.assertEqual(self.b.snapshot(), before, what)
            if not what.startswith(("Select", "no Select", "no Current", "Current", "two spellings", "a valid")):
                self.assertTrue(hive_check.check_file(self.b.hive), f"{what}: passes the load-time check")
        # A key holding a value over 16344 bytes (kept in segments) is renamed
        # too: nothing but the name values changes. So are the versions at
        # either end of those known.
        self.card()
        self.fixture.segmented(self.b.hive, r"ControlSet001\Services\Tcpip\Parameters", "Blob", 40000)
        self.assertEqual(hive_check.check_file(self.b.hive), [])
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))
        for minor in (3, 6):
            self.card()
            self.fixture.patch(self.b.hive, B.Minor, "<I", minor)
            with self.subTest(minor=minor):
                self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))

    def test_lookups_are_bounded(self):
        # The root's subkeys behind an ri: ten times an lf list of 65,535 entries, all naming a key at
        # the end of a 64 MiB bin (a sparse file), before the real list. Hash hints, and bins found
        # once, keep this quick; walking each entry's cell back to its bin took minutes. (The timeout
        # guards against a hang only.)
        self.card()
        with open(self.b.hive, "r+b") as f:
            data = bytearray(f.read())
            bins, root = struct.unpack_from("<I", data, B.BinsDataSize)[0], struct.unpack_from("<I", data, B.RootCell)[0]
            size, count, decoy = 64 << 20, 65535, bins + (64 << 20) - 96
            lf = struct.pack("<i2sH", -(8 + 8 * count), b"lf", count) + struct.pack("<II", decoy, 0x4B434544) * count
            subkeys = BASE + root + Cell.Data + K.SubkeyList
            real = struct.unpack_from("<I", data, subkeys)[0]
            ri = struct.pack("<i2sH", -56, b"ri", 11) + struct.pack("<I", bins + Bin.HeaderSize) * 10 + struct.pack("<I", real)
            ri = ri.ljust(56, b"\0")  # its cell's whole size: cells fill their bin
            struct.pack_into("<I", data, subkeys, bins + Bin.HeaderSize + len(lf))
            struct.pack_into("<I", data, B.BinsDataSize, bins + size)
            self.fixture.set_checksum(data)
            body = struct.pack("<4sII20x", Bin.Magic, bins, size) + lf + ri
            nk = struct.pack("<i2sH", -96, K.Magic, K.LatinName).ljust(Cell.Data + K.NameLength, b"\0")
            nk += struct.pack("<HH", 4, 0) + b"DECK"
            f.seek(0)
            f.write(data + body + struct.pack("<i", size - len(body) - 96))
            f.seek(BASE + decoy)
            f.write(nk.ljust(96, b"\0"))
        command, env = self.b.command([b"NEW"])
        result = subprocess.run(command, env=env, capture_output=True, timeout=10)
        self.assertEqual((result.returncode, result.stdout), (0, BANNER + renamed(b"GALILEO", b"NEW")), result.stderr)

    def test_windows_checksum_rule(self):
        # A base block whose dwords XOR to 0 stores 1 (hivex alone refuses it).
        self.card()
        with open(self.b.hive, "r+b") as f:
            header = bytearray(f.read(BASE))
            struct.pack_into("<I", header, B.Timestamp, 0)
            rest = 0
            for (word,) in struct.iter_unpack("<I", header[:B.Checksum]):
                rest ^= word
            struct.pack_into("<I", header, B.Timestamp, rest)  # the timestamp's low half: now all XOR to 0
            struct.pack_into("<I", header, B.Checksum, 1)
            f.seek(0)
            f.write(header)
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))
        self.assertClean(self.b.hive, 0)

    def test_names_and_spelling_of_the_hive_are_kept(self):
        self.card()
        self.b.reset()
        self.b.put(TCPIP, "hostname", b"GALILEO\0")
        self.b.put(TCPIP, "NV HostName", b"GALILEO\0")
        self.b.put(COMPUTER, "ComputerName", b"GALILEO\0")
        self.b.put(ACTIVE, "ComputerName", b"GALILEO\0")
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))
        names = {name for (key, name) in hive_backend_export(self.b.hive, exact=True) if name}
        self.assertTrue({"hostname", "NV HostName"} <= names, names)

    def test_a_japanese_name_is_stored_as_the_same_text_from_either_locale(self):
        stored = {}
        for locale, argument in (("ja_JP.UTF-8", "\u30ac\u30ea\u30ec\u30aa".encode("utf-8")),
                                 ("ja_JP.SJIS", "\u30ac\u30ea\u30ec\u30aa".encode("cp932"))):
            self.card()
            got = self.b.run([argument], locale=locale)
            self.assertEqual((got[0], got[2]), (0, b""), locale)
            self.assertIn(b"New Computer Name : " + argument + b"\n", got[1])
            stored[locale] = hive_backend_export(self.b.hive)[(TCPIP.lower(), "hostname")]
        self.assertEqual(stored["ja_JP.UTF-8"], stored["ja_JP.SJIS"])
        self.assertEqual(stored["ja_JP.SJIS"], (1, "\u30ac\u30ea\u30ec\u30aa\0".encode("utf-16-le")))
        # A stored name the terminal's code page cannot show fails its query; nothing is written.
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Host Name 1 : Registry Query Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_a_name_invalid_in_the_code_page_writes_nothing(self):
        # The C locale's code set is ASCII: UTF-8 bytes typed there are no text
        # of it (never Windows-1252's mojibake); nor is 0x81 of Shift-JIS alone;
        # a code set of no table (EUC-JP) is converted through iconv by its name.
        said = b"the new name is not text of this locale's code set: run under a UTF-8 locale\n"
        for locale, name, stored in (("C", "caf\u00e9-01".encode("utf-8"), None), ("ja_JP.SJIS", b"AB\x81", None),
                                     ("ja_JP.eucJP", "\u30ac\u30ea".encode("euc-jp"), "\u30ac\u30ea")):
            with self.subTest(locale=locale):
                self.card()
                before = self.b.snapshot()
                status, out, err = self.b.run([name], locale=locale)
                if stored is None:
                    self.assertEqual((status, out), (1, BANNER + b"Old Computer Name : GALILEO\n"))
                    self.assertEqual(err, b"velmora: " + self.b.hive.encode() + b": " + said +
                                     b"Host Name 1 : Set New Value Error.\n")
                    self.assertEqual(self.b.snapshot(), before)
                else:
                    self.assertEqual(status, 0, err)
                    self.assertEqual(hive_backend_export(self.b.hive)[(TCPIP.lower(), "hostname")],
                                     (1, (stored + "\0").encode("utf-16-le")))

    def test_an_empty_variable_names_no_card(self):
        command, env = self.b.command([b"NEW"])
        env["VELMORA_SYSTEM_HIVE"] = ""
        result = subprocess.run(command, env=env, capture_output=True, timeout=60)
        self.assertEqual((result.returncode, result.stdout), (1, BANNER))
        self.assertTrue(result.stderr.startswith(b"velmora: VELMORA_SYSTEM_HIVE: set but empty"), result.stderr)
        self.assertTrue(result.stderr.endswith(b"\n" + self.OPEN_ERROR))
        self.assertEqual(os.listdir(self.b.state), [])  # the stand-in store is never made in its place

    def test_a_hive_that_cannot_be_written_fails_before_the_old_name(self):
        # Immutable files and directories refuse writing even to root, as a
        # read-only card does; a root-owned hive refuses another user. Through
        # velmora and through velmora-card alike: nothing after the banner but
        # the reason and the open error, every file as it was.
        card_tool = os.path.join(os.path.dirname(self.b.tool), "velmora-card")
        nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        os.chmod(self.b.base, 0o755)
        rows = [("SYSTEM", True, [], b"the hive cannot be written"),
                ("SYSTEM.LOG1", True, [], b"its log cannot be written"),
                (".", False, [], b"its log cannot be written"),  # no log yet, and none can be made
                (None, True, nobody, b"the hive cannot be written: Permission denied")]
        for immutable, with_log, user, said in rows:
            for program in ("velmora", "velmora-card"):
                with self.subTest(immutable=immutable, user=bool(user), program=program):
                    self.card()
                    if with_log:
                        self.assertEqual(self.run_dirty(b"FIRST")[0], 0)  # now it has a SYSTEM.LOG1
                    path = os.path.join(self.b.config, immutable) if immutable else None
                    if path and subprocess.run(["chattr", "+i", path], capture_output=True).returncode != 0:
                        self.skipTest("chattr +i is not supported here")
                    command, env = self.b.command([b"NEW"])
                    if program == "velmora-card":
                        command = [card_tool, "rename", self.b.hive, "NEW"]
                        del env["VELMORA_SYSTEM_HIVE"]
                    try:
                        before = self.b.snapshot()
                        result = subprocess.run(user + command, env=env, capture_output=True, timeout=60)
                    finally:
                        if path:
                            subprocess.run(["chattr", "-i", path], capture_output=True)
                    # velmora-card says what to do instead of running: root, or the immutable flag.
                    self.assertEqual((result.returncode, result.stdout), (1, BANNER if program == "velmora" else b""))
                    self.assertIn(said, result.stderr.split(b"\n")[0])
                    self.assertRegex(result.stderr, re.escape(self.OPEN_ERROR) + b"$" if program == "velmora" else
                                     b"\nvelmora-card: (this user may not write the card: run it as root|even root "
                                     b"may not write it: clear the file's immutable flag).*\n$")
                    self.assertEqual(self.b.snapshot(), before)

    def test_a_hive_named_through_a_link_is_replaced_where_it_lies(self):
        self.card()
        link = os.path.join(self.b.base, "link-to-SYSTEM")
        os.symlink(self.b.hive, link)
        command, env = self.b.command([b"NEW"])
        env["VELMORA_SYSTEM_HIVE"] = link
        self.assertEqual(subprocess.run(command, env=env, capture_output=True).returncode, 0)
        self.assertTrue(os.path.islink(link))
        self.assertEqual(self.b.get(TCPIP, "Hostname"), ("REG_SZ", b"NEW\0"))
        # A second hard link elsewhere would get the log Windows reads beside config's: refused there.
        os.unlink(link)
        os.link(self.b.hive, link)
        env["VELMORA_SYSTEM_HIVE"] = link
        got = subprocess.run(command, env=env, capture_output=True)
        self.assertEqual((got.returncode, got.stdout), (1, BANNER), got.stderr)
        self.assertIn(b"another hard link", got.stderr)
        self.assertEqual(os.listdir(self.b.base).count("link-to-SYSTEM.LOG1"), 0)
        self.expect(self.run_tool(b"NEWER"), 0, BANNER + renamed(b"NEW", b"NEWER"))

    def unmount(self, point):
        """Unmounts `point`, checked; one left busy is detached, so that no row leaves a mount behind."""
        result = subprocess.run(["umount", point], capture_output=True)
        if os.path.ismount(point):
            subprocess.run(["umount", "-l", point], capture_output=True)
        self.assertEqual((result.returncode, os.path.ismount(point)), (0, False), result.stderr)

    def test_card_file_systems(self):
        # Each file system's image mounted through FUSE as a card is; renamed as
        # root and, where the mount can give the files to another user, as that
        # user; then read back after a fresh mount by hivexget.
        tools = ("fusefat", "mkfs.vfat", "mount.exfat-fuse", "mkfs.exfat", "ntfs-3g", "mkntfs", "hivexget")
        if not os.path.exists("/dev/fuse") or not all(shutil.which(t) for t in tools):
            print("\n#### blackbox: NO /dev/fuse, OR NO FUSE FILE SYSTEM TOOLS: the card file system cases are "
                  "skipped ####", file=sys.stderr)
            self.skipTest("needs /dev/fuse and the FUSE file systems")
        nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        owned = "uid=65534,gid=65534"
        rows = [  # name, make, mount(image, point, options), as whom
            ("FAT32", ["mkfs.vfat", "-F", "32"], lambda image, point, options: ["fusefat", "-o", "rw+", image, point],
             []),
            ("exFAT", ["mkfs.exfat"], lambda image, point, options: ["mount.exfat-fuse"] + options + [image, point],
             []),
            ("exFAT", ["mkfs.exfat"], lambda image, point, options: ["mount.exfat-fuse"] + options + [image, point],
             nobody),
            ("NTFS", ["mkntfs", "-F", "-Q"], lambda image, point, options: ["ntfs-3g"] + options + [image, point], []),
            ("NTFS", ["mkntfs", "-F", "-Q"], lambda image, point, options: ["ntfs-3g"] + options + [image, point],
             nobody),
        ]
        os.chmod(self.b.base, 0o755)  # the other user reaches the mount point through it
        for name, make, mount, user in rows:
            with self.subTest(name=name, user=bool(user)):
                # A point of its own each time: a row that failed never leaves one to mount onto.
                image, point = os.path.join(self.b.base, "card.img"), tempfile.mkdtemp(dir=self.b.base)
                os.chmod(point, 0o755)
                with open(image, "wb") as f:
                    f.truncate(64 << 20)
                subprocess.run(make + [image], check=True, capture_output=True)
                # exfat-fuse wants a block device.
                device = subprocess.run(["losetup", "-f", "--show", image], check=True, capture_output=True,
                                        text=True).stdout.strip() if name == "exFAT" else image
                options = ["-o", owned] if user else []
                self.card()
                try:
                    subprocess.run(mount(device, point, options), check=True, capture_output=True)
                    try:
                        shutil.copyfile(self.b.hive, os.path.join(point, "SYSTEM"))
                        # Two runs naming the hive in two spellings (each its own inode through
                        # fusefat and exfat-fuse) still take one lock: one runs after the other.
                        runs = []
                        for spelling, new in (("SYSTEM", b"RACE-A"), ("system", b"RACE-B")):
                            command, env = self.b.command([new])
                            env["VELMORA_SYSTEM_HIVE"] = os.path.join(point, spelling)
                            runs.append(subprocess.Popen(command, env=env, stdout=subprocess.PIPE))
                        olds = sorted(re.search(rb"Old Computer Name : (\S+)", run.communicate(timeout=60)[0])[1]
                                      for run in runs)
                        self.assertIn(olds, ([b"GALILEO", b"RACE-A"], [b"GALILEO", b"RACE-B"]))
                        command, env = self.b.command([name.encode()])
                        env["VELMORA_SYSTEM_HIVE"] = os.path.join(point, "SYSTEM")
                        result = subprocess.run(user + command, env=env, capture_output=True, timeout=60)
                        self.assertEqual((result.returncode, result.stderr), (0, b""))
                        if name == "FAT32":  # fusefat cannot make a file longer: a longer name is refused unwritten
                            status = subprocess.run([self.card_tool(), "status", point], capture_output=True)
                            self.assertEqual(status.returncode, 1)
                            self.assertIn(b"writable           : no: the new name needs a new bin, and the card's "
                                          b"file system (fuse.fusefat) cannot make the hive longer", status.stdout)
                    finally:
                        self.unmount(point)
                    subprocess.run(mount(device, point, []), check=True, capture_output=True)
                    try:
                        got = subprocess.run(["hivexget", os.path.join(point, "SYSTEM"),
                                              r"ControlSet001\Services\Tcpip\Parameters", "Hostname"],
                                             capture_output=True, text=True).stdout
                    finally:
                        self.unmount(point)
                    self.assertEqual(got, name + "\n")
                finally:
                    if device != image:
                        subprocess.run(["losetup", "-d", device], capture_output=True)

    def test_interrupt_and_concurrent_runs(self):
        self.card()
        got = self.run_tool(b"NEW", prefix=["strace", "-f", "-o", "/dev/null", "-e", "trace=fsync",
                                            "-e", "inject=fsync:signal=INT:when=1"])
        self.assertEqual(got[:2], (-2, BANNER + renamed(b"GALILEO", b"NEW")))
        self.assertEqual(self.b.get(TCPIP, "Hostname"), ("REG_SZ", b"NEW\0"))
        previous = b"NEW"
        for i in range(5):
            runs = [subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    for command, env in (self.b.command([b"ALPHA"]), self.b.command([b"BRAVO"]))]
            results = [run.communicate(timeout=60) for run in runs]
            # The later one may say that it waits for the earlier.
            waiting = b"velmora: " + self.b.hive.encode() + b": another run is using this card: waiting for it to finish\n"
            self.assertEqual([run.returncode for run in runs], [0, 0], i)
            self.assertTrue({err for _, err in results} <= {b"", waiting}, results)
            # One ran after the other: the later one's old name is the earlier one's new.
            pairs = [re.findall(rb"(?:Old|New) Computer Name : (\w+)", out) for out, _ in results]
            stored = {self.b.get(key, value) for key, value in VALUES[:3]}
            self.assertEqual(len(stored), 1, stored)
            last = stored.pop()[1].rstrip(b"\0")
            first, second = sorted(pairs, key=lambda pair: pair[1] == last)
            self.assertEqual((first[0], second[0], second[1]), (previous, first[1], last), pairs)
            previous = last
        self.assertEqual(sorted(os.listdir(self.b.config)), ["SYSTEM", "SYSTEM.LOG1"])
        self.assertEqual(os.listdir(self.b.state), [])
        # A hive replaced (renamed over) while a run waits for the lock: the run renames the new file.
        other = os.path.join(self.b.base, "other")
        self.fixture.fresh_card(other, "OTHER")
        with open(self.b.hive, "rb") as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            command, env = self.b.command([b"LATER"])
            run = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertIn(b"waiting for it to finish", run.stderr.readline())
            os.rename(other, self.b.hive)
        self.assertIn(b"Old Computer Name : OTHER\n", run.communicate(timeout=60)[0])

