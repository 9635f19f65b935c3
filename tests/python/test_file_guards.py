"""encode_file and decode_file beside other conversions, audit hooks and
files that are not regular: no interleaving, one version of a changing
input, open's own events, Ctrl-C on an endless input, a pipe fed directly."""
import fcntl
import itertools
import json
import os
import subprocess
import sys
import threading
import time
import unittest

import velkorenc
from support import BUILD_DIR, DirectoryCase, run_child

v = velkorenc
KEY = "k"


CHILD_ENV = dict(os.environ, **({"PYTHONPATH": BUILD_DIR} if BUILD_DIR else {}))


def write_file(path, content):
    with open(path, "wb") as f:
        f.write(content)


def in_threads(*calls, pause=0.0):
    """Runs each call on a daemon thread, all starting together or `pause`
    seconds apart, and returns whether all ended within half a minute."""
    start = threading.Barrier(len(calls))

    def run(index, call):
        start.wait()
        time.sleep(index * pause)
        call()

    threads = [threading.Thread(target=run, args=item, daemon=True) for item in enumerate(calls)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    return not any(t.is_alive() for t in threads)


class Locking(DirectoryCase):
    def test_conversions_of_one_file_wait_for_each_other(self):
        # Two in-place encodes at once, in two processes and in two threads,
        # of a file replaced by rename (one link) or written over (two): the
        # second waits for the first and encodes its text.
        path, link = self.path("f"), self.path("link")
        code = ("import sys, velkorenc\nfor line in sys.stdin:\n"
                f"    velkorenc.encode_file({path!r}, {path!r}, {KEY!r})\n    print(flush=True)\n")
        workers = [subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True, env=CHILD_ENV)
                   for _ in range(2)]
        for w in workers:
            self.addCleanup(w.communicate)
            self.addCleanup(w.kill)

        def in_processes():
            for w in workers:
                print(file=w.stdin, flush=True)
            return [w.stdout.readline() for w in workers] == ["\n"] * 2

        runs = [in_processes, lambda: in_threads(*[lambda: v.encode_file(path, path, KEY)] * 2)]
        for links, run, attempt in itertools.product((1, 2), runs, range(3)):
            with self.subTest(links=links, processes=run is in_processes, attempt=attempt):
                data = os.urandom(64 << 10)
                write_file(path, data)
                if links == 2:
                    os.link(path, link)
                finished = run()
                with open(path, "rb") as f:
                    result = f.read()
                if links == 2:
                    self.assertTrue(os.path.samefile(path, link))
                    os.remove(link)
                self.assertTrue(finished)
                self.assertEqual(result, v.encode_bytes(v.encode_bytes(data, KEY).encode(), KEY).encode())

    def test_a_pipe_fed_from_the_output_it_replaces(self):
        # decode_file(f.vk, pipe) feeding encode_file(pipe, f.vk): the
        # encoder must not lock f.vk while it waits for the pipe to end.
        path, plain = self.path("f.vk"), self.path("plain")
        write_file(plain, b"data")
        v.encode_file(plain, path, "old")
        # The decoder starts last, so that the encoder is waiting by then.
        child = ("import sys, time, velkorenc\ntime.sleep(float(sys.argv[4]))\n"
                 "velkorenc.{}_file(sys.argv[1], sys.argv[2], sys.argv[3])\n")
        decoder = subprocess.Popen([sys.executable, "-c", child.format("decode"), path,
                                    "/dev/stdout", "old", "0.5"], stdout=subprocess.PIPE, env=CHILD_ENV)
        encoder = subprocess.run([sys.executable, "-c", child.format("encode"), "/dev/stdin",
                                  path, "new", "0"], stdin=decoder.stdout, env=CHILD_ENV, timeout=30)
        decoder.stdout.close()
        self.assertEqual((decoder.wait(60), encoder.returncode), (0, 0))
        with open(path) as f:
            self.assertEqual(v.decode_bytes(f.read(), "new"), b"data")

    def test_crossed_conversions_finish(self):
        # a to b beside b to a, each holding one file and wanting the other
        # (a lock of the test's own on b keeps the first waiting until the
        # second has begun); then a to a link of a, one file by two names.
        a, b = self.path("a"), self.path("b")
        for name in (a, b):
            write_file(name, os.urandom(1000))
        holder = open(b, "rb")
        fcntl.flock(holder, fcntl.LOCK_SH)
        threading.Timer(0.5, holder.close).start()
        self.assertTrue(in_threads(lambda: v.encode_file(a, b, KEY),
                                   lambda: v.encode_file(b, a, KEY), pause=0.2))
        os.remove(b)
        os.link(a, b)
        self.assertTrue(in_threads(lambda: v.encode_file(a, b, KEY)))

    def test_a_waiting_conversion_lets_others_run_and_ctrl_c_ends_it(self):
        result = run_child(f"""
            import fcntl, os, signal, threading, time, velkorenc
            path = {self.path("held")!r}
            with open(path, "wb") as f:
                f.write(b"data")
            holder = open(path, "rb")
            fcntl.flock(holder, fcntl.LOCK_SH)
            waiter = threading.Thread(target=velkorenc.encode_file, args=(path, path))
            waiter.start()
            ticks = 0
            end = time.monotonic() + 0.3
            while time.monotonic() < end:
                ticks += 1
            print(waiter.is_alive(), ticks > 1000, open(path, "rb").read())
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                velkorenc.decode_file(path, path)
            except KeyboardInterrupt:
                print("interrupted", open(path, "rb").read())
            fcntl.flock(holder, fcntl.LOCK_UN)
            waiter.join()
            print(open(path).read() == velkorenc.encode_bytes(b"data"))
        """)
        self.assertEqual(result.stdout, "True True b'data'\ninterrupted b'data'\nTrue\n")


