#!/usr/bin/env python3
"""End-to-end check of hearth's UPnP AV / DLNA front door against clients from Debian.

In a network namespace of its own (loopback only, multicast on, a route for 239.0.0.0/8), so no
packet leaves the machine, it starts the real program with a prepared hearth.xml (video, audio
and pictures, a live folder of 2,000 files, real JPEGs) and drives it with:
  - gssdp-discover (gupnp-tools): finds the device and each of its targets, and hears it
    say byebye at quit;
  - GUPnP's control point and GUPnP-AV's DIDL-Lite parser (python3-gi): browses every
    container, pages through the 2,000 files, sees files renamed, added and removed there at
    the next Browse, checks people's order in a live folder, BrowseMetadata, unknown ids (a
    doubled "/" among them), the other actions, and subscribes to ContentDirectory until the
    first event arrives;
  - curl: descriptions, HEAD, ranges, 416, the DLNA headers, the fitted picture and thumbnail,
    the subtitles beside a film and Samsung's header naming one, paths that name nothing, and
    a SUBSCRIBE whose callback names a third host;
  - curl and ffprobe: videos converted by ffmpeg as they are sent (a container change with the
    H.264 copied, a full conversion), a time seek, byte ranges refused, the limit of
    conversions at once, and a client that goes away ending its ffmpeg.

Usage: e2e_upnp.py PATH_TO_HEARTH
Exit codes: 0 passed, 1 failed, 77 skipped (no network namespace here, or a client missing).
"""

import base64
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import warnings
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
from e2e_hearth import PHOTO, Failures, pattern, stop  # noqa: E402

SERVER_NAME = "E2E <Hearth> & Co"
LIVE_COUNT = 2000
PAGE = 300
# As people read them: folders first, digits as numbers, case and accents aside.
ORDER = ["apple.mp3", "Banana.mp3", "cherry.mp3", "Édith.mp3", "Track 2.mp3", "track 3.mp3",
         "Track 10.mp3", "zebra.mp3"]
DEVICE = "urn:schemas-upnp-org:device:MediaServer:1"
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
TARGETS = ["upnp:rootdevice", DEVICE, CDS,
           "urn:schemas-upnp-org:service:ConnectionManager:1",
           "urn:microsoft.com:service:X_MS_MediaReceiverRegistrar:1"]
SUBTITLES = {"film.srt": b"1\n00:00:00,000 --> 00:00:01,000\nHello\n",
             "film.en.vtt": b"WEBVTT\n\n00:00.000 --> 00:01.000\nHello\n",
             "other.srt": b"1\n00:00:00,000 --> 00:00:01,000\nNobody's\n"}
ALBUM = [("a.mp3", "Third", 3), ("b.mp3", "First", 1), ("c.mp3", "Second", 2)]
VIEWS = ["Artists", "Album artists", "Albums", "Genres", "All tracks"]
CLIENT_PACKAGES = "gupnp-tools python3-gi gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 curl iproute2"


def skip(why):
    print("SKIP: " + why)
    sys.exit(77)


# --- outside the namespace -------------------------------------------------------------------

def enter_namespace():
    """Runs this script again inside a network namespace of its own; its exit code."""
    for tool in ("unshare", "ip", "curl", "gssdp-discover"):
        if not shutil.which(tool):
            skip("%s is missing (Debian: %s)" % (tool, CLIENT_PACKAGES))
    argv = [sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:]
    for unshare in (["unshare", "-n"], ["unshare", "-rn"]):
        probe = subprocess.run(unshare + ["true"], capture_output=True)
        if probe.returncode == 0:
            return subprocess.run(unshare + ["--"] + argv).returncode
    skip("network namespaces are not allowed here (unshare -n: %s)"
         % probe.stderr.decode(errors="replace").strip())


def setup_loopback():
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "239.0.0.0/8", "dev", "lo"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            skip("%s failed: %s" % (" ".join(command), done.stderr.strip()))


# --- the media -------------------------------------------------------------------------------

def write_media(root):
    media = os.path.join(root, "media")
    live = os.path.join(media, "live2000")
    os.makedirs(live)
    for i in range(LIVE_COUNT):
        open(os.path.join(live, "clip%04d.mpg" % i), "wb").close()
    os.makedirs(os.path.join(media, "music", "albums"))
    os.makedirs(os.path.join(media, "music", "order", "Zoo"))
    os.makedirs(os.path.join(media, "music", "order", "ant"))
    for name in ORDER:
        open(os.path.join(media, "music", "order", name), "wb").close()
    os.makedirs(os.path.join(media, "photos"))
    files = {
        "film.avi": pattern(300000, 1),
        "music/song.mp3": pattern(70000, 2),
        "music/albums/other.mp3": pattern(5000, 3),
        "music/albums/lossless.flac": pattern(4000, 5),
        "music/albums/phone.m4a": pattern(3000, 6),
        "music/.hidden.mp3": b"hidden",
        "music/notes.txt": b"not audio",
        "secret.mp3": b"outside every library",
        "photos/photo.jpg": PHOTO,
        "photos/second.jpg": PHOTO,
        "photos/broken.jpg": b"not a picture at all",
    }
    for name, content in files.items():
        with open(os.path.join(media, name), "wb") as f:
            f.write(content)
    # A camera-sized photo of pure red, as ffmpeg writes it (when it is there).
    if shutil.which("ffmpeg"):
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=red:s=5000x2500", "-frames:v", "1",
             "-q:v", "2", os.path.join(media, "photos", "wide.jpg")], timeout=60)
    # Real media for what the probe reads: a tagged H.264/AAC film and a song with its cover.
    tagged = os.path.join(media, "tagged")
    os.makedirs(tagged)
    if shutil.which("ffmpeg"):
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "3",
             "-c:v", "libx264", "-profile:v", "high", "-level", "3.1", "-pix_fmt", "yuv420p",
             "-c:a", "aac", "-metadata", "title=Tag Title", "-metadata", "artist=Ann",
             os.path.join(tagged, "clip.mp4")], timeout=120)
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=2",
             "-f", "lavfi", "-i", "testsrc2=size=300x200:duration=0.04", "-map", "0", "-map", "1",
             "-c:a", "libmp3lame", "-c:v", "mjpeg", "-disposition:v", "attached_pic",
             "-id3v2_version", "3", "-metadata", "title=Song Title", "-metadata", "artist=Bob",
             "-metadata", "album=Album", "-metadata", "track=4", os.path.join(tagged, "tune.mp3")],
            timeout=60)
        # An album for the music views, its tracks' files named against their track order.
        for name, title, track in ALBUM:
            run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=1", "-c:a", "libmp3lame",
                 "-id3v2_version", "3", "-metadata", "title=" + title, "-metadata", "artist=Cat",
                 "-metadata", "album=Road", "-metadata", "genre=Folk", "-metadata",
                 "track=%d" % track, os.path.join(tagged, name)], timeout=60)
    # A film with subtitles beside it (HEVC/DTS Matroska where ffmpeg makes one), and a
    # subtitle of no film.
    subbed = os.path.join(media, "subbed")
    os.makedirs(subbed)
    film = os.path.join(subbed, "film.mkv")
    if shutil.which("ffmpeg"):
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "1",
             "-c:v", "libx265", "-x265-params", "log-level=error", "-c:a", "dca", "-strict", "-2",
             film], timeout=120)
    if not os.path.exists(film):
        with open(film, "wb") as f:
            f.write(pattern(4000, 7))
    for name, content in SUBTITLES.items():
        with open(os.path.join(subbed, name), "wb") as f:
            f.write(content)
    # H.264 (lossless: large, so that a held stream fills every buffer on the way) and AAC in
    # Matroska: offered as an MPEG-TS with the same video.
    os.makedirs(os.path.join(media, "convert"))
    if shutil.which("ffmpeg"):
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "60",
             "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25", "-c:a", "aac",
             os.path.join(media, "convert", "remux.mkv")], timeout=120)
        # H.264 that every client plays, with DTS sound that a plain DLNA TV does not.
        run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "5",
             "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "dca", "-strict", "-2",
             os.path.join(media, "convert", "dts.ts")], timeout=120)
    return media, files


