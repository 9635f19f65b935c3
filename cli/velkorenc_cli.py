"""The velkorenc command: encodes, decodes and checks files and pipes with a key.

A program over the module's public functions: encode_file and decode_file do
every conversion, on paths.  Each FILE gets its own output beside it, claimed
before the conversion so that an existing file is never replaced unless the
user says so.  Standard input, and any input that is not a regular file, is
first copied in chunks to a temporary file, as the module reads only regular
files in chunks.  A text for a pipe or a terminal goes to it by the path of
the descriptor, as the module writes it; decoded data for standard output
waits in a temporary file until its checksum holds.  Several files are
converted by worker processes running this same code, so that Ctrl-C stops
each of them within a step of its conversion.
"""
import argparse
import contextlib
import dataclasses
import getpass
import json
import os
import queue
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import traceback
import warnings
import zlib

# Exit statuses, as --help, the manual page and the README list them.
OK = 0
CHECKSUM_MISMATCH = 1
USAGE = 2
DAMAGED = 3
IO_ERROR = 4
LEFT_ALONE = 5
INTERNAL = 70  # a bug or a broken install, never one of the outcomes above
HUNG_UP = 128 + signal.SIGHUP
INTERRUPTED = 128 + signal.SIGINT
BROKEN_PIPE = 128 + signal.SIGPIPE
TERMINATED = 128 + signal.SIGTERM
EXIT_STATUSES = [
    (OK, "success"),
    (CHECKSUM_MISMATCH, "checksum mismatch: a wrong key, or a damaged text"),
    (USAGE, "usage error (also: no key, an empty key, a key file over 64 KiB)"),
    (DAMAGED, "a damaged or truncated text"),
    (IO_ERROR, "an input or output error"),
    (LEFT_ALONE, "a file left alone: its output exists, it is already a text "
                 "(encode), or its name lacks .vk (decode)"),
    (INTERNAL, "an internal error"),
    (HUNG_UP, "hung up: SIGHUP (the terminal was closed)"),
    (INTERRUPTED, "interrupted by SIGINT (Ctrl-C)"),
    (BROKEN_PIPE, "the reader of the output pipe went away (nothing is printed)"),
    (TERMINATED, "terminated by SIGTERM"),
]

KEY_VARIABLE = "VELKORENC_KEY"
KEY_FILE_LIMIT = 64 << 10
SUFFIX = ".vk"
CHUNK = 1 << 20
LINE_LIMIT = 200  # characters of an error line
PIECE_LIMIT = 100  # characters of the module's own message within it
STDIN, STDOUT = "standard input", "standard output"


def epilog():
    statuses = "\n".join(textwrap.fill(text, 78, initial_indent=f"{code:>3}  ",
                                        subsequent_indent=" " * 5)
                          for code, text in EXIT_STATUSES)
    return f"""\
outputs:
  encode writes FILE{SUFFIX} and decode FILE without {SUFFIX}, beside FILE; no FILE,
  or -, is standard input to standard output.  An existing output is never
  replaced without -f.  A new output gets the input's permission bits and
  modification time; an output replaced with -f keeps its own.

the key, in this order:
  --key-file FILE   the file's content (UTF-8, at most 64 KiB; one final line
                    break is dropped)
  --key KEY         visible to other users of the machine (ps, /proc): prefer
                    --key-file or {KEY_VARIABLE}
  {KEY_VARIABLE}     the environment variable
  otherwise         asked on the terminal, without echo (twice to encode)
No key anywhere is an error: the module's default key protects nothing.

exit status (with several files, that of the first one that failed):
{statuses}

examples:
  velkorenc encode --key-file ~/.vk photo.jpg notes.txt   (photo.jpg.vk, notes.txt.vk)
  velkorenc decode --key-file ~/.vk --rm photo.jpg.vk     (photo.jpg; removes the text)
  VELKORENC_KEY=... velkorenc check *.vk
  tar cf - docs | velkorenc encode > docs.tar.vk
  velkorenc decode < docs.tar.vk | tar xf -
  velkorenc encode -i notes.md                  (converts the file itself, safely)
"""


