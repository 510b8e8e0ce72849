"""The black-box suite's view of a SYSTEM hive on a card: the host build runs
with VELMORA_SYSTEM_HIVE naming a hive the suite built (hive_fixture.py);
values are put in through hivex and read back by an independent reader,
chntpw's `reged -x`. After every run that succeeds, the whole export is
compared with the one before it: nothing but the name values may change.
"""
import hashlib
import os
import re
import stat
import struct
import subprocess
import tempfile

import harness
import hive_check
import hive_fixture
import hivex

# The host's ANSI code page for each locale the cases select.
CODECS = {None: "cp1252", "sjis": "cp932", "gbk": "gbk"}
STRING_TYPES = (1, 2, 7)
NAME_VALUES = {("system\\controlset001\\services\\tcpip\\parameters", "hostname"),
               ("system\\controlset001\\services\\tcpip\\parameters", "nv hostname"),
               ("system\\controlset001\\control\\computername\\computername", "computername"),
               ("system\\controlset001\\control\\computername\\activecomputername", "computername")}


def export(path, exact=False):
    """{(key, value name): (kind, data)} as reged exports the hive, the names
    in lower case unless `exact`; a key alone maps (key, None) to None."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "export.reg")
        result = subprocess.run(["reged", "-x", path, r"HKEY_LOCAL_MACHINE\SYSTEM", "\\", out],
                                stdin=subprocess.DEVNULL, capture_output=True)
        if not os.path.exists(out):
            raise RuntimeError("reged could not export: " + result.stdout.decode(errors="replace"))
        with open(out, "rb") as f:
            text = f.read().decode("utf-8").replace("\\\r\n  ", "")
    entries, key = {}, None
    for line in text.split("\r\n"):
        if line.startswith("["):
            key = line[1:-1].split("\\", 1)[1]
            key = key if exact else key.lower()
            entries[(key, None)] = None
            continue
        match = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
        if not match:
            continue
        name, rendered = match.group(1).replace('\\"', '"').replace("\\\\", "\\"), match.group(2)
        if rendered.startswith('"'):
            entry = (1, rendered[1:-1].replace('\\"', '"').replace("\\\\", "\\").encode("utf-16-le") + b"\0\0")
        elif rendered.startswith("dword:"):
            entry = (4, struct.pack("<I", int(rendered[6:], 16)))
        else:
            kind, _, data = rendered.partition(":")
            number = int(kind[4:-1], 16) if kind.startswith("hex(") else 3
            entry = (number, bytes.fromhex(data.replace(",", "")))
        entries[(key, name if exact else name.lower())] = entry
    return entries


class HiveBackend(harness.Backend):
    name = "hive"

    def __init__(self, tool, type_names, locales):
        """locales: the host's locale for each code page the cases select."""
        self.tool = os.path.abspath(tool)
        self.type_names = type_names
        self.locales = locales
        self.base = tempfile.mkdtemp(prefix="velmora-hive-")
        self.config = os.path.join(self.base, "card", "Windows", "System32", "config")
        os.makedirs(self.config)
        self.hive = os.path.join(self.config, "SYSTEM")
        # The directory store must stay untouched by a run on a hive.
        self.state = os.path.join(self.base, "state")
        os.makedirs(self.state)
        self.locale = None

    def fresh(self):
        raise NotImplementedError("first use belongs to the stand-in registry")

    def reset(self, keys=None):
        keys = keys if keys is not None else [
            r"SYSTEM\ControlSet001\Services\Tcpip\Parameters",
            r"SYSTEM\ControlSet001\Control\ComputerName\ComputerName",
            r"SYSTEM\ControlSet001\Control\ComputerName\ActiveComputerName"]
        for name in os.listdir(self.config):
            os.unlink(os.path.join(self.config, name))
        hive_fixture.empty_hive(self.hive)
        h = hivex.Hivex(self.hive, write=True)
        hive_fixture.set_values(h, hive_fixture.add(h, h.root(), "Select"),
                                [("Current", hive_fixture.REG_DWORD, hive_fixture.dword(1))])
        for key in keys:
            hive_fixture.add(h, h.root(), key.split("\\", 1)[1])
        h.commit(None)

    def put(self, key, value, data, kind=1):
        if kind in STRING_TYPES:
            data = data.decode(CODECS[self.locale]).encode("utf-16-le")
        h = hivex.Hivex(self.hive, write=True)
        node = hive_fixture.add(h, h.root(), key.split("\\", 1)[1])
        h.node_set_value(node, {"key": value, "t": kind, "value": data})
        h.commit(None)

    def get(self, key, value):
        entry = export(self.hive).get((key.lower(), value.lower()))
        if entry is None:
            return None
        kind, data = entry
        if kind in STRING_TYPES:
            data = data.decode("utf-16-le").encode(CODECS[self.locale])
        return self.type_names.get(kind, str(kind)), data

    def snapshot(self):
        """Every file beside the hive (the hive and its logs) with its bytes and
        timestamp, and what lies in the directory store."""
        files = {}
        for name in sorted(os.listdir(self.config)):
            path = os.path.join(self.config, name)
            info = os.stat(path)
            if not stat.S_ISREG(info.st_mode) or info.st_size > 1 << 30:
                # A FIFO planted as a log is not opened, a sparse giant not read.
                files[name] = (stat.S_IFMT(info.st_mode), info.st_size, info.st_mtime_ns)
                continue
            with open(path, "rb") as f:
                files[name] = (hashlib.sha256(f.read()).hexdigest(), info.st_mtime_ns)
        return files, os.listdir(self.state)

    def command(self, args, user=None, prefix=(), locale=None):
        if user is not None:
            raise NotImplementedError("the hive cases run as the calling user")
        env = dict(os.environ, VELMORA_SYSTEM_HIVE=self.hive, XDG_STATE_HOME=self.state,
                   LC_ALL=locale or self.locales[self.locale])
        if prefix:
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        return list(prefix) + [self.tool] + args, env

    def run(self, args, merged=False, user=None, prefix=(), locale=None):
        before = export(self.hive)
        with open(self.hive, "rb") as f:
            left = hive_check.abandoned(f.read())
        command, env = self.command(args, user, prefix, locale)
        result = subprocess.run(command, env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT if merged else subprocess.PIPE, timeout=60)
        if result.returncode == 0 and len(args) == 1:
            after = export(self.hive)
            changed = sorted(k for k in set(before) | set(after)
                             if before.get(k) != after.get(k) and k not in NAME_VALUES)
            if changed:
                raise AssertionError(f"the rename changed more than the name values: {changed}")
            problems = hive_check.check_file(self.hive)
            if problems:
                raise AssertionError(f"the renamed hive would not load as it is: {problems}")
            with open(self.hive, "rb") as f:
                if hive_check.abandoned(f.read()) - left:
                    raise AssertionError("the rename left allocated cells that nothing references")
        return result.returncode, result.stdout, result.stderr

    def usage(self):
        return b"command : " + self.tool.encode() + b" new-computer-name\n"

