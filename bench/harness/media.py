#!/usr/bin/env python3
"""Media details (durations, tags, covers) in hearth's DLNA door beside minidlna and Gerbera, on
the same 10,000 tagged MP3s, as black boxes. Started by bench/run (`--cases media` runs only
this); runs in a network namespace of its own, like dlna.py, whose helpers it uses.

Rows: reading the 10,000 from cold (hearth: an empty cache; minidlna and Gerbera: a fresh
database), Browse of a 2,000-file folder whose files are all known with and without the
details, a warm restart until the music views are complete, and the memory the cache and views
add for 100,000 tracks (bench/media and bench/music).

    media.py --build DIR [--runs N] [--keep] [--small]
"""

import http.client
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import BenchError, Processes, clean_up, cpu_model, log, median, options_in_namespace, print_markdown  # noqa: E402
from dlna import (NS, Server, browse_once, find_control, setup_loopback,  # noqa: E402
                  start_minidlna)

SERVERS = ("hearth", "minidlna", "gerbera")
NAMES = {"hearth": "Vela Hearth", "minidlna": "minidlna", "gerbera": "Gerbera"}
FLAT = "flat2k"  # the folder of the Browse row
TRACKS_AN_ALBUM = 12
ALBUMS_AN_ARTIST = 2
GENRES = ("Rock", "Jazz", "Classical", "Pop", "Folk", "Blues", "Electronic", "Soundtrack")
GERBERA_PORT = 49200  # its UPnP library takes ports from 49152 up only
VETH, VETH_PEER, VETH_ADDRESS = "hb0", "hb1", "127.0.0.2"  # Gerbera's interface, see setup()
COLD_LIMIT = 1800  # seconds a server may take to read the files from cold


# --- the data --------------------------------------------------------------------------------