class Failure(Exception):
    """An outcome to report: one line on standard error and an exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status

    @classmethod
    def io(cls, subject, exc):
        """The input or output error `exc` of the file shown as `subject`."""
        return cls(IO_ERROR, f"{subject}: {exc.strerror}")


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the program is, so that temporary
    files go."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


class PipeClosed(BaseException):
    """The reader of an output pipe went away: the command ends, silently."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        """A usage error in one line, as every other outcome is reported."""
        self.exit(USAGE, f"{self.prog}: {message} (see '{self.prog} --help')\n")


def thread_count(text):
    try:
        count = int(text)
    except ValueError:
        count = -1
    if count < 0:
        raise argparse.ArgumentTypeError(f"not a number of threads: {text!r}")
    return count


def build_parser(version):
    common = argparse.ArgumentParser(add_help=False)
    source = common.add_mutually_exclusive_group()
    source.add_argument("--key-file", metavar="FILE", help="read the key from FILE")
    source.add_argument("--key", help="the key itself (visible to other users: see below)")
    common.add_argument("-T", "--threads", type=thread_count, default=0, metavar="N",
                        help="convert up to N files at a time (default, or 0: one per core)")
    common.add_argument("-v", "--verbose", action="count", default=0,
                        help="a line on standard error per file converted, with its sizes")
    common.add_argument("-q", "--quiet", action="count", default=0,
                        help="print nothing but errors")
    common.add_argument("files", nargs="*", metavar="FILE",
                        help="files to convert; none, or -, is standard input")
    writing = argparse.ArgumentParser(add_help=False)
    writing.add_argument("-o", "--output", metavar="OUTPUT",
                         help="the output of the single FILE (- is standard output)")
    writing.add_argument("-c", "--stdout", action="store_true", dest="to_stdout",
                         help="write to standard output")
    writing.add_argument("-f", "--force", action="store_true",
                         help="replace existing outputs; encode a text again")
    writing.add_argument("--rm", action="store_true", dest="remove",
                         help="remove each FILE once its output is complete and flushed; "
                              "inputs whose output went to standard output, a FIFO or "
                              "a device are kept")
    writing.add_argument("-i", "--in-place", action="store_true",
                         help="replace the one FILE with its result, safely")

    formatter = argparse.RawDescriptionHelpFormatter
    parser = Parser(prog="velkorenc", formatter_class=formatter, epilog=epilog(),
                    usage="%(prog)s {encode,decode,check} [options] [FILE...]",
                    description="Encode data into a key-dependent printable text, "
                                "and decode or check such texts.")
    parser.add_argument("--version", action="version", version=version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, parents, verb in (
            ("encode", [common, writing], f"encode each FILE into its text, FILE{SUFFIX}"),
            ("decode", [common, writing], f"decode each text FILE{SUFFIX} back into FILE"),
            ("check", [common], "verify that each FILE decodes with the key, writing nothing")):
        commands.add_parser(name, parents=parents, help=verb, description=verb + ".",
                            prog=f"velkorenc {name}",
                            formatter_class=formatter, epilog=epilog(),
                            usage=f"%(prog)s [options] [FILE...]")
    return parser


# -- the key ---------------------------------------------------------------

def read_key_file(path):
    try:
        with open(path, "rb") as f:
            raw = f.read(KEY_FILE_LIMIT + 1)
    except OSError as exc:
        raise Failure(IO_ERROR, f"key file {path}: {exc.strerror or exc}") from None
    if len(raw) > KEY_FILE_LIMIT:
        raise Failure(USAGE, f"key file {path}: longer than {KEY_FILE_LIMIT >> 10} KiB")
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


# -- what to convert -------------------------------------------------------

@dataclasses.dataclass
class Job:
    """One FILE and where its result goes: "stdout", "file" (output),
    "in place", "check", or "unnamed" (a text to decode without .vk)."""
    index: int
    input: str
    way: str
    output: str = None

    @property
    def subject(self):
        return STDIN if self.input == "-" else self.input

    @property
    def local(self):
        """Whether it uses this process's own standard input or output."""
        return self.input == "-" or self.way == "stdout"


