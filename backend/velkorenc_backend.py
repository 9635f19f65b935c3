"""Builds velkorenc's wheel and source archive for pip, by way of CMake.

pyproject.toml names this module as its build backend (PEP 517) through
backend-path, so that `pip install .` and `pip wheel .` need nothing from a
package index: only the standard library, CMake and a C++ compiler.

CMake stays the one build definition.  A wheel is the module target built
for the interpreter that runs this backend, staged by `cmake --install` of the
"python" component (the module, its type stub, the stub-only package
velkorenc-stubs and the command's module) and of the "man" component (the
manual page, as the wheel's data under share/), plus the .dist-info metadata
written here: METADATA from the [project] table of pyproject.toml with the
version of CMakeLists.txt's project(), WHEEL with the interpreter's tags,
entry_points.txt for the `velkorenc` command, the licence, and RECORD.

Config settings (`pip install . -C build-dir=DIR`):
    build-dir   where CMake builds; default build-pip/ in the source tree, so
                that the build/ of the README's commands is never touched.
"""
import base64
import csv
import gzip
import hashlib
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = "velkorenc"
# The [project] keys this backend writes into the metadata; any other key
# is refused rather than silently left out of the wheel.
PROJECT_KEYS = {"name", "dynamic", "description", "readme", "requires-python", "license",
                "classifiers", "scripts"}
# The licence's text, which every wheel and source archive carries.
LICENSE_FILE = "LICENSE"
# What a source archive holds, relative to the source tree.
SDIST_CONTENT = ("pyproject.toml", "CMakeLists.txt", "CMakePresets.json", "README.md",
                 "ARCHITECTURE.md", "CHANGELOG.md", "SECURITY.md", LICENSE_FILE, "backend",
                 "bench", "cli", "cmake", "examples", "include", "src", "stubs", "tests", "tools")
SDIST_SKIPPED_NAMES = {"__pycache__"}
SDIST_SKIPPED_SUFFIXES = (".pyc", ".pyo")


class BuildError(Exception):
    """A build that cannot go on; pip shows the message."""


# -- project metadata ------------------------------------------------------

def _read_project():
    try:
        import tomllib
    except ImportError:  # before 3.11, which cannot run the module anyway
        raise BuildError(f"{NAME} builds only for CPython 3.12 or later; this is "
                         f"{sys.implementation.name} {sys.version.split()[0]}") from None
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f).get("project", {})
    unknown = sorted(set(project) - PROJECT_KEYS)
    if unknown:
        raise BuildError(f"pyproject.toml: [project] keys this backend does not write: {unknown}")
    if project.get("name") != NAME or project.get("dynamic") != ["version"]:
        raise BuildError(f"pyproject.toml: expected name = {NAME!r} and dynamic = ['version']")
    license = project.get("license", {"text": ""})
    if not isinstance(license, dict) or set(license) != {"text"} or \
            not isinstance(license["text"], str):
        raise BuildError('pyproject.toml: license must be {text = "..."}')
    project = dict(project, version=_cmake_project_version())
    return project


def _cmake_project_version():
    """The VERSION of the project() call in CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(rf"^\s*project\(\s*{NAME}\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)\b",
                          f.read(), re.M)
    if not found:
        raise BuildError(f"CMakeLists.txt: no project({NAME} VERSION x.y.z) found")
    return found.group(1)


def _metadata(project):
    """The core metadata (version 2.1) as METADATA and PKG-INFO hold it."""
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}"]
    if "description" in project:
        lines.append(f"Summary: {project['description']}")
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    if "license" in project:
        lines.append(f"License: {project['license']['text']}")
    lines.append(f"License-File: {LICENSE_FILE}")
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    body = ""
    if "readme" in project:
        readme = project["readme"]
        if not isinstance(readme, str) or not readme.endswith(".md"):
            raise BuildError("pyproject.toml: readme must name a Markdown file")
        lines.append("Description-Content-Type: text/markdown")
        with open(os.path.join(ROOT, readme), encoding="utf-8") as f:
            body = f.read()
    return "\n".join(lines) + "\n\n" + body


def _entry_points(project):
    scripts = project.get("scripts", {})
    if not scripts:
        return None
    return "[console_scripts]\n" + "".join(f"{n} = {t}\n" for n, t in sorted(scripts.items()))


# -- the interpreter -------------------------------------------------------

def _oldest_python(project):
    """The (major, minor) of requires-python's ">=X.Y"."""
    found = re.fullmatch(r"\s*>=\s*(\d+)\.(\d+)\s*", project.get("requires-python", ""))
    if not found:
        raise BuildError("pyproject.toml: requires-python must be \">=X.Y\"")
    return int(found.group(1)), int(found.group(2))


