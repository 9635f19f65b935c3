"""The module under each CPython it is built for: the same texts from every
interpreter, and a warning when a build is loaded into another version."""
import glob
import json
import os
import random
import subprocess
import sys
import unittest

import velkorenc

# (key, data, frame kind, text): every build must make these texts and read
# them back, as a text with this header decodes in every later version.
KNOWN_TEXTS = [
    ("QJX", b"", "stored", "VELKORENCV2:zzzqqqqq~qzzzzqzq~zzzqqzqz~qqzqzqzq~zzzzzqzz"),
    ("Gr\u00fc\u00dfe \U0001F511", b"Hi!", "stored",
     "VELKORENCV2:qqzzzzqz~zqzzqzzq~qqzqqqqz~qzzzzzqq~qqqzzqzz~zzzqqzqq~qzzzqzzq~zqzzqqzq"),
    ("~\x00~", bytes(100), "compressed",
     "VELKORENCV2:zqqqzzqz~zzzqzqzq~qzzzqqzz~qzzzzqqq~zzqqqqqz~qqqqqzzq~qzzzzqzq~qqzzzzqz~"
     "zqqqzqzz~qqqzzzzz~zqzzqqqz~zqqzqqzz~qzzzqzqq~qzqzzqzz~qqzqqqqq~qzqzzqzz~zqzzzzqq"),
    # Longer than what the module deflates without zlib.
    ("k", b"0123456789" * 60, "compressed",
     "VELKORENCV2:qqzzzzzz~qqzzqqqz~qqqqzzzq~qqqzzzzq~qzqzzqqq~qzzqqzzq~qqzqzzqz~zzzqqzzq~"
     "qzqzqzzz~qqzqqzzq~zqqqzqqq~zzqqqzzz~qqzqzqqz~qqqqqzzq~zqzzqzqq~qqqzzqzq~qqzqzqzq~"
     "qzzqzqzz~qzzqqqzq~qqqqzzqq~qqzqqzqq~zqqzzzzz~zqqzzzzq~qzqqqqqz~qzqqqqzz~zqzqzqqq~"
     "zqzzzqzq~zzqzzzzz~zzqzzqzq~zzzzqqqz"),
]

# The runners (BUILD/python3.X) of the builds for the other interpreters.
OTHER_BUILDS = [r for r in os.environ.get("VELKORENC_OTHER_BUILDS", "").split(os.pathsep) if r]

# Run in another build's interpreter, which must load the module silently:
# encodes the cases given and decodes the texts given.
CHILD = """
import json, sys, velkorenc
asked = json.load(sys.stdin)
json.dump({"version": sys.version_info[:2],
           "texts": [velkorenc.encode_bytes(bytes.fromhex(d), k) for k, d in asked["encode"]],
           "data": [velkorenc.decode_bytes(t, k).hex() for k, t in asked["decode"]]}, sys.stdout)
"""


class KnownTexts(unittest.TestCase):
    def test_every_interpreter_makes_and_reads_them(self):
        for key, data, kind, text in KNOWN_TEXTS:
            with self.subTest(key=key, kind=kind):
                stored_length = len(velkorenc.HEADER) + 9 * (len(data) + 5) - 1
                self.assertEqual(len(text) == stored_length, kind == "stored")
                self.assertEqual(velkorenc.encode_bytes(data, key), text)
                self.assertEqual(velkorenc.decode_bytes(text, key), data)


@unittest.skipUnless(OTHER_BUILDS, "no build for another interpreter (VELKORENC_OTHER_BUILDS)")
class AcrossInterpreters(unittest.TestCase):
    def test_texts_made_under_one_decode_under_the_other(self):
        # Each size the codec treats apart: empty, deflated by the module
        # itself or by zlib, past the size that lets go of the GIL, past the
        # one whose text is made while zlib tries.
        rng = random.Random(21)
        cases = [("QJX", b""), ("k", b"x"), ("sch\u00fcssel", rng.randbytes(529)),
                 ("~", b"0123456789" * 9000), ("\U0001F511", rng.randbytes(70_000)),
                 ("large", rng.randbytes(5 << 20))]
        ours = [velkorenc.encode_bytes(data, key) for key, data in cases]
        asked = json.dumps({"encode": [[key, data.hex()] for key, data in cases],
                            "decode": [[key, text] for (key, _), text in zip(cases, ours)]})
        for runner in OTHER_BUILDS:
            with self.subTest(runner):
                env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(runner), "python"))
                result = subprocess.run([runner, "-W", "error", "-c", CHILD], input=asked,
                                        capture_output=True, text=True, env=env, timeout=300)
                self.assertEqual(result.returncode, 0, result.stderr)
                answer = json.loads(result.stdout)
                self.assertNotEqual(answer["version"], list(sys.version_info[:2]))
                self.assertTrue(answer["texts"] == ours, "the texts differ")
                self.assertEqual([bytes.fromhex(d) for d in answer["data"]],
                                 [data for _, data in cases])

    def test_a_build_warns_in_another_version(self):
        # Loaded by hand, as the file name is for another version; the
        # warning made an error stops loading before anything else runs.
        load = ("import importlib.util, sys\n"
                "spec = importlib.util.spec_from_file_location('velkorenc', sys.argv[1])\n"
                "spec.loader.exec_module(importlib.util.module_from_spec(spec))\n")
        for runner in OTHER_BUILDS:
            with self.subTest(runner):
                [module] = glob.glob(os.path.join(os.path.dirname(runner), "python", "*.so"))
                built_for = os.path.basename(runner)[len("python"):]
                result = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                                         load, module], capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(
                    result.stderr.strip().splitlines()[-1],
                    f"RuntimeWarning: compile time Python version {built_for} of module "
                    "'velkorenc' does not match runtime version %d.%d" % sys.version_info[:2])


if __name__ == "__main__":
    unittest.main()
