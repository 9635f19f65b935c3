#include <climits>
#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/core/memory.hpp"
#include "velkorenc/core/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// A flag constant read as the signed 32-bit integer the encoder keeps it in.
bool flag_value(PyObject* name, int& out) {
  Ref flag = lookup_global(name);
  if (!flag) return false;
  const long v = PyLong_AsLong(flag.get());
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < INT_MIN || v > INT_MAX) {
    raise_int_overflow();
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

// Fills `table` when `enc` maps exactly the ints 0..255 to eight-character
// ASCII strs, the shape generate_table gives.
bool ordinary_enc(PyObject* enc, core::EncodeTable& table) {
  if (!PyDict_CheckExact(enc) || PyDict_GET_SIZE(enc) != 256) return false;
  Py_ssize_t pos = 0;
  PyObject* value;
  PyObject* token;
  while (PyDict_Next(enc, &pos, &value, &token)) {
    if (!PyLong_CheckExact(value) || !PyUnicode_CheckExact(token) ||
        !PyUnicode_IS_ASCII(token) || PyUnicode_GET_LENGTH(token) != core::kTokenLength) {
      return false;
    }
    int overflow;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || v < 0 || v > 255) return false;
    char letters[core::kTokenLength];
    std::memcpy(letters, PyUnicode_1BYTE_DATA(token), core::kTokenLength);
    table.set(static_cast<std::uint8_t>(v), letters);
  }
  return true;
}

// The same from the shuffled token list: enc[v] is token v.
bool tokens_enc(const KeyTable& enc, core::EncodeTable& table) {
  for (int v = 0; v < 256; ++v) {
    char letters[core::kTokenLength];
    std::memcpy(letters, enc.token(v), core::kTokenLength);
    table.set(static_cast<std::uint8_t>(v), letters);
  }
  return true;
}

// HEADER + DELIMITER.join(enc[b] for b in transformed), step by step.
Ref join_general(PyObject* header, PyObject* delimiter, PyObject* enc,
                 core::ByteSpan transformed) {
  Ref join(PyObject_GetAttr(delimiter, g.names.join));
  if (!join) return {};
  // Grown by appending: `enc` may run code that reaches the list, which
  // must never hold an empty slot.
  Ref tokens(PyList_New(0));
  if (!tokens) return {};
  for (std::size_t t = 0; t < transformed.size(); ++t) {
    Ref value(PyLong_FromLong(transformed[t]));
    Ref token = value ? Ref(PyObject_GetItem(enc, value.get())) : Ref();
    if (!token || PyList_Append(tokens.get(), token.get()) < 0) return {};
  }
  Ref joined(PyObject_CallOneArg(join.get(), tokens.get()));
  if (!joined) return {};
  return Ref(PyNumber_Add(header, joined.get()));
}

// The same text written straight from the key's token words.
Ref join_ordinary(PyObject* header, const core::EncodeTable& table, char delimiter,
                  core::ByteSpan fp, core::ByteSpan ck, core::ByteSpan key) {
  const std::size_t n = fp.size() + ck.size();
  const bool header_in_place = PyUnicode_CheckExact(header) && PyUnicode_IS_ASCII(header);
  const Py_ssize_t header_length = header_in_place ? PyUnicode_GET_LENGTH(header) : 0;
  const std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX - header_length);
  if (n > limit / (core::kTokenLength + 1)) {
    PyErr_NoMemory();
    return {};
  }
  const auto length = static_cast<Py_ssize_t>(core::joined_length(n));
  Ref text(PyUnicode_New(header_length + length, 127));
  if (!text) return {};
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
  core::prepare_for_writing(out, static_cast<std::size_t>(header_length + length));
  if (header_in_place) std::memcpy(out, PyUnicode_1BYTE_DATA(header), header_length);
  core::write_frame_text(table, fp, ck, key, delimiter, out + header_length);
  if (header_in_place) return text;
  return Ref(PyNumber_Add(header, text.get()));
}

