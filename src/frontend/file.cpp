#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "velkorenc/args.hpp"
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

// type(obj).name bound to obj, as the with statement looks it up.
Ref special_method(PyObject* obj, PyObject* name) {
  PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
  if (!descr) return {};
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  if (!get) return Ref::borrow(descr);
  return Ref(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
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

// The path in the file system's encoding, or null: with no error set when
// the path cannot name a file, so that open reports it, and with the error
// set when the conversion failed for another reason (out of memory).
Ref fs_path(PyObject* path) {
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

// True when both paths name one existing regular file.
bool same_regular_file(PyObject* input_path, PyObject* output_path, struct stat& info) {
  Ref in = fs_path(input_path);
  Ref out = in ? fs_path(output_path) : Ref();
  struct stat in_info;
  return out && ::stat(PyBytes_AS_STRING(in.get()), &in_info) == 0 &&
         ::stat(PyBytes_AS_STRING(out.get()), &info) == 0 && S_ISREG(info.st_mode) &&
         in_info.st_dev == info.st_dev && in_info.st_ino == info.st_ino;
}

// Writes `content` to a new file beside the one at `output_path` and moves it
// over that file once it is complete and on disk, so that a failure part way
// never destroys the only copy of the data.
bool replace_file(PyObject* output_path, const FileForm& form, PyObject* content,
                  const struct stat& original) {
  Ref path = fs_path(output_path);
  if (!path) {
    // The path was converted a moment ago: only memory can run out now.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return false;
  }
  // The real file, so that a symbolic link stays a link to it.
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(PyBytes_AS_STRING(path.get()), nullptr), &std::free);
  if (!resolved) {
    raise_os_error(output_path);
    return false;
  }
  const char* target = resolved.get();
  const std::size_t length = std::strlen(target);
  const std::size_t name = static_cast<std::size_t>(std::strrchr(target, '/') - target) + 1;
  // <directory>/.<name>.XXXXXX
  constexpr char kSuffix[] = ".XXXXXX";
  Buffer buffer = allocate_buffer(length + 1 + sizeof kSuffix);
  if (!buffer) return false;
  char* temp = reinterpret_cast<char*>(buffer.get());
  std::memcpy(temp, target, name);
  temp[name] = '.';
  std::memcpy(temp + name + 1, target + name, length - name);
  std::memcpy(temp + length + 1, kSuffix, sizeof kSuffix);
  const int fd = ::mkstemp(temp);
  if (fd < 0) {
    Ref directory(PyUnicode_DecodeFSDefaultAndSize(target, static_cast<Py_ssize_t>(name)));
    if (directory) raise_os_error(directory.get());
    return false;
  }
  ::close(fd);
  Ref temp_path(PyUnicode_DecodeFSDefault(temp));
  bool ok = static_cast<bool>(temp_path);
  if (ok) {
    Ref manager = open_file(temp_path.get(), form);
    ok = manager && with_block(manager.get(), [&](PyObject* f) {
                      if (!write_to(f, content)) return false;
                      Ref flushed(PyObject_CallMethodNoArgs(f, g.names.flush));
                      Ref fileno = flushed ? Ref(PyObject_CallMethodNoArgs(f, g.names.fileno))
                                           : Ref();
                      const long descriptor = fileno ? PyLong_AsLong(fileno.get()) : -1;
                      if (descriptor == -1 && PyErr_Occurred()) return false;
                      if (::fsync(static_cast<int>(descriptor)) != 0) {
                        raise_os_error(temp_path.get());
                        return false;
                      }
                      return true;
                    }) != BlockEnd::failed;
  }
  if (ok && (::chmod(temp, original.st_mode & 07777) != 0 || ::rename(temp, target) != 0)) {
    raise_os_error(output_path);
    ok = false;
  }
  if (!ok) {
    PyObject* exc = PyErr_GetRaisedException();
    ::unlink(temp);
    PyErr_SetRaisedException(exc);
  }
  return ok;
}

bool write_whole(PyObject* input_path, PyObject* output_path, const FileForm& form,
                 PyObject* content) {
  struct stat original;
  if (same_regular_file(input_path, output_path, original)) {
    return replace_file(output_path, form, content, original);
  }
  if (PyErr_Occurred()) return false;
  Ref manager = open_file(output_path, form);
  if (!manager) return false;
  return with_block(manager.get(), [&](PyObject* f) { return write_to(f, content); }) !=
         BlockEnd::failed;
}

// Reads the input whole, runs the codec named `codec` on it and writes the
// result whole; the output is opened only once the codec has returned.
Ref convert_file(PyObject* input_path, PyObject* output_path, PyObject* key,
                 const FileForm& in_form, PyObject* codec, const char* content_name,
                 const FileForm& out_form) {
  Ref content;
  if (!read_whole(input_path, in_form, content)) return {};
  Ref function = lookup_global(codec);
  if (!function) return {};
  if (!content) {
    raise_unbound_local(content_name);
    return {};
  }
  PyObject* call[] = {content.get(), key};
  Ref result(PyObject_Vectorcall(function.get(), call, 2, nullptr));
  if (!result) return {};
  content.reset();
  if (!write_whole(input_path, output_path, out_form, result.get())) return {};
  return Ref::borrow(Py_None);
}

}  // namespace

PyObject* encode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kEncodeFileSignature, args, nargs, kwnames, bound)) return nullptr;
  return convert_file(bound[0], bound[1], bound[2], {g.names.mode_rb, false},
                      g.names.encode_bytes, "data", {g.names.mode_w, true})
      .release();
}

PyObject* decode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kDecodeFileSignature, args, nargs, kwnames, bound)) return nullptr;
  return convert_file(bound[0], bound[1], bound[2], {g.names.mode_r, true},
                      g.names.decode_bytes, "encoded", {g.names.mode_wb, false})
      .release();
}

}  // namespace velkorenc::py
