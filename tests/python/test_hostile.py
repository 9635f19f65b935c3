"""Callers' objects that run code in the middle of a call and change what the
call is working on: the call must go on as the Python code it stands for
would, or fail with the error that code would raise; never crash or read
what is no longer there."""
import contextlib
import gc
import random
import types
import unittest

import velkorenc
import oracle
from support import DictSub, StrSub, outcome, rebound

v = velkorenc


class PythonRandom(random.Random):
    """The interpreter's generator, as a class of the caller's."""


PYTHON_RANDOM = types.SimpleNamespace(Random=PythonRandom)


def referring_lists(item, but=()):
    return [r for r in gc.get_referrers(item) if type(r) is list and all(r is not b for b in but)]


@contextlib.contextmanager
def lookup_runs(name, action):
    """Makes every lookup of the module-level `name` run `action`: a key
    whose hash is that of `name` goes first on the name's probe path in the
    namespace dict, so the lookup compares the name with it."""
    namespace = vars(v)
    order = list(namespace)

    class Colliding:
        armed = False

        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if Colliding.armed:
                action()
            return False

    key = Colliding()
    value = namespace.pop(name)
    namespace[key] = None
    namespace[name] = value
    Colliding.armed = True
    try:
        yield
    finally:
        Colliding.armed = False
        del namespace[key]
        namespace.update([(n, namespace.pop(n)) for n in order])


class Namespace(unittest.TestCase):
    def test_lookups_that_run_code_are_made_on_every_call(self):
        # A read of the namespace is remembered only while reading it again
        # cannot run code: with a key whose __eq__ runs code, never.
        text = v.encode_bytes(b"data")
        for call, argument in [(v.encode_bytes, b"data"), (v.decode_bytes, text)]:
            with self.subTest(call.__name__):
                compared = []
                counts = []
                with lookup_runs("HEADER", lambda: compared.append(1)):
                    for _ in range(4):
                        before = len(compared)
                        call(argument)
                        counts.append(len(compared) - before)
                self.assertGreater(counts[0], 0)
                self.assertEqual(counts, counts[:1] * 4)


class Shuffle(unittest.TestCase):
    def test_randint_is_looked_up_at_every_position(self):
        class WithoutRandint:
            def __init__(self, seed):
                pass

        with rebound(random=types.SimpleNamespace(Random=WithoutRandint)):
            self.assertEqual(v._shuffle([], "k"), [])
            self.assertEqual(v._shuffle(["only"], "k"), ["only"])
            with self.assertRaises(AttributeError):
                v._shuffle([1, 2], "k")

        class Switching(random.Random):
            def randint(self, a, b):
                # From the next position on, every partner is position 0.
                type(self).randint = lambda self, a, b: 0
                return b

        with rebound(random=types.SimpleNamespace(Random=Switching)):
            self.assertEqual(v._shuffle([1, 2, 3, 4], "k"), [2, 3, 1, 4])

    def test_list_emptied_by_randint(self):
        marker = object()
        items = [marker, 1, 2, 3]

        class Emptying:
            def __init__(self, seed):
                pass

            def randint(self, a, b):
                for copy in referring_lists(marker, but=[items]):
                    copy.clear()
                return 0

        with rebound(random=types.SimpleNamespace(Random=Emptying)):
            self.assertEqual(outcome(v._shuffle, items, "k"),
                             (IndexError, "list index out of range"))
        self.assertEqual(items, [marker, 1, 2, 3])


class Decoder(unittest.TestCase):
    def test_pieces_emptied_by_dec(self):
        original = v.generate_table

        class Emptying(DictSub):
            def __contains__(self, piece):
                for pieces in referring_lists(piece):
                    pieces.clear()
                return super().__contains__(piece)

        text = v.encode_bytes(b"some data")
        with rebound(generate_table=lambda key="QJX": (None, Emptying(original(key)[1]))):
            self.assertEqual(outcome(v.decode_bytes, text),
                             (v.DecodeError, "Encoded data is too short"))


class Encoder(unittest.TestCase):
    def test_tokens_are_those_of_the_table_when_it_was_made(self):
        def corrupt_token_lists():
            base = set(map(id, v._BASE_TOKENS))
            for obj in gc.get_objects():
                if (type(obj) is list and len(obj) == 256 and obj is not v._BASE_TOKENS
                        and all(id(t) in base for t in obj)):
                    obj[:] = range(10**6, 10**6 + 256)

        expected = oracle.encode_bytes(b"some data", "k")
        for names in ({}, {"DELIMITER": StrSub("~")}):
            for looked_up in ("HEADER", "DELIMITER"):
                with self.subTest(names=names, looked_up=looked_up), \
                        rebound(random=PYTHON_RANDOM, **names), \
                        lookup_runs(looked_up, corrupt_token_lists):
                    self.assertEqual(v.encode_bytes(b"some data", "k"), expected)

    def test_list_of_tokens_being_joined_is_whole_when_enc_runs(self):
        original = v.generate_table
        seen = []

        class Colliding:
            """Compared with every byte value looked up in the dict."""
            armed = False

            def __init__(self, value):
                self.value = value

            def __hash__(self):
                return hash(self.value)

            def __eq__(self, other):
                if Colliding.armed:  # every list there is, once
                    Colliding.armed = False
                    seen.extend(len(list(o)) for o in gc.get_objects() if type(o) is list)
                return False

        def tables(key="QJX"):
            enc = {Colliding(b): None for b in range(256)}
            enc.update(original(key)[0])
            Colliding.armed = True
            return enc, None

        with rebound(DELIMITER=StrSub("~"), generate_table=tables):
            self.assertEqual(v.encode_bytes(b"x"), oracle.encode_bytes(b"x"))
        self.assertTrue(seen)

if __name__ == "__main__":
    unittest.main()