def plan(args, parser):
    """The jobs the arguments ask for; usage errors end the command here."""
    files = args.files or ["-"]
    if files.count("-") > 1:
        parser.error("standard input (-) can be read only once")
    if args.command == "check":
        return [Job(i, name, "check") for i, name in enumerate(files)]
    output = args.output
    if output is not None and args.to_stdout:
        parser.error("-o and -c both name the output: give one")
    if output is not None and len(files) > 1:
        parser.error(f"-o names the output of one FILE; {len(files)} are given")
    if args.in_place:
        if len(files) != 1 or files[0] == "-" or output is not None or args.to_stdout \
                or args.remove:
            parser.error(f"{args.command} --in-place takes one FILE, not -, and no -o, -c "
                         "or --rm")
        return [Job(0, files[0], "in place", files[0])]
    if args.command == "encode" and args.to_stdout and len(files) > 1:
        parser.error("encode -c takes one FILE: texts written one after another "
                     "do not decode")
    jobs = []
    for index, name in enumerate(files):
        if args.to_stdout or output == "-" or (name == "-" and output is None):
            jobs.append(Job(index, name, "stdout"))
        elif output is not None:
            jobs.append(Job(index, name, "file", output))
        elif args.command == "encode":
            jobs.append(Job(index, name, "file", name + SUFFIX))
        elif name.endswith(SUFFIX) and os.path.basename(name[:-len(SUFFIX)]):
            jobs.append(Job(index, name, "file", name[:-len(SUFFIX)]))
        else:
            jobs.append(Job(index, name, "unnamed"))
    refuse_chains(jobs, parser)
    return jobs


def file_identity(name):
    """What names one file: its device and inode where it exists, else its
    path once links are resolved."""
    try:
        info = os.stat(name)
    except OSError:
        return os.path.realpath(name)
    return info.st_dev, info.st_ino


def refuse_chains(jobs, parser):
    """Refuses a run in which one file's output is another's input: which
    of the two is read first would decide what is converted or removed."""
    inputs = {}
    for job in jobs:
        if job.input != "-":
            inputs.setdefault(file_identity(job.input), []).append(job)
    for job in jobs:
        if job.way != "file":
            continue
        for other in inputs.get(file_identity(job.output), ()):
            if other is not job:
                parser.error(f"{job.output}: the output of {job.input} is also an input; "
                             "convert them in two runs")


# -- temporary files and signals -------------------------------------------

STOPPING_SIGNALS = (signal.SIGHUP, signal.SIGINT, signal.SIGTERM)


@contextlib.contextmanager
def signals_held():
    """Holds the stopping signals back for a block, so that the exception a
    handler raises comes after it, not halfway through it."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def interrupt(signum, frame):
    """The first stopping signal raises; later ones are ignored, so that
    the clean-up it starts runs to its end."""
    for held in STOPPING_SIGNALS:
        signal.signal(held, signal.SIG_IGN)
    raise KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def catch_stopping_signals():
    """Stopping signals raise, but for one ignored when the command started
    (nohup, a background job), which stays ignored."""
    for signum in STOPPING_SIGNALS:
        if signal.getsignal(signum) != signal.SIG_IGN:
            signal.signal(signum, interrupt)


class Workspace:
    """A temporary folder, made on first use and removed with all it holds;
    a signal can come neither between making it and noting it, nor during
    its removal."""

    def __init__(self):
        self.folder = None
        self.names = {}

    def path(self, name, stands_for):
        """A new path in the folder, for the file that stands for that."""
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

    def remove(self, path):
        with contextlib.suppress(OSError):
            os.remove(path)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.folder is not None:
            with signals_held():
                shutil.rmtree(self.folder, ignore_errors=True)


class Claim:
    """A new output, made empty and private (mode 0600) before the
    conversion: no existing file can be replaced by mistake, two inputs
    cannot take the same output, and the result, which the module puts in
    place of this file with its mode, is never readable by others before it
    gets the input's own mode."""

    def __init__(self, path, made):
        self.path, self.made = path, made

    @classmethod
    def take(cls, path, force):
        """The claim on path, or None where there is nothing to claim: with
        force, or for an output that holds no data of its own (a FIFO, a
        device).  Refuses an existing file."""
        try:
            with signals_held():
                fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
                made = os.fstat(fd)
                os.close(fd)
                return cls(path, made)
        except FileExistsError:
            try:
                holds_data = stat.S_ISREG(os.stat(path).st_mode)
            except OSError:  # a link to nothing: what it names would be made
                holds_data = True
            if force or not holds_data:
                return None
            raise Failure(LEFT_ALONE, f"{path}: already exists; not overwritten "
                                      "(-f overwrites)") from None
        except OSError as exc:
            raise Failure.io(path, exc) from None

    def release(self):
        """Removes the file if it is still the empty one made here."""
        with signals_held(), contextlib.suppress(OSError):
            if os.path.samestat(os.lstat(self.path), self.made):
                os.remove(self.path)

    def keep(self, source, umask):
        """Gives the result the owner, permission bits and times of the
        regular file source (a stat result), or without one the mode a new
        file gets.  The result is complete either way: a failure here is a
        warning, returned as its line, not an error."""
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
            try:
                if source is None:
                    os.fchmod(fd, 0o666 & ~umask)
                    return None
                with contextlib.suppress(OSError):  # as far as this process may
                    try:
                        os.fchown(fd, source.st_uid, source.st_gid)
                    except OSError:
                        os.fchown(fd, -1, source.st_gid)
                os.fchmod(fd, stat.S_IMODE(source.st_mode) & 0o777)
                os.utime(fd, ns=(source.st_atime_ns, source.st_mtime_ns))
            finally:
                os.close(fd)
        except OSError as exc:
            whose = "the input's" if source is not None else "its"
            return (f"{self.path}: warning: complete, but {whose} mode and time "
                    f"not set: {exc.strerror or exc}")
        return None


