#!/usr/bin/env python3
"""First checks, under strace, the order of the durable steps of each value's
replacement: the temporary is created, written, flushed and closed, renamed
over the value, and then the directory is flushed. A functional test cannot
see a missing flush.

Then kills velmora with SIGKILL at every file-system call of a rename (strace
injects the signal as the call is entered) and checks what the store holds
then: every value the old name or the new, never torn, empty or missing. A
later run must then work, or report the mismatch when the kill fell between
two values; and it leaves no temporary behind.

The same kills then fall on a rename of a SYSTEM hive (VELMORA_SYSTEM_HIVE),
clean and dirty, at every write and flush: whatever the kill left, the next
run's replay must find exactly the old names or the new ones (its old-name
line says which), and after that run every other value must be as before (as
chntpw's reged reads the hive).

    crash_consistency.py VELMORA     (Debian's python3, for python3-hivex)
    crash_consistency.py --card-exe VELMORA_CARD_EXE   (the hive kills of the Windows program, under Wine)
"""
import os
import re
import subprocess
import sys
import shutil
import tempfile

import hive_backend
import hive_check
import hive_fixture
import hivex
import wine_backend

KEYS = {
    "Hostname": "SYSTEM/ControlSet001/Services/Tcpip/Parameters",
    "NV Hostname": "SYSTEM/ControlSet001/Services/Tcpip/Parameters",
    "ComputerName 1": "SYSTEM/ControlSet001/Control/ComputerName/ComputerName",
    "ComputerName 2": "SYSTEM/ControlSet001/Control/ComputerName/ActiveComputerName",
}
# Every call the stand-in makes while replacing a value, and then some.
SYSCALLS = ["openat", "fchmod", "write", "fsync", "close", "rename", "renameat", "renameat2", "newfstatat",
            "getrandom", "unlinkat"]
OLD, NEW, LATER = b"GALILEO", b"NEWNAME", b"LATER"


def value_files(state):
    root = os.path.join(state, "velmora", "registry", "HKEY_LOCAL_MACHINE")
    return [os.path.join(root, key, name.split(" ")[0] if name.startswith("ComputerName") else name)
            for name, key in KEYS.items()]


def seed(state):
    for path in value_files(state):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"REG_SZ\n" + OLD + b"\0")


def run(velmora, state, name, inject=None):
    command = [velmora, name]
    if inject:
        syscall, when = inject
        command = ["strace", "-f", "-o", "/dev/null", "-e", "trace=" + syscall,
                   "-e", f"inject={syscall}:signal=KILL:when={when}"] + command
    env = dict(os.environ, XDG_STATE_HOME=state, LC_ALL="C")
    return subprocess.run(command, env=env, capture_output=True)


def check_after_kill(velmora, state, where):
    held = []
    for path in value_files(state):
        with open(path, "rb") as f:
            data = f.read()
        if data not in (b"REG_SZ\n" + OLD + b"\0", b"REG_SZ\n" + NEW + b"\0"):
            return f"{where}: {path} holds {data!r}"
        held.append(OLD if OLD in data else NEW)
    later = run(velmora, state, LATER.decode())
    if len(set(held)) == 1:
        if later.returncode != 0 or b"Old Computer Name : " + held[0] + b"\n" not in later.stdout:
            return f"{where}: the later run failed: {later.returncode} {later.stderr!r}"
    elif later.returncode != 1 or not later.stderr.startswith(b"Name Mismatch : H1 = "):
        return f"{where}: the later run did not report the mismatch: {later.returncode} {later.stderr!r}"
    leftovers = [n for _, _, files in os.walk(state) for n in files if n.startswith(".velmora-tmp-")]
    if leftovers:
        return f"{where}: temporaries left after the later run: {leftovers}"
    return None


DURABLE = re.compile(r"^create (write )+fsync close rename dirsync$")


