#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/core/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// Fills `table` when `dec` maps eight-character ASCII strs to the ints
// 0..255, the shape generate_table gives.
bool ordinary_dec(PyObject* dec, core::DecodeTable& table) {
  if (!PyDict_CheckExact(dec)) return false;
  Py_ssize_t pos = 0;
  PyObject* token;
  PyObject* value;
  while (PyDict_Next(dec, &pos, &token, &value)) {
    if (!PyUnicode_CheckExact(token) || !PyUnicode_IS_ASCII(token) ||
        PyUnicode_GET_LENGTH(token) != core::kTokenLength || !PyLong_CheckExact(value)) {
      return false;
    }
    int overflow;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (overflow || v < 0 || v > 255) return false;
    char letters[core::kTokenLength];
    std::memcpy(letters, PyUnicode_1BYTE_DATA(token), core::kTokenLength);
    if (!table.add(letters, static_cast<std::uint8_t>(v))) return false;
  }
  return true;
}

// The same from the shuffled token list: dec[token v] is v, the last wins.
bool tokens_dec(const KeyTable& dec, core::DecodeTable& table) {
  if (const core::AlphabetOrder* order = dec.order()) {
    table.set_alphabet(*order);
    return true;
  }
  for (int v = 0; v < 256; ++v) {
    char letters[core::kTokenLength];
    std::memcpy(letters, dec.token(v), core::kTokenLength);
    if (!table.add(letters, static_cast<std::uint8_t>(v))) return false;
  }
  return true;
}

// The bytes of a body of code units of width `Char`, read in one pass.
template <class Char>
core::ReadResult read_body(const core::DecodeTable& table, PyObject* encoded,
                           Py_ssize_t start, std::uint32_t delimiter, std::uint8_t* out) {
  const Char* units = static_cast<const Char*>(PyUnicode_DATA(encoded)) + start;
  const auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(encoded) - start);
  return core::read_tokens(table, std::span<const Char>(units, size), delimiter, out);
}

// Reads the body from `start` with the ordinary table; false with an error
// set when a piece is not a token.
bool read_ordinary(const core::DecodeTable& table, PyObject* encoded, Py_ssize_t start,
                   std::uint32_t delimiter, Buffer& raw, std::size_t& n) {
  const auto body_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(encoded) - start);
  raw = allocate_buffer(core::max_tokens(body_length));
  if (!raw) return false;
  core::ReadResult result;
  switch (PyUnicode_KIND(encoded)) {
    case PyUnicode_1BYTE_KIND:
      result = read_body<Py_UCS1>(table, encoded, start, delimiter, raw.get());
      break;
    case PyUnicode_2BYTE_KIND:
      result = read_body<Py_UCS2>(table, encoded, start, delimiter, raw.get());
      break;
    default:
      result = read_body<Py_UCS4>(table, encoded, start, delimiter, raw.get());
      break;
  }
  if (!result.ok) {
    Ref piece(PyUnicode_Substring(encoded, start + static_cast<Py_ssize_t>(result.bad_begin),
                                  start + static_cast<Py_ssize_t>(result.bad_end)));
    if (piece) raise_unrecognized_token(piece.get());
    return false;
  }
  n = result.count;
  return true;
}

// A dec value appended to a bytearray: an integer 0..255.
bool byte_value(PyObject* value, std::uint8_t& out) {
  int overflow;
  const long v = PyLong_AsLongAndOverflow(value, &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow || v < 0 || v > 255) {
    raise_byte_range();
    return false;
  }
  out = static_cast<std::uint8_t>(v);
  return true;
}

// Doubles a working buffer, keeping its bytes.
bool grow(Buffer& buffer, std::size_t& capacity) {
  const std::size_t wanted = capacity < 8 ? 16 : capacity * 2;
  void* grown = wanted <= static_cast<std::size_t>(PY_SSIZE_T_MAX)
                    ? PyMem_Realloc(buffer.get(), wanted)
                    : nullptr;
  if (!grown) {
    PyErr_NoMemory();
    return false;
  }
  static_cast<void>(buffer.release());
  buffer.reset(static_cast<std::uint8_t*>(grown));
  capacity = wanted;
  return true;
}

