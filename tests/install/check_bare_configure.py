"""The README's first commands on a machine without the test libraries.

    python3.X check_bare_configure.py CMAKE CTEST SOURCE_DIR WORK_DIR PYTHON

Configures SOURCE_DIR in WORK_DIR as if neither GoogleTest nor Google
Benchmark were installed: configuring must succeed and say what is missing,
and ctest must then fail on the core tests with a message that names the
package to install, rather than skip them.
"""
import os
import shutil
import subprocess
import sys


def main(cmake, ctest, source, work, python):
    shutil.rmtree(work, ignore_errors=True)
    configure = subprocess.run(
        [cmake, "-S", source, "-B", work, f"-DPython_EXECUTABLE={python}",
         "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"],
        capture_output=True, text=True, timeout=100)
    failures = []
    if configure.returncode != 0:
        failures.append(f"configure failed:\n{configure.stdout}{configure.stderr}")
    for needed in ("libgtest-dev", "libbenchmark-dev"):
        if needed not in configure.stdout:
            failures.append(f"configure does not mention {needed}:\n{configure.stdout}")
    if not failures:
        tests = subprocess.run([ctest, "--test-dir", work, "-R", "^core_tests$",
                                "--output-on-failure"], capture_output=True, text=True,
                               timeout=60)
        if tests.returncode == 0 or "apt-get install libgtest-dev" not in tests.stdout:
            failures.append(f"ctest without GoogleTest did not fail naming it:\n{tests.stdout}")
    shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("FAIL:", "\n".join(failures), file=sys.stderr)
        return 1
    print("configure without GoogleTest and Google Benchmark: ok; ctest fails naming libgtest-dev")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
