// encode_file and decode_file in chunks, with memory bounded independently of
// the file size.  Taken only while every object the conversion stands for is
// the interpreter's or the module's own, so that no caller can tell it from
// reading the whole file, calling the codec and writing the whole result.
// An input written while it is read is converted again from its start, a
// few times, and then read whole: the result, or the failure, is that of one
// version of the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "velkorenc/codec.hpp"
#include "velkorenc/core/files/files.hpp"
#include "velkorenc/core/stream/stream.hpp"
#include "velkorenc/core/tokens/tokens.hpp"
#include "velkorenc/errors.hpp"
#include "velkorenc/frontend.hpp"
#include "velkorenc/gil.hpp"
#include "velkorenc/keying.hpp"
#include "velkorenc/native_random.hpp"
#include "velkorenc/state.hpp"

namespace velkorenc::py {
namespace {

// Up to this size, the UnicodeDecodeError of a text that is not UTF-8 holds
// the whole file as its object, as reading it whole would.
constexpr std::uint64_t kWholeErrorObject = std::uint64_t{64} << 20;
// Around the bad sequence of a larger file, the bytes kept in the object.
constexpr std::uint64_t kErrorWindow = std::uint64_t{64} << 10;
// Conversions in chunks of an input that changes under them, before it is
// read whole.
constexpr int kAttempts = 3;

// The namespace's value for `name`, borrowed, only if the namespace itself
// holds it.
PyObject* own_name(PyObject* ns, PyObject* name) {
  return PyDict_GetItem(ns, name);
}

// The random module imported at load, read without running code, whose
// Random nobody has replaced: then the key's table is the core generator's.
bool genuine_random(PyObject* ns) {
  PyObject* random = own_name(ns, g.names.random);
  if (!random || random != g.random || !PyModule_CheckExact(random)) return false;
  PyObject* names = PyModule_GetDict(random);
  if (!all_keys_exact_str(names)) return false;
  PyObject* cls = PyDict_GetItem(names, g.names.Random);
  return cls && is_genuine_random(cls);
}

// The zlib module imported at load, over the library linked here, with its
// own compress, crc32 and decompress, all read without running code: then
// the conversions may call the library in their place.  Checked before any
// work, so that a replaced zlib is only ever reached by the whole-file path,
// with its lookups made once.
bool genuine_zlib(PyObject* ns) {
  PyObject* zlib = own_name(ns, g.names.zlib);
  if (!zlib || zlib != g.zlib || !g.zlib_direct || !PyModule_CheckExact(zlib)) return false;
  PyObject* names = PyModule_GetDict(zlib);
  return all_keys_exact_str(names) && PyDict_GetItem(names, g.names.compress) == g.zlib_compress &&
         PyDict_GetItem(names, g.names.crc32) == g.zlib_crc32 &&
         PyDict_GetItem(names, g.names.decompress) == g.zlib_decompress;
}

// _BASE_TOKENS a list whose first 256 entries are eight-character ASCII strs.
bool ordinary_alphabet(PyObject* ns) {
  PyObject* tokens = own_name(ns, g.names._BASE_TOKENS);
  if (!tokens || !PyList_CheckExact(tokens) || PyList_GET_SIZE(tokens) < 256) return false;
  for (Py_ssize_t i = 0; i < 256; ++i) {
    if (!is_ascii_word(PyList_GET_ITEM(tokens, i))) return false;
  }
  return true;
}

// The conditions checked before anything is touched.  The codec's other
// conditions (the constants) are those of its plan, tested after.
bool streamable(PyObject* codec_name, PyObject* own_codec, PyObject* key) {
  if (!g.open_is_io_open || !PyUnicode_CheckExact(key)) return false;
  PyObject* ns = module_dict();
  if (!all_keys_exact_str(ns) || own_name(ns, codec_name) != own_codec ||
      own_name(ns, g.names.generate_table) != g.generate_table_function ||
      own_name(ns, g.names._shuffle) != g.shuffle_function || !ordinary_alphabet(ns) ||
      !genuine_random(ns) || !genuine_zlib(ns)) {
    return false;
  }
  // A key with UTF-8 bytes: no seed report and no transform error can arise.
  Py_ssize_t size;
  if (!PyUnicode_AsUTF8AndSize(key, &size)) {
    // Out of memory is passed on; a key without UTF-8 goes the whole way.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) PyErr_Clear();
    return false;
  }
  return size > 0;
}

// Runs `step` without the GIL until it is done, looking at signals between
// steps, so that Ctrl-C stops a long conversion within a step; a step that
// waits (on a pipe, say) is given a checkpoint that runs them at once.
template <class Step>
bool run_steps(Step&& step) {
  for (;;) {
    core::Step result;
    {
      GilRelease gil(true);
      SignalHandlersNow handlers(gil);
      result = step(&handlers);
    }
    if (PyErr_Occurred()) return false;
    if (result == core::Step::done) return true;
    if (result == core::Step::failed) return false;
    if (PyErr_CheckSignals() < 0) return false;
  }
}

void raise_stream_failure(const core::StreamFailure& failure) {
  if (failure.kind == core::StreamFailure::Kind::memory) {
    PyErr_NoMemory();
  } else {
    raise_os_error_code(failure.code, nullptr);
  }
}

bool changed(const core::StreamFailure& failure) {
  return failure.kind == core::StreamFailure::Kind::changed;
}

// Where the result goes: the output's temporary file, put in place once
// complete; or, for an output that is not a regular file (a FIFO, a
// device), the output itself as the result is made, or an unnamed file in
// the temporary directory that holds the result until it is complete and is
// then copied to it (`withhold`, and for a path that cannot be examined).
struct Destination {
  core::OutputFile file;
  core::Descriptor scratch;
  core::Descriptor straight;
  core::FileFailure failure;  // opening the output failed

