"""Allocation failures: with the n-th allocation of a call made to fail, for
every n up to the number of allocations that the call makes, the call ends in
MemoryError or gives exactly the result it gives without the failure; never a
crash, another exception or a wrong result.  Loading the module is tried the
same way, in a fresh fork of a child process for each n."""
import contextlib
import functools
import io
import itertools
import json
import os
import random
import sys
import tempfile
import types
import unittest
import warnings

import _testcapi

import velkorenc
import oracle
from support import fresh, quiet_seed_reports, rebound, run_child, texts_for

v = velkorenc
# Allocations past the last one that a call makes change nothing; this many
# clean runs in a row show that n has gone past it.
CLEAN_RUNS_TO_STOP = 100
MAX_ALLOCATIONS = 20_000

MEMORY = ("MemoryError",)


def quiet_stderr():
    """Catches what the interpreter writes straight to stderr when it cannot
    hand a report to the hooks (building the unraisable hook's arguments ran
    out of memory)."""
    return contextlib.redirect_stderr(io.StringIO())


def outcome(result=None, exc=None):
    """('ok', result), MEMORY, or (exception type, message, type of the
    context), to be formed while allocations succeed."""
    if exc is None:
        return ("ok", result)
    if isinstance(exc, MemoryError):
        return MEMORY
    if isinstance(exc, RuntimeError) and str(exc).startswith("can't allocate"):
        # The interpreter's own lock allocation (import system, file
        # objects) reports its failure this way.
        return MEMORY
    return (type(exc), str(exc), type(exc.__context__))


def failing_at(n, call):
    """The outcome of call() while allocation n, counted from here, fails
    (n = None: none fails).  `call` is a C callable (a partial of a module
    function): no Python frame may sit between the hooks and the module, as
    the interpreter itself turns a failure to record a traceback entry for
    such a frame into a SystemError."""
    if n is not None:
        _testcapi.set_nomemory(n, n + 1)
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        caught = exc
    else:
        caught = None
    finally:
        _testcapi.remove_mem_hooks()
    return outcome(result, None) if caught is None else outcome(None, caught)


class Calls(unittest.TestCase):
    def sweep(self, function, *args, judge=None, after=None, calls=None):
        """Calls function(*args) with each allocation in turn made to fail,
        until the failures no longer reach it.  `judge(got, expected)`
        classes an outcome as "clean" or "failed" (the default allows only
        MemoryError and the expected outcome); `after(got)` runs after every
        call; `calls` gives a new C callable for every call instead."""
        def plain(got, expected):
            if got == MEMORY:
                return "failed"
            self.assertEqual(got, expected)
            return "clean"

        judge = judge or plain
        calls = calls or itertools.repeat(functools.partial(function, *args))
        expected = failing_at(None, next(calls))
        self.assertNotEqual(expected, MEMORY)
        if after:
            after(expected)
        clean = failed = n = 0
        while clean < CLEAN_RUNS_TO_STOP:
            self.assertLess(n, MAX_ALLOCATIONS, "the call never stops allocating")
            got = failing_at(n, next(calls))
            try:
                verdict = judge(got, expected)
                if after:
                    after(got)
            except AssertionError as exc:
                raise AssertionError(f"with allocation {n} failing: {exc}; {got!r}") from None
            if verdict == "clean":
                clean += 1
            else:
                clean = 0
                failed += 1
            n += 1
        # The sweep did reach allocations that the call makes.
        self.assertGreater(failed, 0)

    def test_codec(self):
        key = fresh("mem key")
        texts = texts_for(key)
        for name, function, *args in [
            ("encode", v.encode, "small text to encode", key),
            ("encode_bytes compressing", v.encode_bytes, b"abc" * 40, key),
            ("encode_bytes storing", v.encode_bytes, b"stored bytes", key),
            ("decode", v.decode, v.encode("small text", key), key),
            ("decode_bytes compressed", v.decode_bytes, texts["compressed"][0], key),
            ("decode_bytes, bad token", v.decode_bytes, texts["bad token"][0], key),
            ("decode_bytes, short", v.decode_bytes, texts["short"][0], key),
            ("decode_bytes, bad checksum", v.decode_bytes, texts["bad checksum"][0], key),
            ("decode_bytes, zlib error", v.decode_bytes, texts["zlib error"][0], key),
            ("decode, not UTF-8", v.decode, v.encode_bytes(b"\xff", key), key),
            ("generate_table", v.generate_table, key),
            ("_shuffle", v._shuffle, list(range(50)), key),
        ]:
            with self.subTest(name):
                self.sweep(function, *args)
        # A generator class of the caller's and tokens that are not words:
        # the table is made from the tokens as the shuffle left them.
        with rebound(random=types.SimpleNamespace(Random=type("Sub", (random.Random,), {})),
                     _BASE_TOKENS=[f"\xe9{i:07d}" for i in range(256)]):
            self.sweep(v.encode_bytes, b"x", key)

    def test_seed_report(self):
        # A None key is reported and shuffles as the empty key does; the
        # report itself may run out of memory, the shuffle must not go wrong.
        with quiet_seed_reports(), quiet_stderr():
            self.sweep(v.generate_table, None)

    def test_key_without_utf8_form_yet(self):
        # The seed of a key whose UTF-8 form has not been made yet needs an
        # allocation.  When that one fails, the failure is reported and the
        # seed is 0, as for any key whose seed cannot be derived.
        seed_zero = ("ok", v.generate_table(""))
        degraded = []
        with quiet_seed_reports() as (shown, unraisable), quiet_stderr():
            def judge(got, expected):
                reported = len(unraisable)
                shown.clear()
                unraisable.clear()
                if got == MEMORY:
                    return "failed"
                if got == seed_zero and reported:
                    degraded.append(got)
                    return "failed"
                self.assertEqual((got, reported), (expected, 0))
                return "clean"
            self.sweep(None, judge=judge, calls=(functools.partial(v.generate_table, fresh("ключ"))
                                                 for _ in itertools.count()))
        self.assertTrue(degraded)

    def test_files(self):
        # A failure before a with block has entered its file leaves the file
        # to be closed as it is released, with a ResourceWarning, as in a
        # with statement; the descriptors must all be closed in the end.
        descriptors = len(os.listdir("/proc/self/fd"))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            self.convert_files()
        self.assertEqual(len(os.listdir("/proc/self/fd")), descriptors)

    def convert_files(self):
        key = fresh("mem key")
        data = b"file content " * 20
        encoded = oracle.encode_bytes(data, key).encode()
        with tempfile.TemporaryDirectory() as directory:
            source, text, out = (os.path.join(directory, name) for name in ("in", "text", "out"))

            def write(path, content):
                with open(path, "wb") as f:
                    f.write(content)

            def output_then_remove(expected):
                def after(got):
                    if got == ("ok", None):
                        with open(out, "rb") as f:
                            self.assertEqual(f.read(), expected)
                    if os.path.exists(out):
                        os.remove(out)
                return after

            write(source, data)
            write(text, encoded)
            self.sweep(v.encode_file, source, out, key, after=output_then_remove(encoded))
            self.sweep(v.decode_file, text, out, key, after=output_then_remove(data))

            # In place: whatever fails, the file holds the old or the new
            # content whole, and no temporary file is left behind.
            def check_and_restore(got):
                with open(source, "rb") as f:
                    self.assertIn(f.read(), (encoded, data) if got == MEMORY else (encoded,))
                self.assertEqual(sorted(os.listdir(directory)), ["in", "text"])
                write(source, data)
            self.sweep(v.encode_file, source, source, key, after=check_and_restore)