def flush_to_disk(path):
    """The file at path and the entry naming it, on the disk."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    folder = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)


def current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# -- standard input and output ---------------------------------------------

def copy_in(name, path, work):
    """Copies standard input (name -) or the file at name, which need not
    be a regular file, into the file at path, in chunks: memory stays
    bounded and a signal is acted on between chunks."""
    subject = STDIN if name == "-" else name
    if name == "-" and sys.stdin is None:
        raise Failure(IO_ERROR, f"{STDIN} is closed")
    try:
        # A FIFO by name waits here for its writer; a signal still stops it.
        reader = sys.stdin.buffer.raw if name == "-" else open(name, "rb", buffering=0)
    except OSError as exc:
        raise Failure.io(subject, exc) from None
    try:
        spool = open(path, "wb")
    except OSError as exc:
        if name != "-":
            reader.close()
        raise Failure.io(work.shown(path), exc) from None
    with contextlib.nullcontext() if name == "-" else reader, spool:
        while True:
            try:
                chunk = reader.read(CHUNK)
            except OSError as exc:
                raise Failure.io(subject, exc) from None
            if not chunk:
                break
            try:
                spool.write(chunk)
            except OSError as exc:
                raise Failure.io(work.shown(path), exc) from None


def copy_to_stdout(path, work):
    """Copies the file at path to standard output, in chunks."""
    if sys.stdout is None:
        raise Failure(IO_ERROR, f"{STDOUT} is closed")
    try:
        result = open(path, "rb")
    except OSError as exc:
        raise Failure.io(work.shown(path), exc) from None
    with result:
        try:
            sys.stdout.flush()
            while chunk := result.read(CHUNK):
                sys.stdout.buffer.write(chunk)
            sys.stdout.flush()
        except BrokenPipeError:
            raise PipeClosed() from None
        except OSError as exc:
            raise Failure.io(STDOUT, exc) from None


def silence_stdout():
    """After a broken pipe, the interpreter's last flush of standard output
    would fail again and print a report: point it at /dev/null."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (AttributeError, OSError, ValueError):
        pass


# -- one conversion --------------------------------------------------------

