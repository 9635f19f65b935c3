#include "velkorenc/errors.hpp"

#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "velkorenc/state.hpp"

namespace velkorenc::py {

void raise_arity(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                 Py_ssize_t given) {
  const Py_ssize_t expected = given < min ? min : max;
  const char* bound = exact ? "exactly" : (given < min ? "at least" : "at most");
  PyErr_Format(PyExc_TypeError,
               "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func,
               bound, expected, expected == 1 ? "" : "s", given);
}

void raise_unexpected_keyword(const char* func, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func,
               keyword);
}

void raise_multiple_values(const char* func, PyObject* keyword) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
               func, keyword);
}

void raise_keywords_not_strings(const char* func) {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
}

void raise_arg_type(const char* param, PyTypeObject* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
               expected->tp_name, Py_TYPE(got)->tp_name);
}

void raise_expected_type(const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

void raise_name_error(PyObject* name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

void raise_unbound_local(const char* name) {
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment",
               name);
}

void raise_none_attribute(const char* attribute) {
  PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'",
               attribute);
}

void raise_list_index() { PyErr_SetString(PyExc_IndexError, "list index out of range"); }

void raise_bytes_index() { PyErr_SetString(PyExc_IndexError, "index out of range"); }

void raise_int_overflow() {
  PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
}

bool int_value(PyObject* value, int& out) {
  const long v = PyLong_AsLong(value);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT_MIN || v > INT_MAX) {
    raise_int_overflow();
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

void raise_uint32_overflow() {
  PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned int");
}

void raise_byte_range() {
  PyErr_SetString(PyExc_ValueError, "byte must be in range(0, 256)");
}

void raise_bytes_range() {
  PyErr_SetString(PyExc_ValueError, "bytes must be in range(0, 256)");
}

void raise_not_context_manager(PyObject* manager, bool missing_exit) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
               Py_TYPE(manager)->tp_name, missing_exit ? " (missed __exit__ method)" : "");
}

void raise_write_argument(PyObject* got) {
  PyErr_Format(PyExc_TypeError, "write() argument must be str, not %.50s",
               got == Py_None ? "None" : Py_TYPE(got)->tp_name);
}

void raise_input_changed() {
  PyErr_SetString(PyExc_RuntimeError, "the input file changed while it was read");
}

void raise_os_error_code(int code, PyObject* path) {
  errno = code;
  if (path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  } else {
    PyErr_SetFromErrno(PyExc_OSError);
  }
}

void raise_empty_key() { PyErr_SetString(PyExc_ValueError, "key must not be empty"); }

void raise_zlib_error(PyObject* error_class, int code, const char* zlib_message,
                      const char* doing) {
  const char* reason = code == Z_VERSION_ERROR ? "library version mismatch" : zlib_message;
  if (!reason) {
    switch (code) {
      case Z_BUF_ERROR:
        reason = "incomplete or truncated stream";
        break;
      case Z_STREAM_ERROR:
        reason = "inconsistent stream state";
        break;
      case Z_DATA_ERROR:
        reason = "invalid input data";
        break;
    }
  }
  if (reason) {
    PyErr_Format(error_class, "Error %d %s: %.200s", code, doing, reason);
  } else {
    PyErr_Format(error_class, "Error %d %s", code, doing);
  }
}

void raise_zlib_memory(const char* doing) {
  PyErr_Format(PyExc_MemoryError, "Out of memory %s", doing);
}

void raise_checksum_size() {
  PyErr_SetString(PyExc_ValueError, "CHECKSUM_SIZE must be at least 4");
}

namespace {

// raise <class read from the namespace>(message), as a raise statement
// would: a class result is instantiated, anything not an exception refused.
void raise_module_error(PyObject* class_name, Ref message) {
  if (!message) return;
  Ref cls = lookup_global(class_name);
  if (!cls) return;
  Ref exc(PyObject_CallOneArg(cls.get(), message.get()));
  if (!exc) return;
  if (PyExceptionClass_Check(exc.get())) {
    exc.reset(PyObject_CallNoArgs(exc.get()));
    if (!exc) return;
  }
  if (!PyExceptionInstance_Check(exc.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

}  // namespace

void raise_missing_header(PyObject* header) {
  raise_module_error(g.names.InvalidHeaderError,
                     Ref(PyUnicode_FromFormat("Missing header: expected '%S'", header)));
}

void raise_no_data() {
  raise_module_error(g.names.DecodeError,
                     Ref(PyUnicode_FromString("No encoded data found after header")));
}

void raise_unrecognized_token(PyObject* piece) {
  raise_module_error(g.names.InvalidTokenError,
                     Ref(PyUnicode_FromFormat("Unrecognized token: '%S'", piece)));
}

void raise_too_short() {
  raise_module_error(g.names.DecodeError, Ref(PyUnicode_FromString("Encoded data is too short")));
}

void raise_crc_mismatch(std::uint32_t expected, std::uint32_t got) {
  char text[64];
  std::snprintf(text, sizeof text, "CRC32 mismatch: expected %08x, got %08x",
                static_cast<unsigned>(expected), static_cast<unsigned>(got));
  raise_module_error(g.names.InvalidChecksumError, Ref(PyUnicode_FromString(text)));
}

void raise_not_utf8() {
  PyObject* cause = PyErr_GetRaisedException();
  raise_module_error(g.names.DecodeError,
                     Ref(PyUnicode_FromFormat("Decoded data is not valid UTF-8: %S", cause)));
  // Whatever came out of the handler is chained to the exception it handled.
  PyObject* raised = PyErr_GetRaisedException();
  if (raised && raised != cause) {
    PyException_SetContext(raised, cause);  // steals cause
  } else {
    Py_DECREF(cause);
  }
  PyErr_SetRaisedException(raised);
}

void raise_interpreter_change() {
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process.");
}

void raise_reinitialisation() {
  PyErr_SetString(PyExc_RuntimeError,
                  "Module 'velkorenc' has already been imported. Re-initialisation is not "
                  "supported.");
}

int warn_version_mismatch(int major, int minor) {
  char text[200];
  std::snprintf(text, sizeof text,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, "velkorenc", "does not match", major, minor);
  return PyErr_WarnEx(PyExc_RuntimeWarning, text, 1);
}

void raise_cannot_import(PyObject* name) {
  PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
}

}  // namespace velkorenc::py
