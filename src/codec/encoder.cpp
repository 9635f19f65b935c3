#include <algorithm>
#include <cstring>

#include "velkorenc/args.hpp"
#include "velkorenc/codec.hpp"
#include "velkorenc/core/platform/memory.hpp"
#include "velkorenc/core/platform/workers.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/core/zlib/zlib.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/gil.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

bool flag_value(PyObject* name, int& out) {
  Ref flag = lookup_global(name);
  return flag && int_value(flag.get(), out);
}

// Fills `table` when `enc` maps exactly the ints 0..255 to eight-character
// ASCII strs, the shape generate_table gives.
bool ordinary_enc(PyObject* enc, core::EncodeTable& table) {
  if (!PyDict_CheckExact(enc) || PyDict_GET_SIZE(enc) != 256) return false;
  Py_ssize_t pos = 0;
  PyObject* value;
  PyObject* token;
  while (PyDict_Next(enc, &pos, &value, &token)) {
    if (!PyLong_CheckExact(value) || !is_ascii_word(token)) return false;
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
  if (const core::AlphabetPositions* position = enc.positions()) {
    table.set_alphabet(*position);
    return true;
  }
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

// The same text written straight from the key's token words.  `ahead`, a
// text made before the compression decision, is taken when it has the
// length needed; its writers map it in as they go.
Ref join_ordinary(PyObject* header, const core::EncodeTable& table, char delimiter,
                  std::span<const core::ByteSpan> frame, std::size_t n, core::ByteSpan key,
                  Ref ahead) {
  const bool header_in_place = PyUnicode_CheckExact(header) && PyUnicode_IS_ASCII(header);
  const Py_ssize_t header_length = header_in_place ? PyUnicode_GET_LENGTH(header) : 0;
  const std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX - header_length);
  if (n > limit / (core::kTokenLength + 1)) {
    PyErr_NoMemory();
    return {};
  }
  const auto length = static_cast<Py_ssize_t>(core::joined_length(n));
  const bool taken_ahead = ahead && PyUnicode_GET_LENGTH(ahead.get()) == header_length + length;
  Ref text = taken_ahead ? std::move(ahead) : Ref();
  ahead.reset();  // not of use: gone before the text is made
  if (!text) text.reset(PyUnicode_New(header_length + length, 127));
  if (!text) return {};
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
  if (header_in_place) std::memcpy(out, PyUnicode_1BYTE_DATA(header), header_length);
  {
    // The text is this call's own until it is returned.
    GilRelease gil(n >= kReleaseGil);
    const core::WorkerLease lease(core::threads_wanted(n));
    const auto size = static_cast<std::size_t>(header_length + length);
    const bool written = (taken_ahead || core::prepare_for_writing(out, size, gil)) &&
                         core::write_frame_text(table, frame, key, delimiter,
                                                out + header_length, gil, lease.count());
    if (!written && gil.interrupted()) return {};
  }
  if (header_in_place) return text;
  return Ref(PyNumber_Add(header, text.get()));
}

// What zlib.compress(data, level=6) gave.  While that function is the
// interpreter's own and `data` is bytes, the stream is made here instead of
// by a call: into `stream`, or, for large data that looks incompressible,
// into the last bytes of `text_ahead`, the text that the stored frame will
// need.
struct Compressed {
  Ref object;  // the result of the call
  Buffer stream;
  Ref text_ahead;
  const std::uint8_t* stream_bytes = nullptr;
  std::size_t stream_length = 0;
  bool direct = false;
};

// Data at least this large that looks incompressible gets its text ahead.
constexpr std::size_t kTextAhead = std::size_t{1} << 20;

// The text of the frame that stores `size` bytes, with room for the module's
// own HEADER in front; false, with no error, when it cannot be had (the text
// is made later, as usual).
bool make_text_ahead(std::size_t size, Compressed& out) {
  const auto header_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(g.names.header_text));
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX) / (core::kTokenLength + 1) - 16) {
    return false;
  }
  const std::size_t length = header_length + core::joined_length(size + 5);
  out.text_ahead.reset(PyUnicode_New(static_cast<Py_ssize_t>(length), 127));
  if (!out.text_ahead) PyErr_Clear();
  return static_cast<bool>(out.text_ahead);
}

