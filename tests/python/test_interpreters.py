"""The module under each CPython it is built for: every interpreter makes the
same texts and reads those of the others, and a build warns when loaded into
an interpreter other than its own."""
import glob
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

import velkorenc

# Texts that every build must make from these keys and data, and read back:
# a text with this header decodes in every later version.  (key, data,
# frame kind, text).
KNOWN_TEXTS = [
    ("QJX", b"", "stored",
     "VELKORENCV2:zzzqqqqq~qzzzzqzq~zzzqqzqz~qqzqzqzq~zzzzzqzz"),
    ("my key", b"Hello, world!", "stored",
     "VELKORENCV2:qzqqqqqz~qzzqqzqz~qqzzqqqq~qqqqzzqq~zqqzqzqz~qqqqzqzz~qqzzqqqz~qqzqqzzz~"
     "zqqqqzqz~qqzzqzzz~qqzzzzqz~qqqzzqqz~qzqzzzqq~zzzzzqqz~zzqzzqzq~zzzqqqzz~zqqzqzzq~"
     "zqqzqqzq"),
    ("Gr\u00fc\u00dfe aus K\u00f6ln", "Gr\u00fc\u00dfe aus K\u00f6ln".encode() * 4, "compressed",
     "VELKORENCV2:zqqqzqqz~zqzzqqzz~qzqqqqqz~qqzqzqqz~zzzzqzqq~zzzzzzqq~zqzzqqqq~zqzqqzqq~"
     "zqzqqqzz~zzqqzqzq~zqqzzzqq~zqzzzqzq~qzzqqqqq~qzqzzzqq~qqqzzzqz~qzqqzzqz~zqzzzzzq~"
     "zqzqqzzq~zzqzqqqz~qqzqqzqz~qzqzqqqz~qzzzzqzq~qqqzqqzz~zzzqzzqq~zqzzqqqq~qqzzzqqz~"
     "qzzzzqzz~zzqzqzzz~qqqzzqzq~zzqzqqzq~qzqqzzzz~zqqzqqzz~qzzzzqqq~qqzqzqzz"),
    ("\U0001F511", bytes(range(24)), "stored",
     "VELKORENCV2:qqqzzqzz~qqqzzzqq~zzqzzqzq~qzzzzqqz~qzzzzzqz~qqqzqqzq~qzqqzzzz~qzzqqqzz~"
     "zqzqzzqq~zqqqqzzq~qqzzzqzz~zqzqzzqz~qqqzqzqz~zqqzzzqz~qqqzqqzz~zqzzzqzq~qzzzqqzz~"
     "zqqqzzqz~qqzzqqzz~zqzqzqqz~qqzzzzqz~zqzqzzzq~qqzqzqqq~zzzzzzzz~zzqqzqqq~qqqqzqzz~"
     "qzqqzqqq~qzzzqzqz~qzzqzzzz"),
    ("~\x00~", bytes(100), "compressed",
     "VELKORENCV2:zqqqzzqz~zzzqzqzq~qzzzqqzz~qzzzzqqq~zzqqqqqz~qqqqqzzq~qzzzzqzq~qqzzzzqz~"
     "zqqqzqzz~qqqzzzzz~zqzzqqqz~zqqzqqzz~qzzzqzqq~qzqzzqzz~qqzqqqqq~qzqzzqzz~zqzzzzqq"),
    # Longer than what the module compresses without zlib.
    ("k", b"0123456789" * 60, "compressed",
     "VELKORENCV2:qqzzzzzz~qqzzqqqz~qqqqzzzq~qqqzzzzq~qzqzzqqq~qzzqqzzq~qqzqzzqz~zzzqqzzq~"
     "qzqzqzzz~qqzqqzzq~zqqqzqqq~zzqqqzzz~qqzqzqqz~qqqqqzzq~zqzzqzqq~qqqzzqzq~qqzqzqzq~"
     "qzzqzqzz~qzzqqqzq~qqqqzzqq~qqzqqzqq~zqqzzzzz~zqqzzzzq~qzqqqqqz~qzqqqqzz~zqzqzqqq~"
     "zqzzzqzq~zzqzzzzz~zzqzzqzq~zzzzqqqz"),
]

# The runners (build/python3.X) of the builds for the other interpreters.
OTHER_BUILDS = [runner for runner in os.environ.get("VELKORENC_OTHER_BUILDS", "").split(os.pathsep)
                if runner]


def stored_length(data):
    """The length of the text of a stored frame of `data`."""
    return len(velkorenc.HEADER) + 9 * (1 + len(data) + velkorenc.CHECKSUM_SIZE) - 1


