"""SYSTEM hives for the tests, made here from nothing: a few lines write an
empty hive (the base block and one bin holding a root key and its security
cell), then hivex's own API adds the keys and values. Debian's python3-hivex.

    hive_fixture.py card PATH [NAME]      a hive as it lies on a fresh card
    hive_fixture.py big PATH [BUSES]      about 12 MB, 50,000 keys (100 buses), for bench/run
    hive_fixture.py dirty PATH            PATH (a clean hive) left dirty, about 1 MB of
                                          changes in PATH.LOG1 and PATH.LOG2, for bench/run
    hive_fixture.py seeds DIR             seeds for the fuzz targets (DIR is tests/fuzz/corpus)

Dirty hives are made as a board leaves them when its power is pulled: the
clean hive's bytes stay in the primary, now marked dirty, and the changes made
to a copy of it through hivex go to the logs as the pages they touched.
"""
import os
import shutil
import struct
import sys

import hivex
from hive_check import checksum
from hive_layout import (BaseBlockField, BinField, CellField, DirtyLogField, HiveBaseBlockSize, HiveLargestSingleCell,
                         HiveLogHeaderSize, HiveLogUnit, HiveNewFormatLog, HiveOldFormatLog, HivePageSize, KeyNodeField,
                         LogEntryField, ValueRecordField)

REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_MULTI_SZ = 1, 2, 4, 7
BASE_BLOCK = HiveBaseBlockSize
BIN = HivePageSize


def set_checksum(data):
    struct.pack_into("<I", data, BaseBlockField.Checksum, checksum(data))


def empty_hive(path, minor=5):
    """A hive holding just its root key."""
    # The root key (nk) first in the bin, its security cell (sk) after it.
    root_name = b"ROOT"
    nk_offset, sk_offset = BinField.HeaderSize, BinField.HeaderSize + 0x58
    nk = struct.pack("<2sHQIIIIIIIIIIIIIIIHH", KeyNodeField.Magic, 0x2C, 0, 0, 0xFFFFFFFF, 0, 0, 0xFFFFFFFF, 0xFFFFFFFF, 0,
                     0xFFFFFFFF, sk_offset, 0xFFFFFFFF, 0, 0, 0, 0, 0, len(root_name), 0) + root_name
    nk_cell = struct.pack("<i", -0x58) + nk.ljust(0x58 - 4, b"\0")
    # A self-relative security descriptor with no owner, group or lists.
    descriptor = struct.pack("<BBHIIII", 1, 0, 0x8000, 0, 0, 0, 0)
    sk = struct.pack("<2sHIIII", b"sk", 0, sk_offset, sk_offset, 1, len(descriptor)) + descriptor
    sk_size = (4 + len(sk) + 7) & ~7
    sk_cell = struct.pack("<i", -sk_size) + sk.ljust(sk_size - 4, b"\0")
    used = BinField.HeaderSize + len(nk_cell) + len(sk_cell)
    free_cell = struct.pack("<i", BIN - used).ljust(BIN - used, b"\0")
    hbin = struct.pack("<4sIIQQI", BinField.Magic, 0, BIN, 0, 0, 0) + nk_cell + sk_cell + free_cell
    header = bytearray(BASE_BLOCK)
    struct.pack_into("<4sIIQIIIIIII", header, BaseBlockField.Signature, BaseBlockField.Magic, 1, 1, 0, 1, minor, 0, 1,
                     nk_offset, BIN, 1)
    set_checksum(header)
    with open(path, "wb") as f:
        f.write(bytes(header) + hbin)


def sz(text):
    return text.encode("utf-16-le") + b"\0\0"


def multi_sz(*texts):
    return b"".join(sz(t) for t in texts) + b"\0\0"


def dword(number):
    return struct.pack("<I", number)


def add(h, parent, path):
    node = parent
    for name in path.split("\\"):
        child = h.node_get_child(node, name)
        node = child if child else h.node_add_child(node, name)
    return node


def set_values(h, node, values):
    h.node_set_values(node, [{"key": k, "t": t, "value": v} for k, t, v in values])


