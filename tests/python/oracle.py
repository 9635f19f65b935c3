"""A small pure-Python rendering of the encoded format, used as an oracle."""
import random
import zlib

HEADER = "VELKORENCV2:"
DELIMITER = "~"


def key_to_seed(key):
    seed = 0
    for c in key.encode():
        seed = (seed * 31 + c) & 0x7FFFFFFF
    return seed


def base_tokens():
    return ["".join("q" if (v >> bit) & 1 else "z" for bit in range(7, -1, -1))
            for v in range(256)]


def shuffle(items, key=None, seed=None):
    rng = random.Random(key_to_seed(key) if seed is None else seed)
    result = list(items)
    for i in range(len(result) - 1, 0, -1):
        j = rng.randint(0, i)
        result[i], result[j] = result[j], result[i]
    return result


def tables(key, seed=None, tokens=None):
    shuffled = shuffle(base_tokens() if tokens is None else tokens, key, seed)
    enc = {i: shuffled[i] for i in range(256)}
    dec = {shuffled[i]: i for i in range(256)}
    return enc, dec


def transform(data, key, forward):
    k = key.encode()
    out = bytearray(len(data))
    for i, b in enumerate(data):
        s = i & 7
        offset = (19 * i + 7) % 256
        kb = k[i % len(k)]
        if forward:
            x = b ^ kb
            x = ((x << s) | (x >> (8 - s))) & 0xFF
            x = (x + offset) % 256
        else:
            x = (b - offset) % 256
            x = ((x >> s) | (x << (8 - s))) & 0xFF
            x ^= kb
        out[i] = x
    return bytes(out)


def crc(fp):
    return (zlib.crc32(fp) & 0xFFFFFFFF).to_bytes(4, "big")


def frame(data):
    comp = zlib.compress(data, level=6)
    fp = (b"\x01" + comp) if len(comp) < len(data) else (b"\x00" + data)
    return fp + crc(fp)


def text_of_frame(raw, key="QJX", tokens=None):
    """The text whose tokens carry `raw` (a frame, valid or not) under `key`."""
    enc, _ = tables(key, tokens=tokens)
    return HEADER + DELIMITER.join(enc[b] for b in transform(raw, key, True))


def encode_bytes(data, key="QJX"):
    return text_of_frame(frame(data), key)


def frame_of_text(text, key="QJX"):
    """The frame that a well-formed text carries under `key`."""
    _, dec = tables(key)
    body = text[len(HEADER):]
    return transform(bytes(dec[t] for t in body.split(DELIMITER)), key, False)


_DECODING_TABLES = {}


def decode_outcome(text, key="QJX"):
    """What decode_bytes gives for any text: ('ok', bytes), or the name of
    the exception class and its message."""
    if not text.startswith(HEADER):
        return ("InvalidHeaderError", f"Missing header: expected '{HEADER}'")
    body = text[len(HEADER):]
    if not body:
        return ("DecodeError", "No encoded data found after header")
    if key not in _DECODING_TABLES:
        _DECODING_TABLES[key] = tables(key)[1]
    dec = _DECODING_TABLES[key]
    values = bytearray()
    for piece in body.split(DELIMITER):
        if piece not in dec:
            return ("InvalidTokenError", f"Unrecognized token: '{piece}'")
        values.append(dec[piece])
    raw = transform(bytes(values), key, False)
    if len(raw) < 5:
        return ("DecodeError", "Encoded data is too short")
    fp, ck = raw[:-4], raw[-4:]
    expected, got = zlib.crc32(fp) & 0xFFFFFFFF, int.from_bytes(ck, "big")
    if expected != got:
        return ("InvalidChecksumError", f"CRC32 mismatch: expected {expected:08x}, got {got:08x}")
    if fp[0] != 1:
        return ("ok", fp[1:])
    try:
        return ("ok", zlib.decompress(fp[1:]))
    except zlib.error as exc:
        return ("error", str(exc))


def decode_text_outcome(text, key="QJX"):
    """The same for decode: the bytes as UTF-8."""
    result = decode_outcome(text, key)
    if result[0] != "ok":
        return result
    try:
        return ("ok", result[1].decode("utf-8"))
    except UnicodeDecodeError as exc:
        return ("DecodeError", f"Decoded data is not valid UTF-8: {exc}")
