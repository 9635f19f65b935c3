#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <span>

#include "velkorenc/codec.hpp"
#include "velkorenc/core/platform/memory.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/zlib/zlib.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/gil.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {

Buffer allocate_buffer(std::size_t size, bool prepare) {
  void* p = size <= static_cast<std::size_t>(PY_SSIZE_T_MAX) ? PyMem_Malloc(size ? size : 1)
                                                             : nullptr;
  if (!p) {
    PyErr_NoMemory();
  } else if (prepare) {
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

namespace {

// A function of the zlib extension module itself, not a stand-in.
Ref module_function(PyObject* zlib, const char* name) {
  Ref function(PyObject_GetAttrString(zlib, name));
  if (function && (!PyCFunction_Check(function.get()) ||
                   PyCFunction_GET_SELF(function.get()) != zlib)) {
    function.reset();
  }
  return function;
}

// The exception class that the module's own functions raise: the class of
// what its decompress raises for no data.
Ref error_class(PyObject* decompress) {
  Ref result(PyObject_CallOneArg(decompress, g.empty_bytes));
  if (result) return {};
  Ref raised(PyErr_GetRaisedException());
  return Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())));
}

bool capture(PyObject* ns) {
  PyObject* zlib = PyDict_GetItemWithError(ns, g.names.zlib);
  if (!zlib || !PyModule_Check(zlib)) return false;
  PyModuleDef* definition = PyModule_GetDef(zlib);
  if (!definition || !definition->m_name || std::strcmp(definition->m_name, "zlib") != 0) {
    return false;
  }
  Ref version(PyObject_GetAttr(zlib, g.names.ZLIB_RUNTIME_VERSION));
  if (!version || !PyUnicode_CheckExact(version.get()) ||
      PyUnicode_CompareWithASCIIString(version.get(), core::zlib_library_version()) != 0) {
    return false;
  }
  Ref compress = module_function(zlib, "compress");
  Ref crc32 = module_function(zlib, "crc32");
  Ref decompress = module_function(zlib, "decompress");
  if (!compress || !crc32 || !decompress) return false;
  Ref error = error_class(decompress.get());
  if (!error) return false;
  Py_XSETREF(g.zlib, Py_NewRef(zlib));
  Py_XSETREF(g.zlib_compress, compress.release());
  Py_XSETREF(g.zlib_crc32, crc32.release());
  Py_XSETREF(g.zlib_decompress, decompress.release());
  Py_XSETREF(g.zlib_error, error.release());
  g.zlib_direct = true;
  return true;
}

// A bytes object that grows as inflation fills it.  Inflation may run
// without the GIL; each growth takes it back for the moment.
class GrowingBytes final : public core::OutputSink {
 public:
  explicit GrowingBytes(std::size_t initial)
      : bytes_(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(initial))),
        capacity_(initial) {}

  bool ok() const noexcept { return static_cast<bool>(bytes_); }
  void run_without(GilRelease* gil) noexcept { gil_ = gil; }

  std::span<std::uint8_t> space() noexcept override {
    if (filled_ == capacity_ && !grow()) return {};
    auto* start = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get()));
    return {start + filled_, capacity_ - filled_};
  }
  void commit(std::size_t filled) noexcept override { filled_ += filled; }

  // The bytes filled so far, as the result.
  Ref finish() {
    PyObject* bytes = bytes_.release();
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(filled_)) < 0) return {};
    return Ref(bytes);
  }

 private:
  bool grow() noexcept {
    GilRelease::Reacquire hold(gil_);
    constexpr auto kMax = static_cast<std::size_t>(PY_SSIZE_T_MAX);
    if (capacity_ > kMax / 2) {
      PyErr_NoMemory();
      return false;
    }
    PyObject* bytes = bytes_.release();
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(2 * capacity_)) < 0) return false;
    bytes_.reset(bytes);
    capacity_ *= 2;
    return true;
  }

  Ref bytes_;
  std::size_t capacity_;
  std::size_t filled_ = 0;
  GilRelease* gil_ = nullptr;
};

}  // namespace

