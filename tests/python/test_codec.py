"""encode_bytes and decode_bytes: the format, round trips, every failure, the
names read at call time, and the agreement of the fast and general paths."""
import builtins
import random
import types
import unittest
import zlib

import velkorenc
import oracle
from support import DELETE, DictSub, StrSub, outcome, quiet_seed_reports, rebound

v = velkorenc
KEYS = ["QJX", "k", "ключ", "🔑", "a much longer key than most of the data", "\0x"]


def sample_data():
    rng = random.Random(2024)
    yield b""
    yield b"\x00"
    yield bytes(range(256))
    yield b"abc" * 1000
    yield bytes(rng.randrange(256) for _ in range(1000))
    yield "naïve café ".encode() * 40


def general_dec(tables):
    return tables[0], DictSub(tables[1])


def modes():
    """Ways of running the codec: the fast path, the fast path fed from the
    dicts of a rebound generate_table, and rebindings of the same meaning that
    push the encoder and the decoder onto their general path."""
    original = v.generate_table
    delimiter = v.DELIMITER
    return [
        ("fast", {}),
        ("general", {"DELIMITER": StrSub(delimiter)} if isinstance(delimiter, str) else {}),
        ("tables as dicts", {"generate_table": lambda key="QJX": original(key)}),
        ("general decoder", {"generate_table": lambda key="QJX": general_dec(original(key))}),
    ]


class PathsAgree:
    def assert_outcome(self, call, expected):
        """Runs `call` in every mode; each must give `expected`, an outcome."""
        for mode, names in modes():
            with self.subTest(mode=mode), rebound(**names):
                self.assertEqual(outcome(call), expected)

    def assert_modes_agree(self, call):
        results = []
        for mode, names in modes():
            with rebound(**names):
                results.append((mode, outcome(call)))
        for mode, got in results[1:]:
            self.assertEqual(got, results[0][1], f"{mode} differs from fast")
        return results[0][1]


class Format(unittest.TestCase):
    def test_text_matches_the_oracle(self):
        for data in sample_data():
            for key in KEYS:
                with self.subTest(size=len(data), key=key):
                    self.assertEqual(v.encode_bytes(data, key), oracle.encode_bytes(data, key))

    def test_lengths_and_shape(self):
        empty = v.encode_bytes(b"")
        self.assertEqual(len(empty), 56)
        self.assertEqual(oracle.frame_of_text(empty), b"\x00" + oracle.crc(b"\x00"))
        self.assertEqual(len(v.encode_bytes(b"x")), 65)
        for data in sample_data():
            text = v.encode_bytes(data, "shape")
            self.assertEqual(len(text) % 9, 2)
            self.assertTrue(set(text[12:]) <= set("qz~"))
        texts = [v.encode_bytes(b"same data", key) for key in KEYS]
        self.assertEqual({len(t) for t in texts}, {len(texts[0])})
        self.assertEqual(len(set(texts)), len(texts))

    def test_compression_needs_a_strictly_shorter_stream(self):
        rng = random.Random(5)
        tail = bytes(rng.randrange(256) for _ in range(200))
        found = {}
        for run in range(100):
            data = b"a" * run + tail
            found.setdefault(len(zlib.compress(data, 6)) - len(data), data)
        for difference, flag in [(0, 0), (-1, 1), (-30, 1), (11, 0)]:
            data = found[difference]
            raw = oracle.frame_of_text(v.encode_bytes(data))
            self.assertEqual(raw[0], flag, difference)
            self.assertEqual(raw[1:-4], zlib.compress(data, 6) if flag else data)
            self.assertEqual(v.decode_bytes(v.encode_bytes(data)), data)

    def test_checksum_covers_the_flag_and_the_stored_stream(self):
        data = b"z" * 500
        raw = oracle.frame_of_text(v.encode_bytes(data))
        self.assertEqual(raw[0], 1)
        self.assertEqual(raw[-4:], oracle.crc(b"\x01" + zlib.compress(data, 6)))
        self.assertNotEqual(oracle.crc(b"\x00abc"), oracle.crc(b"\x01abc"))


