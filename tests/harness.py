"""The black-box suite's shared harness: what every case module uses (the
expected texts, the stand-in backend, the base cases) and the backend under
test, which blackbox.py sets before the cases run."""
import hashlib
import struct
import os
import re
import shutil
import subprocess
import tempfile
import unittest

from hive_layout import (BaseBlockField, BinField, CellField, HiveBaseBlockSize, HiveLogHeaderSize, KeyNodeField,
                         LogEntryField, ValueRecordField)


# The version is written in one place: the project() line of CMakeLists.txt.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")) as _lists:
    VERSION = re.search(r"project\(velmora VERSION (\S+)", _lists.read()).group(1).encode()
BANNER = (
    b"Velmora for Windows Blue RTM IoT Build on Galileo Board\n"
    b"Velmora " + VERSION + b", Copyright (c) 2026 The Velmora Authors\n"
    b"Released under the MIT License; see the LICENSE file.\n"
    b"\n"
    b'THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR IMPLIED, INCLUDING BUT NOT '
    b"LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO "
    b"EVENT SHALL THE AUTHORS OR COPYRIGHT HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER "
    b"IN AN ACTION OF CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR "
    b"THE USE OR OTHER DEALINGS IN THE SOFTWARE.\n"
    b"\n"
)
LENGTH_ERROR = b"Please specify a new computer name by 1-15 characters.\n"
FORBIDDEN_ERROR = b'Please specify a new computer name without \\ / : * ? " < > | or control characters.\n'

TCPIP = r"SYSTEM\ControlSet001\Services\Tcpip\Parameters"
COMPUTER = r"SYSTEM\ControlSet001\Control\ComputerName\ComputerName"
ACTIVE = r"SYSTEM\ControlSet001\Control\ComputerName\ActiveComputerName"
VALUES = [(TCPIP, "Hostname"), (TCPIP, "NV Hostname"), (COMPUTER, "ComputerName"), (ACTIVE, "ComputerName")]
REG_SZ, REG_EXPAND_SZ = 1, 2
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}

# The host's locale for each code page the cases select; the host takes the
# code page from the locale's name even where the locale is not installed.
HOST_LOCALES = {None: "C", "sjis": "ja_JP.SJIS", "gbk": "zh_CN.GBK"}

def hive_backend_export(path, exact=False):
    import hive_backend

    return hive_backend.export(path, exact)


# Set by blackbox.py: the backend under test, and velmora-card.exe under Wine
# when the card program's cases run against it.
BACKEND = None
CARD_EXE = None


def renamed(old, new):
    return b"Old Computer Name : " + old + b"\nNew Computer Name : " + new + b"\n\nPlease reboot your Galileo Board.\n"