def _wheel_tag(project, check=True):
    """cp3X-cp3X-<platform> for the running interpreter.  Metadata is
    prepared unchecked, so that pip itself refuses an older Python by the
    metadata's Requires-Python, in its own words."""
    oldest = _oldest_python(project)
    if check and (sys.implementation.name != "cpython" or sys.version_info[:2] < oldest):
        raise BuildError(f"{NAME} builds only for CPython {oldest[0]}.{oldest[1]} or later; "
                         f"this is {sys.implementation.name} {sys.version.split()[0]} "
                         f"({sys.executable})")
    version = "%d%d" % sys.version_info[:2]
    interpreter = "cp" + version
    # SOABI is e.g. cpython-313-x86_64-linux-gnu, or cpython-313d-... for a
    # debug build and cpython-313t-... for a free-threaded one, whose ABI tags
    # are then cp313d and cp313t.
    soabi = sysconfig.get_config_var("SOABI") or ""
    parts = soabi.split("-")
    abi = "cp" + parts[1] if len(parts) > 1 and parts[1].startswith(version) else interpreter
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    return f"{interpreter}-{abi}-{platform}"


# -- building with CMake ---------------------------------------------------

def _run(command):
    print("+", " ".join(command), flush=True)
    try:
        subprocess.run(command, check=True)
    except FileNotFoundError:
        raise BuildError(f"{command[0]} not found") from None
    except subprocess.CalledProcessError as exc:
        raise BuildError(f"{' '.join(command)} failed with status {exc.returncode}") from None


def _cached(build_dir, name):
    """A value from the CMake cache of build_dir, or None."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].rstrip("\n")
    except OSError:
        pass
    return None


def _stage(config_settings, stage_dir):
    """Configures and builds the module for this interpreter, then installs
    the python component into stage_dir/site-packages; returns that folder."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise BuildError(f"building {NAME} needs CMake 3.25 or later on the PATH")
    settings = config_settings or {}
    build_dir = os.path.abspath(settings.get("build-dir") or os.path.join(ROOT, "build-pip"))
    interpreter = sys.executable
    configure = [cmake, "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DBUILD_TESTING=OFF", f"-DPython_EXECUTABLE={interpreter}",
                 "-DVELKORENC_PYTHON_INSTALL_DIR=site-packages"]
    # A folder configured for another interpreter or source tree starts afresh.
    for name, wanted in (("Python_EXECUTABLE", interpreter), ("CMAKE_HOME_DIRECTORY", ROOT)):
        found = _cached(build_dir, name)
        if found is not None and os.path.realpath(found) != os.path.realpath(wanted):
            configure.append("--fresh")
            break
    _run(configure)
    build = [cmake, "--build", build_dir, "--target", NAME]
    if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
        build += ["--parallel", "2"]
    _run(build)
    for component in ("python", "man"):
        _run([cmake, "--install", build_dir, "--prefix", stage_dir, "--component", component])
    return os.path.join(stage_dir, "site-packages")


# -- archives --------------------------------------------------------------

