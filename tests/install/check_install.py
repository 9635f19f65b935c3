"""Installs a build into temporary places and imports the installed copy.

    python3.12 check_install.py CMAKE BUILD_DIR PREFIX SITE_DIR [--interpreter-prefix]

PREFIX and SITE_DIR are the build's install prefix and the directory under it
that receives the module; --interpreter-prefix says the build took PREFIX from
the interpreter, as none was given.  `cmake --install --prefix P` must put
exactly the module and its stub in P/SITE_DIR, and an isolated interpreter
with only that directory added must import that copy and round-trip data; an
install without --prefix (staged under DESTDIR) must land in PREFIX/SITE_DIR,
the interpreter's own site-packages when the build chose PREFIX.
"""
import os
import subprocess
import sys
import sysconfig
import tempfile

CHILD = r"""
import sys
site = sys.argv[1]
sys.path.insert(0, site)
import velkorenc
import os
assert os.path.dirname(velkorenc.__file__) == site, velkorenc.__file__
assert not any("site-packages" in p for p in sys.path[1:]), sys.path
data = bytes(range(256)) * 3
text = velkorenc.encode_bytes(data, "install")
assert velkorenc.decode_bytes(text, "install") == data
assert velkorenc.decode(velkorenc.encode("pr\u00fcfen \U0001f511")) == "pr\u00fcfen \U0001f511"
print(velkorenc.version())
"""


def installed_files(cmake, build, destdir=None, prefix=None):
    env = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
    if destdir:
        env["DESTDIR"] = destdir
    command = [cmake, "--install", build] + (["--prefix", prefix] if prefix else [])
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
    root = destdir or prefix
    found = set()
    for directory, _, files in os.walk(root):
        found.update(os.path.relpath(os.path.join(directory, f), root) for f in files)
    return found


def expect(condition, message):
    if not condition:
        print("FAIL:", message, file=sys.stderr)
        sys.exit(1)


def main(cmake, build, prefix, site_dir, *flags):
    module = "velkorenc" + sysconfig.get_config_var("EXT_SUFFIX")
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "prefix")
        site = os.path.join(target, site_dir)
        files = installed_files(cmake, build, prefix=target)
        expected = {os.path.join(site_dir, module), os.path.join(site_dir, "velkorenc.pyi")}
        expect(files == expected, f"--prefix installed {sorted(files)}, not {sorted(expected)}")
        result = subprocess.run([sys.executable, "-I", "-S", "-c", CHILD, site],
                                capture_output=True, text=True, cwd=work, timeout=60)
        expect(result.returncode == 0, f"installed module failed:\n{result.stderr}")
        expect(result.stdout.strip() == "Velkor Enc v2.0.0", result.stdout)

        staged = os.path.join(work, "staged")
        default_site = os.path.join(prefix, site_dir)
        files = installed_files(cmake, build, destdir=staged)
        expected = {os.path.relpath(os.path.join(default_site, name), "/")
                    for name in (module, "velkorenc.pyi")}
        expect(files == expected, f"default install gave {sorted(files)}, not {sorted(expected)}")
    if "--interpreter-prefix" in flags:
        platlib = os.path.normpath(sysconfig.get_path("platlib"))
        expect(os.path.normpath(default_site) == platlib,
               f"default destination {default_site} is not {platlib}")
    print("install checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
