// Every error message the module raises is built here.
#pragma once

#include <cstdint>

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// Argument binding.
void raise_arity(const char* func, bool exact, Py_ssize_t min, Py_ssize_t max,
                 Py_ssize_t given);
void raise_unexpected_keyword(const char* func, PyObject* keyword);
void raise_multiple_values(const char* func, PyObject* keyword);
void raise_keywords_not_strings(const char* func);
void raise_arg_type(const char* param, PyTypeObject* expected, PyObject* got);

// A value the module's code holds under a declared type is of another type.
void raise_expected_type(const char* expected, PyObject* got);
void raise_name_error(PyObject* name);
void raise_unbound_local(const char* name);
void raise_none_attribute(const char* attribute);
void raise_list_index();
void raise_bytes_index();   // bytes indexed past its end
void raise_int_overflow();  // a value that does not fit a C int
// An int's value as a C int, by its __index__ for anything but an int; the
// overflow error above where it does not fit.
bool int_value(PyObject* value, int& out);
void raise_uint32_overflow();
void raise_byte_range();    // bytearray.append of a value outside 0..255
void raise_bytes_range();   // bytes([flag]) of a value outside 0..255
void raise_not_context_manager(PyObject* manager, bool missing_exit);
// The TypeError of a text file object's write given anything but a str.
void raise_write_argument(PyObject* got);
// An input written while it was read, after part of the result went out.
void raise_input_changed();
// OSError for `code`, with the file name `path` (null for none).
void raise_os_error_code(int code, PyObject* path);
void raise_empty_key();
// zlib's failures, worded as the interpreter's zlib module words them;
// `doing` is the phrase such as "while decompressing data".
void raise_zlib_error(PyObject* error_class, int code, const char* zlib_message,
                      const char* doing);
void raise_zlib_memory(const char* doing);
void raise_checksum_size();

// The module's own exception classes, read from the namespace at raise time.
void raise_missing_header(PyObject* header);
void raise_no_data();
void raise_unrecognized_token(PyObject* piece);
void raise_too_short();
void raise_crc_mismatch(std::uint32_t expected, std::uint32_t got);
// Replaces the pending UnicodeDecodeError by DecodeError, keeping it as the
// new exception's context.
void raise_not_utf8();

// Loading.
void raise_interpreter_change();
void raise_reinitialisation();
// The RuntimeWarning that the running major.minor is not the one built for.
int warn_version_mismatch(int major, int minor);
void raise_cannot_import(PyObject* name);

}  // namespace velkorenc::py
