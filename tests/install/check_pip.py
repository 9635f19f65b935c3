"""pip install, pip wheel and pip uninstall of the source tree, with no index.

    python3.X check_pip.py SOURCE_DIR WORK_DIR PIP_BUILD_DIR

In a fresh virtual environment of this interpreter (pip from ensurepip):
`pip install --no-index SOURCE_DIR` must give an importable module whose
metadata pip and importlib.metadata know, the velkorenc command, its manual
page under the environment's share/man and a stub that type checkers find;
`pip uninstall -y velkorenc` must then leave site-packages and bin exactly as
they were, and remove the manual page.  `pip wheel --no-index` must
write a wheel with this interpreter's tags and a RECORD that matches its
content, and installing that wheel into a second environment must work too.
The source archive must hold every tracked file that a build or a test uses.
The backend builds in PIP_BUILD_DIR, kept between runs.
"""
import base64
import csv
import hashlib
import io
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

from installed_tree import check_command, check_stub, environment, expect, run_checks

MANUAL_PAGE = os.path.join("share", "man", "man1", "velkorenc.1")
# Tracked files that a source archive leaves out on purpose.
NOT_IN_SDIST = {".ci/run", ".gitignore"}


def run(*command, **kwargs):
    return subprocess.run(command, check=True, env=environment(), **kwargs)


def tree(*folders):
    """Every file and folder under the given folders, bytecode caches aside."""
    found = set()
    for folder in folders:
        for directory, dirs, files in os.walk(folder):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            found.update(os.path.join(directory, name) for name in dirs + files)
    return found


def tag():
    version = "%d%d" % sys.version_info[:2]
    return f"cp{version}-cp{version}-" + sysconfig.get_platform().replace("-", "_").replace(".", "_")


def check_record(wheel_path):
    with zipfile.ZipFile(wheel_path) as wheel:
        names = set(wheel.namelist())
        record_name = next(n for n in names if n.endswith(".dist-info/RECORD"))
        rows = list(csv.reader(io.StringIO(wheel.read(record_name).decode())))
        expect({row[0] for row in rows} == names, "RECORD does not list exactly the wheel's files")
        for name, digest, size in rows:
            if name == record_name:
                expect(digest == size == "", "RECORD lists a hash of itself")
                continue
            data = wheel.read(name)
            want = "sha256=" + base64.urlsafe_b64encode(
                hashlib.sha256(data).digest()).rstrip(b"=").decode()
            expect((digest, int(size)) == (want, len(data)), f"RECORD is wrong for {name}")
        info = record_name.rsplit("/", 1)[0]
        wheel_file = wheel.read(f"{info}/WHEEL").decode()
        expect(f"Tag: {tag()}\n" in wheel_file and "Root-Is-Purelib: false\n" in wheel_file,
               wheel_file)
        expect(wheel.read(f"{info}/entry_points.txt").decode()
               == "[console_scripts]\nvelkorenc = velkorenc_cli:main\n", "entry points")
        expect("velkorenc-stubs/__init__.pyi" in names and "velkorenc_cli.py" in names,
               f"stub package or command missing: {sorted(names)}")
        metadata = wheel.read(f"{info}/METADATA").decode()
        python = "Classifier: Programming Language :: Python :: %d.%d\n" % sys.version_info[:2]
        expect("License: MIT\nLicense-File: LICENSE\n" in metadata and python in metadata,
               f"licence or this Python's classifier missing from the metadata:\n{metadata}")
        expect(wheel.read(f"{info}/LICENSE").startswith(b"MIT License\n"), "no licence")


