"""The velkorenc command of the build, run as a user runs it."""
import contextlib
import io
import itertools
import os
import pty
import re
import resource
import select
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import velkorenc
import velkorenc_cli
from support import texts_for

COMMAND = os.path.join(os.path.dirname(os.path.dirname(velkorenc.__file__)), "velkorenc")
MANUAL = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(__file__))), "cli",
                      "velkorenc.1")
KEY = "command key \u2713"
DATA = bytes(range(256)) * 7 + b"tail"
# More than the command's chunk and a pipe's buffer.
LARGE = os.urandom((1 << 20) + 12345)
CORES = len(os.sched_getaffinity(0))


def environment(key=None, **extra):
    env = {k: v for k, v in os.environ.items() if k != "VELKORENC_KEY"}
    if key is not None:
        env["VELKORENC_KEY"] = key
    env.update(extra)
    return env


def text(data, key=KEY):
    return velkorenc.encode_bytes(data, key).encode("ascii")


def open_files(pid):
    """Size by (device, inode) of each regular file the process has open."""
    found = {}
    with contextlib.suppress(OSError):  # the process ended
        for name in os.listdir(f"/proc/{pid}/fd"):
            with contextlib.suppress(OSError):  # closed meanwhile
                info = os.stat(f"/proc/{pid}/fd/{name}")
                if stat.S_ISREG(info.st_mode):
                    found[info.st_dev, info.st_ino] = info.st_size
    return found


