"""The project's includes run one way.

    check_layers.py SOURCE_DIR

The byte-level core (src/core/, include/velkorenc/core/) includes nothing of
Python and no header of the module's Python layer.  The Python layer's
folders include the core and each other only downwards: frontend, codec,
keying, then the module shell (src/velkorenc/ with its headers).  The one
exception is the module's own definition, which names every function.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)

# Each Python-layer header and folder, by its rank: a file may include
# headers of its own rank or below.
HEADER_RANKS = {
    "velkorenc/pyref.hpp": 0, "velkorenc/state.hpp": 0, "velkorenc/errors.hpp": 0,
    "velkorenc/args.hpp": 0, "velkorenc/gil.hpp": 0,
    "velkorenc/keying.hpp": 1, "velkorenc/native_random.hpp": 1,
    "velkorenc/codec.hpp": 2,
    "velkorenc/frontend.hpp": 3,
}
FOLDER_RANKS = {"src/velkorenc": 0, "src/keying": 1, "src/codec": 2, "src/frontend": 3}
EXEMPT = {"src/velkorenc/module.cpp"}
PYTHON_HEADERS = ("Python.h", "frameobject.h")


def sources(root, folder):
    for directory, _, names in os.walk(os.path.join(root, folder)):
        for name in sorted(names):
            if name.endswith((".cpp", ".hpp")):
                path = os.path.join(directory, name)
                yield os.path.relpath(path, root), open(path, encoding="utf-8").read()


def main(root):
    faults = []
    for folder in ("src/core", "include/velkorenc/core"):
        for path, text in sources(root, folder):
            for header in INCLUDE.findall(text):
                if header in PYTHON_HEADERS or (header.startswith("velkorenc/")
                                                and not header.startswith("velkorenc/core/")):
                    faults.append(f"{path}: the core includes {header}")
    headers = [(f"include/{name}", rank) for name, rank in HEADER_RANKS.items()]
    for folder, rank in FOLDER_RANKS.items():
        files = list(sources(root, folder))
        files += [(path, open(os.path.join(root, path), encoding="utf-8").read())
                  for path, header_rank in headers if header_rank == rank]
        for path, text in files:
            if path in EXEMPT:
                continue
            for header in INCLUDE.findall(text):
                if HEADER_RANKS.get(header, -1) > rank:
                    faults.append(f"{path}: includes {header}, a layer above it")
    known = {os.path.relpath(os.path.join(d, n), os.path.join(root, "include"))
             for d, _, names in os.walk(os.path.join(root, "include/velkorenc"))
             for n in names if n.endswith(".hpp")}
    unranked = sorted(h for h in known if not h.startswith("velkorenc/core/")
                      and h not in HEADER_RANKS)
    if unranked:
        faults.append(f"headers of the Python layer without a rank here: {unranked}")
    if faults:
        print("FAIL:\n" + "\n".join(faults), file=sys.stderr)
        return 1
    print("includes run one way: core <- module shell <- keying <- codec <- frontend")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