// No zlib stream is shorter than 8 bytes, or than 9 for any data at all (two
// bytes of header, a block of at least one literal, four of checksum), so
// data this short is stored whatever its stream would be.
constexpr std::size_t kNeverShorter = 9;

bool compress_directly(core::ByteSpan data, Compressed& out) {
  if (data.size() <= kNeverShorter) return true;
  const std::size_t bound = core::Deflater::bound(data.size());
  std::uint8_t* room;
  std::uint8_t* text = nullptr;
  std::size_t text_length = 0;
  bool ahead;
  {
    GilRelease gil(data.size() >= kReleaseGil);
    ahead = data.size() >= kTextAhead && core::samples_do_not_compress(data);
  }
  if (ahead && make_text_ahead(data.size(), out)) {
    // The stored frame's text is longer than the stream can be.
    text = PyUnicode_1BYTE_DATA(out.text_ahead.get());
    text_length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(out.text_ahead.get()));
    room = text + (text_length - bound);
  } else {
    out.stream = allocate_buffer(bound, false);
    if (!out.stream) return false;
    room = out.stream.get();
    core::prepare_for_appending(room, bound);
  }
  core::StoredLaterSink sink({room, bound});
  // A large stream is made on the threads the lease gives, the same stream.
  const core::WorkerLease lease(core::threads_wanted(data.size()));
  core::Deflater deflater(lease.count());
  deflater.borrow(data);  // the caller's bytes object holds it, unchanged
  {
    GilRelease gil(data.size() >= kReleaseGil);
    // The stream's own buffer is not mapped in beforehand, beyond its first
    // small pages: the stream of data that compresses fills a fraction of
    // it, a huge page at a time.  Until the frame is written, the text holds
    // the deflate's tables and input at its start (no memory beyond the
    // text) and the stream at its end; the rest is mapped in meanwhile on a
    // thread of its own, page by page (mapping it in one go would hold the
    // process's memory map, and with it the deflate's threads and their
    // checks for signals).
    core::BackgroundMapping mapping;
    if (text) {
      const std::size_t lent = std::min(text_length - bound, deflater.lendable());
      core::prepare_for_writers(text, text_length);
      deflater.lend({text, lent});
      mapping.start(text + lent, text_length - bound - lent);
    }
    // The stream does not depend on how the input is cut into pieces.
    for (std::size_t at = 0;; at += core::kDeflatePiece) {
      const core::ByteSpan piece = data.subspan(at, std::min(core::kDeflatePiece,
                                                             data.size() - at));
      const bool last = at + piece.size() == data.size();
      if (!deflater.feed(piece, last, sink) || last || !gil.resume()) break;
    }
    mapping.finish(gil.interrupted());
    if (gil.interrupted()) return false;
  }
  if (deflater.failure().kind == core::ZlibFailure::Kind::out_of_memory) {
    raise_zlib_memory("while compressing data");
    return false;
  }
  if (deflater.failure()) return false;
  // The stored blocks' bytes are written in only for a stream that is kept,
  // one shorter than the data.
  if (sink.filled() < data.size()) sink.fill(data);
  out.stream_bytes = room;
  out.stream_length = sink.filled();
  return true;
}

bool compress(PyObject* data, Compressed& out) {
  Ref function = zlib_function(g.names.compress, g.zlib_compress, out.direct);
  if (!function) return false;
  if (out.direct && PyBytes_CheckExact(data)) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(data));
    if (compress_directly({bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(data))}, out)) {
      return true;
    }
    if (PyErr_Occurred()) return false;
    // The library refused in a way the interpreter's function would not: let
    // that function do it.
    out.stream.reset();
    out.text_ahead.reset();
  }
  out.direct = false;
  PyObject* call[] = {data, g.int6};
  out.object.reset(PyObject_Vectorcall(function.get(), call, 1, g.level_kwnames));
  return static_cast<bool>(out.object);
}

core::ByteSpan bytes_of(PyObject* bytes) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bytes)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