# A child process that forks once per n: each fork loads the module for the
# first time with allocation n failing, then checks what it got and exits
# with 0 (loaded at once) or 3 (MemoryError, then loaded on a second try).
LOAD_CHILD = """
    import json, os, sys, zlib, random, typing, _testcapi

    def load(n):
        _testcapi.set_nomemory(n, n + 1)
        try:
            import velkorenc
        except MemoryError:
            first = 3
        except RuntimeError as exc:  # the import system's own lock, before the module
            _testcapi.remove_mem_hooks()
            assert str(exc) == "can't allocate lock", exc
            first = 3
        else:
            first = 0
        _testcapi.remove_mem_hooks()
        # Loaded whole despite the failure, or loadable again after it.
        import velkorenc as v
        assert list(vars(v)) == {names!r}, list(vars(v))
        assert v.encode({text!r}, {key!r}) == {encoded!r}
        assert v.decode({encoded!r}, {key!r}) == {text!r}
        assert v.VelkorError.__bases__ == (Exception,)
        assert v.DecodeError.__bases__ == (v.VelkorError,)
        return first

    outcomes, clean = [], 0
    while clean < {clean_runs} and len(outcomes) < {limit}:
        n = len(outcomes)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = load(n)
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(code)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        outcomes.append(status)
        clean = clean + 1 if status == 0 else 0
    print(json.dumps(outcomes))
"""


class Loading(unittest.TestCase):
    @unittest.skipIf(sys.version_info[:3] == (3, 13, 0),
                     "CPython 3.13.0 itself fails here before the module runs: a crash in the "
                     "import machinery (a weakref callback of the module lock, at allocation "
                     "14), and `from typing import ...` turning a MemoryError into SystemError")
    def test_load_with_each_allocation_failing(self):
        text, key = "loaded", "load key"
        result = run_child(LOAD_CHILD.format(names=list(vars(v)), text=text, key=key,
                                             encoded=v.encode(text, key),
                                             clean_runs=CLEAN_RUNS_TO_STOP,
                                             limit=MAX_ALLOCATIONS))
        outcomes = json.loads(result.stdout)
        # Anything but 0 and 3 is a failed check (1) or a crash (a signal).
        odd = {n: status for n, status in enumerate(outcomes) if status not in (0, 3)}
        self.assertEqual(odd, {}, result.stderr[-3000:])
        self.assertIn(3, outcomes)
        self.assertEqual(outcomes[-CLEAN_RUNS_TO_STOP:], [0] * CLEAN_RUNS_TO_STOP)


if __name__ == "__main__":
    unittest.main()
