#!/usr/bin/env python3
"""End-to-end check of the real hearth program.

Starts the built program with -platform offscreen in a temporary directory holding a prepared
hearth.xml and media files, asks the discovery question over UDP, speaks LIST, ACTION, SIZE
and GET over TCP port 8000, checks every answer byte for byte, then ends the program with
SIGTERM and checks that it exits with 0 after rewriting hearth.xml. Hostile peers and many
players at once are the soak test's (tests/soak).

It runs in a network namespace of its own (only a loopback interface), where port 8000 is
always free, whatever else runs on the machine.

Usage: e2e_hearth.py PATH_TO_HEARTH
Exit codes: 0 passed, 1 failed, 77 skipped (network namespaces are not allowed here).
"""

import base64
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

PORT = 8000
HOST = "127.0.0.1"
SERVER_NAME = "E2E Hearth"
TIMEOUT = 10.0
LONG_SIZE = 64 << 20

# A small JPEG of our own (64x48, red with a blue block).
PHOTO = base64.b64decode(
    "/9j/4AAQSkZJRgABAQEAZABkAAD/2wBDABALDA4MChAODQ4SERATGCgaGBYWGDEjJR0oOjM9PDkz"
    "ODdASFxOQERXRTc4UG1RV19iZ2hnPk1xeXBkeFxlZ2P/2wBDARESEhgVGC8aGi9jQjhCY2NjY2Nj"
    "Y2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2P/wAARCAAwAEADASIA"
    "AhEBAxEB/8QAHwAAAQUBAQEBAQEAAAAAAAAAAAECAwQFBgcICQoL/8QAtRAAAgEDAwIEAwUFBAQA"
    "AAF9AQIDAAQRBRIhMUEGE1FhByJxFDKBkaEII0KxwRVS0fAkM2JyggkKFhcYGRolJicoKSo0NTY3"
    "ODk6Q0RFRkdISUpTVFVWV1hZWmNkZWZnaGlqc3R1dnd4eXqDhIWGh4iJipKTlJWWl5iZmqKjpKWm"
    "p6ipqrKztLW2t7i5usLDxMXGx8jJytLT1NXW19jZ2uHi4+Tl5ufo6erx8vP09fb3+Pn6/8QAHwEA"
    "AwEBAQEBAQEBAQAAAAAAAAECAwQFBgcICQoL/8QAtREAAgECBAQDBAcFBAQAAQJ3AAECAxEEBSEx"
    "BhJBUQdhcRMiMoEIFEKRobHBCSMzUvAVYnLRChYkNOEl8RcYGRomJygpKjU2Nzg5OkNERUZHSElK"
    "U1RVVldYWVpjZGVmZ2hpanN0dXZ3eHl6goOEhYaHiImKkpOUlZaXmJmaoqOkpaanqKmqsrO0tba3"
    "uLm6wsPExcbHyMnK0tPU1dbX2Nna4uPk5ebn6Onq8vP09fb3+Pn6/9oADAMBAAIRAxEAPwDLooor"
    "iPpgoqp9u/6Z/wDj1H27/pn/AOPV3/2biv5fxX+Zx/XqH834Mt0VU+3f9M//AB6j7d/0z/8AHqP7"
    "NxX8v4r/ADD69Q/m/BluiiiuA7AooooAyKKKK+8PkQooooA16KKK+DPrgooooAqfYf8App/47R9h"
    "/wCmn/jtW6K7/wC0sV/N+C/yOP6jQ/l/FlT7D/00/wDHaPsP/TT/AMdq3RR/aWK/m/Bf5B9Rofy/"
    "iwooorgOw//Z"
)


