"""Speed and memory of velkorenc beside the work it cannot avoid.

Every figure is the ratio of two medians measured side by side in this one
process (the module's call, then the floor, alternating), except the memory
figures and the file figures, which are measured in child processes.  Each
row prints as soon as it is measured; then the byte-level core's table
follows, from core_bench (Google Benchmark), when the build made it.

    python bench/bench_module.py [--repeat N] [--size MIB] [--file-size MIB]
                                 [--file-dir DIR] [--calls N] [--only TEXT]
                                 [--core-bench PATH] [--strict]

The file rows write a random file of --file-size MiB, its text (nine times
as large) and their conversions to a temporary directory in --file-dir
(default: the system's temporary directory), which needs about 24 times
--file-size free, and remove it at the end.

A row that misses its goal is marked NO; only --strict turns that into exit
status 1, after both tables.  To add a row, write a function below that
takes the Inputs and returns a Figure, and decorate it with @row(name, goal).
"""
import argparse
import contextlib
import functools
import os
import random
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import timeit
import types
import zlib

import velkorenc

KEY = "QJX"
ROWS = []


def row(name, goal=None):
    """Registers a measurement: name (may use {mib}), goal (None: shown for
    context only) and a function of the Inputs that returns a Figure."""
    def register(measure):
        ROWS.append((name, goal, measure))
        return measure
    return register


class Figure:
    def __init__(self, value, detail):
        self.value, self.detail = value, detail


class NotMeasured(Exception):
    """A row that cannot be measured here; its message says why."""


def ratio(times):
    """A Figure from (module's time, floor's time)."""
    ours, floor = times
    unit, scale = ("us", 1e6) if floor < 1e-3 else ("ms", 1e3)
    return Figure(ours / floor, f"{ours * scale:.3f} {unit} vs {floor * scale:.3f} {unit}")


