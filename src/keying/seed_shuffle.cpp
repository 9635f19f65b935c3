#include <climits>

#include "velkorenc/args.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// Displays the pending exception, then hands it to the unraisable hook with
// the routine's name, and clears it.
void report_seed_failure() {
  PyObject* exc = PyErr_GetRaisedException();
  PyErr_SetRaisedException(Py_NewRef(exc));
  PyErr_PrintEx(0);
  PyErr_SetRaisedException(exc);
  PyErr_WriteUnraisable(g.names.seed_context);
}

// The value randint returned as a signed 32-bit position.
bool as_position(PyObject* value, int& out) {
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT_MIN || v > INT_MAX) {
    raise_int_overflow();
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

Ref shuffle(PyObject* items, PyObject* key) {
  Ref seed(PyLong_FromUnsignedLong(key_to_seed(key)));
  if (!seed) return {};
  Ref random = lookup_global(g.names.random);
  if (!random) return {};
  Ref random_class(PyObject_GetAttr(random.get(), g.names.Random));
  if (!random_class) return {};
  Ref rng(PyObject_CallOneArg(random_class.get(), seed.get()));
  if (!rng) return {};
  Ref result(PyList_GetSlice(items, 0, PY_SSIZE_T_MAX));
  if (!result) return {};
  const Py_ssize_t n = PyList_GET_SIZE(result.get());
  if (n > INT_MAX) {
    raise_int_overflow();
    return {};
  }
  Ref randint(PyObject_GetAttr(rng.get(), g.names.randint));
  if (!randint) return {};
  for (Py_ssize_t i = n - 1; i >= 1; --i) {
    Ref upper(PyLong_FromSsize_t(i));
    if (!upper) return {};
    PyObject* call[] = {nullptr, g.int0, upper.get()};
    Ref drawn(PyObject_Vectorcall(randint.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                  nullptr));
    int j;
    if (!drawn || !as_position(drawn.get(), j)) return {};
    // Indexing a list: negative positions count from the end.
    const Py_ssize_t at = j < 0 ? j + n : j;
    if (at < 0 || at >= n) {
      raise_list_index();
      return {};
    }
    PyObject* moved = PyList_GET_ITEM(result.get(), at);
    PyList_SET_ITEM(result.get(), at, PyList_GET_ITEM(result.get(), i));
    PyList_SET_ITEM(result.get(), i, moved);
  }
  return result;
}

}  // namespace

std::uint32_t key_to_seed(PyObject* key) {
  if (key == Py_None) {
    raise_none_attribute("encode");
    report_seed_failure();
    return 0;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (!utf8) {
    report_seed_failure();
    return 0;
  }
  return core::fold_seed(
      core::ByteSpan(reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)));
}

bool transform_key(PyObject* key, std::size_t length, core::ByteSpan& out) {
  if (key == Py_None) {
    raise_none_attribute("encode");
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (!utf8) return false;
  if (!core::can_transform(static_cast<std::size_t>(size), length)) {
    raise_empty_key();
    return false;
  }
  out = core::ByteSpan(reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size));
  return true;
}

PyObject* shuffle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kShuffleSignature, args, nargs, kwnames, bound)) return nullptr;
  return shuffle(bound[0], bound[1]).release();
}

}  // namespace velkorenc::py