  // Examines and prepares the output; the existing file that the result
  // may be written over is locked, if it is not already.
  bool open(const char* path, bool withhold, core::FileLocks& locks) {
    {
      GilRelease gil(true);
      failure = file.open(path);
      if (failure) return false;
      if (file.way() != core::OutputFile::Way::direct) {
        SignalHandlersNow handlers(gil);
        if (file.target_fd() >= 0) locks.cover(file.target_fd(), &handlers);
      } else if (withhold || !file.special()) {
        scratch.reset(core::open_scratch_in(core::temporary_directory()));
        if (scratch.get() < 0) failure = {-scratch.get(), false};
      }
    }
    if (PyErr_Occurred()) return false;  // the lock's wait was interrupted
    return !failure;
  }

  // Opens an output written as the result is made.
  bool open_straight(const char* path, PyObject* output_path) {
    if (file.way() != core::OutputFile::Way::direct || scratch.get() >= 0) return true;
    straight.reset(open_for_writing(path, output_path));
    return straight.get() >= 0;
  }
  bool writes_straight() const { return straight.get() >= 0; }
  // Whether the result goes to a temporary file that is put in place once
  // complete (and read again only to be copied over an output that cannot
  // be replaced): it may be written behind.
  bool written_once() const {
    return straight.get() < 0 && scratch.get() < 0 && file.fd() >= 0;
  }

  int fd() const {
    return straight.get() >= 0 ? straight.get() : scratch.get() >= 0 ? scratch.get() : file.fd();
  }