// for piece in token_list: decoded.append(dec[piece]), each piece tested
// with `in` first.  `dec` may run code that changes the list: it is walked
// as a for loop walks it, and each piece is held while it is looked up.
bool read_general(PyObject* token_list, PyObject* dec, Buffer& raw, std::size_t& n) {
  Ref pieces(PyObject_GetIter(token_list));
  if (!pieces) return false;
  std::size_t capacity =
      PyList_CheckExact(token_list) ? static_cast<std::size_t>(PyList_GET_SIZE(token_list)) : 0;
  raw = allocate_buffer(capacity);
  if (!raw) return false;
  n = 0;
  for (;;) {
    Ref piece(PyIter_Next(pieces.get()));
    if (!piece) return !PyErr_Occurred();
    const int known = PySequence_Contains(dec, piece.get());
    if (known < 0) return false;
    if (!known) {
      raise_unrecognized_token(piece.get());
      return false;
    }
    Ref value(PyObject_GetItem(dec, piece.get()));
    std::uint8_t byte;
    if (!value || !byte_value(value.get(), byte)) return false;
    if (n == capacity && !grow(raw, capacity)) return false;
    raw[n++] = byte;
  }
}

struct FrameParts {
  Ref fp_object;  // holds fp when the split made it a bytes object
  core::ByteSpan fp;
  std::uint32_t got;
};

// Length test and split of the frame when CHECKSUM_SIZE is a plain int.
bool split_plain(PyObject* checksum_size, const std::uint8_t* raw, std::size_t n,
                 FrameParts& parts) {
  int overflow;
  const long long size = PyLong_AsLongLongAndOverflow(checksum_size, &overflow);
  // n < size + 1, without forming size + 1.
  const bool too_short = overflow > 0 || (overflow == 0 && size >= static_cast<long long>(n));
  if (too_short) {
    raise_too_short();
    return false;
  }
  if (overflow < 0 || size < 4) {
    raise_checksum_size();
    return false;
  }
  const std::size_t fp_length = n - static_cast<std::size_t>(size);
  parts.fp = core::ByteSpan(raw, fp_length);
  const std::uint8_t* ck = raw + fp_length;
  parts.got = (std::uint32_t{ck[0]} << 24) | (std::uint32_t{ck[1]} << 16) |
              (std::uint32_t{ck[2]} << 8) | ck[3];
  return true;
}

// The same with Python's operators, for any other CHECKSUM_SIZE.
bool split_general(PyObject* checksum_size, const std::uint8_t* raw, std::size_t n,
                   FrameParts& parts) {
  Ref frame(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw),
                                      static_cast<Py_ssize_t>(n)));
  Ref length = frame ? Ref(PyLong_FromSize_t(n)) : Ref();
  Ref minimum = length ? Ref(PyNumber_Add(checksum_size, g.int1)) : Ref();
  if (!minimum) return false;
  int verdict = PyObject_RichCompareBool(length.get(), minimum.get(), Py_LT);
  if (verdict < 0) return false;
  if (verdict) {
    raise_too_short();
    return false;
  }
  verdict = PyObject_RichCompareBool(checksum_size, g.int4, Py_LT);
  if (verdict < 0) return false;
  if (verdict) {
    raise_checksum_size();
    return false;
  }
  Ref negated(PyNumber_Negative(checksum_size));
  if (!negated) return false;
  Ref ck_slice(PySlice_New(negated.get(), nullptr, nullptr));
  Ref fp_slice = ck_slice ? Ref(PySlice_New(nullptr, negated.get(), nullptr)) : Ref();
  Ref ck = fp_slice ? Ref(PyObject_GetItem(frame.get(), ck_slice.get())) : Ref();
  parts.fp_object.reset(ck ? PyObject_GetItem(frame.get(), fp_slice.get()) : nullptr);
  if (!parts.fp_object) return false;
  parts.fp = core::ByteSpan(
      reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(parts.fp_object.get())),
      static_cast<std::size_t>(PyBytes_GET_SIZE(parts.fp_object.get())));
  // Never read past the checksum bytes that are really there.
  if (PyBytes_GET_SIZE(ck.get()) < 4) {
    raise_checksum_size();
    return false;
  }
  const auto* c = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(ck.get()));
  parts.got = (std::uint32_t{c[0]} << 24) | (std::uint32_t{c[1]} << 16) |
              (std::uint32_t{c[2]} << 8) | c[3];
  return true;
}

