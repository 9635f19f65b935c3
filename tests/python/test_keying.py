"""Seed, shuffle and token tables against the pure-Python oracle."""
import _random
import builtins
import contextlib
import random
import sys
import types
import unittest

import velkorenc
import oracle
from support import DELETE, outcome, quiet_seed_reports, rebound, run_child

v = velkorenc

KEYS = ["", "\0", "\0\0\0", "QJX", "a", "ключ", "🔑 key", "x" * 10_000,
        "".join(chr(0x20 + (i * 7919) % 0x2FF0) for i in range(300))]


class Shuffle(unittest.TestCase):
    def test_matches_the_oracle(self):
        items = list(range(256))
        for key in KEYS:
            with self.subTest(key=key[:20]):
                self.assertEqual(velkorenc._shuffle(items, key), oracle.shuffle(items, key))

    def test_empty_and_nul_keys_give_seed_zero(self):
        items = list(range(50))
        expected = oracle.shuffle(items, seed=0)
        for key in ("", "\0", "\0" * 9):
            self.assertEqual(velkorenc._shuffle(items, key), expected)

    def test_result_is_a_new_list_of_the_same_objects(self):
        items = [object() for _ in range(20)]
        before = list(items)
        result = velkorenc._shuffle(items, "k")
        self.assertIsNot(result, items)
        self.assertEqual(items, before)
        self.assertEqual(sorted(map(id, result)), sorted(map(id, items)))
        for small in ([], ["only"]):
            copy = velkorenc._shuffle(small, "k")
            self.assertEqual(copy, small)
            self.assertIsNot(copy, small)

    def test_global_generator_is_untouched(self):
        random.seed(1234)
        state = random.getstate()
        first = velkorenc._shuffle(list(range(30)), "k")
        self.assertEqual(random.getstate(), state)
        random.seed(99)
        self.assertEqual(velkorenc._shuffle(list(range(30)), "k"), first)


class RecordingRandom(random.Random):
    calls = []

    def __init__(self, seed):
        RecordingRandom.calls.append(("Random", seed))
        super().__init__(seed)

    def randint(self, a, b):
        RecordingRandom.calls.append(("randint", a, b))
        return super().randint(a, b)


class RandomIsReadAtCallTime(unittest.TestCase):
    def calls_for(self, items, key="k"):
        RecordingRandom.calls = []
        with rebound(random=types.SimpleNamespace(Random=RecordingRandom)):
            result = velkorenc._shuffle(items, key)
        return result, RecordingRandom.calls

    def test_one_generator_and_one_randint_per_position(self):
        seed = oracle.key_to_seed("k")
        self.assertEqual(self.calls_for([])[1], [("Random", seed)])
        self.assertEqual(self.calls_for([1])[1], [("Random", seed)])
        self.assertEqual(self.calls_for([1, 2])[1], [("Random", seed), ("randint", 0, 1)])
        result, calls = self.calls_for(list(range(256)))
        self.assertEqual(calls, [("Random", seed)] + [("randint", 0, i) for i in range(255, 0, -1)])
        self.assertEqual(result, oracle.shuffle(range(256), "k"))

    def test_rebinding_random_changes_the_order(self):
        class Reversing:
            def __init__(self, seed):
                pass

            def randint(self, a, b):
                return a

        expected = list(range(10))
        for i in range(9, 0, -1):  # each position swapped with position 0
            expected[i], expected[0] = expected[0], expected[i]
        with rebound(random=types.SimpleNamespace(Random=Reversing)):
            self.assertEqual(velkorenc._shuffle(list(range(10)), "k"), expected)
            tables = velkorenc.generate_table("k")
        self.assertNotEqual(tables, velkorenc.generate_table("k"))

    def test_draws_are_indexed_like_list_positions(self):
        class Drawing:
            def __init__(self, seed):
                pass

            def randint(self, a, b):
                return self.value

        def shuffle_with(value):
            Drawing.value = value
            with rebound(random=types.SimpleNamespace(Random=Drawing)):
                return velkorenc._shuffle([0, 1, 2], "k")

        # -1 counts from the end: position 2 stays, then 1 and 2 swap.
        self.assertEqual(shuffle_with(-1), [0, 2, 1])
        for value, expected in [(3, IndexError), (-4, IndexError), ("x", TypeError),
                                (2**40, OverflowError)]:
            with self.subTest(value=value), self.assertRaises(expected):
                shuffle_with(value)

    def test_missing_random_is_a_name_error(self):
        with rebound(random=DELETE):
            with self.assertRaisesRegex(NameError, "^name 'random' is not defined$"):
                velkorenc._shuffle([1, 2], "k")


