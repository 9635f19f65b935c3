#include <cstring>

#include "velkorenc/codec.hpp"
#include "velkorenc/core/memory.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {

Buffer allocate_buffer(std::size_t size) {
  void* p = size <= static_cast<std::size_t>(PY_SSIZE_T_MAX) ? PyMem_Malloc(size ? size : 1)
                                                             : nullptr;
  if (!p) {
    PyErr_NoMemory();
  } else {
    core::prepare_for_writing(p, size);
  }
  return Buffer(static_cast<std::uint8_t*>(p));
}

Ref bytes_copy(const std::uint8_t* data, std::size_t size) {
  Ref copy(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (copy) {
    core::prepare_for_writing(PyBytes_AS_STRING(copy.get()), size);
    std::memcpy(PyBytes_AS_STRING(copy.get()), data, size);
  }
  return copy;
}

bool is_declared(PyObject* value, PyTypeObject* type) {
  return value == Py_None || Py_IS_TYPE(value, type);
}

bool frame_crc32(PyObject* data, std::uint32_t& out) {
  Ref zlib = lookup_global(g.names.zlib);
  if (!zlib) return false;
  Ref crc(PyObject_CallMethodOneArg(zlib.get(), g.names.crc32, data));
  if (!crc) return false;
  if (PyLong_CheckExact(crc.get())) {
    // For an int, "& 0xFFFFFFFF" keeps the low 32 bits of its two's complement.
    out = static_cast<std::uint32_t>(PyLong_AsUnsignedLongLongMask(crc.get()));
    return !PyErr_Occurred();
  }
  Ref masked(PyNumber_And(crc.get(), g.int_crc_mask));
  if (!masked) return false;
  const unsigned long value = PyLong_AsUnsignedLong(masked.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (value > 0xFFFFFFFFUL) {
    raise_uint32_overflow();
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool single_char(PyObject* text, std::uint32_t& out) {
  if (!PyUnicode_CheckExact(text) || PyUnicode_GET_LENGTH(text) != 1) return false;
  out = PyUnicode_READ_CHAR(text, 0);
  return true;
}

}  // namespace velkorenc::py