def syncsafe(n):
    return bytes(((n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F))


def id3v23(frames):
    """An ID3v2.3 tag of (id, payload) frames."""
    body = b"".join(name.encode() + struct.pack(">IH", len(payload), 0) + payload
                    for name, payload in frames)
    return b"ID3\x03\x00\x00" + syncsafe(len(body)) + body


def text_frame(name, text):
    return name, b"\x00" + text.encode("latin-1")


def apic_frame(jpeg):
    return "APIC", b"\x00image/jpeg\x00\x03\x00" + jpeg


def make_audio(root, covers):
    """One second of sine as MPEG audio frames with no tag of its own, and `covers` small cover
    JPEGs, each a different picture (frames of FFmpeg's moving test pattern)."""
    mp3 = os.path.join(root, "sine.mp3")
    pattern = os.path.join(root, "cover%04d.jpg")
    quiet = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
    subprocess.run(quiet + ["-f", "lavfi", "-i", "sine=frequency=440:duration=1",
                            "-ac", "2", "-ar", "44100", "-b:a", "128k", "-map_metadata", "-1",
                            "-id3v2_version", "0", "-write_id3v1", "0", mp3], check=True)
    subprocess.run(quiet + ["-f", "lavfi", "-i", "testsrc=size=300x300:rate=25",
                            "-frames:v", str(covers), "-q:v", "5", "-start_number", "0",
                            pattern], check=True)
    with open(mp3, "rb") as f:
        frames = f.read()
    jpegs = []
    for n in range(covers):
        with open(pattern % n, "rb") as f:
            jpegs.append(f.read())
    if frames.startswith(b"ID3"):
        raise BenchError("ffmpeg wrote a tag although told not to")
    if len(set(jpegs)) != covers:
        raise BenchError("ffmpeg made the same cover twice")
    return frames, jpegs


def make_data(root, count, flat):
    """count tagged MP3s below data/music: flat of them in one folder, the rest as
    Artist/Album/NN Title.mp3; every fourth album (and every tenth flat file) with a cover of
    its own, which an album's tracks share."""
    albums = (count - flat + TRACKS_AN_ALBUM - 1) // TRACKS_AN_ALBUM + 1
    frames, jpegs = make_audio(root, (flat + 9) // 10 + (albums + 3) // 4)
    cover_of = {}  # album or flat file number -> its cover
    music = os.path.join(root, "data", "music")
    os.makedirs(os.path.join(music, FLAT))
    log("making %d tagged MP3s (%d in one folder) ..." % (count, flat))
    for i in range(count):
        album = i // TRACKS_AN_ALBUM
        artist = album // ALBUMS_AN_ARTIST
        track = i % TRACKS_AN_ALBUM + 1
        title = "Song %05d" % i
        if i < flat:
            path = os.path.join(music, FLAT, "%s.mp3" % title)
            cover = i % 10 == 0
        else:
            folder = os.path.join(music, "Artist %03d" % artist, "Album %04d" % album)
            if track == 1 or i == flat:
                os.makedirs(folder, exist_ok=True)
            path = os.path.join(folder, "%02d %s.mp3" % (track, title))
            cover = album % 4 == 0
        tags = [text_frame("TIT2", title), text_frame("TPE1", "Artist %03d" % artist),
                text_frame("TPE2", "Artist %03d" % (artist - artist % 3)),
                text_frame("TALB", "Album %04d" % album),
                text_frame("TCON", GENRES[album % len(GENRES)]),
                text_frame("TRCK", "%d/%d" % (track, TRACKS_AN_ALBUM)),
                text_frame("TYER", str(1960 + album % 60))]
        if cover:
            key = ("flat", i) if i < flat else ("album", album)
            tags.append(apic_frame(jpegs[cover_of.setdefault(key, len(cover_of))]))
        with open(path, "wb") as f:
            f.write(id3v23(tags) + frames)
    os.chmod(root, 0o755)
    return music


# --- the servers -----------------------------------------------------------------------------

def start_hearth(processes, build, root, music, details=True):
    """hearth with the music as a live folder of its audio library; its media cache (and its
    state) in the temporary directory, so the first start is cold and later ones warm."""
    app = os.path.join(root, "app")
    config = os.path.join(app, "hearth.xml")
    if not os.path.isdir(app):
        os.makedirs(app)
        for program in ("hearth", "hearth-probe"):  # hearth finds its reader beside it
            shutil.copy(os.path.join(build, "app", program), app)
        with open(config, "w") as xml:
            xml.write("<hearth>\n    <settings>\n        <server name=\"Benchmark\"/>\n"
                      "    </settings>\n    <video_tree/>\n    <audio_tree>\n"
                      "        <livedir name=\"Music\" path=%s/>\n"
                      "    </audio_tree>\n    <pictures_tree/>\n</hearth>\n" % quoteattr(music))
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(root, "hearth-cache"),
               XDG_STATE_HOME=os.path.join(root, "hearth-state"), QT_QPA_PLATFORM="offscreen")
    if not details:
        env["HEARTH_MEDIA_DETAILS"] = "0"
    process = processes.start("hearth", [os.path.join(app, "hearth"), "--config", config],
                              env=env, stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(root, "hearth.log"), "a"))
    return Server("hearth", process, "http://127.0.0.1:8200/description.xml")


