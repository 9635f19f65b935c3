"""The velkorenc command: encodes and decodes files and pipes with a key.

A small program over the module's public functions.  encode_file and
decode_file do all the work, on paths: standard input is first spooled to a
temporary file in chunks, and standard output is copied, in chunks, from a
temporary file that the module wrote, once the conversion has succeeded.  So
pipes of any size take the module's bounded memory, and a decode that fails
writes nothing at all.
"""
import argparse
import contextlib
import getpass
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import traceback
import warnings
import zlib

# Exit statuses.
OK = 0
CHECKSUM_MISMATCH = 1
USAGE = 2
DAMAGED = 3
IO_ERROR = 4
INTERRUPTED = 128 + signal.SIGINT
TERMINATED = 128 + signal.SIGTERM
INTERNAL = 70  # a bug or a broken install, never one of the outcomes above

KEY_VARIABLE = "VELKORENC_KEY"
CHUNK = 1 << 20
STDIN, STDOUT = "standard input", "standard output"

EPILOG = f"""\
the key, in this order:
  --key-file FILE   the file's content (UTF-8; one final line break is dropped)
  --key KEY         visible to other users of the machine (ps, /proc): prefer
                    --key-file or {KEY_VARIABLE}
  {KEY_VARIABLE}     the environment variable
  otherwise         asked on the terminal, without echo (twice to encode)
No key anywhere is an error: the module's default key protects nothing.

exit status:
  0  success
  1  checksum mismatch: a wrong key, or a damaged text
  2  usage error (also: no key, an empty key)
  3  a damaged or truncated text
  4  an input or output error
 70  an internal error

examples:
  velkorenc encode --key-file ~/.vk photo.jpg photo.txt
  velkorenc decode --key-file ~/.vk photo.txt photo.jpg
  VELKORENC_KEY=... velkorenc check photo.txt
  tar cf - docs | velkorenc encode > docs.txt   (- or nothing: standard input/output)
  velkorenc decode < docs.txt | tar xf -
  velkorenc encode --in-place notes.md          (converts the file itself, safely)
"""