class RoundTrip(unittest.TestCase):
    def test_seeded_random_inputs(self):
        rng = random.Random(7)
        for round_ in range(150):
            size = rng.choice([0, 1, 2, 3, 4, 5, 8, 9, 63, 64, 255, 256, 257, 4095, 4097,
                               rng.randrange(20000)])
            if rng.random() < 0.5:
                data = bytes(rng.randrange(256) for _ in range(size))
            else:
                data = bytes(rng.choice(b"ab\x00\xff") for _ in range(size))
            key = "".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0xA0, 0x3000),
                                          rng.randrange(0x10000, 0x10FFFF)]))
                          for _ in range(rng.randrange(1, 12)))
            key = key.encode("utf-8", "ignore").decode("utf-8")  # no lone surrogates
            with self.subTest(round=round_, size=size):
                self.assertEqual(v.decode_bytes(v.encode_bytes(data, key), key), data)

    def test_every_byte_value_in_every_position_class(self):
        data = bytes(range(256)) * 9
        for key in KEYS:
            self.assertEqual(v.decode_bytes(v.encode_bytes(data, key), key), data)

    def test_equal_arguments_give_equal_texts(self):
        self.assertEqual(v.encode_bytes(b"again", "k"), v.encode_bytes(data=b"again", key="k"))


VALID = v.encode_bytes(b"some data worth keeping")
TOKENS = VALID[12:].split("~")
FRAME = oracle.frame_of_text(VALID)


def replaced_token(text, index, key="QJX"):
    """`text` with token `index` replaced by the next token of the alphabet."""
    pieces = text[12:].split("~")
    enc, dec = oracle.tables(key)
    pieces[index] = enc[(dec[pieces[index]] + 1) % 256]
    return "VELKORENCV2:" + "~".join(pieces)


def checksum_message(raw):
    fp, ck = raw[:-4], raw[-4:]
    return (f"CRC32 mismatch: expected {zlib.crc32(fp) & 0xFFFFFFFF:08x}, "
            f"got {int.from_bytes(ck, 'big'):08x}")


