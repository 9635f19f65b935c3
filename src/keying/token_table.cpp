#include <array>
#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

constexpr std::size_t kTableSize = 256;

// The letters of every unshuffled token.
constexpr auto kBaseLetters = [] {
  std::array<std::array<char, core::kTokenLength>, kTableSize> letters{};
  for (std::size_t v = 0; v < kTableSize; ++v) letters[v] = core::base_token(static_cast<std::uint8_t>(v));
  return letters;
}();

// True while `tokens` is the _BASE_TOKENS list bound at load holding its 256
// tokens in their order.
bool is_loaded_alphabet(PyObject* tokens) {
  return tokens == g.alphabet && PyList_GET_SIZE(tokens) == static_cast<Py_ssize_t>(kTableSize) &&
         std::memcmp(reinterpret_cast<PyListObject*>(tokens)->ob_item,
                     reinterpret_cast<PyTupleObject*>(g.alphabet_tokens)->ob_item,
                     kTableSize * sizeof(PyObject*)) == 0;
}

// The token object of unshuffled value v (borrowed).
PyObject* base_token(std::uint8_t v) { return PyTuple_GET_ITEM(g.alphabet_tokens, v); }

// tokens[index] as the table build reads it.
Ref token_at(PyObject* tokens, Py_ssize_t index) {
  if (PyList_CheckExact(tokens)) {
    if (index >= PyList_GET_SIZE(tokens)) {
      raise_list_index();
      return {};
    }
    return Ref::borrow(PyList_GET_ITEM(tokens, index));
  }
  Ref position(PyLong_FromSsize_t(index));
  if (!position) return {};
  return Ref(PyObject_GetItem(tokens, position.get()));
}

// What _shuffle(_BASE_TOKENS, key) gives, both names read now: the list, or,
// when _shuffle and _BASE_TOKENS are the module's own and the core generator
// stands in, only where each unshuffled token lands.
struct Shuffled {
  Ref list;
  bool positioned = false;
  core::AlphabetPositions position;
};

bool shuffle_alphabet(PyObject* key, Shuffled& out) {
  Ref shuffle = lookup_global(g.names._shuffle);
  if (!shuffle) return false;
  Ref base = lookup_global(g.names._BASE_TOKENS);
  if (!base) return false;
  if (shuffle.get() != g.shuffle_function) {
    PyObject* call[] = {base.get(), key};
    out.list.reset(PyObject_Vectorcall(shuffle.get(), call, 2, nullptr));
    return static_cast<bool>(out.list);
  }
  // The module's own _shuffle, with its argument test: the key passed it
  // already, as generate_table's own.
  if (!PyList_CheckExact(base.get())) {
    raise_arg_type("items", &PyList_Type, base.get());
    return false;
  }
  Generator generator;
  if (!make_generator(key, generator)) return false;
  if (generator.native() && is_loaded_alphabet(base.get())) {
    out.position = core::alphabet_positions(generator.seed);
    out.positioned = true;
    return true;
  }
  out.list = shuffle_with(generator, base.get());
  return static_cast<bool>(out.list);
}

// The pair (enc, dec) of the first 256 tokens.
Ref tables_from_tokens(PyObject* tokens) {
  Ref enc(_PyDict_NewPresized(kTableSize));
  if (!enc) return {};
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kTableSize); ++i) {
    Ref value(PyLong_FromSsize_t(i));
    Ref token = value ? token_at(tokens, i) : Ref();
    if (!token || PyDict_SetItem(enc.get(), value.get(), token.get()) < 0) return {};
  }
  Ref dec(_PyDict_NewPresized(kTableSize));
  if (!dec) return {};
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(kTableSize); ++i) {
    Ref value(PyLong_FromSsize_t(i));
    Ref token = value ? token_at(tokens, i) : Ref();
    if (!token || PyDict_SetItem(dec.get(), token.get(), value.get()) < 0) return {};
  }
  return Ref(PyTuple_Pack(2, enc.get(), dec.get()));
}

// enc (index 0) or dec (index 1) of tokens that are all strs, the token of
// value v being token_of(v) (borrowed): building it runs no Python code.
template <class TokenOf>
Ref str_table(Py_ssize_t index, TokenOf token_of) {
  Ref table(_PyDict_NewPresized(kTableSize));
  if (!table) return {};
  for (std::size_t v = 0; v < kTableSize; ++v) {
    Ref value(PyLong_FromSize_t(v));
    if (!value) return {};
    PyObject* token = token_of(v);
    const int set = index == 0 ? PyDict_SetItem(table.get(), value.get(), token)
                               : PyDict_SetItem(table.get(), token, value.get());
    if (set < 0) return {};
  }
  return table;
}

Ref alphabet_table(const core::AlphabetPositions& position, Py_ssize_t index) {
  const core::AlphabetOrder order = core::order_of(position);
  return str_table(index, [&](std::size_t v) { return base_token(order[v]); });
}

