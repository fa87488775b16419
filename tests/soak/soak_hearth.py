#!/usr/bin/env python3
"""Soak test of the real hearth program: many players at once, for a while.

Starts the built program with -platform offscreen in a temporary directory holding the
end-to-end test's hearth.xml and media (plus links out of the live folder), sends the hostile
peers first, then keeps PLAYERS connections busy until SECONDS have passed and at least
MIN_CONNECTIONS were made. Each connection plays one part: valid requests (pipelined or cut in
pieces, every answer checked byte for byte), paths outside the libraries, garbage, a request
left half-sent, a reset in the middle of a GET, or a peer that stops reading.

Passes when hearth never crashes, every checked answer is right, its RSS stays under
RSS_LIMIT_MB, its descriptors return to the idle count after the players have left, and it
still exits 0 on SIGTERM.

Usage: soak_hearth.py PATH_TO_HEARTH [SECONDS]      (default 10)
Exit codes: 0 passed, 1 failed, 77 skipped (network namespaces are not allowed here). It runs
in a network namespace of its own, as the end-to-end test does.
"""

import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_hearth as e2e  # noqa: E402  (the media, the configuration and the client)

PLAYERS = 20
MIN_CONNECTIONS = 200
# Idle hearth takes about 40 MiB here; a stalled player may cost it about 1 MiB of queued
# answer. Reading whole files into memory, or queueing without bound, goes far beyond.
RSS_LIMIT_MB = 160
# AddressSanitizer keeps freed memory in quarantine (256 MiB by default) and adds its own: a
# sanitizer build is held to the bound plus that much.
SANITIZER_EXTRA_MB = 320


def rss_limit_mb(program):
    with open(program, "rb") as binary:
        sanitized = b"__asan_init" in binary.read()
    return RSS_LIMIT_MB + (SANITIZER_EXTRA_MB if sanitized else 0)

LONG = b"/AUDIO/music/albums/long.mp3"
OUTSIDE = [b"/AUDIO/music/../secret.mp3", b"/AUDIO/music/.hidden.mp3", b"/AUDIO/music/link.mp3",
           b"/AUDIO/music/up/secret.mp3", b"/AUDIO/music/notes.txt", b"/AUDIO/music/./a.mp3",
           b"/VIDEO/../clip.avi"]


def hostile_peers(t):
    """Run first, before the server has written to any connection: players that leave at once,
    and bytes no player sends, get their answer or silence and never end the program."""
    for _ in range(3):
        s = socket.create_connection((e2e.HOST, e2e.PORT), timeout=e2e.TIMEOUT)
        s.sendall(b"GET " + LONG + b"| 0 0 |\r\n\r\n")
        s.close()
    odd = [
        bytes(range(256)) * 300,
        b"GET" * 30000,
        b"LIST AUDIO |music" + b"/" * 70000 + b"|\r\n\r\n",
        b"SIZE /AUDIO/" + b"\xff" * 5000 + b"|\r\n\r\n",
        b"\0" * 2000 + b"LIST AUDIO ||\r\n\r\n",
        b"ACTION 1 |x|/AUDIO/music/a.mp3|" * 3000,
    ]
    for data in odd:
        with e2e.Connection() as c:
            c.sendall(data)
    time.sleep(0.5)
    with e2e.Connection() as c:
        c.sendall(b"LIST AUDIO ||\r\n\r\n")
        t.check("serving after hostile peers", c.until(b"EOL\n"), b"music| music|1|\nEOL\n")


class Library:
    """What the prepared libraries hold, as the players see them."""

    def __init__(self, files, converted):
        self.files = {
            b"/VIDEO/clip.avi": files["clip.avi"],
            b"/VIDEO/Films/holiday.avi": files["films/holiday.avi"],
            b"/AUDIO/music/a.mp3": files["music/a.mp3"],
            b"/AUDIO/music/b.mp3": files["music/b.mp3"],
            b"/PICTURE/photo.jpg": converted,
            b"PICTURE/photo.jpg": e2e.PHOTO,
        }
        self.listings = {
            b"LIST VIDEO ||": b"clip.avi| /VIDEO/clip.avi|0|\nFilms| Films|1|\nEOL\n",
            b"LIST VIDEO |Films|": b"holiday.avi| /VIDEO/Films/holiday.avi|0|\nEOL\n",
            b"LIST AUDIO ||": b"music| music|1|\nEOL\n",
            b"LIST AUDIO |music|": b"albums| albums|1|\na.mp3| /AUDIO/music/a.mp3|0|\n"
                                   b"b.mp3| /AUDIO/music/b.mp3|0|\nEOL\n",
            b"LIST AUDIO |music/up|": b"EOL\n",
            b"LIST PICTURE |nowhere|": b"EOL\n",
        }


