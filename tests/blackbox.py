#!/usr/bin/env python3
"""Black-box tests of velmora: the binary is run as a user runs it, and its
standard output, standard error, exit status and the stored values after the
run are compared byte for byte.

    blackbox.py --host build/native/velmora      (the stand-in registry)
    blackbox.py --hive build/native/velmora      (a SYSTEM hive built here; Debian's python3)
    blackbox.py --wine build/galileo/velmora.exe (Wine's own registry)
"""
import argparse
import hashlib
import json
import struct
import os
import pwd
import re
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import unittest

import hive_check

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


# Set by main(): the backend under test.
BACKEND = None


def renamed(old, new):
    return b"Old Computer Name : " + old + b"\nNew Computer Name : " + new + b"\n\nPlease reboot your Galileo Board.\n"


class HostBackend:
    """The host build with its store in a temporary XDG_STATE_HOME."""

    name = "host"

    def __init__(self, tool):
        self.tool = os.path.abspath(tool)
        self.base = tempfile.mkdtemp(prefix="velmora-blackbox-")
        os.chmod(self.base, 0o755)
        self.state = None
        self.locale = None

    def close(self):
        shutil.rmtree(self.base, ignore_errors=True)

    def select(self, locale):
        self.locale = locale

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

    def encode_arg(self, text, locale):
        return text.encode({"sjis": "cp932", "gbk": "gbk"}.get(locale, "utf-8"))

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

    def text(self, data):
        return data


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


class CommandLine(Case):
    def test_wrong_argument_counts_show_usage(self):
        before = self.b.snapshot()
        for args in ([], ["NEW", "EXTRA"], ["NEW", "EXTRA", "MORE"]):
            self.expect(self.run_tool(*[a.encode() for a in args]), 0, BANNER + self.b.usage())
        self.assertEqual(self.b.snapshot(), before)

    def test_length_bounds(self):
        before = self.b.snapshot()
        self.expect(self.run_tool(b""), 1, BANNER, LENGTH_ERROR)
        self.expect(self.run_tool(b"A" * 16), 1, BANNER, LENGTH_ERROR)
        self.assertEqual(self.b.snapshot(), before)
        self.expect(self.run_tool(b"B" * 15), 0, BANNER + renamed(b"GALILEO", b"B" * 15))
        self.expect_values(b"B" * 15)


    def test_characters_windows_refuses_in_every_name(self):
        # Nothing opened, nothing written: a help request typed at the board's prompt is no name either.
        before = self.b.snapshot()
        for name in (b"/?", b"lab/01", b"lab*01?", b"a\\b", b'a"b', b"a:b", b"a<b>", b"a|b", b"a\tb",
                     b"a\nb", b"a\x7fb", b"a\x01b"):
            self.expect(self.run_tool(name), 1, BANNER, FORBIDDEN_ERROR)
        self.assertEqual(self.b.snapshot(), before)

    def test_spaces_and_punctuation_pass_unchanged(self):
        self.expect(self.run_tool(b" my board.1!"), 0, BANNER + renamed(b"GALILEO", b" my board.1!"))
        self.expect_values(b" my board.1!")

    def test_banner_comes_first_on_a_shared_stream(self):
        got = self.run_tool(b"", merged=True)
        self.assertEqual((got[0], got[1]), (1, self.b.text(BANNER + LENGTH_ERROR)))


