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

// The conversions in chunks.  Declined when an object they stand for is not
// the interpreter's or the module's own, or a path is not a regular file:
// then nothing was touched and the whole-file path runs instead.
enum class StreamResult { done, failed, declined };
StreamResult stream_encode_file(PyObject* input_path, PyObject* output_path, PyObject* key);
StreamResult stream_decode_file(PyObject* input_path, PyObject* output_path, PyObject* key);

// Calls the function bound to `name` in the namespace with (value, key).
Ref call_codec(PyObject* name, PyObject* value, PyObject* key);

}  // namespace velkorenc::py
