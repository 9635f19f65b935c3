"""Tell a damaged text from one decoded with the wrong key.

    python examples/tell_damage.py              # a tour over a sample text
    python examples/tell_damage.py FILE KEY [OTHER_KEY ...]

Every key uses the same 256 tokens, so a missing header, a piece that is not
a token and a text with fewer than five tokens are damage whatever the key.
A checksum mismatch means a wrong key or a token replaced by another token;
trying the other keys you know tells which, if one of them fits.
"""
import sys
import zlib

import velkorenc


def diagnose(text, key, other_keys=()):
    """A one-line verdict on decoding `text` with `key`."""
    try:
        data = velkorenc.decode_bytes(text, key)
    except velkorenc.InvalidHeaderError:
        return "damaged: not an encoded text (no header)"
    except velkorenc.InvalidTokenError as exc:
        if text != text.rstrip("\r\n"):
            return "damaged: a line break was added at the end; strip it and decode again"
        return f"damaged: {exc}"
    except velkorenc.DecodeError as exc:  # nothing after the header, or too short
        return f"damaged: {exc}"
    except velkorenc.InvalidChecksumError:
        for other in other_keys:
            try:
                velkorenc.decode_bytes(text, other)
            except (velkorenc.InvalidChecksumError, zlib.error):
                continue
            return f"wrong key: it decodes with {other!r}"
        return "wrong key, or a token was replaced by another (the checksum cannot tell which)"
    except zlib.error as exc:  # the checksum matched, the compressed payload did not expand
        return f"damaged compressed payload: {exc}"
    return f"intact: {len(data)} bytes"


def tour():
    key, keys = "north", ["south", "north", "east"]
    text = velkorenc.encode("meet at the old mill at nine", key)
    tokens = text[len(velkorenc.HEADER):].split(velkorenc.DELIMITER)
    replaced = velkorenc.HEADER + velkorenc.DELIMITER.join([tokens[1]] + tokens[1:])
    cases = [
        ("as written", text, key),
        ("another key", text, "south"),
        ("first token replaced", replaced, key),
        ("cut in a token", text[:-3], key),
        ("line break added", text + "\n", key),
        ("header lost", text[5:], key),
        ("cut to three tokens", velkorenc.HEADER + velkorenc.DELIMITER.join(tokens[:3]), key),
    ]
    for label, sample, used in cases:
        print(f"{label:>22} / {used}: {diagnose(sample, used, keys)}")


def main(argv):
    if len(argv) == 1:
        tour()
        return 0
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        text = f.read()
    verdict = diagnose(text, argv[2], argv[3:])
    print(verdict)
    return 0 if verdict.startswith("intact") else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