class Rename(Case):
    def test_full_rename_keeps_the_new_names_case(self):
        self.expect(self.run_tool(b"NewBoard"), 0, BANNER + renamed(b"GALILEO", b"NewBoard"))
        self.expect_values(b"NewBoard")
        # The same name again is written and reported like any other.
        self.expect(self.run_tool(b"NewBoard"), 0, BANNER + renamed(b"NewBoard", b"NewBoard"))

    def test_case_only_differences_agree(self):
        self.seed(b"GaLiLeO", b"GALILEO", b"galileo", b"Galileo")
        self.expect(self.run_tool(b"x"), 0, BANNER + renamed(b"GaLiLeO", b"x"))
        self.expect_values(b"x")

    def test_one_differing_value_changes_nothing(self):
        for tag in range(1, 4):
            names = [b"GALILEO"] * 4
            names[tag] = b"GALILE0"
            self.seed(*names)
            before = self.b.snapshot()
            self.expect(
                self.run_tool(b"NEW"),
                1,
                BANNER,
                b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names),
            )
            self.assertEqual(self.b.snapshot(), before)

    def test_missing_keys(self):
        for missing, message in (
            (TCPIP, b"Host Name : Registry Open Error.\n"),
            (COMPUTER, b"Computer Name : Registry Open Error.\n"),
            (ACTIVE, b"Computer Name : Registry Open Error.\n"),
        ):
            if missing == ACTIVE and self.b.name == "hive":
                continue  # a hive lacks it by nature: see HiveOffline
            self.b.reset([k for k in (TCPIP, COMPUTER, ACTIVE) if k != missing])
            for key, value in VALUES:
                if key != missing:
                    self.b.put(key, value, b"GALILEO\0")
            before = self.b.snapshot()
            self.expect(self.run_tool(b"NEW"), 1, BANNER, message)
            self.assertEqual(self.b.snapshot(), before)

    def test_missing_value(self):
        self.b.reset()
        for key, value in VALUES[:2] + VALUES[3:]:
            self.b.put(key, value, b"GALILEO\0")
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Computer Name 1 : Registry Query Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_expandable_string_is_refused(self):
        self.b.put(TCPIP, "NV Hostname", b"GALILEO\0", REG_EXPAND_SZ)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Host Name 2 : Type Mismatch Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_value_sizes_around_the_buffer(self):
        long199 = b"L" * 198
        self.seed(long199)
        self.expect(self.run_tool(b"N1"), 0, BANNER + renamed(long199, b"N1"))

        long200 = b"M" * 199
        self.seed(long200)
        warnings = b"".join(b"%s : Unsupported Length.\n" % label
                            for label in (b"Host Name 1", b"Host Name 2", b"Computer Name 1", b"Computer Name 2"))
        self.expect(self.run_tool(b"N2"), 0, BANNER + renamed(long200, b"N2"), warnings)
        self.expect_values(b"N2")
        # On one pipe the messages arrive in the order they were written.
        self.seed(long200)
        got = self.run_tool(b"N3", merged=True)
        self.assertEqual((got[0], got[1]), (0, self.b.text(BANNER + warnings + renamed(long200, b"N3"))))

        self.seed(b"N" * 200)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"N4"), 1, BANNER, b"Host Name 1 : Registry Query Error.\n")
        self.assertEqual(self.b.snapshot(), before)


class CodePage932(Case):
    """Shift-JIS: fullwidth letters fold by the code page's case mapping."""

    def setUp(self):
        super().setUp()
        self.b.select("sjis")
        self.b.reset()

    def arg(self, text):
        return self.b.encode_arg(text, "sjis")

    def test_eight_double_byte_characters_are_sixteen_bytes(self):
        self.seed(b"GALILEO")
        before = self.b.snapshot()
        self.expect(self.run_tool(self.arg("\uff21" * 8)), 1, BANNER, LENGTH_ERROR)
        self.assertEqual(self.b.snapshot(), before)

    def test_fullwidth_names_differing_in_case_agree(self):
        upper, lower = "\uff27\uff41\uff2c\uff29".encode("cp932"), "\uff47\uff41\uff4c\uff49".encode("cp932")
        self.seed(upper, lower, lower, upper)
        new = "\uff2e\uff45\uff57".encode("cp932")
        self.expect(self.run_tool(self.arg("\uff2e\uff45\uff57")), 0, BANNER + renamed(upper, new))
        self.expect_values(new)
        # A trail byte that is a backslash or a bar (\u30bd, \u8868) is no forbidden character.
        trails = "\u30bd\u8868".encode("cp932")
        self.expect(self.run_tool(self.arg("\u30bd\u8868")), 0, BANNER + renamed(new, trails))

    def test_one_differing_double_byte_character_is_a_mismatch(self):
        names = ["\uff27\uff21\uff2c".encode("cp932")] * 4
        names[2] = "\uff27\uff21\uff2d".encode("cp932")
        self.seed(*names)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER,
                    b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names))
        self.assertEqual(self.b.snapshot(), before)