def check_durable_order(velmora, base):
    """The steps of each replacement, as strace shows them with file paths."""
    state = tempfile.mkdtemp(dir=base)
    seed(state)
    trace = os.path.join(base, "durable.trace")
    command = ["strace", "-y", "-o", trace, "-e", "trace=openat,write,fsync,close,renameat,renameat2,rename",
               velmora, NEW.decode()]
    subprocess.run(command, env=dict(os.environ, XDG_STATE_HOME=state, LC_ALL="C"), capture_output=True, check=True)
    steps = {}  # temporary path -> its steps
    directories = {}  # directory path -> the temporary renamed there last
    with open(trace) as f:
        for line in f:
            # Created exclusively: a planted file or link is never written through.
            created = re.match(r'openat\(\d+<([^>]*)>, "(\.velmora-tmp-\w+)", O_WRONLY\|O_CREAT\|O_EXCL', line)
            touched = re.match(r"(write|fsync|close)\(\d+<([^>]*)>", line)
            renamed = re.match(r'renameat2?\(\d+<([^>]*)>, "(\.velmora-tmp-\w+)"', line)
            if created:
                steps[created.group(1) + "/" + created.group(2)] = ["create"]
            elif renamed:
                temporary = renamed.group(1) + "/" + renamed.group(2)
                steps[temporary].append("rename")
                directories[renamed.group(1)] = temporary
            elif touched and touched.group(2) in steps:
                steps[touched.group(2)].append(touched.group(1))
            elif touched and touched.group(1) == "fsync" and touched.group(2) in directories:
                steps[directories.pop(touched.group(2))].append("dirsync")
    problems = [f"durable order of {path}: {' '.join(kinds)}" for path, kinds in steps.items()
                if not DURABLE.match(" ".join(kinds))]
    if len(steps) != 4:
        problems.append(f"durable order: {len(steps)} replacements seen, not 4")
    return problems


HIVE_SYSCALLS = ["openat", "flock", "pwrite64", "fsync", "close"]
HIVE_VALUES = [(r"system\controlset001\services\tcpip\parameters", "hostname"),
               (r"system\controlset001\services\tcpip\parameters", "nv hostname"),
               (r"system\controlset001\control\computername\computername", "computername")]


def check_seeding_flush(velmora, base):
    """A new store is renamed into place, then its directory flushed."""
    state = tempfile.mkdtemp(dir=base)
    trace = os.path.join(base, "seeding.trace")
    subprocess.run(["strace", "-f", "-y", "-o", trace, "-e", "trace=rename,renameat,renameat2,fsync", velmora, "SEEDED"],
                   env=dict(os.environ, XDG_STATE_HOME=state, LC_ALL="C"), capture_output=True)
    with open(trace) as f:
        calls = [line.split(maxsplit=1)[1] for line in f if line.strip()]
    renamed = [i for i, call in enumerate(calls) if "registry.seed-" in call and call.startswith("rename")]
    if not renamed or not any(call.startswith("fsync(") and call.split(">", 1)[0].endswith("/velmora")
                              for call in calls[renamed[0] + 1:]):
        return ["first use: the new store was not renamed into place and its directory flushed"]
    return []


def linux_runs(velmora):
    """The rename to kill and the later run, of the Linux program on `hive`."""
    def run(hive, name, prefix=()):
        env = dict(os.environ, VELMORA_SYSTEM_HIVE=hive, XDG_STATE_HOME=os.path.dirname(hive), LC_ALL="C")
        return subprocess.run(list(prefix) + [velmora, name], env=env, capture_output=True)
    return run


def exe_runs(card):
    """The same of velmora-card.exe under Wine. The first kills fall on Wine's
    own writes before the program starts (nothing written: the old names), the
    rest on the rename's."""
    def run(hive, name, prefix=()):
        trace = hive + ".trace"
        prefix = [trace if arg == "/dev/null" else arg for arg in prefix]
        result = subprocess.run(prefix + ["wine", card.exe, "rename", "-q", wine_backend.dos_path(hive), name],
                                env=card.env, capture_output=True)
        # Wine's launcher outlives the program it started: the kill shows in the trace, not in its status.
        if prefix:
            with open(trace) as f:
                killed = "+++ killed by SIGKILL" in f.read()
            os.unlink(trace)
            result.returncode = -9 if killed else result.returncode
        return result
    return run


