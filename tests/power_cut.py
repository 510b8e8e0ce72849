#!/usr/bin/env python3
"""Power cuts during a card's rename. A kill leaves every write that was
issued in the page cache, so the crash test cannot see a missing flush; a card
pulled from its reader loses whatever was not flushed, in any order, and can
tear a write at a 512-byte sector.

Each rename is recorded under strace with its data: every write, flush and
created file under the card's directory. Then the files are rebuilt as a power
cut could leave them, once before each flush and once at the end: what the
flushes so far made durable, plus any subset of the sectors written since
(every subset when there are at most a dozen, else none, all, each prefix and
a sample). A created file exists only once its directory was flushed; a file's
growth survives only if the file was flushed after it.

Every state must then show, to `velmora-card status`, the old names or the
new ones, agreeing, the card renamable; its rename must find one or the other,
and leave every other value as it was (as chntpw's reged reads the hive) in a
hive that passes the load-time check.

    power_cut.py VELMORA-CARD     (Debian's python3, for python3-hivex)
"""
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

import hive_backend
import hive_check
import hive_fixture
import hivex
from hive_layout import HiveBaseBlockSize

SECTOR = 512
EXHAUSTIVE = 12  # sector units up to which every subset is tried
SAMPLED = 300  # random subsets at a cut point beyond that
OLD, LATER = "GALILEO", "LATER"
NAME_KEYS = [r"ControlSet001\Services\Tcpip\Parameters", r"ControlSet001\Control\ComputerName\ComputerName"]
CALL = re.compile(r"^\d+ +(\w+)\((.*)\) = (-?\d+)")
FD = re.compile(r"^(\d+)<((?:\\x[0-9a-f]{2})*)>")
STRING = re.compile(r'"((?:\\x[0-9a-f]{2})*)"')


def unhex(text):
    return bytes.fromhex(text.replace("\\x", ""))


def record(tool, card, hive, new, env, before):
    """The rename's operations on files under `card`, in order:
    ("write", path, offset, bytes), ("flush", path), ("create", path)."""
    trace = os.path.join(card, "..", "trace")
    subprocess.run(["strace", "-f", "-y", "-xx", "-s", "100000000", "-o", trace, "-e",
                    "trace=openat,pwrite64,write,fsync,fdatasync,ftruncate,fallocate,rename,renameat,unlinkat",
                    tool, "rename", hive, new], env=env, capture_output=True, check=True)
    ops, sizes = [], {path: len(data) for path, data in before.items()}
    with open(trace) as f:
        for line in f:
            call = CALL.match(line)
            fd = FD.match(call.group(2)) if call else None
            if not fd or int(call.group(3)) < 0:
                continue
            path, name, args = unhex(fd.group(2)).decode(), call.group(1), call.group(2)
            if name == "openat" and "O_CREAT" in args:
                created = STRING.search(args)
                target = os.path.join(path, unhex(created.group(1)).decode())
                if target.startswith(card) and target not in before:
                    ops.append(("create", target))
            if not path.startswith(card):
                continue
            if name == "pwrite64":
                data = unhex(STRING.search(args).group(1))[:int(call.group(3))]
                ops.append(("write", path, int(args.rsplit(",", 1)[1]), data))
                sizes[path] = max(sizes.get(path, 0), ops[-1][2] + len(data))
            elif name == "ftruncate" and int(args.rsplit(",", 1)[1]) >= sizes.get(path, 0):
                # Growth: zeros, as durable as a write of them.
                ops.append(("write", path, sizes.get(path, 0), bytes(int(args.rsplit(",", 1)[1]) - sizes.get(path, 0))))
                sizes[path] = int(args.rsplit(",", 1)[1])
            elif name in ("fsync", "fdatasync"):
                ops.append(("flush", path))
            elif name in ("write", "ftruncate", "fallocate", "renameat", "rename", "unlinkat"):
                raise AssertionError(f"the rename made a call this test does not model: {line[:200]}")
    return ops


def states(before, ops, rng):
    """Yields {path: bytes} for every state a power cut could leave."""
    durable = dict(before)  # path -> bytes, as the flushes so far left it
    exists = set(before)  # files whose directory entry is durable
    created = {}  # path -> its directory, for files not yet durable
    pending = []  # (path, offset, bytes) issued since their file's flush
    for i in range(len(ops) + 1):
        op = ops[i] if i < len(ops) else ("flush", None)
        if op[0] == "flush":
            yield from cut(durable, exists, pending, rng)
        if i == len(ops):
            break
        if op[0] == "create":
            created[op[1]] = os.path.dirname(op[1])
            durable.setdefault(op[1], b"")
        elif op[0] == "write":
            pending.append(op[1:])
        elif op[0] == "flush":
            path = op[1]
            if path in created.values():  # a directory: its new entries are durable
                exists |= {p for p, d in created.items() if d == path}
                created = {p: d for p, d in created.items() if d != path}
            for write in [w for w in pending if w[0] == path]:
                durable[path] = apply(durable[path], write[1], write[2], grow=True)
            pending = [w for w in pending if w[0] != path]


def apply(data, offset, payload, grow):
    end = offset + len(payload) if grow else min(offset + len(payload), len(data))
    if end <= offset:
        return data
    data = data.ljust(end, b"\0")
    return data[:offset] + payload[:end - offset] + data[end:]