class Backend:
    """What the host and hive backends share: a scratch directory, the locale
    the cases select, and the arguments' and output's encoding."""

    def close(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def select(self, locale):
        self.locale = locale

    def encode_arg(self, text, locale):
        return text.encode({"sjis": "cp932", "gbk": "gbk"}.get(locale, "utf-8"))

    def text(self, data):
        return data


class HostBackend(Backend):
    """The host build with its store in a temporary XDG_STATE_HOME."""

    name = "host"

    def __init__(self, tool):
        self.tool = os.path.abspath(tool)
        self.base = tempfile.mkdtemp(prefix="velmora-blackbox-")
        os.chmod(self.base, 0o755)
        self.state = None
        self.locale = None

    def fresh(self):
        """An empty state directory: the next run seeds the store."""
        self.state = tempfile.mkdtemp(dir=self.base)
        os.chmod(self.state, 0o755)

    def root(self):
        return os.path.join(self.state, "velmora", "registry", "HKEY_LOCAL_MACHINE")

    def path(self, key, value=None):
        parts = [self.root()] + key.split("\\") + ([value] if value else [])
        return os.path.join(*parts)

    def reset(self, keys=(TCPIP, COMPUTER, ACTIVE)):
        self.fresh()
        os.makedirs(self.root(), mode=0o755)
        for key in keys:
            os.makedirs(self.path(key), mode=0o755)

    def put(self, key, value, data, kind=REG_SZ):
        with open(self.path(key, value), "wb") as f:
            f.write(TYPE_NAMES.get(kind, str(kind)).encode() + b"\n" + data)

    def get(self, key, value):
        try:
            with open(self.path(key, value), "rb") as f:
                head, _, data = f.read().partition(b"\n")
        except FileNotFoundError:
            return None
        return head.decode(), data

    def snapshot(self):
        """A digest of every file and directory name and every byte of the store."""
        digest = hashlib.sha256()
        for top, dirs, files in sorted(os.walk(self.state)):
            dirs.sort()
            for name in sorted(files):
                digest.update(os.path.join(top, name).encode() + b"\0")
                with open(os.path.join(top, name), "rb") as f:
                    digest.update(f.read())
        return digest.hexdigest()

    def command(self, args, user=None, prefix=()):
        command = list(prefix) + [self.tool] + args
        if user is not None:
            command = ["setpriv", "--reuid", user, "--regid", user, "--clear-groups", "--"] + command
        env = dict(os.environ, XDG_STATE_HOME=self.state)
        env["LC_ALL"] = HOST_LOCALES[self.locale]
        if prefix:
            # LeakSanitizer (the asan preset) cannot work under strace's ptrace.
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        return command, env

    def run(self, args, merged=False, user=None, prefix=()):
        command, env = self.command(args, user, prefix)
        result = subprocess.run(
            command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else subprocess.PIPE,
            timeout=60,
        )
        return result.returncode, result.stdout, result.stderr

    def usage(self):
        return b"command : " + self.tool.encode() + b" new-computer-name\n"


class Case(unittest.TestCase):
    def setUp(self):
        self.b = BACKEND
        self.b.select(None)
        self.b.reset()
        self.seed(b"GALILEO")

    def seed(self, *names):
        names = names * 4 if len(names) == 1 else names
        for (key, value), name in zip(VALUES, names):
            self.b.put(key, value, name + b"\0")

    def run_tool(self, *args, **kw):
        return self.b.run(list(args), **kw)

    def expect(self, got, status, out, err=b""):
        self.assertEqual(got[0], status)
        self.assertEqual(got[1], self.b.text(out))
        self.assertEqual(got[2], self.b.text(err))

    def expect_values(self, *names):
        names = names * 4 if len(names) == 1 else names
        for (key, value), name in zip(VALUES, names):
            self.assertEqual(self.b.get(key, value), ("REG_SZ", name + b"\0"), value)


class HiveCase(Case):
    """A card's SYSTEM hive, renamed before the board's first boot or after."""

    OPEN_ERROR = b"Host Name : Registry Open Error.\n"

    def setUp(self):
        if BACKEND.name != "hive":
            self.skipTest("needs a hive")
        super().setUp()
        import hive_fixture

        self.fixture = hive_fixture

    def card_tool(self):
        return os.path.join(os.path.dirname(BACKEND.tool), "velmora-card")

    def card(self, **kw):
        for name in os.listdir(self.b.config):
            os.unlink(os.path.join(self.b.config, name))
        self.fixture.fresh_card(self.b.hive, **kw)

    def patch_value(self, name, field, value):
        """Sets a field of the value record named `name` (compressed) in the file."""
        with open(self.b.hive, "r+b") as f:
            data = f.read()
            V = ValueRecordField
            at = data.index(V.Magic + struct.pack("<H", len(name)), HiveBaseBlockSize)
            while data[at + V.Name:at + V.Name + len(name)] != name:
                at = data.index(V.Magic + struct.pack("<H", len(name)), at + 1)
            f.seek(at + field)
            f.write(struct.pack("<I", value(at - CellField.Data - HiveBaseBlockSize)))

    def grow_to_limit(self):
        """A last bin, sparse and free, that takes the bins to 256 MiB."""
        with open(self.b.hive, "rb") as f:
            bins = struct.unpack_from("<I", f.read(HiveBaseBlockSize), BaseBlockField.BinsDataSize)[0]
        size = (256 << 20) - bins
        self.fixture.patch(self.b.hive, HiveBaseBlockSize + bins, "<4sII20xi", BinField.Magic, bins, size,
                           size - BinField.HeaderSize)
        self.fixture.patch(self.b.hive, BaseBlockField.BinsDataSize, "<I", 256 << 20)
        os.truncate(self.b.hive, HiveBaseBlockSize + (256 << 20))

    def bare_card(self, select_values):
        """A card whose Select key holds `select_values`, or has no Select key."""
        self.b.reset()
        h = self.fixture.hivex.Hivex(self.b.hive, write=True)
        select = h.node_get_child(h.root(), "Select")
        if select_values is None:
            h.node_delete_child(select)
        else:
            self.fixture.set_values(h, select, select_values)
        h.commit(None)
        for key, value in VALUES[:3]:
            self.b.put(key, value, b"GALILEO\0")

    def assertClean(self, hive, above):
        """Both sequence numbers equal and above `above`, checksum by Windows' rule."""
        with open(hive, "rb") as f:
            header = f.read(HiveBaseBlockSize)
        first = struct.unpack_from("<I", header, BaseBlockField.PrimarySequence)[0]
        second = struct.unpack_from("<I", header, BaseBlockField.SecondarySequence)[0]
        self.assertEqual(first, second)
        self.assertGreater(first, above)
        self.assertEqual(struct.unpack_from("<I", header, BaseBlockField.Checksum)[0], self.fixture.checksum(header))

    def log_change(self, name, other=True):
        """What the board did before its power was pulled: names set to `name`
        (the computer name in small letters) and, when `other`, a new key and a
        changed neighbour."""
        fx = self.fixture

        def change(h):
            tcpip = fx.add(h, h.root(), TCPIP.split("\\", 1)[1])
            for value in ("Hostname", "NV Hostname"):
                h.node_set_value(tcpip, {"key": value, "t": REG_SZ, "value": fx.sz(name)})
            computer = fx.add(h, h.root(), COMPUTER.split("\\", 1)[1])
            h.node_set_value(computer, {"key": "ComputerName", "t": REG_SZ, "value": fx.sz(name.lower())})
            if other:
                h.node_set_value(tcpip, {"key": "Domain", "t": REG_SZ, "value": fx.sz("galileo.example")})
                fx.add(h, h.root(), r"ControlSet001\Services\Added")
        return change

    def expected_after(self, change, new):
        """The reged export of the board's latest state, renamed to `new`."""
        copy = os.path.join(self.b.base, "expected")
        shutil.copyfile(self.b.hive, copy)
        h = self.fixture.hivex.Hivex(copy, write=True)
        change(h)
        for key, value in VALUES[:3]:
            h.node_set_value(self.fixture.add(h, h.root(), key.split("\\", 1)[1]),
                             {"key": value, "t": REG_SZ, "value": self.fixture.sz(new)})
        h.commit(None)
        del h
        return hive_backend_export(copy)

    def run_dirty(self, name, prefix=()):
        command, env = self.b.command([name], prefix=prefix)
        result = subprocess.run(command, env=env, capture_output=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

    def entry_pages(self):
        """Bins offsets of the pages the rename's log entry (LOG1, at 512) wrote."""
        with open(self.b.hive + ".LOG1", "rb") as f:
            entry = f.read()[HiveLogHeaderSize:]
        E = LogEntryField
        (count,) = struct.unpack_from("<I", entry, E.PageCount)
        return {struct.unpack_from("<I", entry, E.HeaderSize + E.Reference * i + E.ReferenceOffset)[0]
                for i in range(count)}

    def computer_name_key(self, data):
        """The largest data size field of the ComputerName key that holds values."""
        K = KeyNodeField
        at = HiveBaseBlockSize
        while True:
            at = data.index(K.Magic, at + 1)
            name_size = struct.unpack_from("<H", data, at + K.NameLength)[0]
            if (data[at + K.Name:at + K.Name + name_size] == b"ComputerName"
                    and struct.unpack_from("<I", data, at + K.ValueCount)[0]):
                return struct.unpack_from("<I", data, at + K.LargestValueData)[0]
