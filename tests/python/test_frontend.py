"""encode and decode on str, encode_file and decode_file on files."""
import builtins
import os
import pathlib
import stat
import unittest

import velkorenc
import oracle
from support import DELETE, DirectoryCase, outcome, quiet_seed_reports, rebound, run_child

v = velkorenc


class Text(unittest.TestCase):
    def test_round_trips(self):
        for text in ["", "plain", "naïve café", "日本語のテキスト", "🔑😀 astral", "\ufeffbom",
                     "\0 nul \n lines \r\n", "x" * 100_000]:
            for key in ("QJX", "ключ", "k"):
                with self.subTest(text=text[:10], key=key):
                    encoded = v.encode(text, key)
                    self.assertEqual(encoded, oracle.encode_bytes(text.encode(), key))
                    self.assertEqual(v.decode(encoded, key), text)

    def test_empty_text_is_the_empty_frame(self):
        self.assertEqual(v.encode(""), v.encode_bytes(b""))
        self.assertEqual(v.decode(v.encode_bytes(b"")), "")

    def test_failures(self):
        cases = [
            (v.encode, (b"x",), TypeError, "Argument 'text' has incorrect type (expected str, got bytes)"),
            (v.decode, (b"x",), TypeError, "Argument 'text' has incorrect type (expected str, got bytes)"),
            (v.encode, (None,), AttributeError, "'NoneType' object has no attribute 'encode'"),
            (v.decode, (None,), AttributeError, "'NoneType' object has no attribute 'startswith'"),
            (v.encode, ("\ud83d",), UnicodeEncodeError,
             "'utf-8' codec can't encode character '\\ud83d' in position 0: surrogates not allowed"),
            (v.decode, ("nope",), v.InvalidHeaderError, "Missing header: expected 'VELKORENCV2:'"),
            (v.decode, (v.encode("x"), "other key"), v.InvalidChecksumError, None),
        ]
        for fn, args, exc_type, message in cases:
            with self.subTest(fn=fn.__name__, args=args):
                got = outcome(fn, *args)
                self.assertIs(got[0], exc_type)
                if message is not None:
                    self.assertEqual(got[1], message)

    def test_data_that_is_not_utf8(self):
        with self.assertRaises(v.DecodeError) as caught:
            v.decode(v.encode_bytes(b"\xff"))
        exc = caught.exception
        self.assertEqual(str(exc), "Decoded data is not valid UTF-8: 'utf-8' codec can't decode "
                                   "byte 0xff in position 0: invalid start byte")
        self.assertEqual(exc.args, (str(exc),))
        self.assertIsInstance(exc.__context__, UnicodeDecodeError)
        self.assertIsNone(exc.__cause__)
        self.assertFalse(exc.__suppress_context__)

    def test_bom_is_kept(self):
        self.assertEqual(v.decode(v.encode_bytes(b"\xef\xbb\xbfhi")), "\ufeffhi")

    def test_codec_functions_are_read_at_call_time(self):
        with rebound(encode_bytes=lambda data, key: f"{data!r}/{key}"):
            self.assertEqual(v.encode("é", "k"), "b'\\xc3\\xa9'/k")
        with rebound(encode_bytes=lambda data, key: 5):
            self.assertEqual(outcome(v.encode, "x"), (TypeError, "Expected str, got int"))
        with rebound(decode_bytes=lambda text, key: b"\xff"):
            self.assertIs(outcome(v.decode, "x")[0], v.DecodeError)
        with rebound(decode_bytes=lambda text, key: bytearray(b"ok")):
            self.assertEqual(v.decode("x"), "ok")
        with rebound(decode_bytes=lambda text, key: "str has no decode"):
            self.assertIs(outcome(v.decode, "x")[0], AttributeError)
        with rebound(decode_bytes=DELETE):
            self.assertEqual(outcome(v.decode, "x"), (NameError, "name 'decode_bytes' is not defined"))