class DecodeFailures(PathsAgree, unittest.TestCase):
    def check(self, text, expected_type, message, key="QJX"):
        with quiet_seed_reports():
            self.assert_outcome(lambda: v.decode_bytes(text, key), (expected_type, message))

    def test_header(self):
        missing = "Missing header: expected 'VELKORENCV2:'"
        for text in ["", "VELKORENC", "velkorencv2:" + VALID[12:], " " + VALID,
                     "\ufeff" + VALID, "X" + VALID[1:]]:
            with self.subTest(text=text[:20]):
                self.check(text, v.InvalidHeaderError, missing)
        self.check(None, AttributeError, "'NoneType' object has no attribute 'startswith'")

    def test_empty_body(self):
        self.check("VELKORENCV2:", v.DecodeError, "No encoded data found after header")

    def test_pieces_that_are_not_tokens(self):
        cases = [
            (VALID + "\n", TOKENS[-1] + "\n"),
            (VALID + "~", ""),
            ("VELKORENCV2:~", ""),
            ("VELKORENCV2:~" + VALID[12:], ""),
            (VALID[:-3], TOKENS[-1][:-3]),
            (VALID.replace("~", "~~", 1), ""),
            (VALID + "\r", TOKENS[-1] + "\r"),
            (VALID[:30] + "Q" + VALID[31:], "Q" + TOKENS[2][1:]),  # upper case
            (VALID + "é", TOKENS[-1] + "é"),
            (VALID + "€", TOKENS[-1] + "€"),
            ("VELKORENCV2:" + TOKENS[0] + "~zzzzzzz😀", "zzzzzzz😀"),
            ("VELKORENCV2:" + TOKENS[0] + "~bad", "bad"),  # reported before "too short"
        ]
        for text, piece in cases:
            with self.subTest(text=text[-20:]):
                self.check(text, v.InvalidTokenError, f"Unrecognized token: '{piece}'")

    def test_too_short(self):
        for count in range(1, 5):
            text = "VELKORENCV2:" + "~".join(TOKENS[:count])
            self.check(text, v.DecodeError, "Encoded data is too short")

    def test_five_tokens_make_an_empty_payload(self):
        self.assert_outcome(lambda: v.decode_bytes(v.encode_bytes(b"")), ("ok", b""))
        text = oracle.text_of_frame(b"\x00" + oracle.crc(b"\x00"))
        self.assert_outcome(lambda: v.decode_bytes(text), ("ok", b""))

    def test_one_replaced_token_is_a_checksum_error(self):
        compressed = v.encode_bytes(b"compress me " * 50)
        self.assertEqual(oracle.frame_of_text(compressed)[0], 1)
        for text in (VALID, compressed):
            for index in (0, 1, 5, -5, -1):
                damaged = replaced_token(text, index)
                with self.subTest(index=index):
                    self.check(damaged, v.InvalidChecksumError,
                               checksum_message(oracle.frame_of_text(damaged)))

    def test_wrong_key(self):
        for key in ("QJY", "another key", "ключ"):
            with self.subTest(key=key):
                self.check(VALID, v.InvalidChecksumError,
                           checksum_message(oracle.frame_of_text(VALID, key)), key=key)

    def test_checksum_message_pads_with_zeros(self):
        fp = next(b"\x00" + bytes([i, j]) for i in range(256) for j in range(256)
                  if zlib.crc32(b"\x00" + bytes([i, j])) < 0x01000000)
        text = oracle.text_of_frame(fp + b"\x00\x00\x00\x0a")
        expected = f"{zlib.crc32(fp):08x}"
        self.assertTrue(expected.startswith("00"))
        self.check(text, v.InvalidChecksumError, f"CRC32 mismatch: expected {expected}, got 0000000a")

    def test_flags(self):
        empty_stream = oracle.text_of_frame(b"\x01" + oracle.crc(b"\x01"))
        self.assert_outcome(lambda: v.decode_bytes(empty_stream),
                            (zlib.error, "Error -5 while decompressing data: incomplete or "
                                         "truncated stream"))
        bad_stream = oracle.text_of_frame(b"\x01abc" + oracle.crc(b"\x01abc"))
        self.assert_outcome(lambda: v.decode_bytes(bad_stream),
                            (zlib.error, "Error -3 while decompressing data: incorrect header check"))
        for flag in (2, 7, 128, 255):
            fp = bytes([flag]) + b"payload"
            text = oracle.text_of_frame(fp + oracle.crc(fp))
            self.assert_outcome(lambda: v.decode_bytes(text), ("ok", b"payload"))

    def test_keys_that_cannot_transform(self):
        self.check(VALID, AttributeError, "'NoneType' object has no attribute 'encode'", key=None)
        self.check("no header", v.InvalidHeaderError, "Missing header: expected 'VELKORENCV2:'",
                   key=None)
        self.check(VALID, ValueError, "key must not be empty", key="")
        self.check(VALID, UnicodeEncodeError, "'utf-8' codec can't encode character '\\ud800' in "
                   "position 0: surrogates not allowed", key="\ud800")
        self.check(VALID + "~", v.InvalidTokenError, "Unrecognized token: ''", key="")

    def test_random_damage_gives_the_same_outcome_on_every_path(self):
        rng = random.Random(11)
        texts = [v.encode_bytes(bytes(rng.randrange(256) for _ in range(n))) for n in (0, 3, 40)]
        alphabet = "qz~Q\n é€😀"
        for round_ in range(300):
            text = list(rng.choice(texts))
            for _ in range(rng.randrange(1, 4)):
                at = rng.randrange(len(text))
                action = rng.randrange(3)
                if action == 0:
                    text[at] = rng.choice(alphabet)
                elif action == 1:
                    del text[at:at + rng.randrange(1, 10)]
                else:
                    text.insert(at, rng.choice(alphabet))
            damaged = "".join(text)
            got = self.assert_modes_agree(lambda: v.decode_bytes(damaged))
            self.assertIn(got[0], ("ok", v.InvalidHeaderError, v.InvalidTokenError,
                                   v.InvalidChecksumError, v.DecodeError, zlib.error), damaged)


