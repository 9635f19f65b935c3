"""The argument binder shared by every function, and the exact-type test."""
import pathlib
import unittest

import _testcapi

import velkorenc
from support import StrSub

v = velkorenc
TEXT = v.encode_bytes(b"binding")


class Arity(unittest.TestCase):
    CASES = [
        # (function, args, kwargs, message)
        (v._shuffle, (), {}, "_shuffle() takes exactly 2 positional arguments (0 given)"),
        (v._shuffle, ([],), {}, "_shuffle() takes exactly 2 positional arguments (1 given)"),
        (v._shuffle, ([], "k", 1), {}, "_shuffle() takes exactly 2 positional arguments (3 given)"),
        (v.generate_table, ("a", "b"), {},
         "generate_table() takes at most 1 positional argument (2 given)"),
        (v.encode_bytes, (), {}, "encode_bytes() takes at least 1 positional argument (0 given)"),
        (v.encode_bytes, (b"", "k", 1), {},
         "encode_bytes() takes at most 2 positional arguments (3 given)"),
        (v.decode_bytes, (), {}, "decode_bytes() takes at least 1 positional argument (0 given)"),
        (v.encode, ("a", "b", "c"), {}, "encode() takes at most 2 positional arguments (3 given)"),
        (v.decode, (), {}, "decode() takes at least 1 positional argument (0 given)"),
        (v.encode_file, ("a",), {}, "encode_file() takes at least 2 positional arguments (1 given)"),
        (v.encode_file, ("a", "b", "c", "d"), {},
         "encode_file() takes at most 3 positional arguments (4 given)"),
        (v.decode_file, (), {}, "decode_file() takes at least 2 positional arguments (0 given)"),
        # Keywords that leave a required parameter missing: the count is that
        # of the required parameters before the first missing one.
        (v.encode_file, (), {"output_path": "b"},
         "encode_file() takes at least 2 positional arguments (0 given)"),
        (v.encode_file, ("a",), {"key": "k"},
         "encode_file() takes at least 2 positional arguments (1 given)"),
        (v.encode_file, ("a",), {"nope": 1},
         "encode_file() takes at least 2 positional arguments (1 given)"),
        (v._shuffle, (), {"key": "k"}, "_shuffle() takes exactly 2 positional arguments (0 given)"),
        (v._shuffle, ([],), {"items": []},
         "_shuffle() takes exactly 2 positional arguments (1 given)"),
        (v.encode_bytes, (), {"key": "k"},
         "encode_bytes() takes at least 1 positional argument (0 given)"),
        (v.encode_bytes, ("a", "b", "c"), {"key": "k"},
         "encode_bytes() takes at most 2 positional arguments (3 given)"),
    ]

    def test_messages(self):
        for fn, args, kwargs, message in self.CASES:
            with self.subTest(fn=fn.__name__, args=args, kwargs=kwargs):
                with self.assertRaises(TypeError) as caught:
                    fn(*args, **kwargs)
                self.assertEqual(str(caught.exception), message)