def main(source, work, build_dir):
    source, work, build_dir = map(os.path.abspath, (source, work, build_dir))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    first = os.path.join(work, "venv")
    python = os.path.join(first, "bin", "python")
    pip = [python, "-m", "pip", "--disable-pip-version-check", "--no-input"]
    build_setting = f"--config-settings=build-dir={build_dir}"

    def fresh_environment():
        run(sys.executable, "-m", "venv", first)
        return None

    state = {}

    def pip_install():
        state["site"] = run(python, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))",
                            capture_output=True, text=True).stdout.strip()
        state["before"] = tree(state["site"], os.path.join(first, "bin"))
        run(*pip, "install", "--no-index", build_setting, source, stdout=subprocess.DEVNULL)

    def metadata_and_import():
        shown = run(*pip, "show", "velkorenc", capture_output=True, text=True).stdout
        expect("Name: velkorenc\nVersion: 2.0.0\n" in shown and "\nLicense: MIT\n" in shown, shown)
        probe = run(python, "-I", "-c", "import importlib.metadata as m, velkorenc; "
                    "print(m.version('velkorenc'), velkorenc.version(), velkorenc.__file__)",
                    capture_output=True, text=True, cwd=work).stdout.split()
        expect(probe[:4] == ["2.0.0", "Velkor", "Enc", "v2.0.0"]
               and probe[4].startswith(state["site"]), probe)
        no_main = subprocess.run([python, "-m", "velkorenc"], capture_output=True,
                                 env=environment(), cwd=work)
        expect(no_main.returncode != 0 and no_main.stdout == b"",
               "python -m velkorenc must stay impossible")

    def command():
        check_command(os.path.join(first, "bin", "velkorenc"), work)
        expect(os.path.isfile(os.path.join(first, MANUAL_PAGE)), f"no {MANUAL_PAGE}")

    def stub():
        return check_stub(python, state["site"])

    def wheel_into_second_environment():
        wheels = os.path.join(work, "wheels")
        run(*pip, "wheel", "--no-index", "--no-deps", build_setting, "-w", wheels, source,
            stdout=subprocess.DEVNULL)
        names = os.listdir(wheels)
        expect(names == [f"velkorenc-2.0.0-{tag()}.whl"], names)
        check_record(os.path.join(wheels, names[0]))
        second = os.path.join(work, "second")
        run(sys.executable, "-m", "venv", "--without-pip", second)
        run(*pip, "--python", os.path.join(second, "bin", "python"), "install", "--no-index",
            os.path.join(wheels, names[0]), stdout=subprocess.DEVNULL)
        check_command(os.path.join(second, "bin", "velkorenc"), work)

    def uninstall_leaves_nothing():
        run(*pip, "uninstall", "-y", "velkorenc", stdout=subprocess.DEVNULL)
        after = tree(state["site"], os.path.join(first, "bin"))
        expect(not os.path.exists(os.path.join(first, MANUAL_PAGE)), "the manual page stays")
        expect(after == state["before"],
               f"left behind: {sorted(after - state['before'])}, "
               f"removed: {sorted(state['before'] - after)}")

    def source_archive():
        archives = os.path.join(work, "sdist")
        run(sys.executable, "-c", "import sys; sys.path.insert(0, 'backend'); "
            "import velkorenc_backend as b; print(b.build_sdist(sys.argv[1]))", archives,
            cwd=source, stdout=subprocess.DEVNULL)
        with tarfile.open(os.path.join(archives, "velkorenc-2.0.0.tar.gz")) as archive:
            files = {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile()}
        expect("PKG-INFO" in files, "no PKG-INFO")
        try:
            tracked = subprocess.run(["git", "-C", source, "ls-files"], capture_output=True,
                                     text=True)
        except FileNotFoundError:
            return "contents not compared: no git on this machine"
        if tracked.returncode != 0:
            return "contents not compared: the source is not a git checkout"
        missing = set(tracked.stdout.splitlines()) - NOT_IN_SDIST - files
        expect(not missing, f"tracked files missing from the source archive: {sorted(missing)}")

    run_checks([("a fresh virtual environment", fresh_environment),
                ("pip install --no-index", pip_install),
                ("metadata and import", metadata_and_import),
                ("the velkorenc command", command),
                ("the type stub", stub),
                ("pip wheel, installed into a second environment", wheel_into_second_environment),
                ("pip uninstall", uninstall_leaves_nothing),
                ("the source archive", source_archive)])
    shutil.rmtree(work, ignore_errors=True)
    print("pip checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