class Inputs:
    """The data the rows share, each made on first use."""

    def __init__(self, args):
        self.args = args
        self.size = args.size << 20
        self.file_size = args.file_size << 20
        self.repeat = args.repeat
        self.small_repeat = max(15, 3 * args.repeat)
        self.file_repeat = max(1, min(3, args.repeat))
        self._work = None

    def close(self):
        """Removes the file rows' directory, if one was made."""
        if self._work is not None:
            self._work.cleanup()
            self._work = None

    @functools.cached_property
    def work_dir(self):
        """A directory for the file rows, where there is room for them: the
        data, its text, the text's replacement while it is written, the
        spool and the decoded copy."""
        parent = self.args.file_dir or tempfile.gettempdir()
        needed = 24 * self.file_size + (64 << 20)
        free = shutil.disk_usage(parent).free
        if free < needed:
            raise NotMeasured(f"{parent} has {free / 2**30:.1f} GiB free, these rows need "
                              f"{needed / 2**30:.1f} GiB (--file-dir DIR)")
        self._work = tempfile.TemporaryDirectory(prefix="velkorenc-bench-", dir=parent)
        return self._work.name

    @functools.cached_property
    def data_file(self):
        path = os.path.join(self.work_dir, "data")
        rng = random.Random(1)
        with open(path, "wb") as f:
            for start in range(0, self.file_size, 1 << 20):
                f.write(rng.randbytes(min(1 << 20, self.file_size - start)))
        return path

    @functools.cached_property
    def text_file(self):
        path = os.path.join(self.work_dir, "text")
        velkorenc.encode_file(self.data_file, path, KEY)
        return path

    @functools.cached_property
    def noise(self):
        return random.Random(1).randbytes(self.size)

    @functools.cached_property
    def repetitive(self):
        block = b"velkorenc repetitive block! "
        return (block * (self.size // len(block) + 1))[:self.size]

    @functools.cached_property
    def _source_text(self):
        """Real text: the .py files under the interpreter's standard-library
        directory (its site-packages too, which is below it), concatenated
        in the order of their sorted paths, up to --size MiB; all of them
        when there are fewer (the row then says how much)."""
        root = sysconfig.get_path("stdlib")
        paths = sorted(os.path.join(folder, name) for folder, _, names in os.walk(root)
                       for name in names if name.endswith(".py"))
        pieces, length, files = [], 0, 0
        for path in paths:
            if length >= self.size:
                break
            with open(path, "rb") as f:
                piece = f.read(self.size - length)
            pieces.append(piece)
            length += len(piece)
            files += 1
        if not length:
            raise NotMeasured(f"no .py files under {root}")
        whole = "" if length == self.size else f", all there is (--size is {self.args.size} MiB)"
        return b"".join(pieces), f"{length / 2**20:.1f} MiB of {files:,} files{whole}"

    @property
    def source_text(self):
        return self._source_text[0]

    @property
    def source_text_origin(self):
        return self._source_text[1]

    @functools.cached_property
    def noise_text(self):
        return velkorenc.encode_bytes(self.noise)

    @functools.cached_property
    def repetitive_text(self):
        return velkorenc.encode_bytes(self.repetitive)

    @functools.cached_property
    def repetitive_stream(self):
        return zlib.compress(self.repetitive, level=6)

    @functools.cached_property
    def hello_text(self):
        return velkorenc.encode_bytes(b"hello")

    @functools.cached_property
    def quarter_noise(self):
        return [random.Random(seed).randbytes(self.size // 4) for seed in (2, 3)]

    @functools.cached_property
    def quarter_texts(self):
        return [velkorenc.encode_bytes(data) for data in self.quarter_noise]

    @functools.cached_property
    def messages(self):
        """Small messages of 100 bytes each, as a program would send them."""
        rng = random.Random(3)
        return [(f'{{"id": {i}, "from": "sensor-{rng.randrange(100)}", "reading": '
                 f'{rng.uniform(-20, 40):.3f}, "unit": "C", "note": "').encode().ljust(98, b"x")
                + b'"}' for i in range(self.args.messages)]


# -- timing helpers ----------------------------------------------------------

def key_seed(key):
    seed = 0
    for c in key.encode():
        seed = (seed * 31 + c) & 0x7FFFFFFF
    return seed


def shuffle_floor(seed=key_seed(KEY)):
    """The keyed shuffle's mandated calls: one generator, 255 draws."""
    rng = random.Random(seed)
    for i in range(255, 0, -1):
        rng.randint(0, i)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def side_by_side(candidate, floor, repeat):
    """Median time of each, alternating the two so that drift hits both."""
    candidate(), floor()  # warm up allocator and page cache
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(timed(candidate))
        theirs.append(timed(floor))
    return statistics.median(ours), statistics.median(theirs)


def small_side_by_side(candidate, floor, repeat, number):
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(timeit.timeit(candidate, number=number) / number)
        theirs.append(timeit.timeit(floor, number=number) / number)
    return statistics.median(ours), statistics.median(theirs)


PEAK_HELPERS = r"""
import sys, velkorenc

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024

def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
"""

MEMORY_CHILD = PEAK_HELPERS + r"""
import random
size = int(sys.argv[1])
data = random.Random(1).randbytes(size)
argument = velkorenc.encode_bytes(data) if sys.argv[2] == "decode" else data
call = velkorenc.decode_bytes if sys.argv[2] == "decode" else velkorenc.encode_bytes
reset_peak()
before = status("VmRSS:")
result = call(argument)
print(status("VmHWM:") - before, len(result))
"""


FILE_CHILD = PEAK_HELPERS + r"""
import time
function, source, target, path, key = sys.argv[1:6]
if path == "whole":
    # Any function but the module's own makes the file functions read the
    # whole file, call it and write the whole result.
    codec = "encode_bytes" if function == "encode_file" else "decode_bytes"
    own = getattr(velkorenc, codec)
    setattr(velkorenc, codec, lambda value, key: own(value, key))
reset_peak()
before = status("VmRSS:")
start = time.perf_counter()
getattr(velkorenc, function)(source, target, key)
print(time.perf_counter() - start, status("VmHWM:") - before)
"""


LOCK_CHILD = r"""
import ctypes, os, statistics, sys, time, velkorenc
path, library, calls, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
skip_flock = ctypes.CDLL(library).velkorenc_bench_skip_flock
with open(path, "wb") as f:
    f.write(os.urandom(4096))

def round_trip():
    start = time.perf_counter()
    velkorenc.encode_file(path, path)
    velkorenc.decode_file(path, path)
    return time.perf_counter() - start

locked, unlocked = [], []
for _ in range(repeat):
    for skip, times in ((0, locked), (1, unlocked)):
        skip_flock(skip)
        times.append(statistics.median(round_trip() for _ in range(calls)))
print(statistics.median(locked), statistics.median(unlocked))
"""

# Loaded first into the child with LD_PRELOAD: a flock that, once told to,
# takes no lock and returns at once, so that the child converts as if the
# module took no lock, between conversions that take it.
SKIP_FLOCK = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
static int skip;
void velkorenc_bench_skip_flock(int on) { skip = on; }
int flock(int fd, int operation) {
  static int (*real)(int, int);
  if (skip) return 0;
  if (!real) real = (int (*)(int, int))dlsym(RTLD_NEXT, "flock");
  return real(fd, operation);
}
"""


def convert_in_child(function, source, target, path="chunked"):
    """Seconds and peak memory growth of one file conversion in a fresh
    process, by the chunked path or the whole-file one; None for a child
    that ran out of memory (or that the system stopped)."""
    result = subprocess.run([sys.executable, "-c", FILE_CHILD, function, source, target, path,
                             KEY], capture_output=True, text=True)
    if result.returncode < 0 or "MemoryError" in result.stderr:
        return None
    if result.returncode != 0:
        raise RuntimeError(f"{function} ({path}) failed:\n{result.stderr}")
    seconds, growth = result.stdout.split()
    return float(seconds), int(growth)


def file_memory(function, source, target):
    measured = convert_in_child(function, source, target)
    if measured is None:
        raise NotMeasured(f"{function} was stopped by the system")
    growth = measured[1] / 2**20
    return Figure(growth / 64, f"{growth:.1f} MiB in a child process, "
                               f"input {os.path.getsize(source) / 2**20:,.0f} MiB")


def file_times(function, source, target, repeat):
    """The chunked conversion beside the whole-file one, alternating, each
    in a child process over a warm page cache: a Figure of the medians."""
    convert_in_child(function, source, target)  # warm the page cache
    chunked, whole = [], []
    for _ in range(repeat):
        chunked.append(convert_in_child(function, source, target))
        whole.append(convert_in_child(function, source, target, "whole"))
    if any(w is None for w in whole):
        seconds = statistics.median(t for t, _ in chunked)
        return Figure(0.0, f"{seconds:.2f} s; the whole-file path ran out of memory "
                           f"(or was stopped)")
    ours = statistics.median(t for t, _ in chunked)
    theirs = statistics.median(t for t, _ in whole)
    return Figure(ours / theirs,
                  f"{ours:.2f} s vs {theirs:.2f} s; peak growth "
                  f"{max(m for _, m in chunked) / 2**20:,.1f} MiB vs "
                  f"{max(m for _, m in whole) / 2**20:,.1f} MiB")


def in_threads(call, arguments, calls):
    """Seconds for len(arguments) threads, started together, to make
    `calls` calls each, thread i on arguments[i]."""
    start = threading.Barrier(len(arguments) + 1)

    def work(argument):
        start.wait()
        for _ in range(calls):
            call(argument)

    threads = [threading.Thread(target=work, args=(a,)) for a in arguments]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    return time.perf_counter() - began


@contextlib.contextmanager
def on_one_cpu():
    """The calling thread, and the threads it starts, pinned to one CPU."""
    if not hasattr(os, "sched_setaffinity"):
        raise NotMeasured("this system cannot pin a thread to a CPU")
    cpus = os.sched_getaffinity(0)
    if len(cpus) < 2:
        raise NotMeasured("this process may run on one CPU only")
    os.sched_setaffinity(0, {min(cpus)})
    try:
        yield
    finally:
        os.sched_setaffinity(0, cpus)


def two_threads_beside_one(call, arguments, calls, repeat, one_on_one_cpu=False):
    """Median seconds of two threads making `calls` calls each, and of one
    thread making as many alone (pinned to one CPU when asked), alternating:
    their ratio is at most 1.25 when two threads get at least 1.6 times the
    work done of one."""
    pinned = on_one_cpu if one_on_one_cpu else contextlib.nullcontext
    with pinned():
        in_threads(call, arguments[:1], 1)  # warm up
    two, one = [], []
    for _ in range(repeat):
        two.append(in_threads(call, arguments, calls))
        with pinned():
            one.append(in_threads(call, arguments[:1], calls))
    two, one = statistics.median(two), statistics.median(one)
    name = "throughput" if one_on_one_cpu else "scaling"
    return Figure(two / one, f"{name} {2 * one / two:.2f}: {two * 1e3:.1f} ms for 2 x {calls} "
                             f"calls vs {one * 1e3:.1f} ms for {calls}")


def peak_beyond_start(operation, size):
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(size), operation],
                         check=True, capture_output=True, text=True).stdout.split()
    return int(out[0]), int(out[1])


# -- the rows ------------------------------------------------------------------

def encode_beside_zlib(data, repeat):
    """encode_bytes beside the stream it may keep and the CRC it stores."""
    return ratio(side_by_side(lambda: velkorenc.encode_bytes(data),
                              lambda: (zlib.compress(data, level=6), zlib.crc32(data)), repeat))


@row("encode_bytes({mib} random) / zlib.compress(d, 6) + crc32", 0.20)
def encode_random(d):
    return encode_beside_zlib(d.noise, d.repeat)


@row("encode_bytes(first {mib} of the stdlib's .py sources) / zlib.compress(d, 6) + crc32",
     0.50)
def encode_source_text(d):
    figure = encode_beside_zlib(d.source_text, d.repeat)
    figure.detail += f"; {d.source_text_origin}"
    return figure


@row("encode_bytes({mib} repetitive) / zlib.compress(d, 6) + crc32", 0.90)
def encode_repetitive(d):
    return encode_beside_zlib(d.repetitive, d.repeat)


@row("decode_bytes(text of {mib} random) / text.encode('ascii') + crc32", 1.5)
def decode_random(d):
    return ratio(side_by_side(lambda: velkorenc.decode_bytes(d.noise_text),
                              lambda: (d.noise_text.encode("ascii"), zlib.crc32(d.noise)),
                              d.repeat))


@row("decode_bytes(text of {mib} random) / text.find('x'), a read of the text", 1.6)
def decode_random_read(d):
    return ratio(side_by_side(lambda: velkorenc.decode_bytes(d.noise_text),
                              lambda: d.noise_text.find("x"), d.repeat))


@row("one decode_bytes(text of {mib} random), all cores / 1 core (the caller pinned with "
     "os.sched_setaffinity)", 0.60)
def decode_every_core(d):
    def pinned():
        with on_one_cpu():
            velkorenc.decode_bytes(d.noise_text)
    figure = ratio(side_by_side(lambda: velkorenc.decode_bytes(d.noise_text), pinned, d.repeat))
    figure.detail += f", {len(os.sched_getaffinity(0))} cores"
    return figure


@row("decode_bytes(text of {mib} repetitive) / zlib.decompress", 1.05)
def decode_repetitive(d):
    return ratio(side_by_side(lambda: velkorenc.decode_bytes(d.repetitive_text),
                              lambda: zlib.decompress(d.repetitive_stream), d.repeat))


@row("encode_bytes(b'hello') / Random(seed) + 255 randint", 0.10)
def encode_small(d):
    return ratio(small_side_by_side(lambda: velkorenc.encode_bytes(b"hello"), shuffle_floor,
                                    d.small_repeat, d.args.calls))


@row("decode_bytes(its text) / Random(seed) + 255 randint", 0.06)
def decode_small(d):
    return ratio(small_side_by_side(lambda: velkorenc.decode_bytes(d.hello_text), shuffle_floor,
                                    d.small_repeat, d.args.calls))


@row("encode_bytes(b'hello') / zlib.compress + crc32 + shuffle (context, not a goal)")
def encode_small_context(d):
    return ratio(small_side_by_side(
        lambda: velkorenc.encode_bytes(b"hello"),
        lambda: (zlib.compress(b"hello", level=6), zlib.crc32(b"\x00hello"), shuffle_floor()),
        d.small_repeat, d.args.calls))


def message_round_trips(messages, key="one key for the stream"):
    """Encodes each message and decodes it back; the seconds it took."""
    start = time.perf_counter()
    for message in messages:
        velkorenc.decode_bytes(velkorenc.encode_bytes(message, key), key)
    return time.perf_counter() - start


def random_through_python():
    """A stand-in for the random module whose generator is a subclass of the
    interpreter's: the same draws, made by the interpreter's own calls."""
    class Random(random.Random):
        pass
    return types.SimpleNamespace(Random=Random)


@row("{messages} messages of 100 B, encode + decode / same with random rebound", 1 / 15)
def many_messages(d):
    messages = d.messages
    # The two ways take turns over tenths of the stream, so that both meet
    # the same state of the machine and of the process.
    tenth = max(1, len(messages) // 10)
    native = rebound = 0.0
    stand_in = random_through_python()
    for start in range(0, len(messages), tenth):
        part = messages[start:start + tenth]
        native += message_round_trips(part)
        velkorenc.random = stand_in
        try:
            rebound += message_round_trips(part)
        finally:
            velkorenc.random = random
    figure = Figure(native / rebound, f"{len(messages) / native:,.0f} vs "
                                      f"{len(messages) / rebound:,.0f} messages/s, "
                                      f"{rebound / native:.1f} times as many")
    return figure


# One decode_bytes of these texts takes every core, so the one thread is
# pinned to one: two threads on all cores then do 1.8 times its work when
# their calls share the cores rather than fight for them.
@row("2 threads on all cores / 1 on one core, decode_bytes of texts of {mib}/4 random "
     "(throughput >= 1.8)", 2 / 1.8)
def decode_scaling(d):
    return two_threads_beside_one(velkorenc.decode_bytes, d.quarter_texts, 16, d.repeat,
                                  one_on_one_cpu=True)


# So does one encode_bytes of these: the one thread is pinned to one CPU, as
# for decoding, and two threads on all cores then do 1.6 times its work.
@row("2 threads on all cores / 1 on one core, encode_bytes of {mib}/4 random "
     "(throughput >= 1.6)", 1.25)
def encode_scaling(d):
    return two_threads_beside_one(velkorenc.encode_bytes, d.quarter_noise, 2, d.repeat,
                                  one_on_one_cpu=True)


@row("peak memory decoding the text of {mib} random, beyond the text / data", 1.1)
def decode_memory(d):
    peak, decoded = peak_beyond_start("decode", d.size)
    return Figure(peak / decoded, f"{peak / 2**20:.1f} MiB beyond the text")


@row("peak memory encoding {mib} random, beyond the input / data", 9.1)
def encode_memory(d):
    peak, text_length = peak_beyond_start("encode", d.size)
    return Figure(peak / d.size, f"{peak / 2**20:.1f} MiB beyond the input, "
                                 f"the text alone {text_length / 2**20:.1f} MiB")


@row("encode_file({file} random): peak RSS growth / 64 MiB", 1.0)
def encode_file_memory(d):
    return file_memory("encode_file", d.data_file, os.path.join(d.work_dir, "text.new"))


@row("decode_file(text of {file} random): peak RSS growth / 64 MiB", 1.0)
def decode_file_memory(d):
    return file_memory("decode_file", d.text_file, os.path.join(d.work_dir, "data.new"))


@row("encode_file({file} random) in chunks / the whole file (encode_bytes rebound)", 1.05)
def encode_file_time(d):
    return file_times("encode_file", d.data_file, os.path.join(d.work_dir, "text.new"),
                      d.file_repeat)


def encode_file_beside_zlib(d, new_target):
    """encode_file in a child beside zlib on the same data in memory,
    alternating.  With `new_target`, the last text is deleted before each
    call, untimed: the call then does not pay for freeing the file it
    replaces, which the file system does."""
    target = os.path.join(d.work_dir, "text.new")
    with open(d.data_file, "rb") as f:
        data = f.read()
    convert_in_child("encode_file", d.data_file, target)  # warm the page cache
    ours, floor = [], []
    for _ in range(d.file_repeat):
        if new_target:
            os.remove(target)
        measured = convert_in_child("encode_file", d.data_file, target)
        if measured is None:
            raise NotMeasured("encode_file was stopped by the system")
        ours.append(measured[0])
        floor.append(timed(lambda: (zlib.compress(data, level=6), zlib.crc32(data))))
    return ratio((statistics.median(ours), statistics.median(floor)))


@row("encode_file({file} random), in a child / zlib.compress(d, 6) + crc32 of it in memory",
     0.30)
def encode_file_over_last(d):
    return encode_file_beside_zlib(d, new_target=False)


@row("encode_file({file} random) to a new path, in a child / the same "
     "(context, not a goal)")
def encode_file_to_new_path(d):
    return encode_file_beside_zlib(d, new_target=True)


@row("encode_file + decode_file of 4 KiB in place, locked / flock a no-op", 1.10)
def small_file_lock(d):
    # In memory when it can be (/dev/shm), where flushing to disk costs
    # nothing and the lock's share of a conversion is largest.
    parent = "/dev/shm" if os.path.isdir("/dev/shm") else tempfile.gettempdir()
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not compiler:
        raise NotMeasured("no C compiler to build the flock that takes no lock")
    with tempfile.TemporaryDirectory(prefix="velkorenc-bench-", dir=parent) as work:
        source, library = os.path.join(work, "skip_flock.c"), os.path.join(work, "skip_flock.so")
        with open(source, "w") as f:
            f.write(SKIP_FLOCK)
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", library, source, "-ldl"],
                       check=True)
        result = subprocess.run(
            [sys.executable, "-c", LOCK_CHILD, os.path.join(work, "small"), library,
             str(max(10, d.args.calls // 10)), str(max(5, 3 * d.repeat))],
            check=True, capture_output=True, text=True,
            # After what is preloaded already (a sanitizer's runtime, which must come first).
            env=dict(os.environ, LD_PRELOAD=" ".join(filter(None, [os.environ.get("LD_PRELOAD"),
                                                                    library]))))
    figure = ratio(tuple(map(float, result.stdout.split())))
    figure.detail += f" per round trip, in {parent}"
    return figure


@row("decode_file(text of {file} random) in chunks / the whole file (decode_bytes rebound)",
     1.05)
def decode_file_time(d):
    return file_times("decode_file", d.text_file, os.path.join(d.work_dir, "data.new"),
                      d.file_repeat)


COMMAND = "import sys, velkorenc_cli; sys.exit(velkorenc_cli.main())"


def command_seconds(folder, names, threads, cpus=None):
    """Seconds for the velkorenc command to encode the files in a fresh
    process, with that many workers, on the given CPUs (all by default);
    the texts are removed afterwards."""
    for name in names:
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(folder, name + ".vk"))
    # The command's code is where the module is, in the build as installed.
    site = os.path.dirname(os.path.abspath(velkorenc.__file__))
    start = time.perf_counter()
    pin = (lambda: os.sched_setaffinity(0, cpus)) if cpus else None
    subprocess.run([sys.executable, "-c", COMMAND, "encode", "-q", "-T", str(threads), *names],
                   cwd=folder, check=True, env=dict(os.environ, VELKORENC_KEY=KEY,
                                                    PYTHONPATH=site), preexec_fn=pin)
    return time.perf_counter() - start


# Each file's conversion takes every core, so -T 1 runs on one CPU: -T 2 on
# all cores then gets 1.6 times its work done when the workers share them.
@row("velkorenc encode -T 2 on all cores / -T 1 on one, 8 files of {mib} random "
     "(throughput >= 1.6)", 0.625)
def command_threads(d):
    if not hasattr(os, "sched_setaffinity"):
        raise NotMeasured("this system cannot pin a process to a CPU")
    cpus = os.sched_getaffinity(0)
    if len(cpus) < 2:
        raise NotMeasured("this process may run on one CPU only")
    parent = d.args.file_dir or tempfile.gettempdir()
    needed = 8 * 11 * d.size + (64 << 20)
    free = shutil.disk_usage(parent).free
    if free < needed:
        raise NotMeasured(f"{parent} has {free / 2**30:.1f} GiB free, this row needs "
                          f"{needed / 2**30:.1f} GiB (--file-dir DIR)")
    with tempfile.TemporaryDirectory(prefix="velkorenc-bench-", dir=parent) as folder:
        names = [f"file{i}" for i in range(8)]
        for i, name in enumerate(names):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(random.Random(10 + i).randbytes(d.size))
        command_seconds(folder, names, 2)  # warm the page cache
        two, one = [], []
        for _ in range(d.file_repeat):
            two.append(command_seconds(folder, names, 2))
            one.append(command_seconds(folder, names, 1, {min(cpus)}))
    two, one = statistics.median(two), statistics.median(one)
    return Figure(two / one, f"throughput {one / two:.2f}: {two:.2f} s with -T 2 vs {one:.2f} s "
                             f"with -T 1")


# -- the driver ----------------------------------------------------------------

def module_table(args):
    """Measures and prints the chosen rows, one at a time; returns the names
    of those that missed their goal."""
    inputs = Inputs(args)
    try:
        return print_rows(inputs, args)
    finally:
        inputs.close()


def print_rows(inputs, args):
    chosen = [(name.format(mib=f"{args.size} MiB", messages=f"{args.messages:,}",
                           file=f"{args.file_size} MiB"), goal, measure)
              for name, goal, measure in ROWS]
    chosen = [r for r in chosen if args.only is None or args.only in r[0]]
    width = max([len(name) for name, _, _ in chosen] + [6])
    print(f"{'figure':<{width}}  {'ratio':>6}  {'goal':>6}  met  measured", flush=True)
    missed = []
    for name, goal, measure in chosen:
        try:
            figure = measure(inputs)
        except NotMeasured as reason:
            print(f"{name:<{width}}  {'-':>6}  {'-':>6}  -    not measured: {reason}", flush=True)
            continue
        if goal is None:
            goal_text, met = "-", "-"
        else:
            goal_text, met = f"{goal:.2f}", "yes" if figure.value <= goal else "NO"
            if figure.value > goal:
                missed.append(name)
        print(f"{name:<{width}}  {figure.value:6.3f}  {goal_text:>6}  {met:<3}  {figure.detail}",
              flush=True)
    return missed


def core_table(args):
    """Runs core_bench, whose table follows the module's; its status."""
    print(flush=True)
    if args.core_bench is None:
        reason = args.core_bench_missing or "no --core-bench PATH given"
        print(f"core_bench: not run: {reason}", flush=True)
        return 0
    try:
        return subprocess.run([args.core_bench]).returncode
    except OSError as exc:
        print(f"core_bench: cannot run {args.core_bench}: {exc.strerror}", flush=True)
        return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5,
                        help="timings per large figure (at most 3 for the file figures)")
    parser.add_argument("--size", type=int, default=32, help="MiB of data for the large figures")
    parser.add_argument("--file-size", type=int, default=256, metavar="MIB",
                        help="MiB of random data for the file figures")
    parser.add_argument("--file-dir", metavar="DIR",
                        help="where the file figures' temporary directory goes")
    parser.add_argument("--calls", type=int, default=500, help="calls per timing of a small call")
    parser.add_argument("--messages", type=int, default=100_000,
                        help="small messages for the stream figure")
    parser.add_argument("--only", metavar="TEXT", help="only the rows whose name has TEXT")
    parser.add_argument("--core-bench", metavar="PATH", help="the core_bench program to run")
    parser.add_argument("--core-bench-missing", metavar="REASON", help=argparse.SUPPRESS)
    parser.add_argument("--strict", action="store_true",
                        help="exit with status 1 when a figure misses its goal")
    args = parser.parse_args()
    missed = module_table(args)
    core_status = core_table(args)
    if missed:
        print(f"\n{len(missed)} figure(s) missed the goal: " + "; ".join(missed), flush=True)
    if core_status != 0:
        print(f"core_bench failed with status {core_status}", flush=True)
        return 1
    return 1 if missed and args.strict else 0


if __name__ == "__main__":
    sys.exit(main())