class CodePage936(Case):
    """GBK: fullwidth letters fold; a letter whose capital the code page lacks
    matches nothing. On the board, WideCharToMultiByte would hand back a
    best-fit look-alike for that capital; the comparison must refuse it."""

    def setUp(self):
        super().setUp()
        self.b.select("gbk")
        self.b.reset()

    def test_fullwidth_names_differing_in_case_agree(self):
        upper, lower = "\uff27\uff21\uff2c".encode("gbk"), "\uff47\uff41\uff4c".encode("gbk")
        self.seed(lower, upper, upper, lower)
        new = "\uff2e\uff45\uff57"
        self.expect(self.run_tool(self.b.encode_arg(new, "gbk")), 0, BANNER + renamed(lower, new.encode("gbk")))
        self.expect_values(new.encode("gbk"))

    def test_a_letter_without_its_capital_matches_nothing(self):
        names = ["g\u0101l".encode("gbk")] * 4
        self.seed(*names)
        before = self.b.snapshot()
        self.expect(self.run_tool(b"NEW"), 1, BANNER,
                    b"Name Mismatch : H1 = %s, H2 = %s, C1 = %s, C2 = %s\n" % tuple(names))
        self.assertEqual(self.b.snapshot(), before)


class HostStore(Case):
    def setUp(self):
        if BACKEND.name != "host":
            self.skipTest("needs the stand-in registry")
        super().setUp()

    def test_first_use_seeds_the_hosts_name(self):
        self.b.fresh()
        host = socket.gethostname().encode()
        self.expect(self.run_tool(b"First"), 0, BANNER + renamed(host, b"First"))
        self.expect_values(b"First")
        self.expect(self.run_tool(b"Second"), 0, BANNER + renamed(b"First", b"Second"))
        leftovers = [n for _, _, files in os.walk(self.b.state) for n in files if n.startswith(".")]
        self.assertEqual(leftovers, [])

    def test_unseeded_store_that_exists_is_not_reseeded(self):
        self.b.reset([])
        self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Host Name : Registry Open Error.\n")
        self.assertEqual(os.listdir(self.b.root()), [])

    def test_store_the_user_may_not_write(self):
        before = self.b.snapshot()
        if os.geteuid() == 0:
            # Root may write anywhere: run as a user who does not own the store.
            got = self.run_tool(b"NEW", user=str(pwd.getpwnam("nobody").pw_uid))
        else:
            os.chmod(self.b.path(TCPIP), 0o555)
            got = self.run_tool(b"NEW")
            os.chmod(self.b.path(TCPIP), 0o755)
        self.expect(got, 1, BANNER, b"Host Name : Registry Open Error.\n")
        self.assertEqual(self.b.snapshot(), before)

    def test_stale_temporary_is_swept(self):
        stale = self.b.path(TCPIP, ".velmora-tmp-0123456789abcdef")
        with open(stale, "wb") as f:
            f.write(b"REG_SZ\nHALF")
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))
        self.assertFalse(os.path.exists(stale))