class ChangingInput(DirectoryCase):
    def test_a_text_written_while_it_is_read(self):
        # One byte of a text keeps flipping between 0xff and its own value:
        # every decode gives the data or the error of reading the text with
        # 0xff in it, never one of another version.
        data = os.urandom(100_000)
        text = v.encode_bytes(data, KEY).encode()
        path, where = self.path("text"), 20
        write_file(path, text)
        flipper = subprocess.Popen([sys.executable, "-c", (
            f"import os\nfd = os.open({path!r}, os.O_WRONLY)\n"
            f"while True:\n    for b in b'\\xff', {text[where:where + 1]!r}:\n"
            f"        os.pwrite(fd, b, {where})\n")])
        self.addCleanup(lambda: flipper.kill() or flipper.wait())
        outcomes = set()
        end = time.monotonic() + 1.5
        while time.monotonic() < end or len(outcomes) < 2 and time.monotonic() < end + 30:
            try:
                v.decode_file(path, self.path("out"), KEY)
                with open(self.path("out"), "rb") as f:
                    outcomes.add(("ok", f.read() == data))
            except UnicodeDecodeError as exc:
                outcomes.add(("not utf-8", exc.start, exc.reason, exc.object[exc.start]))
            except Exception as exc:  # noqa: BLE001 - any other outcome is the fault
                outcomes.add((type(exc).__name__, str(exc)))
        self.assertEqual(outcomes, {("ok", True), ("not utf-8", where, "invalid start byte", 0xff)})