void capture_zlib(PyObject* ns) {
  g.zlib_direct = false;
  if (!capture(ns)) PyErr_Clear();
}

Ref zlib_function(PyObject* name, PyObject* own, bool& direct) {
  direct = false;
  Ref zlib = lookup_global(g.names.zlib);
  if (!zlib) return {};
  Ref function = module_attribute(zlib.get(), name);
  direct = function && g.zlib_direct && zlib.get() == g.zlib && function.get() == own;
  return function;
}

bool frame_crc32(core::ByteSpan head, core::ByteSpan tail, std::uint32_t& out,
                 const std::uint32_t* known) {
  bool direct;
  Ref crc32 = zlib_function(g.names.crc32, g.zlib_crc32, direct);
  if (!crc32) return false;
  if (direct && known) {
    out = *known;
    return true;
  }
  if (direct) {
    GilRelease gil(head.size() + tail.size() >= kReleaseGil);
    const core::WorkerLease lease(core::threads_wanted(tail.size()));
    return core::crc32_on_threads(core::crc32(0, head), tail, lease.count(), gil, out);
  }
  Ref fp(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(head.size() + tail.size())));
  if (!fp) return false;
  char* joined = PyBytes_AS_STRING(fp.get());
  if (!head.empty()) std::memcpy(joined, head.data(), head.size());
  if (!tail.empty()) std::memcpy(joined + head.size(), tail.data(), tail.size());
  Ref crc(PyObject_CallOneArg(crc32.get(), fp.get()));
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

Ref decompress_directly(core::ByteSpan payload) {
  // Room for a few times the payload to start with; pages that inflation
  // does not reach are never touched.
  constexpr std::size_t kLeast = std::size_t{16} << 10;
  const std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX) / 8;
  const std::size_t guess = payload.size() < limit ? 4 * payload.size() : limit;
  GrowingBytes result(guess > kLeast ? guess : kLeast);
  if (!result.ok()) return {};
  core::Inflater inflater;
  {
    GilRelease gil(payload.size() >= kReleaseGil);
    result.run_without(&gil);
    // In pieces, since a little input can stand for a great deal of output.
    for (std::size_t at = 0;; at += core::kInflatePiece) {
      const core::ByteSpan piece = payload.subspan(at, std::min(core::kInflatePiece,
                                                                payload.size() - at));
      const bool last = at + piece.size() == payload.size();
      if (!inflater.feed(piece, last, result) || inflater.ended() || last || !gil.resume()) {
        break;
      }
    }
    result.run_without(nullptr);
    if (gil.interrupted()) return {};
  }
  const core::ZlibFailure& failure = inflater.failure();
  switch (failure.kind) {
    case core::ZlibFailure::Kind::none:
      return result.finish();
    case core::ZlibFailure::Kind::out_of_memory:
      raise_zlib_memory("while decompressing data");
      return {};
    case core::ZlibFailure::Kind::no_output_space:
      return {};  // growing the result failed, with MemoryError set
    case core::ZlibFailure::Kind::zlib:
      raise_zlib_error(g.zlib_error, failure.code, failure.message, "while decompressing data");
      return {};
  }
  return {};
}

bool single_char(PyObject* text, std::uint32_t& out) {
  if (!PyUnicode_CheckExact(text) || PyUnicode_GET_LENGTH(text) != 1) return false;
  out = PyUnicode_READ_CHAR(text, 0);
  return true;
}

bool native_marks(Ref& header, core::ByteSpan& header_bytes, char& delimiter, bool& native) {
  native = false;
  header = lookup_global(g.names.HEADER);
  if (!header) return false;
  Ref delimiter_object = lookup_global(g.names.DELIMITER);
  if (!delimiter_object) return false;
  std::uint32_t delimiter_char;
  if (!PyUnicode_CheckExact(header.get()) || !single_char(delimiter_object.get(), delimiter_char) ||
      delimiter_char >= 0x80) {
    return true;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(header.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return true;
  }
  header_bytes = {reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)};
  delimiter = static_cast<char>(delimiter_char);
  native = true;
  return true;
}

}  // namespace velkorenc::py
