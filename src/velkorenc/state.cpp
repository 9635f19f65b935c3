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

namespace {

// Reads of a dict remembered while that dict stays as it was: a dict watcher
// forgets every read before any watched dict changes, so a remembered read
// gives what reading again would.  Only dicts whose keys are all exact strs
// are remembered, as only there a read runs no Python code.  Nothing here
// owns a reference: a watched dict still holds what was read from it.
struct Read {
  PyObject* dict;
  PyObject* name;
  PyObject* value;
};

struct Memo {
  static constexpr std::size_t kReads = 24;
  static constexpr std::size_t kDicts = 4;
  int watcher = -1;  // -2 once the interpreter has no watcher left
  std::size_t reads = 0;
  Read read[kReads];
  std::size_t dicts = 0;
  PyObject* str_keyed[kDicts];  // watched, and all keys exact strs
  std::size_t mixed = 0;
  PyObject* mixed_keyed[kDicts];  // watched, and some key not an exact str
};

void drop(PyObject** dicts, std::size_t& count, PyObject* dict) {
  for (std::size_t d = 0; d < count; ++d) {
    if (dicts[d] == dict) dicts[d] = dicts[--count];
  }
}

Memo memo;

int forget_reads(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
  memo.reads = 0;
  // The dict keeps only exact str keys unless one of another kind comes in
  // or its whole content is replaced.
  const bool str_keyed = event != PyDict_EVENT_CLONED && event != PyDict_EVENT_DEALLOCATED &&
                         (!key || PyUnicode_CheckExact(key));
  if (!str_keyed) drop(memo.str_keyed, memo.dicts, dict);
  drop(memo.mixed_keyed, memo.mixed, dict);  // looked at again after any change
  return 0;
}

// Watches `dict` and tells whether its reads can be remembered.
bool rememberable(PyObject* dict) {
  for (std::size_t d = 0; d < memo.dicts; ++d) {
    if (memo.str_keyed[d] == dict) return true;
  }
  for (std::size_t d = 0; d < memo.mixed; ++d) {
    if (memo.mixed_keyed[d] == dict) return false;
  }
  if (memo.dicts == Memo::kDicts || memo.mixed == Memo::kDicts) return false;
  if (memo.watcher == -1) {
    memo.watcher = PyDict_AddWatcher(forget_reads);
    if (memo.watcher < 0) {
      // Every watcher is taken: every read is made anew.
      PyErr_Clear();
      memo.watcher = -2;
    }
  }
  if (memo.watcher < 0) return false;
  if (PyDict_Watch(memo.watcher, dict) < 0) {
    PyErr_Clear();
    return false;
  }
  if (!all_keys_exact_str(dict)) {
    memo.mixed_keyed[memo.mixed++] = dict;
    return false;
  }
  memo.str_keyed[memo.dicts++] = dict;
  return true;
}

PyObject* remembered(PyObject* dict, PyObject* name) {
  for (std::size_t r = 0; r < memo.reads; ++r) {
    if (memo.read[r].dict == dict && memo.read[r].name == name) return memo.read[r].value;
  }
  return nullptr;
}

// dict[name] (borrowed), or null, with an exception if the lookup raised.
PyObject* read_dict(PyObject* dict, PyObject* name) {
  if (PyObject* value = remembered(dict, name)) return value;
  PyObject* found = PyDict_GetItemWithError(dict, name);
  if (found && memo.reads < Memo::kReads && PyUnicode_CheckExact(name) && rememberable(dict)) {
    memo.read[memo.reads++] = {dict, name, found};
  }
  return found;
}

}  // namespace

Ref module_attribute(PyObject* object, PyObject* name) {
  if (!PyModule_CheckExact(object) || !PyUnicode_CheckExact(name)) {
    return Ref(PyObject_GetAttr(object, name));
  }
  PyObject* dict = PyModule_GetDict(object);
  if (PyObject* value = remembered(dict, name)) return Ref::borrow(value);
  // A plain module's attribute is the entry of its dict, unless the module
  // type has an attribute of that name; those types cannot change.
  for (PyTypeObject* type : {&PyModule_Type, &PyBaseObject_Type}) {
    Ref type_dict(PyType_GetDict(type));
    if (!type_dict) return {};
    if (PyDict_GetItemWithError(type_dict.get(), name)) return Ref(PyObject_GetAttr(object, name));
    if (PyErr_Occurred()) return {};
  }
  PyObject* found = read_dict(dict, name);
  if (found) return Ref::borrow(found);
  if (PyErr_Occurred()) return {};
  return Ref(PyObject_GetAttr(object, name));  // the module's __getattr__, or AttributeError
}

Ref lookup_global(PyObject* name) {
  PyObject* found = read_dict(module_dict(), name);
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