def write_config(path, media):
    with open(path, "w", encoding="utf-8") as f:
        f.write("""<hearth>
    <settings>
        <server name="E2E &lt;Hearth&gt; &amp; Co"/>
        <conversion limit="1">
            <override client="10.0.0.9" profile="tv-of-2030"/>
        </conversion>
    </settings>
    <video_tree>
        <file name="film.avi" path="%(m)s/film.avi"/>
        <dir name="Films">
            <livedir name="live2000" path="%(m)s/live2000"/>
        </dir>
        <livedir name="tagged" path="%(m)s/tagged"/>
        <livedir name="subbed" path="%(m)s/subbed"/>
        <livedir name="convert" path="%(m)s/convert"/>
    </video_tree>
    <audio_tree>
        <livedir name="music" path="%(m)s/music"/>
        <livedir name="tagged" path="%(m)s/tagged"/>
    </audio_tree>
    <pictures_tree>
        <livedir name="photos" path="%(m)s/photos"/>
    </pictures_tree>
</hearth>
""" % {"m": media})


# --- clients ---------------------------------------------------------------------------------

def run(argv, timeout=30):
    return subprocess.run(argv, capture_output=True, timeout=timeout)


def gssdp_discover(t, target, seconds=3):
    """USN and Location pairs gssdp-discover reports as available."""
    done = run(["gssdp-discover", "-i", "lo", "-t", target, "-n", str(seconds),
                "-m", "available"], timeout=seconds + 20)
    text = done.stdout.decode(errors="replace")
    return set(re.findall(r"USN:\s*(\S+)\s+Location:\s*(\S+)", text))


def discover(t, proc):
    """Waits for the device's announcement; its description URL and UDN."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and proc.poll() is None:
        found = gssdp_discover(t, DEVICE, 2)
        for usn, location in found:
            if usn.endswith("::" + DEVICE):
                return location, usn.split("::")[0]
    return None, None


def jpeg_size(data):
    """Width and height from a JPEG's frame header; None when it is no JPEG."""
    if not data.startswith(b"\xff\xd8"):
        return None
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker, length = data[i + 1], int.from_bytes(data[i + 2:i + 4], "big")
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return int.from_bytes(data[i + 7:i + 9], "big"), int.from_bytes(data[i + 5:i + 7], "big")
        i += 2 + length
    return None


def curl(*args):
    """Status, headers (names lower case) and body of one curl request."""
    done = run(["curl", "-s", "-D", "-", "--max-time", "20"] + list(args))
    head, _, body = done.stdout.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


class Browser:
    """GUPnP's control point on the loopback, with a GLib main loop run while waiting."""

    def __init__(self, t):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GUPnPAV", "1.0")
        from gi.repository import GLib, GObject, GUPnP, GUPnPAV
        self.GLib, self.GObject, self.GUPnP, self.GUPnPAV = GLib, GObject, GUPnP, GUPnPAV
        self.t = t
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the newer call needs a GInetAddress
            self.context = GUPnP.Context.new("lo", 0)
        self.control_point = GUPnP.ControlPoint.new(self.context, DEVICE)
        self.devices = []
        self.control_point.connect("device-proxy-available",
                                   lambda _cp, device: self.devices.append(device))
        self.control_point.set_active(True)

    def wait(self, condition, seconds):
        context = self.GLib.MainContext.default()
        deadline = time.monotonic() + seconds
        while not condition() and time.monotonic() < deadline:
            context.iteration(False)
            time.sleep(0.01)
        return condition()

    def device(self):
        if not self.wait(lambda: self.devices, 15):
            return None
        return self.devices[0]

    def call(self, service, name, arguments, results):
        """Out values by name; raises GLib.Error on a SOAP fault."""
        GObject = self.GObject
        action = self.GUPnP.ServiceProxyAction.new_from_list(
            name, [a[0] for a in arguments], [self._value(a[1]) for a in arguments])
        service.call_action(action, None)
        names = [r[0] for r in results]
        types = [GObject.TYPE_STRING if r[1] is str else GObject.TYPE_UINT for r in results]
        ok, values = action.get_result_list(names, types)
        if not ok:
            raise RuntimeError("no results for " + name)
        return dict(zip(names, values))

    def _value(self, python_value):
        value = self.GObject.Value()
        if isinstance(python_value, int):
            value.init(self.GObject.TYPE_UINT)
            value.set_uint(python_value)
        else:
            value.init(self.GObject.TYPE_STRING)
            value.set_string(python_value)
        return value

    def browse(self, service, object_id, flag="BrowseDirectChildren", start=0, count=0):
        result = self.call(service, "Browse",
                           [("ObjectID", object_id), ("BrowseFlag", flag), ("Filter", "*"),
                            ("StartingIndex", start), ("RequestedCount", count),
                            ("SortCriteria", "")],
                           [("Result", str), ("NumberReturned", int), ("TotalMatches", int),
                            ("UpdateID", int)])
        containers, items = [], []
        parser = self.GUPnPAV.DIDLLiteParser()
        parser.connect("container-available", lambda _p, c: containers.append(c))
        parser.connect("item-available", lambda _p, i: items.append(i))
        if result["NumberReturned"]:  # GUPnP-AV refuses an empty DIDL-Lite element
            parser.parse_didl(result["Result"])
        return result, containers, items


