// The byte codec as the module's functions see it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// A working buffer from the interpreter's allocator, freed on every path.
struct PyMemFree {
  void operator()(void* p) const noexcept { PyMem_Free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t[], PyMemFree>;
Buffer allocate_buffer(std::size_t size);  // MemoryError when it fails

// A new bytes object holding a copy of `size` bytes at `data`.
Ref bytes_copy(const std::uint8_t* data, std::size_t size);

// A value held under a declared type must be exactly that type or None.
bool is_declared(PyObject* value, PyTypeObject* type);

// zlib.crc32(data) & 0xFFFFFFFF, through the namespace's `zlib`.
bool frame_crc32(PyObject* data, std::uint32_t& out);

// The code point of a one-character str, or false.
bool single_char(PyObject* text, std::uint32_t& out);

PyObject* encode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* decode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace velkorenc::py