def exchanged_cases():
    """(key, data) of every size class the codec treats apart: empty, small
    enough to compress without zlib, over the size at which the GIL is let
    go of, random and repetitive, and one of several MiB."""
    rng = random.Random(21)
    words = "Grüße aus Köln, line {}: amount {}\n"
    prose = "".join(words.format(i, rng.randrange(10**6)) for i in range(3000)).encode()
    return [("QJX", b""), ("k", b"x"), ("sch\u00fcssel", rng.randbytes(529)),
            ("sch\u00fcssel", prose[:531]), ("\U0001F511 key", rng.randbytes(70_000)),
            ("~", prose), ("key", bytes(70_000)), ("large", rng.randbytes(5 << 20))]


# Run by the other build's interpreter: encodes the cases it is given, decodes
# the texts it is given, and says which interpreter it is.
CHILD = """
import json, sys, velkorenc
request = json.load(sys.stdin)
json.dump({
    "version": list(sys.version_info[:2]),
    "texts": [velkorenc.encode_bytes(bytes.fromhex(data), key) for key, data in request["encode"]],
    "decoded": [velkorenc.decode_bytes(text, key).hex() for key, text in request["decode"]],
}, sys.stdout)
"""


def run_under(runner, code, *args, request=None):
    """Runs `code` with `args` under the interpreter of the build of `runner`,
    with that build's module on the path and warnings made errors, so that
    the module must load there silently."""
    build = os.path.dirname(os.path.abspath(runner))
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    return subprocess.run([runner, "-W", "error", "-c", code, *args], input=request,
                          capture_output=True, text=True, env=env, timeout=300)


class KnownTexts(unittest.TestCase):
    def test_every_interpreter_makes_and_reads_the_same_texts(self):
        self.assertEqual({kind for _, _, kind, _ in KNOWN_TEXTS}, {"stored", "compressed"})
        for key, data, kind, text in KNOWN_TEXTS:
            with self.subTest(key=key, data=data[:20]):
                self.assertEqual(len(text) == stored_length(data), kind == "stored")
                self.assertEqual(velkorenc.encode_bytes(data, key), text)
                self.assertEqual(velkorenc.decode_bytes(text, key), data)


@unittest.skipUnless(OTHER_BUILDS, "no build for another interpreter (VELKORENC_OTHER_BUILDS)")
class AcrossInterpreters(unittest.TestCase):
    def test_texts_made_under_one_decode_under_the_other(self):
        cases = exchanged_cases()
        ours = [velkorenc.encode_bytes(data, key) for key, data in cases]
        request = json.dumps({"encode": [[key, data.hex()] for key, data in cases],
                              "decode": [[key, text] for (key, _), text in zip(cases, ours)]})
        for runner in OTHER_BUILDS:
            with self.subTest(runner):
                result = run_under(runner, CHILD, request=request)
                self.assertEqual(result.returncode, 0, result.stderr)
                answer = json.loads(result.stdout)
                self.assertNotEqual(answer["version"], list(sys.version_info[:2]))
                self.assertEqual([bytes.fromhex(d) for d in answer["decoded"]],
                                 [data for _, data in cases])
                # Equal texts, so each decodes here as ours do.
                for (key, data), theirs, text in zip(cases, answer["texts"], ours):
                    self.assertTrue(theirs == text, f"texts of {len(data)} bytes differ")
                    self.assertEqual(velkorenc.decode_bytes(theirs, key), data)

    def test_files_encoded_under_one_decode_under_the_other(self):
        data = random.Random(5).randbytes(3 << 20) + bytes(1 << 20)
        with tempfile.TemporaryDirectory() as work:
            source, text, back = (os.path.join(work, n) for n in ("source", "text", "back"))
            with open(source, "wb") as f:
                f.write(data)
            for runner in OTHER_BUILDS:
                with self.subTest(runner):
                    result = run_under(runner, "import sys, velkorenc; "
                                       "velkorenc.encode_file(*sys.argv[1:])",
                                       source, text, "file key")
                    self.assertEqual(result.returncode, 0, result.stderr)
                    velkorenc.decode_file(text, back, "file key")
                    with open(back, "rb") as f:
                        self.assertTrue(f.read() == data)

    def test_a_build_warns_in_another_interpreter(self):
        # Loaded by hand, as the file name is for the other version; the
        # warning made an error stops loading before anything else runs.
        load = ("import importlib.util, sys\n"
                "spec = importlib.util.spec_from_file_location('velkorenc', sys.argv[1])\n"
                "spec.loader.exec_module(importlib.util.module_from_spec(spec))\n")
        for runner in OTHER_BUILDS:
            with self.subTest(runner):
                built_for = os.path.basename(runner)[len("python"):]
                [module] = glob.glob(os.path.join(os.path.dirname(runner), "python",
                                                  "velkorenc.*.so"))
                result = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                                         load, module], capture_output=True, text=True,
                                        timeout=60)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(
                    result.stderr.strip().splitlines()[-1],
                    f"RuntimeWarning: compile time Python version {built_for} of module "
                    f"'velkorenc' does not match runtime version %d.%d" % sys.version_info[:2])


if __name__ == "__main__":
    unittest.main()