def browse_everything(t, browser, cds):
    """Walks the tree from the root; (containers by title path, items by title path)."""
    result, containers, items = browser.browse(cds, "0", "BrowseMetadata")
    t.check("root metadata: one container", (len(containers), len(items)), (1, 0))
    t.check("root childCount", containers[0].get_child_count() if containers else None, 3)
    found_containers, found_items = {}, {}
    queue = [("", "0")]
    while queue:
        path, object_id = queue.pop(0)
        if path.endswith("live2000"):
            continue  # paged below
        result, containers, items = browser.browse(cds, object_id)
        t.check("children of %r: returned = matches" % path,
                result["NumberReturned"], result["TotalMatches"])
        t.check("children of %r: returned = parsed" % path,
                result["NumberReturned"], len(containers) + len(items))
        for container in containers:
            child = path + "/" + container.get_title()
            t.check("parent of " + child, container.get_parent_id(), object_id)
            queue.append((child, container.get_id()))
            # BrowseMetadata of the same id describes the same container, with its childCount.
            _, again, _ = browser.browse(cds, container.get_id(), "BrowseMetadata")
            t.check("metadata of " + child, [c.get_title() for c in again],
                    [container.get_title()])
            found_containers[child] = again[0] if again else container
        for item in items:
            found_items[path + "/" + item.get_title()] = item
    return found_containers, found_items


def page_live_folder(t, browser, cds, live_id):
    titles = []
    for start in range(0, LIVE_COUNT, PAGE):
        result, containers, items = browser.browse(cds, live_id, start=start, count=PAGE)
        t.check("page %d: TotalMatches" % start, result["TotalMatches"], LIVE_COUNT)
        t.check("page %d: NumberReturned" % start, result["NumberReturned"],
                min(PAGE, LIVE_COUNT - start))
        titles += [i.get_title() for i in items]
    t.check("pages hold every file once, in order", titles,
            ["clip%04d.mpg" % i for i in range(LIVE_COUNT)])
    result, _, items = browser.browse(cds, live_id, start=LIVE_COUNT + 5, count=10)
    t.check("start past the end", (result["NumberReturned"], result["TotalMatches"], len(items)),
            (0, LIVE_COUNT, 0))
    result, _, items = browser.browse(cds, live_id)
    t.check("RequestedCount 0 gives all", (result["NumberReturned"], len(items)),
            (LIVE_COUNT, LIVE_COUNT))


def check_live_changes(t, browser, cds, live_id, folder):
    """What changes on disk shows at the next Browse, however the folder was listed before."""
    def titles(start, count):
        _, _, items = browser.browse(cds, live_id, start=start, count=count)
        return [i.get_title() for i in items]

    os.rename(os.path.join(folder, "clip0001.mpg"), os.path.join(folder, "clip0001b.mpg"))
    t.check("renamed file shows", titles(0, 3), ["clip0000.mpg", "clip0001b.mpg", "clip0002.mpg"])
    open(os.path.join(folder, "clip0000a.mpg"), "wb").close()
    t.check("added file shows", titles(0, 3), ["clip0000.mpg", "clip0000a.mpg", "clip0001b.mpg"])
    os.remove(os.path.join(folder, "clip0000.mpg"))
    result, _, items = browser.browse(cds, live_id, start=0, count=2)
    t.check("removed file is gone", ([i.get_title() for i in items], result["TotalMatches"]),
            (["clip0000a.mpg", "clip0001b.mpg"], LIVE_COUNT))
    # Another spelling of the same path names nothing.
    doubled = "1." + base64.urlsafe_b64encode(b"Films/live2000//clip0002.mpg").decode().rstrip("=")
    try:
        browser.browse(cds, doubled, "BrowseMetadata")
        t.truth("a doubled / is no id", False)
    except browser.GLib.Error as error:
        t.check("a doubled / is no id", error.code, 701)


def check_items(t, items, files):
    classes = {"/Video/film.avi": "object.item.videoItem",
               "/Audio/music/song.mp3": "object.item.audioItem.musicTrack",
               "/Pictures/photos/photo.jpg": "object.item.imageItem.photo"}
    for path, upnp_class in classes.items():
        item = items.get(path)
        if not t.truth("item " + path + " listed", item is not None, str(sorted(items))[:400]):
            continue
        t.check("class of " + path, item.get_upnp_class(), upnp_class)
        t.truth("date of " + path, bool(item.get_date()))
        resources = item.get_resources()
        t.truth("res of " + path, len(resources) >= 1)
        for res in resources:
            info = res.get_protocol_info()
            t.truth("protocolInfo of %s is http-get" % path,
                    info is not None and info.get_protocol() == "http-get")
    for hidden in ("/Audio/music/.hidden.mp3", "/Audio/music/notes.txt"):
        t.truth(hidden + " not listed", hidden not in items)
    t.truth("nested live folder listed", "/Audio/music/albums/other.mp3" in items)
    # The configuration names no extensions: a first run's lists show the common formats.
    for common in ("/Audio/music/albums/lossless.flac", "/Audio/music/albums/phone.m4a"):
        t.truth(common + " listed by default", common in items)


def check_streaming(t, items, files):
    film = items.get("/Video/film.avi")
    if film is None:
        return
    res = film.get_resources()[0]
    url, data = res.get_uri(), files["film.avi"]
    t.check("res size", res.get_size64(), len(data))
    status, headers, body = curl("-I", "-o", "/dev/null", "-w", "received %{size_download}", url)
    t.check("HEAD status", status, 200)
    t.check("HEAD Content-Length", headers.get("content-length"), str(len(data)))
    t.check("HEAD sends no body", body, b"received 0")
    t.truth("HEAD Content-Type video", headers.get("content-type", "").startswith("video/"),
            headers.get("content-type", ""))
    features = headers.get("contentfeatures.dlna.org", "")
    t.truth("contentFeatures has DLNA.ORG_OP=01", "DLNA.ORG_OP=01" in features, features)
    t.truth("contentFeatures has DLNA.ORG_FLAGS", "DLNA.ORG_FLAGS=" in features, features)
    t.truth("Accept-Ranges bytes", headers.get("accept-ranges") == "bytes", str(headers))
    status, headers, body = curl("-H", "transferMode.dlna.org: Streaming", url)
    t.check("GET whole", (status, body == data), (200, True))
    t.check("transferMode", headers.get("transfermode.dlna.org"), "Streaming")
    status, headers, body = curl("-r", "1000-1999", url)
    t.check("range a-b", (status, headers.get("content-range"), body),
            (206, "bytes 1000-1999/%d" % len(data), data[1000:2000]))
    status, headers, body = curl("-r", "299990-", url)
    t.check("range a-", (status, headers.get("content-range"), body),
            (206, "bytes 299990-299999/%d" % len(data), data[299990:]))
    status, headers, _ = curl("-r", "%d-" % (len(data) + 10), url)
    t.check("range past the end", status, 416)
    # Keep-alive: two requests on one connection.
    done = run(["curl", "-s", "-o", "/dev/null", "-o", "/dev/null", "-w", "%{num_connects} ",
                url, url])
    t.check("keep-alive reuses the connection", done.stdout.split(), [b"1", b"0"])
    base = url.split("/", 3)
    base = base[0] + "//" + base[2]
    for path in ("/media/..%2f..%2fsecret.mp3", "/media/../secret.mp3", "/media/nothing",
                 "/etc/passwd", "/fitted/0"):
        status, _, _ = curl("--path-as-is", base + path)
        t.check("nothing at " + path, status, 404)