  // Puts the complete result in place; raises on failure.
  bool finish(const char* path, PyObject* output_path) {
    core::FileFailure result;
    if (straight.get() >= 0) {
      if (const int code = straight.close()) {
        raise_os_error_code(code, nullptr);
        return false;
      }
      return true;
    }
    if (scratch.get() >= 0) {
      core::Descriptor out(open_for_writing(path, output_path));
      if (out.get() < 0) return false;
      {
        GilRelease gil(true);
        SignalHandlersNow handlers(gil);
        result.code = core::copy_whole(scratch.get(), out.get(), &handlers);
        if (const int code = out.close(); code && !result.code) result.code = code;
      }
    } else {
      GilRelease gil(true);
      result = file.commit();
    }
    if (PyErr_Occurred()) return false;  // a signal handler raised
    if (result) {
      raise_file_failure(result, output_path);
      return false;
    }
    return true;
  }
};

// The descriptor of the directory for the spool: the temporary directory
// for an output that is not a regular file, else the one beside `path`
// when it can be opened.
int spool_directory(const char* path) {
  struct stat info;
  int fd = -1;
  if (::stat(path, &info) != 0 || S_ISREG(info.st_mode)) fd = core::open_parent_directory(path);
  if (fd < 0) fd = ::open(core::temporary_directory(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

void raise_zlib_failure(const core::ZlibFailure& failure, const char* doing) {
  if (failure.kind == core::ZlibFailure::Kind::out_of_memory) {
    raise_zlib_memory(doing);
  } else {
    raise_zlib_error(g.zlib_error, failure.code, failure.message, doing);
  }
}

// The text between `begin` and `end` as text-mode reading gives it: "\r\n"
// and a lone "\r" become "\n".
Ref translated_piece(int fd, std::uint64_t begin, std::uint64_t end) {
  const auto size = static_cast<std::size_t>(end - begin);
  Buffer bytes = allocate_buffer(size);
  if (!bytes) return {};
  std::ptrdiff_t got;
  {
    GilRelease gil(size >= kReleaseGil);
    got = core::pread_full(fd, {bytes.get(), size}, begin);
  }
  if (got < 0) {
    raise_os_error_code(static_cast<int>(-got), nullptr);
    return {};
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
    const std::uint8_t c = bytes[i];
    if (c == '\r') {
      bytes[kept++] = '\n';
      if (i + 1 < static_cast<std::size_t>(got) && bytes[i + 1] == '\n') ++i;
    } else {
      bytes[kept++] = c;
    }
  }
  return Ref(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(bytes.get()),
                                  static_cast<Py_ssize_t>(kept), nullptr));
}

// What UnicodeDecodeError.object holds for a file of `size` bytes whose bad
// sequence is [begin, end): the whole file up to kWholeErrorObject; beyond,
// an object of the file's length that holds the file's bytes from
// kErrorWindow before the bad sequence to kErrorWindow after it and zeros
// elsewhere, whose pages of zeros take no memory.
Ref error_object(int fd, std::uint64_t size, std::uint64_t begin, std::uint64_t end) {
  std::uint64_t from = 0;
  std::uint64_t to = size;
  Ref object;
  if (size <= kWholeErrorObject) {
    object.reset(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  } else {
    Ref length(PyLong_FromUnsignedLongLong(size));
    if (length) object.reset(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), length.get()));
    from = begin > kErrorWindow ? begin - kErrorWindow : 0;
    to = size - end > kErrorWindow ? end + kErrorWindow : size;
  }
  if (!object) return {};
  auto* bytes = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(object.get()));
  std::ptrdiff_t got;
  {
    GilRelease gil(true);
    got = core::pread_full(fd, {bytes + from, static_cast<std::size_t>(to - from)}, from);
  }
  if (got < 0) {
    raise_os_error_code(static_cast<int>(-got), nullptr);
    return {};
  }
  return object;
}

// The UnicodeDecodeError that reading the file whole as UTF-8 raises, for
// its first bad sequence at `offset`: the interpreter's decoder judges the
// sequence, the positions are the file's.  False, with nothing raised, when
// the sequence read again is not bad: the file changed.
bool raise_not_utf8_file(int fd, std::uint64_t size, std::uint64_t offset) {
  std::uint8_t window[4];
  const std::ptrdiff_t got = core::pread_full(fd, window, offset);
  if (got < 0) {
    raise_os_error_code(static_cast<int>(-got), nullptr);
    return true;
  }
  Ref decoded(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(window), got, nullptr));
  if (decoded) return false;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return true;
  Ref probe(PyErr_GetRaisedException());
  Py_ssize_t start;
  Py_ssize_t end;
  Ref reason(PyUnicodeDecodeError_GetReason(probe.get()));
  if (!reason || PyUnicodeDecodeError_GetStart(probe.get(), &start) < 0 ||
      PyUnicodeDecodeError_GetEnd(probe.get(), &end) < 0) {
    return true;
  }
  Ref object = error_object(fd, size, offset + static_cast<std::uint64_t>(start),
                            offset + static_cast<std::uint64_t>(end));
  if (!object) return true;
  const auto base = static_cast<Py_ssize_t>(offset);
  Ref error(PyObject_CallFunction(PyExc_UnicodeDecodeError, "sOnnO", "utf-8", object.get(),
                                  base + start, base + end, reason.get()));
  if (error) PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
  return true;
}

// Raises what decode_bytes raises for the text's first failure, from what
// the pass found and what is read again to report it.  False when the text
// was written since the pass began: then the report may be of another
// version, and the conversion starts again.
bool raise_decoding_failure(const core::FileDecoder& decoder, int fd, PyObject* header) {
  using Outcome = core::FileDecoder::Outcome;
  switch (decoder.outcome()) {
    case Outcome::ok:
      break;
    case Outcome::not_utf8: {
      struct stat info;
      if (::fstat(fd, &info) != 0) {
        raise_os_error_code(errno, nullptr);
      } else if (!raise_not_utf8_file(fd, static_cast<std::uint64_t>(info.st_size),
                                      decoder.utf8_error_offset())) {
        return false;
      }
      break;
    }
    case Outcome::bad_header:
      raise_missing_header(header);
      break;
    case Outcome::no_data:
      raise_no_data();
      break;
    case Outcome::bad_token:
      if (Ref piece = translated_piece(fd, decoder.bad_begin(), decoder.bad_end())) {
        raise_unrecognized_token(piece.get());
      }
      break;
    case Outcome::too_short:
      raise_too_short();
      break;
    case Outcome::bad_checksum:
      raise_crc_mismatch(decoder.expected_crc(), decoder.got_crc());
      break;
    case Outcome::bad_stream:
      raise_zlib_failure(decoder.zlib_failure(), "while decompressing data");
      break;
  }
  return decoder.unchanged();
}

// A plan that could not be made goes back to the whole-file path, which
// makes the same lookups and reports what they raise in its own order; only
// an interruption or running out of memory is passed on.
bool give_up_plan() {
  if (!PyErr_Occurred()) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

// Whether the conversion over the codec `codec_name` may run in chunks, and
// then the output's path in the file system's bytes.
bool stream_path(PyObject* codec_name, PyObject* own_codec, PyObject* key,
                 PyObject* output_path, Ref& out_path) {
  if (!streamable(codec_name, own_codec, key)) return false;
  out_path = file_system_path(output_path);
  return static_cast<bool>(out_path);
}

// Before pass 1 over an input worth it: the stored frame's plan, and the
// output opened early, so that the encoder may write the stored text while
// it deflates.  An output that cannot be opened now is opened again, and
// its failure reported, where it would be.  False with an error set.
bool prepare_writing_ahead(int input, PyObject* key, const char* path, core::FileLocks& locks,
                           core::TextPlan& plan, Ref& header, std::optional<Destination>& out,
                           core::FileEncoder& encoder) {
  struct stat info;
  if (::fstat(input, &info) != 0 || !S_ISREG(info.st_mode) ||
      !core::FileEncoder::worth_writing_ahead(static_cast<std::uint64_t>(info.st_size))) {
    return true;
  }
  bool native;
  if (!text_plan(key, false, plan, header, native)) return give_up_plan();
  if (!native) return true;
  out.emplace();
  if (!out->open(path, false, locks)) {
    if (PyErr_Occurred()) return false;
    out.reset();
    return true;
  }
  if (out->written_once()) encoder.write_ahead(plan, out->fd());
  return true;
}

// After pass 1 of a stored frame whose text is being written ahead: waits
// for it and ends it.  `done` when the whole text is written; `declined`
// when it was not the text to keep, which leaves the output empty.
StreamResult finish_writing_ahead(core::FileEncoder& encoder, const core::TextPlan& plan,
                                  const core::TextPlan& ahead_plan) {
  using Outcome = core::StoredTextAhead::Outcome;
  if (!same_stored_text(plan, ahead_plan)) {
    encoder.drop_ahead();
    return StreamResult::declined;
  }
  Outcome outcome = Outcome::waiting;
  if (!run_steps([&](core::Checkpoint*) {
        outcome = encoder.finish_ahead(50);
        return outcome == Outcome::waiting ? core::Step::more : core::Step::done;
      })) {
    return StreamResult::failed;
  }
  switch (outcome) {
    case Outcome::done:
      return StreamResult::done;
    case Outcome::output_failed:
      raise_os_error_code(encoder.ahead_failure(), nullptr);
      return StreamResult::failed;
    default:
      return StreamResult::declined;
  }
}

StreamResult declined_unless_failed() {
  return PyErr_Occurred() ? StreamResult::failed : StreamResult::declined;
}

}  // namespace

int open_for_writing(const char* path, PyObject* output_path) {
  int fd;
  int code;
  {
    GilRelease gil(true);
    SignalHandlersNow handlers(gil);
    do {
      fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
      code = fd < 0 ? errno : 0;
    } while (code == EINTR && handlers.resume());
  }
  if (fd < 0 && !PyErr_Occurred()) raise_file_failure({code, true}, output_path);
  return fd;
}

bool announce_output(PyObject* output_path) {
  return PySys_Audit("open", "Osi", output_path, "w", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC) == 0;
}

StreamResult stream_encode_file(int input, PyObject* output_path, PyObject* key,
                                core::FileLocks& locks, bool& announced) {
  Ref out_path;
  if (!stream_path(g.names.encode_bytes, g.encode_bytes_function, key, output_path, out_path)) {
    return declined_unless_failed();
  }
  const char* path = PyBytes_AS_STRING(out_path.get());
  core::Descriptor spool_dir(spool_directory(path));
  if (spool_dir.get() < 0) return StreamResult::declined;

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // What the text written ahead goes by and to outlives the encoder.
    core::TextPlan ahead_plan;
    Ref ahead_header;
    std::optional<Destination> out;
    core::FileEncoder encoder(input, spool_dir.get());
    if (!prepare_writing_ahead(input, key, path, locks, ahead_plan, ahead_header, out, encoder)) {
      return StreamResult::failed;
    }
    if (!run_steps([&](core::Checkpoint*) { return encoder.compress_step(); })) {
      if (PyErr_Occurred()) return StreamResult::failed;
      if (changed(encoder.failure())) continue;
      if (encoder.failure()) {
        raise_stream_failure(encoder.failure());
      } else {
        raise_zlib_failure(encoder.zlib_failure(), "while compressing data");
      }
      return StreamResult::failed;
    }
    core::TextPlan plan;
    Ref header;
    bool native;
    if (!text_plan(key, encoder.compressed(), plan, header, native) || !native) {
      return give_up_plan() ? StreamResult::declined : StreamResult::failed;
    }
    // The output is opened once, whatever the attempts.
    if (!announced) {
      if (!announce_output(output_path)) return StreamResult::failed;
      announced = true;
    }
    if (!encoder.compressed() && encoder.writing_ahead()) {
      const StreamResult ahead = finish_writing_ahead(encoder, plan, ahead_plan);
      if (ahead == StreamResult::failed) return ahead;
      if (ahead == StreamResult::done) {
        return out->finish(path, output_path) ? StreamResult::done : StreamResult::failed;
      }
    }
    if (!out) {
      out.emplace();
      if (!out->open(path, false, locks)) {
        if (!PyErr_Occurred()) raise_file_failure(out->failure, output_path);
        return StreamResult::failed;
      }
    }
    if (!out->open_straight(path, output_path)) return StreamResult::failed;
    if (!encoder.start_text(plan, out->fd(), out->written_once())) {
      raise_stream_failure(encoder.failure());
      return StreamResult::failed;
    }
    if (!run_steps([&](core::Checkpoint* on_interrupt) { return encoder.write_step(on_interrupt); })) {
      if (PyErr_Occurred()) return StreamResult::failed;
      if (!changed(encoder.failure())) {
        raise_stream_failure(encoder.failure());
        return StreamResult::failed;
      }
      // What went out cannot be taken back: the text stops before its
      // checksum, which no decode accepts.
      if (out->writes_straight()) {
        raise_input_changed();
        return StreamResult::failed;
      }
      continue;
    }
    return out->finish(path, output_path) ? StreamResult::done : StreamResult::failed;
  }
  return StreamResult::declined;
}

