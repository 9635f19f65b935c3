"""Memory and time of encode_file and decode_file on a large file.

For each function, one row: the peak resident memory growth of the call in a
fresh child process, for the chunked conversion and for the whole-file path
(forced by rebinding the codec function to a wrapper), and the time of the
two measured side by side (alternating, medians).

    python bench/bench_files.py [--size MIB] [--repeat N] [--dir DIR]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

CHILD = """
import resource, sys, time, velkorenc
function, source, target, whole = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "1"
if whole:
    codec = "encode_bytes" if function == "encode_file" else "decode_bytes"
    own = getattr(velkorenc, codec)
    setattr(velkorenc, codec, lambda value, key: own(value, key))
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
before = peak()
start = time.perf_counter()
getattr(velkorenc, function)(source, target, "bench key")
print(time.perf_counter() - start, (peak() - before) / 1024)
"""


def run(function, source, target, whole):
    out = subprocess.run([sys.executable, "-c", CHILD, function, source, target,
                          "1" if whole else "0"], check=True, capture_output=True, text=True)
    seconds, growth = out.stdout.split()
    return float(seconds), float(growth)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=256, help="MiB of random data")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--dir", default=None, help="where the files go")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as work:
        data, text, out = (os.path.join(work, n) for n in ("data", "text", "out"))
        with open(data, "wb") as f:
            for _ in range(args.size):
                f.write(os.urandom(1 << 20))
        rows = [("encode_file", data, text), ("decode_file", text, out)]
        print(f"{'function':<12} {'MiB in':>7} {'RSS chunked':>12} {'RSS whole':>10} "
              f"{'s chunked':>10} {'s whole':>8} {'ratio':>6}")
        for function, source, target in rows:
            chunked, whole = [], []
            run(function, source, target, False)  # warm the page cache, make the text
            for _ in range(args.repeat):
                chunked.append(run(function, source, target, False))
                try:
                    whole.append(run(function, source, target, True))
                except subprocess.CalledProcessError:
                    whole.append((float("nan"), float("nan")))  # out of memory
            t_chunked = statistics.median(t for t, _ in chunked)
            t_whole = statistics.median(t for t, _ in whole)
            size = os.path.getsize(source) >> 20
            print(f"{function:<12} {size:>7} {max(m for _, m in chunked):>10.1f}Mi "
                  f"{max(m for _, m in whole):>8.1f}Mi {t_chunked:>10.2f} {t_whole:>8.2f} "
                  f"{t_whole / t_chunked:>6.2f}")
            if function == "encode_file":
                run(function, source, target, False)  # the text for decode_file


if __name__ == "__main__":
    main()
