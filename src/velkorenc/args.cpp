#include "velkorenc/args.hpp"

#include "velkorenc/errors.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

bool same_name(PyObject* keyword, PyObject* name) {
  return keyword == name ||
         (PyUnicode_Check(keyword) && PyUnicode_GET_LENGTH(keyword) == PyUnicode_GET_LENGTH(name) &&
          PyUnicode_Compare(keyword, name) == 0);
}

// Index in `kwnames` of the keyword naming `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
  }
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (same_name(PyTuple_GET_ITEM(kwnames, k), name)) return k;
  }
  return -1;
}

// Every keyword left over after the parameters took theirs: each must name a
// parameter that was not passed positionally.
bool check_keywords(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* const* kwvalues, PyObject* (&out)[kMaxParams]) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(keyword)) {
      raise_keywords_not_strings(sig.function);
      return false;
    }
    Py_ssize_t index = 0;
    while (index < sig.count && !same_name(keyword, *sig.params[index].keyword)) ++index;
    if (index == sig.count) {
      raise_unexpected_keyword(sig.function, keyword);
      return false;
    }
    if (index < nargs) {
      raise_multiple_values(sig.function, keyword);
      return false;
    }
    out[index] = kwvalues[k];
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject* (&out)[kMaxParams]) {
  const bool exact = sig.required == sig.count;
  if (nargs > sig.count) {
    raise_arity(sig.function, exact, sig.required, sig.count, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < kMaxParams; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (!kwnames) {
    if (nargs < sig.required) {
      raise_arity(sig.function, exact, sig.required, sig.count, nargs);
      return false;
    }
  } else {
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = nargs; i < sig.count; ++i) {
      if (i >= sig.required && unused == 0) break;
      const Py_ssize_t k = find_keyword(kwnames, *sig.params[i].keyword);
      if (k >= 0) {
        out[i] = kwvalues[k];
        --unused;
      } else if (i < sig.required) {
        // The count given is that of the required parameters before this one.
        raise_arity(sig.function, exact, sig.required, sig.count, i);
        return false;
      }
    }
    if (unused > 0 && !check_keywords(sig, nargs, kwnames, kwvalues, out)) return false;
  }
  for (Py_ssize_t i = sig.required; i < sig.count; ++i) {
    if (!out[i]) out[i] = g.names.default_key;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) {
    const Param& param = sig.params[i];
    PyObject* value = out[i];
    if (!Py_IS_TYPE(value, param.type) && !(param.none_ok && value == Py_None)) {
      raise_arg_type(param.name, param.type, value);
      return false;
    }
  }
  return true;
}

namespace {

constexpr Param str_param(const char* name, PyObject* const* keyword) {
  return {name, keyword, &PyUnicode_Type, true};
}

const Param kShuffleParams[] = {{"items", &g.names.items, &PyList_Type, false},
                                str_param("key", &g.names.key)};
const Param kKeyParams[] = {str_param("key", &g.names.key)};
const Param kDataKeyParams[] = {{"data", &g.names.data, &PyBytes_Type, true},
                                str_param("key", &g.names.key)};
const Param kEncodedKeyParams[] = {str_param("encoded", &g.names.encoded),
                                   str_param("key", &g.names.key)};
const Param kTextKeyParams[] = {str_param("text", &g.names.text),
                                str_param("key", &g.names.key)};
const Param kPathsKeyParams[] = {str_param("input_path", &g.names.input_path),
                                 str_param("output_path", &g.names.output_path),
                                 str_param("key", &g.names.key)};

}  // namespace

// _shuffle refuses None for `items`: a shuffle of nothing has no meaning.
const Signature kShuffleSignature = {"_shuffle", kShuffleParams, 2, 2};
const Signature kGenerateTableSignature = {"generate_table", kKeyParams, 1, 0};
const Signature kEncodeBytesSignature = {"encode_bytes", kDataKeyParams, 2, 1};
const Signature kDecodeBytesSignature = {"decode_bytes", kEncodedKeyParams, 2, 1};
const Signature kEncodeSignature = {"encode", kTextKeyParams, 2, 1};
const Signature kDecodeSignature = {"decode", kTextKeyParams, 2, 1};
const Signature kEncodeFileSignature = {"encode_file", kPathsKeyParams, 3, 2};
const Signature kDecodeFileSignature = {"decode_file", kPathsKeyParams, 3, 2};

}  // namespace velkorenc::py