class EncodeFailures(PathsAgree, unittest.TestCase):
    def test_none_arguments(self):
        with quiet_seed_reports():
            self.assert_outcome(lambda: v.encode_bytes(b"x", None),
                            (AttributeError, "'NoneType' object has no attribute 'encode'"))
        self.assert_outcome(lambda: v.encode_bytes(None, None),
                            (TypeError, "a bytes-like object is required, not 'NoneType'"))
        self.assert_outcome(lambda: v.encode_bytes(b"", ""), (ValueError, "key must not be empty"))
        self.assert_outcome(lambda: v.encode_bytes(b"x", "a\udfff"),
                            (UnicodeEncodeError, "'utf-8' codec can't encode character "
                                                 "'\\udfff' in position 1: surrogates not allowed"))


class Recorder:
    """Stands in for zlib and records the calls made on it."""

    def __init__(self, **overrides):
        self.calls = []
        self.overrides = overrides

    def __getattr__(self, name):
        real = self.overrides.get(name, getattr(zlib, name))

        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return real(*args, **kwargs)
        return call


class NamesReadAtCallTime(PathsAgree, unittest.TestCase):
    def roundtrip(self, data=b"round trip data", key="QJX"):
        return v.decode_bytes(v.encode_bytes(data, key), key)

    def test_header(self):
        with rebound(HEADER="Ключ:"):
            text = v.encode_bytes(b"x")
            self.assertTrue(text.startswith("Ключ:"))
            self.assert_outcome(lambda: v.decode_bytes(text), ("ok", b"x"))
            self.assert_outcome(lambda: v.decode_bytes(VALID),
                                (v.InvalidHeaderError, "Missing header: expected 'Ключ:'"))
        with rebound(HEADER=b"V:"):
            self.assert_outcome(lambda: v.encode_bytes(b"x"),
                                (TypeError, "can't concat str to bytes"))
            self.assert_outcome(lambda: v.decode_bytes(VALID), (
                TypeError, "startswith first arg must be str or a tuple of str, not bytes"))
        with rebound(HEADER=("VELKORENCV2:", "X")):
            self.assert_outcome(lambda: v.decode_bytes(VALID),
                                (v.InvalidTokenError, f"Unrecognized token: 'LKORENCV2:{TOKENS[0]}'"))

        class Odd:
            def __add__(self, other):
                return 5
        with rebound(HEADER=Odd()):
            self.assert_outcome(lambda: v.encode_bytes(b"x"), (TypeError, "Expected str, got int"))
        with rebound(HEADER=DELETE):
            self.assert_outcome(lambda: v.encode_bytes(b"x"),
                                (NameError, "name 'HEADER' is not defined"))

    def test_names_missing_from_the_namespace_are_taken_from_builtins(self):
        for name, value in [("HEADER", "FROM BUILTINS:"), ("random", random),
                            ("_BASE_TOKENS", [f"t{i:07d}" for i in range(256)])]:
            with self.subTest(name=name), rebound(**{name: DELETE}):
                setattr(builtins, name, value)
                try:
                    text = v.encode_bytes(b"x")
                    self.assertEqual(v.decode_bytes(text), b"x")
                finally:
                    delattr(builtins, name)
                tokens = value if name == "_BASE_TOKENS" else None
                header = value if name == "HEADER" else oracle.HEADER
                self.assertEqual(text, header + oracle.text_of_frame(
                    oracle.frame(b"x"), tokens=tokens)[len(oracle.HEADER):])

    def test_delimiter(self):
        for delimiter in ("|", "é", "€", "~~", "->"):
            with self.subTest(delimiter=delimiter), rebound(DELIMITER=delimiter):
                text = v.encode_bytes(b"delimited")
                self.assertEqual(text, "VELKORENCV2:" + delimiter.join(
                    oracle.encode_bytes(b"delimited")[12:].split("~")))
                self.assert_modes_agree(lambda: v.decode_bytes(text))
                self.assertEqual(v.decode_bytes(text), b"delimited")
        with rebound(DELIMITER="q"):
            text = v.encode_bytes(b"x")
            self.assertEqual(self.assert_modes_agree(lambda: v.decode_bytes(text))[0],
                             v.InvalidTokenError)
        with rebound(DELIMITER=""):
            self.assertEqual(v.encode_bytes(b"x"), oracle.encode_bytes(b"x").replace("~", ""))
            self.assertEqual(outcome(v.decode_bytes, VALID), (ValueError, "empty separator"))
        with rebound(DELIMITER=None):
            self.assertEqual(outcome(v.encode_bytes, b"x"),
                             (AttributeError, "'NoneType' object has no attribute 'join'"))
            self.assertEqual(outcome(v.decode_bytes, "VELKORENCV2:a b"),
                             (v.InvalidTokenError, "Unrecognized token: 'a'"))

    def test_checksum_size(self):
        fp = b"\x00payload"
        long_check = oracle.text_of_frame(fp + oracle.crc(fp) + b"more")
        for size, expected in [
                (8, ("ok", b"payload")),
                (2, (ValueError, "CHECKSUM_SIZE must be at least 4")),
                (-5, (ValueError, "CHECKSUM_SIZE must be at least 4")),
                (3.0, (ValueError, "CHECKSUM_SIZE must be at least 4")),
                (10**30, (v.DecodeError, "Encoded data is too short")),
                (4.0, (TypeError, "slice indices must be integers or None or have an __index__ "
                                  "method")),
                ("4", (TypeError, 'can only concatenate str (not "int") to str'))]:
            with self.subTest(size=size), rebound(CHECKSUM_SIZE=size):
                self.assert_outcome(lambda: v.decode_bytes(long_check), expected)

        class IntSub(int):
            pass
        with rebound(CHECKSUM_SIZE=IntSub(4)):
            self.assertEqual(self.roundtrip(), b"round trip data")
            self.assertEqual(outcome(v.decode_bytes, replaced_token(VALID, 2))[0],
                             v.InvalidChecksumError)

    def test_flags(self):
        with rebound(_UNCOMPRESSED=7):
            text = v.encode_bytes(b"stored")
            self.assertEqual(oracle.frame_of_text(text)[0], 7)
            self.assertEqual(v.decode_bytes(text), b"stored")
        with rebound(_COMPRESSED=0):
            self.assertEqual(outcome(v.decode_bytes, VALID)[0], zlib.error)
        with rebound(_COMPRESSED=300):
            self.assertEqual(outcome(v.encode_bytes, b"a" * 100),
                             (ValueError, "bytes must be in range(0, 256)"))
            self.assertEqual(v.decode_bytes(VALID), b"some data worth keeping")
        with rebound(_COMPRESSED="1"):
            self.assertEqual(outcome(v.encode_bytes, b"a" * 100)[0], TypeError)

    def test_zlib_calls(self):
        recorder = Recorder()
        with rebound(zlib=recorder):
            text = v.encode_bytes(b"a" * 100)
            raw = oracle.frame_of_text(text)
            self.assertEqual(recorder.calls, [("compress", (b"a" * 100,), {"level": 6}),
                                              ("crc32", (raw[:-4],), {})])
            recorder.calls.clear()
            self.assertEqual(v.decode_bytes(text), b"a" * 100)
            self.assertEqual(recorder.calls, [("crc32", (raw[:-4],), {}),
                                              ("decompress", (raw[1:-4],), {})])
            recorder.calls.clear()
            v.decode_bytes(VALID)
            self.assertEqual([name for name, _, _ in recorder.calls], ["crc32"])

    def test_zlib_results_of_other_types(self):
        def shorter_bytearray(data, level):
            return bytearray(zlib.compress(data, level))
        with rebound(zlib=Recorder(compress=shorter_bytearray)):
            self.assertEqual(outcome(v.encode_bytes, b"a" * 100),
                             (TypeError, "Expected bytes, got bytearray"))
            self.assertEqual(v.decode_bytes(v.encode_bytes(b"abc")), b"abc")  # stored
        # A compress that takes None: the length test then fails on the data,
        # after asking the result for its length.
        with rebound(zlib=Recorder(compress=lambda data, level: b"")):
            self.assertEqual(outcome(v.encode_bytes, None),
                             (TypeError, "object of type 'NoneType' has no len()"))
        with rebound(zlib=Recorder(compress=lambda data, level: 1)):
            self.assertEqual(outcome(v.encode_bytes, None),
                             (TypeError, "object of type 'int' has no len()"))
        with rebound(zlib=Recorder(decompress=lambda payload: "text")):
            self.assertEqual(outcome(v.decode_bytes, v.encode_bytes(b"a" * 100)),
                             (TypeError, "Expected bytes, got str"))
        with rebound(zlib=Recorder(decompress=lambda payload: None)):
            self.assertIsNone(v.decode_bytes(v.encode_bytes(b"a" * 100)))
        with rebound(zlib=Recorder(crc32=lambda data: -1)):
            text = v.encode_bytes(b"x")
            self.assertEqual(oracle.frame_of_text(text)[-4:], b"\xff\xff\xff\xff")
            self.assertEqual(v.decode_bytes(text), b"x")
        with rebound(zlib=Recorder(crc32=lambda data: 1.5)):
            self.assertEqual(outcome(v.encode_bytes, b"x")[0], TypeError)
        with rebound(zlib=DELETE):
            self.assertEqual(outcome(v.encode_bytes, b"x"), (NameError, "name 'zlib' is not defined"))

    def test_generate_table_results(self):
        original = v.generate_table
        cases = [
            (lambda key: ([], {}), "encode", (TypeError, "Expected dict, got list")),
            (lambda key: (None, None), "encode", (TypeError, "'NoneType' object is not subscriptable")),
            (lambda key: (None, None), "decode",
             (TypeError, "argument of type 'NoneType' is not iterable")),
            (lambda key: (original(key)[0], {t: "x" for t in original(key)[1]}), "decode",
             (TypeError, "'str' object cannot be interpreted as an integer")),
            (lambda key: (original(key)[0], {t: 300 for t in original(key)[1]}), "decode",
             (ValueError, "byte must be in range(0, 256)")),
            (lambda key: (original(key)[0], {t: v for t, v in original(key)[1].items()
                                             if t != TOKENS[2]}), "decode",
             (v.InvalidTokenError, f"Unrecognized token: '{TOKENS[2]}'")),
            (lambda key: ({}, {}), "encode", (KeyError, str(oracle.transform(
                oracle.frame(b"x"), "QJX", True)[0]))),
        ]
        for table, which, expected in cases:
            call = (lambda: v.encode_bytes(b"x")) if which == "encode" else (lambda: v.decode_bytes(VALID))
            with self.subTest(expected=expected), rebound(generate_table=table):
                self.assertEqual(outcome(call), expected)

    def test_exception_classes(self):
        for replacement, expected in [
                (KeyError, (KeyError, repr("Missing header: expected 'VELKORENCV2:'"))),
                (5, (TypeError, "'int' object is not callable")),
                (lambda message: "not an exception",
                 (TypeError, "exceptions must derive from BaseException")),
                (lambda message: ValueError, (ValueError, "")),
                (DELETE, (NameError, "name 'InvalidHeaderError' is not defined"))]:
            with self.subTest(replacement=replacement), rebound(InvalidHeaderError=replacement):
                self.assertEqual(outcome(v.decode_bytes, "bad"), expected)

    def test_other_token_alphabets(self):
        tokens = [f"t{i:07d}" for i in range(256)]
        with rebound(_BASE_TOKENS=tokens):
            text = v.encode_bytes(b"foreign tokens")
            self.assertEqual(text, oracle.text_of_frame(oracle.frame(b"foreign tokens"),
                                                        tokens=tokens))
            self.assert_outcome(lambda: v.decode_bytes(text), ("ok", b"foreign tokens"))
            self.assert_outcome(lambda: v.decode_bytes(VALID),
                                (v.InvalidTokenError, f"Unrecognized token: '{TOKENS[0]}'"))
        mixed = list(v._BASE_TOKENS[:255]) + ["tail~tok"]
        with rebound(_BASE_TOKENS=mixed):
            text = v.encode_bytes(bytes(range(256)) * 2)
            self.assertEqual(self.assert_modes_agree(lambda: v.decode_bytes(text))[0],
                             v.InvalidTokenError)
        short = [f"t{i}" for i in range(256)]
        with rebound(_BASE_TOKENS=short):
            text = v.encode_bytes(b"short tokens")
            self.assert_outcome(lambda: v.decode_bytes(text), ("ok", b"short tokens"))