def _timestamp():
    """SOURCE_DATE_EPOCH when set, for reproducible archives; else now."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())), 315532800)


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def _dist_info_files(project, tag):
    """The .dist-info files other than RECORD: name -> text."""
    with open(os.path.join(ROOT, LICENSE_FILE), encoding="utf-8") as f:
        license_text = f.read()
    files = {"METADATA": _metadata(project), LICENSE_FILE: license_text,
             "WHEEL": (f"Wheel-Version: 1.0\nGenerator: {NAME}_backend {project['version']}\n"
                       f"Root-Is-Purelib: false\nTag: {tag}\n")}
    entry_points = _entry_points(project)
    if entry_points:
        files["entry_points.txt"] = entry_points
    return files


def _dist_info_dir(project):
    return f"{NAME}-{project['version']}.dist-info"


def _write_wheel(path, site, project, tag):
    date = time.gmtime(_timestamp())[:6]
    entries = []
    # The stage's site-packages goes to the wheel's root, its share/ (the
    # manual page) to the data that pip installs under the prefix.
    data = f"{NAME}-{project['version']}.data/data/"
    for root, prefix in ((site, ""), (os.path.join(os.path.dirname(site), "share"),
                                      data + "share/")):
        for directory, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                full = os.path.join(directory, name)
                executable = os.stat(full).st_mode & 0o111
                with open(full, "rb") as f:
                    entries.append((prefix + os.path.relpath(full, root).replace(os.sep, "/"),
                                    f.read(), 0o755 if executable else 0o644))
    dist_info = _dist_info_dir(project)
    for name, text in _dist_info_files(project, tag).items():
        entries.append((f"{dist_info}/{name}", text.encode("utf-8"), 0o644))
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data, _ in entries:
        writer.writerow([name, _record_hash(data), len(data)])
    writer.writerow([f"{dist_info}/RECORD", "", ""])
    entries.append((f"{dist_info}/RECORD", record.getvalue().encode("utf-8"), 0o644))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date)
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)


def _sdist_filter(mtime):
    def normalise(info):
        parts = info.name.split("/")
        if SDIST_SKIPPED_NAMES.intersection(parts) or info.name.endswith(SDIST_SKIPPED_SUFFIXES):
            return None
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mtime = mtime
        info.mode = 0o755 if info.isdir() or info.mode & 0o100 else 0o644
        return info
    return normalise


# -- the hooks -------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _read_project()
    dist_info = _dist_info_dir(project)
    target = os.path.join(metadata_directory, dist_info)
    os.makedirs(target, exist_ok=True)
    for name, text in _dist_info_files(project, _wheel_tag(project, check=False)).items():
        with open(os.path.join(target, name), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project = _read_project()
    tag = _wheel_tag(project)
    filename = f"{NAME}-{project['version']}-{tag}.whl"
    os.makedirs(wheel_directory, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix=f"{NAME}-stage-") as stage:
        site = _stage(config_settings, stage)
        # Written beside its final name and moved there complete.
        partial = os.path.join(wheel_directory, filename + ".part")
        try:
            _write_wheel(partial, site, project, tag)
            os.replace(partial, os.path.join(wheel_directory, filename))
        finally:
            if os.path.exists(partial):
                os.remove(partial)
    return filename


def build_sdist(sdist_directory, config_settings=None):
    project = _read_project()
    base = f"{NAME}-{project['version']}"
    filename = base + ".tar.gz"
    mtime = _timestamp()
    os.makedirs(sdist_directory, exist_ok=True)
    partial = os.path.join(sdist_directory, filename + ".part")
    try:
        # A gzip header holds a time and a file name: fixed, not the build's.
        with open(partial, "wb") as raw, \
                gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=mtime) as packed, \
                tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as archive:
            normalise = _sdist_filter(mtime)
            for name in SDIST_CONTENT:
                archive.add(os.path.join(ROOT, name), f"{base}/{name}", filter=normalise)
            info = tarfile.TarInfo(f"{base}/PKG-INFO")
            data = _metadata(project).encode("utf-8")
            info.size, info.mtime, info.mode = len(data), mtime, 0o644
            archive.addfile(info, io.BytesIO(data))
        os.replace(partial, os.path.join(sdist_directory, filename))
    finally:
        if os.path.exists(partial):
            os.remove(partial)
    return filename
