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

// Element `index` (0 for enc, 1 for dec) of generate_table(key), with
// generate_table read from the namespace.  While that is the module's own
// function and the shuffled alphabet is made of eight-character ASCII
// tokens, the codec reads the tokens straight from the shuffled list: the
// same table, without building dicts that would only be read back.
class KeyTable {
 public:
  bool fetch(PyObject* key, Py_ssize_t index);
  // True when token(v) can be read; otherwise use table().
  bool has_tokens() const { return static_cast<bool>(tokens_); }
  // The eight characters of the token at position v of the shuffled list.
  const char* token(int v) const;
  // The table as a Python object, built on first use (borrowed).
  PyObject* table();

 private:
  Ref tokens_;
  Ref table_;
  Py_ssize_t index_ = 0;
};

PyObject* shuffle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* generate_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace velkorenc::py