class HostileRuns(Case):
    """Runs that are interrupted, concurrent, cut off or planted against: the
    four values still end all old or all new, and a refusal is one line."""

    def setUp(self):
        if BACKEND.name != "host":
            self.skipTest("needs the stand-in registry")
        super().setUp()

    def modes(self, top):
        return {os.path.relpath(os.path.join(d, n), top): stat.S_IMODE(os.lstat(os.path.join(d, n)).st_mode)
                for d, dirs, files in os.walk(top) for n in dirs + files}

    def test_a_value_that_is_no_regular_file_is_refused_at_once(self):
        def fifo(path):
            os.mkfifo(path)

        def sock(path):
            # Bound where the path is short enough, then moved into place.
            short = tempfile.mkdtemp(dir="/tmp")
            self.addCleanup(shutil.rmtree, short)
            with socket.socket(socket.AF_UNIX) as listener:
                listener.bind(os.path.join(short, "s"))
            os.rename(os.path.join(short, "s"), path)

        def link(path):
            target = path + "-target"
            with open(target, "wb") as f:
                f.write(b"REG_SZ\nGALILEO\0")
            os.symlink(target, path)

        plants = [fifo, sock, os.mkdir, link]
        if os.geteuid() == 0:
            plants.append(lambda path: os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3)))  # /dev/null
        for plant in plants:
            self.b.reset()
            self.seed(b"GALILEO")
            os.unlink(self.b.path(TCPIP, "NV Hostname"))
            plant(self.b.path(TCPIP, "NV Hostname"))
            # A FIFO opened for reading would wait for a writer forever.
            self.expect(self.run_tool(b"NEW"), 1, BANNER, b"Host Name 2 : Registry Query Error.\n")
            self.assertEqual(self.b.get(TCPIP, "Hostname"), ("REG_SZ", b"GALILEO\0"), plant)

    def test_numeric_type_lines(self):
        for line, status, err in ((b"1", 0, b""), (b"12", 1, b"Host Name 2 : Type Mismatch Error.\n"),
                                  (b"2", 1, b"Host Name 2 : Type Mismatch Error.\n")):
            self.seed(b"GALILEO")
            with open(self.b.path(TCPIP, "NV Hostname"), "wb") as f:
                f.write(line + b"\nGALILEO\0")
            out = BANNER + renamed(b"GALILEO", b"NEW") if status == 0 else BANNER
            self.expect(self.run_tool(b"NEW"), status, out, err)

    def test_concurrent_runs_serialise(self):
        for i in range(25):
            self.seed(b"GALILEO")
            runs = []
            for name in (b"ALPHA", b"BRAVO"):
                command, env = self.b.command([name])
                runs.append(subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
            results = [(run.wait(timeout=60), run.stdout.read(), run.stderr.read()) for run in runs]
            for run in runs:
                run.stdout.close()
                run.stderr.close()
            self.assertEqual([r[0] for r in results], [0, 0], f"pair {i}: {results}")
            stored = {self.b.get(key, value) for key, value in VALUES}
            self.assertEqual(len(stored), 1, f"pair {i}: values disagree: {stored}")
            self.assertIn(stored.pop()[1], (b"ALPHA\0", b"BRAVO\0"))
            # The second run saw the first one's name, whichever came first.
            olds = sorted(r[1].split(b"Old Computer Name : ")[1].split(b"\n")[0] for r in results)
            self.assertIn(olds, ([b"ALPHA", b"GALILEO"], [b"BRAVO", b"GALILEO"]), f"pair {i}")

    def test_interrupt_between_writes_waits_for_the_last_close(self):
        for signal_name, number in (("INT", 2), ("TERM", 15), ("HUP", 1)):
            self.seed(b"GALILEO")
            # The signal arrives as the second value's temporary is renamed into place.
            got = self.run_tool(b"NEW", prefix=["strace", "-f", "-o", "/dev/null", "-e", "trace=renameat",
                                                "-e", f"inject=renameat:signal={signal_name}:when=2"])
            self.assertEqual(got[:2], (-number, BANNER + renamed(b"GALILEO", b"NEW")), signal_name)
            self.expect_values(b"NEW")

    def test_a_closed_output_pipe_does_not_decide_the_rename(self):
        command, env = self.b.command([b"NEW"])
        reader, writer = os.pipe()
        os.close(reader)
        try:
            result = subprocess.run(command, env=env, stdout=writer, stderr=subprocess.PIPE, timeout=60)
        finally:
            os.close(writer)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.expect_values(b"NEW")

    def test_replacement_keeps_owner_and_mode(self):
        modes = {VALUES[0]: 0o640, VALUES[1]: 0o600, VALUES[2]: 0o604, VALUES[3]: 0o400}
        for (key, value), mode in modes.items():
            os.chmod(self.b.path(key, value), mode)
        owner = None
        if os.geteuid() == 0:
            owner = pwd.getpwnam("nobody")
            for top, dirs, files in os.walk(os.path.join(self.b.state, "velmora")):
                for name in [top] + [os.path.join(top, n) for n in files]:
                    os.lchown(name, owner.pw_uid, owner.pw_gid)
            # One value whose group alone differs from the runner's: it keeps it too.
            os.lchown(self.b.path(*VALUES[3]), 0, owner.pw_gid)
        trace = os.path.join(self.b.state, "trace")
        got = self.run_tool(b"NEW", prefix=["strace", "-f", "-o", trace, "-e", "trace=openat"])
        self.expect(got, 0, BANNER + renamed(b"GALILEO", b"NEW"))
        for (key, value), mode in modes.items():
            info = os.stat(self.b.path(key, value))
            self.assertEqual(stat.S_IMODE(info.st_mode), mode, value)
            if owner:
                uid = 0 if (key, value) == VALUES[3] else owner.pw_uid
                self.assertEqual((info.st_uid, info.st_gid), (uid, owner.pw_gid), value)
        with open(trace) as f:
            created = [line for line in f if "O_CREAT" in line]
        # Each temporary starts readable by its owner alone.
        self.assertEqual([line.rsplit(", ", 1)[1].split(")")[0] for line in created],
                         ["0600"] * 4)
        if owner:
            # The owner's own next run still works (on values all theirs).
            os.lchown(self.b.path(*VALUES[3]), owner.pw_uid, owner.pw_gid)
            self.expect(self.run_tool(b"AGAIN", user=str(owner.pw_uid)), 0, BANNER + renamed(b"NEW", b"AGAIN"))

    def test_first_use_makes_private_directories_and_exact_values(self):
        self.b.fresh()
        self.b.state = os.path.join(self.b.state, "missing", "state")
        host = socket.gethostname().encode()
        # The first value write fails, so the store stays as seeded.
        got = self.run_tool(b"NEW", prefix=["strace", "-f", "-o", "/dev/null", "-e", "trace=renameat",
                                            "-e", "inject=renameat:error=EIO:when=5"])
        self.expect(got, 1, BANNER + b"Old Computer Name : " + host + b"\n", b"Host Name 1 : Set New Value Error.\n")
        self.expect_values(host)
        top = os.path.dirname(os.path.dirname(self.b.state))
        modes = self.modes(top)
        store = {path: mode for path, mode in modes.items() if not path.startswith("missing/state/velmora/registry/")
                 or os.path.isdir(os.path.join(top, path))}
        self.assertEqual(set(store.values()), {0o700}, modes)
        values = {path: mode for path, mode in modes.items() if path not in store}
        self.assertEqual(sorted(values.values()), [0o600] * 4, modes)

    def test_leftover_seedings_are_swept(self):
        self.b.fresh()
        stale = os.path.join(self.b.state, "velmora", "registry.seed-abc123")
        os.makedirs(os.path.join(stale, "HKEY_LOCAL_MACHINE"))
        host = socket.gethostname().encode()
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(host, b"NEW"))
        self.assertEqual(os.listdir(os.path.join(self.b.state, "velmora")), ["registry"])
        os.makedirs(stale)
        self.expect(self.run_tool(b"NEXT"), 0, BANNER + renamed(b"NEW", b"NEXT"))
        self.assertFalse(os.path.exists(stale))

    def test_a_failed_seeding_leaves_nothing(self):
        self.b.fresh()
        # The seeded store's move into place fails.
        got = self.run_tool(b"NEW", prefix=["strace", "-f", "-o", "/dev/null", "-e", "trace=rename",
                                            "-e", "inject=rename:error=EIO:when=1"])
        self.expect(got, 1, BANNER, b"Host Name : Registry Open Error.\n")
        self.assertEqual(os.listdir(self.b.state), [])


