#include <algorithm>
#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/core/stream/frame.hpp"
#include "velkorenc/core/platform/memory.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/gil.hpp"
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
    if (!is_ascii_word(token) || !PyLong_CheckExact(value)) return false;
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
  if (const core::AlphabetPositions* position = dec.positions()) {
    table.set_alphabet(*position);
    return true;
  }
  for (int v = 0; v < 256; ++v) {
    char letters[core::kTokenLength];
    std::memcpy(letters, dec.token(v), core::kTokenLength);
    if (!table.add(letters, static_cast<std::uint8_t>(v))) return false;
  }
  return true;
}

// The transformed frame that the tokens stand for.  Byte 0 is *head and
// bytes 1 to n - 1 are at `rest`: in the memory of `rest_bytes` when the
// ordinary reader wrote them there (a bytes object, to become the result of
// a stored frame with no copy), otherwise in `raw` after byte 0.
struct ReadFrame {
  ReadFrame() = default;
  ReadFrame(const ReadFrame&) = delete;
  ReadFrame& operator=(const ReadFrame&) = delete;

  std::size_t n = 0;
  std::uint8_t first = 0;  // byte 0 when it was read apart from the rest
  std::uint8_t* head = &first;
  std::uint8_t* rest = nullptr;
  Ref rest_bytes;
  Buffer raw;
  // What the ordinary reader could do while the bytes went past: the inverse
  // transform, and with it the CRC-32 of all bytes but the last four.
  bool inverted = false;
  bool crc_known = false;
  std::uint32_t crc = 0;
};

// The key's bytes when they can be had before the transform step, without
// an error and without a side effect: the key is an ASCII str, non-empty.
core::ByteSpan early_key_bytes(PyObject* key) {
  if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key) ||
      PyUnicode_GET_LENGTH(key) == 0) {
    return {};
  }
  return {PyUnicode_1BYTE_DATA(key), static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))};
}

// The characters of a str, taken while the GIL is held, to be read without it.
struct Characters {
  explicit Characters(PyObject* text) noexcept
      : kind(PyUnicode_KIND(text)), data(PyUnicode_DATA(text)) {}
  int kind;
  const void* data;
};

// The tokens of body[from, to), where the body starts at `start`, read run
// by run into `out` on `threads` threads, each run undone by `inverse` when
// there is one; positions of a bad piece are made body positions.
template <class Char>
core::ReadResult read_span(const core::DecodeTable& table, const void* data, Py_ssize_t start,
                           Py_ssize_t from, Py_ssize_t to, std::uint32_t delimiter,
                           std::uint8_t* out, core::InversePass* inverse,
                           core::Checkpoint& checkpoint, unsigned threads,
                           core::OrderedMapping* mapping) {
  const Char* units = static_cast<const Char*>(data) + from;
  const auto size = static_cast<std::size_t>(to - from);
  core::ReadResult r = core::read_frame_body(table, std::span<const Char>(units, size), delimiter,
                                             out, inverse, checkpoint, threads, mapping);
  r.bad_begin += static_cast<std::size_t>(from - start);
  r.bad_end += static_cast<std::size_t>(from - start);
  return r;
}

core::ReadResult read_span(const core::DecodeTable& table, Characters text, Py_ssize_t start,
                           Py_ssize_t from, Py_ssize_t to, std::uint32_t delimiter,
                           std::uint8_t* out, core::InversePass* inverse,
                           core::Checkpoint& checkpoint, unsigned threads,
                           core::OrderedMapping* mapping = nullptr) {
  switch (text.kind) {
    case PyUnicode_1BYTE_KIND:
      return read_span<Py_UCS1>(table, text.data, start, from, to, delimiter, out, inverse,
                                checkpoint, threads, mapping);
    case PyUnicode_2BYTE_KIND:
      return read_span<Py_UCS2>(table, text.data, start, from, to, delimiter, out, inverse,
                                checkpoint, threads, mapping);
    default:
      return read_span<Py_UCS4>(table, text.data, start, from, to, delimiter, out, inverse,
                                checkpoint, threads, mapping);
  }
}

