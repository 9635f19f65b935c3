"""The benchmark driver: every row prints, on tiny inputs, and a missed goal
fails the run only when asked to."""
import contextlib
import io
import os
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

from support import BUILD_DIR

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import bench_module  # noqa: E402


class Driver(unittest.TestCase):
    def test_every_row_prints_then_the_core_table(self):
        env = dict(os.environ)
        if BUILD_DIR:
            env["PYTHONPATH"] = BUILD_DIR
        result = subprocess.run(
            [sys.executable, bench_module.__file__, "--size", "1", "--file-size", "1", "--repeat",
             "1", "--calls", "5", "--messages", "20",
             "--core-bench-missing", "no Google Benchmark here"],
            capture_output=True, text=True, env=env, timeout=120)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        lines = result.stdout.splitlines()
        names = [name.format(mib="1 MiB", messages="20", file="1 MiB")
                 for name, _, _ in bench_module.ROWS]
        shown = [line for line in lines if any(line.startswith(n) for n in names)]
        self.assertEqual([next(n for n in names if line.startswith(n)) for line in shown], names)
        self.assertIn("core_bench: not run: no Google Benchmark here", lines)

    def test_only_strict_fails_on_a_missed_goal(self):
        rows = [("met", 1.0, lambda d: bench_module.Figure(0.5, "")),
                ("missed", 1.0, lambda d: bench_module.Figure(2.0, "")),
                ("context", None, lambda d: bench_module.Figure(9.0, ""))]
        for extra, status in [([], 0), (["--strict"], 1), (["--only", "met"], 0),
                              (["--only", "met", "--strict"], 0),
                              (["--only", "met", "--core-bench", "false"], 1)]:
            with self.subTest(extra), mock.patch.object(bench_module, "ROWS", rows), \
                    mock.patch.object(sys, "argv", ["bench_module.py", *extra]), \
                    contextlib.redirect_stdout(io.StringIO()) as out:
                self.assertEqual(bench_module.main(), status)
            if not extra:
                self.assertRegex(out.getvalue(), r"missed +2\.000 +1\.00 +NO")
                self.assertRegex(out.getvalue(), r"context +9\.000 +- +-")

    def test_source_text_is_the_sorted_py_files_up_to_the_size(self):
        files = {"b.py": b"B" * 700_000, "a/z.py": b"Z" * 500_000, "a/y.txt": b"not python",
                 "a-c.py": b"C" * 10}
        with tempfile.TemporaryDirectory() as root:
            for name, content in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                with open(os.path.join(root, name), "wb") as f:
                    f.write(content)
            for size, text, origin in [
                    (1, b"C" * 10 + b"Z" * 500_000 + b"B" * 548_566, "1.0 MiB of 3 files"),
                    (2, b"C" * 10 + b"Z" * 500_000 + b"B" * 700_000,
                     "1.1 MiB of 3 files, all there is (--size is 2 MiB)")]:
                with self.subTest(size), mock.patch.object(bench_module.sysconfig, "get_path",
                                                           return_value=root):
                    inputs = bench_module.Inputs(mock.Mock(size=size, file_size=1, repeat=1))
                    self.assertEqual((inputs.source_text, inputs.source_text_origin),
                                     (text, origin))


if __name__ == "__main__":
    unittest.main()