// From the transformed bytes to the result: inverse transform, length,
// checksum, flag.
Ref finish(Buffer raw, std::size_t n, PyObject* key) {
  core::ByteSpan key_bytes;
  if (!transform_key(key, n, key_bytes)) return {};
  core::transform_inverse(core::ByteSpan(raw.get(), n), key_bytes, 0, raw.get());

  Ref checksum_size = lookup_global(g.names.CHECKSUM_SIZE);
  if (!checksum_size) return {};
  FrameParts parts;
  const bool split = PyLong_CheckExact(checksum_size.get())
                         ? split_plain(checksum_size.get(), raw.get(), n, parts)
                         : split_general(checksum_size.get(), raw.get(), n, parts);
  if (!split) return {};

  std::uint32_t expected;
  if (!frame_crc32(parts.fp, {}, expected)) return {};
  if (expected != parts.got) {
    raise_crc_mismatch(expected, parts.got);
    return {};
  }
  if (parts.fp.empty()) {
    raise_bytes_index();
    return {};
  }
  const std::uint8_t flag = parts.fp[0];
  const core::ByteSpan payload = parts.fp.subspan(1);

  Ref compressed_flag = lookup_global(g.names._COMPRESSED);
  if (!compressed_flag) return {};
  int compressed;
  if (PyLong_CheckExact(compressed_flag.get())) {
    int overflow;
    const long v = PyLong_AsLongAndOverflow(compressed_flag.get(), &overflow);
    compressed = !overflow && v == flag;
  } else {
    Ref flag_object(PyLong_FromLong(flag));
    if (!flag_object) return {};
    compressed = PyObject_RichCompareBool(flag_object.get(), compressed_flag.get(), Py_EQ);
    if (compressed < 0) return {};
  }
  if (!compressed) return bytes_copy(payload.data(), payload.size());

  bool direct;
  Ref decompress = zlib_function(g.names.decompress, g.zlib_decompress, direct);
  if (!decompress) return {};
  if (direct) return decompress_directly(payload);
  Ref payload_object = bytes_copy(payload.data(), payload.size());
  if (!payload_object) return {};
  Ref data(PyObject_CallOneArg(decompress.get(), payload_object.get()));
  if (data && !is_declared(data.get(), &PyBytes_Type)) {
    raise_expected_type("bytes", data.get());
    return {};
  }
  return data;
}

// encoded[start:].split(delimiter)
Ref split_body(PyObject* encoded, Py_ssize_t start, PyObject* delimiter) {
  Ref body(PyUnicode_Substring(encoded, start, PyUnicode_GET_LENGTH(encoded)));
  if (!body) return {};
  return Ref(PyObject_CallMethodOneArg(body.get(), g.names.split, delimiter));
}