def check_hive(run, base, dirty, syscalls=None):
    """Kills at every call of each kind while a hive is renamed."""
    failures, kills = [], 0
    for syscall in syscalls or HIVE_SYSCALLS:
        when = 1
        while True:
            directory = tempfile.mkdtemp(dir=base)
            hive = os.path.join(directory, "SYSTEM")
            hive_fixture.fresh_card(hive, OLD.decode())
            # What the card holds once its logs are replayed, renamed LATER.
            reference = os.path.join(base, "reference")
            shutil.copyfile(hive, reference)
            h = hivex.Hivex(reference, write=True)
            if dirty:
                hive_fixture.domain_from_log(h)
            for key, value in HIVE_VALUES:
                node = hive_fixture.add(h, h.root(), key.split("\\", 1)[1])
                h.node_set_value(node, {"key": value, "t": 1, "value": hive_fixture.sz(LATER.decode())})
            h.commit(None)
            del h
            expected = {k: v for k, v in hive_backend.export(reference).items()}
            if dirty:
                hive_fixture.dirty(hive, hive_fixture.domain_from_log)
            strace = ["strace", "-f", "-o", "/dev/null", "-e", "trace=" + syscall,
                      "-e", f"inject={syscall}:signal=KILL:when={when}"]
            result = run(hive, NEW.decode(), strace)
            where = f"{'dirty ' if dirty else ''}hive: killed at {syscall} #{when}"
            if result.returncode not in (-9, 137):
                if result.returncode != 0:
                    failures.append(f"hive: {syscall} #{when}: untouched run failed: {result.stderr!r}")
                break
            kills += 1
            later = run(hive, LATER.decode())
            found = re.search(rb"Old Computer Name : (\w+)", later.stdout)
            if later.returncode != 0 or not found or found.group(1) not in (OLD, NEW):
                failures.append(f"{where}: the later run found neither the old names nor the new: "
                                f"{later.returncode} {later.stdout[-80:]!r} {later.stderr!r}")
            elif hive_backend.export(hive) != expected:
                failures.append(f"{where}: after the later run, the hive holds more changes than the names")
            elif hive_check.check_file(hive):
                failures.append(f"{where}: after the later run, the hive would not load: "
                                f"{hive_check.check_file(hive)}")
            if not set(os.listdir(directory)) <= {"SYSTEM", "SYSTEM.LOG1", "SYSTEM.LOG2"}:
                failures.append(f"{where}: left beside the hive after the later run: {os.listdir(directory)}")
            when += 1
    return failures, kills


def main():
    if sys.argv[1] == "--card-exe":
        return main_exe(os.path.abspath(sys.argv[2]))
    velmora = os.path.abspath(sys.argv[1])
    failures, kills = [], 0
    with tempfile.TemporaryDirectory() as base:
        failures += check_durable_order(velmora, base)
        failures += check_seeding_flush(velmora, base)
        for dirty in (False, True):
            hive_failures, hive_kills = check_hive(linux_runs(velmora), base, dirty)
            failures += hive_failures
            kills += hive_kills
        for syscall in SYSCALLS:
            when = 1
            while True:
                state = tempfile.mkdtemp(dir=base)
                seed(state)
                result = run(velmora, state, NEW.decode(), (syscall, when))
                if result.returncode not in (-9, 137):
                    # The call's count is past the last one: a whole run.
                    if result.returncode != 0:
                        failures.append(f"{syscall} #{when}: untouched run failed: {result.stderr!r}")
                    break
                kills += 1
                problem = check_after_kill(velmora, state, f"killed at {syscall} #{when}")
                if problem:
                    failures.append(problem)
                when += 1
    for failure in failures:
        print(failure)
    print(f"{kills} kill points, {len(failures)} failures")
    if kills == 0:
        print("strace killed nothing: cannot inject signals here")
        return 1
    return 1 if failures else 0


def main_exe(exe):
    """The hive kills of velmora-card.exe under Wine: at every write and flush
    of the hive and its logs, the later run (the exe's own) must find the old
    names or the new ones, and leave a hive that loads."""
    failures, kills = [], 0
    with tempfile.TemporaryDirectory() as base:
        card = wine_backend.CardExe(exe, base)
        try:
            for dirty in (False, True):
                hive_failures, hive_kills = check_hive(exe_runs(card), base, dirty, ["pwrite64", "fsync"])
                failures += hive_failures
                kills += hive_kills
        finally:
            card.close()
    for failure in failures:
        print(failure)
    print(f"velmora-card.exe: {kills} kill points, {len(failures)} failures")
    return 1 if failures or kills == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