def one_line(text):
    """Control characters (a line break in a bad token, say) as escapes."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def shorten(text, limit):
    """text, or its start and end around an ellipsis, in at most limit
    characters."""
    if len(text) <= limit:
        return text
    tail = (limit - 1) // 3
    return text[:limit - 1 - tail] + "\u2026" + text[len(text) - tail:]


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
    said = shorten(one_line(str(exc)), PIECE_LIMIT)
    if isinstance(exc, velkorenc.InvalidChecksumError):
        return CHECKSUM_MISMATCH, f"{subject}: wrong key or damaged text ({said})"
    if isinstance(exc, velkorenc.InvalidHeaderError):
        return DAMAGED, f"{subject}: not a velkorenc text ({said})"
    if isinstance(exc, velkorenc.VelkorError):
        message = f"{subject}: damaged or truncated text ({said})"
        if text_path is not None and ends_with_line_break(text_path):
            message += ("; the text ends with a line break, which velkorenc never writes: "
                        "an editor may have added it, remove it")
        return DAMAGED, message
    if isinstance(exc, zlib.error):
        return DAMAGED, f"{subject}: damaged text: its compressed data does not expand ({said})"
    if isinstance(exc, UnicodeDecodeError):
        return DAMAGED, f"{subject}: damaged text: not UTF-8 ({exc.reason} at byte {exc.start})"
    if isinstance(exc, OSError):
        where = work.shown(exc.filename) if exc.filename is not None else subject
        return IO_ERROR, f"{where}: {exc.strerror or said}"
    if isinstance(exc, MemoryError):
        return IO_ERROR, f"{subject}: out of memory"
    return None


@dataclasses.dataclass
class Context:
    """What every conversion of one run shares."""
    velkorenc: object
    verb: str
    key: str
    force: bool = False
    remove: bool = False
    umask: int = 0o022
    work: Workspace = None


@dataclasses.dataclass
class Outcome:
    status: int
    message: str = ""
    size: int = None  # of the input, once known
    warning: str = None  # a line about a complete result


def input_stat(job):
    if job.input == "-":
        return None
    try:
        info = os.stat(job.input)
    except OSError as exc:
        raise Failure.io(job.input, exc) from None
    if stat.S_ISDIR(info.st_mode):
        raise Failure(IO_ERROR, f"{job.input}: Is a directory")
    return info


def refuse_text(path, subject, velkorenc):
    """Refuses to encode what already is a velkorenc text."""
    header = velkorenc.HEADER.encode("ascii")
    try:
        with open(path, "rb") as f:
            start = f.read(len(header))
    except OSError as exc:
        raise Failure.io(subject, exc) from None
    if start == header:
        raise Failure(LEFT_ALONE, f"{subject}: already a velkorenc text; not encoded again "
                                  "(-f encodes it anyway)")


def convert(job, ctx):
    """Converts or checks one FILE; every outcome, a closed pipe and a bug
    included, is an Outcome.  Interruptions propagate, after clean-up."""
    try:
        return converted(job, ctx)
    except Failure as failure:
        return Outcome(failure.status, str(failure))
    except PipeClosed:
        return Outcome(BROKEN_PIPE)
    except Exception:  # noqa: BLE001 - a bug: shown, with a status no outcome uses
        return Outcome(INTERNAL, traceback.format_exc().rstrip("\n"))


def converted(job, ctx):
    velkorenc, verb, work, subject = ctx.velkorenc, ctx.verb, ctx.work, job.subject
    if job.way == "unnamed":
        raise Failure(LEFT_ALONE, f"{job.input}: no {SUFFIX} suffix; not decoded "
                                  "(-o OUTPUT or -c names the output)")
    info = input_stat(job)
    regular = info is not None and stat.S_ISREG(info.st_mode)
    checks_text = verb == "encode" and not ctx.force
    if regular and checks_text:
        refuse_text(job.input, subject, velkorenc)
    same_file = False
    if job.way == "file" and regular:
        with contextlib.suppress(OSError):
            same_file = os.path.samestat(info, os.stat(job.output))
    claim = Claim.take(job.output, ctx.force) if job.way == "file" else None
    spool = staged = result = None
    try:
        source = job.input
        if not regular:
            source = spool = work.path(f"input-{job.index}", subject)
            copy_in(job.input, spool, work)
            if checks_text:
                refuse_text(spool, subject, velkorenc)
        size = os.path.getsize(source)
        if job.way == "check":
            target = os.devnull
        elif job.way == "stdout":
            target = staged = work.path(f"output-{job.index}", STDOUT)
            result = target
            if verb == "encode" and link_stdout(target):
                result, work.names[target] = None, STDOUT
        else:
            target = job.output
        function = velkorenc.encode_file if verb == "encode" else velkorenc.decode_file
        try:
            function(source, target, ctx.key)
        except BrokenPipeError:
            raise PipeClosed() from None
        except Exception as exc:  # noqa: BLE001 - every outcome gets its report
            report = explain(exc, velkorenc, subject, source if verb != "encode" else None, work)
            if report is None:
                raise
            raise Failure(*report) from None
        written = warning = None
        if result is not None:
            written = os.path.getsize(result)
            copy_to_stdout(result, work)
        elif job.way in ("file", "in place"):
            written = os.path.getsize(job.output)
        if claim is not None:
            warning = claim.keep(info if regular else None, ctx.umask)
            claim = None
        # An output that is not a regular file (a FIFO, a device) keeps no
        # copy of the data on the disk: its input stays, as for standard output.
        if ctx.remove and job.way == "file" and job.input != "-" and not same_file \
                and regular_stat(job.output) is not None:
            remove_input(job)
    finally:
        if claim is not None:
            claim.release()
        for path in (spool, staged):
            if path is not None:
                work.remove(path)
    if job.way == "check":
        return Outcome(OK, f"{subject}: OK", size)
    where = STDOUT if job.way == "stdout" else job.output
    sizes = human(size) + (f" -> {human(written)}" if written is not None else "")
    return Outcome(OK, f"{subject}: {sizes}, {where}", size, warning)


def link_stdout(path):
    """Makes path a link to standard output where the module may write a
    text to it as it goes: a pipe, a terminal, a device.  The link lives
    in the workspace, as the module keeps its spool beside its output and
    /dev/fd can hold no file.  False where standard output must be copied
    to from a finished file."""
    try:
        fd = sys.stdout.fileno()
        mode = os.fstat(fd).st_mode
    except (AttributeError, OSError, ValueError):
        return False
    # Opened again by name, a regular file would start afresh at offset 0;
    # a socket cannot be opened by name at all.
    if not (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
        return False
    try:
        os.symlink(f"/dev/fd/{fd}", path)
        os.stat(path)
    except OSError:
        with contextlib.suppress(OSError):
            os.remove(path)
        return False
    sys.stdout.flush()
    return True


def remove_input(job):
    """Removes the input once its output is on the disk."""
    try:
        flush_to_disk(job.output)
        os.remove(job.input)
    except OSError as exc:
        raise Failure(IO_ERROR, f"{job.input}: not removed: "
                                f"{exc.strerror or exc}") from None


# -- several files at a time -----------------------------------------------

WORKER_BOOT = ("import sys; sys.path[:0] = sys.argv[1:]; import velkorenc_cli; "
               "sys.exit(velkorenc_cli.serve())")


def serve():
    """A worker process: reads the run's context, then one job per line,
    from standard input, and answers each with its outcome on a line of
    standard output.  A signal stops it as it stops the command."""
    catch_stopping_signals()
    answers = os.fdopen(os.dup(sys.stdout.fileno()), "w")
    silence_stdout()  # nothing else may reach the answers
    try:
        import velkorenc
        setup = json.loads(sys.stdin.readline())
        with Workspace() as work:
            ctx = Context(velkorenc, work=work, **setup)
            for line in sys.stdin:
                outcome = convert(Job(**json.loads(line)), ctx)
                answers.write(json.dumps(dataclasses.asdict(outcome)) + "\n")
                answers.flush()
    except KeyboardInterrupt:
        return INTERRUPTED
    except Terminated as exc:
        return 128 + exc.signum
    return OK


class Worker:
    def __init__(self, setup):
        import velkorenc
        folders = [os.path.dirname(os.path.abspath(m.__file__))
                   for m in (sys.modules[__name__], velkorenc)]
        # -P: the current folder, which may be the one being converted, is
        # not on the path, so that a json.py there cannot run as code.
        self.process = subprocess.Popen([sys.executable, "-P", "-c", WORKER_BOOT, *folders],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        self.send(setup)

    def send(self, value):
        self.process.stdin.write(json.dumps(value) + "\n")
        self.process.stdin.flush()

    def convert(self, job):
        """The job's Outcome, or None when the worker has gone."""
        try:
            self.send(dataclasses.asdict(job))
            return Outcome(**json.loads(self.process.stdout.readline()))
        except (OSError, ValueError, TypeError):  # gone, or gone mid-answer
            return None