Ref encode_bytes(PyObject* data, PyObject* key) {
  Compressed comp;
  if (!compress(data, comp)) return {};

  // Keep the compressed form only when it is strictly shorter.  Off the
  // direct path, `data` may still be None (a compress of the caller's took
  // it): len() is asked of the result first, then of the data, and raises.
  Py_ssize_t comp_length;
  Py_ssize_t data_length;
  if (comp.direct) {
    data_length = PyBytes_GET_SIZE(data);
    comp_length = comp.stream_bytes ? static_cast<Py_ssize_t>(comp.stream_length) : data_length;
  } else {
    comp_length = PyObject_Size(comp.object.get());
    if (comp_length < 0) return {};
    data_length = PyObject_Size(data);
    if (data_length < 0) return {};
  }
  int flag;
  core::ByteSpan payload;
  if (comp_length < data_length) {
    if (!flag_value(g.names._COMPRESSED, flag)) return {};
    if (comp.direct && comp.text_ahead) {
      // The data compressed after all: the stream moves out of the text,
      // which is too long now.
      comp.stream = allocate_buffer(comp.stream_length);
      if (!comp.stream) return {};
      std::memcpy(comp.stream.get(), comp.stream_bytes, comp.stream_length);
      comp.text_ahead.reset();
      payload = {comp.stream.get(), comp.stream_length};
    } else if (comp.direct) {
      payload = {comp.stream_bytes, comp.stream_length};
    } else if (!is_declared(comp.object.get(), &PyBytes_Type)) {
      raise_expected_type("bytes", comp.object.get());
      return {};
    } else {
      payload = bytes_of(comp.object.get());
    }
  } else {
    if (!flag_value(g.names._UNCOMPRESSED, flag)) return {};
    payload = bytes_of(data);
    // A stored frame does not need the compressed copy.
    comp.object.reset();
    comp.stream.reset();
  }
  if (flag < 0 || flag > 255) {
    raise_bytes_range();
    return {};
  }

  const std::uint8_t flag_byte[1] = {static_cast<std::uint8_t>(flag)};
  std::uint32_t crc;
  if (!frame_crc32(flag_byte, payload, crc)) return {};
  const std::uint8_t ck[4] = {static_cast<std::uint8_t>(crc >> 24),
                              static_cast<std::uint8_t>(crc >> 16),
                              static_cast<std::uint8_t>(crc >> 8),
                              static_cast<std::uint8_t>(crc)};
  const core::ByteSpan frame[] = {flag_byte, payload, ck};
  const std::size_t n = 1 + payload.size() + sizeof ck;

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
    text = join_ordinary(header.get(), table, static_cast<char>(delimiter_char), frame, n,
                         key_bytes, std::move(comp.text_ahead));
  } else {
    comp.text_ahead.reset();
    Buffer transformed = allocate_buffer(n);
    if (!transformed) return {};
    std::size_t position = 0;
    for (core::ByteSpan part : frame) {
      core::transform_forward(part, key_bytes, position, transformed.get() + position);
      position += part.size();
    }
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

bool text_plan(PyObject* key, bool compressed, core::TextPlan& plan, Ref& header, bool& native) {
  native = false;
  Ref flag_object = lookup_global(compressed ? g.names._COMPRESSED : g.names._UNCOMPRESSED);
  if (!flag_object) return false;
  // Only an int is read here: another object's __index__ would run once now
  // and again on the whole-file path that the caller then takes.
  if (!PyLong_CheckExact(flag_object.get())) return true;
  int flag;
  if (!int_value(flag_object.get(), flag)) return false;
  if (flag < 0 || flag > 255) return true;
  plan.compressed_flag = plan.stored_flag = static_cast<std::uint8_t>(flag);
  bool direct;
  if (!zlib_function(g.names.crc32, g.zlib_crc32, direct)) return false;
  if (!direct) return true;
  if (!transform_key(key, 1, plan.key)) return false;
  KeyTable enc;
  if (!enc.fetch(key, 0)) return false;
  bool marks_native;
  if (!native_marks(header, plan.header, plan.delimiter, marks_native)) return false;
  if (!marks_native) return true;
  if (enc.has_tokens()) {
    native = tokens_enc(enc, plan.table);
  } else if (is_declared(enc.table(), &PyDict_Type)) {
    native = ordinary_enc(enc.table(), plan.table);
  }
  return true;
}

PyObject* encode_bytes_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  PyObject* bound[kMaxParams];
  if (!bind_arguments(kEncodeBytesSignature, args, nargs, kwnames, bound)) return nullptr;
  return encode_bytes(bound[0], bound[1]).release();
}

}  // namespace velkorenc::py
