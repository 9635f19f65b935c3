"""Several threads encoding and decoding different data with different keys
at once, with the interpreter switching between them as often as it can:
every result must be the one that the call gives alone."""
import os
import random
import sys
import tempfile
import threading
import time
import unittest

import velkorenc
import oracle

v = velkorenc
THREADS = 6
ROUNDS = 40


class Threads(unittest.TestCase):
    def setUp(self):
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        self.addCleanup(sys.setswitchinterval, interval)

    def test_concurrent_codec_calls(self):
        rng = random.Random(77)
        jobs = []
        for t in range(THREADS):
            key = ["QJX", "k", "ключ", "🔑 key", "a longer key for thread four", "\0x"][t]
            data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 400)))
            text = "thread %d " % t * (t + 1) + "ü" * t
            jobs.append((key, data, text, oracle.encode_bytes(data, key),
                         oracle.encode_bytes(text.encode(), key), oracle.tables(key)))
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        errors = []
        start = threading.Barrier(THREADS)

        def wrong_key(encoded, key):
            try:
                v.decode(encoded, "not the key " + key)
            except v.InvalidChecksumError:
                return "refused"
            return "accepted"

        def work(index, key, data, text, encoded_data, encoded_text, tables):
            source = os.path.join(directory.name, f"in{index}")
            target = os.path.join(directory.name, f"out{index}")
            with open(source, "wb") as f:
                f.write(data)
            try:
                start.wait()
                for _ in range(ROUNDS):
                    results = [
                        (v.encode_bytes(data, key), encoded_data),
                        (v.decode_bytes(encoded_data, key), data),
                        (v.encode(text, key), encoded_text),
                        (v.decode(encoded_text, key), text),
                        (wrong_key(encoded_text, key), "refused"),
                        (v.generate_table(key), tables),
                    ]
                    v.encode_file(source, target, key)
                    v.decode_file(target, target, key)
                    with open(target, "rb") as f:
                        results.append((f.read(), data))
                    errors.extend((index, got, want) for got, want in results if got != want)
            except Exception as exc:  # noqa: BLE001 - reported by the main thread
                errors.append((index, exc))

        threads = [threading.Thread(target=work, args=(i, *job)) for i, job in enumerate(jobs)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
            self.assertFalse(thread.is_alive())
        self.assertEqual(errors, [])

    def test_other_threads_run_during_large_calls(self):
        # Long enough calls (tens of milliseconds on two threads) that the
        # scheduler's delay in giving the spinner a core, on a machine busy
        # with other work, stays well below half of one.
        data = random.Random(78).randbytes(16 << 20)
        calls = [("encode_bytes", v.encode_bytes, data),
                 ("decode_bytes", v.decode_bytes, v.encode_bytes(data))]
        stamps, stop = [], threading.Event()

        def spin():
            last = 0.0
            while not stop.is_set():
                now = time.perf_counter()
                if now - last > 1e-4:
                    stamps.append(now)
                    last = now

        spinner = threading.Thread(target=spin)
        spinner.start()
        try:
            for name, call, argument in calls:
                with self.subTest(name):
                    # Held for the call, the GIL would keep the spinner out of
                    # all of it; let go of around the native work, it lets the
                    # spinner in all along.  A busy machine may not give the
                    # spinner a core at once, so it has a few calls to do so.
                    for _ in range(10):
                        stamps.clear()
                        entered = time.perf_counter()
                        call(argument)
                        left = time.perf_counter()
                        points = [entered] + [t for t in stamps if entered < t < left] + [left]
                        longest_out = max(b - a for a, b in zip(points, points[1:]))
                        if longest_out < (left - entered) / 2:
                            break
                    self.assertLess(longest_out, (left - entered) / 2)
        finally:
            stop.set()
            spinner.join()


if __name__ == "__main__":
    unittest.main()
