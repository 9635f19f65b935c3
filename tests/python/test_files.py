"""encode_file and decode_file on large files, in chunks, and the output's
replacement: the same bytes and the same failures as reading the whole file,
an output that keeps its identity, and nothing left behind on failure."""
import contextlib
import ctypes
import fcntl
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import unittest
import zlib

import oracle
import velkorenc
from support import BUILD_DIR, DirectoryCase, rebound, run_child

v = velkorenc
MIB = 1 << 20
KEY = "ключ"
# The chunk sizes of the conversions: payload 1 MiB, spool 4 MiB, text 4 MiB.
SIZES = [0, 1, 10, MIB - 1, MIB, MIB + 1, 4 * MIB + 3]
TEXT_CHUNK = 4 * MIB
IN_CREATE = 0x100  # inotify's event for a new name in a directory


def whole_file_path():
    """Rebinds the codec functions to wrappers, which the file functions
    must call: this forces the path that reads the whole file."""
    encode_bytes, decode_bytes = v.encode_bytes, v.decode_bytes
    return rebound(encode_bytes=lambda data, key: encode_bytes(data, key),
                   decode_bytes=lambda text, key: decode_bytes(text, key))


@contextlib.contextmanager
def on_each_new_file(directory, handler):
    """Runs handler() on the main thread once a file is made in `directory`:
    the kernel sends SIGIO while the call that makes it is still running, so
    the handler runs at the next point where the interpreter looks at
    signals (before any more Python code runs, or between two chunks of a
    conversion), however the machine schedules the process."""
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "inotify_init1")

    def on_signal(signum, frame):
        try:
            while os.read(fd, 1 << 16):  # the events are not needed
                pass
        except OSError:
            pass
        handler()

    previous = signal.signal(signal.SIGIO, on_signal)
    try:
        if libc.inotify_add_watch(fd, os.fsencode(directory), IN_CREATE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        fcntl.fcntl(fd, fcntl.F_SETOWN, os.getpid())
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_ASYNC)
        yield
    finally:
        os.close(fd)
        signal.signal(signal.SIGIO, previous)


def failure(call, *args):
    try:
        call(*args)
    except Exception as exc:  # noqa: BLE001 - the failure is what is compared
        details = (type(exc), str(exc))
        if isinstance(exc, UnicodeDecodeError):
            details += (exc.start, exc.end, exc.reason, len(exc.object))
        if isinstance(exc, OSError):
            details += (exc.errno, exc.filename)
        return details
    return None


class FileCase(DirectoryCase):
    def write(self, name, content):
        with open(self.path(name), "wb") as f:
            f.write(content)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assert_no_leftovers(self, *names):
        self.assertEqual(sorted(os.listdir(self.dir.name)), sorted(names))


