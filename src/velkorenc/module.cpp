// The init entry, the module definition and the execution step.
#include "velkorenc/pyref.hpp"  // Python.h first

#include <frameobject.h>

#include <cstdint>

#include "velkorenc/codec.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/frontend.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/native_random.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

PyObject* version_function(PyObject*, PyObject*) { return Py_NewRef(g.names.version_text); }

template <auto Function>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

// Bound into the namespace, in this order, by the execution step.
PyMethodDef functions[] = {
    {"_shuffle", fastcall<shuffle_function>(), kFastcallKeywords, nullptr},
    {"generate_table", fastcall<generate_table_function>(), kFastcallKeywords, nullptr},
    {"encode_bytes", fastcall<encode_bytes_function>(), kFastcallKeywords, nullptr},
    {"decode_bytes", fastcall<decode_bytes_function>(), kFastcallKeywords, nullptr},
    {"encode", fastcall<encode_function>(), kFastcallKeywords, nullptr},
    {"decode", fastcall<decode_function>(), kFastcallKeywords, nullptr},
    {"encode_file", fastcall<encode_file_function>(), kFastcallKeywords, nullptr},
    {"decode_file", fastcall<decode_file_function>(), kFastcallKeywords, nullptr},
    {"version", version_function, METH_NOARGS, nullptr},
};

// The interpreter that first asked for the module; -1 until then.
std::int64_t first_interpreter = -1;

int copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, PyObject* to,
                        bool none_too) {
  Ref value(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!none_too && value.get() == Py_None) return 0;
  return PyDict_SetItem(ns, to, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (first_interpreter == -1) {
    first_interpreter = current;
  } else if (first_interpreter != current) {
    raise_interpreter_change();
    return nullptr;
  }
  if (g.module) return Py_NewRef(g.module);

  Ref name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  Ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* ns = PyModule_GetDict(module.get());
  if (!ns || create_constants() < 0) return nullptr;
  if (copy_spec_attribute(spec, ns, "loader", g.names.__loader__, true) < 0 ||
      copy_spec_attribute(spec, ns, "origin", g.names.__file__, true) < 0 ||
      copy_spec_attribute(spec, ns, "parent", g.names.__package__, true) < 0 ||
      copy_spec_attribute(spec, ns, "submodule_search_locations", g.names.__path__, false) < 0) {
    return nullptr;
  }
  return module.release();
}

// Adds a traceback entry named "init velkorenc" at the failing step.
void add_init_traceback(int line) {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init velkorenc");
  PyObject* exc = PyErr_GetRaisedException();
  PyCodeObject* code = PyCode_NewEmpty(__FILE__, "init velkorenc", line);
  Ref globals(PyDict_New());
  PyFrameObject* frame =
      code && globals ? PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr) : nullptr;
  Py_XDECREF(code);
  PyErr_Clear();  // a failure to describe the failure must not replace it
  PyErr_SetRaisedException(exc);
  if (frame) {
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
  }
}

int bind(PyObject* ns, PyObject* name, PyObject* value) {
  return value ? PyDict_SetItem(ns, name, value) : -1;
}

int bind_owned(PyObject* ns, PyObject* name, Ref value) { return bind(ns, name, value.get()); }

// type(name, (base,), {"__module__": "velkorenc", "__qualname__": name})
Ref make_exception_class(PyObject* name, PyObject* base) {
  Ref bases(PyTuple_Pack(1, base));
  Ref body(PyDict_New());
  if (!bases || !body || PyDict_SetItem(body.get(), g.names.__module__, g.names.module_name) < 0 ||
      PyDict_SetItem(body.get(), g.names.__qualname__, name) < 0) {
    return {};
  }
  PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base));
  return Ref(PyObject_CallFunctionObjArgs(metaclass, name, bases.get(), body.get(), nullptr));
}

