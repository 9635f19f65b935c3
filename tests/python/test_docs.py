"""The README's examples and the scripts in examples/, run against the build."""
import doctest
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import velkorenc
from support import BUILD_DIR

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
README = os.path.join(ROOT, "README.md")
FENCE = re.compile(r"^```(\w*)\s*$")
# The build folder: it holds the velkorenc command and the runner of its
# interpreter, named after it (python3.12 in the default build that the
# README's commands use).
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(velkorenc.__file__)))
RUNNER = "python%d.%d" % sys.version_info[:2]


def readme_blocks(language):
    with open(README, encoding="utf-8") as f:
        return re.findall(rf"^```{language}\n(.*?)\n```", f.read(), re.S | re.M)


def console_sessions():
    """The ```console blocks as lists of (command, expected output)."""
    sessions = []
    for block in readme_blocks("console"):
        steps = []
        for line in block.split("\n"):
            if line.startswith("$ "):
                steps.append((line[2:], []))
            else:
                steps[-1][1].append(line)
        sessions.append([(command, "\n".join(output)) for command, output in steps])
    return sessions


def readme_examples():
    """The README with everything outside ```pycon blocks blanked, so that the
    doctest's line numbers are the README's; and the lines with a prompt
    outside such a block, which would otherwise go unchecked."""
    with open(README, encoding="utf-8") as f:
        lines = f.read().split("\n")
    kept, stray, block = [], [], None
    for number, line in enumerate(lines, 1):
        fence = FENCE.match(line)
        if fence:
            block = None if block is not None else fence.group(1)
            kept.append("")
        elif block == "pycon":
            kept.append(line)
        else:
            kept.append("")
            if line.lstrip().startswith(">>>"):
                stray.append(number)
    return "\n".join(kept), stray


def run_example(*args, stdin=None):
    env = dict(os.environ)
    if BUILD_DIR:
        env["PYTHONPATH"] = BUILD_DIR
    return subprocess.run([sys.executable, os.path.join(ROOT, "examples", args[0]), *args[1:]],
                          input=stdin, capture_output=True, text=True, env=env, timeout=120)


class Readme(unittest.TestCase):
    def test_examples_hold(self):
        text, stray = readme_examples()
        self.assertEqual(stray, [], "README lines with >>> outside a ```pycon block")
        test = doctest.DocTestParser().get_doctest(text, {}, "README.md", README, 0)
        self.assertGreater(len(test.examples), 20, "the README lost its examples")
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        report = []
        runner.run(test, out=report.append)
        self.assertEqual(runner.failures, 0, "".join(report))

    def test_command_sessions(self):
        """Each `$` command runs in a fresh folder, with the build's command
        first on the PATH, and shows what the README shows."""
        sessions = console_sessions()
        self.assertGreater(len(sessions), 0, "the README lost its command examples")
        env = {k: v for k, v in os.environ.items() if k != "VELKORENC_KEY"}
        env["PATH"] = BUILD + os.pathsep + env.get("PATH", "")
        for session in sessions:
            with tempfile.TemporaryDirectory() as work:
                for command, expected in session:
                    with self.subTest(command):
                        result = subprocess.run(["bash", "-c", command], cwd=work, env=env,
                                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                                text=True, timeout=60)
                        self.assertEqual(result.stdout.rstrip("\n"), expected)

    def test_shell_commands_name_what_exists(self):
        """A shell block calls no interpreter by a name that need not be on
        the PATH, and every build/ path it names is made by the build."""
        for block in readme_blocks("sh"):
            for line in block.split("\n"):
                with self.subTest(line):
                    words = re.split(r"\s+|&&|\||;", line)
                    for word in words:
                        self.assertIsNone(re.fullmatch(r"python(3(\.\d+)?)?|pip", word), word)
                    for path in re.findall(r"(?<![\w.-])build/[\w.-]+", line):
                        name = re.sub(r"^python3\.\d+$", RUNNER, path[len("build/"):])
                        self.assertTrue(os.path.exists(os.path.join(BUILD, name)), path)

    def test_cmake_versions_agree(self):
        with open(README, encoding="utf-8") as f:
            readme = re.search(r"CMake (\d+\.\d+) or later", f.read()).group(1)
        with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
            required = re.search(r"cmake_minimum_required\(VERSION (\d+\.\d+)", f.read()).group(1)
        with open(os.path.join(ROOT, "CMakePresets.json"), encoding="utf-8") as f:
            presets = json.load(f)["cmakeMinimumRequired"]
        self.assertEqual(readme, required)
        self.assertEqual(required, f"{presets['major']}.{presets['minor']}")

    def test_opens_with_the_build_and_test_commands(self):
        blocks = readme_blocks("sh")
        self.assertEqual(blocks[:2], [
            "cmake -S . -B build && cmake --build build -j2 --target example",
            "cmake -S . -B build && cmake --build build -j2 && ctest --test-dir build --output-on-failure",
        ])


class Examples(unittest.TestCase):
    def test_encode_file(self):
        result = run_example("encode_file.py", README, "example key")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("with another key: InvalidChecksumError", result.stdout)
        self.assertIn("identical: True", result.stdout)

    def test_tell_damage_tour(self):
        result = run_example("tell_damage.py")
        self.assertEqual(result.returncode, 0, result.stderr)
        verdicts = [line.split(": ", 1)[1] for line in result.stdout.splitlines()]
        self.assertEqual([v.split(":")[0].split(",")[0] for v in verdicts], [
            "intact", "wrong key", "wrong key", "damaged", "damaged", "damaged", "damaged"])
        self.assertIn("decodes with 'north'", verdicts[1])
        self.assertIn("too short", verdicts[6])

    def test_stream_demo_and_pipes(self):
        result = run_example("stream_messages.py")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("1000 messages sent, 999 received, in order and intact: True", result.stdout)
        self.assertIn("line 501: skipped, InvalidChecksumError", result.stdout)
        messages = "first\n\nzweite Nachricht \u2713\n"
        encoded = run_example("stream_messages.py", "encode", "k", stdin=messages)
        self.assertEqual(encoded.returncode, 0, encoded.stderr)
        self.assertEqual(len(encoded.stdout.splitlines()), 3)
        decoded = run_example("stream_messages.py", "decode", "k", stdin=encoded.stdout)
        self.assertEqual((decoded.stdout, decoded.stderr), (messages, ""))


if __name__ == "__main__":
    unittest.main()
