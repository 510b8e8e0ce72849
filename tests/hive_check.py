"""The checks Windows makes of a hive when it loads one, in the suite: a hive
that fails them is dropped in part at boot, or the board does not boot.

- the base block: signature, the checksum rule, equal sequence numbers, a
  known version, a bins size that is a multiple of 4096 and fits the file;
- the bins: contiguous from offset 0, each naming its own offset, summing to
  the bins size; cells tiling each bin exactly;
- every reference, from the root key down, on an allocated cell of its kind,
  and no cell but a security cell referenced twice;
- key counts, and largest-size fields at least the real maxima;
- subkey lists sorted by upper-cased name, with true `lf`/`lh` hints;
- the security cells a ring, each counting the keys that use it.

    hive_check.py HIVE...      prints each problem; exits 1 if there is any
"""
import struct
import sys

from hive_layout import (BaseBlockField, BigDataField, BinField, CellField, HiveBaseBlockSize, HiveFirstSegmentedMinor,
                         HiveLargestSingleCell, HivePageSize, HivePrimaryFile, KeyNodeField, SecurityField,
                         SubkeyListField, ValueRecordField)

BASE, PAGE, NONE = HiveBaseBlockSize, HivePageSize, 0xFFFFFFFF
# A value's data above this many bytes lies in segments in hives of minor 4 on.
SEGMENT = HiveLargestSingleCell


def checksum(header):
    value = 0
    for (word,) in struct.iter_unpack("<I", header[:BaseBlockField.Checksum]):
        value ^= word
    return {0: 1, NONE: 0xFFFFFFFE}.get(value, value)


def lh_hash(name):
    h = 0
    for c in name.upper():
        h = (37 * h + ord(c)) & NONE
    return h


