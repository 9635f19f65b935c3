"""The type stub beside the module against what the module does."""
import ast
import os
import re
import tempfile
import unittest

import velkorenc
from support import quiet_seed_reports

STUB = os.path.join(os.path.dirname(velkorenc.__file__), "velkorenc.pyi")
# Bound by the module for its own use; not part of its interface.
NOT_INTERFACE = {"zlib", "random", "Dict", "List", "Tuple"}
SAMPLE = b"stub sample \xe2\x9c\x93"


def read_stub():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read(), STUB)
    functions, classes, constants = {}, {}, {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = node
        elif isinstance(node, ast.ClassDef):
            classes[node.name] = node
        elif isinstance(node, ast.AnnAssign) and node.value is None:
            constants[node.target.id] = node.annotation
        elif not (isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)):
            raise AssertionError(f"{STUB}:{node.lineno}: unexpected {type(node).__name__}")
    return functions, classes, constants


def type_names(annotation):
    """{"str", "None"} for `str | None`; the outer name of `tuple[...]`."""
    if isinstance(annotation, ast.BinOp) and isinstance(annotation.op, ast.BitOr):
        return type_names(annotation.left) | type_names(annotation.right)
    if isinstance(annotation, ast.Subscript):
        return type_names(annotation.value)
    if isinstance(annotation, ast.Constant) and annotation.value is None:
        return {"None"}
    return {annotation.id}


class Stub(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.functions, cls.classes, cls.constants = read_stub()

    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name
        source = os.path.join(self.work, "source.bin")
        with open(source, "wb") as f:
            f.write(SAMPLE)
        encoded = os.path.join(self.work, "source.txt")
        velkorenc.encode_file(source, encoded)
        self.output = os.path.join(self.work, "output")
        # Values for the required parameters, in order; the names come from the stub.
        self.required = {
            "generate_table": [], "version": [],
            "encode_bytes": [SAMPLE], "decode_bytes": [velkorenc.encode_bytes(SAMPLE)],
            "encode": ["stub sample"], "decode": [velkorenc.encode("stub sample")],
            "encode_file": [source, self.output], "decode_file": [encoded, self.output],
        }

    def parameters(self, name):
        args = self.functions[name].args
        self.assertEqual((args.posonlyargs, args.kwonlyargs, args.vararg, args.kwarg),
                         ([], [], None, None), f"{name}: every parameter is positional-or-keyword")
        defaults = [ast.literal_eval(d) for d in args.defaults]
        required = len(args.args) - len(defaults)
        return [(a.arg, a.annotation) for a in args.args], required, defaults

    def call(self, name, **kwargs):
        """What the call gives; for the file functions, the output file's bytes."""
        if os.path.exists(self.output):
            os.remove(self.output)
        result = getattr(velkorenc, name)(**kwargs)
        if name.endswith("_file"):
            self.assertIsNone(result)
            with open(self.output, "rb") as f:
                return f.read()
        return result

    def test_names_are_the_public_attributes(self):
        public = {n for n in vars(velkorenc) if not n.startswith("_")} - NOT_INTERFACE
        stub = set(self.functions) | set(self.classes) | set(self.constants)
        self.assertEqual(stub, public)

    def test_classes_and_constants(self):
        for name, node in self.classes.items():
            bases = [b.id for b in node.bases]
            self.assertEqual(bases, [b.__name__ for b in getattr(velkorenc, name).__bases__], name)
        for name, annotation in self.constants.items():
            self.assertEqual(type_names(annotation), {type(getattr(velkorenc, name)).__name__}, name)

    def test_keywords_and_defaults(self):
        for name in self.functions:
            with self.subTest(name):
                params, required, defaults = self.parameters(name)
                self.assertEqual(len(self.required[name]), required)
                given = dict(zip([p for p, _ in params], self.required[name]))
                explicit = dict(zip([p for p, _ in params[required:]], defaults))
                self.assertEqual(self.call(name, **given), self.call(name, **given, **explicit))
                too_many = [None] * (len(params) + 1)
                with self.assertRaisesRegex(TypeError, rf"takes (no arguments|at most {len(params)} )"):
                    getattr(velkorenc, name)(*too_many)
                if required:
                    with self.assertRaisesRegex(TypeError, rf"takes at least {required} "):
                        getattr(velkorenc, name)()

    def test_parameter_and_result_types(self):
        for name in self.functions:
            params, required, defaults = self.parameters(name)
            values = self.required[name] + defaults
            returns = type_names(self.functions[name].returns)
            with quiet_seed_reports():
                result = getattr(velkorenc, name)(*values)
            self.assertIn(type(result).__name__ if result is not None else "None", returns, name)
            for index, (param, annotation) in enumerate(params):
                with self.subTest(f"{name}({param})"):
                    declared = type_names(annotation)
                    wrong = values[:index] + [0] + values[index + 1:]
                    expected = (declared - {"None"}).pop()
                    with self.assertRaisesRegex(TypeError, re.escape(
                            f"Argument '{param}' has incorrect type (expected {expected}, got int)")):
                        getattr(velkorenc, name)(*wrong)
                    # None is in the annotation exactly where a call with it completes.
                    with_none = values[:index] + [None] + values[index + 1:]
                    with quiet_seed_reports():
                        if "None" in declared:
                            getattr(velkorenc, name)(*with_none)
                        else:
                            self.assertRaises(Exception, getattr(velkorenc, name), *with_none)


if __name__ == "__main__":
    unittest.main()
