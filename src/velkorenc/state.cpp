#include "velkorenc/state.hpp"

#include "velkorenc/errors.hpp"

namespace velkorenc::py {

State g;

int create_constants() {
  if (g.constants_ready) return 0;
#define VELKORENC_INTERN_NAME(field, text) \
  if (!g.names.field && !(g.names.field = PyUnicode_InternFromString(text))) return -1;
  VELKORENC_NAMES(VELKORENC_INTERN_NAME)
#undef VELKORENC_INTERN_NAME
  struct IntConstant {
    PyObject** slot;
    unsigned long value;
  };
  const IntConstant ints[] = {{&g.int0, 0},
                              {&g.int1, 1},
                              {&g.int4, 4},
                              {&g.int6, 6},
                              {&g.int_seed_mask, 2147483647UL},
                              {&g.int_crc_mask, 4294967295UL}};
  for (const IntConstant& c : ints) {
    if (!*c.slot && !(*c.slot = PyLong_FromUnsignedLong(c.value))) return -1;
  }
  if (!g.empty_tuple && !(g.empty_tuple = PyTuple_New(0))) return -1;
  if (!g.empty_bytes && !(g.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0))) return -1;
  if (!g.empty_str && !(g.empty_str = PyUnicode_New(0, 0))) return -1;
  if (!g.level_kwnames && !(g.level_kwnames = PyTuple_Pack(1, g.names.level))) return -1;
  if (!g.encoding_kwnames && !(g.encoding_kwnames = PyTuple_Pack(1, g.names.encoding))) return -1;
  g.constants_ready = true;
  return 0;
}

bool all_keys_exact_str(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

Ref lookup_global(PyObject* name) {
  PyObject* found = PyDict_GetItemWithError(module_dict(), name);
  if (found) return Ref::borrow(found);
  if (PyErr_Occurred()) return Ref();
  Ref builtin(PyObject_GetAttr(g.builtins, name));
  if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    raise_name_error(name);
  }
  return builtin;
}

}  // namespace velkorenc::py
