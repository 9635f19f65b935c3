// The text and file entry points over the byte codec.
#pragma once

#include "velkorenc/core/files/files.hpp"
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

// The path in the file system's encoding, or null: with no error set when
// the path cannot name a file (not an exact str, not encodable, a NUL in
// it), so that open reports it, and with the error set when the conversion
// failed for another reason (out of memory).
Ref file_system_path(PyObject* path);

// Raises the OSError of a failed file operation, naming `output_path` when
// the failure concerns the output's name, as open would.
void raise_file_failure(const core::FileFailure& failure, PyObject* output_path);

// Calls the function bound to `name` in the namespace with (value, key).
Ref call_codec(PyObject* name, PyObject* value, PyObject* key);

}  // namespace velkorenc::py