def start_gerbera(processes, root, music):
    """Gerbera with a configuration and database of its own, importing the music at start.
    Its UPnP library will not serve the loopback, so it gets the veth made by setup()."""
    home = os.path.join(root, "gerbera")
    os.makedirs(home)
    config = os.path.join(home, "config.xml")
    with open(config, "w") as f:
        f.write("""<?xml version="1.0" encoding="UTF-8"?>
<config version="2" xmlns="http://mediatomb.cc/config/2">
  <server>
    <ui enabled="no"/>
    <name>gerbera bench</name>
    <udn>uuid:3d5a9c2e-0000-4000-8000-000000000022</udn>
    <home>%s</home>
    <webroot>/usr/share/gerbera/web</webroot>
    <storage><sqlite3 enabled="yes"><database-file>gerbera.db</database-file></sqlite3></storage>
  </server>
  <import hidden-files="no">
    <scripting script-charset="UTF-8">
      <common-script>/usr/share/gerbera/js/common.js</common-script>
      <playlist-script>/usr/share/gerbera/js/playlists.js</playlist-script>
      <virtual-layout type="builtin"/>
    </scripting>
    <mappings>
      <extension-mimetype ignore-unknown="yes">
        <map from="mp3" to="audio/mpeg"/>
      </extension-mimetype>
      <mimetype-upnpclass>
        <map from="audio/*" to="object.item.audioItem.musicTrack"/>
      </mimetype-upnpclass>
      <mimetype-contenttype><treat mimetype="audio/mpeg" as="mp3"/></mimetype-contenttype>
    </mappings>
    <online-content><YouTube enabled="no"/></online-content>
  </import>
</config>
""" % escape(home))
    process = processes.start("gerbera", ["/usr/bin/gerbera", "-c", config, "-e", VETH,
                                          "-p", str(GERBERA_PORT), "-a", music],
                              stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(root, "gerbera.log"), "w"))
    server = Server("gerbera", process,
                    "http://%s:%d/description.xml" % (VETH_ADDRESS, GERBERA_PORT))
    server.host = VETH_ADDRESS
    return server


def setup():
    """The loopback as dlna.py sets it up, and a veth pair for Gerbera (its UPnP library wants
    an interface that is not the loopback); both ends stay in this namespace."""
    setup_loopback()
    for command in (["ip", "link", "add", VETH, "type", "veth", "peer", "name", VETH_PEER],
                    ["sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % VETH,
                     "net.ipv6.conf.%s.disable_ipv6=1" % VETH_PEER],
                    ["ip", "addr", "add", VETH_ADDRESS + "/32", "dev", VETH],
                    ["ip", "link", "set", VETH_PEER, "up"],
                    ["ip", "link", "set", VETH, "up", "multicast", "on"]):
        subprocess.run(command, check=True)


# --- a control point that reads the details --------------------------------------------------

def items_of(text):
    """(containers as (id, title, childCount)), number of items, items with a duration."""
    containers, items, timed = [], 0, 0
    for element in ET.fromstring(text):
        kind = element.tag.rsplit("}", 1)[-1]
        if kind == "container":
            containers.append((element.get("id"), element.findtext("dc:title", "", NS),
                               element.get("childCount")))
        elif kind == "item":
            items += 1
            if any(res.get("duration") for res in element.findall("didl:res", NS)):
                timed += 1
    return containers, items, timed


def browse_counts(server, object_id, page=0, timings=None):
    """Every child of object_id, by pages of `page` (0: as many as the server gives):
    containers, items, timed items. timings gets each page's seconds on the wire."""
    containers, items, timed, start = [], 0, 0, 0
    while True:
        text, number, total = browse_once(server, object_id, start, page, timings)
        more, n, t = items_of(text)
        containers += more
        items, timed, start = items + n, timed + t, start + number
        if number == 0 or start >= total:
            return containers, items, timed


def child_by_title(server, object_id, title):
    for child_id, child_title, _ in browse_counts(server, object_id)[0]:
        if child_title == title:
            return child_id
    return None


def find_path(server, titles):
    object_id = "0"
    for title in titles:
        object_id = child_by_title(server, object_id, title)
        if object_id is None:
            return None
    return object_id


class FolderWalk:
    """Walks a folder tree by Browse until every file below it shows a duration; folders found
    complete are not asked again."""

    def __init__(self, server, top_id):
        self.server, self.pending, self.timed, self.seen = server, [top_id], 0, set()

    def poll(self):
        """One walk of the folders not yet complete; the files with a duration so far."""
        left, done, seen = [], self.timed, set(self.seen)
        for object_id in self.pending:
            containers, items, timed = browse_counts(self.server, object_id)
            if object_id not in seen:
                seen.add(object_id)
                left += [child_id for child_id, _, _ in containers]
            if timed == items:
                done += timed
            else:
                left.append(object_id)
        # Kept only when the whole walk answered, so that a failed one is simply asked again.
        self.pending, self.timed, self.seen = left, done, seen
        return self.timed


