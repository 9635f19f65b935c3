// Process-wide state of the module: filled once by the execution step and
// kept for the life of the process.
#pragma once

#include "velkorenc/pyref.hpp"

namespace velkorenc::py {

// Interned strings: the module's names and the attribute names it uses.
#define VELKORENC_NAMES(X)                                                   \
  X(zlib, "zlib") X(random, "random") X(typing, "typing") X(Dict, "Dict")   \
  X(List, "List") X(Tuple, "Tuple") X(VelkorError, "VelkorError")           \
  X(InvalidHeaderError, "InvalidHeaderError")                               \
  X(InvalidTokenError, "InvalidTokenError")                                 \
  X(InvalidChecksumError, "InvalidChecksumError")                           \
  X(DecodeError, "DecodeError") X(HEADER, "HEADER")                         \
  X(DELIMITER, "DELIMITER") X(CHECKSUM_SIZE, "CHECKSUM_SIZE")               \
  X(_COMPRESSED, "_COMPRESSED") X(_UNCOMPRESSED, "_UNCOMPRESSED")           \
  X(_BASE_TOKENS, "_BASE_TOKENS") X(_i, "_i") X(_chars, "_chars")           \
  X(_bit, "_bit") X(_shuffle, "_shuffle")                                   \
  X(generate_table, "generate_table") X(encode_bytes, "encode_bytes")       \
  X(decode_bytes, "decode_bytes") X(encode, "encode") X(decode, "decode")   \
  X(encode_file, "encode_file") X(decode_file, "decode_file")               \
  X(version, "version") X(__test__, "__test__")                             \
  X(__builtins__, "__builtins__") X(__module__, "__module__")               \
  X(__qualname__, "__qualname__") X(__loader__, "__loader__")               \
  X(__file__, "__file__") X(__package__, "__package__")                     \
  X(__path__, "__path__") X(name, "name") X(loader, "loader")               \
  X(origin, "origin") X(parent, "parent")                                   \
  X(submodule_search_locations, "submodule_search_locations")               \
  X(open, "open") X(module_name, "velkorenc") X(Random, "Random")           \
  X(randint, "randint") X(compress, "compress") X(decompress, "decompress") \
  X(crc32, "crc32") X(level, "level") X(startswith, "startswith")           \
  X(ZLIB_RUNTIME_VERSION, "ZLIB_RUNTIME_VERSION")                           \
  X(split, "split") X(join, "join") X(read, "read") X(write, "write")       \
  X(encoding, "encoding")                                                   \
  X(utf_8, "utf-8") X(mode_rb, "rb") X(mode_r, "r") X(mode_w, "w")          \
  X(mode_wb, "wb") X(__enter__, "__enter__") X(__exit__, "__exit__")        \
  X(append, "append") X(items, "items") X(key, "key") X(data, "data")       \
  X(encoded, "encoded") X(text, "text") X(input_path, "input_path")         \
  X(output_path, "output_path") X(q, "q") X(z, "z")                         \
  X(default_key, "QJX") X(version_text, "Velkor Enc v2.0.0")                \
  X(header_text, "VELKORENCV2:") X(delimiter_text, "~")                     \
  X(seed_context, "velkorenc._key_to_seed") X(crlf, "\r\n") X(cr, "\r")  \
  X(lf, "\n")

struct Names {
#define VELKORENC_DECLARE_NAME(field, text) PyObject* field = nullptr;
  VELKORENC_NAMES(VELKORENC_DECLARE_NAME)
#undef VELKORENC_DECLARE_NAME
};

struct State {
  PyObject* module = nullptr;    // strong; cleared again if loading fails
  PyObject* builtins = nullptr;  // the builtins module, strong
  PyObject* open = nullptr;      // builtins.open as it was at load, strong
  bool open_is_io_open = false;  // that open is the interpreter's own io.open
  // The functions bound at load, strong.
  PyObject* generate_table_function = nullptr;
  PyObject* shuffle_function = nullptr;
  PyObject* encode_bytes_function = nullptr;
  PyObject* decode_bytes_function = nullptr;
  PyObject* alphabet = nullptr;         // the _BASE_TOKENS list bound at load, strong
  PyObject* alphabet_tokens = nullptr;  // its 256 tokens as made at load, a tuple
  PyObject* random = nullptr;  // the random module imported at load, strong
  // The interpreter's zlib module as imported at load, the functions the
  // codec calls on it and its error class (all strong), and whether the
  // zlib library linked into this module is the one that module runs.
  PyObject* zlib = nullptr;
  PyObject* zlib_compress = nullptr;
  PyObject* zlib_crc32 = nullptr;
  PyObject* zlib_decompress = nullptr;
  PyObject* zlib_error = nullptr;
  bool zlib_direct = false;
  bool constants_ready = false;
  Names names;
  // Shared constant objects.
  PyObject* int0 = nullptr;
  PyObject* int1 = nullptr;
  PyObject* int4 = nullptr;
  PyObject* int6 = nullptr;
  PyObject* int_seed_mask = nullptr;  // 2147483647
  PyObject* int_crc_mask = nullptr;   // 4294967295
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* level_kwnames = nullptr;     // ("level",), for zlib.compress
  PyObject* encoding_kwnames = nullptr;  // ("encoding",), for open
};

extern State g;

// Creates the shared constants once per process; later calls do nothing.
int create_constants();

// The namespace of the loaded module (borrowed).
inline PyObject* module_dict() { return PyModule_GetDict(g.module); }

// Every key of `dict` an exact str: then looking a name up in it runs no
// Python code, as no key's __eq__ can be called.
bool all_keys_exact_str(PyObject* dict);

// Reads a module-level name as the module's own code would: the module
// namespace first, then builtins; NameError when neither has it.
Ref lookup_global(PyObject* name);

// getattr(object, name), for the modules that the namespace names.
Ref module_attribute(PyObject* object, PyObject* name);

}  // namespace velkorenc::py
