"""Installs a build into temporary places and uses the installed copy.

    python3.X check_install.py CMAKE BUILD_DIR PREFIX SITE_DIR BIN_DIR [--interpreter-prefix]

PREFIX, SITE_DIR and BIN_DIR are the build's install prefix and the folders
under it that receive the module and the command; --interpreter-prefix says
the build took PREFIX from the interpreter, as none was given.
`cmake --install --prefix P` must put exactly the module, its stub (beside it
and as the package velkorenc-stubs), the command's module, the command and
its manual page in P; an isolated interpreter with only P/SITE_DIR added must
import that copy, and P/BIN_DIR/velkorenc must run from there.  Installed into a virtual
environment, a type checker must find the stub.  An install without --prefix
(staged under DESTDIR) must land in PREFIX, the interpreter's own
site-packages when the build chose PREFIX.
"""
import os
import subprocess
import sys
import sysconfig
import tempfile

from installed_tree import check_command, check_stub, environment, expect, run_checks

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


MANUAL_PAGE = os.path.join("share", "man", "man1", "velkorenc.1")


def install(cmake, build, destdir=None, prefix=None, component=None):
    """Installs and returns the set of files installed, relative to the root."""
    env = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
    if destdir:
        env["DESTDIR"] = destdir
    command = [cmake, "--install", build] + (["--prefix", prefix] if prefix else [])
    command += ["--component", component] if component else []
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
    root = destdir or prefix
    found = set()
    for directory, _, files in os.walk(root):
        found.update(os.path.relpath(os.path.join(directory, f), root) for f in files)
    return found


def expected_files(site_dir, bin_dir):
    module = "velkorenc" + sysconfig.get_config_var("EXT_SUFFIX")
    return {os.path.join(site_dir, name) for name in
            (module, "velkorenc.pyi", os.path.join("velkorenc-stubs", "__init__.pyi"),
             "velkorenc_cli.py")} | {os.path.join(bin_dir, "velkorenc"), MANUAL_PAGE}


def main(cmake, build, prefix, site_dir, bin_dir, *flags):
    with tempfile.TemporaryDirectory() as work:
        target = os.path.join(work, "prefix")
        site = os.path.join(target, site_dir)

        def into_prefix():
            files = install(cmake, build, prefix=target)
            expected = expected_files(site_dir, bin_dir)
            expect(files == expected, f"--prefix installed {sorted(files)}, not {sorted(expected)}")
            result = subprocess.run([sys.executable, "-I", "-S", "-c", CHILD, site],
                                    capture_output=True, text=True, cwd=work, timeout=60)
            expect(result.returncode == 0, f"installed module failed:\n{result.stderr}")
            expect(result.stdout.strip() == "Velkor Enc v2.0.0", result.stdout)

        def command_from_prefix():
            check_command(os.path.join(target, bin_dir, "velkorenc"), work)

        def stub_in_a_virtual_environment():
            if site_dir != os.path.join("lib", "python%d.%d" % sys.version_info[:2], "site-packages"):
                return "skipped: a venv's site-packages is not <prefix>/" + site_dir
            venv = os.path.join(work, "venv")
            subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True,
                           env=environment())
            install(cmake, build, prefix=venv, component="python")
            return check_stub(os.path.join(venv, "bin", "python"), os.path.join(venv, site_dir))

        def default_destination():
            staged = os.path.join(work, "staged")
            files = install(cmake, build, destdir=staged)
            expected = {os.path.relpath(os.path.join(prefix, name), "/")
                        for name in expected_files(site_dir, bin_dir)}
            expect(files == expected, f"default install gave {sorted(files)}, not {sorted(expected)}")
            if "--interpreter-prefix" in flags:
                platlib = os.path.normpath(sysconfig.get_path("platlib"))
                default_site = os.path.normpath(os.path.join(prefix, site_dir))
                expect(default_site == platlib, f"default destination {default_site} is not {platlib}")

        run_checks([("install into a prefix", into_prefix),
                    ("the command from the prefix", command_from_prefix),
                    ("the type stub", stub_in_a_virtual_environment),
                    ("the default destination", default_destination)])
    print("install checks passed")


if __name__ == "__main__":
    main(*sys.argv[1:])
