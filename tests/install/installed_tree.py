"""Checks shared by the install tests: the installed command and the type stub."""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", ".."))
STUB = os.path.join(ROOT, "stubs", "velkorenc.pyi")
# Line 3 is a wrong call: a str where the stub says bytes.
TYPED_USE = """import velkorenc
text: str = velkorenc.encode_bytes(b"data", "key")
velkorenc.encode_bytes("not bytes", "key")
"""


class CheckFailed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise CheckFailed(message)


def environment(**extra):
    """This environment without PYTHONPATH, so that only what was installed
    is found, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VELKORENC_KEY")}
    env.update(extra)
    return env


def check_command(command, cwd):
    """The installed command turns data into a text and back through pipes,
    and tells a wrong key by its exit status."""
    data = bytes(range(256)) * 40
    env = environment(VELKORENC_KEY="install check")
    encoded = subprocess.run([command, "encode"], input=data, capture_output=True, env=env,
                             cwd=cwd, timeout=60)
    expect(encoded.returncode == 0 and encoded.stdout.startswith(b"VELKORENCV2:"),
           f"{command} encode: {encoded.returncode} {encoded.stderr!r}")
    decoded = subprocess.run([command, "decode"], input=encoded.stdout, capture_output=True,
                             env=env, cwd=cwd, timeout=60)
    expect((decoded.returncode, decoded.stdout, decoded.stderr) == (0, data, b""),
           f"{command} decode: {decoded.returncode} {decoded.stderr!r}")
    wrong = subprocess.run([command, "decode", "--key", "other"], input=encoded.stdout,
                           capture_output=True, env=env, cwd=cwd, timeout=60)
    expect((wrong.returncode, wrong.stdout) == (1, b""),
           f"{command} decode with another key: {wrong.returncode} {wrong.stderr!r}")


def mypy_command(python):
    """How to run mypy here: the tested interpreter's own, else one on the
    PATH; None when the machine has none."""
    probe = subprocess.run([python, "-c", "import mypy"], capture_output=True)
    if probe.returncode == 0:
        return [python, "-m", "mypy"]
    found = shutil.which("mypy")
    return [found] if found else None


def check_stub(python, site):
    """A type checker run with `python`'s site-packages flags the wrong call
    of TYPED_USE and nothing else; without one on the machine, the stub-only
    package is checked to be in place.  Returns what was checked."""
    package = os.path.join(site, "velkorenc-stubs", "__init__.pyi")
    expect(os.path.isfile(package), f"no stub-only package at {package}")
    expect(filecmp.cmp(package, STUB, shallow=False), f"{package} is not {STUB}")
    expect(filecmp.cmp(os.path.join(site, "velkorenc.pyi"), STUB, shallow=False),
           "the stub beside the module is not the source stub")
    mypy = mypy_command(python)
    if mypy is None:
        return "stub layout (no mypy on this machine)"
    with tempfile.TemporaryDirectory() as work:
        with open(os.path.join(work, "use.py"), "w", encoding="utf-8") as f:
            f.write(TYPED_USE)
        # PYTHONSAFEPATH: some mypy releases run a helper script under the
        # target interpreter that breaks when its own folder leads sys.path.
        result = subprocess.run(
            mypy + ["--python-executable", python, "--no-incremental", "--cache-dir",
                    os.devnull, "--no-error-summary", "use.py"],
            capture_output=True, text=True, cwd=work, timeout=120,
            env=environment(PYTHONSAFEPATH="1"))
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    expect(result.returncode == 1 and len(errors) == 1 and errors[0].startswith("use.py:3:")
           and '"encode_bytes"' in errors[0] and '"bytes"' in errors[0],
           f"mypy did not flag exactly the wrong call:\n{result.stdout}{result.stderr}")
    return "mypy flags a wrong call against the installed stub"


def run_checks(checks):
    """Runs each (name, function) in turn; a failure ends the test."""
    for name, check in checks:
        try:
            result = check()
        except (CheckFailed, subprocess.CalledProcessError) as exc:
            print(f"FAIL: {name}: {exc}", file=sys.stderr)
            sys.exit(1)
        print(f"ok: {name}" + (f": {result}" if result else ""), flush=True)

