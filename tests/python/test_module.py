"""Loading the module, its namespace and its guards."""
import builtins
import importlib
import os
import sys
import types
import typing
import unittest
import zlib
import random

import velkorenc
from support import BUILD_DIR, rebound, run_child

NAMESPACE = [
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
    "__builtins__", "zlib", "random", "Dict", "List", "Tuple", "VelkorError",
    "InvalidHeaderError", "InvalidTokenError", "InvalidChecksumError", "DecodeError",
    "HEADER", "DELIMITER", "CHECKSUM_SIZE", "_COMPRESSED", "_UNCOMPRESSED",
    "_BASE_TOKENS", "_i", "_chars", "_bit", "_shuffle", "generate_table",
    "encode_bytes", "decode_bytes", "encode", "decode", "encode_file", "decode_file",
    "version", "__test__",
]
FUNCTIONS = ["_shuffle", "generate_table", "encode_bytes", "decode_bytes", "encode",
             "decode", "encode_file", "decode_file", "version"]
# The text signature that the interpreter gives a built-in function that
# takes no arguments: none before 3.13.
NO_PARAMETERS_SIGNATURE = "($self, /)" if sys.version_info >= (3, 13) else None
CLASSES = [("VelkorError", Exception), ("InvalidHeaderError", "VelkorError"),
           ("InvalidTokenError", "VelkorError"), ("InvalidChecksumError", "VelkorError"),
           ("DecodeError", "VelkorError")]


class Namespace(unittest.TestCase):
    def test_module_is_the_fresh_build(self):
        if BUILD_DIR is None:
            self.skipTest("VELKORENC_BUILD_DIR not set")
        self.assertEqual(os.path.dirname(velkorenc.__file__), os.path.abspath(BUILD_DIR))

    def test_names_are_bound_in_order(self):
        self.assertEqual(list(vars(velkorenc)), NAMESPACE)

    def test_values_after_load(self):
        v = velkorenc
        self.assertIsNone(v.__doc__)
        self.assertIs(v.__builtins__, builtins)
        self.assertIs(v.zlib, zlib)
        self.assertIs(v.random, random)
        self.assertIs(v.Dict, typing.Dict)
        self.assertIs(v.List, typing.List)
        self.assertIs(v.Tuple, typing.Tuple)
        self.assertEqual((v.HEADER, v.DELIMITER, v.CHECKSUM_SIZE), ("VELKORENCV2:", "~", 4))
        self.assertEqual((v._COMPRESSED, v._UNCOMPRESSED), (1, 0))
        self.assertEqual((v._i, v._bit, v._chars), (255, 0, ["q"] * 8))
        self.assertEqual(v.__test__, {})
        for internal in ("_key_to_seed", "_transform", "_crc32", "__all__"):
            self.assertFalse(hasattr(v, internal), internal)
        self.assertIs(sys.modules["velkorenc"], v)

    def test_alphabet(self):
        tokens = velkorenc._BASE_TOKENS
        self.assertIs(type(tokens), list)
        self.assertEqual(len(tokens), 256)
        for value, token in enumerate(tokens):
            self.assertEqual(token, format(value, "08b").replace("1", "q").replace("0", "z"))

    def test_exception_classes(self):
        for name, base in CLASSES:
            cls = getattr(velkorenc, name)
            base = getattr(velkorenc, base) if isinstance(base, str) else base
            self.assertEqual(cls.__bases__, (base,))
            self.assertIs(type(cls), type)
            self.assertEqual((cls.__name__, cls.__qualname__, cls.__module__),
                             (name, name, "velkorenc"))
            self.assertIsNone(cls.__doc__)
            twin = type(name, (base,), {"__module__": "velkorenc", "__qualname__": name})
            self.assertEqual(sorted(vars(cls)), sorted(vars(twin)))
            self.assertEqual(cls("a", 2).args, ("a", 2))
        self.assertFalse(issubclass(velkorenc.InvalidTokenError, velkorenc.DecodeError))

    def test_functions_are_plain_builtins(self):
        for name in FUNCTIONS:
            fn = getattr(velkorenc, name)
            self.assertIsInstance(fn, types.BuiltinFunctionType, name)
            self.assertEqual(fn.__name__, name)
            self.assertEqual(fn.__module__, "velkorenc")
            self.assertIsNone(fn.__doc__)
            # From 3.13 on, the interpreter gives a function without
            # parameters a signature of its own.
            expected = NO_PARAMETERS_SIGNATURE if name == "version" else None
            self.assertEqual(fn.__text_signature__, expected)
            self.assertIsNone(fn.__self__)

    def test_version(self):
        self.assertEqual(velkorenc.version(), "Velkor Enc v2.0.0")
        self.assertIs(velkorenc.version(), velkorenc.version())
        with self.assertRaisesRegex(TypeError, r"^velkorenc\.version\(\) takes no arguments \(1 given\)$"):
            velkorenc.version(1)
        with self.assertRaises(TypeError):
            velkorenc.version(key="x")


