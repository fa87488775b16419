#!/usr/bin/env python3
"""End-to-end check of the Windows hearth.exe under Wine, spoken to from Linux.

The same media, hearth.xml and protocol checks as tests/e2e/e2e_hearth.py, whose helpers this
uses: hearth.exe starts headless (-platform offscreen, --config in a temporary directory),
answers the discovery question and LIST/ACTION/SIZE/GET on 127.0.0.1:8000 byte for byte like
the Linux program, is found by SSDP and browsed and streamed from as a DLNA server (the file
read in blocks there, with no sendfile), and rewrites hearth.xml when asked to quit the ways
Windows asks: WM_CLOSE
from taskkill (without /f, as a setup program would), and the end of the session
(wineboot --end-session sends WM_QUERYENDSESSION and WM_ENDSESSION), this one while the
first-run question is still open. Wine does not turn SIGINT into a console event for a program
without a console (hearth.exe is a GUI program), so Ctrl+C is left to tst_startup.

As a PlayStation 3 (by its User-Agent), Matroska files it cannot play, made with Debian's
ffmpeg, come back as MPEG-TS converted by the ffmpeg.exe beside hearth.exe; Debian's ffprobe
reads what came.

Runs in a network namespace of its own, so port 8000 is free and nothing leaves the machine.

Usage: e2e_windows.py HEARTH_EXE WINE_RUN PROGRAM_DIR
Exit codes: 0 passed, 1 failed, 77 skipped (no network namespace, or no Wine).
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e_hearth as e2e  # noqa: E402

NAMESPACE_FLAG = "HEARTH_E2E_IN_NAMESPACE"


def enter_namespace():
    """Runs this script again in a network namespace with only a loopback; its exit code."""
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        print("SKIP: unshare or ip missing; the test needs a network namespace.")
        return 77
    env = dict(os.environ, **{NAMESPACE_FLAG: "1"})
    # Multicast on the loopback, for SSDP.
    command = ('ip link set lo up && ip link set lo multicast on && '
               'ip route add 239.0.0.0/8 dev lo && exec "$0" "$@"')
    try:
        probe = subprocess.run(["unshare", "-n", "true"], capture_output=True)
    except OSError as error:
        print("SKIP: %s" % error)
        return 77
    if probe.returncode != 0:
        print("SKIP: network namespaces are not allowed here (%s)"
              % probe.stderr.decode(errors="replace").strip())
        return 77
    return subprocess.call(["unshare", "-n", "sh", "-c", command, sys.executable]
                           + sys.argv, env=env)


def windows_path(path):
    # Wine's drive Z: is the Linux root; Qt takes forward slashes.
    return "Z:" + path


class Hearth:
    """hearth.exe under Wine, headless, with the configuration file given."""

    def __init__(self, wine_run, program_dir, exe, config, prefix):
        self.env = dict(os.environ, WINEPREFIX=prefix)
        self.wine_run = wine_run
        self.program_dir = program_dir
        self.proc = subprocess.Popen(
            [wine_run, program_dir, exe, "-platform", "offscreen",
             "--config", windows_path(config)],
            env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def taskkill(self):
        """WM_CLOSE to hearth's windows, as taskkill without /f sends it."""
        return subprocess.run([self.wine_run, self.program_dir, "taskkill", "/im", "hearth.exe"],
                              env=self.env, capture_output=True, timeout=60)

    def end_session(self):
        return subprocess.run([self.wine_run, self.program_dir, "wineboot", "--end-session"],
                              env=self.env, capture_output=True, timeout=60)

    def wait(self, timeout=60):
        try:
            return self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.communicate()


PS3 = "PLAYSTATION 3"
DIDL = "{urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/}"
DC = "{http://purl.org/dc/elements/1.1/}"
DEVICE = "{urn:schemas-upnp-org:device-1-0}"
BROWSE = """<?xml version="1.0"?>
<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"
 s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>
<u:Browse xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1"><ObjectID>%s</ObjectID>
<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>0</StartingIndex>
<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>"""


def http(url, data=None, headers=None):
    request = urllib.request.Request(url, data=data, headers=headers or {})
    with urllib.request.urlopen(request, timeout=e2e.TIMEOUT) as answer:
        return answer.status, answer.headers, answer.read()