bool raise_bad_piece(PyObject* encoded, Py_ssize_t start, const core::ReadResult& r) {
  Ref piece(PyUnicode_Substring(encoded, start + static_cast<Py_ssize_t>(r.bad_begin),
                                start + static_cast<Py_ssize_t>(r.bad_end)));
  if (piece) raise_unrecognized_token(piece.get());
  return false;
}

// Byte 0 of the frame, from the body's first piece: a token only when the
// first delimiter follows its eight characters, so only a bad piece is
// searched to its end.  The end of the piece, or -1 with an error set.
Py_ssize_t read_first_piece(const core::DecodeTable& table, PyObject* encoded, Py_ssize_t start,
                            std::uint32_t delimiter, std::uint8_t& first) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(encoded);
  constexpr auto kToken = static_cast<Py_ssize_t>(core::kTokenLength);
  const auto ch = static_cast<Py_UCS4>(delimiter);
  const Py_ssize_t near = std::min(length, start + kToken + 1);
  Py_ssize_t end = PyUnicode_FindChar(encoded, ch, start, near, 1);
  if (end == -1 && near < length) end = PyUnicode_FindChar(encoded, ch, near, length, 1);
  if (end == -2) return -1;
  if (end == -1) end = length;
  core::NoCheckpoint always;
  if (end - start != kToken ||
      !read_span(table, Characters(encoded), start, start, end, delimiter, &first, nullptr,
                 always, 1)
           .ok) {
    raise_bad_piece(encoded, start, {false, 0, 0, static_cast<std::size_t>(end - start)});
    return -1;
  }
  return end;
}

// Reads the body from `start` with the ordinary table; false with an error
// set when a piece is not a token.  Byte 0 is read on its own, and bytes 1
// on straight into a bytes object: every token has eight characters, so
// the length of a valid body tells their number beforehand.  While the
// key's bytes are known, each run is transformed back and summed as soon as
// it is read.  Large bodies are read without the GIL, and the largest on
// as many threads as a lease gives.
bool read_ordinary(const core::DecodeTable& table, PyObject* encoded, Py_ssize_t start,
                   std::uint32_t delimiter, PyObject* key, ReadFrame& frame) {
  const Py_ssize_t first_end = read_first_piece(table, encoded, start, delimiter, frame.first);
  if (first_end < 0) return false;
  frame.n = 1;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(encoded);
  if (first_end == length) return true;

  const Py_ssize_t rest_start = first_end + 1;
  const auto rest_length = static_cast<std::size_t>(length - rest_start);
  const auto capacity = static_cast<std::size_t>(core::max_tokens(rest_length));
  frame.rest_bytes.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity)));
  if (!frame.rest_bytes) return false;
  frame.rest = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(frame.rest_bytes.get()));

  const std::size_t full_n = 1 + capacity;
  const core::ByteSpan key_bytes = early_key_bytes(key);
  frame.inverted = !key_bytes.empty();
  const Characters characters(encoded);
  core::ReadResult r{};
  {
    GilRelease gil(rest_length >= kReleaseGil);
    const core::WorkerLease lease(
        core::threads_wanted(rest_length * static_cast<std::size_t>(characters.kind)));
    core::InversePass inverse(key_bytes, full_n > 4 ? full_n - 4 : 0, gil);
    if (frame.inverted) inverse.take(&frame.first, 1);
    // Mapped in before it is read into, by this thread, in order, while the
    // other readers read into what is mapped: page faults taken by several
    // threads at once cost more than the same faults taken in one go, and
    // hold up the other threads.
    core::OrderedMapping mapping(frame.rest, capacity);
    r = read_span(table, characters, start, rest_start, length, delimiter, frame.rest,
                  frame.inverted ? &inverse : nullptr, gil, lease.count(), &mapping);
    if (gil.interrupted()) return false;
    frame.crc = inverse.crc();
  }
  if (!r.ok) return raise_bad_piece(encoded, start, r);
  frame.n = 1 + r.count;
  frame.crc_known = frame.inverted && frame.n == full_n && full_n > 4;
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