class Keywords(unittest.TestCase):
    def test_unexpected_keyword(self):
        for fn, args, valid in [(v.encode_file, ("a", "b"), {}), (v.encode_bytes, (b"",), {}),
                                (v.generate_table, (), {}), (v._shuffle, ([], "k"), {}),
                                (v.encode_bytes, (b"x",), {"key": "k"}),
                                (v.generate_table, (), {"key": "k"})]:
            with self.subTest(fn=fn.__name__, valid=valid):
                with self.assertRaises(TypeError) as caught:
                    fn(*args, **valid, bogus=1)
                self.assertEqual(str(caught.exception),
                                 f"{fn.__name__}() got an unexpected keyword argument 'bogus'")

    def test_multiple_values(self):
        for fn, args, name in [(v.encode_file, ("a", "b"), "input_path"),
                               (v.decode_bytes, (TEXT,), "encoded"),
                               (v._shuffle, ([], "k"), "items"),
                               (v.generate_table, ("k",), "key")]:
            with self.subTest(fn=fn.__name__):
                with self.assertRaises(TypeError) as caught:
                    fn(*args, **{name: "x"})
                self.assertEqual(str(caught.exception),
                                 f"{fn.__name__}() got multiple values for keyword argument "
                                 f"'{name}'")

    def test_first_bad_keyword_in_call_order_is_reported(self):
        with self.assertRaisesRegex(TypeError, "unexpected keyword argument 'zz'"):
            v.encode_file("a", "b", zz=1, input_path="c")
        with self.assertRaisesRegex(TypeError, "multiple values for keyword argument 'input_path'"):
            v.encode_file("a", "b", input_path="c", zz=1)

    def test_keywords_that_are_not_strings(self):
        for fn, args in [(v.encode_bytes, (b"x", "k", 1)), (v.generate_table, ("k", 1))]:
            with self.subTest(fn=fn.__name__):
                with self.assertRaises(TypeError) as caught:
                    _testcapi.pyobject_vectorcall(fn, args, (1,))
                self.assertEqual(str(caught.exception),
                                 f"{fn.__name__}() keywords must be strings")

    def test_keywords_bind_like_positions(self):
        self.assertEqual(v.encode_bytes(key="k", data=b"abc"), v.encode_bytes(b"abc", "k"))
        self.assertEqual(v.decode_bytes(key="QJX", encoded=TEXT), b"binding")
        self.assertEqual(v.generate_table(key="QJX"), v.generate_table())
        self.assertEqual(v._shuffle(key="k", items=[1, 2, 3]), v._shuffle([1, 2, 3], "k"))
        self.assertEqual(v.encode_bytes(b"abc"), v.encode_bytes(b"abc", "QJX"))
        # A keyword that is a str subclass still names its parameter.
        self.assertEqual(v.encode_bytes(b"abc", **{StrSub("key"): "k"}),
                         v.encode_bytes(b"abc", "k"))


class ExactTypes(unittest.TestCase):
    def check(self, fn, args, name, expected, got):
        with self.assertRaises(TypeError) as caught:
            fn(*args)
        self.assertEqual(str(caught.exception),
                         f"Argument '{name}' has incorrect type (expected {expected}, got {got})")

    def test_refused_types_and_subclasses(self):
        cases = [
            (v._shuffle, ((1, 2), "k"), "items", "list", "tuple"),
            (v._shuffle, (None, "k"), "items", "list", "NoneType"),
            (v._shuffle, (None, 5), "items", "list", "NoneType"),
            (v._shuffle, ([], b"k"), "key", "str", "bytes"),
            (v.generate_table, (b"k",), "key", "str", "bytes"),
            (v.generate_table, (StrSub("k"),), "key", "str", "StrSub"),
            (v.encode_bytes, (bytearray(b"x"),), "data", "bytes", "bytearray"),
            (v.encode_bytes, (memoryview(b"x"),), "data", "bytes", "memoryview"),
            (v.encode_bytes, ("x",), "data", "bytes", "str"),
            (v.encode_bytes, (b"x", 5), "key", "str", "int"),
            (v.encode_bytes, (1, 5), "data", "bytes", "int"),
            (v.decode_bytes, (b"x",), "encoded", "str", "bytes"),
            (v.decode_bytes, (StrSub(TEXT),), "encoded", "str", "StrSub"),
            (v.encode, (b"x",), "text", "str", "bytes"),
            (v.decode, (TEXT, StrSub("QJX")), "key", "str", "StrSub"),
            (v.encode_file, (pathlib.Path("a"), "b"), "input_path", "str", "PosixPath"),
            (v.decode_file, ("a", pathlib.Path("b")), "output_path", "str", "PosixPath"),
            (v.decode_file, (b"a", "b", 3), "input_path", "str", "bytes"),
        ]
        for fn, args, name, expected, got in cases:
            with self.subTest(fn=fn.__name__, args=args):
                self.check(fn, args, name, expected, got)

    def test_type_test_comes_before_any_work(self):
        # An int key is refused before zlib is reached.
        calls = []

        class Spy:
            def __getattr__(self, name):
                calls.append(name)
                raise AttributeError(name)

        saved = v.zlib
        v.zlib = Spy()
        try:
            self.check(v.encode_bytes, (b"x", 1), "key", "str", "int")
        finally:
            v.zlib = saved
        self.assertEqual(calls, [])

    def test_none_passes_the_type_test(self):
        with self.assertRaisesRegex(AttributeError, "'NoneType' object has no attribute 'encode'"):
            v.encode_bytes(b"x", None)
        with self.assertRaisesRegex(AttributeError, "'startswith'"):
            v.decode_bytes(None)


if __name__ == "__main__":
    unittest.main()
