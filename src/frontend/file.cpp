#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/core/files/files.hpp"
#include "velkorenc/gil.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/frontend.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// How one file mode is opened: open(path, mode) or open(path, mode, encoding="utf-8").
struct FileForm {
  PyObject* mode;
  bool utf8;
};

Ref open_file(PyObject* path, const FileForm& form) {
  PyObject* call[] = {path, form.mode, g.names.utf_8};
  return Ref(form.utf8 ? PyObject_Vectorcall(g.open, call, 2, g.encoding_kwnames)
                       : PyObject_Vectorcall(g.open, call, 2, nullptr));
}

// The first entry `name` in the namespaces of type(obj)'s MRO.  As in the
// with statement's lookup, an error in a namespace counts as not found.
Ref type_lookup(PyTypeObject* type, PyObject* name) {
  // Held, as a lookup may run code that gives the type another MRO.
  Ref mro = Ref::borrow(type->tp_mro);
  if (!mro) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
    PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return {};
    }
  }
  return {};
}

// type(obj).name bound to obj, as the with statement looks it up.
Ref special_method(PyObject* obj, PyObject* name) {
  Ref descr = type_lookup(Py_TYPE(obj), name);
  if (!descr) return {};
  descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
  if (!get) return descr;
  return Ref(get(descr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

// Chains the exception now being raised to the one it replaced.
void chain_to(PyObject* replaced) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised != replaced) {
    PyException_SetContext(raised, replaced);
  } else {
    Py_DECREF(replaced);
  }
  PyErr_SetRaisedException(raised);
}

enum class BlockEnd { completed, suppressed, failed };

// with manager as f: body(f)
template <class Body>
BlockEnd with_block(PyObject* manager, Body&& body) {
  Ref enter = special_method(manager, g.names.__enter__);
  if (!enter) {
    if (!PyErr_Occurred()) raise_not_context_manager(manager, false);
    return BlockEnd::failed;
  }
  Ref exit = special_method(manager, g.names.__exit__);
  if (!exit) {
    if (!PyErr_Occurred()) raise_not_context_manager(manager, true);
    return BlockEnd::failed;
  }
  Ref f(PyObject_CallNoArgs(enter.get()));
  if (!f) return BlockEnd::failed;
  if (body(f.get())) {
    Ref ignored(PyObject_CallFunctionObjArgs(exit.get(), Py_None, Py_None, Py_None, nullptr));
    return ignored ? BlockEnd::completed : BlockEnd::failed;
  }
  PyObject* exc = PyErr_GetRaisedException();
  Ref traceback(PyException_GetTraceback(exc));
  Ref verdict(PyObject_CallFunctionObjArgs(exit.get(), Py_TYPE(exc), exc,
                                           traceback ? traceback.get() : Py_None, nullptr));
  const int swallow = verdict ? PyObject_IsTrue(verdict.get()) : -1;
  if (swallow < 0) {
    chain_to(exc);
    return BlockEnd::failed;
  }
  if (swallow) {
    Py_DECREF(exc);
    return BlockEnd::suppressed;
  }
  PyErr_SetRaisedException(exc);
  return BlockEnd::failed;
}

// The whole content of `path`, read inside a with block.  A null result
// without an error set means __exit__ swallowed the read's exception.
bool read_whole(PyObject* path, const FileForm& form, Ref& content) {
  Ref manager = open_file(path, form);
  if (!manager) return false;
  return with_block(manager.get(), [&](PyObject* f) {
           content.reset(PyObject_CallMethodNoArgs(f, g.names.read));
           return static_cast<bool>(content);
         }) != BlockEnd::failed;
}

bool write_to(PyObject* f, PyObject* content) {
  Ref ignored(PyObject_CallMethodOneArg(f, g.names.write, content));
  return static_cast<bool>(ignored);
}

// open(path, mode).write(content) in a with block.
bool write_with_open(PyObject* output_path, const FileForm& form, PyObject* content) {
  Ref manager = open_file(output_path, form);
  if (!manager) return false;
  return with_block(manager.get(), [&](PyObject* f) { return write_to(f, content); }) !=
         BlockEnd::failed;
}

// The bytes that the file object of the interpreter's open(path, mode)
// writes for `content`: the text as UTF-8, or the buffer's bytes.
class ContentBytes {
 public:
  ContentBytes() = default;
  ~ContentBytes() {
    if (view_.obj) PyBuffer_Release(&view_);
  }
  ContentBytes(const ContentBytes&) = delete;
  ContentBytes& operator=(const ContentBytes&) = delete;

  // False with the file object's error raised.
  bool take(PyObject* content, const FileForm& form) {
    if (form.utf8) {
      if (!PyUnicode_Check(content)) {
        raise_write_argument(content);
        return false;
      }
      Py_ssize_t size;
      const char* data = PyUnicode_AsUTF8AndSize(content, &size);
      if (!data) return false;
      bytes_ = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
      return true;
    }
    if (PyObject_GetBuffer(content, &view_, PyBUF_SIMPLE) < 0) return false;
    bytes_ = {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    return true;
  }
  core::ByteSpan bytes() const { return bytes_; }

 private:
  Py_buffer view_{};
  core::ByteSpan bytes_;
};

// Writes `content` as the file object of open(output_path, mode) would.
// The interpreter's open opens a FIFO, a device or a path that cannot be
// examined, and writes to it.  Anything else is written to a temporary file
// that then replaces the output, so that a failure leaves it as it was; the
// open event is raised as open raises it, unless `announced` says it was.
bool write_whole(PyObject* output_path, const FileForm& form, PyObject* content,
                 core::FileLocks& locks, bool announced) {
  Ref path = file_system_path(output_path);
  if (!path) {
    return !PyErr_Occurred() && write_with_open(output_path, form, content);
  }
  const char* name = PyBytes_AS_STRING(path.get());
  core::OutputFile out;
  core::FileFailure failure;
  {
    GilRelease gil(true);
    failure = out.examine(name);
  }
  const bool direct = !failure && out.way() == core::OutputFile::Way::direct;
  if (direct && !announced) return write_with_open(output_path, form, content);
  if (!announced && !announce_output(output_path)) return false;
  if (failure) {
    raise_file_failure(failure, output_path);
    return false;
  }
  // An output opened before, by the chunks that were then given up, is
  // opened as the interpreter's open would, without its event again.
  core::Descriptor opened(direct ? open_for_writing(name, output_path) : -1);
  if (direct && opened.get() < 0) return false;
  if (!direct) {
    GilRelease gil(true);
    SignalHandlersNow handlers(gil);
    if (out.target_fd() >= 0) locks.cover(out.target_fd(), &handlers);
    failure = out.prepare();
  }
  if (PyErr_Occurred()) return false;
  if (failure) {
    raise_file_failure(failure, output_path);
    return false;
  }
  ContentBytes written;
  if (!written.take(content, form)) return false;
  {
    // Without the GIL whatever the size: a pipe may wait for its reader, and
    // putting the result in place flushes it to disk.
    GilRelease gil(true);
    SignalHandlersNow handlers(gil);
    failure = {core::write_all(direct ? opened.get() : out.fd(), written.bytes(), &handlers), false};
    if (!failure && !direct) failure = out.commit();
  }
  if (PyErr_Occurred()) return false;
  if (failure) {
    raise_file_failure(failure, output_path);
    return false;
  }
  if (const int code = opened.close()) {
    raise_os_error_code(code, nullptr);
    return false;
  }
  return true;
}

// Read from an input that is not a regular file at a time.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;

// A block of memory from malloc that grows as it fills.
class PieceBuffer {
 public:
  PieceBuffer() = default;
  ~PieceBuffer() { std::free(data_); }
  PieceBuffer(const PieceBuffer&) = delete;
  PieceBuffer& operator=(const PieceBuffer&) = delete;

  // Room for `more` bytes after the filled ones: false when out of memory.
  bool reserve(std::size_t more) {
    if (capacity_ - size_ >= more) return true;
    std::size_t capacity = capacity_ ? capacity_ : more;
    while (capacity - size_ < more) {
      if (capacity > PY_SSIZE_T_MAX / 2) return false;
      capacity *= 2;
    }
    void* grown = std::realloc(data_, capacity);
    if (!grown) return false;
    data_ = static_cast<std::uint8_t*>(grown);
    capacity_ = capacity;
    return true;
  }
  std::uint8_t* end() { return data_ + size_; }
  void grow(std::size_t filled) { size_ += filled; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Everything left to read at `fd`, which is not a regular file, read in
// pieces with the GIL let go, running signal handlers between them: an
// endless input (a device, a pipe whose writer never stops) then ends in
// KeyboardInterrupt at Ctrl-C rather than when memory runs out.  The
// result is what f.read() on the file object `f` gives: bytes, or in text
// mode the text decoded as strict UTF-8 with universal newlines.
Ref read_in_pieces(PyObject* f, int fd, bool text) {
  PieceBuffer buffer;
  int code = 0;
  for (;;) {
    if (!buffer.reserve(kReadPiece)) return Ref(PyErr_NoMemory());
    ssize_t got;
    {
      GilRelease gil(true);
      got = ::read(fd, buffer.end(), kReadPiece);
      code = got < 0 ? errno : 0;
    }
    if (got == 0) break;
    if (got > 0) buffer.grow(static_cast<std::size_t>(got));
    if (PyErr_CheckSignals() < 0) return {};
    if (got > 0 || code == EINTR) continue;
    if (code != EAGAIN) {
      raise_os_error_code(code, nullptr);
      return {};
    }
    // A descriptor that does not wait: what it had, or, when it had
    // nothing, what the file object makes of that.
    if (buffer.size() == 0) return Ref(PyObject_CallMethodNoArgs(f, g.names.read));
    break;
  }
  const auto* data = reinterpret_cast<const char*>(buffer.data());
  const auto size = static_cast<Py_ssize_t>(buffer.size());
  if (!text) return Ref(PyBytes_FromStringAndSize(data, size));
  Ref decoded(PyUnicode_DecodeUTF8(data, size, nullptr));
  if (!decoded || !std::memchr(data, '\r', buffer.size())) return decoded;
  Ref lines(PyUnicode_Replace(decoded.get(), g.names.crlf, g.names.lf, -1));
  return lines ? Ref(PyUnicode_Replace(lines.get(), g.names.cr, g.names.lf, -1)) : Ref();
}

// Takes the conversion's locks with the GIL let go, a wait that Ctrl-C can
// end: false with the exception of a signal handler raised.
bool lock_files(core::FileLocks& locks, int fd, PyObject* input_path, PyObject* output_path) {
  Ref in = file_system_path(input_path);
  Ref out = in || !PyErr_Occurred() ? file_system_path(output_path) : Ref();
  if (PyErr_Occurred()) return false;
  {
    GilRelease gil(true);
    SignalHandlersNow handlers(gil);
    locks.acquire(fd, in ? PyBytes_AS_STRING(in.get()) : nullptr,
                  out ? PyBytes_AS_STRING(out.get()) : nullptr, &handlers);
  }
  return !PyErr_Occurred();
}

// fstat(fd), with the OSError raised when it fails.
bool stat_descriptor(int fd, struct stat& info) {
  if (::fstat(fd, &info) == 0) return true;
  raise_os_error_code(errno, nullptr);
  return false;
}

// What tells encode_file and decode_file apart.
struct Conversion {
  FileForm in_form;
  PyObject* codec;
  const char* content_name;
  FileForm out_form;
  bool encoding;
};

// The codec named by the conversion, called on `content`: null with the
// error raised, or a content of null when a with block swallowed the
// read's exception.
Ref run_codec(const Conversion& how, Ref& content, PyObject* key) {
  Ref function = lookup_global(how.codec);
  if (!function) return {};
  if (!content) {
    raise_unbound_local(how.content_name);
    return {};
  }
  PyObject* call[] = {content.get(), key};
  Ref result(PyObject_Vectorcall(function.get(), call, 2, nullptr));
  content.reset();
  return result;
}

// Reads the input whole with an open that is not the interpreter's own,
// runs the codec and writes the result whole: every step through the
// caller's objects.
Ref convert_with_their_open(PyObject* input_path, PyObject* output_path, PyObject* key,
                            const Conversion& how) {
  Ref content;
  if (!read_whole(input_path, how.in_form, content)) return {};
  Ref result = run_codec(how, content, key);
  if (!result || !write_with_open(output_path, how.out_form, result.get())) return {};
  return Ref::borrow(Py_None);
}

// The conversion with the interpreter's own open.  The input is opened with
// it, and locked (see core::FileLocks) until the result is in place.  A
// regular file is converted in chunks when it may be; anything else is read
// whole, in pieces when it is not a regular file; then the codec runs and
// the result is written whole.
Ref convert_with_io_open(PyObject* input_path, PyObject* output_path, PyObject* key,
                         const Conversion& how) {
  Ref manager = open_file(input_path, how.in_form);
  if (!manager) return {};
  core::FileLocks locks;
  Ref content;
  bool converted = false;
  bool announced = false;
  const BlockEnd end = with_block(manager.get(), [&](PyObject* f) {
    const int fd = PyObject_AsFileDescriptor(f);
    if (fd < 0) return false;
    struct stat info;
    if (!stat_descriptor(fd, info)) return false;
    // An input that is not a regular file has nothing to lock, and the
    // output is locked only once it has ended: the pipe may be fed by a
    // conversion that reads that very output.  The wait for the locks may
    // open the input's path anew onto fd.
    if (S_ISREG(info.st_mode) &&
        (!lock_files(locks, fd, input_path, output_path) || !stat_descriptor(fd, info))) {
      return false;
    }
    if (!S_ISREG(info.st_mode)) {
      content = read_in_pieces(f, fd, how.in_form.utf8);
      return static_cast<bool>(content);
    }
    const StreamResult streamed =
        how.encoding ? stream_encode_file(fd, output_path, key, locks, announced)
                     : stream_decode_file(fd, output_path, key, locks);
    if (streamed != StreamResult::declined) {
      converted = streamed == StreamResult::done;
      return converted;
    }
    // The chunks read with pread: the file object is still at the start.
    content.reset(PyObject_CallMethodNoArgs(f, g.names.read));
    return static_cast<bool>(content);
  });
  if (end == BlockEnd::failed) return {};
  if (converted) return Ref::borrow(Py_None);
  Ref result = run_codec(how, content, key);
  if (!result || !write_whole(output_path, how.out_form, result.get(), locks, announced)) {
    return {};
  }
  return Ref::borrow(Py_None);
}

// One file function: binds its arguments, then converts.
PyObject* file_function(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, const Conversion& how) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  return (g.open_is_io_open ? convert_with_io_open : convert_with_their_open)(
             bound[0], bound[1], bound[2], how)
      .release();
}

}  // namespace

void raise_file_failure(const core::FileFailure& failure, PyObject* output_path) {
  raise_os_error_code(failure.code, failure.names_output ? output_path : nullptr);
}

Ref file_system_path(PyObject* path) {
  if (!PyUnicode_CheckExact(path)) return {};
  Ref encoded(PyUnicode_EncodeFSDefault(path));
  if (!encoded) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
    return {};
  }
  const char* bytes = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(bytes) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) return {};
  return encoded;
}

PyObject* encode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  const Conversion how{{g.names.mode_rb, false}, g.names.encode_bytes, "data",
                       {g.names.mode_w, true}, true};
  return file_function(kEncodeFileSignature, args, nargs, kwnames, how);
}

PyObject* decode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  const Conversion how{{g.names.mode_r, true}, g.names.decode_bytes, "encoded",
                       {g.names.mode_wb, false}, false};
  return file_function(kDecodeFileSignature, args, nargs, kwnames, how);
}

}  // namespace velkorenc::py
