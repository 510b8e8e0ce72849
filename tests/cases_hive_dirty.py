"""Black-box cases of dirty hives: the logs replayed as Windows replays them."""
import os
import re
import struct

from harness import BANNER, TCPIP, REG_SZ, renamed, hive_backend_export, HiveCase
from hive_layout import BaseBlockField as B, HiveBaseBlockSize as BASE, HiveLogHeaderSize as LOG_HEADER
from hive_layout import HiveNewFormatLog, HivePageSize as PAGE, LogEntryField


class DirtyHives(HiveCase):
    """A board switched off by pulling its power: its logs replayed, then the rename."""

    def test_stale_entries_in_the_logs_are_never_chained_in(self):
        # A clean hive beside logs whose valid entries, numbered from the
        # primary's own number on, would rename it INTRUDER: Windows ignores
        # them while the hive is clean, and so must a replay of a rename cut
        # short after it marked the hive dirty.
        fx = self.fixture
        for split in (1, 2):
            with self.subTest(split=split):
                self.card()
                with open(self.b.hive, "rb") as f:
                    clean = f.read()
                fx.dirty(self.b.hive, self.log_change("INTRUDER"), split=split)
                with open(self.b.hive, "wb") as f:
                    f.write(clean)
                status, out, err = self.run_tool(b"NEW", prefix=[
                    "strace", "-f", "-o", "/dev/null", "-e", "trace=pwrite64", "-e", "inject=pwrite64:error=EIO:when=3"])
                self.assertIn(b"the hive is marked dirty", err)
                status, out, err = self.run_dirty(b"LATER")
                self.assertEqual((status, out), (0, BANNER + renamed(b"NEW", b"LATER")), err)
                self.assertIn(b"replayed 1 log entry from SYSTEM.LOG1", err)

    def test_an_entry_past_a_gap_is_numbered_below_the_rename(self):
        # Never replayed, but a later chain could reach it: the rename's entry is numbered above it.
        self.card()
        with open(self.b.hive, "rb") as f:
            hive = f.read()
        primary = struct.unpack_from("<I", hive, B.PrimarySequence)[0]
        bins = struct.unpack_from("<I", hive, B.BinsDataSize)[0]
        stale = self.fixture.entry(primary + 100, bins, [(0, hive[BASE:BASE + PAGE])])
        with open(self.b.hive + ".LOG1", "wb") as f:
            f.write(self.fixture.log_header(hive, primary, HiveNewFormatLog) + bytes(1024) + stale)
        self.assertEqual(self.run_dirty(b"NEW")[0], 0)
        with open(self.b.hive + ".LOG1", "rb") as f:
            self.assertGreater(struct.unpack_from("<I", f.read(LOG_HEADER), B.PrimarySequence)[0], primary + 100)

    def test_a_dirty_card_is_replayed_then_renamed(self):
        line = b"velmora: " + self.b.hive.encode() + b": replayed %d %s from %s, as Windows would at boot\n"
        rows = [("split, the primary ahead", {}, b"log entries", b"SYSTEM.LOG1 and SYSTEM.LOG2"),
                ("split, the secondary ahead", {"secondary_ahead": True}, b"log entries",
                 b"SYSTEM.LOG1 and SYSTEM.LOG2"),
                ("one log", {"split": 1}, b"log entries", b"SYSTEM.LOG1"),
                ("old format", {"old_format": True}, b"dirty pages", b"SYSTEM.LOG1")]
        for what, kw, unit, logs in rows:
            with self.subTest(what):
                self.card()
                change = self.log_change("FromLog")
                expected = self.expected_after(change, "Board-9")
                numbers = self.fixture.dirty(self.b.hive, change, **kw)
                before = self.b.snapshot()[0]
                status, out, err = self.run_dirty(b"Board-9")
                count = len(numbers) if numbers else int(re.search(rb"replayed (\d+)", err).group(1))
                self.assertEqual((status, out, err), (0, BANNER + renamed(b"FromLog", b"Board-9"),
                                                      line % (count, unit, logs)))
                self.assertEqual(hive_backend_export(self.b.hive), expected)
                # Clean, and numbered above everything in the logs, the rename's own entry in LOG1 included.
                with open(self.b.hive + ".LOG1", "rb") as f:
                    (written,) = struct.unpack_from("<I", f.read(LOG_HEADER), B.PrimarySequence)
                self.assertGreater(written, max(numbers, default=0))
                self.assertClean(self.b.hive, written)
                # LOG2 is left as it was.
                after = self.b.snapshot()[0]
                self.assertEqual(after.get("SYSTEM.LOG2"), before.get("SYSTEM.LOG2"))
        # Logs named in other letter cases are the same files on the card.
        self.card()
        self.fixture.dirty(self.b.hive, self.log_change("FromLog", other=False))
        os.rename(self.b.hive + ".LOG1", os.path.join(self.b.config, "system.log1"))
        os.rename(self.b.hive + ".LOG2", os.path.join(self.b.config, "System.Log2"))
        self.assertIn(b"from system.log1 and System.Log2", self.run_dirty(b"NEW")[2])
        # A header counting bins the file lacks (a growing rename cut short):
        # replayed when the logs hold the pages past the file's end.
        def grow(h):
            change(h)
            h.node_set_value(self.fixture.add(h, h.root(), TCPIP.split("\\", 1)[1]),
                             {"key": "Grown", "t": 3, "value": bytes(6000)})
        for cut_short in (False, True):
            self.card()
            change = self.log_change("FromLog")
            expected = self.expected_after(grow, "Board-9")
            self.fixture.dirty(self.b.hive, grow, split=1)
            with open(self.b.hive + ".LOG1", "r+b") as f:
                log = f.read()
                first_entry = LOG_HEADER + LogEntryField.BinsDataSize
                self.fixture.patch(self.b.hive, B.BinsDataSize, "<I", struct.unpack_from("<I", log, first_entry)[0])
                if cut_short:  # the last entry, holding the last page, gone
                    f.truncate(log.rindex(LogEntryField.Magic))
            status, out, err = self.run_dirty(b"Board-9")
            if cut_short:
                self.assertEqual((status, out), (1, BANNER), err)
                self.assertIn(b"its logs do not hold the rest", err)
            else:
                self.assertEqual((status, out), (0, BANNER + renamed(b"FromLog", b"Board-9")), err)
                self.assertEqual(hive_backend_export(self.b.hive), expected)

    def test_dirty_cards_that_cannot_be_renamed_are_not_touched(self):
        fx = self.fixture

        def stale():
            fx.dirty(self.b.hive, self.log_change("X"))
            fx.patch(self.b.hive, B.SecondarySequence, "<I", 50)  # the logs are older than the primary

        def fifo():
            fx.make_dirty(self.b.hive)
            os.mkfifo(self.b.hive + ".LOG1")

        def sparse():
            fx.make_dirty(self.b.hive)
            with open(self.b.hive + ".LOG1", "wb") as f:
                f.truncate(8 << 30)

        def empty():
            fx.make_dirty(self.b.hive)
            for suffix in (".LOG1", ".LOG2"):
                open(self.b.hive + suffix, "wb").close()

        def broken_headers():
            fx.dirty(self.b.hive, self.log_change("X"))
            for suffix in (".LOG1", ".LOG2"):
                fx.patch(self.b.hive + suffix, B.PrimarySequence, "<I", 99, fix_checksum=False)

        rows = [("empty logs", empty, b"its logs are empty"),
                ("broken log headers", broken_headers, b"no log beside it has a valid header"),
                ("stale logs", stale, b"its logs hold no change that applies to it"),
                ("a FIFO as a log", fifo, b"SYSTEM.LOG1 is not a regular file"),
                ("a sparse 8 GiB log", sparse, b"SYSTEM.LOG1 is larger than any log of this hive can be")]
        for what, damage, reason in rows:
            with self.subTest(what):
                self.card()
                damage()
                before = self.b.snapshot()
                status, out, err = self.run_dirty(b"NEW")
                self.assertEqual((status, out), (1, BANNER))
                first, second = err.split(b"\n", 1)
                self.assertIn(reason, first)
                self.assertIn(b"boot the board once with this card and shut it down cleanly", first)
                self.assertEqual(second, self.OPEN_ERROR)
                self.assertEqual(self.b.snapshot(), before)
        # Logs whose names disagree: the tool's own refusal, nothing written.
        self.card()
        fx.dirty(self.b.hive, lambda h: h.node_set_value(fx.add(h, h.root(), TCPIP.split("\\", 1)[1]), {
            "key": "NV Hostname", "t": REG_SZ, "value": fx.sz("OTHER")}))
        before = self.b.snapshot()
        status, out, err = self.run_dirty(b"NEW")
        self.assertEqual((status, out), (1, BANNER))
        self.assertTrue(err.endswith(b"\nName Mismatch : H1 = GALILEO, H2 = OTHER, C1 = GALILEO, C2 = GALILEO\n"),
                        err)
        self.assertEqual(self.b.snapshot(), before)

