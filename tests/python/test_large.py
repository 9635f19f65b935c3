"""Large inputs: the codec works on them in pieces, without the GIL, and
lets signal handlers run between pieces.  Results around the pieces' edges
are those of the oracle, a decode on every CPU ends as it does on one, and
a long call ends soon after Ctrl-C, leaking nothing."""
import math
import os
import random
import signal
import sys
import threading
import time
import unittest
import zlib

import velkorenc
import oracle
from support import rebound

v = velkorenc
MIB = 1 << 20
# Sizes of the pieces the codec works in: tokens per run of the token
# reader, frame bytes per piece of the transform, CRC and writer, input
# bytes per piece of deflate and of inflate.
RUN_TOKENS = 1 << 16
FRAME_PIECE = MIB
DEFLATE_PIECE = 256 << 10
INFLATE_PIECE = 64 << 10

_COLUMNS = {}


def fast_transform(data, key, forward):
    """oracle.transform, by translation: positions equal modulo
    lcm(256, key length) transform every byte value alike."""
    k = key.encode()
    period = 256 * len(k) // math.gcd(256, len(k))
    if (key, forward) not in _COLUMNS:
        columns = [oracle.transform(bytes([b]) * period, key, forward) for b in range(256)]
        _COLUMNS[key, forward] = [bytes(column[r] for column in columns) for r in range(period)]
    tables = _COLUMNS[key, forward]
    out = bytearray(len(data))
    for r in range(min(period, len(data))):
        out[r::period] = data[r::period].translate(tables[r])
    return bytes(out)


def text_of_frame(frame, key):
    enc, _ = oracle.tables(key)
    return oracle.HEADER + oracle.DELIMITER.join(map(enc.__getitem__,
                                                     fast_transform(frame, key, True)))


def frame_of_text(text, key):
    _, dec = oracle.tables(key)
    body = text[len(oracle.HEADER):].split(oracle.DELIMITER)
    return fast_transform(bytes(map(dec.__getitem__, body)), key, False)


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (type(exc).__name__, str(exc))


class Oracle(unittest.TestCase):
    def test_fast_transform_is_the_oracles(self):
        data = random.Random(1).randbytes(3000)
        for key in ("QJX", "ключ"):
            for forward in (True, False):
                self.assertEqual(fast_transform(data, key, forward),
                                 oracle.transform(data, key, forward))


