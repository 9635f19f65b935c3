"""Encode a file with a key, decode it back, and check that nothing was lost.

    python examples/encode_file.py PATH [KEY]
"""
import os
import sys
import tempfile

import velkorenc


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source = argv[1]
    key = argv[2] if len(argv) > 2 else "QJX"
    with tempfile.TemporaryDirectory() as work:
        encoded_path = os.path.join(work, "encoded.txt")
        decoded_path = os.path.join(work, "decoded.bin")
        velkorenc.encode_file(source, encoded_path, key)
        velkorenc.decode_file(encoded_path, decoded_path, key)
        with open(source, "rb") as f:
            original = f.read()
        with open(decoded_path, "rb") as f:
            restored = f.read()
        with open(encoded_path, encoding="utf-8") as f:
            text = f.read()
    print(f"{velkorenc.version()}: encoded {source} ({len(original)} bytes) "
          f"with key {key!r} into {len(text)} characters")
    print(f"  starts with: {text[:48]}...")
    try:
        velkorenc.decode(text, key + "!")
    except velkorenc.InvalidChecksumError as exc:
        print(f"  with another key: {type(exc).__name__}: {exc}")
    print(f"  decoded back: {len(restored)} bytes, identical: {restored == original}")
    return 0 if restored == original else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