AUDIT_CHILD = r"""
import json, os, sys
import velkorenc as V
directory = sys.argv[1]
events, actions = [], {}

def hook(event, args):
    if event == "open" and isinstance(args[0], str) and args[0].startswith(directory):
        events.append([os.path.basename(args[0]), args[1], args[2]])
        action = actions.pop(os.path.basename(args[0]), None)
        if action:
            action()

sys.addaudithook(hook)
path = lambda name: os.path.join(directory, name)

def put(name, content):
    with open(path(name), "wb") as f:
        f.write(content)

get = lambda name: open(path(name), "rb").read()

def reference(encoding, source, target, key):
    # What the file functions do, with the built-in open.
    with open(source, "rb" if encoding else "r", encoding=None if encoding else "utf-8") as f:
        result = (V.encode_bytes if encoding else V.decode_bytes)(f.read(), key)
    with open(target, "w" if encoding else "wb", encoding="utf-8" if encoding else None) as f:
        f.write(result)

own = V.encode_bytes, V.decode_bytes

def run(way, encoding, source, target, key="k"):
    if way == "whole":
        V.encode_bytes = lambda d, k: own[0](d, k)
        V.decode_bytes = lambda t, k: own[1](t, k)
    events.clear()
    try:
        if way == "reference":
            reference(encoding, path(source), path(target), key)
        else:
            (V.encode_file if encoding else V.decode_file)(path(source), path(target), key)
        outcome = "ok"
    except Exception as exc:
        outcome = type(exc).__name__
    finally:
        V.encode_bytes, V.decode_bytes = own
    return [outcome, list(events)]

def refuse():
    raise PermissionError("refused by the hook")

report = {}
put("in", os.urandom(3000))
for way in ("chunked", "whole", "reference"):
    seen = [run(way, True, "in", "text"), run(way, False, "text", "out"),
            run(way, False, "text", "out", "wrong"), run(way, True, "missing", "text")]
    put("old", b"old")
    for name in ("in", "old"):
        actions[name] = refuse
        seen.append(run(way, True, "in", "old") + [get("old").decode(), sorted(os.listdir(directory))])
    actions["in"] = lambda: setattr(V, "encode_bytes", lambda d, k: "rebound")
    seen.append(run(way, True, "in", "new") + [get("new").decode()])
    os.remove(path("new"))
    report[way] = seen
# Input changed when the output is opened, after the first pass: the text is
# that of one version, and the output is opened once.
noise, compressible = os.urandom(3 << 20), b"spam " * 100_000
put("noise", noise)
actions["noise.txt"] = lambda: put("noise", compressible)
outcome = run("chunked", True, "noise", "noise.txt")
text = get("noise.txt").decode()
report["changed"] = [outcome, text in (V.encode_bytes(noise, "k"), V.encode_bytes(compressible, "k"))]
# A stream that is kept though it holds stored blocks, whose bytes the second
# pass reads from the input again: changed there, the text is the new one's.
mixed = os.urandom(2 << 20) + b"spam " * 1_000_000
mixed_changed = mixed[:1000] + bytes(1000) + mixed[2000:]
put("mixed", mixed)
actions["mixed.txt"] = lambda: put("mixed", mixed_changed)
outcome = run("chunked", True, "mixed", "mixed.txt")
report["changed stored blocks"] = [outcome[0], get("mixed.txt").decode() == V.encode_bytes(mixed_changed, "k"),
                                   V.decode_bytes(V.encode_bytes(mixed, "k"), "k") == mixed]
# The same with the text going straight to a FIFO: what went out, cut before
# its checksum, stays.
import threading
put("noise", noise)
os.mkfifo(path("fifo"))
received = []
reader = threading.Thread(target=lambda: received.append(get("fifo")))
reader.start()
actions["fifo"] = lambda: put("noise", compressible)
report["changed straight"] = run("chunked", True, "noise", "fifo")[0]
reader.join()
try:
    V.decode_bytes(received[0].decode(), "k")
except V.VelkorError:
    report["changed straight"] += ", refused"
print(json.dumps(report))
"""