def cut(durable, exists, pending, rng):
    units = [(w, s) for w in range(len(pending))
             for s in range(pending[w][1] // SECTOR, -(-(pending[w][1] + len(pending[w][2])) // SECTOR))]
    if len(units) <= EXHAUSTIVE:
        choices = [[u for b, u in enumerate(units) if mask >> b & 1] for mask in range(1 << len(units))]
    else:
        choices = [units[:k] for k in range(len(units) + 1)]
        choices += [[u for u in units if rng.random() < 0.5] for _ in range(SAMPLED)]
    for chosen in choices:
        files = {p: durable[p] for p in exists}
        for w, s in chosen:
            path, offset, data = pending[w]
            if path not in files:
                continue
            start, end = max(offset, s * SECTOR), min(offset + len(data), (s + 1) * SECTOR)
            # Unflushed growth is lost: only sectors within the durable size land.
            files[path] = apply(files[path], start, data[start - offset:end - offset], grow=False)
        yield files


def snapshot(directory):
    files = {}
    for name in os.listdir(directory):
        with open(os.path.join(directory, name), "rb") as f:
            files[os.path.join(directory, name)] = f.read()
    return files


def set_names(path, name, change=None):
    h = hivex.Hivex(path, write=True)
    if change:
        change(h)
    for key in NAME_KEYS:
        node = hive_fixture.add(h, h.root(), key)
        for value in (("Hostname", "NV Hostname") if "Tcpip" in key else ("ComputerName",)):
            h.node_set_value(node, {"key": value, "t": 1, "value": hive_fixture.sz(name)})
    h.commit(None)


def clean_after_logs(hive):
    """Logs holding entries that would follow the primary, which is clean."""
    with open(hive, "rb") as f:
        header = f.read(HiveBaseBlockSize)
    hive_fixture.dirty(hive, hive_fixture.domain_from_log)
    with open(hive, "r+b") as f:
        f.write(header)


CASES = [
    # (what, new name, prepare(hive), logs the card has, what a replay adds)
    ("a name that fits its cell", "NEWNAME", None, True, None),
    ("a name needing a cell of its own", "A-LONGER-NAME-1", None, True, None),
    ("a name whose last bin is full", "A-LONGER-NAME-1", hive_fixture.fill_last_bin, True, None),
    ("a card with no log", "A-LONGER-NAME-1", None, False, None),
    ("a clean hive beside logs that would follow it", "NEWNAME", clean_after_logs, False, None),
    ("a dirty card, new log format", "A-LONGER-NAME-1",
     lambda p: hive_fixture.dirty(p, hive_fixture.domain_from_log), False, hive_fixture.domain_from_log),
    ("a dirty card, old log format", "A-LONGER-NAME-1",
     lambda p: hive_fixture.dirty(p, hive_fixture.domain_from_log, old_format=True), False,
     hive_fixture.domain_from_log),
]


def check_state(tool, files, base, expected, names, env):
    scratch = tempfile.mkdtemp(dir=base)
    try:
        for path, data in files.items():
            with open(os.path.join(scratch, os.path.basename(path)), "wb") as f:
                f.write(data)
        hive = os.path.join(scratch, "SYSTEM")
        status = subprocess.run([tool, "status", hive], env=env, capture_output=True, timeout=30)
        shown = re.findall(rb"(?:Hostname|NV Hostname|ComputerName)\s+: (\S+)", status.stdout)
        if status.returncode != 0 or len(set(shown)) != 1 or shown[0].decode() not in names:
            return f"status: {status.returncode} {status.stdout.decode(errors='replace')!r}"
        later = subprocess.run([tool, "rename", hive, LATER], env=env, capture_output=True, timeout=30)
        found = re.search(rb"Old Computer Name : (\S+)", later.stdout)
        if later.returncode != 0 or not found or found.group(1) != shown[0]:
            return f"rename: {later.returncode} {later.stdout[-80:]!r} {later.stderr!r}"
        if hive_backend.export(hive) != expected:
            return "after the later rename, more changed than the names"
        problems = hive_check.check_file(hive)
        return f"after the later rename, the hive would not load: {problems}" if problems else None
    finally:
        shutil.rmtree(scratch)


def main():
    tool = os.path.abspath(sys.argv[1])
    env = dict(os.environ, LC_ALL="C.UTF-8")
    rng = random.Random(17)
    failures, total = [], 0
    with tempfile.TemporaryDirectory() as base:
        for what, new, prepare, logs, replayed in CASES:
            card = os.path.join(base, "card")
            os.makedirs(card)
            hive = os.path.join(card, "SYSTEM")
            hive_fixture.fresh_card(hive, OLD)
            if prepare:
                prepare(hive)
            for suffix in (".LOG1", ".LOG2") if logs else ():
                open(hive + suffix, "wb").close()
            reference = os.path.join(base, "reference")
            shutil.copyfile(hive, reference)
            set_names(reference, LATER, replayed)
            expected = hive_backend.export(reference)
            before = snapshot(card)
            ops = record(tool, card, hive, new, env, before)
            seen, count = set(), 0
            for files in states(before, ops, rng):
                key = hashlib.sha256(repr(sorted(files.items())).encode()).digest()
                if key in seen:
                    continue
                seen.add(key)
                count += 1
                problem = check_state(tool, files, base, expected, (OLD, new), env)
                if problem:
                    failures.append(f"{what}: {problem}")
            total += count
            print(f"{what}: {len([o for o in ops if o[0] == 'flush'])} flushes, {count} distinct states")
            shutil.rmtree(card)
    for failure in failures[:20]:
        print(failure)
    print(f"{total} power-cut states, {len(failures)} failures")
    return 1 if failures or total == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
