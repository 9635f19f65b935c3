#include "velkorenc/native_random.hpp"

#include <array>
#include <cstring>

#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// The Python functions of random.Random that Random(seed) and randint(0, i)
// run, by the attribute names those calls look up.
constexpr std::array<const char*, 5> kFunctionNames = {"__init__", "seed", "randint", "randrange",
                                                       "_randbelow"};
constexpr std::array<const char*, 5> kFunctionQualnames = {
    "Random.__init__", "Random.seed", "Random.randint", "Random.randrange",
    "Random._randbelow_with_getrandbits"};

// Builtins that Random.seed reads for an int seed; the random module must
// not shadow them.
constexpr std::array<const char*, 8> kBuiltinNames = {"isinstance", "str",  "bytes", "bytearray",
                                                      "type",       "int",  "float", "super"};

// What can be rebound on a function object without replacing it.
struct FunctionParts {
  PyFunctionObject* function = nullptr;  // strong
  PyObject* code = nullptr;              // strong, and so are the three below
  PyObject* defaults = nullptr;
  PyObject* kwdefaults = nullptr;
  PyObject* cell_contents = nullptr;  // of its one closure cell (super's class), if any
  vectorcallfunc vectorcall = nullptr;

  bool unchanged() const {
    const PyFunctionObject* f = function;
    if (f->func_code != code || f->func_defaults != defaults ||
        f->func_kwdefaults != kwdefaults || f->vectorcall != vectorcall) {
      return false;
    }
    return !cell_contents || PyCell_GET(PyTuple_GET_ITEM(f->func_closure, 0)) == cell_contents;
  }
};

// Type slots that follow from the dicts of the class and its base.  tp_new
// is left out: with the dicts as recorded it is either the base's or the
// slot that looks __new__ up through the bases (a class keeps that one once
// a __new__ of its own was set and deleted again), and both reach the base's
// __new__.
struct Slots {
  initproc tp_init;
  getattrofunc tp_getattro;
  setattrofunc tp_setattro;
  allocfunc tp_alloc;

  static Slots of(PyTypeObject* type) {
    return {type->tp_init, type->tp_getattro, type->tp_setattro, type->tp_alloc};
  }
  bool operator==(const Slots&) const = default;
};

struct Recorded {
  bool usable = false;
  PyTypeObject* random_class = nullptr;  // random.Random, strong
  PyTypeObject* base = nullptr;          // _random.Random, strong
  unsigned int version_tag = 0;          // of random_class while unchanged
  std::array<FunctionParts, kFunctionNames.size()> functions;
  // For telling, after the class's tag has changed, that it has changed back.
  PyObject* class_dict = nullptr;  // copies, strong
  PyObject* base_dict = nullptr;
  Slots class_slots{};
  Slots base_slots{};
  // The names the functions read from their globals and builtins.
  PyObject* globals = nullptr;   // the random module's dict, strong
  PyObject* builtins = nullptr;  // their builtins dict, strong
  PyObject* index_name = nullptr;
  PyObject* index = nullptr;  // operator.index as random binds it
  std::array<PyObject*, kBuiltinNames.size()> builtin_names{};
  std::array<PyObject*, kBuiltinNames.size()> builtin_values{};
  // Set by the dict watcher when either dict may have changed in a name
  // that matters; cleared when a check finds everything as it was.
  bool names_dirty = true;
  int watcher = -1;
};

Recorded recorded;

bool is_builtin_function(PyObject* obj, PyObject* self, const char* name) {
  return PyCFunction_CheckExact(obj) && PyCFunction_GET_SELF(obj) == self &&
         std::strcmp(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name, name) == 0;
}

// Called before a watched dict changes.
int on_dict_event(PyDict_WatchEvent, PyObject* dict, PyObject* key, PyObject*) {
  if (dict != recorded.builtins || !key || !PyUnicode_CheckExact(key)) {
    recorded.names_dirty = true;
    return 0;
  }
  for (PyObject* name : recorded.builtin_names) {
    if (key == name || PyUnicode_Compare(key, name) == 0) {
      recorded.names_dirty = true;
      break;
    }
  }
  return 0;
}

