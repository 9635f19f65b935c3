// Everything derived from the key, as the module's functions see it.
#pragma once

#include <cstdint>

#include "velkorenc/core/keying.hpp"
#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// The seed of a key.  Never raises: a key without a UTF-8 form (None, a lone
// surrogate) is reported through the interpreter's hooks and gives 0.
std::uint32_t key_to_seed(PyObject* key);

// The key's bytes as the keyed transform of `length` bytes uses them:
// AttributeError for None, UnicodeEncodeError without a UTF-8 form, and
// ValueError for an empty key when there is something to transform.
bool transform_key(PyObject* key, std::size_t length, core::ByteSpan& out);

// Builds _BASE_TOKENS and binds it with the loop names _i, _chars, _bit.
int bind_alphabet(PyObject* namespace_dict);

// `module.generate_table(key)` read from the namespace and called; element
// `index` of its result.
Ref table_from_namespace(PyObject* key, Py_ssize_t index);

PyObject* shuffle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* generate_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace velkorenc::py