def browse_all(control, object_id, user_agent=None):
    """The children of object_id: title -> (id, [(protocolInfo, URL) of each res])."""
    headers = {"Content-Type": 'text/xml; charset="utf-8"',
               "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'}
    if user_agent:
        headers["User-Agent"] = user_agent
    _, _, body = http(control, BROWSE.encode() % object_id.encode(), headers)
    result = next(e.text for e in ET.fromstring(body).iter() if e.tag == "Result")
    return {entry.findtext(DC + "title"): (entry.get("id"), [
        (res.get("protocolInfo"), res.text.strip()) for res in entry.findall(DIDL + "res")])
        for entry in ET.fromstring(result)}


def browse(control, object_id):
    """The children of object_id: title -> (id, URL of the first res or None)."""
    return {title: (item_id, res[0][1] if res else None)
            for title, (item_id, res) in browse_all(control, object_id).items()}


def song_details(t, control, albums_id, media):
    """A tagged song made with Debian's ffmpeg, read by hearth-probe.exe: its title tag and
    duration reach the DLNA client."""
    if shutil.which("ffmpeg") is None:
        print("SKIP part: ffmpeg is missing here; media details not checked")
        return
    song = os.path.join(media, "music", "albums", "tune.mp3")
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=2",
                    "-c:a", "libmp3lame", "-metadata", "title=Tune Title", "-metadata",
                    "artist=Bob", song], check=True, timeout=60)
    found = None
    # The first look queues the file; the worker under Wine takes a while to start.
    started = time.monotonic()
    deadline = started + 60
    while found is None and time.monotonic() < deadline:
        _, _, body = http(control, BROWSE.encode() % albums_id.encode(), {
            "Content-Type": 'text/xml; charset="utf-8"',
            "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'})
        result = next(e.text for e in ET.fromstring(body).iter() if e.tag == "Result")
        for item in ET.fromstring(result):
            res = item.find(DIDL + "res")
            if item.findtext(DC + "title") == "Tune Title" and res is not None:
                found = (res.get("duration"), item.findtext(
                    "{urn:schemas-upnp-org:metadata-1-0/upnp/}artist"))
        time.sleep(0.5)
    print("song details after %.1f s: %r" % (time.monotonic() - started, found))
    t.truth("hearth-probe.exe read the song's tags and duration",
            found is not None and (found[0] or "").startswith("0:00:02") and found[1] == "Bob",
            repr(found))


def find_control(t):
    """The ContentDirectory's control URL, from the description that M-SEARCH leads to."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    location = None
    # Asked again until answered: the DLNA server may start after the players' port.
    deadline = time.monotonic() + 30
    while location is None:
        s.sendto(b"M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
                 b"MAN: \"ssdp:discover\"\r\nMX: 1\r\n"
                 b"ST: urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n",
                 ("239.255.255.250", 1900))
        try:
            answer = s.recv(4096).decode("latin-1")
        except socket.timeout:
            if time.monotonic() > deadline:
                raise
            continue
        for line in answer.split("\r\n"):
            if line.lower().startswith("location:"):
                location = line.split(":", 1)[1].strip()
    t.truth("SSDP LOCATION on the loopback", location.startswith("http://127.0.0.1:"), location)
    _, _, body = http(location)
    device = ET.fromstring(body).find(DEVICE + "device")
    t.check("friendlyName", device.findtext(DEVICE + "friendlyName"), e2e.SERVER_NAME)
    return next(urllib.parse.urljoin(location, service.findtext(DEVICE + "controlURL"))
                for service in device.iter(DEVICE + "service")
                if "ContentDirectory" in service.findtext(DEVICE + "serviceType"))


def dlna(t, files, media):
    """Found by M-SEARCH, browsed down to a file and a 64 MiB one in a live folder; both
    fetched whole and in part."""
    control = find_control(t)
    top = browse(control, "0")
    t.check("root containers", sorted(top), ["Audio", "Pictures", "Video"])
    video = browse(control, top["Video"][0])
    t.check("Video", sorted(video), ["Films", "clip.avi"])
    clip = video["clip.avi"][1]
    status, headers, body = http(clip)
    t.check("GET clip.avi", (status, body == files["clip.avi"]), (200, True))
    t.truth("contentFeatures", "DLNA.ORG_OP=01" in headers.get("contentFeatures.dlna.org", ""))
    status, headers, body = http(clip, headers={"Range": "bytes=1000-1999"})
    t.check("range of clip.avi", (status, headers.get("Content-Range"), body),
            (206, "bytes 1000-1999/%d" % len(files["clip.avi"]), files["clip.avi"][1000:2000]))
    albums_id = browse(control, browse(control, top["Audio"][0])["music"][0])["albums"][0]
    albums = browse(control, albums_id)
    started = time.monotonic()
    status, _, body = http(albums["long.mp3"][1])
    seconds = time.monotonic() - started
    t.check("GET of the 64 MiB file", (status, len(body), body.count(0)),
            (200, e2e.LONG_SIZE, e2e.LONG_SIZE))
    print("64 MiB over DLNA in %.2f s (%.0f MB/s)" % (seconds, e2e.LONG_SIZE / 1e6 / seconds))
    status, _, body = http(albums["long.mp3"][1],
                           headers={"Range": "bytes=%d-" % (e2e.LONG_SIZE - 5)})
    t.check("range at the end of the 64 MiB file", (status, body), (206, bytes(5)))
    song_details(t, control, albums_id, media)


def ffprobe(path):
    """Container and each stream's codec, as Debian's ffprobe reads them."""
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                           "format=format_name:stream=codec_name", "-of", "json", path],
                          capture_output=True, timeout=60)
    found = json.loads(done.stdout or b"{}")
    return (found.get("format", {}).get("format_name"),
            [s.get("codec_name") for s in found.get("streams", [])])


# Made with Debian's ffmpeg: what a PlayStation 3 cannot play, and what it gets instead from
# hearth.exe's own ffmpeg.exe: DTS becomes AC-3; 4:4:4 H.264 becomes MPEG-2 (that ffmpeg has
# no libx264), its AAC kept.
CONVERTED = [
    ("dts.mkv", ["-t", "4", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "dca",
                 "-strict", "-2"], ["h264", "ac3"]),
    ("444.mkv", ["-t", "4", "-c:v", "libx264", "-pix_fmt", "yuv444p", "-c:a", "aac"],
     ["mpeg2video", "aac"]),
]


def conversion(t, exe, wine_run, program_dir, prefix):
    """As a PlayStation 3: Matroska files it cannot play are offered converted, GET of that res
    streams an MPEG-TS that ffmpeg.exe beside hearth.exe makes under Wine."""
    if shutil.which("ffmpeg") is None or shutil.which("ffprobe") is None:
        print("SKIP part: ffmpeg or ffprobe is missing here; conversion not checked")
        return
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-win-convert-") as root:
        media = os.path.join(root, "convert")
        os.makedirs(media)
        for name, codecs, _ in CONVERTED:
            subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                            "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=48000"] + codecs
                           + [os.path.join(media, name)], check=True, timeout=120)
        config = os.path.join(root, "hearth.xml")
        with open(config, "w", encoding="utf-8") as f:
            f.write('<hearth><settings><server name="%s"/><upnp enabled="true"/></settings>'
                    '<video_tree><livedir name="convert" path="%s"/></video_tree></hearth>\n'
                    % (e2e.SERVER_NAME, windows_path(media)))
        hearth = Hearth(wine_run, program_dir, exe, config, prefix)
        try:
            if not t.truth("conversion: hearth.exe serves", e2e.wait_for_server(hearth.proc)):
                return
            control = find_control(t)
            video = browse_all(control, "0", PS3)["Video"][0]
            folder = browse_all(control, video, PS3)["convert"][0]
            # Offered once hearth-probe.exe has read the files.
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                items = browse_all(control, folder, PS3)
                if all(any("/convert/ps3/" in url for _, url in items.get(name, (0, []))[1])
                       for name, _, _ in CONVERTED):
                    break
                time.sleep(0.5)
            for name, _, expected in CONVERTED:
                res = items.get(name, (0, []))[1]
                if not t.truth("%s for a PS3: the converted res first" % name,
                               res and "/convert/ps3/" in res[0][1], repr(res)):
                    continue
                started = time.monotonic()
                request = urllib.request.Request(res[0][1], headers={"User-Agent": PS3})
                with urllib.request.urlopen(request, timeout=60) as answer:
                    body = answer.read(1)
                    first = time.monotonic() - started
                    body += answer.read()
                made = os.path.join(root, name + ".ts")
                with open(made, "wb") as f:
                    f.write(body)
                print("%s converted under Wine: first byte after %.1f s, %d bytes in %.1f s"
                      % (name, first, len(body), time.monotonic() - started))
                t.truth("%s: first bytes within 20 s under Wine" % name, first < 20,
                        "%.1f s" % first)
                t.check("%s: an MPEG-TS of what a PS3 plays" % name, ffprobe(made),
                        ("mpegts", expected))
        except (OSError, socket.timeout, StopIteration, KeyError, ET.ParseError) as error:
            t.truth("conversion: no network error", False, repr(error))
        finally:
            hearth.taskkill()
            hearth.wait()


def run(t, exe, wine_run, program_dir, prefix):
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-win-") as root:
        media, files = e2e.write_media(root)
        config = os.path.join(root, "hearth.xml")
        original = e2e.write_config(config, windows_path(media)).replace(
            '<upnp enabled="false"/>', '<upnp enabled="true"/>')
        with open(config, "w", encoding="utf-8") as f:
            f.write(original)

        started = time.monotonic()
        hearth = Hearth(wine_run, program_dir, exe, config, prefix)
        try:
            if not e2e.wait_for_server(hearth.proc):
                out, err = hearth.wait(10) if hearth.proc.poll() is not None else (b"", b"")
                print("FAIL: hearth.exe did not start serving on port %d (exit %s)\n%s%s"
                      % (e2e.PORT, hearth.proc.poll(), out.decode(errors="replace"),
                         err.decode(errors="replace")))
                return
            print("serving %.1f s after start" % (time.monotonic() - started))
            e2e.discovery(t)
            e2e.protocol(t, files)
            dlna(t, files, media)
        except (OSError, socket.timeout, StopIteration, KeyError, ET.ParseError) as error:
            t.truth("no network error", False, repr(error))
        finally:
            killed = hearth.taskkill()
            t.check("taskkill without /f succeeded", killed.returncode, 0)
            _, err = hearth.wait()
        if not t.check("exit code after WM_CLOSE", hearth.proc.returncode, 0):
            print(err.decode(errors="replace")[-3000:])
        e2e.saved_config(t, config, original, windows_path(media))

    conversion(t, exe, wine_run, program_dir, prefix)

    # A first start, ended with the session while its question is open.
    with tempfile.TemporaryDirectory(prefix="hearth-e2e-win-first-") as root:
        config = os.path.join(root, "hearth.xml")
        hearth = Hearth(wine_run, program_dir, exe, config, prefix)
        t.truth("first start serves", e2e.wait_for_server(hearth.proc))
        t.check("wineboot --end-session", hearth.end_session().returncode, 0)
        _, err = hearth.wait()
        t.check("exit code after the session's end", hearth.proc.returncode, 0)
        t.truth("first-run question asked", b"Set up picture scaling now?" in err)
        try:
            with open(config, encoding="utf-8") as f:
                element = ET.fromstring(f.read())
            t.check("session end: hearth.xml written, libraries empty",
                    [(e.tag, len(list(e))) for e in element][1:],
                    [("video_tree", 0), ("audio_tree", 0), ("pictures_tree", 0)])
        except (OSError, ET.ParseError) as error:
            t.truth("session end: hearth.xml written", False,
                    "%s; stderr: %s" % (error, err.decode(errors="replace")))


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    if os.environ.get(NAMESPACE_FLAG) != "1":
        return enter_namespace()
    exe, wine_run, program_dir = (os.path.abspath(a) for a in sys.argv[1:])
    # A prefix of its own beside the program: the tests' prefix points at their runtime folder.
    prefix = os.path.join(os.path.dirname(program_dir), "wineprefix-e2e")

    t = e2e.Failures()
    started = time.monotonic()
    run(t, exe, wine_run, program_dir, prefix)
    print("%d passed, %d failed (%.0f s)" % (t.passed, t.failed, time.monotonic() - started))
    return 0 if t.failed == 0 and t.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