class Player:
    """One connection's requests and the answers they must get. A connection keeps the file its
    first GET opened until a SIZE names a file again."""

    def __init__(self, library, rng):
        self.library = library
        self.rng = rng
        self.opened = None

    def request(self):
        rng, lib = self.rng, self.library
        kind = rng.randrange(4)
        if kind == 0:
            line = rng.choice(sorted(lib.listings))
            return line + b"\r\n\r\n", lib.listings[line]
        path = rng.choice(sorted(lib.files) + [b"/VIDEO/missing.avi"])
        data = lib.files.get(path)
        if kind == 1:
            return b"ACTION 1 |x|" + path + b"|", b"200" if data is not None else None
        if kind == 2:
            if data is None:
                return b"SIZE " + path + b"|\r\n\r\n", b"0" * 15
            self.opened = None
            return b"SIZE " + path + b"|\r\n\r\n", b"%015d" % len(data)
        # A path that names no file opens nothing: the next GET tries its own path.
        if self.opened is None:
            self.opened = data
        data = self.opened or b""
        offset = rng.randrange(len(data) + 20)
        length = rng.choice([0, 1, rng.randrange(1, 100)])
        answer = data[offset:] if length == 0 else data[offset:offset + length]
        answer += b"\0" * (length - len(answer) if length else 0)
        return b"GET " + path + b"| %d %d |\r\n\r\n" % (offset, length), answer


class Soak:
    def __init__(self, library, seconds):
        self.library = library
        self.deadline = time.monotonic() + seconds
        self.lock = threading.Lock()
        self.connections = 0
        self.requests = 0
        self.checked = 0
        self.failures = []

    def check(self, what, actual, expected):
        with self.lock:
            self.checked += 1
            if actual != expected:
                self.failures.append("%r\n  expected %r\n  actual   %r"
                                     % (what, expected, actual))

    def count(self, requests=1):
        with self.lock:
            self.requests += requests

    def more(self):
        with self.lock:
            if time.monotonic() < self.deadline or self.connections < MIN_CONNECTIONS:
                self.connections += 1
                return True
            return False

    def valid(self, c, rng):
        """Valid requests, pipelined or each cut in two pieces a moment apart."""
        player = Player(self.library, rng)
        exchange = [player.request() for _ in range(rng.randrange(2, 8))]
        if rng.random() < 0.5:
            ends = [i for i, (_, answer) in enumerate(exchange) if answer is None]
            exchange = exchange[:ends[0] + 1] if ends else exchange  # "404" closes
            c.sendall(b"".join(request for request, _ in exchange))
            self.count(len(exchange))
            for request, answer in exchange:
                expected = b"404" if answer is None else answer
                self.check(request, c.exactly(len(expected)), expected)
            return
        for request, answer in exchange:
            cut = rng.randrange(1, len(request))
            started = time.monotonic()
            c.sendall(request[:cut])
            time.sleep(rng.random() * 0.03)
            c.sendall(request[cut:])
            self.count()
            if time.monotonic() - started > 0.09:
                return  # held longer than the server waits: it may have answered the piece
            expected = b"404" if answer is None else answer
            self.check(request, c.exactly(len(expected)), expected)
            if answer is None:
                self.check(request + b" closes", c.closed_by_peer(), True)
                return

    def outside(self, c, rng):
        """Nothing outside what a listing shows, exactly like a missing path."""
        path = rng.choice(OUTSIDE)
        length = rng.randrange(1, 50)
        c.sendall(b"SIZE " + path + b"|\r\n\r\nGET " + path + b"| 0 %d |\r\n\r\n" % length)
        self.count(2)
        self.check(path, c.exactly(15 + length), b"0" * 15 + b"\0" * length)
        c.sendall(b"ACTION 2 " + path + b"|")
        self.count()
        self.check(b"ACTION 2 " + path, c.exactly(3), b"404")
        self.check(path + b" closes", c.closed_by_peer(), True)

    def garbage(self, c, rng):
        """Bytes that start no request are dropped; the connection keeps serving."""
        junk = bytes(b for b in rng.randbytes(rng.randrange(1, 4096)) if b not in b"LASG")
        c.sendall(b"#" + junk)
        time.sleep(0.15)
        c.sendall(b"LIST AUDIO ||\r\n\r\n")
        self.count()
        c.sock.settimeout(2)
        try:
            answer = c.until(b"EOL\n")
        except socket.timeout:
            # Read in one go with the garbage (a busy server), and dropped with it.
            c.sock.settimeout(e2e.TIMEOUT)
            c.sendall(b"LIST AUDIO ||\r\n\r\n")
            answer = c.until(b"EOL\n")
        self.check(b"after garbage", answer, b"music| music|1|\nEOL\n")

    def half(self, c, rng):
        """A request whose text ends early is answered as it stands after a moment, or the
        player leaves with it unanswered."""
        if rng.random() < 0.5:
            c.sendall(b"SIZE /VIDEO/clip.avi")
            self.count()
            self.check(b"half SIZE", c.exactly(15), b"000000000003000")
        else:
            c.sendall(b"GET /VIDEO/clip.avi| 0")

    def reset(self, c, rng):
        """A player that resets in the middle of a long GET."""
        c.sendall(b"GET " + LONG + b"| 0 0 |\r\n\r\n")
        self.count()
        c.exactly(rng.randrange(1, 1 << 20))
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    def stalled(self, c, rng):
        """A player that asks for a long file and stops reading."""
        c.sendall(b"GET " + LONG + b"| 0 0 |\r\n\r\nLIST AUDIO ||\r\n\r\n")
        self.count(2)
        time.sleep(0.5 + rng.random())

    def player(self, seed):
        rng = random.Random(seed)
        parts = [self.valid] * 6 + [self.outside, self.garbage, self.half, self.reset,
                                    self.stalled]
        while self.more():
            part = rng.choice(parts)
            try:
                with e2e.Connection() as c:
                    part(c, rng)
            except OSError as error:
                with self.lock:
                    self.failures.append("%s: %r" % (part.__name__, error))


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def settle(pid, idle, seconds=10):
    """Descriptors once they have come back to idle (or the time is up)."""
    deadline = time.monotonic() + seconds
    while descriptors(pid) > idle and time.monotonic() < deadline:
        time.sleep(0.1)
    return descriptors(pid)


