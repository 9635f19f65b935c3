"""Bytes, text and files to a key-dependent printable text and back.

The public surface: the five exception classes, three format constants and
the functions.  The module also binds zlib, random, Dict, List and Tuple for
its own use; they are not part of its interface and are left out here.

A parameter is typed `str | None` only where a call with None can succeed:
every function's argument check lets None through, but apart from the key of
generate_table, None then fails with AttributeError or TypeError.
"""

class VelkorError(Exception):
    """Base class of every failure to decode a text."""

class InvalidHeaderError(VelkorError):
    """The text does not start with HEADER."""

class InvalidTokenError(VelkorError):
    """A piece between two delimiters is not one of the 256 tokens."""

class InvalidChecksumError(VelkorError):
    """The CRC-32 does not match: a wrong key, or a token replaced by another."""

class DecodeError(VelkorError):
    """Nothing after the header, fewer than five tokens, or text that is not UTF-8."""

HEADER: str
"""The text that starts every encoded text: "VELKORENCV2:"."""
DELIMITER: str
"""The separator between tokens: "~"."""
CHECKSUM_SIZE: int
"""The number of CRC-32 bytes at the end of a frame: 4."""

def generate_table(key: str | None = "QJX") -> tuple[dict[int, str], dict[str, int]]:
    """The key's token tables: byte value to token, and token to byte value.

    A None key is reported on standard error and shuffles as the empty key.
    """

def encode_bytes(data: bytes, key: str = "QJX") -> str:
    """Encodes bytes into a printable text that only the same key decodes."""

def decode_bytes(encoded: str, key: str = "QJX") -> bytes:
    """Decodes a text written by encode_bytes, encode or encode_file."""

def encode(text: str, key: str = "QJX") -> str:
    """Encodes a str by way of its UTF-8 bytes."""

def decode(text: str, key: str = "QJX") -> str:
    """Decodes a text back to a str; DecodeError if the data is not UTF-8."""

def encode_file(input_path: str, output_path: str, key: str = "QJX") -> None:
    """Writes the encoded text of a file's bytes to another file (or in place)."""

def decode_file(input_path: str, output_path: str, key: str = "QJX") -> None:
    """Writes the bytes of an encoded text file to another file (or in place)."""

def version() -> str:
    """The version text, "Velkor Enc v2.0.0"."""