class HiveOffline(Case):
    """A card's SYSTEM hive, renamed before the board's first boot."""

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

    def patch_value(self, name, field, value):
        """Sets a field of the value record named `name` (compressed) in the file."""
        with open(self.b.hive, "r+b") as f:
            data = f.read()
            at = data.index(b"vk" + struct.pack("<H", len(name)), 4096)
            while data[at + 20:at + 20 + len(name)] != name:
                at = data.index(b"vk" + struct.pack("<H", len(name)), at + 1)
            f.seek(at + field)
            f.write(struct.pack("<I", value(at - 4 - 4096)))

    def test_refused_hives_are_not_touched(self):
        cases = [
            ("not a hive", lambda: self.fixture.patch(self.b.hive, 0, "4s", b"MZ\0\0"), b"not a registry hive"),
            ("truncated", lambda: os.truncate(self.b.hive, 6000), b"truncated"),
            ("bad checksum, no logs", lambda: self.fixture.patch(self.b.hive, 0x1FC, "<I", 1, fix_checksum=False),
             b"its header is damaged (bad checksum), and it has no logs beside it"),
            ("version 2.0", lambda: self.fixture.patch(self.b.hive, 0x14, "<I", 2), b"unknown hive format version"),
            ("version 1.2", lambda: self.fixture.patch(self.b.hive, 0x18, "<I", 2), b"unknown hive format version"),
            ("version 1.7", lambda: self.fixture.patch(self.b.hive, 0x18, "<I", 7), b"unknown hive format version"),
            ("dirty, no logs", lambda: self.fixture.make_dirty(self.b.hive), b"not shut down cleanly, and it has no"),
            ("Select\\Current = 2", lambda: self.card(current=2), b"Select\\Current"),
            ("no Select: a SOFTWARE-like hive", lambda: self.bare_card(None), b"not a SYSTEM hive"),
            ("no Current", lambda: self.bare_card([("Default", 4, b"\1\0\0\0")]), b"Select\\Current"),
            ("Current not a DWORD", lambda: self.bare_card([("Current", 3, b"\1\0\0\0")]), b"Select\\Current"),
            ("data at the value itself", lambda: self.patch_value(b"Hostname", 8, lambda cell: cell),
             b"at the value itself", b"Host Name 1 : Registry Query Error.\n"),
            ("data outside the bins", lambda: self.patch_value(b"Hostname", 8, lambda cell: 0x7FFFFFF0),
             b"outside the hive", b"Host Name 1 : Registry Query Error.\n"),
            ("data size 0x7FFFFFF0", lambda: self.patch_value(b"Hostname", 4, lambda cell: 0x7FFFFFF0),
             b"value Hostname: holds 2147483632 bytes", b"Host Name 1 : Registry Query Error.\n"),
            ("root's subkey list at the root", lambda: self.fixture.patch(self.b.hive, 4096 + 32 + 4 + 28, "<I", 32),
             b"key SYSTEM: its subkey list is damaged"),
            ("bin 0 claiming bin 1's page", lambda: self.fixture.patch(self.b.hive, 4096 + 8, "<I", 8192),
             b"the bin holding offset 0x0 of the bins is damaged"),
            ("bins size past 256 MiB", lambda: (self.fixture.patch(self.b.hive, 40, "<I", 0xFFFFF000),
                                                os.truncate(self.b.hive, 12288)), b"its bins size"),
            ("bins size no multiple of 4096", lambda: self.fixture.patch(self.b.hive, 40, "<I", 8192 + 512),
             b"its bins size"),
            ("two spellings of the hive", lambda: shutil.copyfile(self.b.hive, os.path.join(self.b.config, "system")),
             b"differ only in letter case"),
            ("two values differing in case", lambda: self.card(tcpip_extra=[("HOSTNAME", 1, b"x\0\0\0")]),
             b"two values whose names differ only in letter case", b"Host Name 1 : Set New Value Error.\n"),
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
            self.fixture.patch(self.b.hive, 0x18, "<I", minor)
            with self.subTest(minor=minor):
                self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))

    def grow_to_limit(self):
        """A last bin, sparse and free, that takes the bins to 256 MiB."""
        with open(self.b.hive, "rb") as f:
            bins = struct.unpack_from("<I", f.read(48), 40)[0]
        size = (256 << 20) - bins
        self.fixture.patch(self.b.hive, 4096 + bins, "<4sII20xi", b"hbin", bins, size, size - 32)
        self.fixture.patch(self.b.hive, 40, "<I", 256 << 20)
        os.truncate(self.b.hive, 4096 + (256 << 20))

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

    def test_lookups_are_bounded(self):
        # The root's subkeys behind an ri: ten times an lf list of 65,535 entries, all naming a key at
        # the end of a 64 MiB bin (a sparse file), before the real list. Hash hints, and bins found
        # once, keep this quick; walking each entry's cell back to its bin took minutes. (The timeout
        # guards against a hang only.)
        self.card()
        with open(self.b.hive, "r+b") as f:
            data = bytearray(f.read())
            bins, root = struct.unpack_from("<I", data, 40)[0], struct.unpack_from("<I", data, 36)[0]
            size, count, decoy = 64 << 20, 65535, bins + (64 << 20) - 96
            lf = struct.pack("<i2sH", -(8 + 8 * count), b"lf", count) + struct.pack("<II", decoy, 0x4B434544) * count
            real = struct.unpack_from("<I", data, 4096 + root + 4 + 28)[0]
            ri = struct.pack("<i2sH", -56, b"ri", 11) + struct.pack("<I", bins + 32) * 10 + struct.pack("<I", real)
            ri = ri.ljust(56, b"\0")  # its cell's whole size: cells fill their bin
            struct.pack_into("<I", data, 4096 + root + 4 + 28, bins + 32 + len(lf))
            struct.pack_into("<I", data, 40, bins + size)
            self.fixture.set_checksum(data)
            body = struct.pack("<4sII20x", b"hbin", bins, size) + lf + ri
            nk = struct.pack("<i2sH", -96, b"nk", 0x20).ljust(4 + 72, b"\0") + struct.pack("<HH", 4, 0) + b"DECK"
            f.seek(0)
            f.write(data + body + struct.pack("<i", size - len(body) - 96))
            f.seek(4096 + decoy)
            f.write(nk.ljust(96, b"\0"))
        command, env = self.b.command([b"NEW"])
        result = subprocess.run(command, env=env, capture_output=True, timeout=10)
        self.assertEqual((result.returncode, result.stdout), (0, BANNER + renamed(b"GALILEO", b"NEW")), result.stderr)

    def test_windows_checksum_rule(self):
        # A base block whose dwords XOR to 0 stores 1 (hivex alone refuses it).
        self.card()
        with open(self.b.hive, "r+b") as f:
            header = bytearray(f.read(4096))
            header[12:16] = bytes(4)
            rest = 0
            for (word,) in struct.iter_unpack("<I", header[:0x1FC]):
                rest ^= word
            header[12:16] = struct.pack("<I", rest)  # the timestamp's low half: now all XOR to 0
            header[0x1FC:0x200] = struct.pack("<I", 1)
            f.seek(0)
            f.write(header)
        self.expect(self.run_tool(b"NEW"), 0, BANNER + renamed(b"GALILEO", b"NEW"))
        self.assertClean(self.b.hive, 0)

    def assertClean(self, hive, above):
        """Both sequence numbers equal and above `above`, checksum by Windows' rule."""
        with open(hive, "rb") as f:
            header = f.read(4096)
        first, second = struct.unpack_from("<II", header, 4)
        self.assertEqual(first, second)
        self.assertGreater(first, above)
        self.assertEqual(struct.unpack_from("<I", header, 0x1FC)[0], self.fixture.checksum(header))

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
                    (written,) = struct.unpack_from("<I", f.read(512), 4)
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
                self.fixture.patch(self.b.hive, 40, "<I", struct.unpack_from("<I", log, 512 + 16)[0])
                if cut_short:  # the last entry, holding the last page, gone
                    f.truncate(log.rindex(b"HvLE"))
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
            fx.patch(self.b.hive, 8, "<I", 50)  # the logs are older than the primary

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
                fx.patch(self.b.hive + suffix, 4, "<I", 99, fix_checksum=False)

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

    def entry_pages(self):
        """Bins offsets of the pages the rename's log entry (LOG1, at 512) wrote."""
        with open(self.b.hive + ".LOG1", "rb") as f:
            entry = f.read()[512:]
        (count,) = struct.unpack_from("<I", entry, 20)
        return {struct.unpack_from("<I", entry, 40 + 8 * i)[0] for i in range(count)}

    def computer_name_key(self, data):
        """The largest data size field of the ComputerName key that holds values."""
        at = 4096
        while True:
            at = data.index(b"nk", at + 1)
            flags, name_size = struct.unpack_from("<H", data, at + 2)[0], struct.unpack_from("<H", data, at + 72)[0]
            if data[at + 76:at + 76 + name_size] == b"ComputerName" and struct.unpack_from("<I", data, at + 36)[0]:
                return struct.unpack_from("<I", data, at + 64)[0]

    def test_the_writer_changes_only_the_pages_it_logs(self):
        def fake_bin_in_blob():
            # A blob ending the hive's last bin, holding at its last page boundary what a bin header
            # with a free cell looks like.
            self.b.put(TCPIP, "Blob", bytes(9000), kind=3)
            with open(self.b.hive, "r+b") as f:
                data = f.read()
                page = (len(data) - 4096) // 4096 * 4096
                self.assertEqual(data[page:page + 64], bytes(64))  # inside the blob's zeros
                f.seek(page)
                f.write(struct.pack("<4sII20xi", b"hbin", page - 4096, 4096, 4064))

        rows = [  # old name, new name, damage, growth in bytes
            (b"GALILEO", b"NEWNAME", None, 0),  # fits the old cell
            (b"GALILEO", b"A", None, 0),  # 4 bytes with its terminator: inside the record
            (b"A", b"A-LONGER-NAME-1", None, 4096),  # a cell of its own: in a new bin, never searched for
            (b"A", b"A-LONGER-NAME-1", lambda: self.fixture.fill_last_bin(self.b.hive), 4096),
            (b"A", b"A-LONGER-NAME-1", fake_bin_in_blob, 4096),  # bytes of another value are never taken for a bin
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
                self.assertEqual(struct.unpack_from("<I", after, 40)[0], len(after) - 4096)
                changed = {page - 4096 for page in range(4096, len(after), 4096)
                           if before[page:page + 4096] != after[page:page + 4096]}
                self.assertEqual(changed, self.entry_pages())
                self.assertEqual(self.computer_name_key(after),
                                 max(self.computer_name_key(before), 2 * len(new) + 2))
                for key, value in VALUES[:3]:
                    self.assertEqual(self.b.get(key, value), ("REG_SZ", new + b"\0"), value)

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
        self.assertLessEqual(os.path.getsize(self.b.hive), size + 4096)

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
                image, point = os.path.join(self.b.base, "card.img"), os.path.join(self.b.base, "mnt")
                os.makedirs(point, exist_ok=True)
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
                    finally:
                        subprocess.run(["umount", point], capture_output=True)
                    subprocess.run(mount(device, point, []), check=True, capture_output=True)
                    try:
                        got = subprocess.run(["hivexget", os.path.join(point, "SYSTEM"),
                                              r"ControlSet001\Services\Tcpip\Parameters", "Hostname"],
                                             capture_output=True, text=True).stdout
                    finally:
                        subprocess.run(["umount", point], capture_output=True)
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


class CardProgram(Case):
    """velmora-card, beside velmora: the card is an argument."""

    def setUp(self):
        if BACKEND.name != "hive":
            self.skipTest("needs a hive")
        super().setUp()
        import hive_fixture

        self.fixture = hive_fixture
        self.card_tool = os.path.join(os.path.dirname(BACKEND.tool), "velmora-card")
        self.cards = tempfile.mkdtemp(dir=BACKEND.base)

    def card(self, path, name="GALILEO"):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.fixture.fresh_card(path, name)
        return path

    def run_card(self, *args, env=None):
        env = dict({k: v for k, v in os.environ.items() if k != "VELMORA_SYSTEM_HIVE"}, LC_ALL="C") | (env or {})
        result = subprocess.run([self.card_tool] + list(args), env=env, capture_output=True, timeout=60)
        return result.returncode, result.stdout, result.stderr

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
        self.assertEqual(self.run_card("-n", "rename", "-q", mount, "CARD-2")[:2],
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
            (("rename", mount, b"caf\xe9"), b"no text of this locale's code set"),
            (("rename", device, "lab-01"), b"mount it first"),
            (("rename", os.path.join(self.cards, "empty"), "lab-01"), b"nothing is mounted here"),
            (("rename", self.cards, "lab-01"), b"likely the wrong partition"),
            (("rename", hive + ".LOG1", "lab-01"), b"one of the hive's logs"),
        ]
        open(hive + ".LOG1", "wb").close()
        for args, said in rows:
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


def main():
    global BACKEND
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--host", metavar="VELMORA")
    group.add_argument("--hive", metavar="VELMORA")
    group.add_argument("--wine", metavar="VELMORA_EXE")
    parser.add_argument("--helper", metavar="REGVALUE_EXE", help="with --wine: the registry helper")
    args, rest = parser.parse_known_args()
    if args.host:
        BACKEND = HostBackend(args.host)
    elif args.hive:
        import hive_backend

        BACKEND = hive_backend.HiveBackend(args.hive, TYPE_NAMES, HOST_LOCALES)
    else:
        import wine_backend

        BACKEND = wine_backend.WineBackend(args.wine, args.helper, (TCPIP, COMPUTER, ACTIVE), TYPE_NAMES)
    try:
        program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    finally:
        BACKEND.close()
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