class LinkedZlib(unittest.TestCase):
    """While the namespace's zlib is the interpreter's own, the module calls
    the zlib library itself; its texts and failures must be those of the
    calls it stands in for, and any function replaced on zlib is called."""

    def damaged_streams(self):
        rng = random.Random(11)
        good = zlib.compress(b"some data " * 50, 6)
        yield from (b"", b"\x78", good[:-1], good[:10], good + b"trailing", bytes([0x78, 0xBB, 0, 0, 0, 1]))
        for _ in range(200):
            stream = bytearray(zlib.compress(bytes(rng.randrange(4) for _ in range(rng.randrange(300))), 6))
            for _ in range(rng.randrange(3)):
                stream[rng.randrange(len(stream))] ^= 1 << rng.randrange(8)
            yield bytes(stream[:rng.randrange(len(stream) + 1)])

    def test_same_texts_and_failures_as_the_calls(self):
        through_python = types.SimpleNamespace(compress=zlib.compress, crc32=zlib.crc32,
                                               decompress=zlib.decompress)
        rng = random.Random(12)
        datas = [bytes(rng.randrange(k) for _ in range(n)) for n in range(40) for k in (1, 3, 256)]
        datas += [b"xy" * 40000, bytes(rng.randrange(256) for _ in range(70000))]
        texts = [oracle.text_of_frame(b"\x01" + s + oracle.crc(b"\x01" + s)) for s in self.damaged_streams()]
        direct = [v.encode_bytes(d) for d in datas], [outcome(v.decode_bytes, t) for t in texts]
        with rebound(zlib=through_python):
            called = [v.encode_bytes(d) for d in datas], [outcome(v.decode_bytes, t) for t in texts]
        self.assertEqual(direct[0], [oracle.encode_bytes(d) for d in datas])
        self.assertEqual(direct, called)
        self.assertIn((zlib.error, "Error 2 while decompressing data"), direct[1])

    def test_a_function_replaced_on_zlib_is_called(self):
        text = v.encode_bytes(b"a" * 100)
        for name, call in [("compress", lambda: v.encode_bytes(b"a" * 100)),
                           ("crc32", lambda: v.encode_bytes(b"x")),
                           ("crc32", lambda: v.decode_bytes(text)),
                           ("decompress", lambda: v.decode_bytes(text))]:
            original = getattr(zlib, name)
            calls = []
            setattr(zlib, name, lambda *args, **kwargs: calls.append(args) or original(*args, **kwargs))
            try:
                result = call()
            finally:
                setattr(zlib, name, original)
            with self.subTest(name=name):
                self.assertEqual(len(calls), 1)
                self.assertEqual(result, call())

    def test_modules_changed_after_a_call_are_read_anew(self):
        """What a module held at one call is no guide to the next: an
        attribute set on the interpreter's random, or a module made an
        instance of a class of the caller's, is seen at once."""
        seen = []

        class Watched(types.ModuleType):
            def __getattribute__(self, name):
                seen.append(name)
                return super().__getattribute__(name)

        class Counted(random.Random):
            def __init__(self, seed):
                seen.append("Random")
                super().__init__(seed)

        def random_class_set():
            random.Random = Counted
            return lambda: setattr(random, "Random", Counted.__mro__[1])

        def zlib_class_set():
            zlib.__class__ = Watched
            return lambda: setattr(zlib, "__class__", types.ModuleType)

        for change, expected in [(random_class_set, ["Random", "Random"]),
                                 (zlib_class_set, ["compress", "crc32", "crc32", "decompress"])]:
            with self.subTest(change=change.__name__):
                text = v.encode_bytes(b"m" * 40, "k")
                seen.clear()
                undo = change()
                try:
                    self.assertEqual(v.decode_bytes(v.encode_bytes(b"m" * 40, "k"), "k"), b"m" * 40)
                finally:
                    undo()
                self.assertEqual([n for n in seen if n in expected], expected)
                seen.clear()
                self.assertEqual(v.decode_bytes(text, "k"), b"m" * 40)
                self.assertEqual(seen, [])


if __name__ == "__main__":
    unittest.main()
