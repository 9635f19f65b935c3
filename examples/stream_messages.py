"""Stream many small messages with one key, one encoded text per line.

    python examples/stream_messages.py                 # round trip of a sample stream
    python examples/stream_messages.py encode KEY < messages.txt > stream.txt
    python examples/stream_messages.py decode KEY < stream.txt

An encoded text never holds a line break, so a line is a safe frame for one
message; a damaged line is reported and skipped, and the rest still decode.
Each call derives the key's tables afresh, so the cost per message is fixed
whatever its size: batch tiny messages if that cost matters.
"""
import io
import sys
import time

import velkorenc


def write_messages(stream, messages, key):
    for message in messages:
        stream.write(velkorenc.encode(message, key))
        stream.write("\n")


def read_messages(stream, key, errors=sys.stderr):
    """Yields each line's message; reports and skips lines that do not decode."""
    for number, line in enumerate(stream, 1):
        line = line.rstrip("\r\n")
        if not line:
            continue
        try:
            yield velkorenc.decode(line, key)
        except velkorenc.VelkorError as exc:
            print(f"line {number}: skipped, {type(exc).__name__}: {exc}", file=errors)


def demo():
    key = "one key for the whole stream"
    messages = [f"reading {i}: {20 + i % 7}.{i % 10} C" for i in range(1000)]
    stream = io.StringIO()
    start = time.perf_counter()
    write_messages(stream, messages, key)
    lines = stream.getvalue().splitlines(keepends=True)
    lines[500] = lines[500][:39] + lines[500][48:]  # one token lost in transit
    problems = io.StringIO()
    received = list(read_messages(io.StringIO("".join(lines)), key, problems))
    elapsed = time.perf_counter() - start
    expected = messages[:500] + messages[501:]
    print(f"{len(messages)} messages sent, {len(received)} received, "
          f"in order and intact: {received == expected}")
    print(problems.getvalue().strip())
    print(f"{2 * len(messages) / elapsed:.0f} encode or decode calls per second")
    return 0 if received == expected else 1


def main(argv):
    if len(argv) == 1:
        return demo()
    if len(argv) != 3 or argv[1] not in ("encode", "decode"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    key = argv[2]
    if argv[1] == "encode":
        write_messages(sys.stdout, (line.rstrip("\r\n") for line in sys.stdin), key)
    else:
        for message in read_messages(sys.stdin, key):
            print(message)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