Ref encode_bytes(PyObject* data, PyObject* key) {
  Ref zlib = lookup_global(g.names.zlib);
  if (!zlib) return {};
  Ref compress(PyObject_GetAttr(zlib.get(), g.names.compress));
  if (!compress) return {};
  PyObject* call[] = {data, g.int6};
  Ref comp(PyObject_Vectorcall(compress.get(), call, 1, g.level_kwnames));
  if (!comp) return {};

  // Keep the compressed form only when it is strictly shorter.
  const Py_ssize_t comp_length = PyObject_Size(comp.get());
  if (comp_length < 0) return {};
  const Py_ssize_t data_length = PyObject_Size(data);
  if (data_length < 0) return {};
  int flag;
  PyObject* payload;
  if (comp_length < data_length) {
    if (!flag_value(g.names._COMPRESSED, flag)) return {};
    if (!is_declared(comp.get(), &PyBytes_Type)) {
      raise_expected_type("bytes", comp.get());
      return {};
    }
    payload = comp.get();
  } else {
    if (!flag_value(g.names._UNCOMPRESSED, flag)) return {};
    payload = data;
    comp.reset();  // a stored frame does not need the compressed copy
  }
  if (flag < 0 || flag > 255) {
    raise_bytes_range();
    return {};
  }

  const Py_ssize_t payload_length = PyBytes_GET_SIZE(payload);
  if (payload_length == PY_SSIZE_T_MAX) {
    PyErr_NoMemory();
    return {};
  }
  Ref fp(PyBytes_FromStringAndSize(nullptr, payload_length + 1));
  if (!fp) return {};
  core::prepare_for_writing(PyBytes_AS_STRING(fp.get()), static_cast<std::size_t>(payload_length) + 1);
  PyBytes_AS_STRING(fp.get())[0] = static_cast<char>(flag);
  std::memcpy(PyBytes_AS_STRING(fp.get()) + 1, PyBytes_AS_STRING(payload), payload_length);
  comp.reset();

  std::uint32_t crc;
  if (!frame_crc32(fp.get(), crc)) return {};
  const std::uint8_t ck[4] = {static_cast<std::uint8_t>(crc >> 24),
                              static_cast<std::uint8_t>(crc >> 16),
                              static_cast<std::uint8_t>(crc >> 8),
                              static_cast<std::uint8_t>(crc)};
  const core::ByteSpan fp_bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(fp.get())),
                                static_cast<std::size_t>(payload_length) + 1);
  const core::ByteSpan ck_bytes(ck, sizeof ck);
  const std::size_t n = fp_bytes.size() + ck_bytes.size();

  core::ByteSpan key_bytes;
  if (!transform_key(key, n, key_bytes)) return {};
  KeyTable enc;
  if (!enc.fetch(key, 0)) return {};
  if (!enc.has_tokens() && !is_declared(enc.table(), &PyDict_Type)) {
    raise_expected_type("dict", enc.table());
    return {};
  }
  Ref header = lookup_global(g.names.HEADER);
  if (!header) return {};
  Ref delimiter = lookup_global(g.names.DELIMITER);
  if (!delimiter) return {};

  Ref text;
  core::EncodeTable table;
  std::uint32_t delimiter_char;
  if (single_char(delimiter.get(), delimiter_char) && delimiter_char < 0x80 &&
      (enc.has_tokens() ? tokens_enc(enc, table) : ordinary_enc(enc.table(), table))) {
    text = join_ordinary(header.get(), table, static_cast<char>(delimiter_char), fp_bytes,
                         ck_bytes, key_bytes);
  } else {
    Buffer transformed = allocate_buffer(n);
    if (!transformed) return {};
    core::transform_forward(fp_bytes, key_bytes, 0, transformed.get());
    core::transform_forward(ck_bytes, key_bytes, fp_bytes.size(),
                            transformed.get() + fp_bytes.size());
    PyObject* enc_table = enc.table();
    if (!enc_table) return {};
    text = join_general(header.get(), delimiter.get(), enc_table,
                        core::ByteSpan(transformed.get(), n));
  }
  if (text && !is_declared(text.get(), &PyUnicode_Type)) {
    raise_expected_type("str", text.get());
    return {};
  }
  return text;
}

}  // namespace

PyObject* encode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kEncodeBytesSignature, args, nargs, kwnames, bound)) return nullptr;
  return encode_bytes(bound[0], bound[1]).release();
}

}  // namespace velkorenc::py