def soak(t, proc, files, seconds, limit):
    hostile_peers(t)
    with e2e.Connection() as c:
        c.sendall(b"SIZE /PICTURE/photo.jpg|\r\n\r\nGET /PICTURE/photo.jpg| 0 0 |\r\n\r\n")
        size = c.exactly(15)
        converted = c.exactly(int(size) if size.isdigit() else 0)
    # Connections closed just now are let go of a moment later: idle is where the count rests.
    idle = descriptors(proc.pid)
    for _ in range(10):
        time.sleep(0.3)
        idle, before = descriptors(proc.pid), idle
        if idle == before:
            break
    idle_rss = rss_mb(proc.pid)

    run = Soak(Library(files, converted), seconds)
    peak = [rss_mb(proc.pid)]
    done = threading.Event()

    def watch():
        while not done.wait(0.1) and proc.poll() is None:
            peak[0] = max(peak[0], rss_mb(proc.pid))

    watcher = threading.Thread(target=watch)
    watcher.start()
    players = [threading.Thread(target=run.player, args=(n,)) for n in range(PLAYERS)]
    for p in players:
        p.start()
    for p in players:
        p.join()
    done.set()
    watcher.join()

    t.truth("hearth still running", proc.poll() is None)
    if proc.poll() is not None:
        return
    after = settle(proc.pid, idle)
    for failure in run.failures[:20]:
        print("FAIL " + failure)
    t.check("answers right", len(run.failures), 0)
    t.truth("RSS under %d MiB" % limit, peak[0] < limit, "(peak %.1f)" % peak[0])
    t.truth("descriptors back to idle", after <= idle, "(%d idle, %d after)" % (idle, after))
    print("%d connections, %d requests, %d answers checked; RSS %.1f MiB idle, %.1f MiB peak; "
          "descriptors %d idle, %d after" % (run.connections, run.requests, run.checked,
                                            idle_rss, peak[0], idle, after))


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    seconds = float(sys.argv[2]) if len(sys.argv) == 3 else 10
    code = e2e.run_in_own_network("soak test")
    if code is not None:
        return code
    if not e2e.port_is_free():
        print("FAIL: port %d (TCP or UDP) is held in the test's own network namespace" % e2e.PORT)
        return 1

    t = e2e.Failures()
    with tempfile.TemporaryDirectory(prefix="hearth-soak-") as root:
        program = os.path.join(root, "hearth")
        shutil.copy2(sys.argv[1], program)
        media, files = e2e.write_media(root)
        os.symlink(os.path.join(media, "secret.mp3"), os.path.join(media, "music", "link.mp3"))
        os.symlink(media, os.path.join(media, "music", "up"))
        e2e.write_config(os.path.join(root, "hearth.xml"), media)
        with open(os.path.join(root, "hearth.log"), "wb") as log:
            proc = subprocess.Popen([program, "-platform", "offscreen"], cwd=root,
                                    stdout=log, stderr=subprocess.STDOUT)
        try:
            if not e2e.wait_for_server(proc):
                print("FAIL: hearth did not start serving on port %d (exit %s)"
                      % (e2e.PORT, proc.poll()))
                return 1
            soak(t, proc, files, seconds, rss_limit_mb(program))
        except (OSError, socket.timeout) as error:
            t.truth("no network error", False, repr(error))
        finally:
            e2e.stop(proc)
        t.check("exit code after SIGTERM", proc.returncode, 0)

    print("%d passed, %d failed" % (t.passed, t.failed))
    return 0 if t.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