class Failure(Exception):
    """An outcome to report: one line on standard error and an exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Terminated(BaseException):
    """SIGTERM, raised where the program is, so that temporary files go."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        """A usage error in one line, as every other outcome is reported."""
        self.exit(USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def build_parser(version):
    keys = argparse.ArgumentParser(add_help=False)
    source = keys.add_mutually_exclusive_group()
    source.add_argument("--key-file", metavar="FILE", help="read the key from FILE")
    source.add_argument("--key", help="the key itself (visible to other users: see below)")

    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog="velkorenc", formatter_class=formatter, epilog=EPILOG,
                    description="Encode data into a key-dependent printable text, "
                                "and decode such texts back.")
    parser.add_argument("--version", action="version", version=version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, verb in (("encode", "encode INPUT into its text"),
                       ("decode", "decode the text in INPUT back into the data")):
        command = commands.add_parser(name, parents=[keys], help=verb, description=verb + ".",
                                      formatter_class=formatter, epilog=EPILOG)
        command.add_argument("input", nargs="?", default="-", metavar="INPUT",
                             help="a file, or - (the default) for standard input")
        command.add_argument("output", nargs="?", default="-", metavar="OUTPUT",
                             help="a file, or - (the default) for standard output; "
                                  "a file appears only once it is complete")
        command.add_argument("-i", "--in-place", action="store_true",
                             help="replace the file INPUT with the result")
    check = commands.add_parser("check", parents=[keys], formatter_class=formatter,
                                help="verify a text with the key, writing nothing",
                                description="Verify that INPUT decodes with the key, "
                                            "writing nothing.", epilog=EPILOG)
    check.add_argument("input", metavar="INPUT", help="a file, or - for standard input")
    return parser


# -- the key ---------------------------------------------------------------

def read_key_file(path):
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as exc:
        raise Failure(IO_ERROR, f"key file {path}: {exc.strerror or exc}") from None
    try:
        key = raw.decode("utf-8")
    except UnicodeDecodeError:
        raise Failure(USAGE, f"key file {path}: not UTF-8") from None
    # What `echo` and editors add is not meant as part of the key.
    for ending in ("\r\n", "\n"):
        if key.endswith(ending):
            return key[:-len(ending)]
    return key


def ask_key(confirm):
    """The key typed on the terminal, with echo off."""
    try:
        os.close(os.open("/dev/tty", os.O_RDWR | os.O_NOCTTY))
    except OSError:
        raise Failure(USAGE, f"no key given: use --key-file FILE or set {KEY_VARIABLE} "
                             f"(there is no terminal to ask on)") from None
    with warnings.catch_warnings():
        # getpass falls back to reading with echo on; a key must not show.
        warnings.simplefilter("error", getpass.GetPassWarning)
        try:
            key = getpass.getpass("velkorenc key: ")
            if confirm and key and getpass.getpass("velkorenc key again: ") != key:
                raise Failure(USAGE, "the two keys typed differ")
        except getpass.GetPassWarning:
            raise Failure(USAGE, "cannot turn off echo on the terminal to ask for the key; "
                                 f"use --key-file FILE or set {KEY_VARIABLE}") from None
        except EOFError:
            raise Failure(USAGE, "no key given") from None
    return key


def resolve_key(args):
    if args.key_file is not None:
        key, origin = read_key_file(args.key_file), f"key file {args.key_file}"
    elif args.key is not None:
        key, origin = args.key, "--key"
    elif KEY_VARIABLE in os.environ:
        key, origin = os.environ[KEY_VARIABLE], KEY_VARIABLE
    else:
        key, origin = ask_key(confirm=args.command == "encode"), "typed key"
    if not key:
        raise Failure(USAGE, f"{origin}: the key is empty")
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:  # bytes that are not UTF-8, in argv or the environment
        raise Failure(USAGE, f"{origin}: the key is not valid UTF-8") from None
    return key


# -- standard input and output ---------------------------------------------

@contextlib.contextmanager
def signals_held():
    """Holds SIGINT and SIGTERM back for a block, so that the exception a
    handler raises comes after it, not halfway through it."""
    held = {signal.SIGINT, signal.SIGTERM}
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, held)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class Workspace:
    """A temporary folder, made on first use and removed with all it holds;
    a signal can come neither between making it and noting it, nor during
    its removal."""

    def __init__(self):
        self.folder = None
        self.names = {}

    def path(self, name, stands_for):
        if self.folder is None:
            try:
                with signals_held():
                    self.folder = tempfile.mkdtemp(prefix="velkorenc-")
            except OSError as exc:
                raise Failure(IO_ERROR, f"cannot make a temporary folder in "
                                        f"{tempfile.gettempdir()}: {exc.strerror}") from None
        path = os.path.join(self.folder, name)
        self.names[path] = f"{path} (the temporary file for {stands_for})"
        return path

    def shown(self, path):
        return self.names.get(path, path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.folder is not None:
            with signals_held():
                shutil.rmtree(self.folder, ignore_errors=True)


def spool_stdin(path, work):
    """Copies standard input into the file at path, in chunks."""
    if sys.stdin is None:
        raise Failure(IO_ERROR, f"{STDIN} is closed")
    source = sys.stdin.buffer
    try:
        spool = open(path, "wb")
    except OSError as exc:
        raise Failure(IO_ERROR, f"{work.shown(path)}: {exc.strerror}") from None
    with spool:
        while True:
            try:
                chunk = source.read1(CHUNK)
            except OSError as exc:
                raise Failure(IO_ERROR, f"{STDIN}: {exc.strerror}") from None
            if not chunk:
                break
            try:
                spool.write(chunk)
            except OSError as exc:
                raise Failure(IO_ERROR, f"{work.shown(path)}: {exc.strerror}") from None


def copy_to_stdout(path, work):
    """Copies the file at path to standard output, in chunks."""
    if sys.stdout is None:
        raise Failure(IO_ERROR, f"{STDOUT} is closed")
    target = sys.stdout.buffer
    try:
        result = open(path, "rb")
    except OSError as exc:
        raise Failure(IO_ERROR, f"{work.shown(path)}: {exc.strerror}") from None
    with result:
        try:
            sys.stdout.flush()
            while chunk := result.read(CHUNK):
                target.write(chunk)
            target.flush()
        except OSError as exc:
            if isinstance(exc, BrokenPipeError):
                silence_stdout()
            raise Failure(IO_ERROR, f"{STDOUT}: {exc.strerror}") from None


def silence_stdout():
    """After a broken pipe, the interpreter's last flush of standard output
    would fail again and print a second report: point it at /dev/null."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


# -- progress --------------------------------------------------------------

def io_counters():
    """(bytes read, bytes written) by this process so far, or None."""
    try:
        with open("/proc/self/io", "rb") as f:
            fields = dict(line.split(b":", 1) for line in f.read().splitlines())
        return int(fields[b"rchar"]), int(fields[b"wchar"])
    except (OSError, KeyError, ValueError):
        return None