class UnencodableKeys(unittest.TestCase):
    """A key without a UTF-8 form is reported on both hooks and gives seed 0."""

    def hooks_during(self, call):
        with quiet_seed_reports() as (shown, unraisable):
            result = call()
        return result, shown, unraisable

    def test_none_and_surrogate_keys(self):
        items = list(range(40))
        for key, exc_type, message in [
                (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
                ("a\ud800", UnicodeEncodeError, "surrogates not allowed")]:
            with self.subTest(key=key):
                result, shown, unraisable = self.hooks_during(
                    lambda: velkorenc._shuffle(items, key))
                self.assertEqual(result, velkorenc._shuffle(items, ""))
                self.assertEqual(len(shown), 1)
                self.assertIs(shown[0][0], exc_type)
                self.assertIn(message, str(shown[0][1]))
                self.assertEqual(len(unraisable), 1)
                self.assertIs(unraisable[0].exc_type, exc_type)
                self.assertEqual(unraisable[0].object, "velkorenc._key_to_seed")
                self.assertIsNone(unraisable[0].err_msg)

    def test_generate_table_with_none_key_equals_the_empty_key(self):
        tables, shown, unraisable = self.hooks_during(lambda: velkorenc.generate_table(None))
        self.assertEqual(tables, velkorenc.generate_table(""))
        self.assertEqual(tables, oracle.tables("", seed=0))
        self.assertEqual((len(shown), len(unraisable)), (1, 1))

    def test_reports_reach_standard_error(self):
        result = run_child("""
            import velkorenc
            assert velkorenc._shuffle([1, 2, 3], None) == velkorenc._shuffle([1, 2, 3], "")
            print("done")
        """)
        self.assertEqual(result.stdout, "done\n")
        self.assertEqual(result.stderr.count("AttributeError: 'NoneType' object has no "
                                             "attribute 'encode'"), 2)
        self.assertIn("Exception ignored in: 'velkorenc._key_to_seed'", result.stderr)


class GenerateTable(unittest.TestCase):
    def test_matches_the_oracle(self):
        for key in KEYS:
            with self.subTest(key=key[:20]):
                self.assertEqual(velkorenc.generate_table(key), oracle.tables(key))

    def test_shape(self):
        enc, dec = tables = velkorenc.generate_table("shape")
        self.assertIs(type(tables), tuple)
        self.assertEqual(list(enc), list(range(256)))
        self.assertEqual(list(dec.values()), list(range(256)))
        self.assertEqual(sorted(enc.values()), sorted(velkorenc._BASE_TOKENS))
        base_ids = set(map(id, velkorenc._BASE_TOKENS))
        self.assertTrue(all(id(token) in base_ids for token in enc.values()))
        for value, token in enc.items():
            self.assertEqual(dec[token], value)
        self.assertNotIn("ZZZZZZZZ", dec)

    def test_fresh_equal_tables_on_every_call(self):
        a, b = velkorenc.generate_table(), velkorenc.generate_table("QJX")
        self.assertEqual(a, b)
        self.assertIsNot(a[0], b[0])
        self.assertIsNot(a[1], b[1])

    def test_names_are_read_at_call_time(self):
        with rebound(_shuffle=lambda items, key: list(reversed(items))):
            enc, dec = velkorenc.generate_table("k")
        self.assertEqual(enc[0], "qqqqqqqq")
        tokens = [f"t{i:07d}" for i in range(256)]
        with rebound(_BASE_TOKENS=tokens):
            enc, _ = velkorenc.generate_table("k")
        self.assertEqual(sorted(enc.values()), tokens)
        for name in ("_shuffle", "_BASE_TOKENS"):
            with rebound(**{name: DELETE}):
                with self.assertRaisesRegex(NameError, f"^name '{name}' is not defined$"):
                    velkorenc.generate_table("k")

    def test_short_or_foreign_alphabets(self):
        text = velkorenc.encode_bytes(b"x")
        for size in (0, 100, 255):
            with rebound(_BASE_TOKENS=velkorenc._BASE_TOKENS[:size]):
                for call in (lambda: velkorenc.generate_table("k"),
                             lambda: velkorenc.encode_bytes(b"x"),
                             lambda: velkorenc.decode_bytes(text)):
                    with self.subTest(size=size):
                        self.assertEqual(outcome(call), (IndexError, "list index out of range"))
        with rebound(_BASE_TOKENS=tuple(velkorenc._BASE_TOKENS)):
            with self.assertRaisesRegex(TypeError, "expected list, got tuple"):
                velkorenc.generate_table("k")
        with rebound(_shuffle=lambda items, key: {i: str(i) for i in range(256)}):
            enc, dec = velkorenc.generate_table("k")
        self.assertEqual(enc[7], "7")
        with rebound(_shuffle=lambda items, key: [[]] * 256):
            with self.assertRaisesRegex(TypeError, "unhashable type: 'list'"):
                velkorenc.generate_table("k")


def key_for_seed(seed):
    """A key whose seed is `seed`: its base-31 digits as characters."""
    digits = []
    while seed:
        seed, digit = divmod(seed, 31)
        digits.append(chr(digit))
    return "".join(reversed(digits))


def counting_randint(call):
    """call() and the number of times Random.randint ran as Python code."""
    count = 0

    def profile(frame, event, arg):
        nonlocal count
        if event == "call" and frame.f_code.co_qualname == "Random.randint":
            count += 1
    saved = sys.getprofile()
    sys.setprofile(profile)
    try:
        return outcome(call), count
    finally:
        sys.setprofile(saved)


class WidthRecording(random.Random):
    """The interpreter's generator as a class of the caller's, which notes the
    getrandbits widths that randint draws."""
    widths = set()

    def getrandbits(self, k):
        WidthRecording.widths.add(k)
        return super().getrandbits(k)


PYTHON_RANDOM = types.SimpleNamespace(Random=WidthRecording)


@contextlib.contextmanager
def patched(target, name, value):
    """target.name = value for a block.  A class or module gets back what it
    had of its own (or loses the name); any other object gets back the value
    its attribute had."""
    own = isinstance(target, (type, types.ModuleType))
    saved = vars(target).get(name, DELETE) if own else getattr(target, name)
    setattr(target, name, value)
    try:
        yield
    finally:
        if saved is DELETE:
            delattr(target, name)
        else:
            setattr(target, name, saved)


class NativeGenerator(unittest.TestCase):
    """While random.Random is the interpreter's own and untouched, the shuffle
    runs on a generator of the module's own; it must give what the calls on
    the interpreter's give, and anything replaced must take those calls."""

    def test_agrees_with_the_interpreter_on_many_keys(self):
        rng = random.Random(31)
        keys = [key_for_seed(s) for s in (0, 1, 2, 2**31 - 2, 2**31 - 1)] + KEYS[:-1] + [
            "".join(chr(rng.choice([rng.randrange(0x80), rng.randrange(0x80, 0x11000)]))
                    for _ in range(rng.choice([1, 2, 5, 40, 1000])))
            for _ in range(150)]
        keys = [k.encode("utf-8", "ignore").decode() for k in keys]
        self.assertEqual({oracle.key_to_seed(k) for k in keys[:5]}, {0, 1, 2, 2**31 - 2, 2**31 - 1})
        sizes = [0, 1, 2, 3, 4, 5, 8, 9, 17, 64, 65, 129, 256, 300, 513]
        WidthRecording.widths.clear()
        for key in keys:
            native = counting_randint(lambda: (v.generate_table(key), v._shuffle(sizes, key),
                                               [v._shuffle(list(range(n)), key) for n in sizes]))
            with rebound(random=PYTHON_RANDOM):
                python = counting_randint(lambda: (v.generate_table(key), v._shuffle(sizes, key),
                                                   [v._shuffle(list(range(n)), key) for n in sizes]))
            self.assertEqual(native[0], python[0], key[:20])
            self.assertEqual(native[1], 0)
            self.assertEqual(python[1], 255 + len(sizes) - 1 + sum(max(n - 1, 0) for n in sizes))
        self.assertEqual(native[0][1][0], oracle.tables(key))
        self.assertEqual(WidthRecording.widths, set(range(2, 11)))

    def test_texts_errors_and_reports_agree(self):
        text = oracle.encode_bytes(b"agree", "k")
        cases = [(v.encode_bytes, b"agree", "k"), (v.encode_bytes, b"x" * 300, "ключ"),
                 (v.encode_bytes, b"x", None), (v.encode_bytes, b"x", "\ud800"),
                 (v.encode_bytes, b"x", ""), (v.decode_bytes, text, "k"),
                 (v.decode_bytes, text, "other"), (v.decode_bytes, text, None),
                 (v.decode_bytes, text, "\udfff"), (v.generate_table, None),
                 (v._shuffle, [1, 2, 3], "\ud800"), (v.encode, "agree", "k"),
                 (v.decode, oracle.encode_bytes("agree".encode(), "k"), "k")]
        for function, *args in cases:
            with self.subTest(function=function.__name__, args=args):
                with quiet_seed_reports() as native_reports:
                    native = counting_randint(lambda: function(*args))
                with quiet_seed_reports() as python_reports, rebound(random=PYTHON_RANDOM):
                    python = counting_randint(lambda: function(*args))
                self.assertEqual(native[0], python[0])
                self.assertEqual([len(r) for r in native_reports], [len(r) for r in python_reports])
                self.assertEqual(native[1], 0)

    def test_whatever_the_shuffle_reaches_when_replaced_takes_the_python_calls(self):
        R = random.Random
        originals = {name: getattr(R, name) for name in ("randint", "randrange", "_randbelow",
                                                          "seed", "__init__")}
        base_getrandbits = _random.Random.getrandbits
        base_new = _random.Random.__new__
        real_isinstance = isinstance

        class Sub(R):
            pass

        def replaced(name):
            original = originals[name]
            return patched(R, name, lambda self, *args: original(self, *args))

        cases = [
            ("random.Random is a subclass", patched(random, "Random", Sub)),
            ("namespace's random is another module", rebound(random=PYTHON_RANDOM)),
            ("Random.randint", replaced("randint")),
            ("Random.randrange", replaced("randrange")),
            ("Random._randbelow", replaced("_randbelow")),
            ("Random.seed", replaced("seed")),
            ("Random.__init__", replaced("__init__")),
            ("Random.__new__", patched(
                R, "__new__", staticmethod(lambda cls, *args: base_new(cls, *args)))),
            ("Random.getrandbits", patched(
                R, "getrandbits", lambda self, k: base_getrandbits(self, k))),
            ("_random.Random.getrandbits", patched(
                _random.Random, "getrandbits", lambda self, k: base_getrandbits(self, k))),
            ("Random.gauss_next as a property", patched(
                R, "gauss_next", property(lambda self: None, lambda self, value: None))),
            ("Random.__getattribute__", patched(
                R, "__getattribute__", lambda self, name: object.__getattribute__(self, name))),
            ("randint.__code__", patched(R.randint, "__code__", R.randint.__code__.replace())),
            ("randrange.__defaults__", patched(R.randrange, "__defaults__", (None, 1))),
            ("randrange.__kwdefaults__", patched(R.randrange, "__kwdefaults__", {})),
            ("super()'s class cell of seed", patched(
                R.seed.__closure__[0], "cell_contents", _random.Random)),
            ("random._index", patched(random, "_index", lambda x: x.__index__())),
            ("random shadows isinstance", patched(random, "isinstance", isinstance)),
            ("builtins.isinstance", patched(
                builtins, "isinstance", lambda o, t: real_isinstance(o, t))),
            ("builtins.int", patched(builtins, "int", type("IntSub", (int,), {}))),
        ]
        native = v.generate_table("k")
        for name, patch in cases:
            with self.subTest(name):
                with patch:
                    got, calls = counting_randint(lambda: v.generate_table("k"))
                    expected = outcome(oracle.tables, "k")
                self.assertEqual(got, expected)
                if got[0] == "ok":
                    self.assertEqual(got[1], native)
                    self.assertEqual(calls, 255)
                # Put back as it was, the class is used natively again.
                self.assertEqual(counting_randint(lambda: v.generate_table("k")), (("ok", native), 0))


if __name__ == "__main__":
    unittest.main()