def centre_rgb(jpeg):
    """The centre pixel of a JPEG as ffmpeg decodes it."""
    done = subprocess.run(["ffmpeg", "-v", "error", "-i", "-", "-vf", "crop=2:2", "-f", "rawvideo",
                           "-pix_fmt", "rgb24", "-"], input=jpeg, capture_output=True, timeout=30)
    return tuple(done.stdout[:3])


def picture_resources(t, photo):
    """(profile, (width, height), url) of each res, as GUPnP-AV reads them."""
    found = []
    for res in photo.get_resources():
        info = res.get_protocol_info()
        found.append((info.get_dlna_profile() if info else None,
                      (res.get_width(), res.get_height()), res.get_uri()))
    return found


def check_pictures(t, items):
    photo = items.get("/Pictures/photos/photo.jpg")
    if photo is None:
        return
    # A 64x48 JPEG is its own JPEG_SM and is never enlarged; its thumbnail is its size too.
    resources = picture_resources(t, photo)
    t.check("small photo's res: profiles and sizes", [r[:2] for r in resources],
            [("JPEG_SM", (64, 48)), ("JPEG_TN", (64, 48))])
    if len(resources) < 2:
        return
    status, _, original = curl(resources[0][2])
    t.check("original res", (status, original == PHOTO), (200, True))
    status, headers, thumb = curl(resources[1][2])
    t.check("thumbnail res", (status, headers.get("content-type"), jpeg_size(thumb)),
            (200, "image/jpeg", (64, 48)))
    t.truth("thumbnail is named JPEG_TN",
            headers.get("contentfeatures.dlna.org", "").startswith("DLNA.ORG_PN=JPEG_TN;"))
    art = photo.get_album_art() if hasattr(photo, "get_album_art") else None
    t.check("albumArtURI is the thumbnail", art, resources[1][2])

    wide = items.get("/Pictures/photos/wide.jpg")
    if wide is None:
        print("SKIP part: ffmpeg is missing, no large photo")
        return
    resources = picture_resources(t, wide)
    t.check("large photo's res: profiles and sizes", [r[:2] for r in resources],
            [("JPEG_LRG", (4096, 2048)), ("JPEG_MED", (1024, 512)), ("JPEG_SM", (640, 320)),
             (None, (5000, 2500)), ("JPEG_TN", (160, 80))])
    for profile, size, url in resources:
        status, headers, body = curl(url)
        if profile is None:
            t.check("large photo's original", status, 200)
            continue
        t.check("%s: what is sent is the size listed" % profile,
                (status, jpeg_size(body)), (200, size))
        t.truth("%s: named in contentFeatures" % profile,
                headers.get("contentfeatures.dlna.org", "").startswith("DLNA.ORG_PN=%s;" % profile))
        if profile == "JPEG_MED":
            red = centre_rgb(body)
            t.truth("JPEG_MED keeps full-range red", len(red) == 3 and red[0] >= 250
                    and red[1] <= 8 and red[2] <= 8, str(red))


def check_details(t, browser, cds, containers):
    """What the probe read: a fresh folder's first Browse waited for it, or the next look has it."""
    if not shutil.which("ffmpeg"):
        print("SKIP part: ffmpeg is missing; media details not checked")
        return

    def look(path):
        folder = containers.get(path)
        if not t.truth(path + " listed", folder is not None, str(sorted(containers))):
            return {}
        for _ in range(20):
            _, _, items = browser.browse(cds, folder.get_id())
            found = {item.get_title(): item for item in items}
            if all(item.get_resources() and item.get_resources()[0].get_duration() > 0
                   for item in items):
                return found
            time.sleep(0.5)
        return found

    videos = look("/Video/tagged")
    film = videos.get("clip.mp4")
    if t.truth("a video keeps its file name", film is not None, str(sorted(videos))):
        res = film.get_resources()[0]
        t.check("video duration", res.get_duration(), 3)
        t.check("video resolution", (res.get_width(), res.get_height()), (320, 240))
        info = res.get_protocol_info()
        t.check("H.264/AAC MP4 profile", (info.get_mime_type(), (info.get_dlna_profile() or "")[:8]),
                ("video/mp4", "AVC_MP4_"))
        status, headers, _ = curl("-I", res.get_uri())
        t.truth("GET names the profile", "DLNA.ORG_PN=AVC_MP4_" in
                headers.get("contentfeatures.dlna.org", ""), str(headers))
        t.truth("video has art", bool(film.get_album_art()))
    songs = look("/Audio/tagged")
    song = songs.get("Song Title")
    if t.truth("a song has its title tag", song is not None, str(sorted(songs))):
        t.check("song tags", (song.get_artist(), song.get_album(), song.get_track_number()),
                ("Bob", "Album", 4))
        t.check("song duration", song.get_resources()[0].get_duration(), 2)
        art = song.get_album_art()
        if t.truth("song has album art", bool(art)):
            status, headers, body = curl(art)
            size = jpeg_size(body) if status == 200 else None
            t.truth("album art is a JPEG within 160x160",
                    headers.get("content-type") == "image/jpeg" and size is not None
                    and size[0] <= 160 and size[1] <= 160, str((status, headers, size)))


def check_kept_items(t, browser, cds, containers, media):
    """A folder left alone is answered from what was written of it before: never stale."""
    folder = containers.get("/Audio/tagged")
    path = os.path.join(media, "tagged", "tune.mp3")
    if folder is None or not os.path.exists(path):
        return
    # Kept once its folder has not changed for two seconds.
    settled = os.stat(os.path.dirname(path)).st_ctime + 2.5
    time.sleep(max(0, settled - time.time()))
    didl = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"

    def song():
        result, _, _ = browser.browse(cds, folder.get_id())
        for item in ET.fromstring(result["Result"]).iter(didl + "item"):
            if item.findtext("{http://purl.org/dc/elements/1.1/}title") == "Song Title":
                return result["Result"], item
        return result["Result"], None

    # Read, kept, then answered from what was kept.
    answers = [song() for _ in range(3)]
    t.check("a kept folder's answers are its first", [a[0] for a in answers[1:]], [answers[0][0]] * 2)
    # Rewritten in place: the folder stays as it was, the file does not.
    with open(path, "ab") as f:
        f.write(bytes(1000))
    _, item = song()
    res = item.find(didl + "res") if item is not None else None
    t.check("a file rewritten in place shows its new size",
            res.get("size") if res is not None else None, str(os.path.getsize(path)))
    if not t.truth("the song listed", item is not None):
        return
    browser.call(cds, "X_SetBookmark", [("CategoryType", "AUDIO"), ("RID", "0"),
                                        ("ObjectID", item.get("id")), ("PosSecond", 61)], [])
    _, item = song()
    t.check("a resume position shows in the kept folder",
            item.findtext("{http://www.sec.co.kr/}dcmInfo") if item is not None else None, "BM=61")