class Files(DirectoryCase):
    def write(self, name, content):
        with open(self.path(name), "wb" if isinstance(content, bytes) else "w",
                  **({} if isinstance(content, bytes) else {"encoding": "utf-8", "newline": ""})) as f:
            f.write(content)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def test_round_trip(self):
        data = bytes(range(256)) * 50 + b"\r\n\n\r"
        source = self.write("in.bin", data)
        self.assertIsNone(v.encode_file(source, self.path("enc.txt"), "ключ"))
        self.assertEqual(self.read("enc.txt").decode("ascii"), v.encode_bytes(data, "ключ"))
        self.assertIsNone(v.decode_file(self.path("enc.txt"), self.path("out.bin"), "ключ"))
        self.assertEqual(self.read("out.bin"), data)

    def test_empty_files(self):
        v.encode_file(self.write("empty", b""), self.path("enc.txt"))
        self.assertEqual(len(self.read("enc.txt")), 56)
        v.decode_file(self.path("enc.txt"), self.path("out"))
        self.assertEqual(self.read("out"), b"")
        self.assertEqual(outcome(v.decode_file, self.path("empty"), self.path("never")),
                         (v.InvalidHeaderError, "Missing header: expected 'VELKORENCV2:'"))
        self.assertFalse(os.path.exists(self.path("never")))

    def test_failures_leave_the_output_untouched(self):
        encoded = self.write("enc.txt", v.encode_bytes(b"secret", "right"))
        existing = self.write("existing", b"keep me")
        cases = [
            (v.decode_file, (encoded, existing, "wrong"), v.InvalidChecksumError),
            (v.decode_file, (self.path("missing"), existing), FileNotFoundError),
            (v.encode_file, (self.dir.name, existing), IsADirectoryError),
            (v.decode_file, (self.write("bad.txt", b"\xff\xfe"), existing), UnicodeDecodeError),
            (v.decode_file, (encoded, existing, None), AttributeError),
            (v.encode_file, (None, existing), TypeError),
        ]
        for fn, args, exc_type in cases:
            with self.subTest(fn=fn.__name__, args=args):
                with quiet_seed_reports():
                    got = outcome(fn, *args)
                self.assertIs(got[0], exc_type)
                self.assertEqual(self.read("existing"), b"keep me")
        self.assertIs(outcome(v.decode_file, encoded, self.path("absent"), "wrong")[0],
                      v.InvalidChecksumError)
        self.assertFalse(os.path.exists(self.path("absent")))
        self.assertIs(outcome(v.encode_file, encoded, None)[0], TypeError)

    def test_text_as_the_file_holds_it(self):
        text = v.encode_bytes(b"lines")
        for name, content, exc_type, piece in [
                ("lf", text + "\n", v.InvalidTokenError, text[-8:] + "\n"),
                ("crlf", text + "\r\n", v.InvalidTokenError, text[-8:] + "\n"),
                ("bom", "\ufeff" + text, v.InvalidHeaderError, None)]:
            with self.subTest(name=name):
                got = outcome(v.decode_file, self.write(name, content), self.path("out"))
                self.assertIs(got[0], exc_type)
                if piece is not None:
                    self.assertEqual(got[1], f"Unrecognized token: '{piece}'")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_paths_must_be_str(self):
        source = self.write("in", b"x")
        self.assertEqual(outcome(v.encode_file, pathlib.Path(source), self.path("out")),
                         (TypeError, "Argument 'input_path' has incorrect type "
                                     "(expected str, got PosixPath)"))
        self.assertEqual(outcome(v.decode_file, source.encode(), self.path("out"))[0], TypeError)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_open_is_the_one_captured_at_load(self):
        source = self.write("in", b"captured")
        saved = builtins.open

        def refuse(*args, **kwargs):
            raise AssertionError("builtins.open was used")
        builtins.open = refuse
        try:
            v.encode_file(source, self.path("enc"))
            v.decode_file(self.path("enc"), self.path("out"))
        finally:
            builtins.open = saved
        self.assertEqual(self.read("out"), b"captured")

    def test_codec_functions_are_read_at_call_time(self):
        source = self.write("in", b"data")
        with rebound(encode_bytes=lambda data, key: f"[{data.decode()}|{key}]"):
            v.encode_file(source, self.path("enc"), "k")
        self.assertEqual(self.read("enc"), b"[data|k]")
        with rebound(encode_bytes=DELETE):
            self.assertEqual(outcome(v.encode_file, source, self.path("never")),
                             (NameError, "name 'encode_bytes' is not defined"))
        self.assertFalse(os.path.exists(self.path("never")))

    def test_converting_a_file_in_place(self):
        data = b"converted in place " * 100
        target = self.write("same", data)
        os.chmod(target, 0o640)
        v.encode_file(target, target, "k")
        self.assertEqual(self.read("same").decode(), v.encode_bytes(data, "k"))
        self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), 0o640)
        v.decode_file(target, target, "k")
        self.assertEqual(self.read("same"), data)
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["same"])
        # Through another name for the same file.
        os.symlink(target, self.path("link"))
        v.encode_file(self.path("link"), target, "k")
        self.assertTrue(os.path.islink(self.path("link")))
        v.decode_file(target, self.path("link"), "k")
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertEqual(self.read("same"), data)

    def test_failed_in_place_conversion_keeps_the_original(self):
        data = b"the only copy"
        target = self.write("same", data)
        # Writing fails part way: the text cannot be encoded as UTF-8.
        with rebound(encode_bytes=lambda data, key: "VELKORENCV2:" + "q" * 10_000 + "\ud800"):
            self.assertIs(outcome(v.encode_file, target, target)[0], UnicodeEncodeError)
        with rebound(decode_bytes=lambda text, key: "not bytes"):
            self.assertIs(outcome(v.decode_file, self.write("t", v.encode_bytes(data)),
                                  self.path("t"))[0], TypeError)
        self.assertEqual(self.read("same"), data)
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["same", "t"])
        self.assertEqual(self.read("t").decode(), v.encode_bytes(data))

    def test_suppressing_context_managers(self):
        # With an `open` whose __exit__ swallows the read's error, nothing was
        # read: the codec name is still looked up first.
        result = run_child("""
            import builtins, io

            class Swallowing:
                def __init__(self, path, mode, **kwargs):
                    self.mode = mode
                def __enter__(self):
                    return self
                def __exit__(self, *exc):
                    return True
                def read(self):
                    raise OSError("unreadable")
                def write(self, content):
                    raise OSError("unwritable")

            builtins.open = Swallowing
            import velkorenc
            for fn, name in [(velkorenc.encode_file, "data"), (velkorenc.decode_file, "encoded")]:
                try:
                    fn("in", "out")
                except UnboundLocalError as exc:
                    assert str(exc) == f"local variable '{name}' referenced before assignment", exc
            del velkorenc.encode_bytes
            try:
                velkorenc.encode_file("in", "out")
            except NameError as exc:
                assert str(exc) == "name 'encode_bytes' is not defined"
            velkorenc.encode_bytes = lambda data, key: "x"
            Swallowing.read = lambda self: b"fine"
            assert velkorenc.encode_file("in", "out") is None
            print("ok")
        """)
        self.assertEqual(result.stdout, "ok\n")


if __name__ == "__main__":
    unittest.main()