class Command(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name
        # The command's own temporary files go here, to be seen gone.
        self.tmp = os.path.join(self.work, "tmp")
        os.mkdir(self.tmp)

    def path(self, name):
        return os.path.join(self.work, name)

    def file(self, name, content, mode=None, mtime=None):
        with open(self.path(name), "wb") as f:
            f.write(content)
        if mode is not None:
            os.chmod(self.path(name), mode)
        if mtime is not None:
            os.utime(self.path(name), (mtime, mtime))
        return name

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        return sorted(n for n in os.listdir(self.work) if n != "tmp")

    def start(self, *args, key=KEY, **options):
        """The command in its own session, so without a terminal to ask on."""
        options = {"stdin": subprocess.PIPE, "stdout": subprocess.PIPE,
                   "stderr": subprocess.PIPE, "start_new_session": True, **options}
        return subprocess.Popen([COMMAND, *args], cwd=self.work,
                                env=environment(key, TMPDIR=self.tmp), **options)

    def run_command(self, *args, stdin=b"", key=KEY, umask=0o022):
        """Runs the command and checks that it left no temporary file."""
        result = subprocess.run([COMMAND, *args], input=stdin, capture_output=True,
                                cwd=self.work, timeout=60, start_new_session=True,
                                env=environment(key, TMPDIR=self.tmp),
                                preexec_fn=lambda: os.umask(umask))
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left")
        return result

    def assert_ok(self, result):
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        return result.stdout

    def assert_left_clean(self, before):
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left")
        self.assertEqual(self.files(), before, "outputs left")

    def test_round_trips(self):
        self.file("data.bin", LARGE)
        self.file("small.vk", text(DATA))
        # Each step's standard input is the previous one's output (None) or given.
        for steps, result, expected in [
            ([("encode", b""), ("decode", None)], None, b""),
            ([("encode", DATA), ("decode -", None)], None, DATA),
            ([("encode", LARGE), ("decode", None)], None, LARGE),
            ([("encode data.bin", b""), ("decode -o back data.bin.vk", b"")], "back", LARGE),
            ([("encode -o t data.bin", b""), ("decode -c t", b"")], None, LARGE),
            ([("encode -c data.bin", b""), ("decode -o p", None)], "p", LARGE),
            ([("encode -o - data.bin", b""), ("decode -o q -", None)], "q", LARGE),
            ([("encode -i data.bin", b""), ("decode --in-place data.bin", b"")], "data.bin",
             LARGE),
            ([("decode -c small.vk - small.vk", text(LARGE))], None, DATA + LARGE + DATA),
        ]:
            with self.subTest(steps=[args for args, _ in steps]):
                stdout = b""
                for args, stdin in steps:
                    stdout = self.assert_ok(self.run_command(
                        *args.split(), stdin=stdout if stdin is None else stdin))
                    if args == "encode":
                        self.assertEqual(stdout, text(stdin))
                self.assertEqual(self.read(result) if result else stdout, expected)

    def test_key_sources(self):
        self.file("key", b"from the file\n")
        self.file("key crlf", b"from the file\r\n")
        self.file("key two breaks", b"from the file\n\n")
        self.file("long key", b"k" * velkorenc_cli.KEY_FILE_LIMIT)
        for args, env_key, used in [
            (["--key-file", "key"], None, "from the file"),
            (["--key-file", "key crlf"], None, "from the file"),
            (["--key-file", "key two breaks"], None, "from the file\n"),
            (["--key-file", "long key"], None, "k" * velkorenc_cli.KEY_FILE_LIMIT),
            (["--key", "typed \u00e9"], None, "typed \u00e9"),
            ([], "from the environment", "from the environment"),
            (["--key-file", "key"], "from the environment", "from the file"),
            (["--key", "typed"], "from the environment", "typed"),
        ]:
            with self.subTest(args=args, env_key=env_key):
                encoded = self.assert_ok(self.run_command("encode", *args, stdin=b"x",
                                                          key=env_key))
                self.assertEqual(encoded, text(b"x", used))

    def test_outcomes(self):
        good = velkorenc.encode_bytes(DATA, KEY)
        tokens = texts_for(KEY)
        self.file("data.bin", DATA)
        self.file("good.vk", good.encode())
        self.file("empty key", b"\n")
        self.file("latin-1 key", b"cl\xe9")
        long_name = "n" * 250
        for name, args, stdin, key, status, message in [
            ("wrong key", ["decode", "--key", "other", "good.vk", "-o", "out.bin"], b"", KEY, 1,
             "good.vk: wrong key or damaged text (CRC32 mismatch: expected "),
            ("truncated", ["decode", "-o", "out.bin"], good[:-4].encode(), KEY, 3,
             "standard input: damaged or truncated text (Unrecognized token: "),
            ("a line break added", ["decode", "-", "-o", "out.bin"], good.encode() + b"\n", KEY,
             3, "\\n'); the text ends with a line break, which velkorenc never writes"),
            ("too short", ["check", "-"], tokens["short"][0].encode(), KEY, 3,
             "(Encoded data is too short)"),
            ("not a text", ["decode", "-o", "out.bin", "data.bin"], b"", KEY, 3,
             "data.bin: damaged text: not UTF-8 (invalid start byte at byte 128)"),
            ("no header", ["decode"], b"hello", KEY, 3,
             "standard input: not a velkorenc text (Missing header: expected 'VELKORENCV2:')"),
            ("does not expand", ["decode"], tokens["zlib error"][0].encode(), KEY, 3,
             "standard input: damaged text: its compressed data does not expand (Error "),
            ("a bad piece of a megabyte is cut", ["decode"],
             good.encode()[:30] + b"q" * (1 << 20), KEY, 3,
             "(Unrecognized token: 'qqqqqqq"),
            ("a long name is cut", ["encode", long_name], b"", KEY, 4, "\u2026"),
            ("no key", ["encode", "data.bin"], b"", None, 2,
             "no key given: use --key-file FILE or set VELKORENC_KEY (there is no terminal"),
            ("empty key", ["encode", "data.bin"], b"", "", 2, "VELKORENC_KEY: the key is empty"),
            ("empty key file", ["encode", "--key-file", "empty key"], b"", KEY, 2,
             "key file empty key: the key is empty"),
            ("key file not UTF-8", ["encode", "--key-file", "latin-1 key"], b"", KEY, 2,
             "key file latin-1 key: not UTF-8"),
            ("endless key file", ["encode", "--key-file", "/dev/zero"], b"", KEY, 2,
             "key file /dev/zero: longer than 64 KiB"),
            ("key not UTF-8", ["encode", "data.bin"], b"", "cl\udce9", 2,
             "VELKORENC_KEY: the key is not valid UTF-8"),
            ("two keys", ["encode", "--key", "a", "--key-file", "empty key"], b"", KEY, 2,
             "velkorenc encode: argument --key-file: not allowed with argument --key"),
            ("no command", [], b"", KEY, 2, "the following arguments are required: COMMAND"),
            ("unknown command", ["encrypt"], b"", KEY, 2, "invalid choice: 'encrypt'"),
            ("-o for two files", ["encode", "-o", "x", "data.bin", "good.vk"], b"", KEY, 2,
             "-o names the output of one FILE; 2 are given"),
            ("texts one after another", ["encode", "-c", "data.bin", "good.vk"], b"", KEY, 2,
             "encode -c takes one FILE"),
            ("in place with an output", ["encode", "-i", "-o", "x", "data.bin"], b"", KEY, 2,
             "encode --in-place takes one FILE, not -, and no -o, -c or --rm"),
            ("in place on standard input", ["decode", "-i"], b"", KEY, 2,
             "decode --in-place takes one FILE"),
            ("an output is another input", ["encode", "-f", "data.bin", "./data.bin.vk"], b"",
             KEY, 2, "data.bin.vk: the output of data.bin is also an input"),
            ("standard input twice", ["check", "-", "-"], b"", KEY, 2,
             "standard input (-) can be read only once"),
            ("bad thread count", ["check", "-T", "-1"], b"", KEY, 2, "not a number of threads"),
            ("missing input", ["encode", "missing.bin"], b"", KEY, 4,
             "missing.bin: No such file or directory"),
            ("a folder as input", ["encode", "tmp"], b"", KEY, 4, "tmp: Is a directory"),
            ("no such output folder", ["encode", "data.bin", "-o", "none/out.bin"], b"", KEY, 4,
             "none/out.bin: No such file or directory"),
            ("missing key file", ["encode", "--key-file", "nokey"], b"", KEY, 4,
             "key file nokey: No such file or directory"),
        ]:
            with self.subTest(name):
                before = self.files()
                result = self.run_command(*args, stdin=stdin, key=key)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("velkorenc"), lines)
                self.assertLessEqual(len(lines[0]), velkorenc_cli.LINE_LIMIT)
                self.assertIn(message, lines[0])
                self.assertEqual(self.files(), before)

    def test_outputs_kept_unless_forced(self):
        """Which outputs a run writes, with what, which inputs --rm removes
        (None), and the status, from data files a, b, the text t.vk of DATA
        and a FIFO."""
        ab = {"a.vk": text(b"A"), "b.vk": text(b"B")}
        for args, status, errors, changed in [
            ("encode a b", 0, [], ab),
            ("encode a t.vk b", 5,
             ["t.vk: already a velkorenc text; not encoded again (-f encodes it anyway)"], ab),
            ("encode -f t.vk", 0, [], {"t.vk.vk": text(text(DATA))}),
            ("encode -i t.vk", 5, ["not encoded again (-f encodes it anyway)"], {}),
            ("decode t.vk", 0, [], {"t": DATA}),
            ("decode a", 5, ["a: no .vk suffix; not decoded (-o OUTPUT or -c names the output)"],
             {}),
            ("decode -o a t.vk", 5, ["a: already exists; not overwritten (-f overwrites)"], {}),
            ("decode -f -o a t.vk", 0, [], {"a": DATA}),
            ("decode -o fifo t.vk", 0, [], {"fifo": DATA}),
            # The status is the first failed file's, in the order given.
            ("decode -T 1 a x.vk t.vk", 5, ["a: no .vk suffix", "x.vk: No such file"],
             {"t": DATA}),
            ("decode -T 2 x.vk a t.vk", 4, ["x.vk: No such file", "a: no .vk suffix"],
             {"t": DATA}),
            # --rm only after success, and never for standard output or a FIFO.
            ("encode --rm a b", 0, [], {**ab, "a": None, "b": None}),
            ("encode --rm a t.vk", 5, ["t.vk: already a velkorenc text"],
             {"a.vk": text(b"A"), "a": None}),
            ("decode --rm --key wrong t.vk", 1, ["t.vk: wrong key or damaged text"], {}),
            ("encode --rm -o t.vk a", 5, ["t.vk: already exists"], {}),
            ("encode --rm -f -o t.vk a", 0, [], {"t.vk": text(b"A"), "a": None}),
            ("encode --rm -c a", 0, [], {}),
            ("decode --rm -o fifo t.vk", 0, [], {"fifo": DATA}),
        ]:
            with self.subTest(args):
                for name in self.files():
                    os.remove(self.path(name))
                before = {"a": b"A", "b": b"B", "t.vk": text(DATA), "fifo": b""}
                for name in ("a", "b", "t.vk"):
                    self.file(name, before[name])
                os.mkfifo(self.path("fifo"))
                drained = {}
                drain = threading.Thread(target=lambda: drained.update(fifo=self.read("fifo")))
                drain.start()
                result = self.run_command(*args.split())
                with contextlib.suppress(OSError):  # ENXIO: the command wrote to it
                    os.close(os.open(self.path("fifo"), os.O_WRONLY | os.O_NONBLOCK))
                drain.join()
                self.assertEqual(result.returncode, status, result.stderr)
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), len(errors), lines)
                for error in errors:
                    self.assertTrue(any(error in line for line in lines), (error, lines))
                after = {name: self.read(name) for name in self.files() if name != "fifo"}
                expected = {**before, **changed}
                self.assertEqual({**after, **drained},
                                 {k: v for k, v in expected.items() if v is not None})

    def test_new_outputs_take_mode_and_time(self):
        """A new output gets the input's mode bits and time, whatever the
        umask; one that exists keeps its own; one from standard input gets
        what the umask leaves."""
        stamp = 1_000_000_000
        for mode, args, output, umask, expected in [
            (0o600, ["encode", "f"], "f.vk", 0o022, "input's"),
            (0o640, ["encode", "f"], "f.vk", 0o000, "input's"),
            (0o755, ["encode", "-T", "2", "f", "g"], "g.vk", 0o077, "input's"),
            (0o604, ["decode", "f.vk"], "f", 0o022, "input's"),
            (0o600, ["encode", "-f", "f"], "f.vk", 0o022, "its own"),
            (0o600, ["decode", "-o", "f", "-"], "f", 0o027, "umask's"),
        ]:
            with self.subTest(args=args, mode=oct(mode)):
                for name in self.files():
                    os.remove(self.path(name))
                for name in ("f", "g"):
                    self.file(name, DATA, mode, stamp)
                if args[0] == "decode":
                    self.file("f.vk", text(DATA), mode, stamp)
                    os.remove(self.path(output))
                if expected == "its own":
                    self.file(output, b"old", 0o644, stamp)
                self.assert_ok(self.run_command(*args, stdin=text(DATA), umask=umask))
                info = os.stat(self.path(output))
                got = stat.S_IMODE(info.st_mode), info.st_mtime == stamp
                self.assertEqual(got, {"input's": (mode, True), "its own": (0o644, False),
                                       "umask's": (0o666 & ~umask, False)}[expected])

    def test_what_is_printed(self):
        """check prints a line per good text and writes nothing; -v adds a
        line per file with its sizes, -q leaves only errors.  Workers do
        not import modules from the folder they are started in."""
        self.file("json.py", b"print('imported'); raise SystemExit(9)\n")
        self.file("a", DATA)
        self.file("good.vk", text(DATA))
        self.file("other.vk", text(LARGE))
        vk = velkorenc_cli.human(len(text(DATA)))
        for args, stdin, stdout, stderr in [
            ("check good.vk", b"", "good.vk: OK\n", ""),
            ("check", text(DATA), "standard input: OK\n", ""),
            ("check -T 2 good.vk other.vk", b"", "good.vk: OK\nother.vk: OK\n", ""),
            ("check -q good.vk", b"", "", ""),
            ("encode -v -o b.vk a", b"", "", f"velkorenc: a: 1.8 KiB -> {vk}, b.vk\n"),
            ("decode -v -q -o b good.vk", b"", "", ""),
        ]:
            with self.subTest(args):
                before = self.files()
                result = self.run_command(*args.split(), stdin=stdin)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(sorted(result.stdout.decode().splitlines(True)),
                                 sorted(stdout.splitlines(True)))
                self.assertEqual(result.stderr.decode(), stderr)
                if args.startswith("check"):
                    self.assertEqual(self.files(), before)

    def test_closed_pipe_ends_silently(self):
        self.file("data.bin", LARGE)
        self.file("data.vk", text(LARGE))
        for args, stdin in [(["encode", "-c", "data.bin"], b""), (["encode"], LARGE),
                            (["decode", "-c", "data.vk"], b""), (["check", "data.vk"], b"")]:
            with self.subTest(args=args):
                process = self.start(*args)
                process.stdout.close()  # the reader goes away before anything is written
                _, stderr = process.communicate(stdin, timeout=60)
                self.assertEqual((process.returncode, stderr), (141, b""))
                self.assert_left_clean(["data.bin", "data.vk"])

    def test_signals_stop_endless_inputs(self):
        """/dev/zero, by name (twice, on two workers) or as standard input:
        read in chunks, with memory bounded, until a signal stops it."""
        for name in ("zero", "zero2"):
            os.symlink("/dev/zero", self.path(name))

        def limit_memory():
            os.setsid()
            # A preloaded sanitizer runtime reserves far more address space.
            if "LD_PRELOAD" not in os.environ:
                resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

        for args, from_zero, spools in [("encode -c zero", False, 1),
                                        ("encode -T 2 zero zero2", False, 2),
                                        ("decode -o x", True, 1)]:
            for signum, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143),
                                   (signal.SIGHUP, 129)):
                with self.subTest(args=args, signal=signum.name), \
                        open(self.path("zero") if from_zero else os.devnull, "rb") as stdin:
                    process = self.start(*args.split(), stdin=stdin, stdout=subprocess.DEVNULL,
                                         start_new_session=False, preexec_fn=limit_memory)
                    # Until the spools are made; the interpreter's probe of
                    # the temporary directory comes and goes first.
                    deadline = time.monotonic() + 60
                    while len([name for _, _, names in os.walk(self.tmp) for name in names
                               if name.startswith("input")]) < spools:
                        self.assertLess(time.monotonic(), deadline, "no spools")
                        time.sleep(0.01)
                    process.send_signal(signum)
                    self.assertEqual(process.wait(timeout=60), status)
                    stderr = process.stderr.read()
                    process.stderr.close()
                    self.assertNotIn(b"Traceback", stderr)
                    self.assertNotIn(b"memory", stderr)
                    self.assert_left_clean(["zero", "zero2"])

    def test_threads_run_that_many_files_at_once(self):
        """Eight FIFOs as inputs: the command opens as many at a time as it
        has workers, and the next ones only once those are done."""
        rows = [(["-T", "1"], 1), (["-T", "2"], 2)]
        if min(CORES, 8) > 2:  # the default: one per core, at most one per file
            rows.append(([], min(CORES, 8)))
        for args, at_once in rows:
            with self.subTest(args=args):
                for name in self.files():
                    os.remove(self.path(name))
                waiting = [f"in{i}" for i in range(8)]
                for name in waiting:
                    os.mkfifo(self.path(name))
                process = self.start("encode", *args, *waiting, stdin=subprocess.DEVNULL)
                deadline = time.monotonic() + 60
                while waiting:
                    opened = {}
                    while len(opened) < min(at_once, len(waiting)):
                        self.assertLess(time.monotonic(), deadline, sorted(opened))
                        for name in set(waiting) - set(opened):
                            with contextlib.suppress(OSError):  # ENXIO: no reader yet
                                opened[name] = os.open(self.path(name),
                                                       os.O_WRONLY | os.O_NONBLOCK)
                        time.sleep(0.01)
                    self.assertEqual(len(opened), min(at_once, len(waiting)))
                    for name, fd in opened.items():
                        os.set_blocking(fd, True)
                        os.write(fd, name.encode())
                        os.close(fd)
                        waiting.remove(name)
                self.assertEqual(process.communicate(timeout=60)[1:], (b"",))
                self.assertEqual(process.returncode, 0)
                for i in range(8):
                    self.assertEqual(self.read(f"in{i}.vk"), text(f"in{i}".encode()))

    def test_pipe_needs_room_for_the_data_only(self):
        """Standard input to a pipe: the temporary space it takes at any
        time, the spool of standard input and the module's own included,
        stays within the data and its zlib stream, never the text (nine
        times the data).  VELKORENC_PIPE_TEST_MIB=1024 measures a GiB."""
        size = int(os.environ.get("VELKORENC_PIPE_TEST_MIB", "16")) << 20
        with open(self.path("data"), "wb") as f:
            for start in range(0, size, 1 << 20):
                f.write(os.urandom(min(1 << 20, size - start)))
        data = os.stat(self.path("data"))
        with open(self.path("data"), "rb") as stdin:
            process = self.start("encode", stdin=stdin)
        received = []
        reader = threading.Thread(target=lambda: received.extend(
            iter(lambda: len(process.stdout.read(1 << 20)), 0)))
        reader.start()
        peak = 0
        while process.poll() is None:
            held = open_files(process.pid)
            for folder, _, names in os.walk(self.tmp):
                for name in names:
                    with contextlib.suppress(OSError):  # gone meanwhile
                        info = os.stat(os.path.join(folder, name))
                        held[info.st_dev, info.st_ino] = info.st_size
            held.pop((data.st_dev, data.st_ino), None)
            peak = max(peak, sum(held.values()))
            time.sleep(0.002)
        reader.join()
        self.assertEqual((process.returncode, process.stderr.read()), (0, b""))
        process.stdout.close()
        process.stderr.close()
        self.assertEqual(sum(received), 12 + 9 * (size + 5) - 1)
        # Random data does not compress: its zlib stream is a little longer.
        self.assertLessEqual(peak, 2 * size + size // 500 + (1 << 20), f"{peak:,} bytes")
        if "VELKORENC_PIPE_TEST_MIB" in os.environ:
            print(f"\n{size >> 20} MiB through a pipe: at most {peak:,} bytes of temporary "
                  f"space, {peak / size:.3f} times the data", file=sys.stderr)

    def test_help_manual_and_readme_agree(self):
        help_text = self.assert_ok(self.run_command("--help")).decode()
        with open(MANUAL, encoding="utf-8") as f:
            manual = f.read()
        plain = re.sub(r"\\f[BIRP]", "", manual).replace("\\-", "-")
        with open(os.path.join(os.path.dirname(MANUAL), "..", "README.md"),
                  encoding="utf-8") as f:
            readme = f.read().split("## The velkorenc command", 1)[1].split("\n## ", 1)[0]
        statuses = re.search(r"\n- Exit status:(.*?)\n- ", readme, re.S).group(1)
        for code, meaning in velkorenc_cli.EXIT_STATUSES:
            with self.subTest(status=code):
                self.assertIn(" ".join(f"{code:>3}  {meaning}".split()), " ".join(
                    help_text.split()))
                self.assertIn(f".TP\n.B {code}\n{meaning}", re.sub(
                    r"(?<=[a-z(),])\n(?=[a-z(])", " ", plain))
                self.assertRegex(statuses, rf"(?<!\d){code}(?!\d)")
        parser = velkorenc_cli.build_parser(velkorenc.version())
        for command in ("encode", "decode", "check"):
            subparser = parser._subparsers._group_actions[0].choices[command]
            options = [option for action in subparser._actions
                       for option in action.option_strings]
            for option in options:
                with self.subTest(command=command, option=option):
                    pattern = rf"(?<![\w-]){re.escape(option)}\b"
                    self.assertRegex(plain, rf"(?m)^\.(B|BR|BI) .*{pattern}")
                    self.assertRegex(readme, pattern)
        self.assertIn(f'"velkorenc {velkorenc.version().rsplit("v", 1)[1]}"', manual)
        self.assertEqual(self.assert_ok(self.run_command("--version")).decode().strip(),
                         velkorenc.version())

    def test_module_has_no_command_line(self):
        result = subprocess.run([sys.executable, "-m", "velkorenc"], capture_output=True,
                                timeout=60)
        # As the README says.
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertIn(b"No code object available for velkorenc", result.stderr)


class Terminal(unittest.TestCase):
    """The key asked on a terminal: a pseudo-terminal is the command's
    controlling terminal and standard error, the data comes through a pipe."""

    def converse(self, args, stdin, answers):
        master, slave = pty.openpty()
        slave_name = os.ttyname(slave)
        process = subprocess.Popen(
            [COMMAND, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=slave,
            env=environment(), start_new_session=True,
            # Opened by the new session's leader, the terminal becomes its own.
            preexec_fn=lambda: os.close(os.open(slave_name, os.O_RDWR)))
        os.close(slave)
        seen = b""
        try:
            for prompt, answer in answers:
                seen += self.read_until(master, prompt.encode(), seen)
                os.write(master, answer.encode() + b"\n")
            stdout, _ = process.communicate(stdin, timeout=60)
            seen += self.read_until(master, None, seen)
        finally:
            os.close(master)
        return process.returncode, stdout, seen.decode()

    @staticmethod
    def read_until(master, wanted, before, timeout=30):
        """What the terminal shows until `wanted` (None: until it closes)."""
        got = b""
        deadline = time.monotonic() + timeout
        while wanted is None or wanted not in before + got:
            if not select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
                raise AssertionError(f"the terminal shows {before + got!r}, not {wanted!r}")
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the other side has closed
                chunk = b""
            if not chunk:
                if wanted is None:
                    break
                raise AssertionError(f"the terminal closed showing {before + got!r}")
            got += chunk
        return got

    def test_key_is_asked_without_echo(self):
        secret = "typed secret"
        status, encoded, shown = self.converse(
            ["encode"], DATA, [("velkorenc key: ", secret), ("velkorenc key again: ", secret)])
        self.assertEqual((status, encoded), (0, text(DATA, secret)))
        status, data, shown_decoding = self.converse(["decode"], encoded,
                                                     [("velkorenc key: ", secret)])
        self.assertEqual((status, data), (0, DATA))
        self.assertNotIn("again", shown_decoding)
        for screen in (shown, shown_decoding):
            self.assertNotIn(secret, screen)
        status, encoded, shown = self.converse(
            ["encode"], DATA, [("velkorenc key: ", secret), ("velkorenc key again: ", "typo")])
        self.assertEqual((status, encoded), (2, b""))
        self.assertIn("velkorenc: the two keys typed differ", shown)


class Parts(unittest.TestCase):
    """Parts of the command, run in this process."""

    def test_mode_not_set_is_a_warning(self):
        """A complete result whose mode or time cannot be set (here a file
        of /proc, whose mode even root cannot change) is kept, with a
        warning line."""
        for source in (os.stat(__file__), None):
            with self.subTest(source=source is not None):
                warning = velkorenc_cli.Claim("/proc/self/status", None).keep(source, 0o022)
                self.assertRegex(warning, r"^/proc/self/status: warning: complete, but "
                                          r"(the input's|its) mode and time not set: "
                                          r"Operation not permitted$")

    def test_a_worker_that_ends_fails_its_job_only(self):
        """The job in flight fails; the workers left take on the rest, and
        once none is left, the rest fail, each with a line of its own."""
        for deaths, converted in [({"w0": 1}, 5), ({"w0": 1, "w1": 3}, 2),
                                  ({"w0": 1, "w1": 1}, 0)]:
            with self.subTest(deaths=deaths):
                names = iter(["w0", "w1"])

                class FakeWorker:
                    def __init__(self, setup):
                        self.name, self.done = next(names), 0

                    def convert(self, job):
                        self.done += 1
                        if self.done == deaths.get(self.name):
                            return None
                        return velkorenc_cli.Outcome(0, self.name)

                jobs = [velkorenc_cli.Job(i, f"f{i}", "file") for i in range(6)]
                pool = velkorenc_cli.Pool(2, {}, jobs, worker=FakeWorker)
                results = sorted((pool.results.get(timeout=60) for _ in jobs),
                                 key=lambda result: result[0].index)
                self.assertEqual([job for job, _ in results], jobs)
                outcomes = [outcome for _, outcome in results]
                self.assertEqual(outcomes.count(None), len(deaths))
                self.assertEqual(sum(1 for o in outcomes if o and o.status == 0), converted)
                for outcome in outcomes:
                    if outcome and outcome.status:
                        self.assertEqual(outcome.status, velkorenc_cli.INTERNAL)
                        self.assertRegex(outcome.message, r"^velkorenc: f\d: not converted: "
                                                          "every worker process ended$")


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class Progress(unittest.TestCase):
    def test_one_line_for_the_run(self):
        """Files done, bytes, rate, and a percentage and time left where the
        sizes are known; cleared before any other line and at the end;
        nothing where the stream is no terminal, or for a short run."""
        for stream, verb, total, delay, shown in [
            (FakeTerminal(), "encode", 8 << 20, 0, "1/4 files, 3.0 MiB of 8.0 MiB, "),
            (FakeTerminal(), "decode", 8 << 20, 0, "1/4 files, 6.0 MiB of 8.0 MiB, "),
            (FakeTerminal(), "check", None, 0, "1/4 files, 6.0 MiB, "),
            (FakeTerminal(), "decode", 4 << 20, 0, "1/4 files, 4.0 MiB of 4.0 MiB, "),
            (io.StringIO(), "encode", None, 0, None),
            (FakeTerminal(), "encode", None, 5, None),
        ]:
            with self.subTest(verb=verb, total=total, delay=delay):
                counters = itertools.chain([0], itertools.repeat(6 << 20))
                with velkorenc_cli.Progress(stream, verb, 4, total, delay=delay, interval=0.01,
                                            counters=lambda pids=(): next(counters)) as progress:
                    progress.finished(1 << 20)
                    deadline = time.monotonic() + 60
                    while shown is not None and f"velkorenc {verb}: {shown}" not in \
                            stream.getvalue():  # until the thread draws it
                        self.assertLess(time.monotonic(), deadline, "no progress line")
                        time.sleep(0.01)
                    progress.say(stream, "velkorenc: a line")
                before, after = stream.getvalue().split("velkorenc: a line\n")
                if shown is None:
                    self.assertEqual((before, after), ("", ""))
                    continue
                self.assertIn(f"\rvelkorenc {verb}: {shown}", before)
                self.assertTrue(before.endswith("\r\x1b[K"), before)
                self.assertTrue(after == "" or after.endswith("\r\x1b[K"), after)
                self.assertEqual("%" in before, total is not None)
                if total == 8 << 20:
                    self.assertRegex(before, r"\d+%, \d+ s left")

    def test_reads_the_process_counters(self):
        before = velkorenc_cli.bytes_read()
        with open(__file__, "rb") as f:
            size = len(f.read())
        self.assertGreaterEqual(velkorenc_cli.bytes_read() - before, size)


if __name__ == "__main__":
    unittest.main()