def human(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024


class Progress:
    """Bytes read and written, and the rate, on a terminal while a long
    conversion runs; nothing at all elsewhere or for a short one.  A thread
    polls the process's I/O counters, so that the line moves on while the
    module works, whenever the module lets go of the interpreter lock."""

    def __init__(self, stream, verb, delay=0.5, interval=0.25, counters=io_counters):
        self.stream, self.verb = stream, verb
        self.delay, self.interval, self.counters = delay, interval, counters
        self.thread, self.shown = None, False
        self.stop = threading.Event()

    def __enter__(self):
        if is_terminal(self.stream) and (start := self.counters()) is not None:
            self.start = (time.monotonic(), start)
            self.thread = threading.Thread(target=self.run, name="velkorenc progress",
                                           daemon=True)
            self.thread.start()
        return self

    def run(self):
        if self.stop.wait(self.delay):
            return
        while True:
            self.show()
            if self.stop.wait(self.interval):
                return

    def line(self):
        counters = self.counters()
        if counters is None:
            return None
        began, (read0, written0) = self.start
        read, written = counters[0] - read0, counters[1] - written0
        rate = (read + written) / max(time.monotonic() - began, 1e-9)
        return f"velkorenc {self.verb}: {human(read)} read, {human(written)} written, {human(rate)}/s"

    def show(self):
        line = self.line()
        if line is None:
            return
        try:
            self.stream.write(f"\r{line}\x1b[K")
            self.stream.flush()
        except (OSError, ValueError):  # the terminal went away: stop showing
            self.stop.set()
        else:
            self.shown = True

    def __exit__(self, *exc):
        if self.thread is not None:
            self.stop.set()
            self.thread.join()
            if self.shown:
                self.stream.write("\r\x1b[K")
                self.stream.flush()


# -- running a command -----------------------------------------------------

def one_line(text):
    """Control characters (a line break in a bad token, say) as escapes."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def ends_with_line_break(path):
    try:
        with open(path, "rb") as f:
            f.seek(-1, os.SEEK_END)
            return f.read(1) in (b"\n", b"\r")
    except OSError:
        return False


def explain(exc, velkorenc, subject, text_path, work):
    """The status and the line that report an exception of a conversion,
    or None for one that is not an outcome (a bug)."""
    if isinstance(exc, velkorenc.InvalidChecksumError):
        return CHECKSUM_MISMATCH, f"{subject}: wrong key or damaged text ({exc})"
    if isinstance(exc, velkorenc.InvalidHeaderError):
        return DAMAGED, f"{subject}: not a velkorenc text ({exc})"
    if isinstance(exc, velkorenc.VelkorError):
        message = f"{subject}: damaged or truncated text ({one_line(str(exc))})"
        if text_path is not None and ends_with_line_break(text_path):
            message += ("; the text ends with a line break, which velkorenc never writes: "
                        "an editor may have added it, remove it")
        return DAMAGED, message
    if isinstance(exc, zlib.error):
        return DAMAGED, f"{subject}: damaged text: its compressed data does not expand ({exc})"
    if isinstance(exc, UnicodeDecodeError):
        return DAMAGED, f"{subject}: damaged text: not UTF-8 ({exc.reason} at byte {exc.start})"
    if isinstance(exc, OSError):
        where = work.shown(exc.filename) if exc.filename is not None else subject
        return IO_ERROR, f"{where}: {exc.strerror or exc}"
    if isinstance(exc, MemoryError):
        return IO_ERROR, f"{subject}: out of memory"
    return None


def run(args, key, velkorenc, work):
    """Spools standard input, converts or checks, and copies the result to
    standard output; every outcome but success raises Failure."""
    from_stdin, to_stdout = args.input == "-", args.command != "check" and args.output == "-"
    subject = STDIN if from_stdin else args.input
    source = work.path("input", STDIN) if from_stdin else args.input
    if args.command == "check":
        function, target = velkorenc.decode_file, os.devnull
    else:
        function = velkorenc.encode_file if args.command == "encode" else velkorenc.decode_file
        target = work.path("output", STDOUT) if to_stdout else args.output
    if from_stdin:
        spool_stdin(source, work)
    try:
        function(source, target, key)
    except Exception as exc:  # noqa: BLE001 - every outcome gets its report
        report = explain(exc, velkorenc, subject,
                         source if args.command != "encode" else None, work)
        if report is None:
            raise
        raise Failure(*report) from None
    if to_stdout:
        copy_to_stdout(target, work)
    elif args.command == "check":
        print(f"{subject}: OK", flush=True)


def terminate(signum, frame):
    raise Terminated()


def is_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed
        return False


def main(argv=None):
    try:
        import velkorenc
    except ImportError as exc:
        print(f"velkorenc: cannot load the velkorenc module with {sys.executable}: {exc}",
              file=sys.stderr)
        return INTERNAL
    args = build_parser(velkorenc.version()).parse_args(argv)
    signal.signal(signal.SIGTERM, terminate)
    try:
        if getattr(args, "in_place", False):
            if args.input == "-" or args.output != "-":
                raise Failure(USAGE, f"{args.command} --in-place takes one file, INPUT, "
                                     "and no OUTPUT")
            args.output = args.input
        key = resolve_key(args)
        # Output on the terminal itself would mix with the progress line.
        quiet = getattr(args, "output", None) == "-" and is_terminal(sys.stdout)
        with Workspace() as work, Progress(None if quiet else sys.stderr, args.command):
            run(args, key, velkorenc, work)
    except Failure as failure:
        print(f"velkorenc: {failure}", file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        print("velkorenc: interrupted", file=sys.stderr)
        return INTERRUPTED
    except Terminated:
        return TERMINATED
    except Exception:  # noqa: BLE001 - a bug: show it, with a status no outcome uses
        traceback.print_exc()
        return INTERNAL
    return OK