def wait_all_timed(server, count, started, path_to_top, all_tracks):
    """Seconds from `started` until a Browse shows `count` files with durations. all_tracks:
    the titles down to a container holding every track (minidlna, Gerbera), polled by its
    count, then its last page checked; else the folder tree at path_to_top is walked (hearth
    reads what is browsed, so the walk is what makes it read)."""
    deadline = started + COLD_LIMIT
    find_control(server, deadline)
    top, walk, shown = None, None, False
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            raise BenchError("%s exited with %s" % (server.name, server.process.returncode))
        try:
            if top is None:
                top = find_path(server, all_tracks or path_to_top)
                if top is None:
                    if time.monotonic() - started > 30 and not shown:
                        shown = True
                        titles = [title for _, title, _ in browse_counts(server, "0")[0]]
                        log("%s: no %s yet; its root holds %s"
                            % (server.name, all_tracks or path_to_top, titles))
                    time.sleep(0.2)
                    continue
                walk = None if all_tracks else FolderWalk(server, top)
            if walk is not None:
                if walk.poll() >= count:
                    return time.monotonic() - started
            else:
                _, _, total = browse_once(server, top, 0, 1)
                if total >= count:
                    # Timed when the count is reached. Both write an item with its details in
                    # one step, so only the last page is checked: Gerbera takes most of a
                    # second an item to Browse once it holds 10,000, hours for all of them.
                    done = time.monotonic() - started
                    _, items, timed = items_of(browse_once(server, top, count - 10, 10)[0])
                    if items and timed == items:
                        return done
                    log("%s: %d items, %d of the last %d with durations"
                        % (server.name, total, timed, items))
        except (OSError, ET.ParseError, http.client.HTTPException) as error:
            log("%s: %s; asking again" % (server.name, error))
        time.sleep(0.25)
    raise BenchError("%s did not show %d files with durations in %d s"
                     % (server.name, count, COLD_LIMIT))


def browse_times(server, folder_id, count, runs):
    """ms of each whole Browse of the folder (paged as the server needs) after one warm-up: from
    connecting to each answer's last byte, the DIDL read afterwards, so that the longer answer
    with details costs the client's parsing nothing."""
    times = []
    for run in range(runs + 1):
        pages = []
        _, items, timed = browse_counts(server, folder_id, 0, pages)
        if run:
            times.append(sum(pages) * 1000)
        if items != count:
            raise BenchError("%s listed %d of %d" % (server.name, items, count))
    return times, timed


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# --- the run ---------------------------------------------------------------------------------

def views_complete(server, count, started, wait_for_title=10):
    """Seconds from `started` until the Audio library's "All tracks" reports `count` children;
    None when the Audio library shows no music views within wait_for_title seconds."""
    deadline = started + 120
    find_control(server, deadline)
    audio, seen_audio = None, None
    while time.monotonic() < deadline:
        try:
            audio = audio or find_path(server, ["Audio"])
            if audio is not None:
                seen_audio = seen_audio or time.monotonic()
                for child_id, title, child_count in browse_counts(server, audio)[0]:
                    if title == "All tracks":
                        if child_count is not None and int(child_count) >= count:
                            return time.monotonic() - started
                        if browse_once(server, child_id, 0, 1)[2] >= count:
                            return time.monotonic() - started
                        break
                else:
                    if time.monotonic() - seen_audio > wait_for_title:
                        return None
        except (OSError, ET.ParseError, http.client.HTTPException) as error:
            log("hearth: %s; asking again" % error)
        time.sleep(0.05)
    raise BenchError("hearth: All tracks did not reach %d in time" % count)


