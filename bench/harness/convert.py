#!/usr/bin/env python3
"""Conversion as hearth's DLNA door serves it, beside the same ffmpeg command run alone. Started
by bench/run (`--cases convert` runs only this); runs in a network namespace of its own, like
dlna.py, whose helpers it uses.

Two files made once with Debian's ffmpeg: a 1080p H.264 (High, yuv420p) and AAC Matroska, which
a PlayStation 3 gets as a container change to MPEG-TS, and a 1080p H.264 4:4:4 and DTS one,
which an unknown client (the generic DLNA profile) gets fully converted. Each client browses
from a loopback address of its own, by its User-Agent, for the converted URL.

Rows: time to the first byte of the stream, and the whole stream's speed as a multiple of real
time, through hearth and for the same argument list (read from hearth's own ffmpeg child) run
alone, its output read from a pipe.

    convert.py --build DIR [--runs N] [--keep] [--small]
"""

import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import BenchError, Processes, clean_up, cpu_model, log, median, options_in_namespace, print_markdown  # noqa: E402
from dlna import CDS, NS, Server, find_control, setup_loopback  # noqa: E402

FOLDER = "convert"
REMUX, FULL = "remux.mkv", "full.mkv"
# Each client from an address of its own: hearth remembers a client by its address.
PS3 = ("PLAYSTATION 3", "127.0.0.3")
UNKNOWN = ("SomeTV/1.0 UPnP/1.0", "127.0.0.5")
BLOCK = 64 * 1024


# --- the data --------------------------------------------------------------------------------

def make_media(cache, small):
    """The two films, made once and kept in `cache` (below the build directory) for later runs
    while the commands that make them stay the same; their folder and seconds of each."""
    long, short = (12, 6) if small else (60, 30)
    media = os.path.join(cache, "small" if small else "full", FOLDER)  # titled as on disk
    source = ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25",
              "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
    quiet = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
    commands = [
        quiet + source + ["-t", str(long), "-c:v", "libx264", "-preset", "fast",
                          "-profile:v", "high", "-pix_fmt", "yuv420p",
                          "-b:v", "6M", "-maxrate", "8M", "-bufsize", "12M", "-g", "50",
                          "-ac", "2", "-c:a", "aac", "-b:a", "160k", os.path.join(media, REMUX)],
        # 4:4:4 is beyond every DLNA TV's H.264, and DTS beyond its sound: both are converted.
        # Grain that changes every frame, as film has: the test pattern alone encodes much
        # faster than a film would.
        quiet + source + ["-t", str(short), "-vf", "noise=alls=10:allf=t",
                          "-c:v", "libx264", "-preset", "veryfast",
                          "-profile:v", "high444", "-pix_fmt", "yuv444p",
                          "-b:v", "6M", "-maxrate", "8M", "-bufsize", "12M", "-g", "50",
                          "-ac", "2", "-c:a", "dca", "-strict", "-2", os.path.join(media, FULL)],
    ]
    stamp = os.path.join(media, ".made-by")
    made_by = "\n".join(" ".join(command) for command in commands)
    try:
        with open(stamp) as f:
            if f.read() == made_by:
                log("reusing the films in %s" % media)
                return media, {REMUX: long, FULL: short}
    except OSError:
        pass
    shutil.rmtree(media, ignore_errors=True)
    os.makedirs(media)
    log("making %d s of 1080p H.264 + AAC and %d s of 1080p H.264 4:4:4 + DTS with grain ..."
        % (long, short))
    began = time.monotonic()
    for command in commands:
        subprocess.run(command, check=True)
    with open(stamp, "w") as f:
        f.write(made_by)
    log("made in %.0f s" % (time.monotonic() - began))
    return media, {REMUX: long, FULL: short}


# --- hearth and a control point that is a given client ---------------------------------------

