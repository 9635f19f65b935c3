// Everything derived from the key, as the module's functions see it.
#pragma once

#include <cstdint>

#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// An exact str of eight ASCII characters: a token that the fast paths copy
// and compare as eight bytes.
inline bool is_ascii_word(PyObject* token) {
  return PyUnicode_CheckExact(token) && PyUnicode_IS_ASCII(token) &&
         PyUnicode_GET_LENGTH(token) == static_cast<Py_ssize_t>(core::kTokenLength);
}

// The seed of a key.  Never raises: a key without a UTF-8 form (None, a lone
// surrogate) is reported through the interpreter's hooks and gives 0.
std::uint32_t key_to_seed(PyObject* key);

// The key's bytes as the keyed transform of `length` bytes uses them:
// AttributeError for None, UnicodeEncodeError without a UTF-8 form, and
// ValueError for an empty key when there is something to transform.
bool transform_key(PyObject* key, std::size_t length, core::ByteSpan& out);

// Steps 1 and 2 of the shuffle: the key's seed, then random.Random(seed)
// with `random` read from the namespace.  When that class is the
// interpreter's own and nothing it reaches has been replaced, no generator
// object is made: the core generator stands in for it and its randint.
struct Generator {
  std::uint32_t seed = 0;
  Ref rng;  // null when the core generator stands in
  bool native() const { return !rng; }
};
bool make_generator(PyObject* key, Generator& out);

// The rest of the shuffle: a copy of the list `items`, shuffled with the
// generator (rng.randint looked up at every position).
Ref shuffle_with(const Generator& generator, PyObject* items);

// Builds _BASE_TOKENS and binds it with the loop names _i, _chars, _bit, and
// keeps the list and its tokens to recognise them later.
int bind_alphabet(PyObject* namespace_dict);

// Element `index` (0 for enc, 1 for dec) of generate_table(key), with
// generate_table read from the namespace.  While that is the module's own
// function, no dict is built that would only be read back: the table is kept
// as the shuffled tokens as they were when it was made (a copy of the list,
// or, when _shuffle and _BASE_TOKENS are the module's own too and the core
// generator stands in, only where each unshuffled token lands).
class KeyTable {
 public:
  bool fetch(PyObject* key, Py_ssize_t index);
  // True when token(v) can be read: every token is eight ASCII characters.
  // When false, the table has been made already.
  bool has_tokens() const {
    return kind_ == Kind::alphabet || (kind_ == Kind::tokens && ascii_words_);
  }
  // The eight characters of the token of byte value v.
  const char* token(int v) const;
  // Where each unshuffled token lands, when the table is kept as that;
  // otherwise null.
  const core::AlphabetPositions* positions() const {
    return kind_ == Kind::alphabet ? &position_ : nullptr;
  }
  // The table as a Python object, built on first use (borrowed).
  PyObject* table();

 private:
  enum class Kind { object, tokens, alphabet };
  Kind kind_ = Kind::object;
  Ref table_;
  Ref tokens_;  // a tuple of the 256 tokens, when kind_ is tokens
  bool ascii_words_ = false;
  core::AlphabetPositions position_;  // when kind_ is alphabet
  // Its inverse, made when a token is first asked for.
  mutable core::AlphabetOrder order_;
  mutable bool order_known_ = false;
  Py_ssize_t index_ = 0;
};

PyObject* shuffle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* generate_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

}  // namespace velkorenc::py