def measure_hearth(processes, args, root, music, count, flat, results):
    ours = results["hearth"]
    log("hearth: reading %d files from cold ..." % count)
    started = time.monotonic()
    server = start_hearth(processes, args.build, root, music)
    library = ["Audio", os.path.basename(music)]  # a live folder is titled as on disk
    ours["cold"] = wait_all_timed(server, count, started, library, None)
    time.sleep(2)  # the cache appends what came a second after it came
    processes.stop(server.process)

    # Twice, so that neither measurement waits behind the other's Browses.
    log("hearth: restarting warm, twice ...")
    started = time.monotonic()
    server = start_hearth(processes, args.build, root, music)
    ours["views"] = views_complete(server, count, started)
    processes.stop(server.process)
    started = time.monotonic()
    server = start_hearth(processes, args.build, root, music)
    ours["warm"] = wait_all_timed(server, count, started, library, None)

    # Browse of the flat folder with the details and without them, two rounds of each, every
    # one on a hearth of its own (the seam is read at start).
    log("hearth: Browse of %d files with and without details ..." % flat)
    timings = {True: [], False: []}
    memory = {True: [], False: []}
    for round_ in range(2):
        for details in (True, False):
            if server is None:
                server = start_hearth(processes, args.build, root, music, details)
                find_control(server, time.monotonic() + 60)
            folder = find_path(server, library + [FLAT])
            if folder is None:
                raise BenchError("hearth: no folder %s" % FLAT)
            if details:
                wait_details_shown(server, folder, flat)
            times, timed = browse_times(server, folder, flat, args.runs)
            if details and timed != flat:
                raise BenchError("hearth: %d of %d files with details" % (timed, flat))
            if not details and timed:
                raise BenchError("hearth: details told although left out")
            timings[details] += times
            memory[details].append(rss_kib(server.process.pid))
            processes.stop(server.process)
            server = None
    ours["browse"] = median(timings[True])
    ours["plain"] = median(timings[False])
    ours["rss"] = median(memory[True]) - median(memory[False])
    log("hearth: %s" % {key: round(value, 2) if value is not None else None
                        for key, value in ours.items()})


def wait_details_shown(server, folder, count):
    """Until the folder shows every file with its details (the cache is read in steps)."""
    deadline = time.monotonic() + 60
    while browse_counts(server, folder)[2] < count:
        if time.monotonic() > deadline:
            raise BenchError("%s: the known files of %s did not show details" % (server.name, FLAT))
        time.sleep(0.1)


def measure_peer(processes, args, name, start, count, flat, paths, results):
    log("%s: reading %d files from cold ..." % (NAMES[name], count))
    started = time.monotonic()
    server = start()
    results[name]["cold"] = wait_all_timed(server, count, started, None, paths["all"])
    folder = find_path(server, paths["flat"])
    if folder is None:
        raise BenchError("%s: no folder %s" % (name, FLAT))
    # A first page of 50 tells whether a whole Browse can be waited for.
    began = time.monotonic()
    browse_once(server, folder, 0, 50)
    first = (time.monotonic() - began) * 1000
    if first < 2000:
        times, _ = browse_times(server, folder, flat, args.runs)
        results[name]["browse"] = median(times)
    else:
        results[name]["browse"] = None
        results[name]["page"] = first
    processes.stop(server.process)
    log("%s: %s" % (name, results[name]))


