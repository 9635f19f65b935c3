#include "velkorenc/args.hpp"
#include "velkorenc/core/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

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

// _shuffle(_BASE_TOKENS, key), both names read now.
Ref shuffled_tokens(PyObject* key) {
  Ref shuffle = lookup_global(g.names._shuffle);
  if (!shuffle) return {};
  Ref base = lookup_global(g.names._BASE_TOKENS);
  if (!base) return {};
  PyObject* call[] = {base.get(), key};
  return Ref(PyObject_Vectorcall(shuffle.get(), call, 2, nullptr));
}

// The pair (enc, dec) of the first 256 tokens.
Ref tables_from_tokens(PyObject* tokens) {
  Ref enc(_PyDict_NewPresized(256));
  if (!enc) return {};
  for (Py_ssize_t i = 0; i < 256; ++i) {
    Ref value(PyLong_FromSsize_t(i));
    Ref token = value ? token_at(tokens, i) : Ref();
    if (!token || PyDict_SetItem(enc.get(), value.get(), token.get()) < 0) return {};
  }
  Ref dec(_PyDict_NewPresized(256));
  if (!dec) return {};
  for (Py_ssize_t i = 0; i < 256; ++i) {
    Ref value(PyLong_FromSsize_t(i));
    Ref token = value ? token_at(tokens, i) : Ref();
    if (!token || PyDict_SetItem(dec.get(), token.get(), value.get()) < 0) return {};
  }
  return Ref(PyTuple_Pack(2, enc.get(), dec.get()));
}

Ref generate_table(PyObject* key) {
  Ref tokens = shuffled_tokens(key);
  return tokens ? tables_from_tokens(tokens.get()) : Ref();
}

// True when the first 256 of `tokens` are eight-character ASCII strs: then
// each table follows from the list alone, and no dict is needed to build it.
bool ordinary_tokens(PyObject* tokens) {
  if (!PyList_CheckExact(tokens) || PyList_GET_SIZE(tokens) < 256) return false;
  for (Py_ssize_t i = 0; i < 256; ++i) {
    PyObject* token = PyList_GET_ITEM(tokens, i);
    if (!PyUnicode_CheckExact(token) || !PyUnicode_IS_ASCII(token) ||
        PyUnicode_GET_LENGTH(token) != core::kTokenLength) {
      return false;
    }
  }
  return true;
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
  for (int v = 0; v < 256; ++v) {
    const auto letters = core::base_token(static_cast<std::uint8_t>(v));
    Ref token(PyUnicode_FromStringAndSize(letters.data(), letters.size()));
    if (!token || PyList_Append(tokens.get(), token.get()) < 0) return -1;
  }
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
  Ref shuffled = shuffled_tokens(key);
  if (!shuffled) return false;
  if (ordinary_tokens(shuffled.get())) {
    tokens_ = std::move(shuffled);
    return true;
  }
  table_ = element(tables_from_tokens(shuffled.get()), index);
  return static_cast<bool>(table_);
}

const char* KeyTable::token(int value) const {
  return reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(PyList_GET_ITEM(tokens_.get(), value)));
}

PyObject* KeyTable::table() {
  if (!table_) table_ = element(tables_from_tokens(tokens_.get()), index_);
  return table_.get();
}

PyObject* generate_table_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kGenerateTableSignature, args, nargs, kwnames, bound)) return nullptr;
  return generate_table(bound[0]).release();
}

}  // namespace velkorenc::py