class PieceEdges(unittest.TestCase):
    def test_encoded_texts_around_the_edges_are_the_oracles(self):
        rng = random.Random(2)
        noise = lambda n: rng.randbytes(n)  # noqa: E731 - stored frames
        words = lambda n: bytes(rng.choice(b"velkor ") for _ in range(n))  # noqa: E731
        cases = [
            # frame bytes 1 + payload + 4 around the pieces of the writer and CRC
            ("stored", noise, FRAME_PIECE - 5, "QJX"),
            ("stored", noise, FRAME_PIECE - 4, "ключ"),
            ("stored", noise, 2 * FRAME_PIECE - 4, "k"),
            # input around the pieces of deflate
            ("compressed", words, DEFLATE_PIECE - 1, "QJX"),
            ("compressed", words, DEFLATE_PIECE, "QJX"),
            ("compressed", words, 2 * DEFLATE_PIECE + 1, "QJX"),
        ]
        for kind, make, size, key in cases:
            with self.subTest(kind=kind, size=size, key=key):
                data = make(size)
                text = v.encode_bytes(data, key)
                self.assertEqual(text, text_of_frame(oracle.frame(data), key))
                self.assertEqual(v.decode_bytes(text, key), data)

    def test_texts_made_before_the_compression_decision(self):
        # Large data whose samples do not compress gets the stored frame's
        # text before deflate ends; what it then needs decides what is used.
        rng = random.Random(6)
        size, sample = 4 * MIB, 32 << 10
        looks_random = bytearray(size)
        for start in (0, size // 2 - sample // 2, size - sample):
            looks_random[start:start + sample] = rng.randbytes(sample)
        cases = [("stored", rng.randbytes(3 * MIB), {}, 0),
                 ("compresses after all", bytes(looks_random), {}, 1),
                 ("another HEADER", rng.randbytes(2 * MIB), {"HEADER": "VELKORENC-V2/"}, 0)]
        for name, data, names, flag in cases:
            with self.subTest(name), rebound(**names):
                frame = oracle.frame(data)
                self.assertEqual(frame[0], flag)
                want = text_of_frame(frame, "QJX")
                want = v.HEADER + want[len(oracle.HEADER):]
                self.assertEqual(v.encode_bytes(data), want)

    def test_decoding_around_the_token_runs_is_the_oracles(self):
        key = "QJX"
        enc, _ = oracle.tables(key)
        rng = random.Random(3)
        # Bytes after the first: the reader's runs split the body after
        # every RUN_TOKENS of them.
        for rest in (RUN_TOKENS - 1, RUN_TOKENS, RUN_TOKENS + 1, 2 * RUN_TOKENS + 1):
            data = rng.randbytes(rest - 4)
            text = v.encode_bytes(data, key)
            self.assertEqual(v.decode_bytes(text, key), data)
        # Damage where the first run ends: the delimiter there, the tokens
        # on either side of it.
        cut = len(oracle.HEADER) + 9 + 9 * RUN_TOKENS - 1
        other = enc[0] if text[cut + 1:cut + 9] != enc[0] else enc[1]
        damaged = {
            "delimiter lost": text[:cut] + "z" + text[cut + 1:],
            "delimiter doubled": text[:cut] + "~" + text[cut:],
            "last token of the run": text[:cut - 1] + "x" + text[cut:],
            "first token of the next run": text[:cut + 1] + "Q" + text[cut + 2:],
            "token swapped after the run": text[:cut + 1] + other + text[cut + 9:],
            "cut after the run": text[:cut],
            "cut inside the next": text[:cut + 5],
        }
        for name, bad in damaged.items():
            with self.subTest(name):
                self.assertEqual(outcome(v.decode_bytes, bad, key),
                                 oracle.decode_outcome(bad, key))

    def test_decompressing_around_the_inflate_pieces(self):
        key = "k"
        rng = random.Random(4)
        data = bytes(rng.choice(b"0123456789abcdef") for _ in range(400_000))
        stream = zlib.compress(data, level=6)
        self.assertGreater(len(stream), 2 * INFLATE_PIECE)
        payloads = [stream, stream + b"after the end", stream[:INFLATE_PIECE],
                    stream[:2 * INFLATE_PIECE + 1], stream[:-1]]
        for payload in payloads:
            with self.subTest(len(payload)):
                fp = b"\x01" + payload
                text = text_of_frame(fp + oracle.crc(fp), key)
                self.assertEqual(outcome(v.decode_bytes, text, key),
                                 outcome(zlib.decompress, payload))


    def test_decompressing_a_payload_many_times_larger(self):
        # The result outgrows the room first made for it, four times the
        # payload, and grows while inflation runs without the GIL.
        rng = random.Random(7)
        data = b"".join(rng.choices([b"spam ", b"eggs ", b"ham ", b"velkor "], k=500_000))
        frame = oracle.frame(data)
        self.assertGreater(len(data), 8 * len(frame))
        self.assertEqual(v.decode_bytes(text_of_frame(frame, "k"), "k"), data)


def on_one_cpu(call, *args):
    """call(*args) on the calling thread pinned to one CPU, which leaves
    the module one thread for it."""
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        return call(*args)
    finally:
        os.sched_setaffinity(0, cpus)


@unittest.skipUnless(hasattr(os, "sched_setaffinity") and len(os.sched_getaffinity(0)) > 1,
                     "one CPU: every call runs on one thread")
class EveryCpu(unittest.TestCase):
    def test_a_large_decode_ends_as_on_one_cpu(self):
        # Nine MiB of text, past the size from which a call takes every CPU.
        data = random.Random(8).randbytes(MIB)
        text = v.encode_bytes(data, "QJX")
        # Four MiB of frame, transformed back after the reading when the key
        # is not ASCII, also take every CPU.
        frame_sized = v.encode_bytes(random.Random(9).randbytes(4 * MIB), "ключ")
        enc, _ = oracle.tables("QJX")
        body = len(oracle.HEADER) + 9  # byte 0's token is read on its own
        cut = body + 9 * RUN_TOKENS - 1  # the delimiter after the first run
        late = len(text) - 3 * 9 - 4
        other = enc[0] if text[cut + 1:cut + 9] != enc[0] else enc[1]
        bad, mismatch = "InvalidTokenError", "InvalidChecksumError"
        cases = {
            "valid": (text, "QJX", "ok"),
            "non-ASCII key, known only after the body": (frame_sized, "ключ", "ok"),
            "wrong key": (text, "QJY", mismatch),
            "CRC mismatch": (text[:cut + 1] + other + text[cut + 9:], "QJX", mismatch),
            "first run": (text[:body + 20] + "x" + text[body + 21:], "QJX", bad),
            "last run": (text[:late] + "x" + text[late + 1:], "QJX", bad),
            "delimiter lost between runs": (text[:cut] + "z" + text[cut + 1:], "QJX", bad),
            "earlier of two": (text[:body + 40] + "x" + text[body + 41:late] + "x"
                               + text[late + 1:], "QJX", bad),
            "wide character in the last run": (text[:late] + "\u0100" + text[late + 1:], "QJX",
                                               bad),
        }
        for name, (encoded, key, kind) in cases.items():
            with self.subTest(name):
                got = outcome(v.decode_bytes, encoded, key)
                self.assertEqual(got[0], kind)
                self.assertEqual(got, on_one_cpu(outcome, v.decode_bytes, encoded, key))
        self.assertEqual(outcome(v.decode_bytes, text, "QJX"), ("ok", data))


def allocator_fill_time(size):
    """Seconds the interpreter's allocator takes, uninterruptibly, to give a
    call `size` bytes: next to nothing, except that its debug hooks (-X dev)
    fill new memory, a page fault a page, which on some machines takes
    longer than the whole call otherwise would."""
    if not (sys.flags.dev_mode or "debug" in os.environ.get("PYTHONMALLOC", "")):
        return 0.0
    started = time.perf_counter()
    filled = b"\0" * size
    elapsed = time.perf_counter() - started
    del filled
    return elapsed


def interrupted_call(call, argument, delay):
    """Calls call(argument) with a signal that raises KeyboardInterrupt, as
    Ctrl-C does, arriving `delay` seconds in (sent by the kernel, so that it
    comes on time whoever holds the GIL); returns whether the call itself
    ended in KeyboardInterrupt, and the seconds from the signal to the end
    of the call."""
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        sent = time.perf_counter() + delay
        signal.setitimer(signal.ITIMER_REAL, delay)
        try:
            call(argument)
        except KeyboardInterrupt:
            return True, time.perf_counter() - sent
        except velkorenc.VelkorError:
            pass
        try:
            time.sleep(5)  # the call ended first: wait for the signal
        except KeyboardInterrupt:
            pass
        return False, None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


@unittest.skipUnless(threading.current_thread() is threading.main_thread(),
                     "signal handlers run on the main thread")
class Interrupts(unittest.TestCase):
    def long_calls(self):
        """(name, names to rebind, call, argument, the memory the call
        allocates before its first piece) for calls that take a while."""
        # Large enough that the call, at its speed, takes long beside the
        # time a loaded machine may hold up one of its pieces.  Words
        # compress: the deflate's parse is at its slowest on them, and the
        # text is made only once it is done.
        rng = random.Random(5)
        words = [bytes(rng.choices(range(97, 123), k=rng.randint(2, 9))) for _ in range(3000)]
        data = b" ".join(rng.choices(words, k=200_000))[:MIB] * 32
        yield "encode_bytes", {}, v.encode_bytes, data, len(data)
        del data
        # Tokens of other characters make the reader take each piece on its
        # own, slower than the letters' readers.
        enc = {i: "%08d" % i for i in range(256)}
        dec = {t: i for i, t in enc.items()}
        text = "".join([oracle.HEADER, "00000000~" * (32_000_000 - 1), "00000000"])
        yield "decode_bytes", {"generate_table": lambda key: (enc, dec)}, v.decode_bytes, \
            text, 32_000_000

    def test_ctrl_c_ends_a_long_call_soon_and_leaks_nothing(self):
        for name, names, call, argument, allocated in self.long_calls():
            with self.subTest(name), rebound(**names):
                whole = math.inf  # what the call takes, at its fastest
                for _ in range(2):
                    started = time.perf_counter()
                    outcome(call, argument)
                    whole = min(whole, time.perf_counter() - started)
                references = sys.getrefcount(argument)
                blocks = None
                for _ in range(2):
                    allocation = allocator_fill_time(allocated)
                    interrupted, waited = interrupted_call(call, argument, whole / 10)
                    self.assertTrue(interrupted, "the call ended before the signal")
                    # Ended soon after it, not when the call would have.
                    self.assertLess(waited, min(1.0, whole / 2) + allocation,
                                    (waited, whole, allocation))
                    if blocks is None:
                        blocks = sys.getallocatedblocks()
                self.assertLess(sys.getallocatedblocks() - blocks, 50)
                self.assertEqual(sys.getrefcount(argument), references)

if __name__ == "__main__":
    unittest.main()
