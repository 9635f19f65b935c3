"""Leak hunting in the manner of CPython's -R: every public function, on
success and on every kind of failure, is called in rounds; a case leaks when
the interpreter's allocated blocks, the reference count of an object it
touches, or the number of open file descriptors grows in every measured
round (and one that only shrinks releases a reference it does not own).
Rounds are of many calls, so that a leak of one block in every tenth call
stands out from the few blocks that the interpreter's caches take.

That full measurement is slow, so each case is screened first with short
rounds, where any growth or shrinking of a reference count or descriptor
count shows as plainly (every call repeats the same work), and so does a leak of
blocks, at three or more a round.  A figure that moves in three of the four
rounds makes the case doubtful; only a doubtful case is measured in full, and
only the full measurement can fail it."""
import contextlib
import ctypes
import gc
import itertools
import os
import pathlib
import random
import sys
import tempfile
import types
import unittest
import zlib

import velkorenc
import oracle
from support import DictSub, StrSub, fresh, rebound, run_child, texts_for

v = velkorenc
WARMUP_ROUNDS = 2
MEASURED_ROUNDS = 4
SCREENING_CALLS_PER_ROUND = 30
CALLS_PER_ROUND = 300
# Blocks come and go with the interpreter's caches too: a few per round are
# noise, one in every tenth call is a leak.
LEAK_RATE = 1 / 10


class IntSub(int):
    """An int that is not exactly an int."""


class RandomSub(random.Random):
    """The interpreter's generator as a class of the caller's."""


CALLERS_RANDOM = types.SimpleNamespace(Random=RandomSub)


class Case:
    def __init__(self, name, function, *args, raises=None, names=None, **kwargs):
        self.name, self.function, self.args, self.kwargs = name, function, args, kwargs
        self.raises, self.names = raises, names or {}

    def call(self):
        try:
            self.function(*self.args, **self.kwargs)
        except self.raises or ():
            pass


@contextlib.contextmanager
def silent_seed_reports():
    """The two hooks of the seed report, replaced by ones that keep nothing."""
    saved = sys.excepthook, sys.unraisablehook
    sys.excepthook = lambda *args: None
    sys.unraisablehook = lambda unraisable: None
    try:
        yield
    finally:
        sys.excepthook, sys.unraisablehook = saved


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


