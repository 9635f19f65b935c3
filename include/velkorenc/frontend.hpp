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

// The conversions in chunks of the regular file open at `input`, which the
// interpreter's own open opened from the input path, with `locks` held on
// it.  Declined when an object they stand for is not the interpreter's or
// the module's own, when the output's path cannot be used, or when the
// input kept changing while it was read: then the output is as it was and
// the file is read whole instead, from its start.  `announced` tells whether
// the output's open event was raised (it is raised once).
enum class StreamResult { done, failed, declined };
StreamResult stream_encode_file(int input, PyObject* output_path, PyObject* key,
                                core::FileLocks& locks, bool& announced);
StreamResult stream_decode_file(int input, PyObject* output_path, PyObject* key,
                                core::FileLocks& locks);

// Opens `path` as open(path, "w") opens it, in a wait that Ctrl-C can end
// (a FIFO waits there for its reader): the descriptor, or -1 with the error
// raised, naming `output_path`.
int open_for_writing(const char* path, PyObject* output_path);

// Raises the audit event of open(output_path, "w") or "wb", which the
// interpreter's open raises before it opens the file: false when a hook
// raised.
bool announce_output(PyObject* output_path);

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