class Importing(unittest.TestCase):
    def test_repeated_import_returns_the_same_module(self):
        self.assertIs(importlib.import_module("velkorenc"), velkorenc)

    def test_import_after_removal_does_not_run_the_body_again(self):
        with rebound(HEADER="REBOUND:"):
            del sys.modules["velkorenc"]
            try:
                again = importlib.import_module("velkorenc")
            finally:
                sys.modules["velkorenc"] = velkorenc
            self.assertIs(again, velkorenc)
            self.assertEqual(again.HEADER, "REBOUND:")

    def test_reload_keeps_the_namespace(self):
        with rebound(DELIMITER="|"):
            self.assertIs(importlib.reload(velkorenc), velkorenc)
            self.assertEqual(velkorenc.DELIMITER, "|")

    def run_in_subinterpreter(self, isolated):
        """What `import velkorenc` raises in a new subinterpreter."""
        try:
            import _interpreters as interpreters  # 3.13 on
            interp = interpreters.create("isolated" if isolated else "legacy")
        except ImportError:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=isolated)
        read, write = os.pipe()
        try:
            interpreters.run_string(interp, "import os\ntry: import velkorenc\n"
                                    "except BaseException as e: os.write(fd, "
                                    "f'<class {type(e).__name__!r}>: {e}'.encode())",
                                    {"fd": write})
        finally:
            interpreters.destroy(interp)
            os.close(write)
        with open(read, encoding="utf-8") as report:
            return report.read()

    def test_second_interpreter_is_refused(self):
        # A subinterpreter sharing the GIL reaches the module's own check.
        self.assertEqual(self.run_in_subinterpreter(isolated=False),
                         "<class 'ImportError'>: Interpreter change detected - this module "
                         "can only be loaded into one interpreter per process.")
        # One with its own GIL is refused by the interpreter before that.
        self.assertIn("ImportError", self.run_in_subinterpreter(isolated=True))
        self.assertEqual(velkorenc.decode(velkorenc.encode("still fine")), "still fine")

    def test_executing_on_another_module_object_is_refused(self):
        run_child("""
            import _imp, importlib.util
            spec = importlib.util.find_spec("velkorenc")
            first = _imp.create_dynamic(spec)
            second = _imp.create_dynamic(spec)
            assert first is not second
            _imp.exec_dynamic(first)
            try:
                _imp.exec_dynamic(second)
            except RuntimeError as exc:
                assert str(exc) == ("Module 'velkorenc' has already been imported. "
                                    "Re-initialisation is not supported."), exc
            else:
                raise AssertionError("no RuntimeError")
            assert _imp.create_dynamic(spec) is first
        """)


class FailedLoad(unittest.TestCase):
    """A failing step raises with an "init velkorenc" entry and leaves the
    module loadable later."""

    def check_failure(self, breaking, repairing, expected_type, expected_message):
        result = run_child(f"""
            import sys
            {breaking}
            try:
                import velkorenc
            except BaseException as exc:
                # Walked by hand: traceback reads source lines, which needs open.
                names, entry = [], exc.__traceback__
                while entry:
                    names.append(entry.tb_frame.f_code.co_name)
                    entry = entry.tb_next
                print(type(exc).__name__, "|", exc, "|", "init velkorenc" in names)
            else:
                print("loaded")
            assert "velkorenc" not in sys.modules
            {repairing}
            import velkorenc
            assert velkorenc.decode(velkorenc.encode("x")) == "x"
            assert list(vars(velkorenc))[-1] == "__test__"
        """)
        self.assertEqual(result.stdout.strip(),
                         f"{expected_type} | {expected_message} | True")

    def test_failing_import_of_zlib(self):
        self.check_failure("sys.modules['zlib'] = None", "del sys.modules['zlib']",
                           "ModuleNotFoundError", "import of zlib halted; None in sys.modules")

    def test_missing_builtin_open(self):
        self.check_failure("import builtins; saved = builtins.open; del builtins.open",
                           "builtins.open = saved", "NameError", "name 'open' is not defined")

    def test_missing_typing_name(self):
        self.check_failure("import typing; saved = typing.Dict; del typing.Dict",
                           "typing.Dict = saved", "ImportError", "cannot import name Dict")

    def test_typing_name_found_in_sys_modules(self):
        run_child("""
            import sys, typing
            del typing.List
            sys.modules["typing.List"] = marker = object()
            import velkorenc
            assert velkorenc.List is marker
        """)


if __name__ == "__main__":
    unittest.main()