def fresh_card(path, name="GALILEO", active=False, current=1, tcpip_extra=()):
    """The SYSTEM hive of a freshly flashed card: the three persistent name
    values among realistic neighbours; ActiveComputerName only when asked."""
    empty_hive(path)
    h = hivex.Hivex(path, write=True)
    root = h.root()
    set_values(h, add(h, root, "Select"),
               [("Current", REG_DWORD, dword(current)), ("Default", REG_DWORD, dword(1)),
                ("Failed", REG_DWORD, dword(0)), ("LastKnownGood", REG_DWORD, dword(1))])
    add(h, root, "MountedDevices")
    add(h, root, "Setup")
    cs = add(h, root, "ControlSet001")
    set_values(h, add(h, cs, r"Services\Tcpip\Parameters"),
               [("DataBasePath", REG_EXPAND_SZ, sz(r"%SystemRoot%\System32\drivers\etc")),
                ("Domain", REG_SZ, sz("")), ("Hostname", REG_SZ, sz(name)), ("NV Hostname", REG_SZ, sz(name)),
                ("SearchList", REG_SZ, sz("")), ("EnableICMPRedirect", REG_DWORD, dword(1)),
                ("ForwardBroadcasts", REG_DWORD, dword(0)),
                ("NameServerList", REG_MULTI_SZ, multi_sz("192.168.0.1", "192.168.0.2"))] + list(tcpip_extra))
    add(h, cs, r"Services\Tcpip\Parameters\Interfaces")
    set_values(h, add(h, cs, r"Services\Tcpip\Linkage"), [("Bind", REG_MULTI_SZ, multi_sz(r"\Device\Tcpip_{1}"))])
    add(h, cs, r"Services\Dhcp")
    set_values(h, add(h, cs, r"Control\ComputerName\ComputerName"), [("ComputerName", REG_SZ, sz(name))])
    if active:
        set_values(h, add(h, cs, r"Control\ComputerName\ActiveComputerName"), [("ComputerName", REG_SZ, sz(name))])
    set_values(h, add(h, cs, r"Control\Session Manager"), [("ProtectionMode", REG_DWORD, dword(1))])
    add(h, cs, "Enum")
    h.commit(None)


