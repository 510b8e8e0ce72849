"""Black-box cases of the hive writer: what it writes, and what a failure leaves."""
import os
import struct
import subprocess

import hive_check
from harness import BANNER, TCPIP, VALUES, renamed, HiveCase
from hive_layout import BaseBlockField, BinField, HiveBaseBlockSize as BASE, HivePageSize as PAGE


class HiveWriter(HiveCase):
    """What a rename writes to the card, and what a failed one says it left."""

    def test_a_failed_write_says_what_it_left(self):
        # pwrite #1 writes the log, #2 marks the hive dirty, #3 writes the first page; fsync #1 flushes
        # the log, #2 the new log's directory, #3 the dirty header, #4 the pages, #5 the clean header.
        # On a dirty card, pwrite #1 is the first of the pages its recovery writes in place, fsync #2
        # flushes the recovered header. After a failed flush the message cannot know, and says so.
        rows = [("pwrite64", 1, b"the hive itself was not touched, and holds the old names", b"GALILEO", False),
                ("pwrite64", 2, b"is unknown until the board's next boot, or the next run", b"GALILEO", False),
                ("pwrite64", 3, b"the hive is marked dirty, and its log holds the rename", b"NEW", False),
                ("fsync", 3, b"the board boots renamed), is unknown", b"NEW", False),
                ("fsync", 5, b"the card holds the new names", b"NEW", False),
                ("pwrite64", 1, b"the hive is still dirty, its logs as they were", b"FromLog", True),
                ("fsync", 2, b"the card holds the old names, but whether", b"FromLog", True),
                ("fsync", 3, b"recovered from its logs and is clean, with the old names", b"FromLog", True)]
        for call, when, said, then, dirty in rows:
            with self.subTest(call=call, when=when, dirty=dirty):
                self.card()
                if dirty:
                    self.fixture.dirty(self.b.hive, self.log_change("FromLog", other=False))
                logs = {k: v for k, v in self.b.snapshot()[0].items() if k != "SYSTEM"}
                with open(self.b.hive, "rb") as f:
                    before = f.read()
                status, out, err = self.run_dirty(b"NEW", prefix=[
                    "strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e", f"inject={call}:error=EIO:when={when}"])
                self.assertEqual((status, out), (1, BANNER + renamed(b"FromLog" if dirty else b"GALILEO", b"NEW")))
                if dirty:
                    if call == "pwrite64":  # the recovery not yet written: the logs hold it still
                        self.assertEqual({k: v for k, v in self.b.snapshot()[0].items() if k != "SYSTEM"}, logs)
                    err = err.split(b"\n", 1)[1]  # after the line saying the logs were replayed
                self.assertTrue(err.startswith(b"velmora: " + self.b.hive.encode() + b": writing the hive failed"), err)
                self.assertIn(said, err)
                self.assertTrue(err.endswith(b"\nComputer Name 2 : Registry Close Error.\n"), err)
                if call == "pwrite64" and when < 3 and not dirty:
                    with open(self.b.hive, "rb") as f:
                        self.assertEqual(f.read(), before)
                # The next run sees what Windows would: the old names, or the rename through the log.
                status, out, _ = self.run_dirty(b"LATER")
                self.assertEqual((status, out), (0, BANNER + renamed(then, b"LATER")))
        # The growth is flushed before the header is first written, and the log ends on a page.
        self.card(name="A")
        trace = os.path.join(self.b.base, "trace")
        self.run_dirty(b"A-LONGER-NAME-1", prefix=["strace", "-f", "-o", trace, "-e", "trace=ftruncate,fsync,pwrite64"])
        with open(trace) as f:
            calls = [line.split(None, 1)[1] for line in f if "(" in line]
        grown = next(i for i, c in enumerate(calls) if c.startswith("ftruncate"))
        header = next(i for i, c in enumerate(calls)
                      if c.startswith("pwrite64") and c.split(") =")[0].endswith(", %d, 0" % BASE))
        self.assertTrue(any(c.startswith("fsync") for c in calls[grown:header]), calls)
        self.assertEqual(os.path.getsize(self.b.hive + ".LOG1") % PAGE, 0)
        # A rename that adds a bin: the growth refused (fusefat's EPERM), or its flush failed (fsync #3,
        # after the log's and its directory's). velmora-card shows no closing line for either.
        for call, when, error, said, growth in (("ftruncate", 1, "EPERM", b"would not make it longer", 0),
                                                ("fsync", 3, "EIO", b"grew by zeros past its bins", PAGE)):
            with self.subTest(call=call):
                self.card(name="A")
                size = os.path.getsize(self.b.hive)
                inject = ["strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                          f"inject={call}:error={error}:when={when}"]
                status, out, err = self.run_dirty(b"A-LONGER-NAME-1", prefix=inject)
                self.assertEqual((status, out), (1, BANNER + renamed(b"A", b"A-LONGER-NAME-1")))
                self.assertIn(said, err)
                self.assertEqual(os.path.getsize(self.b.hive), size + growth)
                self.assertEqual(self.run_dirty(b"LATER")[:2], (0, BANNER + renamed(b"A", b"LATER")))
                self.card(name="A")
                got = subprocess.run(inject + [self.card_tool(), "-q", "rename", self.b.hive, "A-LONGER-NAME-2"],
                                     capture_output=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual((got.returncode, got.stdout), (1, b"Old Computer Name : A\n"))

    def test_the_writer_changes_only_the_pages_it_logs(self):
        def fake_bin_in_blob():
            # A blob ending the hive's last bin, holding at its last page boundary what a bin header
            # with a free cell looks like.
            self.b.put(TCPIP, "Blob", bytes(9000), kind=3)
            with open(self.b.hive, "r+b") as f:
                data = f.read()
                page = (len(data) - PAGE) // PAGE * PAGE
                self.assertEqual(data[page:page + 64], bytes(64))  # inside the blob's zeros
                f.seek(page)
                f.write(struct.pack("<4sII20xi", BinField.Magic, page - BASE, PAGE, PAGE - BinField.HeaderSize))

        rows = [  # old name, new name, damage, growth in bytes
            (b"GALILEO", b"NEWNAME", None, 0),  # fits the old cell
            (b"GALILEO", b"A", None, 0),  # 4 bytes with its terminator: inside the record
            (b"A", b"B", None, 0),  # stays inside the record
            (b"FIFTEEN-LETTERS", b"ELEVEN-CHAR", None, 0),  # fits the room of the cell it has
            (b"A", b"A-LONGER-NAME-1", None, PAGE),  # a cell of its own: in a new bin, never searched for
            (b"A", b"A-LONGER-NAME-1", lambda: self.fixture.fill_last_bin(self.b.hive), PAGE),
            (b"A", b"A-LONGER-NAME-1", fake_bin_in_blob, PAGE),  # bytes of another value are never taken for a bin
        ]
        for old, new, damage, growth in rows:
            with self.subTest(old=old, new=new, damage=damage):
                self.card(name=old.decode())
                if damage:
                    damage()
                with open(self.b.hive, "rb") as f:
                    before = f.read()
                self.expect(self.run_tool(new), 0, BANNER + renamed(old, new))
                with open(self.b.hive, "rb") as f:
                    after = f.read()
                self.assertEqual(len(after), len(before) + growth)
                self.assertEqual(struct.unpack_from("<I", after, BaseBlockField.BinsDataSize)[0], len(after) - BASE)
                changed = {page - BASE for page in range(BASE, len(after), PAGE)
                           if before[page:page + PAGE] != after[page:page + PAGE]}
                self.assertEqual(changed, self.entry_pages())
                self.assertEqual(self.computer_name_key(after),
                                 max(self.computer_name_key(before), 2 * len(new) + 2))
                for key, value in VALUES[:3]:
                    self.assertEqual(self.b.get(key, value), ("REG_SZ", new + b"\0"), value)
                if old == b"A" and new == b"B":
                    self.assertIn(struct.pack("<II", 0x80000004, 0x42), after)  # Hostname's record: size, data
                checker = hive_check.Checker(after)
                self.assertTrue(checker.header() and checker.tile())
                self.assertFalse(checker.cells[max(checker.cells)][1])  # the last bin ends in a free cell

    def test_card_files_stay_as_they_are(self):
        # Hard links, and a sparse file far larger than its hive: written in place, read no further.
        self.card()
        link = os.path.join(self.b.base, "SYSTEM-link")
        os.link(self.b.hive, link)
        size = os.path.getsize(self.b.hive)
        os.truncate(self.b.hive, 4 << 30)
        self.assertEqual(self.run_dirty(b"NEW"), (0, BANNER + renamed(b"GALILEO", b"NEW"), b""))
        self.assertTrue(os.path.samefile(link, self.b.hive))
        self.assertEqual(os.path.getsize(self.b.hive), 4 << 30)
        self.assertLess(os.stat(self.b.hive).st_blocks * 512, 1 << 20)
        os.truncate(self.b.hive, size)
        self.assertEqual(self.b.get(TCPIP, "Hostname"), ("REG_SZ", b"NEW\0"))
        # 300 renames in a row, of every length and then alternating one
        # character (data that fits the record) with fifteen: at most one bin more.
        self.card(name="A")
        size = os.path.getsize(self.b.hive)
        for i, length in enumerate([1 + i % 15 for i in range(30)] + [1, 15] * 135):
            self.assertEqual(self.run_tool(b"N" * length)[0], 0, i)
        self.assertLessEqual(os.path.getsize(self.b.hive), size + PAGE)

