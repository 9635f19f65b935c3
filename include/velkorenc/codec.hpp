// The byte codec as the module's functions see it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "velkorenc/core/keying/keying.hpp"
#include "velkorenc/core/stream/stream.hpp"
#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// A working buffer from the interpreter's allocator, freed on every path.
struct PyMemFree {
  void operator()(void* p) const noexcept { PyMem_Free(p); }
};
using Buffer = std::unique_ptr<std::uint8_t[], PyMemFree>;
// MemoryError when it fails.  A large buffer is mapped in for writing
// (core::prepare_for_writing) unless `prepare` is false, for callers that
// do that themselves without the GIL.
Buffer allocate_buffer(std::size_t size, bool prepare = true);

// A new bytes object holding a copy of `size` bytes at `data`.
Ref bytes_copy(const std::uint8_t* data, std::size_t size);

// A value held under a declared type must be exactly that type or None.
bool is_declared(PyObject* value, PyTypeObject* type);

// Inputs at least this large are worked on without the GIL, as the
// interpreter's zlib module does.
inline constexpr std::size_t kReleaseGil = std::size_t{64} << 10;

// Records the interpreter's zlib module just imported into the namespace,
// and whether the zlib library linked here is the one it runs.  Never fails:
// anything unexpected only means that every zlib call goes through Python.
void capture_zlib(PyObject* namespace_dict);

// zlib.<name>, read as a call of it reads it: `zlib` from the namespace, then
// its attribute.  `direct` is set when both are the interpreter's own (`own`
// is the function captured at load) and this module may call the library
// in their place.
Ref zlib_function(PyObject* name, PyObject* own, bool& direct);

// zlib.crc32(fp) & 0xFFFFFFFF for fp = head followed by tail, through the
// namespace's zlib.  `known`, when given, is the CRC-32 of fp worked out
// already, taken in place of the library's while crc32 is the interpreter's
// own.  Large inputs are summed without the GIL.
bool frame_crc32(core::ByteSpan head, core::ByteSpan tail, std::uint32_t& out,
                 const std::uint32_t* known = nullptr);

// What zlib.decompress(payload) returns, computed here: the caller has
// found the function to be the interpreter's own.
Ref decompress_directly(core::ByteSpan payload);

// The code point of a one-character str, or false.
bool single_char(PyObject* text, std::uint32_t& out);

// HEADER and DELIMITER, looked up in that order, in the form the fast paths
// write and read: the header an exact str, as UTF-8, and the delimiter one
// ASCII character.  False with an error set when a lookup fails; `native`
// false when either is not in that form.  `header` keeps what
// `header_bytes` points to.
bool native_marks(Ref& header, core::ByteSpan& header_bytes, char& delimiter, bool& native);

// The native form of what encode_bytes's fast path writes for `key` once
// the compression decision is made: the flag, the checksum function, the
// key's bytes and table, HEADER and DELIMITER, looked up in its order.
// False with an error set when a lookup fails; `native` false when the fast
// path's conditions do not hold.  `header` keeps what plan.header points to.
bool text_plan(PyObject* key, bool compressed, core::TextPlan& plan, Ref& header, bool& native);

// The same for decode_bytes's fast path: HEADER (without line breaks),
// DELIMITER, the key's table and bytes, CHECKSUM_SIZE (4), _COMPRESSED, and
// zlib's crc32 and decompress.
bool read_plan(PyObject* key, core::ReadPlan& plan, Ref& header, bool& native);

PyObject* encode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* decode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

}  // namespace velkorenc::py