def segmented(path, key, name, size):
    """Gives the key `key` a value `name` of `size` zero bytes (REG_BINARY)
    kept as Windows keeps data over HiveLargestSingleCell bytes: a db record, its list of
    segments and the segments, in a bin appended for them."""
    h = hivex.Hivex(path, write=True)
    node = add(h, h.root(), key)
    h.node_set_value(node, {"key": name, "t": 3, "value": bytes(8)})
    h.commit(None)
    node, vk = node - BASE_BLOCK, h.node_get_value(node, name) - BASE_BLOCK
    del h
    with open(path, "rb") as f:
        data = bytearray(f.read())
    bins = struct.unpack_from("<I", data, BaseBlockField.BinsDataSize)[0]
    count = -(-size // HiveLargestSingleCell)
    # The db record's 8 bytes take a 16-byte cell, the first in the new bin.
    db_cell = 16
    cells = [struct.pack("<2sHI", b"db", count, bins + BinField.HeaderSize + db_cell), None]
    cells += [bytes(HiveLargestSingleCell)] * count
    first = bins + BinField.HeaderSize + db_cell + (CellField.Data + 4 * count + 7) // 8 * 8
    cells[1] = b"".join(struct.pack("<I", first + (CellField.Data + HiveLargestSingleCell + 4) * i)
                        for i in range(count))
    body = b""
    for cell in cells:
        length = (CellField.Data + len(cell) + 7) // 8 * 8
        body += struct.pack("<i", -length) + cell.ljust(length - CellField.Data, b"\0")
    length = -(-(BinField.HeaderSize + len(body)) // BIN) * BIN
    hbin = struct.pack("<4sIIQQI", BinField.Magic, bins, length, 0, 0, 0) + body
    hbin += struct.pack("<i", length - len(hbin)).ljust(length - len(hbin), b"\0")
    struct.pack_into("<II", data, BASE_BLOCK + vk + CellField.Data + ValueRecordField.DataSize, size,
                     bins + BinField.HeaderSize)
    largest = BASE_BLOCK + node + CellField.Data + KeyNodeField.LargestValueData
    struct.pack_into("<I", data, largest, max(size, struct.unpack_from("<I", data, largest)[0]))
    struct.pack_into("<I", data, BaseBlockField.BinsDataSize, bins + length)
    set_checksum(data)
    with open(path, "wb") as f:
        f.write(data[:BASE_BLOCK + bins] + hbin)


def fill_last_bin(path):
    """Every free cell of the hive's last bin marked in use (nothing points to
    them): the next cell the hive needs takes a new bin."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        bins = struct.unpack_from("<I", data, BaseBlockField.BinsDataSize)[0]
        at = bins
        while data[at:at + len(BinField.Magic)] != BinField.Magic:
            at -= BIN
        cell = at + BinField.HeaderSize
        while cell < BASE_BLOCK + bins:
            size = struct.unpack_from("<i", data, cell)[0]
            struct.pack_into("<i", data, cell, -abs(size))
            cell += abs(size)
        f.seek(0)
        f.write(data)


def domain_from_log(h):
    """A change a board made before its power was pulled, beside the names:
    Tcpip's Domain set to from.log (for dirty())."""
    node = add(h, h.root(), r"ControlSet001\Services\Tcpip\Parameters")
    h.node_set_value(node, {"key": "Domain", "t": REG_SZ, "value": sz("from.log")})


def patch(path, offset, fmt, *values, fix_checksum=True):
    """Packs `values` at file offset `offset`, fixing the header's checksum."""
    with open(path, "r+b") as f:
        size = max(BASE_BLOCK, offset + struct.calcsize(fmt))
        data = bytearray(f.read(size).ljust(size, b"\0"))
        struct.pack_into(fmt, data, offset, *values)
        if fix_checksum:
            set_checksum(data)
        f.seek(0)
        f.write(data)


def make_dirty(path):
    """The second sequence number one ahead of the first, as a hive whose
    logs hold changes not yet written back."""
    with open(path, "rb") as f:
        (first,) = struct.unpack_from("<I", f.read(BaseBlockField.SecondarySequence), BaseBlockField.PrimarySequence)
    patch(path, BaseBlockField.SecondarySequence, "<I", first + 1)


def marvin32(data):
    lo, hi, mask = 0x7A4E55C5, 0x82EF4D88, 0xFFFFFFFF

    def rotl(x, n):
        return ((x << n) | (x >> (32 - n))) & mask

    def mix(w):
        nonlocal lo, hi
        lo = (lo + w) & mask
        hi ^= lo
        lo = (rotl(lo, 20) + hi) & mask
        hi = rotl(hi, 9) ^ lo
        lo = (rotl(lo, 27) + hi) & mask
        hi = rotl(hi, 19)

    whole = len(data) // 4 * 4
    for (word,) in struct.iter_unpack("<I", data[:whole]):
        mix(word)
    mix(int.from_bytes(data[whole:] + b"\x80", "little"))
    mix(0)
    return hi << 32 | lo


def log_header(base, sequence, file_type):
    """A log's copy of the base block `base`, its two numbers `sequence`."""
    header = bytearray(base[:HiveLogHeaderSize])
    struct.pack_into("<II", header, BaseBlockField.PrimarySequence, sequence, sequence)
    struct.pack_into("<I", header, BaseBlockField.FileType, file_type)
    set_checksum(header)
    return bytes(header)


def entry(sequence, bins_size, pages, flags=0, align=HiveLogUnit):
    """One new-format log entry writing `pages`, [(bins offset, bytes)]."""
    refs = b"".join(struct.pack("<II", offset, len(data)) for offset, data in pages)
    body = refs + b"".join(data for _, data in pages)
    size = -(-(LogEntryField.HeaderSize + len(body)) // align) * align
    body = body.ljust(size - LogEntryField.HeaderSize, b"\0")
    head = struct.pack("<4sIIIII", LogEntryField.Magic, size, flags, sequence, bins_size, len(pages))
    head += struct.pack("<Q", marvin32(body))
    return head + struct.pack("<Q", marvin32(head)) + body


def changed_pages(before, after):
    """The 4096-byte pages of the bins that differ, as Windows logs them."""
    return [(offset - BASE_BLOCK, after[offset:offset + BIN]) for offset in range(BASE_BLOCK, len(after), BIN)
            if before[offset:offset + BIN] != after[offset:offset + BIN]]


def dirty(path, change, split=2, old_format=False, secondary_ahead=False):
    """Leaves the clean hive at `path` dirty: `change(h)` is made on a copy
    through hivex; the copy's changed pages go to new-format entries, one page
    each, the first half in PATH.LOG1 and the rest in PATH.LOG2 (`split` 1: all
    in LOG1), or to an old-format PATH.LOG1. The primary keeps the old bytes
    and gets its first sequence number one ahead, as Windows leaves it (the
    second one when `secondary_ahead`). Returns the entries' sequence numbers."""
    with open(path, "rb") as f:
        before = f.read()
    copy = path + ".fixture-copy"
    shutil.copyfile(path, copy)
    h = hivex.Hivex(copy, write=True)
    change(h)
    h.commit(None)
    del h
    with open(copy, "rb") as f:
        after = f.read()
    os.unlink(copy)
    pages = changed_pages(before, after)
    # Logs start at the primary's second number.
    sequence = struct.unpack_from("<I", before, BaseBlockField.SecondarySequence)[0] + (1 if secondary_ahead else 0)
    bins_size = len(after) - BASE_BLOCK
    if old_format:
        bits = bytearray(bins_size // HiveLogUnit // 8)
        for offset, _ in pages:
            bits[offset // HivePageSize] = 0xFF  # the eight 512-byte units of each changed page
        start = DirtyLogField.Bitmap + len(bits)
        # The log's base block is the new one, stamped with the primary's time.
        stamp = slice(BaseBlockField.Timestamp, BaseBlockField.Major)
        log = log_header(after[:stamp.start] + before[stamp] + after[stamp.stop:], sequence, HiveOldFormatLog)
        log += DirtyLogField.Magic + bytes(bits)
        log = log.ljust(-(-start // HiveLogUnit) * HiveLogUnit, b"\0") + b"".join(data for _, data in pages)
        logs, numbers = [log], []
    else:
        cut = len(pages) if split == 1 else (len(pages) + 1) // 2
        parts = [pages[:cut], pages[cut:]] if split == 2 else [pages]
        logs, numbers, next_number = [], [], sequence
        for part in parts:
            first = next_number
            entries = [entry(next_number + i, bins_size, [page]) for i, page in enumerate(part)]
            numbers += list(range(first, first + len(part)))
            next_number += len(part)
            logs.append(log_header(before, first, HiveNewFormatLog) + b"".join(entries))
    for suffix, log in zip((".LOG1", ".LOG2"), logs):
        with open(path + suffix, "wb") as f:
            f.write(log)
    patch(path, BaseBlockField.SecondarySequence if secondary_ahead else BaseBlockField.PrimarySequence, "<I",
          sequence if secondary_ahead else sequence + 1)
    return numbers


def big(path, buses=100):
    """About 12 MB with some 50,000 keys beside the name values (about 120 KB
    a bus). Subkey lists stay short: hivex allocates a new list for every key
    it adds."""
    fresh_card(path)
    h = hivex.Hivex(path, write=True)
    enum = add(h, h.root(), r"ControlSet001\Enum")
    for i in range(buses):
        bus = h.node_add_child(enum, f"BUS{i:02}")
        for j in range(50):
            device = h.node_add_child(bus, f"DEVICE{j:02}")
            set_values(h, device, [("FriendlyName", REG_SZ, sz(f"Galileo device {i}.{j}"))])
            for k in range(10):
                key = h.node_add_child(device, f"INSTANCE{k}")
                set_values(h, key, [("ConfigFlags", REG_DWORD, dword(k))])
    h.commit(None)


if __name__ == "__main__":
    if sys.argv[1] == "card":
        fresh_card(sys.argv[2], *sys.argv[3:4])
    elif sys.argv[1] == "big":
        big(sys.argv[2], *map(int, sys.argv[3:4]))
    elif sys.argv[1] == "seeds":
        # The fuzz target's input: flags, the primary's and LOG1's lengths, the three files.
        for name, kw in (("card", {}), ("card_active", {"active": True})):
            # The cells' target: the new name's length, then the hive.
            fresh_card(os.path.join(sys.argv[2], "hive"), **kw)
            with open(os.path.join(sys.argv[2], "hive"), "rb") as f:
                data = f.read()
            os.unlink(os.path.join(sys.argv[2], "hive"))
            with open(os.path.join(sys.argv[2], "hive_cells", name), "wb") as f:
                f.write(bytes([20]) + data)
        for name, kw in (("split", {}), ("old_format", {"old_format": True})):
            hive = os.path.join(sys.argv[2], "hive")
            fresh_card(hive)
            dirty(hive, lambda h: h.node_set_value(add(h, h.root(), r"ControlSet001\Services\Tcpip\Parameters"),
                                                   {"key": "Hostname", "t": REG_SZ, "value": sz("SEED")}), **kw)
            files = []
            for suffix in ("", ".LOG1", ".LOG2"):
                if os.path.exists(hive + suffix):
                    with open(hive + suffix, "rb") as f:
                        files.append(f.read())
                    os.unlink(hive + suffix)
            with open(os.path.join(sys.argv[2], "hive_replay", name), "wb") as f:
                f.write(struct.pack("<BII", 0, len(files[0]), len(files[1])) + b"".join(files))
    elif sys.argv[1] == "dirty":
        def spread(h):
            # One value set in every fourth device: pages all over the hive.
            enum = add(h, h.root(), r"ControlSet001\Enum")
            for i in range(0, 100, 4):
                bus = h.node_get_child(enum, f"BUS{i:02}")
                for j in range(0, 50, 5):
                    set_values(h, h.node_get_child(bus, f"DEVICE{j:02}"),
                               [("FriendlyName", REG_SZ, sz(f"Renamed device {i}.{j}"))])
        dirty(sys.argv[2], spread)
    else:
        sys.exit(__doc__)