// Where the checksum splits the frame: fp is its first fp_length bytes.
struct FrameParts {
  std::size_t fp_length;
  std::uint32_t got;
};

std::uint32_t big_endian(const std::uint8_t (&ck)[4]) {
  return (std::uint32_t{ck[0]} << 24) | (std::uint32_t{ck[1]} << 16) |
         (std::uint32_t{ck[2]} << 8) | ck[3];
}

// Length test and split of the frame when CHECKSUM_SIZE is a plain int.
bool split_plain(PyObject* checksum_size, const ReadFrame& frame, FrameParts& parts) {
  const std::size_t n = frame.n;
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
  parts.fp_length = n - static_cast<std::size_t>(size);
  // fp has at least one byte, so the checksum lies in the rest.
  std::uint8_t ck[4];
  std::memcpy(ck, frame.rest + (parts.fp_length - 1), sizeof ck);
  parts.got = big_endian(ck);
  return true;
}

// The same with Python's operators, for any other CHECKSUM_SIZE.
bool split_general(PyObject* checksum_size, const ReadFrame& frame, FrameParts& parts) {
  const std::size_t n = frame.n;
  Ref whole(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
  if (!whole) return false;
  if (n != 0) {
    char* bytes = PyBytes_AS_STRING(whole.get());
    bytes[0] = static_cast<char>(*frame.head);
    if (n > 1) std::memcpy(bytes + 1, frame.rest, n - 1);
  }
  Ref length(PyLong_FromSize_t(n));
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
  Ref ck = fp_slice ? Ref(PyObject_GetItem(whole.get(), ck_slice.get())) : Ref();
  Ref fp = ck ? Ref(PyObject_GetItem(whole.get(), fp_slice.get())) : Ref();
  if (!fp) return false;
  // Slicing from the start gives a prefix of the frame.
  parts.fp_length = static_cast<std::size_t>(PyBytes_GET_SIZE(fp.get()));
  // Never read past the checksum bytes that are really there.
  if (PyBytes_GET_SIZE(ck.get()) < 4) {
    raise_checksum_size();
    return false;
  }
  std::uint8_t got[4];
  std::memcpy(got, PyBytes_AS_STRING(ck.get()), sizeof got);
  parts.got = big_endian(got);
  return true;
}

// The inverse transform of the bytes that were not done on the way, with
// the CRC-32 taken in the same pass.
bool invert(ReadFrame& frame, core::ByteSpan key_bytes) {
  const std::size_t n = frame.n;
  if (frame.inverted || n == 0) return true;
  GilRelease gil(n >= kReleaseGil);
  const core::WorkerLease lease(core::threads_wanted(n));
  core::InversePass inverse(key_bytes, n > 4 ? n - 4 : 0, gil);
  if (inverse.take(frame.head, 1)) {
    core::undo_frame_bytes(inverse, std::span<std::uint8_t>(frame.rest, n - 1), gil,
                           lease.count());
  }
  if (gil.interrupted()) return false;
  frame.inverted = true;
  frame.crc = inverse.crc();
  frame.crc_known = n > 4;
  return true;
}

// The first `length` bytes after byte 0 as a bytes object: the reader's
// own object cut to size when it has one.
Ref rest_as_bytes(ReadFrame& frame, std::size_t length) {
  if (!frame.rest_bytes) return bytes_copy(frame.rest, length);
  PyObject* bytes = frame.rest_bytes.release();
  frame.rest = nullptr;
  if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(length)) < 0) return {};
  return Ref(bytes);
}

