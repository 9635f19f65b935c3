#include <climits>

#include "velkorenc/args.hpp"
#include "velkorenc/core/keying/generator.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/native_random.hpp"
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

// result[i], result[j] = result[j], result[i] with rng.randint(0, i) as j:
// the method is looked up anew for every position, and the list is indexed
// as it stands after the call, which may have changed it.
bool python_swap(PyObject* rng, PyObject* result, Py_ssize_t i) {
  Ref upper(PyLong_FromSsize_t(i));
  if (!upper) return false;
  PyObject* call[] = {nullptr, rng, g.int0, upper.get()};
  Ref drawn(PyObject_VectorcallMethod(g.names.randint, call + 1,
                                      3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  int j;
  if (!drawn || !int_value(drawn.get(), j)) return false;
  const Py_ssize_t size = PyList_GET_SIZE(result);
  // Indexing a list: negative positions count from the end.
  const Py_ssize_t at = j < 0 ? j + size : j;
  if (at < 0 || at >= size || i >= size) {
    raise_list_index();
    return false;
  }
  PyObject* moved = PyList_GET_ITEM(result, at);
  PyList_SET_ITEM(result, at, PyList_GET_ITEM(result, i));
  PyList_SET_ITEM(result, i, moved);
  return true;
}

// The same swaps with the core generator's draws; nothing else runs.
void native_swaps(std::uint32_t seed, PyObject* result) {
  PyObject** items = reinterpret_cast<PyListObject*>(result)->ob_item;
  core::Mt19937 rng(seed);
  for (Py_ssize_t i = PyList_GET_SIZE(result) - 1; i >= 1; --i) {
    const std::uint32_t j = rng.below(static_cast<std::uint32_t>(i) + 1);
    PyObject* moved = items[j];
    items[j] = items[i];
    items[i] = moved;
  }
}

}  // namespace

bool make_generator(PyObject* key, Generator& out) {
  out.seed = key_to_seed(key);
  Ref random = lookup_global(g.names.random);
  if (!random) return false;
  Ref random_class = module_attribute(random.get(), g.names.Random);
  if (!random_class) return false;
  if (is_genuine_random(random_class.get())) return true;
  Ref seed(PyLong_FromUnsignedLong(out.seed));
  if (!seed) return false;
  out.rng.reset(PyObject_CallOneArg(random_class.get(), seed.get()));
  return static_cast<bool>(out.rng);
}

Ref shuffle_with(const Generator& generator, PyObject* items) {
  Ref result(PyList_GetSlice(items, 0, PY_SSIZE_T_MAX));
  if (!result) return {};
  const Py_ssize_t n = PyList_GET_SIZE(result.get());
  if (n > INT_MAX) {
    raise_int_overflow();
    return {};
  }
  if (generator.native()) {
    native_swaps(generator.seed, result.get());
    return result;
  }
  for (Py_ssize_t i = n - 1; i >= 1; --i) {
    if (!python_swap(generator.rng.get(), result.get(), i)) return {};
  }
  return result;
}

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
  Generator generator;
  if (!make_generator(bound[1], generator)) return nullptr;
  return shuffle_with(generator, bound[0]).release();
}

}  // namespace velkorenc::py