Ref generate_table(PyObject* key) {
  Shuffled shuffled;
  if (!shuffle_alphabet(key, shuffled)) return {};
  if (!shuffled.positioned) return tables_from_tokens(shuffled.list.get());
  Ref enc = alphabet_table(shuffled.position, 0);
  Ref dec = enc ? alphabet_table(shuffled.position, 1) : Ref();
  return dec ? Ref(PyTuple_Pack(2, enc.get(), dec.get())) : Ref();
}

// The first 256 entries of a list, when all are strs, as a tuple: what the
// list held when the table was made, whatever happens to the list later.
// The tuple is made first, so that nothing can run between the test of an
// entry and its copy.
Ref str_snapshot(PyObject* tokens, bool& ascii_words) {
  if (!PyList_CheckExact(tokens)) return {};
  Ref snapshot(PyTuple_New(kTableSize));
  if (!snapshot || PyList_GET_SIZE(tokens) < static_cast<Py_ssize_t>(kTableSize)) return {};
  ascii_words = true;
  for (std::size_t i = 0; i < kTableSize; ++i) {
    PyObject* token = PyList_GET_ITEM(tokens, i);
    if (!PyUnicode_CheckExact(token)) return {};
    ascii_words = ascii_words && is_ascii_word(token);
    PyTuple_SET_ITEM(snapshot.get(), i, Py_NewRef(token));
  }
  return snapshot;
}

Ref element(Ref tables, Py_ssize_t index) {
  if (!tables) return {};
  if (PyTuple_CheckExact(tables.get()) && PyTuple_GET_SIZE(tables.get()) > index) {
    return Ref::borrow(PyTuple_GET_ITEM(tables.get(), index));
  }
  Ref position(PyLong_FromSsize_t(index));
  if (!position) return {};
  return Ref(PyObject_GetItem(tables.get(), position.get()));
}

}  // namespace

int bind_alphabet(PyObject* ns) {
  Ref tokens(PyList_New(0));
  if (!tokens || PyDict_SetItem(ns, g.names._BASE_TOKENS, tokens.get()) < 0) return -1;
  for (std::size_t v = 0; v < kTableSize; ++v) {
    Ref token(PyUnicode_FromStringAndSize(kBaseLetters[v].data(), core::kTokenLength));
    if (!token || PyList_Append(tokens.get(), token.get()) < 0) return -1;
  }
  Ref made(PyList_AsTuple(tokens.get()));
  if (!made) return -1;
  Py_XSETREF(g.alphabet_tokens, made.release());
  Py_XSETREF(g.alphabet, Py_NewRef(tokens.get()));
  // The loop names keep the values of the last pass: 255, its eight "q", 0.
  Ref last_letters(PyList_New(8));
  if (!last_letters) return -1;
  for (Py_ssize_t p = 0; p < 8; ++p) PyList_SET_ITEM(last_letters.get(), p, Py_NewRef(g.names.q));
  Ref last_value(PyLong_FromLong(255));
  if (!last_value || PyDict_SetItem(ns, g.names._i, last_value.get()) < 0 ||
      PyDict_SetItem(ns, g.names._chars, last_letters.get()) < 0 ||
      PyDict_SetItem(ns, g.names._bit, g.int0) < 0) {
    return -1;
  }
  return 0;
}

bool KeyTable::fetch(PyObject* key, Py_ssize_t index) {
  index_ = index;
  Ref function = lookup_global(g.names.generate_table);
  if (!function) return false;
  if (function.get() != g.generate_table_function) {
    table_ = element(Ref(PyObject_CallOneArg(function.get(), key)), index);
    return static_cast<bool>(table_);
  }
  // The module's own generate_table: its dicts would only be read back.
  Shuffled shuffled;
  if (!shuffle_alphabet(key, shuffled)) return false;
  if (shuffled.positioned) {
    kind_ = Kind::alphabet;
    position_ = shuffled.position;
    return true;
  }
  tokens_ = str_snapshot(shuffled.list.get(), ascii_words_);
  if (tokens_) {
    kind_ = Kind::tokens;
    // Tokens that cannot be read as words are read from the table: made now.
    return ascii_words_ || table();
  }
  if (PyErr_Occurred()) return false;
  // Tokens of other types: hashing them may run code, so both dicts are
  // built now, as generate_table builds them.
  table_ = element(tables_from_tokens(shuffled.list.get()), index);
  return static_cast<bool>(table_);
}

const char* KeyTable::token(int v) const {
  if (kind_ == Kind::alphabet) {
    if (!order_known_) {
      order_ = core::order_of(position_);
      order_known_ = true;
    }
    return kBaseLetters[order_[v]].data();
  }
  return reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(PyTuple_GET_ITEM(tokens_.get(), v)));
}

PyObject* KeyTable::table() {
  if (!table_) {
    if (kind_ == Kind::alphabet) {
      table_ = alphabet_table(position_, index_);
    } else {
      PyObject* tokens = tokens_.get();
      table_ = str_table(index_, [&](std::size_t v) { return PyTuple_GET_ITEM(tokens, v); });
    }
  }
  return table_.get();
}

PyObject* generate_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kGenerateTableSignature, args, nargs, kwnames, bound)) return nullptr;
  return generate_table(bound[0]).release();
}

}  // namespace velkorenc::py
