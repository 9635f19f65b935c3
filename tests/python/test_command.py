"""The velkorenc command of the build, run as a user runs it."""
import io
import os
import pty
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import velkorenc
import velkorenc_cli
from support import texts_for

COMMAND = os.path.join(os.path.dirname(os.path.dirname(velkorenc.__file__)), "velkorenc")
KEY = "command key \u2713"
DATA = bytes(range(256)) * 7 + b"tail"
# More than the command's chunk and a pipe's buffer.
LARGE = os.urandom((1 << 20) + 12345)


def environment(key=None, **extra):
    env = {k: v for k, v in os.environ.items() if k != "VELKORENC_KEY"}
    if key is not None:
        env["VELKORENC_KEY"] = key
    env.update(extra)
    return env


class Command(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name
        # The command's own temporary files go here, to be seen gone.
        self.tmp = os.path.join(self.work, "tmp")
        os.mkdir(self.tmp)

    def file(self, name, content):
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(content)
        return name

    def read(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def run_command(self, *args, stdin=b"", key=KEY, **extra_env):
        """Runs the command in its own session, so without a terminal to ask
        on, and checks that it left no temporary file."""
        result = subprocess.run([COMMAND, *args], input=stdin, capture_output=True,
                                cwd=self.work, timeout=60, start_new_session=True,
                                env=environment(key, TMPDIR=self.tmp, **extra_env))
        self.assertEqual(os.listdir(self.tmp), [], "temporary files left")
        return result

    def assert_ok(self, result):
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        return result.stdout

    def test_round_trips(self):
        text = lambda data: velkorenc.encode_bytes(data, KEY).encode("ascii")  # noqa: E731
        for data in (b"", DATA, LARGE):
            with self.subTest("pipes", size=len(data)):
                encoded = self.assert_ok(self.run_command("encode", stdin=data))
                self.assertEqual(encoded, text(data))
                self.assertEqual(self.assert_ok(self.run_command("decode", "-", stdin=encoded)),
                                 data)
        with self.subTest("files"):
            self.file("data.bin", DATA)
            self.assert_ok(self.run_command("encode", "data.bin", "data.txt"))
            self.assertEqual(self.read("data.txt"), text(DATA))
            self.assert_ok(self.run_command("decode", "data.txt", "back.bin"))
            self.assertEqual(self.read("back.bin"), DATA)
        with self.subTest("file to standard output and back"):
            encoded = self.assert_ok(self.run_command("encode", "data.bin", "-"))
            self.assert_ok(self.run_command("decode", "-", "piped.bin", stdin=encoded))
            self.assertEqual(self.read("piped.bin"), DATA)
        with self.subTest("in place"):
            self.file("notes.md", DATA)
            self.assert_ok(self.run_command("encode", "--in-place", "notes.md"))
            self.assertEqual(self.read("notes.md"), text(DATA))
            self.assert_ok(self.run_command("decode", "-i", "notes.md"))
            self.assertEqual(self.read("notes.md"), DATA)

    def test_key_sources(self):
        self.file("key", b"from the file\n")
        self.file("key crlf", b"from the file\r\n")
        self.file("key two breaks", b"from the file\n\n")
        for args, env_key, used in [
            (["--key-file", "key"], None, "from the file"),
            (["--key-file", "key crlf"], None, "from the file"),
            (["--key-file", "key two breaks"], None, "from the file\n"),
            (["--key", "typed \u00e9"], None, "typed \u00e9"),
            ([], "from the environment", "from the environment"),
            (["--key-file", "key"], "from the environment", "from the file"),
            (["--key", "typed"], "from the environment", "typed"),
        ]:
            with self.subTest(args=args, env_key=env_key):
                encoded = self.assert_ok(self.run_command("encode", *args, stdin=b"x",
                                                          key=env_key))
                self.assertEqual(encoded.decode(), velkorenc.encode_bytes(b"x", used))

    def test_outcomes(self):
        good = velkorenc.encode_bytes(DATA, KEY)
        tokens = texts_for(KEY)
        self.file("data.bin", DATA)
        self.file("good.txt", good.encode())
        self.file("empty key", b"\n")
        self.file("latin-1 key", b"cl\xe9")
        for name, args, stdin, key, status, message in [
            ("wrong key", ["decode", "--key", "other", "good.txt", "out.bin"], b"", KEY, 1,
             "good.txt: wrong key or damaged text (CRC32 mismatch: expected "),
            ("truncated", ["decode", "-", "out.bin"], good[:-4].encode(), KEY, 3,
             "standard input: damaged or truncated text (Unrecognized token: "),
            ("a line break added", ["decode", "-", "out.bin"], good.encode() + b"\n", KEY, 3,
             "\\n'); the text ends with a line break, which velkorenc never writes"),
            ("too short", ["check", "-"], tokens["short"][0].encode(), KEY, 3,
             "(Encoded data is too short)"),
            ("not a text", ["decode", "data.bin"], b"", KEY, 3,
             "data.bin: damaged text: not UTF-8 (invalid start byte at byte 128)"),
            ("no header", ["decode"], b"hello", KEY, 3,
             "standard input: not a velkorenc text (Missing header: expected 'VELKORENCV2:')"),
            ("does not expand", ["decode"], tokens["zlib error"][0].encode(), KEY, 3,
             "standard input: damaged text: its compressed data does not expand (Error "),
            ("no key", ["encode", "data.bin"], b"", None, 2,
             "no key given: use --key-file FILE or set VELKORENC_KEY (there is no terminal"),
            ("empty key", ["encode", "data.bin"], b"", "", 2, "VELKORENC_KEY: the key is empty"),
            ("empty key file", ["encode", "--key-file", "empty key"], b"", KEY, 2,
             "key file empty key: the key is empty"),
            ("key file not UTF-8", ["encode", "--key-file", "latin-1 key"], b"", KEY, 2,
             "key file latin-1 key: not UTF-8"),
            ("key not UTF-8", ["encode", "data.bin"], b"", "cl\udce9", 2,
             "VELKORENC_KEY: the key is not valid UTF-8"),
            ("two keys", ["encode", "--key", "a", "--key-file", "empty key"], b"", KEY, 2,
             "velkorenc encode: argument --key-file: not allowed with argument --key"),
            ("no command", [], b"", KEY, 2, "the following arguments are required: COMMAND"),
            ("unknown command", ["encrypt"], b"", KEY, 2, "invalid choice: 'encrypt'"),
            ("in place with an output", ["encode", "-i", "data.bin", "x"], b"", KEY, 2,
             "encode --in-place takes one file, INPUT, and no OUTPUT"),
            ("in place on standard input", ["decode", "-i"], b"", KEY, 2,
             "decode --in-place takes one file"),
            ("missing input", ["encode", "missing.bin", "out.txt"], b"", KEY, 4,
             "missing.bin: No such file or directory"),
            ("a folder as input", ["encode", "tmp", "out.txt"], b"", KEY, 4, "tmp: Is a directory"),
            ("no such output folder", ["encode", "data.bin", "none/out.txt"], b"", KEY, 4,
             "none/out.txt: No such file or directory"),
            ("missing key file", ["encode", "--key-file", "nokey"], b"", KEY, 4,
             "key file nokey: No such file or directory"),
        ]:
            with self.subTest(name):
                result = self.run_command(*args, stdin=stdin, key=key)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("velkorenc"), lines)
                self.assertIn(message, lines[0])
                for output in ("out.bin", "out.txt", "x"):
                    self.assertFalse(os.path.exists(os.path.join(self.work, output)), output)

    def test_check_writes_nothing(self):
        self.file("good.txt", velkorenc.encode_bytes(DATA, KEY).encode())
        before = sorted(os.listdir(self.work))
        self.assertEqual(self.assert_ok(self.run_command("check", "good.txt")), b"good.txt: OK\n")
        self.assertEqual(self.assert_ok(self.run_command("check", "-", stdin=self.read("good.txt"))),
                         b"standard input: OK\n")
        self.assertEqual(sorted(os.listdir(self.work)), before)

    def test_broken_pipe(self):
        process = subprocess.Popen([COMMAND, "encode"], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=environment(KEY, TMPDIR=self.tmp), start_new_session=True)
        process.stdout.close()  # the reader goes away before anything is written
        _, stderr = process.communicate(DATA, timeout=60)
        self.assertEqual((process.returncode, stderr),
                         (4, b"velkorenc: standard output: Broken pipe\n"))
        self.assertEqual(os.listdir(self.tmp), [])

    def test_signals_leave_no_temporary_file(self):
        for signum, status in ((signal.SIGTERM, 128 + signal.SIGTERM),
                               (signal.SIGINT, 128 + signal.SIGINT)):
            with self.subTest(signal=signum.name):
                process = subprocess.Popen([COMMAND, "encode"], stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                           env=environment(KEY, TMPDIR=self.tmp),
                                           start_new_session=True)
                process.stdin.write(DATA)
                process.stdin.flush()
                # Until the folder of the spool of standard input exists: the
                # interpreter's probe of the temporary directory comes and
                # goes before it.
                def made():
                    return [n for n in os.listdir(self.tmp) if n.startswith("velkorenc-")]
                deadline = time.monotonic() + 30
                while not made() and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertNotEqual(made(), [])
                process.send_signal(signum)
                process.stdin.close()
                self.assertEqual(process.wait(timeout=30), status)
                self.assertNotIn(b"Traceback", process.stderr.read())
                process.stdout.close()
                process.stderr.close()
                self.assertEqual(os.listdir(self.tmp), [])

    def test_help_and_version(self):
        help_text = self.assert_ok(self.run_command("--help")).decode()
        for expected in ("encode", "decode", "check", "--key-file", "VELKORENC_KEY",
                         "visible to other users", "exit status:", "examples:",
                         "velkorenc decode < docs.txt | tar xf -"):
            self.assertIn(expected, help_text)
        self.assertIn("--in-place", self.assert_ok(self.run_command("encode", "--help")).decode())
        self.assertEqual(self.assert_ok(self.run_command("--version")).decode().strip(),
                         velkorenc.version())

    def test_module_has_no_command_line(self):
        result = subprocess.run([sys.executable, "-m", "velkorenc"], capture_output=True,
                                timeout=60)
        self.assertNotEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"")


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
        status, text, shown = self.converse(
            ["encode"], DATA, [("velkorenc key: ", secret), ("velkorenc key again: ", secret)])
        self.assertEqual((status, text.decode()), (0, velkorenc.encode_bytes(DATA, secret)))
        status, data, shown_decoding = self.converse(["decode"], text,
                                                     [("velkorenc key: ", secret)])
        self.assertEqual((status, data), (0, DATA))
        self.assertNotIn("again", shown_decoding)
        for screen in (shown, shown_decoding):
            self.assertNotIn(secret, screen)
        status, text, shown = self.converse(
            ["encode"], DATA, [("velkorenc key: ", secret), ("velkorenc key again: ", "typo")])
        self.assertEqual((status, text), (2, b""))
        self.assertIn("velkorenc: the two keys typed differ", shown)


