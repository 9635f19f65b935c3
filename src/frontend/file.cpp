#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// open(fd, mode[, encoding="utf-8"], closefd=False): a file object of the
// interpreter's own over a descriptor of this module's.
Ref open_descriptor(int fd, const FileForm& form) {
  Ref descriptor(PyLong_FromLong(fd));
  Ref args = descriptor ? Ref(PyTuple_Pack(2, descriptor.get(), form.mode)) : Ref();
  Ref kwargs = args ? Ref(PyDict_New()) : Ref();
  if (!kwargs || PyDict_SetItem(kwargs.get(), g.names.closefd, Py_False) < 0 ||
      (form.utf8 && PyDict_SetItem(kwargs.get(), g.names.encoding, g.names.utf_8) < 0)) {
    return {};
  }
  return Ref(PyObject_Call(g.open, args.get(), kwargs.get()));
}

// Writes `content` to the temporary file of `out` as open(path, mode).write
// would, then puts it in place.
bool write_through(core::OutputFile& out, const FileForm& form, PyObject* content,
                   PyObject* output_path) {
  Ref f = open_descriptor(out.fd(), form);
  if (!f) return false;
  const bool written = write_to(f.get(), content);
  PyObject* pending = written ? nullptr : PyErr_GetRaisedException();
  Ref closed(PyObject_CallMethodNoArgs(f.get(), g.names.close));
  if (pending) {
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return false;
  }
  if (!closed) return false;
  core::FileFailure failure;
  {
    GilRelease gil(true);
    failure = out.commit();
  }
  if (failure) {
    raise_file_failure(failure, output_path);
    return false;
  }
  return true;
}

// Writes the whole result.  While `open` is the interpreter's own, a regular
// or missing output is replaced through a temporary file, so that a failure
// leaves it as it was; anything else is opened and written as before.
bool write_whole(PyObject* output_path, const FileForm& form, PyObject* content) {
  if (g.open_is_io_open) {
    Ref path = file_system_path(output_path);
    if (!path && PyErr_Occurred()) return false;
    if (path) {
      core::OutputFile out;
      core::FileFailure failure;
      {
        GilRelease gil(true);
        failure = out.open(PyBytes_AS_STRING(path.get()));
      }
      if (failure) {
        raise_file_failure(failure, output_path);
        return false;
      }
      if (out.way() != core::OutputFile::Way::direct) {
        return write_through(out, form, content, output_path);
      }
    }
  }
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
  if (!write_whole(output_path, out_form, result.get())) return {};
  return Ref::borrow(Py_None);
}

// One file function: binds its arguments, converts in chunks when it may,
// and otherwise reads the whole input, runs the codec and writes the whole
// result.
PyObject* file_function(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames,
                        StreamResult (*stream)(PyObject*, PyObject*, PyObject*),
                        const FileForm& in_form, PyObject* codec, const char* content_name,
                        const FileForm& out_form) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  switch (stream(bound[0], bound[1], bound[2])) {
    case StreamResult::done:
      Py_RETURN_NONE;
    case StreamResult::failed:
      return nullptr;
    case StreamResult::declined:
      break;
  }
  return convert_file(bound[0], bound[1], bound[2], in_form, codec, content_name, out_form)
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
  return file_function(kEncodeFileSignature, args, nargs, kwnames, stream_encode_file,
                       {g.names.mode_rb, false}, g.names.encode_bytes, "data",
                       {g.names.mode_w, true});
}

PyObject* decode_file_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return file_function(kDecodeFileSignature, args, nargs, kwnames, stream_decode_file,
                       {g.names.mode_r, true}, g.names.decode_bytes, "encoded",
                       {g.names.mode_wb, false});
}

}  // namespace velkorenc::py
