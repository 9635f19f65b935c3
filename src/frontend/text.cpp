#include "velkorenc/args.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/frontend.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

Ref text_result(Ref result) {
  if (result && !is_declared(result.get(), &PyUnicode_Type)) {
    raise_expected_type("str", result.get());
    return {};
  }
  return result;
}

Ref encode(PyObject* text, PyObject* key) {
  if (text == Py_None) {
    raise_none_attribute("encode");
    return {};
  }
  Ref data(PyUnicode_AsUTF8String(text));
  if (!data) return {};
  return text_result(call_codec(g.names.encode_bytes, data.get(), key));
}

Ref decode(PyObject* text, PyObject* key) {
  Ref data = call_codec(g.names.decode_bytes, text, key);
  if (!data) return {};
  Ref result;
  if (PyBytes_CheckExact(data.get())) {
    result.reset(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()),
                                      PyBytes_GET_SIZE(data.get()), nullptr));
  } else {
    result.reset(PyObject_CallMethodOneArg(data.get(), g.names.decode, g.names.utf_8));
  }
  if (!result && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
    raise_not_utf8();
    return {};
  }
  return text_result(std::move(result));
}

}  // namespace

Ref call_codec(PyObject* name, PyObject* value, PyObject* key) {
  Ref function = lookup_global(name);
  if (!function) return {};
  PyObject* call[] = {value, key};
  return Ref(PyObject_Vectorcall(function.get(), call, 2, nullptr));
}

PyObject* encode_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kEncodeSignature, args, nargs, kwnames, bound)) return nullptr;
  return encode(bound[0], bound[1]).release();
}

PyObject* decode_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kDecodeSignature, args, nargs, kwnames, bound)) return nullptr;
  return decode(bound[0], bound[1]).release();
}

}  // namespace velkorenc::py