class Streaming(FileCase):
    def test_same_bytes_as_the_whole_file_path(self):
        rng = random.Random(12)
        for size in SIZES:
            for kind, data in [("random", rng.randbytes(size)),
                               ("repetitive", (b"0123456789abcdef" * (size // 16 + 1))[:size])]:
                with self.subTest(size=size, kind=kind):
                    source = self.write("in", data)
                    v.encode_file(source, self.path("enc"), KEY)
                    with whole_file_path():
                        v.encode_file(source, self.path("enc.whole"), KEY)
                    self.assertEqual(self.read("enc"), self.read("enc.whole"))
                    v.decode_file(self.path("enc"), self.path("out"), KEY)
                    self.assertEqual(self.read("out"), data)
        self.assert_no_leftovers("in", "enc", "enc.whole", "out")

    def test_text_written_ahead_while_deflating(self):
        # From 16 MiB on, an input whose stream so far is stored blocks has
        # the stored frame's text written while it is deflated: kept when
        # the frame is stored; thrown away when other blocks grow (hex
        # digits deflate to about half), or when the stream ends shorter
        # than the data after all.
        rng = random.Random(17)
        noise = rng.randbytes(20 * MIB)
        cases = {"noise": noise,
                 "noise, then hex digits": noise[:12 * MIB] + rng.randbytes(6 * MIB).hex().encode(),
                 "noise, then a little zeros": noise[:17 * MIB] + bytes(MIB)}
        for name, data in cases.items():
            with self.subTest(name):
                source = self.write("in", data)
                v.encode_file(source, self.path("enc"), KEY)
                with whole_file_path():
                    v.encode_file(source, self.path("enc.whole"), KEY)
                self.assertEqual(self.read("enc"), self.read("enc.whole"))
        self.assert_no_leftovers("in", "enc", "enc.whole")

    def test_texts_whose_last_chunk_holds_few_tokens(self):
        # The last text chunk holds the end of a token and 0 to 3 whole
        # tokens after it, past the first chunk and past the second.
        # A text of n frame bytes is 12 + 9 * n - 1 characters long.
        rng = random.Random(13)
        for chunks in (1, 2):
            end_of_token = chunks * TEXT_CHUNK + (11 - chunks * TEXT_CHUNK) % 9
            for tokens in range(4):
                length = end_of_token + 9 * tokens
                with self.subTest(length=f"{chunks * 4} MiB + {length - chunks * TEXT_CHUNK}"):
                    data = rng.randbytes((length - 11) // 9 - 5)  # stored: frame is 5 bytes more
                    text = v.encode_bytes(data, KEY)
                    self.assertEqual(len(text), length)
                    v.decode_file(self.write("text", text.encode()), self.path("out"), KEY)
                    self.assertEqual(self.read("out"), v.decode_bytes(text, KEY))
                    self.assertEqual(self.read("out"), data)

    def test_stream_that_outgrows_the_spool_memory(self):
        # Hexadecimal digits deflate to a little over half their size: a
        # stream of more than 4 MiB, which the spool moves to a file.  With
        # noise among them, the stream also holds stored blocks, whose bytes
        # the spool reads from the input again, between those it holds.
        rng = random.Random(14)
        hex_digits = rng.randbytes(6 * MIB).hex().encode()
        noise = [rng.randbytes(size) for size in (300_001, 70_000, 1_000_003)]
        with_noise = (hex_digits[:MIB - 5] + noise[0] + hex_digits[MIB - 5:5 * MIB] + noise[1] +
                      hex_digits[5 * MIB:9 * MIB + 77] + noise[2] + hex_digits[9 * MIB + 77:])
        for name, data in [("hex digits", hex_digits), ("with noise", with_noise)]:
            with self.subTest(name):
                source = self.write("in", data)
                v.encode_file(source, self.path("enc"), KEY)
                text = v.encode_bytes(data, KEY)
                self.assertGreater((len(text) - 11) // 9 - 5, 4 * MIB)  # the payload
                self.assertEqual(self.read("enc"), text.encode())

    def test_chunked_deflate_is_one_call(self):
        # The encoder relies on it: a level-6 stream fed in pieces is the
        # stream of one call, whatever the pieces.
        rng = random.Random(3)
        data = b"".join(rng.choice([b"spam ", b"eggs ", rng.randbytes(7)]) for _ in range(200_000))
        for piece in (1, 1000, MIB, 3 * MIB + 1):
            with self.subTest(piece=piece):
                z = zlib.compressobj(6)
                chunks = [z.compress(data[i:i + piece]) for i in range(0, len(data), piece)]
                self.assertEqual(b"".join(chunks) + z.flush(), zlib.compress(data, 6))

    def test_failures_match_the_whole_file_path(self):
        # A stored frame whose text spans two text chunks.
        good = v.encode_bytes(random.Random(7).randbytes(600_000), KEY).encode()
        self.assertGreater(len(good), 4 * MIB + 100)
        body = good[12:]
        boundary = 4 * MIB  # where the first text chunk ends
        token = b"qzqzqzqz"
        cases = {
            "bad header": b"X" + good[1:],
            "header only": good[:12],
            "short file": good[:5],
            "bom": b"\xef\xbb\xbf" + good,
            "trailing delimiter": good + b"~",
            "trailing line break": good + b"\r\n",
            "carriage return inside": good[:100] + b"\r" + good[101:],
            "bad token across the chunk end": good[:boundary - 3] + b"Q" + good[boundary - 2:],
            "empty piece at the chunk end": good[:boundary - 1] + b"~" + good[boundary:],
            "one long piece": b"VELKORENCV2:" + b"q" * (5 * MIB),
            "too short": b"VELKORENCV2:" + b"~".join([token] * 4),
            "wrong key": v.encode_bytes(b"x" * 1000, "other").encode(),
            "cut": good[:-9],
            "not utf-8 after a bad token": b"VELKORENCV2:?" + body[:boundary] + b"\xff" + body[boundary:],
            "not utf-8 across the chunk end": good[:boundary - 1] + b"\xe2\x82" + good[boundary + 1:],
            "truncated utf-8 at the end": good + b"\xf0\x9f\x98",
            "surrogate": good[:50] + b"\xed\xa0\x80" + good[53:],
        }
        # Frames with flag 1 and a good checksum whose stream fails: at once,
        # part way, or only at its end; and one whose checksum fails too.
        stream = zlib.compress(os.urandom(3 * MIB), 6)
        for name, frame in [("no stream", b"\x01"), ("broken part way", b"\x01" + stream[:MIB] +
                            bytes(100) + stream[MIB:]), ("stream cut", b"\x01" + stream[:-1])]:
            cases["zlib: " + name] = oracle.text_of_frame(frame + oracle.crc(frame), KEY).encode()
        frame = b"\x01" + stream[:-1]
        cases["zlib and checksum"] = oracle.text_of_frame(frame + bytes(4), KEY).encode()
        existing = self.write("existing", b"keep me")
        for name, text in cases.items():
            with self.subTest(name=name):
                source = self.write("text", text)
                got = failure(v.decode_file, source, existing, KEY)
                with whole_file_path():
                    expected = failure(v.decode_file, source, existing, KEY)
                self.assertIsNotNone(got)
                self.assertEqual(got, expected)
                self.assertEqual(self.read("existing"), b"keep me")
                self.assert_no_leftovers("text", "existing")

    def test_memory_stays_bounded(self):
        # Peak memory of a child converting 24 MiB of random data, and its
        # 216 MB text, grows by far less than either; the text, written
        # behind and dropped from the cache as it goes, gives the data back.
        result = run_child(f"""
            import os, resource, velkorenc
            directory = {self.dir.name!r}
            source, text = os.path.join(directory, "in"), os.path.join(directory, "text")
            data = os.urandom(24 << 20)
            with open(source, "wb") as f:
                f.write(data)
            peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10
            before = peak()
            velkorenc.encode_file(source, text)
            velkorenc.decode_file(text, source)
            grown = peak() - before
            with open(source, "rb") as f:
                same = f.read() == data
            print(grown < 20, os.path.getsize(text) > 200 << 20, same)
        """)
        self.assertEqual(result.stdout, "True True True\n")

    def test_output_errors_come_after_decoding(self):
        text = self.write("text", v.encode_bytes(b"data", KEY).encode())
        missing = self.path("no/such/dir/out")
        self.assertEqual(failure(v.decode_file, text, missing, KEY)[:1], (FileNotFoundError,))
        self.assertEqual(failure(v.decode_file, text, missing, KEY)[-1], missing)
        self.assertIs(failure(v.decode_file, text, missing, "wrong")[0], v.InvalidChecksumError)
        self.assertEqual(failure(v.encode_file, text, missing, KEY)[-1], missing)

    def test_large_error_object(self):
        # A bad sequence far into a large text: positions are the file's;
        # the object has the file's length and holds the 64 KiB before the
        # sequence, the sequence and the 64 KiB after it, zeros elsewhere.
        text = b"VELKORENCV2:" + b"q" * (70 * MIB) + b"\xe2\x82" + b"z" * (100 << 10)
        source = self.write("text", text)
        with self.assertRaises(UnicodeDecodeError) as caught:
            v.decode_file(source, self.path("out"), KEY)
        exc = caught.exception
        self.assertEqual((exc.start, exc.end, exc.reason), (12 + 70 * MIB, 14 + 70 * MIB,
                                                            "invalid continuation byte"))
        self.assertEqual(str(exc), f"'utf-8' codec can't decode bytes in position "
                                   f"{exc.start}-{exc.end - 1}: invalid continuation byte")
        self.assertEqual(len(exc.object), len(text))
        window = 64 << 10
        kept = slice(exc.start - window, exc.end + window)
        self.assertEqual(exc.object[kept], text[kept])
        self.assertEqual((exc.object[kept.start - 1], exc.object[kept.stop]), (0, 0))

    def test_interrupt_removes_the_temporary_files(self):
        result = run_child(f"""
            import os, signal, sys, threading, time
            import velkorenc
            directory = {self.dir.name!r}
            source = os.path.join(directory, "big")
            with open(source, "wb") as f:
                f.write(os.urandom(48 << 20))

            def interrupt_once_written():
                # Ctrl-C once the text has begun to go to its temporary file.
                deadline = time.monotonic() + 10
                while time.monotonic() < deadline:
                    if any(name != "big" for name in os.listdir(directory)):
                        os.kill(os.getpid(), signal.SIGINT)
                        return
                    time.sleep(0.001)

            for fn, args in [(velkorenc.encode_file, (source, source)),
                             (velkorenc.encode_file, (source, source + ".txt"))]:
                threading.Thread(target=interrupt_once_written).start()
                start = time.monotonic()
                try:
                    fn(*args)
                    print("finished")
                except KeyboardInterrupt:
                    print("interrupted", time.monotonic() - start < 1.5)
                print(sorted(os.listdir(directory)))
        """)
        self.assertEqual(result.stdout, "interrupted True\n['big']\n" * 2)
        self.assertEqual(os.path.getsize(self.path("big")), 48 << 20)

    def test_zlib_is_reached_as_the_whole_file_path_reaches_it(self):
        # A zlib whose functions are patched, or a stand-in for it, sees the
        # same lookups and calls as when the whole file is read.
        data = b"abc" * 1000
        source = self.write("in", data)
        text = self.write("text", v.encode_bytes(data, KEY).encode())
        seen = []
        own = {name: getattr(zlib, name) for name in ("compress", "crc32", "decompress")}

        def spy(name):
            return lambda *args, **kwargs: seen.append(name) or own[name](*args, **kwargs)

        class StandIn:
            def __getattr__(self, name):
                seen.append("." + name)
                return getattr(zlib, name)

        def assert_as_whole_file(**zlib_names):
            for function, args in [(v.encode_file, (source, self.path("out"), KEY)),
                                   (v.decode_file, (text, self.path("back"), KEY))]:
                log = []
                for forced in (False, True):
                    seen.clear()
                    with (whole_file_path() if forced else rebound()), rebound(**zlib_names):
                        function(*args)
                    log.append(list(seen))
                self.assertEqual(log[0], log[1], function.__name__)
                calls.extend(log[1])

        for patched in own:
            with self.subTest(patched=patched):
                calls = []
                setattr(zlib, patched, spy(patched))
                try:
                    assert_as_whole_file()
                finally:
                    setattr(zlib, patched, own[patched])
                self.assertIn(patched, calls)
        with self.subTest("stand-in"):
            calls = []
            assert_as_whole_file(zlib=StandIn())
            self.assertEqual(calls, [".compress", ".crc32", ".crc32", ".decompress"])

    def test_a_flag_of_the_callers_is_converted_once(self):
        # Reading a flag that is not an int runs its __index__: the chunked
        # path must leave that to the whole-file path it then falls back to.
        source = self.write("in", random.Random(5).randbytes(1000))
        calls = []

        class Flag:
            def __index__(self):
                calls.append(1)
                return 300

        for forced in (False, True):
            calls.clear()
            with (whole_file_path() if forced else rebound()), rebound(_UNCOMPRESSED=Flag()):
                got = failure(v.encode_file, source, self.path("out"), KEY)
            self.assertEqual((got, len(calls)), ((ValueError, "bytes must be in range(0, 256)"), 1))
        self.assert_no_leftovers("in")

    def test_tokens_with_line_breaks_are_read_as_text_mode_reads_them(self):
        # A token ending in "\n", stored with "\r\n": reading the text turns
        # that back into the token; a token ending in "\r" is never read.
        data = random.Random(6).randbytes(4000)
        for token, written_as, expected in [("zzzzzzq\n", "\r\n", None),
                                            ("zzzzzzq\r", "\r", v.InvalidTokenError)]:
            with self.subTest(token=token):
                tokens = list(v._BASE_TOKENS)
                tokens[0x41] = token
                with rebound(_BASE_TOKENS=tokens):
                    text = v.encode_bytes(data, KEY)
                    self.assertIn(token, text)
                    source = self.write("text", text.replace(token[-1], written_as).encode())
                    got = failure(v.decode_file, source, self.path("out"), KEY)
                self.assertEqual(got and got[0], expected)
                if expected is None:
                    self.assertEqual(self.read("out"), data)

    def test_outputs_that_are_not_regular_files(self):
        data = os.urandom(3 * MIB)
        source = self.write("in", data)
        v.encode_file(source, os.devnull, KEY)
        v.encode_file(source, self.path("enc"), KEY)
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        received = []
        def read_fifo():
            with open(fifo, "rb") as f:
                received.append(f.read())
        reader = threading.Thread(target=read_fifo)
        reader.start()
        v.decode_file(self.path("enc"), fifo, KEY)
        reader.join()
        self.assertEqual(received, [data])


    def test_fifo_input(self):
        # The writer is still writing, in pieces, while the input is read:
        # the text is that of everything it wrote.
        data = random.Random(15).randbytes(3 * MIB)
        fifo = self.path("fifo")
        os.mkfifo(fifo)

        def feed():
            try:
                with open(fifo, "wb") as f:
                    for at in range(0, len(data), 100_000):
                        f.write(data[at:at + 100_000])
            except BrokenPipeError:
                pass  # the reader gave up: the comparison below fails

        writer = threading.Thread(target=feed)
        writer.start()
        try:
            v.encode_file(fifo, self.path("enc"), KEY)
        finally:
            if writer.is_alive():  # still waiting for a reader: let it go
                os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
            writer.join()
        self.assertEqual(self.read("enc"), v.encode_bytes(data, KEY).encode())

    def test_interrupt_while_a_fifo_output_waits(self):
        # Ctrl-C while the result waits for a reader that opened the FIFO but
        # reads nothing, and while the open waits for any reader at all.
        result = run_child(f"""
            import os, signal, threading, time
            import velkorenc
            signal.alarm(20)  # a wait that Ctrl-C cannot end ends the test
            directory = {self.dir.name!r}
            source = os.path.join(directory, "in")
            with open(source, "wb") as f:
                f.write(os.urandom(1 << 20))
            for reader in (True, False):
                fifo = os.path.join(directory, f"fifo{{reader}}")
                os.mkfifo(fifo)
                if reader:
                    idle = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                threading.Timer(0.5, signal.pthread_kill,
                                (threading.main_thread().ident, signal.SIGINT)).start()
                start = time.monotonic()
                try:
                    velkorenc.encode_file(source, fifo, "k")
                    print("finished")
                except KeyboardInterrupt:
                    print("interrupted", time.monotonic() - start < 1.5)
        """)
        self.assertEqual(result.stdout, "interrupted True\n" * 2)


class Replacement(FileCase):
    def identity(self, path):
        info = os.stat(path)
        attributes = {name: os.getxattr(path, name) for name in os.listxattr(path)}
        return info.st_uid, info.st_gid, stat.S_IMODE(info.st_mode), attributes

    def converted_both_ways(self, source, target):
        """Encodes then decodes source into target, once through each path."""
        for forced in (False, True):
            with (whole_file_path() if forced else rebound()):
                v.encode_file(source, target, KEY)
                v.decode_file(target, target, KEY)

    @unittest.skipUnless(os.geteuid() == 0, "needs root to give files to another owner")
    def test_in_place_keeps_owner_mode_and_attributes(self):
        data = b"ledger " * 1000
        target = self.write("owned", data)
        os.chown(target, 65534, 65534)
        os.chmod(target, 0o640)
        os.setxattr(target, "user.origin", b"scanner")
        # An access list granting one more user read access.
        entries = [(0x01, 6, 0xFFFFFFFF), (0x02, 4, 1234), (0x04, 4, 0xFFFFFFFF),
                   (0x10, 4, 0xFFFFFFFF), (0x20, 0, 0xFFFFFFFF)]
        acl = (2).to_bytes(4, "little") + b"".join(
            tag.to_bytes(2, "little") + perm.to_bytes(2, "little") + who.to_bytes(4, "little")
            for tag, perm, who in entries)
        os.setxattr(target, "system.posix_acl_access", acl)
        before = self.identity(target)
        self.converted_both_ways(target, target)
        self.assertEqual(self.identity(target), before)
        self.assertEqual(self.read("owned"), data)
        self.assert_no_leftovers("owned")

    @unittest.skipUnless(shutil.which("strace"), "needs strace to see the system calls")
    def test_directory_is_flushed_after_the_rename(self):
        source = self.write("in", b"journal " * 500)
        for forced in (False, True):
            for target in ("in", "new"):
                with self.subTest(forced=forced, target=target):
                    log = self.path("calls")
                    forcing = "V.encode_bytes = lambda d, k: e(d, k)" if forced else ""
                    code = textwrap.dedent(f"""
                        import velkorenc as V
                        e = V.encode_bytes
                        {forcing}
                        V.encode_file({source!r}, {self.path(target)!r}, "k")
                    """)
                    env = dict(os.environ, **({"PYTHONPATH": BUILD_DIR} if BUILD_DIR else {}))
                    subprocess.run(["strace", "-f", "-qq", "-o", log, "-e",
                                    "trace=rename,renameat,renameat2,openat,fsync",
                                    sys.executable, "-c", code], check=True, env=env)
                    with open(log) as f:
                        # "<pid> <call> = <result>", the result padded.
                        calls = [" ".join(line.split()[1:]) for line in f]
                    os.unlink(log)
                    renamed = max(i for i, call in enumerate(calls)
                                  if call.startswith("rename") and call.endswith("= 0"))
                    opened = next(call for call in calls[renamed:]
                                  if call.startswith("openat(") and '"."' in call
                                  and "O_DIRECTORY" in call)
                    fd = opened.rsplit("= ", 1)[1]
                    self.assertIn(f"fsync({fd}) = 0", calls[renamed:])

    def test_hard_links_and_inode_are_kept(self):
        data = os.urandom(2000)
        source = self.write("in", data)
        for target in ("in", "existing"):
            with self.subTest(target=target):
                path = self.path(target)
                if target == "existing":
                    self.write("existing", b"old")
                os.link(path, self.path("other link"))
                inode = os.stat(path).st_ino
                v.encode_file(source if target == "existing" else path, path, KEY)
                self.assertEqual(os.stat(path).st_ino, inode)
                self.assertEqual(self.read("other link"), v.encode_bytes(data, KEY).encode())
                with whole_file_path():
                    v.decode_file(path, path, KEY)
                self.assertEqual((os.stat(path).st_ino, self.read("other link")), (inode, data))
                os.remove(self.path("other link"))
                if target == "existing":
                    os.remove(path)
        self.assert_no_leftovers("in")

    def test_new_outputs_symbolic_links_and_long_names(self):
        source = self.write("in", b"x" * 100)
        # A dangling link stays a link, and the file it names is made.
        os.symlink("made", self.path("dangling"))
        os.symlink("made whole", self.path("dangling whole"))
        old = os.umask(0o027)
        try:
            v.encode_file(source, self.path("new"), KEY)
            v.encode_file(source, self.path("dangling"), KEY)
            with whole_file_path():
                v.encode_file(source, self.path("new whole"), KEY)
                v.encode_file(source, self.path("dangling whole"), KEY)
        finally:
            os.umask(old)
        for name in ("new", "new whole", "made", "made whole"):
            self.assertEqual(stat.S_IMODE(os.stat(self.path(name)).st_mode), 0o640)
            self.assertEqual(self.read(name), v.encode_bytes(b"x" * 100, KEY).encode())
        for name in ("dangling", "dangling whole"):
            self.assertTrue(os.path.islink(self.path(name)))
        self.write("target", b"old")
        os.symlink("target", self.path("link"))
        self.converted_both_ways(source, self.path("link"))
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertEqual(self.read("target"), b"x" * 100)
        longest = "n" * 255
        self.converted_both_ways(source, self.path(longest))
        self.assertEqual(self.read(longest), b"x" * 100)
        self.assert_no_leftovers("in", "new", "new whole", "target", "link", longest, "dangling",
                                 "dangling whole", "made", "made whole")

    def test_failed_write_leaves_a_separate_output_as_it_was(self):
        source = self.write("in", b"data")
        existing = self.write("existing", b"old output")
        with rebound(encode_bytes=lambda data, key: "VELKORENCV2:" + "q" * 100_000 + "\ud800"):
            self.assertIs(failure(v.encode_file, source, existing)[0], UnicodeEncodeError)
            self.assertIs(failure(v.encode_file, source, self.path("never"))[0], UnicodeEncodeError)
        self.assertEqual(self.read("existing"), b"old output")
        self.assert_no_leftovers("in", "existing")

    @unittest.skipUnless(threading.current_thread() is threading.main_thread(),
                         "signal handlers run on the main thread")
    def test_symlink_swaps_in_the_directory(self):
        # A hostile user who can write the directory swaps each temporary
        # file, as soon as it is made, for a link to a file it may not touch.
        victim = self.write("victim", b"root only")
        os.chmod(victim, 0o600)
        data = random.Random(16).randbytes(MIB + MIB // 2)  # two chunks of payload
        target = self.write("target", data)
        swapped = []

        def swap():
            for name in os.listdir(self.dir.name):
                if name.startswith(".velkorenc-") and name not in swapped:
                    swapped.append(name)
                    os.symlink(victim, self.path("swap"))
                    os.replace(self.path("swap"), self.path(name))

        own_decode = v.decode_bytes

        class Written:
            """Bytes written through a method of Python code, which lets the
            whole-file path run the signal handler before the result is in
            place."""

            def __init__(self, data):
                self.data = data

            def __buffer__(self, flags):
                return memoryview(self.data)

        with on_each_new_file(self.dir.name, swap):
            # In chunks, then decoding by the whole-file path.
            for names in ({}, {"decode_bytes": lambda text, key: Written(own_decode(text, key))}):
                v.encode_file(target, target, KEY)
                with rebound(**names):
                    v.decode_file(target, target, KEY)
        self.assertEqual(len(swapped), 4)  # every conversion met the swap
        self.assertEqual(self.read("target"), data)
        self.assertEqual((self.read("victim"), stat.S_IMODE(os.stat(victim).st_mode)),
                         (b"root only", 0o600))


UNPRIVILEGED_CHILD = """
import errno, os, sys
sys.path.insert(0, {build!r})
directory = {directory!r}
import velkorenc
os.setgid(65534)
os.setuid(65534)
source = os.path.join(directory, "source")
read_only, shared = os.path.join(directory, "read only"), os.path.join(directory, "shared")
own = velkorenc.encode_bytes
for codec in (own, lambda data, key: own(data, key)):
    velkorenc.encode_bytes = codec
    try:
        velkorenc.encode_file(source, read_only, "k")
    except PermissionError as exc:
        print(exc.errno == errno.EACCES, exc.filename == read_only)
velkorenc.encode_bytes = own
velkorenc.encode_file(source, shared, "k")
print(open(shared).read() == velkorenc.encode_bytes(open(source, "rb").read(), "k"))
"""


@unittest.skipUnless(os.geteuid() == 0, "needs root to drop to another user")
class Unprivileged(FileCase):
    def test_files_the_caller_may_not_write_or_restore(self):
        os.chmod(self.dir.name, 0o777)
        self.write("source", b"source data")
        read_only = self.write("read only", b"untouched")
        os.chmod(read_only, 0o644)
        # Writable by anyone, owned by root: a rename could not keep the owner.
        shared = self.write("shared", b"old")
        os.chmod(shared, 0o666)
        inode = os.stat(shared).st_ino
        result = run_child(UNPRIVILEGED_CHILD.format(build=BUILD_DIR or "", directory=self.dir.name))
        self.assertEqual(result.stdout, "True True\nTrue True\nTrue\n")
        self.assertEqual(self.read("read only"), b"untouched")
        info = os.stat(shared)
        self.assertEqual((info.st_ino, info.st_uid, stat.S_IMODE(info.st_mode)), (inode, 0, 0o666))
        self.assert_no_leftovers("source", "read only", "shared")


if __name__ == "__main__":
    unittest.main()