class Leaks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        cls.dir = cls.directory.name

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def path(self, name, content=None):
        path = os.path.join(self.dir, name)
        if content is not None:
            with open(path, "wb" if isinstance(content, bytes) else "w") as f:
                f.write(content)
        return fresh(path)

    def watched(self, case):
        """The objects whose reference counts must stay put."""
        objects = {f"argument {i}": a for i, a in enumerate(case.args)}
        objects.update({f"keyword {k}": a for k, a in case.kwargs.items()})
        for name in ("VelkorError", "InvalidHeaderError", "InvalidTokenError",
                     "InvalidChecksumError", "DecodeError", "HEADER", "DELIMITER",
                     "_BASE_TOKENS", "zlib", "random", "_shuffle", "generate_table",
                     "encode_bytes", "decode_bytes"):
            objects[name] = getattr(v, name)
        objects.update({"zlib.error": zlib.error, "Random": v.random.Random})
        return objects

    def snapshot(self, objects):
        counts = {name: sys.getrefcount(o) for name, o in objects.items()}
        counts["tokens"] = sum(sys.getrefcount(t) for t in v._BASE_TOKENS)
        counts["blocks"] = sys.getallocatedblocks()
        counts["descriptors"] = open_descriptors()
        return counts

    def measure(self, case, objects, calls):
        """The change of each snapshot figure over each measured round of
        `calls` calls, after the warm-up rounds."""
        # Only the last snapshot is kept and the deltas go to lists made
        # beforehand, so that measuring keeps no more blocks each round.
        names = list(self.snapshot(objects))
        deltas = {name: [0] * MEASURED_ROUNDS for name in names}
        previous = None
        for r in range(WARMUP_ROUNDS + MEASURED_ROUNDS + 1):
            for _ in range(calls):
                case.call()
            gc.collect()
            current = self.snapshot(objects)
            if r > WARMUP_ROUNDS:
                for name in names:
                    deltas[name][r - WARMUP_ROUNDS - 1] = current[name] - previous[name]
            previous = current
        return deltas

    @staticmethod
    def doubtful(deltas):
        """Whether a screening measurement calls for the full one: a figure
        that moves the same way in all measured rounds but at most one (the
        caches' noise comes as a jump in a single round)."""
        return any(sum(d >= 1 for d in changes) >= MEASURED_ROUNDS - 1
                   or sum(d <= -1 for d in changes) >= MEASURED_ROUNDS - 1
                   for changes in deltas.values())

    def leaks(self, case):
        """What grows or shrinks in every round of the full measurement of
        a case that the screening found doubtful: a list of reports."""
        objects = self.watched(case)
        if not self.doubtful(self.measure(case, objects, SCREENING_CALLS_PER_ROUND)):
            return []
        reports = []
        for name, changes in self.measure(case, objects, CALLS_PER_ROUND).items():
            least = int(LEAK_RATE * CALLS_PER_ROUND) if name == "blocks" else 1
            if all(d >= least for d in changes):
                reports.append(f"{name} grows: {changes}")
            if all(d <= -least for d in changes):
                reports.append(f"{name} shrinks: {changes}")
        return reports

    def assert_no_leak(self, case):
        with self.subTest(case.name), rebound(**case.names), silent_seed_reports():
            # The case must really end the way it is meant to.
            if case.raises:
                self.assertRaises(case.raises, case.function, *case.args, **case.kwargs)
            else:
                case.function(*case.args, **case.kwargs)
            self.assertEqual(self.leaks(case), [])

    def test_seeded_leaks_are_caught(self):
        """The screening lets through none of the leaks the full measurement
        exists to catch, down to one block in every tenth call."""
        kept, descriptors = [], []
        calls, releases = itertools.count(), itertools.count()
        released = fresh("released")
        spare_references = 10_000
        for _ in range(spare_references):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(released))

        def release(obj):
            next(releases)
            ctypes.pythonapi.Py_DecRef(ctypes.py_object(obj))

        try:
            for case, figure in [
                (Case("a block in every tenth call",
                      lambda: next(calls) % 10 or kept.append(object())), "blocks grows"),
                (Case("a reference to an argument", kept.append, fresh("kept")),
                 "argument 0 grows"),
                (Case("a descriptor", lambda: descriptors.append(os.open(os.devnull, os.O_RDONLY))),
                 "descriptors grows"),
                (Case("a reference released", release, released), "argument 0 shrinks"),
            ]:
                with self.subTest(case.name):
                    if figure.startswith("blocks") and sys.getallocatedblocks() == 0:
                        # PYTHONMALLOC=malloc, as under the sanitizers: only
                        # the interpreter's own allocator counts blocks.
                        self.skipTest("no block counts without pymalloc")
                    self.assertIn(figure, " ".join(self.leaks(case)))
        finally:
            for descriptor in descriptors:
                os.close(descriptor)
            for _ in range(spare_references - next(releases)):
                ctypes.pythonapi.Py_DecRef(ctypes.py_object(released))

    def test_keying(self):
        key = fresh("leak key")
        tokens = list(v._BASE_TOKENS)
        for case in [
            Case("version", v.version),
            Case("version with an argument", v.version, 1, raises=TypeError),
            Case("_shuffle", v._shuffle, tokens, key),
            Case("_shuffle of a tuple", v._shuffle, tuple(tokens), key, raises=TypeError),
            Case("_shuffle with a None key", v._shuffle, tokens, None),
            Case("generate_table", v.generate_table, key),
            Case("generate_table by keyword", v.generate_table, key=key),
            Case("generate_table with an int key", v.generate_table, 5, raises=TypeError),
            Case("generate_table with a None key", v.generate_table, None),
            Case("generate_table with a surrogate key", v.generate_table, fresh("k\udc80")),
            Case("generate_table with a str subclass", v.generate_table, StrSub("k"),
                 raises=TypeError),
            Case("generate_table, a generator class of the caller's", v.generate_table, key,
                 names={"random": CALLERS_RANDOM}),
            Case("decode_bytes, a generator class of the caller's", v.decode_bytes,
                 v.encode_bytes(b"data", key), key, names={"random": CALLERS_RANDOM}),
        ]:
            self.assert_no_leak(case)

    def test_bytes_codec(self):
        key = fresh("leak key")
        data = bytes(range(200)) * 3
        cases = [
            Case("encode_bytes", v.encode_bytes, data, key),
            Case("encode_bytes compressing", v.encode_bytes, b"abc" * 300, key),
            Case("encode_bytes by keyword", v.encode_bytes, data=data, key=key),
            Case("encode_bytes of a bytearray", v.encode_bytes, bytearray(data), key,
                 raises=TypeError),
            Case("encode_bytes, too many arguments", v.encode_bytes, data, key, 1,
                 raises=TypeError),
            Case("encode_bytes, unknown keyword", v.encode_bytes, data, kee=key,
                 raises=TypeError),
            Case("encode_bytes, key twice", v.encode_bytes, data, key, key=key, raises=TypeError),
            Case("encode_bytes of None", v.encode_bytes, None, key, raises=TypeError),
            Case("encode_bytes, None key", v.encode_bytes, data, None, raises=AttributeError),
            Case("encode_bytes, surrogate key", v.encode_bytes, data, fresh("\ud800"),
                 raises=UnicodeEncodeError),
            Case("encode_bytes, empty key", v.encode_bytes, data, fresh(""), raises=ValueError),
            Case("encode_bytes, general writer", v.encode_bytes, data, key,
                 names={"DELIMITER": StrSub("~")}),
            Case("decode_bytes of bytes", v.decode_bytes, b"x", key, raises=TypeError),
            Case("decode_bytes of None", v.decode_bytes, None, key, raises=AttributeError),
            Case("decode_bytes, wrong key", v.decode_bytes, v.encode_bytes(data, key),
                 fresh("other key"), raises=v.InvalidChecksumError),
            Case("decode_bytes, None key", v.decode_bytes, v.encode_bytes(data, key), None,
                 raises=AttributeError),
        ]
        for kind, (text, raises) in texts_for(key).items():
            cases.append(Case(f"decode_bytes, {kind}", v.decode_bytes, text, key, raises=raises))
        original = v.generate_table
        general = lambda key="QJX": (original(key)[0], DictSub(original(key)[1]))  # noqa: E731
        for kind in ("compressed", "bad token", "bad checksum"):
            text, raises = texts_for(key)[kind]
            cases.append(Case(f"decode_bytes, general reader, {kind}", v.decode_bytes, text,
                              key, raises=raises, names={"generate_table": general}))
        cases.append(Case("decode_bytes, general frame split", v.decode_bytes,
                          texts_for(key)["stored"][0], key, names={"CHECKSUM_SIZE": IntSub(4)}))
        for case in cases:
            self.assert_no_leak(case)

    def test_text(self):
        key = fresh("leak key")
        text = fresh("naïve text " * 30)
        for case in [
            Case("encode", v.encode, text, key),
            Case("encode of None", v.encode, None, key, raises=AttributeError),
            Case("encode of a surrogate", v.encode, fresh("\ud800"), key,
                 raises=UnicodeEncodeError),
            Case("encode of bytes", v.encode, b"x", raises=TypeError),
            Case("decode", v.decode, v.encode(text, key), key),
            Case("decode, not UTF-8", v.decode, v.encode_bytes(b"\xff\xfe", key), key,
                 raises=v.DecodeError),
            Case("decode, bad checksum", v.decode, texts_for(key)["bad checksum"][0], key,
                 raises=v.InvalidChecksumError),
        ]:
            self.assert_no_leak(case)

    def test_files(self):
        key = fresh("leak key")
        data = b"file content " * 50
        plain = self.path("plain", data)
        encoded = self.path("encoded", oracle.encode_bytes(data, key))
        corrupt = self.path("corrupt", texts_for(key)["bad checksum"][0])
        not_utf8 = self.path("not utf8", b"\xff\xfe")
        out = self.path("out")
        missing = self.path("missing")
        no_dir = self.path("no such directory/out")
        in_place = self.path("in place", data)
        encode_bytes, decode_bytes = v.encode_bytes, v.decode_bytes

        def convert_in_place():
            v.encode_file(in_place, in_place, key)
            v.decode_file(in_place, in_place, key)

        for case in [
            Case("encode_file", v.encode_file, plain, out, key),
            Case("decode_file", v.decode_file, encoded, out, key),
            Case("in place, there and back", convert_in_place),
            Case("encode_file, missing input", v.encode_file, missing, out, key,
                 raises=FileNotFoundError),
            Case("encode_file, directory as input", v.encode_file, self.dir, out, key,
                 raises=IsADirectoryError),
            Case("encode_file, missing output directory", v.encode_file, plain, no_dir, key,
                 raises=FileNotFoundError),
            Case("encode_file, None path", v.encode_file, None, out, key, raises=TypeError),
            Case("encode_file, Path", v.encode_file, pathlib.Path(plain), out, key,
                 raises=TypeError),
            Case("encode_file, None key", v.encode_file, plain, out, None,
                 raises=AttributeError),
            Case("decode_file, bad checksum", v.decode_file, corrupt, out, key,
                 raises=v.InvalidChecksumError),
            Case("decode_file, not UTF-8", v.decode_file, not_utf8, out, key,
                 raises=UnicodeDecodeError),
            Case("decode_file, missing input", v.decode_file, missing, out, key,
                 raises=FileNotFoundError),
            Case("encode_file, the whole file", v.encode_file, plain, out, key,
                 names={"encode_bytes": lambda data, key: encode_bytes(data, key)}),
            Case("decode_file, the whole file", v.decode_file, encoded, out, key,
                 names={"decode_bytes": lambda text, key: decode_bytes(text, key)}),
            Case("encode_file, to a device", v.encode_file, plain, os.devnull, key),
            Case("encode_file, device to device", v.encode_file, os.devnull, os.devnull, key),
            Case("decode_file, from a device", v.decode_file, os.devnull, out, key,
                 raises=v.InvalidHeaderError),
        ]:
            self.assert_no_leak(case)
        with open(in_place, "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(sorted(os.listdir(self.dir)),
                         sorted(["plain", "encoded", "corrupt", "not utf8", "out", "in place"]))

    def test_exception_swallowed_by_a_suppressing_exit_is_released(self):
        result = run_child("""
            import builtins, gc, weakref

            class Unreadable(OSError):
                pass

            swallowed = []

            class Swallowing:
                def __init__(self, path, mode, **kwargs):
                    pass
                def __enter__(self):
                    return self
                def __exit__(self, *exc):
                    return True
                def read(self):
                    exc = Unreadable("unreadable")
                    swallowed.append(weakref.ref(exc))
                    raise exc

            builtins.open = Swallowing
            import velkorenc
            for fn in (velkorenc.encode_file, velkorenc.decode_file):
                try:
                    fn("in", "out")
                except UnboundLocalError:
                    pass
            gc.collect()
            print(len(swallowed), [ref() for ref in swallowed])
        """)
        self.assertEqual(result.stdout, "2 [None, None]\n")


if __name__ == "__main__":
    unittest.main()
