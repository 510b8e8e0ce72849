#!/usr/bin/env python3
"""Black-box tests of velmora: the binary is run as a user runs it, and its
standard output, standard error, exit status and the stored values after the
run are compared byte for byte.

    blackbox.py --host build/native/velmora      (the stand-in registry)
    blackbox.py --wine build/galileo/velmora.exe (Wine's own registry)
"""
import argparse
import hashlib
import os
import pwd
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

BANNER = (
    b"Velmora for Windows Blue RTM IoT Build on Galileo Board\n"
    b"Copyright (c) 2026 The Velmora Authors\n"
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

TCPIP = r"SYSTEM\ControlSet001\Services\Tcpip\Parameters"
COMPUTER = r"SYSTEM\ControlSet001\Control\ComputerName\ComputerName"
ACTIVE = r"SYSTEM\ControlSet001\Control\ComputerName\ActiveComputerName"
VALUES = [(TCPIP, "Hostname"), (TCPIP, "NV Hostname"), (COMPUTER, "ComputerName"), (ACTIVE, "ComputerName")]
REG_SZ, REG_EXPAND_SZ = 1, 2
TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}

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
        return text.encode("cp932" if locale == "sjis" else "utf-8")

    def run(self, args, merged=False, user=None):
        env = dict(os.environ, XDG_STATE_HOME=self.state)
        env["LC_ALL"] = "ja_JP.SJIS" if self.locale == "sjis" else "C"
        command = [self.tool] + args
        if user is not None:
            command = ["setpriv", "--reuid", user, "--regid", user, "--clear-groups", "--"] + command
        result = subprocess.run(
            command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else subprocess.PIPE
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

    def test_one_differing_double_byte_character_is_a_mismatch(self):
        names = ["\uff27\uff21\uff2c".encode("cp932")] * 4
        names[2] = "\uff27\uff21\uff2d".encode("cp932")
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


def main():
    global BACKEND
    parser = argparse.ArgumentParser()
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--host", metavar="VELMORA")
    group.add_argument("--wine", metavar="VELMORA_EXE")
    parser.add_argument("--helper", metavar="REGVALUE_EXE", help="with --wine: the registry helper")
    args, rest = parser.parse_known_args()
    if args.host:
        BACKEND = HostBackend(args.host)
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