class FakeTerminal(io.StringIO):
    def isatty(self):
        return True


class Progress(unittest.TestCase):
    def test_shown_on_a_terminal_only_and_cleared(self):
        counters = iter([(0, 0)] + [(3 << 20, 27 << 20)] * 100)
        terminal = FakeTerminal()
        with velkorenc_cli.Progress(terminal, "encode", delay=0, interval=0.01,
                                    counters=lambda: next(counters)):
            time.sleep(0.1)
        shown = terminal.getvalue()
        self.assertIn("\rvelkorenc encode: 3.0 MiB read, 27.0 MiB written, ", shown)
        self.assertTrue(shown.endswith("\r\x1b[K"), shown)
        not_a_terminal = io.StringIO()
        for stream in (not_a_terminal, None):
            with velkorenc_cli.Progress(stream, "encode", delay=0, interval=0.01):
                time.sleep(0.05)
        self.assertEqual(not_a_terminal.getvalue(), "")

    def test_reads_the_process_counters(self):
        before = velkorenc_cli.io_counters()
        with open(__file__, "rb") as f:
            size = len(f.read())
        after = velkorenc_cli.io_counters()
        self.assertGreaterEqual(after[0] - before[0], size)

    def test_quick_conversions_show_nothing(self):
        terminal = FakeTerminal()
        with velkorenc_cli.Progress(terminal, "decode"):
            pass
        self.assertEqual(terminal.getvalue(), "")


if __name__ == "__main__":
    unittest.main()