class AuditEvents(DirectoryCase):
    def test_open_events_are_those_of_the_whole_file_path(self):
        result = subprocess.run([sys.executable, "-c", AUDIT_CHILD, self.dir.name + os.sep],
                                capture_output=True, text=True, env=CHILD_ENV, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        report = json.loads(result.stdout)
        self.assertEqual(report["chunked"], report["reference"])
        self.assertEqual(report["whole"], report["reference"])
        # Each case did what it is there for: the events and the outcome.
        r, w = ["r", 524288], ["w", 524865]
        self.assertEqual([[outcome, [e[0] for e in events]] + rest
                          for outcome, events, *rest in report["reference"]], [
            ["ok", ["in", "text"]], ["ok", ["text", "out"]], ["InvalidChecksumError", ["text"]],
            ["FileNotFoundError", ["missing"]],
            ["PermissionError", ["in"], "old", ["in", "old", "out", "text"]],
            ["PermissionError", ["in", "old"], "old", ["in", "old", "out", "text"]],
            ["ok", ["in", "new"], "rebound"]])
        self.assertEqual(report["reference"][0][1], [["in"] + r, ["text"] + w])
        self.assertEqual(report["changed straight"], "RuntimeError, refused")
        self.assertEqual(report["changed stored blocks"], ["ok", True, True])
        self.assertEqual(report["changed"],
                         [["ok", [["noise"] + r, ["noise.txt"] + w, ["noise"] + w]], True])


class SpecialFiles(DirectoryCase):
    def test_ctrl_c_ends_reading_an_endless_input(self):
        result = run_child("""
            import os, resource, signal, threading, time, velkorenc
            if "ASAN_OPTIONS" not in os.environ:  # whose shadow memory needs more
                resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
            for function in (velkorenc.encode_file, velkorenc.decode_file):
                threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
                start = time.monotonic()
                try:
                    function("/dev/zero", os.devnull)
                    print("finished")
                except KeyboardInterrupt:
                    print("interrupted", time.monotonic() - start < 10)
        """)
        self.assertEqual(result.stdout, "interrupted True\n" * 2)

    def test_text_from_a_fifo_reads_as_text_mode_reads_it(self):
        # Decoded as it arrives from a FIFO, the text gives what the same
        # bytes in a regular file give: universal newlines, strict UTF-8.
        good = v.encode_bytes(os.urandom(50_000), KEY).encode()
        fifo, regular = self.path("fifo"), self.path("regular")
        os.mkfifo(fifo)
        for content in (good, good + b"\r\n", good[:30] + b"\r" + good[31:], good[:99] + b"\xff"):
            with self.subTest(content[-3:]):
                write_file(regular, content)
                writer = threading.Thread(target=write_file, args=(fifo, content))
                writer.start()
                outcomes = []
                for source in (fifo, regular):
                    try:
                        v.decode_file(source, self.path("out"), KEY)
                        with open(self.path("out"), "rb") as f:
                            outcomes.append(f.read())
                    except (ValueError, v.VelkorError) as exc:
                        outcomes.append((type(exc), str(exc), getattr(exc, "object", None)))
                writer.join()
                self.assertEqual(outcomes[0], outcomes[1])

    def test_a_pipe_gets_the_text_without_a_spool_of_it(self):
        # Written to a pipe, the text of 8 MiB of noise (72 MB) needs no more
        # file space than the zlib stream (8 MiB): the child may not write
        # files larger than 12 MiB.
        result = run_child(f"""
            import os, resource, signal, threading, velkorenc
            data = os.urandom(8 << 20)
            source = {self.path("noise")!r}
            with open(source, "wb") as f:
                f.write(data)
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (12 << 20, 12 << 20))
            r, w = os.pipe()
            received = []
            reader = threading.Thread(target=lambda: received.append(open(r, "rb").read()))
            reader.start()
            velkorenc.encode_file(source, "/proc/self/fd/%d" % w)
            os.close(w)
            reader.join()
            print(received[0] == velkorenc.encode_bytes(data).encode())
        """)
        self.assertEqual(result.stdout, "True\n")


if __name__ == "__main__":
    unittest.main()
