"""Compares encode_file with the whole-file path on large inputs made of
noise and text in random proportions and orders, so that the stored text
written during the first pass is kept, stopped midway, or thrown away at
the end; each text is also decoded back.  Run against a build:

    PYTHONPATH=build/python build/python3.12 tools/encode_file_ahead.py \\
        [--count N] [--seed S] [--dir DIR]

Prints one line per input and a total; exits with 1 at the first mismatch.
"""
import argparse
import contextlib
import os
import random
import sys
import tempfile

import velkorenc

MIB = 1 << 20


@contextlib.contextmanager
def whole_file_path():
    # The file functions call the codec through the module's names: rebound
    # to wrappers, they read the whole file and call them.
    encode_bytes = velkorenc.encode_bytes
    velkorenc.encode_bytes = lambda data, key: encode_bytes(data, key)
    try:
        yield
    finally:
        velkorenc.encode_bytes = encode_bytes


def make_input(rng):
    """Between 16 and 85 MiB of noise, hex digits, zeros and text, in up to
    five parts; and a name for it."""
    parts, names = [], []
    for _ in range(rng.randint(1, 5)):
        size = rng.randint(1, 16) * MIB + rng.randrange(MIB)
        kind = rng.choice(["noise", "noise", "hex", "zeros", "text"])
        if kind == "noise":
            parts.append(rng.randbytes(size))
        elif kind == "hex":
            parts.append(rng.randbytes(size // 2).hex().encode())
        elif kind == "zeros":
            parts.append(bytes(size))
        else:
            words = [b"alpha ", b"beta ", b"gamma\n", rng.randbytes(5)]
            parts.append(b"".join(rng.choice(words) for _ in range(size // 6)))
        names.append(f"{kind} {size / MIB:.1f}")
    data = b"".join(parts)
    if len(data) < 16 * MIB:
        data += rng.randbytes(16 * MIB - len(data))
        names.append("noise to 16 MiB")
    return data, ", ".join(names)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    key = "ключ"
    with tempfile.TemporaryDirectory(prefix="velkorenc-ahead-", dir=args.dir) as folder:
        source, text, whole, back = (os.path.join(folder, name)
                                     for name in ("in", "text", "whole", "back"))
        for index in range(args.count):
            data, name = make_input(rng)
            with open(source, "wb") as f:
                f.write(data)
            velkorenc.encode_file(source, text, key)
            with whole_file_path():
                velkorenc.encode_file(source, whole, key)
            with open(text, "rb") as f, open(whole, "rb") as g:
                same = f.read() == g.read()
            velkorenc.decode_file(text, back, key)
            with open(back, "rb") as f:
                same = same and f.read() == data
            print(f"{index}: {len(data) / MIB:.1f} MiB ({name}): {'same' if same else 'DIFFERENT'}",
                  flush=True)
            if not same:
                return 1
    print(f"{args.count} inputs, seed {args.seed}: all the same")
    return 0


if __name__ == "__main__":
    sys.exit(main())