Ref decode_bytes(PyObject* encoded, PyObject* key) {
  if (encoded == Py_None) {
    raise_none_attribute("startswith");
    return {};
  }
  Ref header = lookup_global(g.names.HEADER);
  if (!header) return {};
  int has_header;
  if (PyUnicode_Check(header.get())) {
    has_header = static_cast<int>(
        PyUnicode_Tailmatch(encoded, header.get(), 0, PY_SSIZE_T_MAX, -1));
  } else {
    Ref verdict(PyObject_CallMethodOneArg(encoded, g.names.startswith, header.get()));
    has_header = verdict ? PyObject_IsTrue(verdict.get()) : -1;
  }
  if (has_header < 0) return {};
  if (!has_header) {
    raise_missing_header(header.get());
    return {};
  }
  const Py_ssize_t header_length = PyObject_Size(header.get());
  if (header_length < 0) return {};
  const Py_ssize_t text_length = PyUnicode_GET_LENGTH(encoded);
  const Py_ssize_t start = header_length < text_length ? header_length : text_length;
  if (start == text_length) {
    raise_no_data();
    return {};
  }

  Ref delimiter = lookup_global(g.names.DELIMITER);
  if (!delimiter) return {};
  std::uint32_t delimiter_char;
  const bool plain_delimiter = single_char(delimiter.get(), delimiter_char);
  Ref token_list;
  if (!plain_delimiter && !(token_list = split_body(encoded, start, delimiter.get()))) return {};

  KeyTable dec;
  if (!dec.fetch(key, 1)) return {};
  Buffer raw;
  std::size_t n = 0;
  core::DecodeTable table;
  if (plain_delimiter &&
      (dec.has_tokens() ? tokens_dec(dec, table) : ordinary_dec(dec.table(), table))) {
    if (!read_ordinary(table, encoded, start, delimiter_char, raw, n)) return {};
  } else {
    if (!token_list && !(token_list = split_body(encoded, start, delimiter.get()))) return {};
    PyObject* dec_table = dec.table();
    if (!dec_table || !read_general(token_list.get(), dec_table, raw, n)) return {};
  }
  return finish(std::move(raw), n, key);
}

}  // namespace

bool read_plan(PyObject* key, core::ReadPlan& plan, Ref& header, bool& native) {
  native = false;
  header = lookup_global(g.names.HEADER);
  if (!header) return false;
  Ref delimiter = lookup_global(g.names.DELIMITER);
  if (!delimiter) return false;
  std::uint32_t delimiter_char;
  if (!PyUnicode_CheckExact(header.get()) || !single_char(delimiter.get(), delimiter_char) ||
      delimiter_char >= 0x80 || delimiter_char == '\r' || delimiter_char == '\n') {
    return true;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(header.get(), &size);
  if (!utf8) {
    PyErr_Clear();
    return true;
  }
  // A text read in text mode has no carriage return, so its header cannot.
  if (std::memchr(utf8, '\r', static_cast<std::size_t>(size)) ||
      std::memchr(utf8, '\n', static_cast<std::size_t>(size))) {
    return true;
  }
  plan.header = {reinterpret_cast<const std::uint8_t*>(utf8), static_cast<std::size_t>(size)};
  plan.delimiter = static_cast<char>(delimiter_char);
  KeyTable dec;
  if (!dec.fetch(key, 1)) return false;
  if (dec.has_tokens()) {
    if (!tokens_dec(dec, plan.table)) return true;
  } else {
    PyObject* table = dec.table();
    if (!table) return false;
    if (!ordinary_dec(table, plan.table)) return true;
  }
  if (!transform_key(key, 1, plan.key)) return false;
  Ref checksum_size = lookup_global(g.names.CHECKSUM_SIZE);
  if (!checksum_size) return false;
  int overflow;
  if (!PyLong_CheckExact(checksum_size.get()) ||
      PyLong_AsLongAndOverflow(checksum_size.get(), &overflow) != 4 || overflow) {
    return true;
  }
  Ref compressed_flag = lookup_global(g.names._COMPRESSED);
  if (!compressed_flag) return false;
  if (!PyLong_CheckExact(compressed_flag.get())) return true;
  const long v = PyLong_AsLongAndOverflow(compressed_flag.get(), &overflow);
  plan.compressed_flag = !overflow && v >= 0 && v <= 255 ? static_cast<int>(v) : -1;
  bool crc_direct;
  bool decompress_direct;
  if (!zlib_function(g.names.crc32, g.zlib_crc32, crc_direct) ||
      !zlib_function(g.names.decompress, g.zlib_decompress, decompress_direct)) {
    return false;
  }
  native = crc_direct && decompress_direct;
  return true;
}

PyObject* decode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kDecodeBytesSignature, args, nargs, kwnames, bound)) return nullptr;
  return decode_bytes(bound[0], bound[1]).release();
}

}  // namespace velkorenc::py
