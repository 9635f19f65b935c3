// The text and file entry points over the byte codec.
#pragma once

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

PyObject* encode_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* decode_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* encode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* decode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// Calls the function bound to `name` in the namespace with (value, key).
Ref call_codec(PyObject* name, PyObject* value, PyObject* key);

}  // namespace velkorenc::py