def memory_100k(build):
    """MiB the media cache (bench_media) and the music views (bench_music) add for 100,000
    tracks, as those benchmarks print them."""
    media = subprocess.run([os.path.join(build, "bench", "media", "bench_media"),
                            "--records", "100000"], capture_output=True, text=True, check=True)
    row = [line for line in media.stdout.splitlines() if line.startswith("| 100000 |")]
    cache = float(row[-1].strip("| \n").split("|")[-1]) if row else None
    music = subprocess.run([os.path.join(build, "bench", "music", "bench_music"),
                            "--tracks", "100000", "--runs", "1"], capture_output=True, text=True,
                           check=True, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    found = re.search(r"MusicIndex holds ([0-9.]+) MiB", music.stdout)
    views = float(found.group(1)) if found else None
    if cache is None or views is None:
        raise BenchError("bench_media or bench_music printed no memory figure")
    return cache, views


def print_table(results, count, flat, memory):
    ours, mini, gerb = results["hearth"], results["minidlna"], results["gerbera"]

    def cell(value, form):
        return "-" if value is None else form % value

    def ratio(a, b):
        return "-" if a is None or not b else "%.2fx" % (a / b)

    def met(value):
        return "-" if value is None else ("yes" if value else "no")

    cache, views = memory
    rows = [
        ("read %s tagged MP3s from cold, s" % format(count, ","),
         cell(ours.get("cold"), "%.1f"), cell(mini.get("cold"), "%.1f"),
         cell(gerb.get("cold"), "%.1f"), ratio(ours.get("cold"), mini.get("cold")),
         "<= minidlna", met(None if not mini.get("cold") else ours["cold"] <= mini["cold"])),
        ("Browse of %s known files with details, ms" % format(flat, ","),
         cell(ours.get("browse"), "%.1f"), cell(mini.get("browse"), "%.1f"),
         cell(gerb.get("browse"), "%.1f"), ratio(ours.get("browse"), ours.get("plain")),
         "<= 1.5x without", met(ours["browse"] <= 1.5 * ours["plain"])),
        ("the same without details (HEARTH_MEDIA_DETAILS=0), ms", cell(ours.get("plain"), "%.1f"),
         "-", "-", "-", "-", "-"),
        ("warm restart until All tracks holds %s, s" % format(count, ","),
         cell(ours.get("views"), "%.2f"), "-", "-", "-", "<= 2 s",
         met(None if ours.get("views") is None else ours["views"] <= 2)),
        ("warm restart until every file shows details, s", cell(ours.get("warm"), "%.2f"),
         "-", "-", "-", "-", "-"),
        ("memory of cache + views for 100,000 tracks, MiB", "%.1f" % (cache + views), "-", "-",
         "-", "< 100 MiB", met(cache + views < 100)),
    ]
    header = ["case", NAMES["hearth"], NAMES["minidlna"], NAMES["gerbera"], "ratio", "target",
              "met"]
    print_markdown([header] + [list(row) for row in rows])
    print()
    print("- ratio: ours/minidlna for the cold read, ours with/without details for Browse")
    print("- memory: media cache %.1f MiB (bench_media) + music views %.1f MiB (bench_music); "
          "the real hearth with %s tracks browsed: %+.1f MiB resident with details"
          % (cache, views, format(count, ","), ours["rss"] / 1024))
    for name in ("minidlna", "gerbera"):
        if results[name].get("page"):
            print("- %s took %.0f ms for the folder's first 50 files alone: its whole Browse "
                  "was not waited for" % (NAMES[name], results[name]["page"]))
    if ours.get("views") is None:
        print("- the Audio library shows no \"All tracks\" container yet: no music views to time")


def main():
    args, status = options_in_namespace(__file__, __doc__, "1,000 files, 200 in the folder")
    if args is None:
        return status
    setup()
    count, flat = (1000, 200) if args.small else (10000, 2000)

    root = tempfile.mkdtemp(prefix="hearth-bench-media-")
    processes = Processes()
    began = time.monotonic()
    load = os.getloadavg()[0]
    try:
        music = make_data(root, count, flat)
        os.sync()
        results = {name: {} for name in SERVERS}
        measure_hearth(processes, args, root, music, count, flat, results)
        measure_peer(processes, args, "minidlna",
                     lambda: start_minidlna(processes, root, music, 8201), count, flat,
                     {"all": ["Music", "All Music"], "flat": ["Browse Folders", FLAT]},
                     results)
        measure_peer(processes, args, "gerbera", lambda: start_gerbera(processes, root, music),
                     count, flat,
                     {"all": ["Audio", "All Audio"],
                      "flat": ["PC Directory"] + music.strip("/").split("/") + [FLAT]},
                     results)
        memory = memory_100k(args.build)
        print("CPU: %s, %d cores; load %.1f at the start, %.1f at the end; %d runs per Browse; "
              "total %.0f s" % (cpu_model(), os.cpu_count(), load, os.getloadavg()[0], args.runs,
                                time.monotonic() - began))
        print()
        print_table(results, count, flat, memory)
        return 0
    except BenchError as error:
        log("bench: %s" % error)
        return 1
    finally:
        clean_up(processes, root, args.keep)


if __name__ == "__main__":
    sys.exit(main())
