// When the core generator may stand in for the interpreter's random.Random.
#pragma once

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// Records, once at load, the interpreter's random.Random from `random_module`
// and everything that Random(seed) and its randint reach: the class and its
// bases, its Python functions, and the names those read from the random
// module and from builtins.  When anything there is not the interpreter's own
// already, the core generator is never used.  -1 with an exception set only
// when the interpreter itself fails (memory).
int capture_random(PyObject* random_module);

// True when `random_class` is the class recorded at load and nothing that
// Random(seed) and randint(0, i) reach has been replaced since: then no
// caller can tell those calls from the core generator's draws, which give the
// same values.  When unsure, false.
bool is_genuine_random(PyObject* random_class);

}  // namespace velkorenc::py