def pattern(size, seed):
    return bytes(((i * 31 + seed * 7 + i // 251) & 0xFF) for i in range(size))


OWN_NETWORK = "HEARTH_TEST_OWN_NETWORK"


def run_in_own_network(what):
    """Runs this script again in a network namespace of its own, where port 8000 is always
    free, and returns its exit code; None when already inside one."""
    if os.environ.get(OWN_NETWORK):
        return None
    unshare = shutil.which("unshare")
    ip = shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip") if os.path.exists(p)),
                                    None)
    if not unshare or not ip:
        print("SKIP: the %s needs unshare (util-linux) and ip (iproute2) for a network "
              "namespace of its own." % what)
        return 77
    # Root makes the namespace directly; anyone else (or a root without the capability, as in
    # a container) inside a user namespace of their own.
    tries = ([["--net"]] if os.geteuid() == 0 else []) + [["--map-root-user", "--net"]]
    for options in tries:
        probe = subprocess.run([unshare] + options + [ip, "link", "set", "lo", "up"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if probe.returncode == 0:
            break
    else:
        print("SKIP: network namespaces are not allowed here (unshare %s: %s); the %s runs "
              "only in one of its own, where port %d is always free."
              % (" ".join(options), probe.stdout.decode(errors="replace").strip(), what, PORT))
        return 77
    env = dict(os.environ, **{OWN_NETWORK: "1"})
    return subprocess.call([unshare] + options + ["sh", "-c", ip + ' link set lo up && exec "$@"',
                                                  "sh", sys.executable] + sys.argv, env=env)


def port_is_free():
    probes = [(socket.SOCK_STREAM, True), (socket.SOCK_DGRAM, False)]
    for kind, reuse in probes:
        s = socket.socket(socket.AF_INET, kind)
        try:
            if reuse:
                # The server sets this too; a connection in TIME_WAIT does not hold the port.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("0.0.0.0", PORT))
        except OSError:
            return False
        finally:
            s.close()
    return True


class Failures:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, actual, expected):
        if actual == expected:
            self.passed += 1
            return True
        self.failed += 1
        def cut(value):
            return value[:300] if isinstance(value, (bytes, str, list)) else value
        print("FAIL %s\n  expected %r\n  actual   %r" % (name, cut(expected), cut(actual)))
        return False

    def truth(self, name, value, detail=""):
        return self.check(name + (" " + detail if detail else ""), bool(value), True)


class Connection:
    """A player's connection, buffered so that answers sent back to back are told apart."""

    def __init__(self):
        self.sock = socket.create_connection((HOST, PORT), timeout=TIMEOUT)
        self.sock.settimeout(TIMEOUT)
        self.buffer = b""

    def __enter__(self):
        return self

    def __exit__(self, *args):
        self.sock.close()

    def sendall(self, data):
        self.sock.sendall(data)

    def _fill(self):
        chunk = self.sock.recv(1 << 20)
        self.buffer += chunk
        return bool(chunk)

    def exactly(self, n):
        while len(self.buffer) < n and self._fill():
            pass
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def until(self, end):
        while end not in self.buffer and self._fill():
            pass
        cut = self.buffer.find(end)
        cut = len(self.buffer) if cut < 0 else cut + len(end)
        data, self.buffer = self.buffer[:cut], self.buffer[cut:]
        return data

    def closed_by_peer(self):
        try:
            return not self.buffer and not self._fill()
        except ConnectionResetError:
            return True


def write_media(root):
    media = os.path.join(root, "media")
    os.makedirs(os.path.join(media, "films"))
    os.makedirs(os.path.join(media, "music", "albums"))
    files = {
        "clip.avi": pattern(3000, 1),
        "films/holiday.avi": pattern(500, 2),
        "music/a.mp3": pattern(77, 3),
        "music/b.mp3": pattern(5, 4),
        "music/.hidden.mp3": b"hidden",
        "music/notes.txt": b"not audio",
        "secret.mp3": b"outside every library",
        "music/albums/long.mp3": None,
        "photo.jpg": PHOTO,
        "notapicture.jpg": b"plain text under a picture name",
    }
    for name, content in files.items():
        with open(os.path.join(media, name), "wb") as f:
            if content is None:
                f.truncate(LONG_SIZE)  # sparse: long enough to be sent in many pieces
            else:
                f.write(content)
    return media, files


def write_config(path, media):
    m = media.replace("\\", "/")
    text = """<hearth>
    <!-- prepared by the end-to-end test -->
    <settings>
        <server name="%(name)s"/>
        <upnp enabled="false"/>
    </settings>
    <video_tree>
        <file name="wrong name" path="%(m)s/clip.avi"/>
        <dir name="Films">
            <file name="holiday.avi" path="%(m)s/films/holiday.avi"/>
        </dir>
    </video_tree>
    <audio_tree>
        <livedir name="music" path="%(m)s/music"/>
    </audio_tree>
    <pictures_tree>
        <file name="photo.jpg" path="%(m)s/photo.jpg"/>
        <file name="notapicture.jpg" path="%(m)s/notapicture.jpg"/>
    </pictures_tree>
</hearth>
""" % {"name": SERVER_NAME, "m": m}
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return text


def stop(proc):
    """SIGTERM, as a logout sends; killed when it has not ended within 30 s. Its output."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        return proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        return proc.communicate()


def wait_for_server(proc):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        try:
            socket.create_connection((HOST, PORT), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def discovery(t):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(TIMEOUT)
    try:
        s.sendto(b"ARE_YOU_VELA_HEARTH_SERVER?", (HOST, PORT))
        answer, _ = s.recvfrom(1024)
        t.check("discovery answer", answer, SERVER_NAME.encode("latin-1"))
    finally:
        s.close()


def protocol(t, files):
    clip = files["clip.avi"]
    with Connection() as c:
        c.sendall(b"LIST VIDEO ||\r\n\r\n")
        t.check("list video top", c.until(b"EOL\n"),
                b"clip.avi| /VIDEO/clip.avi|0|\nFilms| Films|1|\nEOL\n")
        c.sendall(b"LIST VIDEO |Films|\r\n\r\n")
        t.check("list virtual folder", c.until(b"EOL\n"),
                b"holiday.avi| /VIDEO/Films/holiday.avi|0|\nEOL\n")
        c.sendall(b"LIST AUDIO ||\r\n\r\nLIST AUDIO |music|\r\n\r\n")
        t.check("list audio top", c.until(b"EOL\n"), b"music| music|1|\nEOL\n")
        t.check("list live folder", c.until(b"EOL\n"),
                b"albums| albums|1|\na.mp3| /AUDIO/music/a.mp3|0|\n"
                b"b.mp3| /AUDIO/music/b.mp3|0|\nEOL\n")
        c.sendall(b"LIST PICTURE |nowhere|\r\n\r\n")
        t.check("list missing folder", c.until(b"EOL\n"), b"EOL\n")

        c.sendall(b"ACTION 1 |x|/VIDEO/clip.avi|")
        t.check("action 1", c.exactly(3), b"200")
        c.sendall(b"ACTION 2 /AUDIO/music/a.mp3|")
        t.check("action 2", c.exactly(3), b"200")

        c.sendall(b"SIZE /VIDEO/clip.avi|\r\n\r\n")
        t.check("size", c.exactly(15), b"000000000003000")
        c.sendall(b"SIZE /VIDEO/missing.avi|\r\n\r\n")
        t.check("size of missing file", c.exactly(15), b"0" * 15)
        c.sendall(b"GET /VIDEO/clip.avi| 100 10 |\r\n\r\n")
        t.check("get range", c.exactly(10), clip[100:110])
        c.sendall(b"GET /VIDEO/Films/holiday.avi| 2990 20 |\r\n\r\n")
        t.check("second get reads the first file, padded", c.exactly(20),
                clip[2990:] + b"\0" * 10)
        c.sendall(b"SIZE /VIDEO/Films/holiday.avi|\r\n\r\nGET /VIDEO/Films/holiday.avi| 0 0 |\r\n\r\n")
        t.check("size switches the file", c.exactly(15 + 500),
                b"000000000000500" + files["films/holiday.avi"])

    with Connection() as c:
        c.sendall(b"GET /VIDEO/clip.avi|0 10|\r\n\r\n")
        t.check("get whole file", c.exactly(3000), clip)
        c.sendall(b"SIZE /AUDIO/music/b.mp3|\r\n\r\nGET /AUDIO/music/b.mp3| 0 0 |\r\n\r\n")
        t.check("live file", c.exactly(20), b"000000000000005" + files["music/b.mp3"])

    # Nothing outside what a listing shows is reachable below a live folder.
    for path in (b"/AUDIO/music/../secret.mp3", b"/AUDIO/music/.hidden.mp3",
                 b"/AUDIO/music/notes.txt", b"/AUDIO/music/./a.mp3"):
        with Connection() as c:
            c.sendall(b"SIZE " + path + b"|\r\n\r\nGET " + path + b"| 0 6 |\r\n\r\n")
            t.check("refused " + path.decode(), c.exactly(21), b"0" * 15 + b"\0" * 6)
        with Connection() as c:
            c.sendall(b"ACTION 2 " + path + b"|")
            t.check("action refused " + path.decode(), c.exactly(3), b"404")

    with Connection() as c:
        c.sendall(b"SIZE /PICTURE/photo.jpg|\r\n\r\n")
        size = c.exactly(15)
        t.truth("picture size is digits", size.isdigit(), repr(size))
        n = int(size) if size.isdigit() else 0
        c.sendall(b"GET /PICTURE/photo.jpg| 0 0 |\r\n\r\n")
        converted = c.exactly(n)
        t.truth("converted picture is a JPEG",
                converted.startswith(b"\xff\xd8") and converted.endswith(b"\xff\xd9"))
        t.truth("converted picture differs from the file", converted != PHOTO)
    with Connection() as c:
        c.sendall(b"SIZE /PICTURE/photo.jpg|\r\n\r\nGET /PICTURE/photo.jpg| 0 0 |\r\n\r\n")
        t.check("conversion is the same each time", c.exactly(15 + n), size + converted)
    with Connection() as c:
        c.sendall(b"GET PICTURE/photo.jpg| 0 0 |\r\n\r\n")
        t.check("picture without leading slash is sent as stored",
                c.exactly(len(PHOTO)), PHOTO)
    with Connection() as c:
        text = files["notapicture.jpg"]
        c.sendall(b"SIZE /PICTURE/notapicture.jpg|\r\n\r\nGET /PICTURE/notapicture.jpg| 0 0 |\r\n\r\n")
        t.check("unreadable picture is sent as stored", c.exactly(15 + len(text)),
                b"%015d" % len(text) + text)

    with Connection() as c:
        c.sendall(b"ACTION 1 |x|/VIDEO/missing.avi|")
        t.check("action 404", c.exactly(3), b"404")
        t.truth("404 closes the connection", c.closed_by_peer())


def saved_config(t, path, original, media):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    t.truth("hearth.xml was rewritten", text != original)
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        t.truth("hearth.xml parses", False, str(error))
        return
    t.check("root", root.tag, "hearth")
    t.check("top-level elements", [e.tag for e in root],
            ["settings", "video_tree", "audio_tree", "pictures_tree"])
    server = root.find("settings/server")
    t.check("server name kept", server.get("name") if server is not None else None, SERVER_NAME)
    m = media.replace("\\", "/")
    video = root.find("video_tree")
    t.check("video entries", [(e.tag, e.get("name"), e.get("path")) for e in video],
            [("file", "clip.avi", m + "/clip.avi"), ("dir", "Films", None)])
    t.check("live folder kept", [(e.tag, e.get("path")) for e in root.find("audio_tree")],
            [("livedir", m + "/music")])


def first_start(t, executable):
    """No hearth.xml yet: the first-run question is reached (on the offscreen platform it goes
    to standard error), and SIGTERM writes the settings and three empty libraries."""
    if os.environ.get(OWN_NETWORK) != "1":
        # Without a file the DLNA front door is on and announces itself on every interface.
        print("SKIP first start: no network namespace of its own here (unshare -n)")
        return
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-first-") as root:
        program = os.path.join(root, "hearth")
        shutil.copy2(executable, program)
        proc = subprocess.Popen([program, "-platform", "offscreen"], cwd=root,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lowered_descriptor_limit)
        try:
            t.truth("first start serves", wait_for_server(proc))
        finally:
            _, err = stop(proc)
        t.check("first start: exit code after SIGTERM", proc.returncode, 0)
        t.truth("first-run question asked",
                b"Set up picture scaling now?" in err, err.decode(errors="replace"))
        try:
            with open(os.path.join(root, "hearth.xml"), encoding="utf-8") as f:
                root_element = ET.fromstring(f.read())
        except (OSError, ET.ParseError) as error:
            t.truth("first start: hearth.xml written", False, str(error))
            return
        t.check("first start: top-level elements", [e.tag for e in root_element],
                ["settings", "video_tree", "audio_tree", "pictures_tree"])
        t.check("first start: libraries empty",
                [len(list(e)) for e in root_element][1:], [0, 0, 0])


def lowered_descriptor_limit():
    # Started as a login session often starts programs: soft limit well below the hard one.
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(256, hard), hard))


def descriptor_limit(t, pid):
    with open("/proc/%d/limits" % pid) as limits:
        for line in limits:
            if line.startswith("Max open files"):
                soft, hard = line.split()[3:5]
                t.check("descriptor limit raised to the hard limit", soft, hard)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    code = run_in_own_network("end-to-end test")
    if code is not None:
        return code
    if not port_is_free():
        print("FAIL: port %d (TCP or UDP) is held in the test's own network namespace" % PORT)
        return 1

    t = Failures()
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-") as root:
        program = os.path.join(root, "hearth")
        shutil.copy2(sys.argv[1], program)
        media, files = write_media(root)
        config = os.path.join(root, "hearth.xml")
        original = write_config(config, media)

        proc = subprocess.Popen([program, "-platform", "offscreen"], cwd=root,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lowered_descriptor_limit)
        try:
            if not wait_for_server(proc):
                out, err = proc.communicate(timeout=10) if proc.poll() is not None else (b"", b"")
                print("FAIL: hearth did not start serving on port %d (exit %s)\n%s%s"
                      % (PORT, proc.poll(), out.decode(errors="replace"),
                         err.decode(errors="replace")))
                return 1
            descriptor_limit(t, proc.pid)
            discovery(t)
            protocol(t, files)
        except (OSError, socket.timeout) as error:
            t.truth("no network error", False, repr(error))
        finally:
            stop(proc)
        t.check("exit code after SIGTERM", proc.returncode, 0)
        saved_config(t, config, original, media)

    first_start(t, sys.argv[1])

    print("%d passed, %d failed" % (t.passed, t.failed))
    return 0 if t.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