StreamResult stream_decode_file(int input, PyObject* output_path, PyObject* key,
                                core::FileLocks& locks) {
  Ref out_path;
  if (!stream_path(g.names.decode_bytes, g.decode_bytes_function, key, output_path, out_path)) {
    return declined_unless_failed();
  }
  core::ReadPlan plan;
  Ref header;
  bool native;
  if (!read_plan(key, plan, header, native) || !native) {
    return give_up_plan() ? StreamResult::declined : StreamResult::failed;
  }
  const char* path = PyBytes_AS_STRING(out_path.get());

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    // An output that cannot be opened is reported only after the text has
    // been read and found good, as it is when the whole text is decoded
    // first.
    Destination out;
    const bool writable = out.open(path, true, locks);
    if (!writable && PyErr_Occurred()) return StreamResult::failed;
    core::FileDecoder decoder(input);
    if (!decoder.start(plan, writable ? out.fd() : -1, writable && out.written_once())) {
      raise_stream_failure(decoder.failure());
      return StreamResult::failed;
    }
    if (!run_steps([&](core::Checkpoint*) { return decoder.step(); })) {
      if (PyErr_Occurred()) return StreamResult::failed;
      if (changed(decoder.failure())) continue;
      raise_stream_failure(decoder.failure());
      return StreamResult::failed;
    }
    if (decoder.outcome() != core::FileDecoder::Outcome::ok) {
      if (raise_decoding_failure(decoder, input, header.get())) return StreamResult::failed;
      PyErr_Clear();
      continue;
    }
    if (!announce_output(output_path)) return StreamResult::failed;
    if (!writable) {
      raise_file_failure(out.failure, output_path);
      return StreamResult::failed;
    }
    if (decoder.output_failure() != 0) {
      raise_os_error_code(decoder.output_failure(), nullptr);
      return StreamResult::failed;
    }
    return out.finish(path, output_path) ? StreamResult::done : StreamResult::failed;
  }
  return StreamResult::declined;
}

}  // namespace velkorenc::py
