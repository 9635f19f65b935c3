"""Random damage to valid texts: characters changed, cut out or put in, texts
truncated and extended, tokens replaced, moved, repeated or dropped, and
frames rewritten with a checksum that fits.  decode_bytes and decode may only
raise the exceptions they document, and whatever they give, a result or an
exception with its message, must be what the oracle gives for that text."""
import random
import unittest
import zlib

import velkorenc
import oracle

v = velkorenc
DOCUMENTED = {
    "decode_bytes": (v.InvalidHeaderError, v.InvalidTokenError, v.InvalidChecksumError,
                     v.DecodeError, zlib.error),
}
DOCUMENTED["decode"] = DOCUMENTED["decode_bytes"]  # DecodeError covers bad UTF-8 too
MUTANTS_PER_TEXT = 150
# Characters that damage a text: its own, other ASCII, and characters of one
# to four bytes, some of which end in the byte of "q", "z" or "~".
CHARACTERS = "qz~qz~VELKORENCV2: \n\t\x00Q~é\u0171\u017a\u017e\uff51ж\U0001f511\U0001007e"


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return (exc, str(exc))


def random_text(rng, length):
    return "".join(rng.choice(CHARACTERS) for _ in range(length))


def mutate_text(rng, text):
    """One or a few changes to the characters or the tokens of `text`."""
    header, body = text[:len(oracle.HEADER)], text[len(oracle.HEADER):]
    tokens = body.split(oracle.DELIMITER)
    i = rng.randrange(len(text) + 1)
    kind = rng.randrange(11)
    if kind == 0:
        return text[:i] + random_text(rng, 1) + text[i + 1:]
    if kind == 1:
        return text[:i] + text[i + rng.randint(1, 12):]
    if kind == 2:
        return text[:i] + random_text(rng, rng.randint(1, 5)) + text[i:]
    if kind == 3:
        return text[:i]
    if kind == 4:
        return text + rng.choice(["", "~"]) + rng.choice(
            [rng.choice(oracle.base_tokens()), random_text(rng, rng.randint(1, 9))])
    if kind == 5:
        tokens[rng.randrange(len(tokens))] = rng.choice(oracle.base_tokens())
    elif kind == 6:
        a, b = rng.randrange(len(tokens)), rng.randrange(len(tokens))
        tokens[a], tokens[b] = tokens[b], tokens[a]
    elif kind == 7:
        at = rng.randrange(len(tokens))
        tokens.insert(at, tokens[at])
    elif kind == 8:
        del tokens[rng.randrange(len(tokens))]
    elif kind == 9:
        header = "".join(c.lower() if rng.random() < 0.2 else c for c in header)
    else:
        tokens = tokens[:rng.randint(0, 6)]
    return header + oracle.DELIMITER.join(tokens)


def mutate_frame(rng, frame, key):
    """A text for a damaged frame whose checksum is made to fit, so that the
    flag and the payload, compressed or not, reach the last steps."""
    fp = bytearray(frame[:-4])
    for _ in range(rng.randint(1, 3)):
        kind = rng.randrange(4)
        at = rng.randrange(len(fp))
        if kind == 0:
            fp[at] = rng.randrange(256)
        elif kind == 1:
            del fp[at + 1:at + 1 + rng.randint(1, 8)]
        elif kind == 2:
            fp[at + 1:at + 1] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        else:
            fp[0] = rng.choice([0, 1, 2, 255])
    fp = bytes(fp)
    return oracle.text_of_frame(fp + oracle.crc(fp), key)


class Mutations(unittest.TestCase):
    def check(self, text, key):
        for name, call, expected in [
            ("decode_bytes", v.decode_bytes, oracle.decode_outcome(text, key)),
            ("decode", v.decode, oracle.decode_text_outcome(text, key)),
        ]:
            got = outcome(call, text, key)
            if got[0] != "ok":
                self.assertIsInstance(got[0], DOCUMENTED[name], (name, text, got))
                got = (type(got[0]).__name__, got[1])
            self.assertEqual(got, expected, (name, text))

    def test_damaged_texts(self):
        rng = random.Random(20240605)
        samples = [b"", b"x", "naïve text ".encode() * 3, b"abc" * 60,
                   bytes(rng.randrange(256) for _ in range(120)), "日本語".encode() * 20]
        seen = set()
        for key in ("QJX", "k", "ключ"):
            for data in samples:
                text = oracle.encode_bytes(data, key)
                frame = oracle.frame(data)
                for _ in range(MUTANTS_PER_TEXT):
                    mutant = mutate_text(rng, text)
                    self.check(mutant, key)
                    seen.add(oracle.decode_outcome(mutant, key)[0])
                for _ in range(MUTANTS_PER_TEXT // 3):
                    mutant = mutate_frame(rng, frame, key)
                    self.check(mutant, key)
                    seen.add(oracle.decode_outcome(mutant, key)[0])
        # The damage reached every step of decoding, success included.
        self.assertEqual(seen, {"ok", "InvalidHeaderError", "DecodeError", "InvalidTokenError",
                                "InvalidChecksumError", "error"})


if __name__ == "__main__":
    unittest.main()