def start_hearth(processes, build, root, media):
    """hearth with the films as a live folder of its video library, its reader beside it and
    Debian's ffmpeg on PATH; cache and state in the temporary directory."""
    app = os.path.join(root, "app")
    os.makedirs(app)
    for program in ("hearth", "hearth-probe"):  # hearth finds its reader beside it
        shutil.copy(os.path.join(build, "app", program), app)
    config = os.path.join(app, "hearth.xml")
    with open(config, "w") as xml:
        xml.write("<hearth>\n    <settings>\n        <server name=\"Benchmark\"/>\n"
                  "    </settings>\n    <video_tree>\n"
                  "        <livedir name=%s path=%s/>\n    </video_tree>\n"
                  "    <audio_tree/>\n    <pictures_tree/>\n</hearth>\n"
                  % (quoteattr(FOLDER), quoteattr(media)))
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(root, "hearth-cache"),
               XDG_STATE_HOME=os.path.join(root, "hearth-state"), QT_QPA_PLATFORM="offscreen",
               PATH="/usr/bin:/bin")
    if not shutil.which("ffmpeg", path=env["PATH"]):
        raise BenchError("no ffmpeg in /usr/bin")
    process = processes.start("hearth", [os.path.join(app, "hearth"), "--config", config],
                              env=env, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(root, "hearth.log"), "a"))
    return Server("hearth", process, "http://127.0.0.1:8200/description.xml")


def request(address, port, head):
    """A connection from `address` with `head` sent on it."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.bind((address, 0))
    s.connect(("127.0.0.1", port))
    s.sendall(head)
    return s


def read_head(s):
    """Status, header fields (lower-case names) and the bytes after the head."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = s.recv(BLOCK)
        if not chunk:
            raise BenchError("connection closed inside the head")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), fields, rest


def browse_as(server, client, object_id):
    """A Browse as a client: [(kind, id, title, [(protocolInfo, URL, duration) of each res])]."""
    user_agent, address = client
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID>'
            '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>'
            '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>'
            % (CDS, escape(object_id))).encode()
    port, path = server.control
    s = request(address, port, (
        "POST %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUser-Agent: %s\r\n"
        "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPACTION: \"%s#Browse\"\r\n"
        "Content-Length: %d\r\nConnection: close\r\n\r\n"
        % (path, port, user_agent, CDS, len(body))).encode() + body)
    try:
        s.settimeout(30)
        status, _, answer = read_head(s)
        while True:
            chunk = s.recv(BLOCK)
            if not chunk:
                break
            answer += chunk
    finally:
        s.close()
    if status != 200:
        raise BenchError("Browse %s answered %d" % (object_id, status))
    result = next((e.text for e in ET.fromstring(answer).iter()
                   if e.tag.rsplit("}", 1)[-1] == "Result"), "")
    found = []
    for element in ET.fromstring(result):
        found.append((element.tag.rsplit("}", 1)[-1], element.get("id"),
                      element.findtext("dc:title", "", NS),
                      [(res.get("protocolInfo", ""), (res.text or "").strip(), res.get("duration"))
                       for res in element.findall("didl:res", NS)]))
    return found


def converted_urls(server, deadline):
    """The PS3's converted URL of the H.264 film and the unknown client's of the 4:4:4 one,
    once hearth knows the films (Browse shows their durations)."""
    folder = None
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            raise BenchError("hearth exited with %s" % server.process.returncode)
        try:
            if folder is None:
                video = [i for k, i, t, _ in browse_as(server, UNKNOWN, "0") if t == "Video"]
                if video:
                    folder = next((i for k, i, t, _ in browse_as(server, UNKNOWN, video[0])
                                   if t == FOLDER), None)
            if folder is not None:
                urls = {}
                for client, name in ((PS3, REMUX), (UNKNOWN, FULL)):
                    for _, _, title, resources in browse_as(server, client, folder):
                        if title == name and all(duration for _, _, duration in resources):
                            urls[name] = next((url for _, url, _ in resources
                                               if "/convert/" in url), None)
                if urls.get(REMUX) and urls.get(FULL):
                    return urls
        except (OSError, ET.ParseError) as error:
            log("hearth: %s; asking again" % error)
        time.sleep(0.25)
    raise BenchError("hearth offered no converted URLs in time")


# --- the two sides ---------------------------------------------------------------------------

def ffmpeg_children(pid):
    """hearth's ffmpeg children now running."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:]
        if name == "ffmpeg" and int(rest.split()[1]) == pid and rest.split()[0] != "Z":
            found.append(int(entry))
    return found


def wait_no_conversion(pid):
    """Until hearth's last ffmpeg has gone: it allows one conversion at a time here."""
    deadline = time.monotonic() + 10
    while ffmpeg_children(pid):
        if time.monotonic() > deadline:
            raise BenchError("hearth's ffmpeg outlived its client by 10 s")
        time.sleep(0.02)
    time.sleep(0.1)


