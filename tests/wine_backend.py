"""The black-box suite's view of Wine: velmora.exe runs under Wine and the name
values live in Wine's own registry, seeded and read by the regvalue.exe helper.

One prefix per locale, each with a persistent wineserver started without our
pipes (a server started by a captured wine call would hold them for its linger
time); close() stops every server, so nothing outlives the tests.
"""
import os
import re
import shutil
import subprocess
import tempfile

# Under ja_JP.UTF-8 Wine's ANSI code page is 932, under zh_CN.UTF-8 936.
LOCALES = {None: "C", "sjis": "ja_JP.UTF-8", "gbk": "zh_CN.UTF-8"}


def dos_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineBackend:
    name = "wine"

    def __init__(self, exe, helper, keys, type_names):
        """keys: the three name keys; type_names: value types by number."""
        self.keys = keys
        self.type_names = type_names
        self.exe = os.path.abspath(exe)
        self.helper = os.path.abspath(helper)
        self.base = tempfile.mkdtemp(prefix="velmora-wine-")
        self.environments = {}
        self.locale = None
        self.pending = []

    def environment(self):
        if self.locale not in self.environments:
            prefix = os.path.join(self.base, "prefix-" + LOCALES[self.locale])
            os.makedirs(prefix)
            # The board's binary is 32-bit: a 32-bit prefix, even where Wine's 64-bit half is installed.
            env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all",
                       WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL=LOCALES[self.locale])
            env.pop("DISPLAY", None)
            quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            subprocess.run(["wineserver", "-p"], env=env, check=True, **quiet)
            subprocess.run(["wine", "wineboot", "-i"], env=env, check=True, **quiet)
            self.environments[self.locale] = env
        return self.environments[self.locale]

    def close(self):
        for env in self.environments.values():
            subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(self.base, ignore_errors=True)

    def select(self, locale):
        self.flush()
        self.locale = locale

    def call_helper(self, lines):
        result = subprocess.run(["wine", self.helper], input="".join(line + "\n" for line in lines).encode(),
                                env=self.environment(), capture_output=True)
        if result.returncode != 0:
            raise RuntimeError("regvalue.exe failed: " + result.stderr.decode(errors="replace"))
        return result.stdout.decode("latin-1").replace("\r\n", "\n")

    def flush(self):
        if self.pending:
            lines, self.pending = self.pending, []
            self.call_helper(lines)

    def fresh(self):
        raise NotImplementedError("first use belongs to the stand-in registry")

    def reset(self, keys=None):
        keys = self.keys if keys is None else keys
        self.pending = ["reset\t" + "\t".join(keys)]

    def put(self, key, value, data, kind=1):
        self.pending.append(f"put\t{key}\t{value}\t{kind}\t{data.hex()}")

    def dump(self):
        self.flush()
        return self.call_helper(["dump\t" + key for key in self.keys])

    def get(self, key, value):
        current = None
        for line in self.dump().splitlines():
            if line.startswith(("key ", "nokey ")):
                current = line.split(" ", 1)[1]
                continue
            name, kind, data = line.split("\t")
            if current == key and name == value:
                return self.type_names.get(int(kind), kind), bytes.fromhex(data)
        return None

    def snapshot(self):
        return self.dump()

    def encode_arg(self, text, locale):
        # Wine reads its command line in the Unix locale's charset (UTF-8)
        # and hands the program the ANSI code page's bytes.
        return text.encode("utf-8")

    def run(self, args, merged=False, user=None):
        if user is not None:
            raise NotImplementedError("Wine runs as the calling user")
        self.flush()
        result = subprocess.run(["wine", self.exe] + args, env=self.environment(), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT if merged else subprocess.PIPE)
        return result.returncode, result.stdout, result.stderr

    def usage(self):
        return b"command : " + dos_path(self.exe).encode() + b" new-computer-name\n"

    def text(self, data):
        # Standard streams are text streams on Windows.
        return data.replace(b"\n", b"\r\n")


class CardExe:
    """velmora-card.exe under Wine's 64-bit half, run as the Linux program is:
    paths become Z: paths on the way in and Linux paths again on the way out,
    CR LF line ends LF. One prefix with a persistent wineserver, stopped by
    close()."""

    def __init__(self, exe, base):
        self.exe = os.path.abspath(exe)
        prefix = os.path.join(base, "prefix-win64")
        os.makedirs(prefix)
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
        self.env.pop("DISPLAY", None)
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, **quiet)
        subprocess.run(["wine", "wineboot", "-i"], env=self.env, check=True, **quiet)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def drive(self, letter, path):
        """The folder at `path` as drive `letter` ("e:"), as a card in a reader is."""
        link = os.path.join(self.env["WINEPREFIX"], "dosdevices", letter)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(path, link)

    @staticmethod
    def linux_paths(data):
        """Z:\\a\\b (and, in JSON, Z:\\\\a\\\\b) as /a/b."""
        return re.sub(rb"Z:((?:\\{1,2}[^\\\s\"':;,()]+)+)",
                      lambda m: m.group(1).replace(b"\\\\", b"/").replace(b"\\", b"/"), data)

    def run(self, args, env=None):
        args = [dos_path(a) if isinstance(a, str) and a.startswith("/") else a for a in args]
        result = subprocess.run(["wine", self.exe] + args, env=dict(self.env, **(env or {})), capture_output=True,
                                timeout=60)
        out, err = (self.linux_paths(data.replace(b"\r\n", b"\n")) for data in (result.stdout, result.stderr))
        return result.returncode, out, err