def check_subtitles(t, browser, cds, items):
    film = items.get("/Video/subbed/film.mkv")
    if not t.truth("film with subtitles listed", film is not None, str(sorted(items))[:400]):
        return
    for name in SUBTITLES:
        t.truth("subtitle %s is no item" % name, "/Video/subbed/" + name not in items)
    resources = [r for r in film.get_resources() if "/convert/" not in r.get_uri()]
    video_url = resources[0].get_uri()
    listed = [(r.get_protocol_info().get_mime_type(), r.get_uri().rsplit("/", 1)[1])
              for r in resources[1:]]
    t.check("subtitles listed after the film's res, in the folder's order", listed,
            [("text/vtt", "0.vtt"), ("text/srt", "1.srt")])
    for (mime, _), res, name in zip(listed, resources[1:], ["film.en.vtt", "film.srt"]):
        status, headers, body = curl(res.get_uri())
        t.check("GET of " + name, (status, headers.get("content-type"), body),
                (200, mime, SUBTITLES[name]))
    result, _, _ = browser.browse(cds, film.get_id(), "BrowseMetadata")
    item = ET.fromstring(result["Result"]).find("{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}item")
    caption = item.find("{http://www.sec.co.kr/}CaptionInfoEx") if item is not None else None
    chosen = resources[1].get_uri() if len(resources) > 1 else None
    t.check("sec:CaptionInfoEx names the English one",
            (caption.get("{http://www.sec.co.kr/}type"), caption.text) if caption is not None
            else None, ("vtt", chosen))
    status, headers, _ = curl("-I", "-H", "getCaptionInfo.sec: 1", video_url)
    t.check("getCaptionInfo.sec answered", (status, headers.get("captioninfo.sec")), (200, chosen))
def check_music(t, browser, cds):
    """The music views (filled by the walk from what the probe read) and Search."""
    if not shutil.which("ffmpeg"):
        print("SKIP part: ffmpeg is missing; music views not checked")
        return
    GLib = browser.GLib

    def children(object_id):
        result, containers, items = browser.browse(cds, object_id)
        return {c.get_title(): c for c in containers}, items, result

    songs = {"Song Title", "First", "Second", "Third"}
    for _ in range(60):
        views, _, _ = children("2")
        everything = views.get("All tracks")
        _, all_tracks, _ = children(everything.get_id()) if everything else ({}, [], 0)
        if songs <= {i.get_title() for i in all_tracks}:
            break
        time.sleep(0.5)
    _, containers, _ = browser.browse(cds, "2", count=len(VIEWS))
    t.check("the views come first in Audio", [c.get_title() for c in containers], VIEWS)
    t.truth("All tracks: the tagged songs", songs <= {i.get_title() for i in all_tracks},
            str([i.get_title() for i in all_tracks]))
    artists, _, _ = children(views["Artists"].get_id())
    cat = artists.get("Cat")
    if not t.truth("artist listed", cat is not None, str(sorted(artists))):
        return
    t.check("artist class", cat.get_upnp_class(), "object.container.person.musicArtist")
    albums, _, _ = children(cat.get_id())
    road = albums.get("Road")
    if not t.truth("the artist's album", road is not None, str(sorted(albums))):
        return
    t.check("album class and artist", (road.get_upnp_class(), road.get_artist()),
            ("object.container.album.musicAlbum", "Cat"))
    _, tracks, _ = children(road.get_id())
    t.check("tracks in track order", [i.get_title() for i in tracks], ["First", "Second", "Third"])
    _, _, page = browser.browse(cds, road.get_id(), start=1, count=1)
    t.check("a page of the album", [i.get_title() for i in page], ["Second"])
    _, tagged, _ = children("2." + base64.urlsafe_b64encode(b"tagged").decode().rstrip("="))
    by_id = {i.get_id(): i for i in tagged}
    for track in tracks:
        item = by_id.get(track.get_ref_id())
        if t.truth("refID names the library item of " + track.get_title(), item is not None):
            t.check("same media URL", track.get_resources()[0].get_uri(),
                    item.get_resources()[0].get_uri())
            t.check("parentID of a track in a view", track.get_parent_id(), road.get_id())
    if tracks:
        _, _, again = browser.browse(cds, tracks[0].get_id(), "BrowseMetadata")
        t.check("BrowseMetadata of a track in a view",
                [(i.get_title(), i.get_parent_id()) for i in again], [("First", road.get_id())])
    albums, _, _ = children(views["Albums"].get_id())
    t.truth("Albums", {"Album", "Road"} <= set(albums), str(sorted(albums)))
    genres, _, _ = children(views["Genres"].get_id())
    folk, _, _ = children(genres["Folk"].get_id()) if "Folk" in genres else ({}, 0, 0)
    t.check("Genres: Folk holds Road", sorted(folk), ["Road"])

    def search(container, criteria, start=0, count=0, sort=""):
        result = browser.call(cds, "Search",
                              [("ContainerID", container), ("SearchCriteria", criteria),
                               ("Filter", "*"), ("StartingIndex", start),
                               ("RequestedCount", count), ("SortCriteria", sort)],
                              [("Result", str), ("NumberReturned", int), ("TotalMatches", int),
                               ("UpdateID", int)])
        items = []
        parser = browser.GUPnPAV.DIDLLiteParser()
        parser.connect("item-available", lambda _p, i: items.append(i))
        if result["NumberReturned"]:
            parser.parse_didl(result["Result"])
        return result, items

    wmp = 'upnp:class derivedfrom "object.item.audioItem" and @refID exists false'
    found = []
    for start in range(0, len(all_tracks), 3):
        result, items = search("0", wmp, start, 3)
        t.check("WMP's search: TotalMatches", result["TotalMatches"], len(all_tracks))
        found += [i.get_title() for i in items]
    t.check("WMP's search in pages", sorted(found), sorted(i.get_title() for i in all_tracks))
    result, items = search("0", 'upnp:class derivedfrom "object.item.videoItem"', 0, 10)
    t.truth("Xbox's search: the videos", result["TotalMatches"] >= LIVE_COUNT and all(
        i.get_upnp_class().startswith("object.item.videoItem") for i in items), str(result)[:300])
    tagged_id = "1." + base64.urlsafe_b64encode(b"tagged").decode().rstrip("=")
    _, items = search(tagged_id, 'upnp:class derivedfrom "object.item.videoItem"')
    t.check("search below a video folder", [i.get_title() for i in items], ["clip.mp4"])
    _, items = search("0", 'dc:title contains "IR"', sort="-dc:title")
    t.check("BubbleUPnP's search by title, sorted", [i.get_title() for i in items],
            ["Third", "First"])
    _, items = search(road.get_id(), "*")
    t.check("search in a view: its tracks, references", [bool(i.get_ref_id()) for i in items],
            [True] * 3)
    for label, arguments, code in (("bad criteria", ("0", 'dc:title = "x'), 708),
                                    ("bad sort", ("0", "*", 0, 0, "+nope:x"), 709),
                                    ("an item is no container", (tracks[0].get_ref_id(), "*"), 710)):
        try:
            search(*arguments)
            t.truth(label + " refused", False)
        except GLib.Error as error:
            t.check(label, error.code, code)
    caps = browser.call(cds, "GetSearchCapabilities", [], [("SearchCaps", str)])["SearchCaps"]
    sort_caps = browser.call(cds, "GetSortCapabilities", [], [("SortCaps", str)])["SortCaps"]
    t.truth("search capabilities", {"upnp:class", "dc:title", "@refID"} <= set(caps.split(",")), caps)
    t.truth("sort capabilities", "dc:title" in sort_caps.split(","), sort_caps)