class Stream:
    """One whole stream (or its first bytes): seconds to the first byte of the body, seconds to
    the last, bytes of the body."""

    def __init__(self, first, last, size):
        self.first, self.last, self.size = first, last, size


def through_hearth(url, client, whole, on_first=None):
    """GET of a converted URL as `client`; the body's bytes counted through its chunks."""
    parts = urllib.parse.urlsplit(url)
    user_agent, address = client
    began = time.monotonic()
    s = request(address, parts.port or 80, (
        "GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: %s\r\ntransferMode.dlna.org: Streaming\r\n"
        "Connection: close\r\n\r\n" % (parts.path, parts.netloc, user_agent)).encode())
    try:
        s.settimeout(60)
        status, fields, data = read_head(s)
        if status != 200:
            raise BenchError("GET %s answered %d" % (parts.path, status))
        if fields.get("transfer-encoding", "").lower() != "chunked":
            raise BenchError("GET %s: not chunked" % parts.path)
        # The chunks are taken apart as they come: the body's bytes are counted, not the
        # framing's.
        first, size, left = None, 0, 0  # left: data of the current chunk still to come
        buffer = bytearray(data)
        while True:
            if left > 0 and buffer:
                taken = min(left, len(buffer))
                if first is None:
                    first = time.monotonic() - began
                    if on_first:
                        on_first()
                    if not whole:
                        return Stream(first, None, taken)
                size += taken
                left -= taken
                del buffer[:taken]
                if left == 0:
                    left = -2  # its CRLF follows
                continue
            if left == -2 and len(buffer) >= 2:
                del buffer[:2]
                left = 0
                continue
            line_end = buffer.find(b"\r\n") if left == 0 else -1
            if line_end >= 0:
                length = int(bytes(buffer[:line_end]).split(b";")[0], 16)
                del buffer[:line_end + 2]
                if length == 0:
                    break
                left = length
                continue
            chunk = s.recv(BLOCK)
            if not chunk:
                raise BenchError("GET %s: closed before its last chunk" % parts.path)
            buffer += chunk
        return Stream(first, time.monotonic() - began, size)
    finally:
        s.close()


def ffmpeg_alone(argv, whole):
    """The same command started here, its output read from a pipe through the same block."""
    began = time.monotonic()
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    first, size = None, 0
    try:
        while True:
            chunk = os.read(process.stdout.fileno(), BLOCK)
            if not chunk:
                break
            if first is None:
                first = time.monotonic() - began
                if not whole:
                    return Stream(first, None, len(chunk))
            size += len(chunk)
        if process.wait() != 0:
            raise BenchError("ffmpeg alone ended with %d" % process.returncode)
        return Stream(first, time.monotonic() - began, size)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stdout.close()


def hearth_command(pid):
    """hearth's running ffmpeg's argument list, its input (an inherited descriptor read
    through /proc/self/fd) replaced by the file's path."""
    children = ffmpeg_children(pid)
    if len(children) != 1:
        raise BenchError("hearth runs %d ffmpeg processes, not one" % len(children))
    with open("/proc/%d/cmdline" % children[0], "rb") as f:
        argv = [a.decode() for a in f.read().split(b"\0")[:-1]]
    target = os.readlink("/proc/%d/fd/3" % children[0])
    return [("file:" + target) if a.startswith("file:/proc/self/fd/") else a for a in argv]


# --- the run ---------------------------------------------------------------------------------

def measure(server, urls, durations, runs):
    """For each film: hearth's ffmpeg command, and per side the first byte and speed."""
    results = {}
    pid = server.process.pid
    for name, client in ((REMUX, PS3), (FULL, UNKNOWN)):
        log("%s: warming up, reading hearth's ffmpeg command ..." % name)
        command = []
        through_hearth(urls[name], client, False, lambda: command.extend(hearth_command(pid)))
        wait_no_conversion(pid)
        ffmpeg_alone(command, False)
        ours, alone = [], []
        for run in range(runs):
            for side in (("ours", "alone") if run % 2 == 0 else ("alone", "ours")):
                if side == "ours":
                    ours.append(through_hearth(urls[name], client, True))
                    wait_no_conversion(pid)
                else:
                    alone.append(ffmpeg_alone(command, True))
            log("%s: run %d: first byte %.0f / %.0f ms, %.1fx / %.1fx real time"
                % (name, run + 1, ours[-1].first * 1000, alone[-1].first * 1000,
                   durations[name] / ours[-1].last, durations[name] / alone[-1].last))
        results[name] = {"command": command, "ours": ours, "alone": alone}
    return results


