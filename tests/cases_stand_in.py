"""Black-box cases of the host's stand-in registry, and hostile runs on it."""
import os
import pwd
import shutil
import socket
import stat
import subprocess
import tempfile

import harness
from harness import BANNER, TCPIP, VALUES, renamed, Case


class HostStore(Case):
    def setUp(self):
        if harness.BACKEND.name != "host":
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
        if harness.BACKEND.name != "host":
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