def ffprobe(path):
    """Container, then each stream's codec and profile, as ffprobe reads them; and the duration."""
    done = run(["ffprobe", "-v", "error", "-show_entries",
                "format=format_name,duration:stream=codec_name,profile", "-of", "json", path],
               timeout=60)
    found = json.loads(done.stdout or b"{}")
    streams = [(s.get("codec_name"), s.get("profile")) for s in found.get("streams", [])]
    form = found.get("format", {})
    return form.get("format_name"), streams, float(form.get("duration", 0))


def ffmpeg_children(pid):
    """The ffmpeg processes that hearth (pid) has started and not yet reaped."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat = f.read()
        except OSError:
            continue
        name, rest = stat[stat.index("(") + 1:stat.rindex(")")], stat[stat.rindex(")") + 2:]
        if name == "ffmpeg" and int(rest.split()[1]) == pid:
            found.append(int(entry))
    return found


def fetch(root, url, *headers):
    """Status, headers, the body's path and curl's time to the first byte."""
    body = os.path.join(root, "fetched")
    args = ["curl", "-s", "-D", "-", "-o", body, "-w", "\n%{time_starttransfer}", "--max-time", "60"]
    for header in headers:
        args += ["-H", header]
    done = run(args + [url], timeout=90)
    head, _, timing = done.stdout.rpartition(b"\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if len(lines[0].split()) > 1 else 0
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return status, fields, body, float(timing or 0)


# Each from an address of its own: a client is remembered by its address.
CLIENTS = {"ps3": ("PLAYSTATION 3", "127.0.0.3"), "vlc": ("VLC/3.0.18 LibVLC/3.0.18", "127.0.0.4"),
           "unknown": ("SomeTV/1.0 UPnP/1.0", "127.0.0.5")}


def browse_as(control, object_id, client):
    """A Browse as a client (User-Agent, address): title -> [(protocolInfo, URL) of each res]."""
    user_agent, address = client
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"'
            ' s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body><u:Browse'
            ' xmlns:u="%s"><ObjectID>%s</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>'
            '<Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>'
            '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>' % (CDS, object_id))
    status, _, answer = curl("-X", "POST", "-H", 'Content-Type: text/xml; charset="utf-8"',
                             "-H", 'SOAPACTION: "%s#Browse"' % CDS, "-A", user_agent,
                             "--interface", address,
                             "--data-binary", body, control)
    if status != 200:
        return {}
    result = next(e.text for e in ET.fromstring(answer).iter() if e.tag == "Result")
    didl = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
    return {item.findtext("{http://purl.org/dc/elements/1.1/}title"):
            [(res.get("protocolInfo"), res.text.strip()) for res in item.findall(didl + "res")]
            for item in ET.fromstring(result)}


def check_described_client(t, control, folder_id):
    """A TV whose requests say nothing of its kind is known by its own description, which it
    announces by SSDP: a Sony set without DTS gets the DTS film's sound converted."""
    description = (b'<?xml version="1.0"?><root xmlns="urn:schemas-upnp-org:device-1-0"><device>'
                   b'<friendlyName>Living room</friendlyName><manufacturer>Sony Corporation'
                   b'</manufacturer><modelName>KD-55X85J</modelName></device></root>')

    class Description(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(description)))
            self.end_headers()
            self.wfile.write(description)

        def log_message(self, *args):
            pass

    address = "127.0.0.6"
    server = http.server.HTTPServer((address, 0), Description)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    announce = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    announce.bind((address, 0))
    announce.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
    announce.sendto(("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nNT: upnp:rootdevice\r\n"
                     "NTS: ssdp:alive\r\nLOCATION: http://%s:%d/dmr.xml\r\nUSN: uuid:tv::upnp:"
                     "rootdevice\r\nCACHE-CONTROL: max-age=1800\r\n\r\n"
                     % (address, server.server_address[1])).encode(), ("239.255.255.250", 1900))
    res = []
    for _ in range(25):
        res = browse_as(control, folder_id, ("Linux/5.4 UPnP/1.0 DLNADOC/1.50", address)).get(
            "dts.ts") or []
        if any("/convert/sony-bravia/" in url for _, url in res):
            break
        time.sleep(0.2)
    server.shutdown()
    announce.close()
    t.truth("a client known by its announced description", any(
        "/convert/sony-bravia/" in url for _, url in res), str(res))