// The names the functions read are bound as at load.  Only str keys in
// either dict, so that these lookups, like the interpreter's own, run no
// Python code.
bool names_as_recorded() {
  Recorded& r = recorded;
  if (!r.names_dirty) return true;
  if (!all_keys_exact_str(r.globals) || !all_keys_exact_str(r.builtins)) return false;
  if (PyDict_GetItemWithError(r.globals, r.index_name) != r.index) return false;
  for (std::size_t n = 0; n < kBuiltinNames.size(); ++n) {
    if (PyDict_GetItemWithError(r.globals, r.builtin_names[n]) ||
        PyDict_GetItemWithError(r.builtins, r.builtin_names[n]) != r.builtin_values[n]) {
      return false;
    }
  }
  r.names_dirty = false;
  return true;
}

// Every entry of `recorded_dict` is in `dict` with the same value, and
// nothing else is.  Type dicts have str keys only.
bool same_entries(PyObject* dict, PyObject* recorded_dict) {
  if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(recorded_dict)) return false;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(recorded_dict, &pos, &key, &value)) {
    if (PyDict_GetItemWithError(dict, key) != value) return false;
  }
  return true;
}

bool same_items(PyObject* tuple, std::initializer_list<PyTypeObject*> types) {
  if (!tuple || PyTuple_GET_SIZE(tuple) != static_cast<Py_ssize_t>(types.size())) return false;
  Py_ssize_t i = 0;
  for (PyTypeObject* type : types) {
    if (PyTuple_GET_ITEM(tuple, i++) != reinterpret_cast<PyObject*>(type)) return false;
  }
  return true;
}

