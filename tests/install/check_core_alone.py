"""The byte-level core builds and passes its tests without Python.

    check_core_alone.py CMAKE CTEST SOURCE_DIR WORK_DIR

Configures SOURCE_DIR in WORK_DIR with VELKORENC_CORE_ONLY, with CMake
forbidden to look for Python, builds the core's C++ tests and runs them.  A
core source that includes a header of the Python layer, or Python.h itself,
fails to compile here, since no Python include directory is given to any
compile; the compile database is also checked for a directory holding Python.h.
"""
import json
import os
import shlex
import subprocess
import sys


def run(command, timeout):
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        raise SystemExit(f"FAIL: {' '.join(command)}\n{result.stdout}{result.stderr}")
    return result.stdout


def include_directories(command):
    """The directories that a compile command searches for headers."""
    words = shlex.split(command)
    for i, word in enumerate(words):
        for flag in ("-isystem", "-I"):
            if word == flag and i + 1 < len(words):
                yield words[i + 1]
            elif word.startswith(flag) and len(word) > len(flag):
                yield word[len(flag):]


def main(cmake, ctest, source, work):
    run([cmake, "-S", source, "-B", work, "-DVELKORENC_CORE_ONLY=ON",
         "-DCMAKE_DISABLE_FIND_PACKAGE_Python=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"],
        timeout=120)
    with open(os.path.join(work, "CMakeCache.txt")) as cache:
        found = [line for line in cache if line.startswith(("Python_EXECUTABLE", "Python_INCLUDE"))]
    if found:
        raise SystemExit(f"FAIL: the core-only configure looked for Python: {found}")
    run([cmake, "--build", work, "-j2", "--target", "core_tests"], timeout=900)
    with open(os.path.join(work, "compile_commands.json")) as database:
        commands = json.load(database)
    pythonic = [entry["file"] for entry in commands
                if any(os.path.exists(os.path.join(directory, "Python.h"))
                       for directory in include_directories(entry["command"]))]
    if pythonic:
        raise SystemExit(f"FAIL: compiled with a Python include directory: {pythonic}")
    output = run([ctest, "--test-dir", work, "--output-on-failure", "-j2"], timeout=300)
    print(output.strip().splitlines()[-3] if output.strip() else "")
    print(f"core alone: {len(commands)} sources compiled without Python; its tests pass")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