def print_table(results, durations):
    rows = []
    header = ["case", "ours (median)", "ffmpeg alone (median)", "ratio", "target", "met"]
    labels = {REMUX: "container change (PS3: 1080p H.264 + AAC, Matroska to MPEG-TS)",
              FULL: "full conversion (generic: 1080p H.264 4:4:4 + DTS to H.264 + AC-3)"}
    speed_targets = {REMUX: 20, FULL: 1}
    first_limits = {REMUX: 1000, FULL: 2000}  # ms, whatever ffmpeg alone takes
    notes = []
    for name in (REMUX, FULL):
        ours, alone = results[name]["ours"], results[name]["alone"]
        first = median([s.first for s in ours]) * 1000
        first_alone = median([s.first for s in alone]) * 1000
        # Overhead as the median of each run's own ratio: the machine's noise hits both sides
        # of one run alike.
        ratio = median([o.first / a.first for o, a in zip(ours, alone)])
        limit = first_limits[name]
        rows.append(["%s, first byte, ms" % labels[name], "%.0f" % first, "%.0f" % first_alone,
                     "%.2fx" % ratio, "< 1.10x, <= %d ms" % limit,
                     "yes" if ratio < 1.10 and first <= limit else "no"])
        speed = median([durations[name] / s.last for s in ours])
        speed_alone = median([durations[name] / s.last for s in alone])
        target = speed_targets[name]
        rows.append(["%s, x real time" % labels[name], "%.1f" % speed, "%.1f" % speed_alone,
                     "%.2fx" % median([a.last / o.last for o, a in zip(ours, alone)]),
                     ">= %dx real time" % target, "yes" if speed >= target else "no"])
        sizes, sizes_alone = median([s.size for s in ours]), median([s.size for s in alone])
        added = median([(o.first - a.first) * 1000 for o, a in zip(ours, alone)])
        notes.append("- %s (%d s): first byte %+.0f ms through hearth (median of each run's "
                     "difference); %.1f MB through hearth, %.1f MB alone; ffmpeg %s"
                     % (name, durations[name], added, sizes / 1e6, sizes_alone / 1e6,
                        " ".join(results[name]["command"][1:])))
    print_markdown([header] + rows)
    print()
    print("- ratio: ours/alone for the first byte (median of each run's own ratio), alone's "
          "time/ours for the speed")
    for line in notes:
        print(line)


def check_sizes(results):
    """A stream much shorter than ffmpeg's own output was cut: not a measurement."""
    for name, result in results.items():
        for ours, alone in zip(result["ours"], result["alone"]):
            if abs(ours.size - alone.size) > 0.02 * alone.size:
                raise BenchError("%s: %d bytes through hearth, %d alone"
                                 % (name, ours.size, alone.size))


def main():
    args, status = options_in_namespace(__file__, __doc__, "12 s and 6 s films (a try-out)")
    if args is None:
        return status
    setup_loopback()

    root = tempfile.mkdtemp(prefix="hearth-bench-convert-")
    processes = Processes()
    began = time.monotonic()
    load = os.getloadavg()
    try:
        media, durations = make_media(os.path.join(args.build, "convert-media"), args.small)
        log("starting hearth ...")
        server = start_hearth(processes, args.build, root, media)
        deadline = time.monotonic() + 120
        find_control(server, deadline)
        urls = converted_urls(server, deadline)
        results = measure(server, urls, durations, args.runs)
        check_sizes(results)
        print("CPU: %s, %d cores; load %.1f/%.1f/%.1f at the start, %.1f at the end; %d runs "
              "per case, the sides in turn; total %.0f s"
              % (cpu_model(), os.cpu_count(), load[0], load[1], load[2], os.getloadavg()[0],
                 args.runs, time.monotonic() - began))
        print()
        print_table(results, durations)
        return 0
    except BenchError as error:
        log("bench: %s" % error)
        return 1
    finally:
        clean_up(processes, root, args.keep)


if __name__ == "__main__":
    sys.exit(main())