class Checker:
    def __init__(self, data):
        self.data, self.problems, self.cells, self.referenced = data, [], {}, {}
        self.sk_users = {}

    def fail(self, text):
        self.problems.append(text)

    def header(self):
        d = self.data
        if len(d) < BASE or d[:len(BaseBlockField.Magic)] != BaseBlockField.Magic:
            self.fail("base block: no regf signature")
            return False
        seq1, seq2, major, minor, kind, fmt, root, bins = (
            struct.unpack_from("<I", d, field)[0] for field in (
                BaseBlockField.PrimarySequence, BaseBlockField.SecondarySequence, BaseBlockField.Major,
                BaseBlockField.Minor, BaseBlockField.FileType, BaseBlockField.Format, BaseBlockField.RootCell,
                BaseBlockField.BinsDataSize))
        if struct.unpack_from("<I", d, BaseBlockField.Checksum)[0] != checksum(d):
            self.fail("base block: checksum")
        if seq1 != seq2:
            self.fail(f"base block: dirty (sequence numbers {seq1} and {seq2})")
        if major != 1 or not 3 <= minor <= 6 or kind != HivePrimaryFile or fmt != 1:
            self.fail(f"base block: version {major}.{minor}, type {kind}, format {fmt}")
        if bins == 0 or bins % PAGE or BASE + bins > len(d):
            self.fail(f"base block: bins size {bins:#x} over a file of {len(d):#x} bytes")
            return False
        self.bins, self.root, self.minor = bins, root, minor
        return True

    def tile(self):
        at = 0
        while at < self.bins:
            sig, offset, size = (struct.unpack_from(f, self.data, BASE + at + field)[0] for f, field in (
                ("<4s", BinField.Signature), ("<I", BinField.Offset), ("<I", BinField.Size)))
            if sig != BinField.Magic or offset != at or size < PAGE or size % PAGE or size > self.bins - at:
                self.fail(f"bin at {at:#x}: header {sig!r}, offset {offset:#x}, size {size:#x}")
                return False
            cell = at + BinField.HeaderSize
            while cell < at + size:
                raw = struct.unpack_from("<i", self.data, BASE + cell + CellField.Size)[0]
                length = abs(raw)
                if length < CellField.Alignment or length % CellField.Alignment or length > at + size - cell:
                    self.fail(f"cell at {cell:#x}: size {raw} in the bin at {at:#x} of {size:#x} bytes")
                    return False
                self.cells[cell] = (length, raw < 0)
                cell += length
            at += size
        return True

    def cell(self, offset, kinds, what, shared=False, count=True):
        """The data of the allocated cell at `offset` starting with one of
        `kinds` (None: any), counting the reference; None when it is not."""
        found = self.cells.get(offset)
        if found is None or not found[1]:
            self.fail(f"{what}: {offset:#x} is no allocated cell")
            return None
        body = self.data[BASE + offset + CellField.Data:BASE + offset + found[0]]
        if kinds is not None and body[:2] not in kinds:
            self.fail(f"{what}: the cell at {offset:#x} is {body[:2]!r}, not {b' or '.join(kinds)!r}")
            return None
        if not count:
            return body
        self.referenced[offset] = self.referenced.get(offset, 0) + 1
        if self.referenced[offset] > 1 and not shared:
            self.fail(f"{what}: the cell at {offset:#x} is referenced twice")
            return None
        return body

    @staticmethod
    def name(body, at, length, compressed):
        raw = body[at:at + length]
        return raw.decode("latin-1") if compressed else raw.decode("utf-16-le", errors="replace")

    def subkeys(self, offset, path, under_ri=False):
        """[(name, offset)] of the subkey list at `offset`, its hints checked."""
        L = SubkeyListField
        body = self.cell(offset, L.Magics[:3] if under_ri else L.Magics, f"{path}: subkey list")
        if body is None:
            return []
        kind, count = body[L.Signature:L.Signature + 2], struct.unpack_from("<H", body, L.Count)[0]
        stride = L.HintedElement if kind in L.Hinted else L.PlainElement
        if L.Elements + stride * count > len(body):
            self.fail(f"{path}: subkey list of {count} overruns its cell")
            return []
        found = []
        for i in range(count):
            element = struct.unpack_from("<I", body, L.Elements + stride * i)[0]
            if kind == b"ri":
                found += self.subkeys(element, path, True)
                continue
            K = KeyNodeField
            nk = self.cell(element, (K.Magic,), f"{path}: subkey", count=False)
            if nk is None or len(nk) < K.Name:
                continue
            flags, length = struct.unpack_from("<H", nk, K.Flags)[0], struct.unpack_from("<H", nk, K.NameLength)[0]
            name = self.name(nk, K.Name, length, flags & K.LatinName)
            if stride == L.HintedElement:
                hint = struct.unpack_from("<I", body, L.Elements + L.HintedElement * i + L.Hint)[0]
                want = lh_hash(name) if kind == b"lh" else int.from_bytes(
                    name[:L.HintSize].encode("latin-1", errors="replace").ljust(L.HintSize, b"\0"), "little")
                if hint != want:
                    self.fail(f"{path}\\{name}: {kind.decode()} hint {hint:#x}, not {want:#x}")
            found.append((name, element))
        return found

    def value(self, offset, path):
        """(upper-cased name, data size) of the value record at `offset`."""
        V = ValueRecordField
        vk = self.cell(offset, (V.Magic,), f"{path}: value")
        if vk is None or len(vk) < V.Name:
            return "", 0
        length = struct.unpack_from("<H", vk, V.NameLength)[0]
        size, data = struct.unpack_from("<I", vk, V.DataSize)[0], struct.unpack_from("<I", vk, V.Data)[0]
        compressed = struct.unpack_from("<H", vk, V.Flags)[0] & V.LatinName
        if V.Name + length > len(vk):
            self.fail(f"{path}: a value's name overruns its record")
        name = self.name(vk, V.Name, length, compressed)
        where = f"{path}: value {name!r}"
        if size & V.DataInRecord:
            if size & ~V.DataInRecord > V.InRecordMax:
                self.fail(f"{where}: inline data of {size & ~V.DataInRecord} bytes")
            return name.upper(), size & ~V.DataInRecord
        if size == 0:
            return name.upper(), 0
        if size > SEGMENT and self.minor >= HiveFirstSegmentedMinor:
            db = self.cell(data, (BigDataField.Magic,), f"{where}: big data")
            if db is not None:
                count = struct.unpack_from("<H", db, BigDataField.Count)[0]
                segments = struct.unpack_from("<I", db, BigDataField.Segments)[0]
                chunks = self.cell(segments, None, f"{where}: segment list")
                for i in range(count if chunks is not None and 4 * count <= len(chunks) else 0):
                    self.cell(struct.unpack_from("<I", chunks, 4 * i)[0], None, f"{where}: segment")
            return name.upper(), size
        body = self.cell(data, None, f"{where}: data")
        if body is not None and len(body) < size:
            self.fail(f"{where}: {size} bytes of data in a cell of {len(body)}")
        return name.upper(), size

    def key(self, offset, parent, path):
        K = KeyNodeField
        nk = self.cell(offset, (K.Magic,), f"{path}: key")
        if nk is None or len(nk) < K.Name:
            return
        u16, u32 = (lambda field: struct.unpack_from("<H", nk, field)[0]), (lambda field: struct.unpack_from("<I", nk, field)[0])
        flags, up, count, list_ = u16(K.Flags), u32(K.Parent), u32(K.SubkeyCount), u32(K.SubkeyList)
        values, value_list, sk = u32(K.ValueCount), u32(K.ValueList), u32(K.Security)
        max_name, max_value_name, max_data = u32(K.LargestSubkeyName), u32(K.LargestValueName), u32(K.LargestValueData)
        length, class_length = u16(K.NameLength), u16(K.ClassLength)
        path = path + "\\" + self.name(nk, K.Name, length, flags & K.LatinName) if parent != NONE else "ROOT"
        if parent != NONE and up != parent:
            self.fail(f"{path}: parent {up:#x}, not {parent:#x}")
        if K.Name + length > len(nk):
            self.fail(f"{path}: its name overruns its cell")
        if self.cell(sk, (SecurityField.Magic,), f"{path}: security", shared=True) is not None:
            self.sk_users[sk] = self.sk_users.get(sk, 0) + 1
        if class_length:
            named = self.cell(u32(K.ClassName), None, f"{path}: class name")
            if named is not None and len(named) < class_length:
                self.fail(f"{path}: a class name of {class_length} bytes in a cell of {len(named)}")
        children = self.subkeys(list_, path) if count else []
        if len(children) != count:
            self.fail(f"{path}: {count} subkeys counted, {len(children)} listed")
        names = [n.upper() for n, _ in children]
        if names != sorted(names) or len(set(names)) != len(names):
            self.fail(f"{path}: subkeys not sorted by upper-cased name: {names}")
        if children and (max_name & 0xFFFF) < max(len(n) * 2 for n, _ in children):
            self.fail(f"{path}: largest subkey name {max_name & 0xFFFF} below the real one")
        if values:
            listed = self.cell(value_list, None, f"{path}: value list")
            if listed is not None and 4 * values > len(listed):
                self.fail(f"{path}: {values} values in a list of {len(listed) // 4}")
            elif listed is not None:
                found = [self.value(v, path) for (v,) in struct.iter_unpack("<I", listed[:4 * values])]
                names = [n for n, _ in found]
                if len(set(names)) != len(names):
                    self.fail(f"{path}: two values whose names differ only in letter case")
                if max(len(n) * 2 for n in names) > max_value_name:
                    self.fail(f"{path}: largest value name {max_value_name} below the real one")
                if max(s for _, s in found) > max_data:
                    self.fail(f"{path}: largest value data {max_data} below the real {max(s for _, s in found)}")
        for _, child in children:
            self.key(child, offset, path)

    def security_ring(self):
        if not self.sk_users:
            return
        start = next(iter(self.sk_users))
        at, seen = start, set()
        while True:
            seen.add(at)
            S = SecurityField
            body = self.data[BASE + at + CellField.Data:BASE + at + self.cells[at][0]]
            flink, refs = struct.unpack_from("<I", body, S.Flink)[0], struct.unpack_from("<I", body, S.ReferenceCount)[0]
            if refs != self.sk_users.get(at, 0):
                self.fail(f"security cell at {at:#x}: {refs} references counted, {self.sk_users.get(at, 0)} real")
            following = self.cells.get(flink)
            nxt = self.data[BASE + flink + CellField.Data:BASE + flink + CellField.Data + S.Descriptor] if following else b""
            if (not following or not following[1] or nxt[:len(S.Magic)] != S.Magic
                    or struct.unpack_from("<I", nxt, S.Blink)[0] != at):
                self.fail(f"security cell at {at:#x}: the ring is broken at {flink:#x}")
                return
            at = flink
            if at == start:
                break
            if at in seen:
                self.fail(f"security cell at {at:#x}: the ring loops back short of its start")
                return
        for unlinked in set(self.sk_users) - seen:
            self.fail(f"security cell at {unlinked:#x}: not in the ring")


def check(data):
    """The problems found in the hive `data` (bytes), as lines of text."""
    checker = Checker(bytes(data))
    if checker.header() and checker.tile():
        checker.key(checker.root, NONE, "")
        checker.security_ring()
    return checker.problems


def abandoned(data):
    """The allocated cells of a sound hive that nothing references (Windows frees a cell it stops using)."""
    checker = Checker(bytes(data))
    if not (checker.header() and checker.tile()):
        return set()
    checker.key(checker.root, NONE, "")
    checker.security_ring()
    return {offset for offset, (_, allocated) in checker.cells.items() if allocated and offset not in checker.referenced}


def check_file(path):
    with open(path, "rb") as f:
        return check(f.read())


if __name__ == "__main__":
    bad = False
    for hive in sys.argv[1:]:
        for problem in check_file(hive):
            print(f"{hive}: {problem}")
            bad = True
    sys.exit(1 if bad else 0)