// The class and its bases have not changed.  A type's version tag is reset
// whenever it or a base changes and is never handed out twice, so an equal
// tag settles it; after a change, a class that was put back as it was gets
// a new tag, which is trusted from then on.
bool class_as_recorded() {
  Recorded& r = recorded;
  PyTypeObject* cls = r.random_class;
  if (cls->tp_version_tag == r.version_tag && (cls->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) {
    return true;
  }
  const bool same = Py_IS_TYPE(cls, &PyType_Type) &&
                    same_items(cls->tp_bases, {r.base}) &&
                    same_items(cls->tp_mro, {cls, r.base, &PyBaseObject_Type}) &&
                    same_items(r.base->tp_mro, {r.base, &PyBaseObject_Type}) &&
                    Slots::of(cls) == r.class_slots && Slots::of(r.base) == r.base_slots &&
                    same_entries(cls->tp_dict, r.class_dict) &&
                    same_entries(r.base->tp_dict, r.base_dict);
  if (!same || !PyUnstable_Type_AssignVersionTag(cls)) return false;
  r.version_tag = cls->tp_version_tag;
  return true;
}

// dict[name] as a borrowed reference: 1 found, 0 absent, -1 on an error.
int find(PyObject* dict, const char* name, PyObject*& value) {
  Ref key(PyUnicode_FromString(name));
  if (!key) return -1;
  value = PyDict_GetItemWithError(dict, key.get());
  return value ? 1 : PyErr_Occurred() ? -1 : 0;
}

// The dict of a module whose dict has str keys only, or null.
PyObject* plain_module_dict(PyObject* module) {
  if (!module || !PyModule_CheckExact(module)) return nullptr;
  PyObject* dict = PyModule_GetDict(module);
  return dict && PyDict_CheckExact(dict) && all_keys_exact_str(dict) ? dict : nullptr;
}

// The Python functions of the class: 1 when each is a plain function of the
// random module with its own name and nothing in its closure but super()'s
// class; 0 when not.
int record_functions(PyObject* random_module) {
  Recorded& r = recorded;
  PyObject* random_dict = PyModule_Check(random_module) ? PyModule_GetDict(random_module) : nullptr;
  for (std::size_t n = 0; n < kFunctionNames.size(); ++n) {
    PyObject* f;
    const int found = find(r.random_class->tp_dict, kFunctionNames[n], f);
    if (found <= 0) return found;
    if (!PyFunction_Check(f)) return 0;
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    auto* code = reinterpret_cast<PyCodeObject*>(function->func_code);
    if (function->func_globals != random_dict ||
        PyUnicode_CompareWithASCIIString(code->co_qualname, kFunctionQualnames[n]) != 0) {
      return 0;
    }
    const Py_ssize_t cells = function->func_closure ? PyTuple_GET_SIZE(function->func_closure) : 0;
    PyObject* contents = cells == 1 ? PyCell_GET(PyTuple_GET_ITEM(function->func_closure, 0)) : nullptr;
    if (cells > 1 || (cells == 1 && contents != reinterpret_cast<PyObject*>(r.random_class))) {
      return 0;
    }
    FunctionParts& parts = r.functions[n];
    parts.function = reinterpret_cast<PyFunctionObject*>(Py_NewRef(f));
    parts.code = Py_NewRef(function->func_code);
    parts.defaults = Py_XNewRef(function->func_defaults);
    parts.kwdefaults = Py_XNewRef(function->func_kwdefaults);
    parts.cell_contents = Py_XNewRef(contents);
    parts.vectorcall = function->vectorcall;
  }
  return 1;
}

// 1 when the module's Random is the interpreter's random.Random over
// _random.Random, with the methods those modules give it; 0 when it is
// something else.  Only dicts are read, so loading runs no code of theirs.
int record_class(PyObject* random_module) {
  Recorded& r = recorded;
  PyObject* module_dict = plain_module_dict(random_module);
  if (!module_dict) return 0;
  PyObject* cls;
  int found = find(module_dict, "Random", cls);
  if (found <= 0) return found;
  if (!PyType_CheckExact(cls) || !(PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) &
                                   Py_TPFLAGS_HEAPTYPE)) {
    return 0;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  if (!type->tp_bases || PyTuple_GET_SIZE(type->tp_bases) != 1) return 0;
  PyObject* base = PyTuple_GET_ITEM(type->tp_bases, 0);
  if (!PyType_CheckExact(base)) return 0;
  auto* base_type = reinterpret_cast<PyTypeObject*>(base);
  // The base is the Random of the extension module _random that made it.
  PyObject* base_module = (base_type->tp_flags & Py_TPFLAGS_HEAPTYPE) ? PyType_GetModule(base_type)
                                                                      : nullptr;
  PyErr_Clear();  // a type made without a module is not that one
  PyModuleDef* def = base_module ? PyModule_GetDef(base_module) : nullptr;
  PyErr_Clear();
  PyObject* base_dict = plain_module_dict(base_module);
  PyObject* exported;
  if (!def || !def->m_name || std::strcmp(def->m_name, "_random") != 0 || !base_dict) return 0;
  if ((found = find(base_dict, "Random", exported)) <= 0) return found;
  if (exported != base || !same_items(type->tp_mro, {type, base_type, &PyBaseObject_Type}) ||
      type->tp_new != base_type->tp_new) {
    return 0;
  }
  PyObject* value;
  for (const char* name : {"seed", "getrandbits"}) {
    if ((found = find(base_type->tp_dict, name, value)) <= 0) return found;
    if (!Py_IS_TYPE(value, &PyMethodDescr_Type) || PyDescr_TYPE(value) != base_type) return 0;
  }
  if ((found = find(base_type->tp_dict, "__new__", value)) <= 0) return found;
  if (!is_builtin_function(value, base, "__new__")) return 0;
  for (const char* name : {"__new__", "getrandbits"}) {
    if ((found = find(type->tp_dict, name, value)) != 0) return found < 0 ? -1 : 0;
  }
  PyObject* with_getrandbits;
  if ((found = find(type->tp_dict, "_randbelow", value)) <= 0 ||
      (found = find(type->tp_dict, "_randbelow_with_getrandbits", with_getrandbits)) <= 0) {
    return found;
  }
  if (value != with_getrandbits) return 0;
  r.random_class = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
  r.base = reinterpret_cast<PyTypeObject*>(Py_NewRef(base));
  return 1;
}

// operator.index and the builtins, where the functions find them.
int record_names() {
  Recorded& r = recorded;
  PyFunctionObject* seed = r.functions[1].function;
  r.globals = Py_NewRef(seed->func_globals);
  r.builtins = Py_NewRef(seed->func_builtins);
  for (const FunctionParts& parts : r.functions) {
    if (parts.function->func_builtins != r.builtins) return 0;
  }
  if (!PyDict_CheckExact(r.globals) || !PyDict_CheckExact(r.builtins) ||
      !all_keys_exact_str(r.globals) || !all_keys_exact_str(r.builtins)) {
    return 0;
  }
  if (!(r.index_name = PyUnicode_InternFromString("_index"))) return -1;
  PyObject* index = PyDict_GetItemWithError(r.globals, r.index_name);
  if (!index) return PyErr_Occurred() ? -1 : 0;
  PyObject* owner = PyCFunction_CheckExact(index) ? PyCFunction_GET_SELF(index) : nullptr;
  if (!owner || !PyModule_CheckExact(owner) ||
      std::strcmp(reinterpret_cast<PyCFunctionObject*>(index)->m_ml->ml_name, "index") != 0) {
    return 0;
  }
  PyModuleDef* owner_def = PyModule_GetDef(owner);
  if (!owner_def || !owner_def->m_name || std::strcmp(owner_def->m_name, "_operator") != 0) {
    return 0;
  }
  r.index = Py_NewRef(index);
  PyTypeObject* const builtin_types[] = {nullptr,          &PyUnicode_Type, &PyBytes_Type,
                                         &PyByteArray_Type, &PyType_Type,    &PyLong_Type,
                                         &PyFloat_Type,     &PySuper_Type};
  for (std::size_t n = 0; n < kBuiltinNames.size(); ++n) {
    if (!(r.builtin_names[n] = PyUnicode_InternFromString(kBuiltinNames[n]))) return -1;
    PyObject* value = PyDict_GetItemWithError(r.builtins, r.builtin_names[n]);
    if (!value) return PyErr_Occurred() ? -1 : 0;
    const bool genuine = builtin_types[n]
                             ? value == reinterpret_cast<PyObject*>(builtin_types[n])
                             : is_builtin_function(value, g.builtins, kBuiltinNames[n]);
    if (!genuine) return 0;
    r.builtin_values[n] = Py_NewRef(value);
  }
  return 1;
}

int watch_names() {
  Recorded& r = recorded;
  if (r.watcher < 0) {
    r.watcher = PyDict_AddWatcher(on_dict_event);
    if (r.watcher < 0) {
      // Every watcher of the interpreter is taken: do without the core generator.
      PyErr_Clear();
      return 0;
    }
  }
  if (PyDict_Watch(r.watcher, r.globals) < 0 || PyDict_Watch(r.watcher, r.builtins) < 0) return -1;
  r.names_dirty = true;
  return 1;
}

// Forgets what an earlier, failed load recorded.
void forget() {
  Recorded& r = recorded;
  for (FunctionParts& parts : r.functions) {
    Py_XDECREF(parts.function);
    Py_XDECREF(parts.code);
    Py_XDECREF(parts.defaults);
    Py_XDECREF(parts.kwdefaults);
    Py_XDECREF(parts.cell_contents);
    parts = FunctionParts{};
  }
  for (PyObject** slot : {reinterpret_cast<PyObject**>(&r.random_class),
                          reinterpret_cast<PyObject**>(&r.base), &r.class_dict, &r.base_dict,
                          &r.globals, &r.builtins, &r.index_name, &r.index}) {
    Py_CLEAR(*slot);
  }
  for (std::size_t n = 0; n < kBuiltinNames.size(); ++n) {
    Py_CLEAR(r.builtin_names[n]);
    Py_CLEAR(r.builtin_values[n]);
  }
  r.usable = false;
  r.names_dirty = true;
}

}  // namespace

int capture_random(PyObject* random_module) {
  Recorded& r = recorded;
  forget();
  if (!random_module) return PyErr_Occurred() ? -1 : 0;
  int found = record_class(random_module);
  if (found > 0) found = record_functions(random_module);
  if (found > 0) found = record_names();
  if (found > 0) {
    if (!(r.class_dict = PyDict_Copy(r.random_class->tp_dict)) ||
        !(r.base_dict = PyDict_Copy(r.base->tp_dict))) {
      return -1;
    }
    r.class_slots = Slots::of(r.random_class);
    r.base_slots = Slots::of(r.base);
    found = PyUnstable_Type_AssignVersionTag(r.random_class);
    r.version_tag = r.random_class->tp_version_tag;
  }
  if (found > 0) found = watch_names();
  if (found < 0) return -1;
  r.usable = found > 0 && names_as_recorded();
  return 0;
}

bool is_genuine_random(PyObject* random_class) {
  if (!recorded.usable || random_class != reinterpret_cast<PyObject*>(recorded.random_class)) {
    return false;
  }
  if (!class_as_recorded()) return false;
  for (const FunctionParts& parts : recorded.functions) {
    if (!parts.unchanged()) return false;
  }
  return names_as_recorded();
}

}  // namespace velkorenc::py