class Pool:
    """Worker processes, each fed by a thread of this process, taking the
    jobs in order; outcomes arrive on `results` as (job, Outcome or None),
    None for the job a worker was converting when it ended.  The other
    workers take on the jobs left; once none is left, those jobs fail."""

    def __init__(self, count, setup, jobs, worker=Worker):
        self.jobs, self.results, self.stopping = queue.Queue(), queue.Queue(), False
        for job in jobs:
            self.jobs.put(job)
        self.workers = [worker(setup) for _ in range(count)]
        self.living, self.lock = len(self.workers), threading.Lock()
        for worker in self.workers:
            threading.Thread(target=self.feed, args=(worker,), daemon=True).start()

    def pids(self):
        return [worker.process.pid for worker in self.workers]

    def feed(self, worker):
        while not self.stopping:
            try:
                job = self.jobs.get_nowait()
            except queue.Empty:
                return
            outcome = worker.convert(job)
            self.results.put((job, outcome))
            if outcome is None:
                break
        with self.lock:
            self.living -= 1
            last = self.living == 0 and not self.stopping
        while last:
            try:
                job = self.jobs.get_nowait()
            except queue.Empty:
                return
            self.results.put((job, Outcome(INTERNAL, f"velkorenc: {job.subject}: not "
                                                     "converted: every worker process ended")))

    def close(self, signum=None):
        """Ends the workers, at once with a signal, and waits for them."""
        self.stopping = True
        for worker in self.workers:
            if signum is not None:
                with contextlib.suppress(OSError):
                    worker.process.send_signal(signum)
            with contextlib.suppress(OSError):
                worker.process.stdin.close()
        for worker in self.workers:
            worker.process.wait()


