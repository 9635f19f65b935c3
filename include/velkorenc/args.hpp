// The one argument binder behind every module function but version().
#pragma once

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

struct Param {
  const char* name;
  PyObject* const* keyword;  // interned name, filled at load
  PyTypeObject* type;        // the exact type accepted
  bool none_ok;              // None passes the type test too
};

struct Signature {
  const char* function;
  const Param* params;
  Py_ssize_t count;
  Py_ssize_t required;  // the others default to the shared "QJX"
};

inline constexpr Py_ssize_t kMaxParams = 3;

// Binds a vectorcall's arguments to `sig`, then runs the exact-type test in
// parameter order.  On success `out[i]` is a borrowed reference for each
// parameter; on failure a TypeError is set and false returned.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject* (&out)[kMaxParams]);

extern const Signature kShuffleSignature;
extern const Signature kGenerateTableSignature;
extern const Signature kEncodeBytesSignature;
extern const Signature kDecodeBytesSignature;
extern const Signature kEncodeSignature;
extern const Signature kDecodeSignature;
extern const Signature kEncodeFileSignature;
extern const Signature kDecodeFileSignature;

}  // namespace velkorenc::py
