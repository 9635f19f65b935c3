"""Shared helpers of the Python suite."""
import contextlib
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zlib

import oracle
import velkorenc

BUILD_DIR = os.environ.get("VELKORENC_BUILD_DIR")

DELETE = object()


def _bind(namespace, values):
    for name, value in values.items():
        if value is DELETE:
            namespace.pop(name, None)
        else:
            namespace[name] = value


@contextlib.contextmanager
def rebound(**names):
    """Rebinds module attributes for the duration of a block (the value
    DELETE removes the name), restoring them afterwards."""
    namespace = vars(velkorenc)
    order = list(namespace)
    saved = {name: namespace.get(name, DELETE) for name in names}
    try:
        _bind(namespace, names)
        yield
    finally:
        _bind(namespace, saved)
        # A deleted and restored name went to the end: put the order back.
        if list(namespace) != order:
            moved = [(name, namespace.pop(name)) for name in order if name in namespace]
            namespace.update(moved)


@contextlib.contextmanager
def quiet_seed_reports():
    """Collects what the interpreter's two error hooks are given, instead of
    printing it; yields the (excepthook args, unraisable args) lists."""
    shown, unraisable = [], []
    saved = sys.excepthook, sys.unraisablehook
    sys.excepthook = lambda *args: shown.append(args)
    sys.unraisablehook = unraisable.append
    try:
        yield shown, unraisable
    finally:
        sys.excepthook, sys.unraisablehook = saved


def outcome(call, *args, **kwargs):
    """What a call gives: ('ok', result) or (exception type, message)."""
    try:
        return ("ok", call(*args, **kwargs))
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc), str(exc))


def run_child(code, check=True):
    """Runs `code` in a fresh interpreter, the one running the suite, that
    imports the built module."""
    env = dict(os.environ)
    if BUILD_DIR:
        env["PYTHONPATH"] = BUILD_DIR
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, env=env, timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"child failed ({result.returncode}):\n"
                             f"{result.stdout}\n{result.stderr}")
    return result


class DirectoryCase(unittest.TestCase):
    """A test case with a temporary directory of its own for each test."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)


class StrSub(str):
    """A str that is not exactly a str."""


class DictSub(dict):
    """A dict that is not exactly a dict."""


def fresh(text):
    """An equal str that is a new object, so that its reference count is its
    own and not that of an interned constant."""
    return "".join(list(text))


def texts_for(key):
    """Texts that decode_bytes accepts, and one for each way it refuses a
    text, under `key`: name -> (text, exception class or None)."""
    good = oracle.encode_bytes(b"abc" * 40, key)
    tokens = good[len(oracle.HEADER):].split(oracle.DELIMITER)
    # One token replaced: one byte of the frame changes, which CRC-32 always sees.
    swapped = [next(t for t in oracle.base_tokens() if t != tokens[0])] + tokens[1:]
    return {
        "compressed": (good, None),
        "stored": (oracle.encode_bytes(b"stored bytes", key), None),
        "bad header": ("X" + good[1:], velkorenc.InvalidHeaderError),
        "no data": (oracle.HEADER, velkorenc.DecodeError),
        "bad token": (good + oracle.DELIMITER, velkorenc.InvalidTokenError),
        "short": (oracle.HEADER + oracle.DELIMITER.join(tokens[:4]), velkorenc.DecodeError),
        "bad checksum": (oracle.HEADER + oracle.DELIMITER.join(swapped),
                         velkorenc.InvalidChecksumError),
        "zlib error": (oracle.text_of_frame(b"\x01" + oracle.crc(b"\x01"), key), zlib.error),
    }