# -- progress --------------------------------------------------------------

def bytes_read(pids=()):
    """Bytes read so far by this process and the given ones, or None."""
    total = 0
    for pid in ("self", *pids):
        try:
            with open(f"/proc/{pid}/io", "rb") as f:
                fields = dict(line.split(b":", 1) for line in f.read().splitlines())
            total += int(fields[b"rchar"])
        except (OSError, KeyError, ValueError):
            if pid == "self":
                return None
    return total


def human(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024


class Progress:
    """One line for the whole run on a terminal, moved on while files are
    converted: files done, bytes, rate, and where the inputs' sizes are all
    known a percentage and the time left.  The bytes of the files under way
    are estimated from what the processes have read (an encode reads most
    inputs twice).  Every other line the command prints goes through say(),
    which clears the progress line first."""

    def __init__(self, stream, verb, files, total, counters=bytes_read,
                 delay=0.5, interval=0.25):
        self.stream, self.files, self.total, self.counters = stream, files, total, counters
        self.verb, self.delay, self.interval = verb, delay, interval
        self.passes = 2 if verb == "encode" else 1
        self.lock, self.stop = threading.Lock(), threading.Event()
        self.done_files = self.done_bytes = self.shown_bytes = 0
        self.thread, self.shown, self.pids = None, False, ()

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

    def finished(self, size):
        with self.lock:
            self.done_files += 1
            self.done_bytes += size or 0

    def line(self):
        read = self.counters(self.pids)
        if read is None:
            return None
        began, read0 = self.start
        estimate = (read - read0) / self.passes
        if self.total is not None:
            estimate = min(estimate, 0.99 * self.total)
        done = self.shown_bytes = max(self.shown_bytes, self.done_bytes, estimate)
        rate = done / max(time.monotonic() - began, 1e-9)
        line = (f"velkorenc {self.verb}: {self.done_files}/{self.files} files, {human(done)}"
                + (f" of {human(self.total)}" if self.total is not None else "")
                + f", {human(rate)}/s")
        if self.total:
            line += f", {100 * done / self.total:.0f}%"
            if rate > 0:
                line += f", {(self.total - done) / rate:.0f} s left"
        return line

    def show(self):
        with self.lock:
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

    def clear(self):
        if self.shown:
            with contextlib.suppress(OSError, ValueError):
                self.stream.write("\r\x1b[K")
                self.stream.flush()
            self.shown = False

    def say(self, stream, text):
        with self.lock:
            self.clear()
            try:
                print(text, file=stream, flush=True)
            except BrokenPipeError:
                raise PipeClosed() from None

    def __exit__(self, *exc):
        if self.thread is not None:
            self.stop.set()
            self.thread.join()
            self.clear()


# -- running a command -----------------------------------------------------

def is_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed
        return False


def cores():
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class Run:
    """The jobs of one command, on this process and on workers; reports
    each outcome as it comes and gives the exit status."""

    def __init__(self, jobs, ctx, args):
        self.jobs, self.ctx = jobs, ctx
        self.verbosity = 1 + args.verbose - args.quiet
        self.threads = args.threads or cores()
        self.statuses = {}
        sizes = [info.st_size if (info := regular_stat(job.input)) else None for job in jobs]
        total = None if None in sizes else sum(sizes)
        # Output on the terminal itself would mix with the progress line.
        on_terminal = any(job.way == "stdout" for job in jobs) and is_terminal(sys.stdout)
        shown = None if self.verbosity < 1 or on_terminal else sys.stderr
        self.progress = Progress(shown, ctx.verb, len(jobs), total)

    def report(self, job, outcome):
        if outcome is None:
            outcome = Outcome(INTERNAL, f"velkorenc: {job.subject}: the worker process "
                                        "converting it ended unexpectedly")
        self.statuses[job.index] = outcome.status
        self.progress.finished(outcome.size)
        if outcome.status == BROKEN_PIPE:
            raise PipeClosed()
        if outcome.warning is not None and self.verbosity >= 1:
            self.progress.say(sys.stderr, shorten(f"velkorenc: {outcome.warning}", LINE_LIMIT))
        if outcome.status == INTERNAL:
            self.progress.say(sys.stderr, outcome.message)
        elif outcome.status != OK:
            self.progress.say(sys.stderr, shorten(f"velkorenc: {outcome.message}", LINE_LIMIT))
        elif job.way == "check" and self.verbosity >= 1:
            self.progress.say(sys.stdout, outcome.message)
        elif self.verbosity >= 2:
            self.progress.say(sys.stderr, f"velkorenc: {outcome.message}")

    def run(self):
        remote = [job for job in self.jobs if not job.local]
        count = min(self.threads, len(remote))
        if count < 2:
            remote = []
        local = [job for job in self.jobs if job not in remote]
        pool = None
        with self.progress:
            try:
                if remote:
                    setup = {name: getattr(self.ctx, name)
                             for name in ("verb", "key", "force", "remove", "umask")}
                    pool = Pool(count, setup, remote)
                    self.progress.pids = pool.pids()
                for job in local:
                    self.report(job, convert(job, self.ctx))
                for _ in remote:
                    self.report(*pool.results.get())
            except BaseException as exc:
                if pool is not None:
                    pool.close(exc.signum if isinstance(exc, Terminated)
                               else signal.SIGINT if isinstance(exc, KeyboardInterrupt)
                               else signal.SIGTERM)
                    pool = None
                raise
            finally:
                if pool is not None:
                    pool.close()
        failed = [self.statuses[i] for i in sorted(self.statuses) if self.statuses[i] != OK]
        return failed[0] if failed else OK


def regular_stat(name):
    """The stat of a regular file by that name, else None."""
    if name == "-":
        return None
    try:
        info = os.stat(name)
    except OSError:
        return None
    return info if stat.S_ISREG(info.st_mode) else None


def main(argv=None):
    try:
        import velkorenc
    except ImportError as exc:
        print(f"velkorenc: cannot load the velkorenc module with {sys.executable}: {exc}",
              file=sys.stderr)
        return INTERNAL
    if sys.stderr is None:  # closed: print() would send reports to standard output
        sys.stderr = open(os.devnull, "w")
    parser = build_parser(velkorenc.version())
    args = parser.parse_args(argv)
    catch_stopping_signals()
    try:
        jobs = plan(args, parser)
        key = resolve_key(args)
        with Workspace() as work:
            ctx = Context(velkorenc, args.command, key, getattr(args, "force", False),
                          getattr(args, "remove", False), current_umask(), work)
            return Run(jobs, ctx, args).run()
    except Failure as failure:
        print(shorten(f"velkorenc: {failure}", LINE_LIMIT), file=sys.stderr)
        return failure.status
    except KeyboardInterrupt:
        print("velkorenc: interrupted", file=sys.stderr)
        return INTERRUPTED
    except Terminated as exc:
        return 128 + exc.signum
    except PipeClosed:
        silence_stdout()
        return BROKEN_PIPE
    except Exception:  # noqa: BLE001 - a bug: show it, with a status no outcome uses
        traceback.print_exc()
        return INTERNAL