// from typing import Dict, List, Tuple
int bind_typing_names(PyObject* ns) {
  PyObject* const names[] = {g.names.Dict, g.names.List, g.names.Tuple};
  Ref from_list(PyList_New(0));
  if (!from_list) return -1;
  for (PyObject* name : names) {
    if (PyList_Append(from_list.get(), name) < 0) return -1;
  }
  Ref typing(PyImport_ImportModuleLevelObject(g.names.typing, ns, nullptr, from_list.get(), 0));
  if (!typing) return -1;
  for (PyObject* name : names) {
    Ref value(PyObject_GetAttr(typing.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      Ref module_name(PyObject_GetAttrString(typing.get(), "__name__"));
      Ref full_name = module_name ? Ref(PyUnicode_FromFormat("%U.%U", module_name.get(), name))
                                  : Ref();
      if (full_name) value.reset(PyImport_GetModule(full_name.get()));
      if (!value && !PyErr_Occurred()) raise_cannot_import(name);
    }
    if (bind(ns, name, value.get()) < 0) return -1;
  }
  return 0;
}

int bind_exception_classes(PyObject* ns) {
  if (bind_owned(ns, g.names.VelkorError,
                 make_exception_class(g.names.VelkorError, PyExc_Exception)) < 0) {
    return -1;
  }
  PyObject* const subclasses[] = {g.names.InvalidHeaderError, g.names.InvalidTokenError,
                                  g.names.InvalidChecksumError, g.names.DecodeError};
  for (PyObject* name : subclasses) {
    Ref base = lookup_global(g.names.VelkorError);
    if (!base || bind_owned(ns, name, make_exception_class(name, base.get())) < 0) return -1;
  }
  return 0;
}

int bind_constants(PyObject* ns) {
  return bind(ns, g.names.HEADER, g.names.header_text) < 0 ||
                 bind(ns, g.names.DELIMITER, g.names.delimiter_text) < 0 ||
                 bind(ns, g.names.CHECKSUM_SIZE, g.int4) < 0 ||
                 bind(ns, g.names._COMPRESSED, g.int1) < 0 ||
                 bind(ns, g.names._UNCOMPRESSED, g.int0) < 0
             ? -1
             : 0;
}

int bind_functions(PyObject* ns) {
  for (PyMethodDef& def : functions) {
    Ref function(PyCFunction_NewEx(&def, nullptr, g.names.module_name));
    if (!function || PyDict_SetItemString(ns, def.ml_name, function.get()) < 0) return -1;
    PyObject** keep = nullptr;
    if (def.ml_meth == fastcall<generate_table_function>()) keep = &g.generate_table_function;
    if (def.ml_meth == fastcall<shuffle_function>()) keep = &g.shuffle_function;
    if (def.ml_meth == fastcall<encode_bytes_function>()) keep = &g.encode_bytes_function;
    if (def.ml_meth == fastcall<decode_bytes_function>()) keep = &g.decode_bytes_function;
    if (keep) Py_XSETREF(*keep, function.release());
  }
  return 0;
}

int import_into(PyObject* ns, PyObject* name) {
  return bind_owned(ns, name, Ref(PyImport_ImportModuleLevelObject(name, ns, nullptr, nullptr, 0)));
}

// What random.Random is made of, for the shuffle to know it again later.
int record_random(PyObject* ns) {
  Ref random(Ref::borrow(PyDict_GetItemWithError(ns, g.names.random)));
  Py_XSETREF(g.random, Py_XNewRef(random.get()));
  return capture_random(random.get());
}

int capture_open() {
  Ref open(PyObject_GetAttr(g.builtins, g.names.open));
  if (!open) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      raise_name_error(g.names.open);
    }
    return -1;
  }
  Py_XSETREF(g.open, open.release());
  // Whether it is io.open itself, whose files this module may then write
  // through descriptors of its own without anyone seeing the difference.
  g.open_is_io_open = false;
  Ref io(PyImport_ImportModule("_io"));
  Ref io_open = io ? Ref(PyObject_GetAttr(io.get(), g.names.open)) : Ref();
  if (!io_open) PyErr_Clear();
  g.open_is_io_open = io_open && io_open.get() == g.open;
  return 0;
}

int insert_into_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  const int present = PyDict_Contains(modules, g.names.module_name);
  if (present != 0) return present;
  return PyDict_SetItem(modules, g.names.module_name, module);
}

// The running interpreter against the one whose headers built the module.
int version_check() {
  const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
  const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
  if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
  return warn_version_mismatch(major, minor);
}

int exec_module(PyObject* module) {
  if (g.module) {
    if (g.module == module) return 0;
    raise_reinitialisation();
    return -1;
  }
  g.module = Py_NewRef(module);
  PyObject* ns = PyModule_GetDict(module);
  int line = 0;
  // Each step of the body; the first failure ends loading.
#define VELKORENC_STEP(statement)  \
  do {                             \
    if ((statement) < 0) {         \
      line = __LINE__;             \
      goto failed;                 \
    }                              \
  } while (0)

  if (!g.builtins) VELKORENC_STEP((g.builtins = PyImport_ImportModule("builtins")) ? 0 : -1);
  VELKORENC_STEP(PyDict_SetItem(ns, g.names.__builtins__, g.builtins));
  VELKORENC_STEP(version_check());
  VELKORENC_STEP(create_constants());
  VELKORENC_STEP(insert_into_sys_modules(module));
  VELKORENC_STEP(capture_open());
  VELKORENC_STEP(import_into(ns, g.names.zlib));
  capture_zlib(ns);
  VELKORENC_STEP(import_into(ns, g.names.random));
  VELKORENC_STEP(record_random(ns));
  VELKORENC_STEP(bind_typing_names(ns));
  VELKORENC_STEP(bind_exception_classes(ns));
  VELKORENC_STEP(bind_constants(ns));
  VELKORENC_STEP(bind_alphabet(ns));
  VELKORENC_STEP(bind_functions(ns));
  VELKORENC_STEP(bind_owned(ns, g.names.__test__, Ref(PyDict_New())));
#undef VELKORENC_STEP
  return 0;

failed:
  add_init_traceback(line);
  Py_CLEAR(g.module);
  return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "velkorenc",  // m_name
    nullptr,      // m_doc
    0,            // m_size
    no_methods,   // m_methods
    slots,        // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

}  // namespace
}  // namespace velkorenc::py

PyMODINIT_FUNC PyInit_velkorenc() { return PyModuleDef_Init(&velkorenc::py::definition); }