// From the transformed bytes to the result: inverse transform, length,
// checksum, flag.
Ref finish(ReadFrame& frame, PyObject* key) {
  const std::size_t n = frame.n;
  core::ByteSpan key_bytes;
  if (!transform_key(key, n, key_bytes)) return {};
  if (!invert(frame, key_bytes)) return {};

  Ref checksum_size = lookup_global(g.names.CHECKSUM_SIZE);
  if (!checksum_size) return {};
  FrameParts parts;
  const bool split = PyLong_CheckExact(checksum_size.get())
                         ? split_plain(checksum_size.get(), frame, parts)
                         : split_general(checksum_size.get(), frame, parts);
  if (!split) return {};

  const std::size_t fp_length = parts.fp_length;
  const core::ByteSpan head(frame.head, fp_length != 0 ? 1 : 0);
  const core::ByteSpan payload(frame.rest, fp_length != 0 ? fp_length - 1 : 0);
  // The CRC taken on the way covers all bytes but the last four.
  const bool crc_known = frame.crc_known && fp_length + 4 == n;
  std::uint32_t expected;
  if (!frame_crc32(head, payload, expected, crc_known ? &frame.crc : nullptr)) return {};
  if (expected != parts.got) {
    raise_crc_mismatch(expected, parts.got);
    return {};
  }
  if (fp_length == 0) {
    raise_bytes_index();
    return {};
  }
  const std::uint8_t flag = *frame.head;

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
  if (!compressed) return rest_as_bytes(frame, payload.size());

  bool direct;
  Ref decompress = zlib_function(g.names.decompress, g.zlib_decompress, direct);
  if (!decompress) return {};
  if (direct) return decompress_directly(payload);
  Ref payload_object = rest_as_bytes(frame, payload.size());
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
  ReadFrame frame;
  core::DecodeTable table;
  if (plain_delimiter &&
      (dec.has_tokens() ? tokens_dec(dec, table) : ordinary_dec(dec.table(), table))) {
    if (!read_ordinary(table, encoded, start, delimiter_char, key, frame)) return {};
  } else {
    if (!token_list && !(token_list = split_body(encoded, start, delimiter.get()))) return {};
    PyObject* dec_table = dec.table();
    Buffer raw;
    std::size_t n = 0;
    if (!dec_table || !read_general(token_list.get(), dec_table, raw, n)) return {};
    frame.n = n;
    frame.raw = std::move(raw);
    frame.head = frame.raw.get();
    frame.rest = frame.raw.get() + 1;
  }
  return finish(frame, key);
}

}  // namespace

bool read_plan(PyObject* key, core::ReadPlan& plan, Ref& header, bool& native) {
  native = false;
  bool marks_native;
  if (!native_marks(header, plan.header, plan.delimiter, marks_native)) return false;
  if (!marks_native || plan.delimiter == '\r' || plan.delimiter == '\n') return true;
  // A text read in text mode has no carriage return, so its header cannot.
  const auto* header_chars = reinterpret_cast<const char*>(plan.header.data());
  if (std::memchr(header_chars, '\r', plan.header.size()) ||
      std::memchr(header_chars, '\n', plan.header.size())) {
    return true;
  }
  // Text-mode reading turns "\r\n" and "\r" into "\n", which the chunks,
  // read as bytes, do not: a token holding either character is left to the
  // whole-file path.
  KeyTable dec;
  if (!dec.fetch(key, 1)) return false;
  if (dec.has_tokens()) {
    for (int v = 0; v < 256; ++v) {
      if (std::memchr(dec.token(v), '\r', core::kTokenLength) ||
          std::memchr(dec.token(v), '\n', core::kTokenLength)) {
        return true;
      }
    }
    if (!tokens_dec(dec, plan.table)) return true;
  } else {
    PyObject* table = dec.table();
    if (!table) return false;
    if (!ordinary_dec(table, plan.table) || !plan.table.letters_only()) return true;
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