def check_conversion(t, browser, cds, containers, items, root, pid):
    """Three clients by their headers, each given what it plays: checked with ffprobe."""
    if not shutil.which("ffmpeg"):
        print("SKIP part: ffmpeg is missing; conversion not checked")
        return
    folder = containers.get("/Video/convert")
    if not t.truth("conversion folder listed", folder is not None):
        return
    control = cds.get_control_url()
    seen = {}
    for _ in range(20):
        seen = {name: browse_as(control, folder.get_id(), client)
                for name, client in CLIENTS.items()}
        # Offered once the files' details are known.
        if "DLNA.ORG_OP=10" in (seen["ps3"].get("remux.mkv") or [("", "")])[0][0] and \
                "DLNA.ORG_OP=10" in (seen["unknown"].get("dts.ts") or [("", "")])[0][0]:
            break
        time.sleep(0.5)
    converted = lambda res: "/convert/" in res[1]  # noqa: E731
    check_described_client(t, control, folder.get_id())
    t.check("VLC plays every file as it is",
            [any(map(converted, res)) for res in seen["vlc"].values()], [False] * len(seen["vlc"]))
    remux = seen["ps3"].get("remux.mkv") or [("", "")]
    t.truth("PS3: the conversion first, the original after", converted(remux[0])
            and len(remux) == 2 and not converted(remux[1]), str(remux))
    info, url = remux[0]
    mime = info.split(":")[2] if info.count(":") >= 3 else ""
    t.truth("converted res: MPEG-TS, time seek, converted", mime in ("video/mpeg", "video/mp2t")
            and "DLNA.ORG_OP=10;DLNA.ORG_CI=1" in info, info)
    t.truth("the converted URL names the client's profile", "/convert/ps3/" in url, url)

    status, fields, body, first = fetch(root, url)
    t.check("GET converted: status, type, transfer mode, no length",
            (status, fields.get("content-type"), fields.get("transfermode.dlna.org"),
             "content-length" in fields), (200, mime, "Streaming", False))
    t.truth("GET converted: first bytes within 2 s", first < 2.0, str(first))
    source = ffprobe(os.path.join(root, "media", "convert", "remux.mkv"))
    made = ffprobe(body)
    t.check("PS3, container change: MPEG-TS, the same H.264, AAC", (made[0], made[1]),
            ("mpegts", [source[1][0], ("aac", "LC")]))
    t.truth("container change: the whole film", 59 < made[2] < 61, str(made[2]))

    dts = seen["unknown"].get("dts.ts") or [("", "")]
    if t.truth("an unknown client: H.264 with DTS converted", converted(dts[0]), str(dts)):
        status, _, body, _ = fetch(root, dts[0][1])
        made = ffprobe(body)
        t.check("unknown client, audio-only conversion: the same H.264, AC-3",
                (status, made[0], made[1][0], made[1][1][0]),
                (200, "mpegts", ffprobe(os.path.join(root, "media", "convert", "dts.ts"))[1][0],
                 "ac3"))

    status, fields, body, _ = fetch(root, url, "TimeSeekRange.dlna.org: npt=50-")
    t.truth("time seek answered with its range", status == 200 and re.fullmatch(
        r"npt=50\.000-60\.\d{3}/60\.\d{3}", fields.get("timeseekrange.dlna.org", "")), str(fields))
    t.truth("time seek: the last 10 s", 8 < ffprobe(body)[2] < 12.5, str(ffprobe(body)))
    status, _, _, _ = fetch(root, url, "Range: bytes=1000-")
    t.check("byte seek on a converted stream", status, 406)
    status, fields, _ = curl("-I", url)
    t.check("HEAD converted: headers, no ffmpeg", (status, fields.get("content-type"),
            ffmpeg_children(pid)), (200, mime, []))

    full = items.get("/Video/subbed/film.mkv")
    if full is not None:
        subbed = browse_as(control, full.get_parent_id(), CLIENTS["ps3"]).get("film.mkv") or []
        full_res = [res for res in subbed if converted(res)]
        if t.check("HEVC/DTS film for a PS3: a converted res", len(full_res), 1):
            # Its ffmpeg's arguments, read while it runs: the film's subtitle is burnt in, as
            # the PS3 shows none and the picture is made anew anyway.
            commands = []

            def watch():
                deadline = time.monotonic() + 10
                while not commands and time.monotonic() < deadline:
                    for child in ffmpeg_children(pid):
                        try:
                            with open("/proc/%d/cmdline" % child, "rb") as f:
                                commands.append(f.read().split(b"\0"))
                        except OSError:
                            pass
                    time.sleep(0.01)
            watcher = threading.Thread(target=watch)
            watcher.start()
            status, _, body, _ = fetch(root, full_res[0][1])
            watcher.join()
            made = ffprobe(body)
            t.check("full conversion: MPEG-TS of H.264 and AC-3",
                    (status, made[0], [codec for codec, _ in made[1]]),
                    (200, "mpegts", ["h264", "ac3"]))
            t.truth("full conversion: the subtitle burnt in", any(
                b"subtitles=" in b" ".join(command) for command in commands), str(commands))

    # A client that holds its stream without reading: the one conversion allowed runs on...
    held = socket.socket()
    held.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    host, port = re.match(r"http://([^:/]+):(\d+)", url).groups()
    held.connect((host, int(port)))
    held.sendall(b"GET " + url.split(port, 1)[1].encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n")
    held.settimeout(10)
    t.truth("held stream: answered", held.recv(4096).startswith(b"HTTP/1.1 200"))
    time.sleep(0.5)
    running = ffmpeg_children(pid)
    t.check("held stream: its ffmpeg runs", len(running), 1)
    status, _, _, _ = fetch(root, url)
    t.check("past the limit: 503 at once", status, 503)
    # ...and ends within a second of the client's going.
    held.close()
    gone = time.monotonic()
    while ffmpeg_children(pid) and time.monotonic() - gone < 3:
        time.sleep(0.02)
    t.truth("client gone: its ffmpeg ended within a second", not ffmpeg_children(pid)
            and time.monotonic() - gone < 1.0, str(time.monotonic() - gone))
    status, _, _, _ = fetch(root, url, "TimeSeekRange.dlna.org: npt=58-")
    t.check("the limit freed", status, 200)
    # The file spoilt behind the details' back (same size and time): ffmpeg fails before its
    # first byte, and the client hears so rather than waiting on a stream that never comes.
    path = os.path.join(root, "media", "convert", "remux.mkv")
    stat = os.stat(path)
    with open(path, "r+b") as f:
        f.write(bytes(256 * 1024))
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    status, _, _, _ = fetch(root, url)
    t.check("ffmpeg failing at once: 500", status, 500)


def check_bookmark(t, browser, cds, items):
    film = items.get("/Video/film.avi")
    if film is None:
        return
    browser.call(cds, "X_SetBookmark", [("CategoryType", "VIDEO"), ("RID", "0"),
                                        ("ObjectID", film.get_id()), ("PosSecond", 754)], [])
    result, _, _ = browser.browse(cds, film.get_id(), "BrowseMetadata")
    item = ET.fromstring(result["Result"]).find("{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}item")
    t.check("bookmark as Samsung reads it",
            item.findtext("{http://www.sec.co.kr/}dcmInfo") if item is not None else None, "BM=754")
    t.check("bookmark as lastPlaybackPosition",
            item.findtext("{urn:schemas-upnp-org:metadata-1-0/upnp/}lastPlaybackPosition")
            if item is not None else None, "0:12:34")


def check_subscription(t, browser, cds, location):
    events = []
    cds.add_notify("SystemUpdateID", browser.GObject.TYPE_UINT,
                   lambda _proxy, _name, value: events.append(value))
    cds.set_subscribed(True)
    t.truth("initial SystemUpdateID event arrives", browser.wait(lambda: events, 15))
    t.truth("subscribed", cds.get_subscribed())
    base = location.rsplit("/", 1)[0]
    # A callback that names a third host is refused (and nothing is sent anywhere).
    status, _, _ = curl("-X", "SUBSCRIBE", "-H", "NT: upnp:event",
                        "-H", "CALLBACK: <http://192.0.2.1:9/x>", "-H", "TIMEOUT: Second-300",
                        base + "/ContentDirectory/event")
    t.check("CallStranger callback refused", status, 412)


def check_actions(t, browser, cds, cms):
    GLib = browser.GLib
    for object_id in ("no-such-object", "0$../../etc"):
        try:
            browser.browse(cds, object_id)
            t.truth("unknown id %r refused" % object_id, False)
        except GLib.Error as error:
            t.check("unknown id %r: error" % object_id, error.code, 701)
    result = browser.call(cds, "GetSystemUpdateID", [], [("Id", int)])
    t.truth("GetSystemUpdateID", result["Id"] >= 1)
    browser.call(cds, "GetSearchCapabilities", [], [("SearchCaps", str)])
    browser.call(cds, "GetSortCapabilities", [], [("SortCaps", str)])
    result = browser.call(cms, "GetProtocolInfo", [], [("Source", str), ("Sink", str)])
    t.truth("source protocols include video", "http-get:*:video/" in (result["Source"] or ""))


def check_byebye(t, proc, udn):
    """Quitting says byebye: a listener that has found the device hears it go."""
    listener = subprocess.Popen(["gssdp-discover", "-i", "lo", "-t", "upnp:rootdevice",
                                 "-m", "all", "-n", "10"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    text, found, stopped = b"", False, False
    deadline = time.monotonic() + 12
    while time.monotonic() < deadline:
        ready, _, _ = select.select([listener.stdout], [], [], 0.2)
        if ready:
            chunk = os.read(listener.stdout.fileno(), 65536)
            if not chunk:
                break
            text += chunk
        # gssdp reports a byebye only for a resource it knows.
        if not stopped and b"resource available" in text and udn.encode() in text:
            found = stopped = True
            stop(proc)
        if stopped and b"resource unavailable" in text:
            break
    listener.kill()
    listener.wait()
    t.truth("gssdp-discover finds the device before quit", found)
    said = text.split(b"resource unavailable", 1)
    t.truth("gssdp-discover hears byebye at quit",
            len(said) == 2 and udn.encode() + b"::upnp:rootdevice" in said[1], text.decode()[-300:])


def inside(executable):
    setup_loopback()
    t = Failures()
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-upnp-") as root:
        program = os.path.join(root, "hearth")
        shutil.copy2(executable, program)
        # Its media reader goes with it, as it is installed.
        probe = os.path.join(os.path.dirname(executable), "hearth-probe")
        if os.path.exists(probe):
            shutil.copy2(probe, os.path.join(root, "hearth-probe"))
        media, files = write_media(root)
        config = os.path.join(root, "hearth.xml")
        write_config(config, media)
        # A port taken at 8200: the server takes the next one up, as at every start.
        taken = socket.socket()
        taken.bind(("127.0.0.1", 8200))
        taken.listen(1)
        # Play positions and media details go to folders of the run's own.
        env = dict(os.environ, XDG_STATE_HOME=os.path.join(root, "state"),
                   XDG_CACHE_HOME=os.path.join(root, "cache"))
        proc = subprocess.Popen([program, "-platform", "offscreen", "--config", config],
                                cwd=root, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            location, udn = discover(t, proc)
            if not t.truth("gssdp-discover finds the media server", location):
                return finish(t, proc)
            t.truth("LOCATION on the next port up from the taken 8200",
                    location.startswith("http://127.0.0.1:8201/"), location)
            usns = {usn for usn, _ in gssdp_discover(t, "ssdp:all", 3)}
            for target in TARGETS:
                t.truth("gssdp-discover: " + target, udn + "::" + target in usns, str(usns))
            t.truth("gssdp-discover: " + udn, udn in usns)

            status, headers, body = curl(location)
            t.check("description status", status, 200)
            description = ET.fromstring(body)
            ns = {"d": "urn:schemas-upnp-org:device-1-0"}
            t.check("friendlyName", description.findtext("d:device/d:friendlyName", None, ns),
                    SERVER_NAME)
            t.check("Samsung's sets may ask for captions",
                    description.findtext("d:device/{http://www.sec.co.kr/dlna}ProductCap", None, ns),
                    "getCaptionInfo.sec")
            base = location.rsplit("/", 1)[0]
            icons = description.findall("d:device/d:iconList/d:icon", ns)
            t.truth("icons listed", len(icons) >= 2)
            for icon in icons:
                url = icon.findtext("d:url", "", ns)
                status, headers, body = curl(base + url)
                t.check("icon " + url, (status, headers.get("content-type")),
                        (200, icon.findtext("d:mimetype", "", ns)))
                if headers.get("content-type") == "image/jpeg":
                    t.check("icon size " + url, jpeg_size(body),
                            (int(icon.findtext("d:width", "0", ns)),
                             int(icon.findtext("d:height", "0", ns))))

            try:
                browser = Browser(t)
            except (ImportError, ValueError) as error:
                print("SKIP part: GUPnP from Python is missing (%s): %s" % (CLIENT_PACKAGES, error))
                return finish(t, proc)
            device = browser.device()
            if not t.truth("GUPnP control point finds the device", device is not None):
                return finish(t, proc)
            t.check("GUPnP: friendly name", device.get_friendly_name(), SERVER_NAME)
            t.check("GUPnP: UDN", device.get_udn(), udn)
            cds = device.get_service(CDS)
            cms = device.get_service("urn:schemas-upnp-org:service:ConnectionManager:1")
            containers, items = browse_everything(t, browser, cds)
            t.check("top containers", sorted(k for k in containers if k.count("/") == 1),
                    ["/Audio", "/Pictures", "/Video"])
            live = containers.get("/Video/Films/live2000")
            if t.truth("live folder listed", live is not None, str(sorted(containers))):
                t.check("live folder childCount", live.get_child_count(), LIVE_COUNT)
                page_live_folder(t, browser, cds, live.get_id())
                check_live_changes(t, browser, cds, live.get_id(), os.path.join(media, "live2000"))
            t.check("order of a live folder",
                    [k.rsplit("/", 1)[1] for k in list(containers) + list(items)
                     if k.startswith("/Audio/music/order/")], ["ant", "Zoo"] + ORDER)
            check_items(t, items, files)
            check_actions(t, browser, cds, cms)
            check_streaming(t, items, files)
            check_pictures(t, items)
            check_details(t, browser, cds, containers)
            check_kept_items(t, browser, cds, containers, media)
            check_subtitles(t, browser, cds, items)
            check_music(t, browser, cds)
            check_conversion(t, browser, cds, containers, items, root, proc.pid)
            check_bookmark(t, browser, cds, items)
            check_subscription(t, browser, cds, location)
            check_byebye(t, proc, udn)
        except Exception as error:  # a client's failure is a failed check, reported in full
            t.truth("no client error", False, repr(error))
        return finish(t, proc, config)


def finish(t, proc, config=None):
    out, err = stop(proc)
    t.check("exit code after SIGTERM", proc.returncode, 0)
    if config:
        # A client's chosen profile outlives the run, even one no profile file names yet.
        with open(config, encoding="utf-8") as f:
            saved = f.read()
        t.truth("client profile choice saved",
                '<override client="10.0.0.9" profile="tv-of-2030"/>' in saved, saved[:1200])
    if t.failed:
        sys.stdout.write(err.decode(errors="replace")[-3000:])
    print("%d passed, %d failed" % (t.passed, t.failed))
    return 0 if t.failed == 0 else 1


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--inside":
        return inside(sys.argv[2])
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    try:
        import gi  # noqa: F401
    except ImportError:
        # Debian's bindings belong to Debian's interpreter, which may not be the first one.
        if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != \
                os.path.realpath("/usr/bin/python3"):
            os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
        skip("python3-gi is missing (Debian: %s)" % CLIENT_PACKAGES)
    return enter_namespace()


if __name__ == "__main__":
    sys.exit(main())
