#!/usr/bin/env python3
"""Hearth's DLNA front door beside two media servers from Debian, anacrolix-dms and minidlna,
on the same data, as black boxes. Started by bench/run (which builds and installs them); runs
in a network namespace of its own, so no packet leaves the machine and port 1900 is free.

Cases: BrowseDirectChildren of a 10,000-file folder (all of it, paged as each server needs),
the same folder walked by pages of 50, memory added while browsing it, a player's LIST and the
device description while 16 clients page through the folder, GET of a 1 GiB file, 3,000 GETs
of 64 KiB ranges on one connection, and the time from start until the folder lists all 10,000
(minidlna's scan).

    dlna.py --build DIR [--runs N] [--keep] [--small]
"""

import http.client
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape, quoteattr

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from driver import BenchError, Client, PeakMemory, Processes, clean_up, cpu_model, log, median, mib, options_in_namespace, print_markdown  # noqa: E402

GIB = 1 << 30
PAGE = 50
LOAD_CLIENTS = 16
LOAD_SECONDS = 5
HEARTH_PLAYER_PORT = 8000
RANGE_COUNT = 3000
RANGE_LENGTH = 64 * 1024
FOLDER = "live10k"
BIG = "big.wav"
SERVERS = ("hearth", "dms", "minidlna")
NAMES = {"hearth": "Vela Hearth", "dms": "anacrolix-dms", "minidlna": "minidlna"}
CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
NS = {"d": "urn:schemas-upnp-org:device-1-0",
      "didl": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
      "dc": "http://purl.org/dc/elements/1.1/"}


def wav_header(data_bytes):
    """A 16-bit stereo 44.1 kHz WAV header: every server takes the files as audio."""
    return (b"RIFF" + struct.pack("<I", 36 + data_bytes) + b"WAVEfmt "
            + struct.pack("<IHHIIHH", 16, 1, 2, 44100, 44100 * 4, 4, 16)
            + b"data" + struct.pack("<I", data_bytes))


def make_data(root, count, big_bytes):
    data = os.path.join(root, "data")
    folder = os.path.join(data, FOLDER)
    os.makedirs(folder)
    log("making a %d MiB file and a folder of %d files ..." % (big_bytes >> 20, count))
    with open(os.path.join(data, BIG), "wb") as big:
        big.write(wav_header(big_bytes - 44))
        left = big_bytes - 44
        while left:
            chunk = min(left, 16 << 20)
            big.write(os.urandom(chunk))
            left -= chunk
    small = wav_header(4000) + bytes(4000)
    for i in range(count):
        with open(os.path.join(folder, "track%05d.wav" % i), "wb") as f:
            f.write(small)
    os.chmod(root, 0o755)
    return data


# --- the servers -----------------------------------------------------------------------------

class Server:
    def __init__(self, name, process, description_url):
        self.name, self.process, self.description_url = name, process, description_url
        self.host = "127.0.0.1"  # where its HTTP server listens
        self.control = None  # (port, path) of ContentDirectory's control
        self.folder_id = None
        self.big_path = None  # the 1 GiB file's URL path on this server
        self.big_port = None


def start_hearth(processes, build, root, data):
    config = os.path.join(root, "hearth.xml")
    with open(config, "w") as xml:
        xml.write("<hearth>\n    <settings>\n        <server name=\"Benchmark\"/>\n"
                  "    </settings>\n    <video_tree/>\n    <audio_tree>\n"
                  "        <file name=%s path=%s/>\n        <livedir name=%s path=%s/>\n"
                  "    </audio_tree>\n    <pictures_tree/>\n</hearth>\n"
                  % (quoteattr(BIG), quoteattr(os.path.join(data, BIG)), quoteattr(FOLDER),
                     quoteattr(os.path.join(data, FOLDER))))
    program = os.path.join(root, "hearth")
    shutil.copy(os.path.join(build, "app", "hearth"), program)
    # Its media reader beside it, as installed: Browse tells each file's details, as minidlna's
    # does (and a media cache of the run's own, read from cold).
    shutil.copy(os.path.join(build, "app", "hearth-probe"), root)
    env = dict(os.environ, XDG_CACHE_HOME=os.path.join(root, "hearth-cache"))
    process = processes.start("hearth", [program, "-platform", "offscreen", "--config", config],
                              stdout=subprocess.DEVNULL, env=env,
                              stderr=open(os.path.join(root, "hearth.log"), "w"))
    # The HTTP port is 8200 when it is free, as it is in a namespace of our own.
    return Server("hearth", process, "http://127.0.0.1:8200/description.xml")


def start_dms(processes, root, data, port):
    process = processes.start("dms", ["/usr/bin/dms", "-path", data, "-http", "127.0.0.1:%d" % port,
                                      "-ifname", "lo", "-noProbe", "-noTranscode",
                                      "-friendlyName", "dms bench",
                                      "-fFprobeCachePath", os.path.join(root, "dms-cache")],
                              stdout=subprocess.DEVNULL, stderr=open(os.path.join(root, "dms.log"), "w"))
    return Server("dms", process, "http://127.0.0.1:%d/rootDesc.xml" % port)


def start_minidlna(processes, root, data, port):
    state = os.path.join(root, "minidlna")
    os.makedirs(state)
    conf = os.path.join(state, "minidlna.conf")
    with open(conf, "w") as f:
        f.write("port=%d\nnetwork_interface=lo\nmedia_dir=A,%s\ndb_dir=%s\nlog_dir=%s\n"
                "friendly_name=minidlna bench\ninotify=no\nenable_tivo=no\n"
                % (port, data, state, state))
    process = processes.start("minidlna", ["/usr/sbin/minidlnad", "-d", "-f", conf,
                                           "-P", os.path.join(state, "minidlna.pid")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return Server("minidlna", process, "http://127.0.0.1:%d/rootDesc.xml" % port)


# --- a small control point -------------------------------------------------------------------

def http_get(url, timeout=10):
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port or 80, timeout=timeout)
    try:
        connection.request("GET", parts.path or "/")
        response = connection.getresponse()
        return response.status, response.read()
    finally:
        connection.close()


def find_control(server, deadline):
    """ContentDirectory's control URL from the device description, once the server answers."""
    while time.monotonic() < deadline:
        if server.process.poll() is not None:
            raise BenchError("%s exited with %s" % (server.name, server.process.returncode))
        try:
            status, body = http_get(server.description_url, 2)
            if status == 200:
                root = ET.fromstring(body)
                for service in root.iter("{%s}service" % NS["d"]):
                    if service.findtext("d:serviceType", "", NS) == CDS:
                        url = urllib.parse.urljoin(server.description_url,
                                                   service.findtext("d:controlURL", "", NS))
                        parts = urllib.parse.urlsplit(url)
                        server.control = (parts.port or 80, parts.path)
                        return
        except (OSError, ET.ParseError, http.client.HTTPException):
            pass
        time.sleep(0.05)
    raise BenchError("%s did not serve its description" % server.name)


def browse_once(server, object_id, start=0, count=0, timings=None):
    """One Browse: (DIDL text, NumberReturned, TotalMatches). timings, when given, gets the
    seconds from connecting to the answer's last byte."""
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID>'
            '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
            '<StartingIndex>%d</StartingIndex><RequestedCount>%d</RequestedCount>'
            '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>'
            % (CDS, escape(object_id), start, count)).encode()
    port, path = server.control
    began = time.monotonic()
    connection = http.client.HTTPConnection(server.host, port, timeout=120)
    try:
        connection.request("POST", path, body, {
            "Content-Type": 'text/xml; charset="utf-8"',
            "SOAPACTION": '"%s#Browse"' % CDS})
        response = connection.getresponse()
        answer = response.read()
    finally:
        connection.close()
    if timings is not None:
        timings.append(time.monotonic() - began)
    if response.status != 200:
        raise BenchError("%s: Browse %s answered %d" % (server.name, object_id, response.status))
    root = ET.fromstring(answer)
    fields = {}
    for element in root.iter():
        tag = element.tag.rsplit("}", 1)[-1]
        if tag in ("Result", "NumberReturned", "TotalMatches"):
            fields[tag] = element.text or ""
    return fields["Result"], int(fields["NumberReturned"]), int(fields["TotalMatches"])


def browse_all(server, object_id):
    """Every child, paged as far as the server needs; the DIDL texts and how many children."""
    texts, returned, start = [], 0, 0
    while True:
        text, number, total = browse_once(server, object_id, start, 0)
        texts.append(text)
        returned += number
        start += number
        if number == 0 or returned >= total:
            return texts, returned


def children(texts):
    for text in texts:
        didl = ET.fromstring(text)
        for element in didl:
            kind = element.tag.rsplit("}", 1)[-1]
            title = element.findtext("dc:title", "", NS)
            # The file as stored: a converted res may come first for a client its profile says
            # cannot play it.
            stored = [r.text for r in element.findall("didl:res", NS)
                      if r.text and "/convert/" not in r.text]
            res = stored[0] if stored else None
            yield kind, element.get("id"), title, res


def locate(server):
    """The 10,000-file folder's id and the big file's URL, found by title from the root."""
    queue, seen = ["0"], 0
    while queue and seen < 200 and not (server.folder_id and server.big_path):
        object_id = queue.pop(0)
        seen += 1
        texts, _ = browse_all(server, object_id)
        for kind, child_id, title, res in children(texts):
            if kind == "container":
                if title == FOLDER:
                    server.folder_id = child_id
                elif title not in ("All Music", "Genre", "Artist", "Album", "Playlists",
                                   "Album Artist", "Composer", "Rating"):
                    queue.append(child_id)  # minidlna's views of the same files are skipped
            elif title in (BIG, BIG.rsplit(".", 1)[0]) and res and not server.big_path:
                parts = urllib.parse.urlsplit(res.strip())
                server.big_port = parts.port or 80
                server.big_path = parts.path + ("?" + parts.query if parts.query else "")
    if not (server.folder_id and server.big_path):
        raise BenchError("%s: did not find %s and %s" % (server.name, FOLDER, BIG))


def wait_until_listed(server, count, deadline):
    """Until the folder lists every file (minidlna scans first); seconds since the start."""
    while time.monotonic() < deadline:
        try:
            if server.folder_id is None:
                locate(server)
            _, returned = browse_all(server, server.folder_id)
            if returned >= count:
                return
        except (BenchError, OSError, ET.ParseError, http.client.HTTPException):
            if server.process.poll() is not None:
                raise BenchError("%s exited with %s" % (server.name, server.process.returncode))
        time.sleep(0.2)
    raise BenchError("%s did not list %d files in time" % (server.name, count))


def page_walk(server, count):
    """The folder walked by pages of PAGE, as TVs do; ms."""
    start, began = 0, time.monotonic()
    while start < count:
        _, number, _ = browse_once(server, server.folder_id, start, PAGE)
        if number == 0:
            raise BenchError("%s: an empty page at %d" % (server.name, start))
        start += number
    return (time.monotonic() - began) * 1000


def players_list():
    """A player's LIST of the audio library's top level on hearth's own port."""
    with socket.create_connection(("127.0.0.1", HEARTH_PLAYER_PORT), timeout=60) as s:
        s.sendall(b"LIST AUDIO ||\r\n\r\n")
        answer = b""
        while not answer.endswith(b"EOL\n"):
            chunk = s.recv(65536)
            if not chunk:
                raise BenchError("hearth closed a LIST unanswered")
            answer += chunk


def under_load(server, count, probes):
    """Median ms of each probe while LOAD_CLIENTS clients page through the folder without a
    pause (answers read, not parsed: the clients wait on the server, not on Python)."""
    stop, errors = threading.Event(), []
    port, path = server.control

    def client(index):
        start = (index * count // LOAD_CLIENTS) // PAGE * PAGE
        try:
            while not stop.is_set():
                body = ('<?xml version="1.0" encoding="utf-8"?>'
                        '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
                        's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
                        '<u:Browse xmlns:u="%s"><ObjectID>%s</ObjectID>'
                        '<BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>'
                        '<StartingIndex>%d</StartingIndex><RequestedCount>%d</RequestedCount>'
                        '<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>'
                        % (CDS, escape(server.folder_id), start, PAGE)).encode()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
                try:
                    connection.request("POST", path, body, {
                        "Content-Type": 'text/xml; charset="utf-8"',
                        "SOAPACTION": '"%s#Browse"' % CDS})
                    connection.getresponse().read()
                finally:
                    connection.close()
                start = (start + PAGE) % count
        except (OSError, http.client.HTTPException) as error:
            errors.append(error)

    threads = [threading.Thread(target=client, args=(i,)) for i in range(LOAD_CLIENTS)]
    for thread in threads:
        thread.start()
    samples = {name: [] for name in probes}
    try:
        time.sleep(0.5)
        end = time.monotonic() + LOAD_SECONDS
        while time.monotonic() < end:
            for name, probe in probes.items():
                began = time.monotonic()
                probe()
                samples[name].append((time.monotonic() - began) * 1000)
            time.sleep(0.05)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    if errors:
        raise BenchError("%s: a browsing client failed: %s" % (server.name, errors[0]))
    return {name: median(values) for name, values in samples.items()}


# --- the run ---------------------------------------------------------------------------------

def measure(servers, runs, client, data, count, big_bytes):
    results = {name: {} for name in servers}
    order = list(servers)
    log("browsing the %d-file folder ..." % count)
    for server in servers.values():  # warm up
        browse_all(server, server.folder_id)
    times = {name: [] for name in servers}
    memory = {name: [] for name in servers}
    for run in range(runs):
        for name in (order if run % 2 == 0 else order[::-1]):
            server = servers[name]
            watch = PeakMemory(server.process.pid)
            start = time.monotonic()
            _, returned = browse_all(server, server.folder_id)
            times[name].append((time.monotonic() - start) * 1000)
            memory[name].append(watch.added_kib())
            if returned != count:
                raise BenchError("%s listed %d of %d" % (name, returned, count))
    for name in servers:
        results[name]["browse"] = median(times[name])
        results[name]["memory"] = max(memory[name])

    # A server that reads the folder for every page takes minutes here: one walk each.
    log("walking the folder by pages of %d, then %d clients doing so ..." % (PAGE, LOAD_CLIENTS))
    for name in order:
        server = servers[name]
        results[name]["paging"] = page_walk(server, count)
        probes = {"description": lambda: http_get(server.description_url, 60)}
        if name == "hearth":
            probes["list"] = players_list
        loaded = under_load(server, count, probes)
        results[name]["loaded description"] = loaded["description"]
        results[name]["loaded list"] = loaded.get("list")

    log("GET of the whole file and %d ranges ..." % RANGE_COUNT)
    big = os.path.join(data, BIG)
    speeds = {name: [] for name in servers}
    rates = {name: [] for name in servers}
    reconnects = {name: 0 for name in servers}
    for run in range(runs):
        for name in (order if run % 2 == 0 else order[::-1]):
            server = servers[name]
            got = client.run("get", "http", server.big_port, server.big_path, big_bytes)[0]
            speeds[name].append(got["mbps"])
            ranges = client.run("ranges", "http", server.big_port, server.big_path,
                                RANGE_COUNT, RANGE_LENGTH, big)[0]
            rates[name].append(ranges["rps"])
            reconnects[name] = max(reconnects[name], int(ranges.get("reconnects", 0)))
    for name in servers:
        results[name]["get"] = median(speeds[name])
        results[name]["ranges"] = median(rates[name])
        results[name]["reconnects"] = reconnects[name]
    return results


def print_table(results, startup, count, big_bytes):
    ours = results["hearth"]
    faster = {key: max(results["dms"][key], results["minidlna"][key]) for key in ("get", "ranges")}
    rows = [
        ("BrowseDirectChildren of %s files, ms" % format(count, ","), "browse", "%.1f",
         "<= minidlna", ours["browse"] <= results["minidlna"]["browse"]),
        ("the same walked by pages of %d, ms" % PAGE, "paging", "%.1f", "<= 3x whole",
         ours["paging"] <= 3 * ours["browse"]),
        ("player's LIST while %d clients page it, median ms" % LOAD_CLIENTS, "loaded list",
         "%.1f", "< 50", ours["loaded list"] < 50),
        ("description while %d clients page it, median ms" % LOAD_CLIENTS,
         "loaded description", "%.1f", "-", None),
        ("memory added while browsing it, MiB", "memory", None, "< 32 MiB",
         ours["memory"] / 1024 < 32),
        ("GET of the %s file, MB/s" % ("1 GiB" if big_bytes == GIB else "%d MiB" % (big_bytes >> 20)),
         "get", "%.0f", ">= faster peer", ours["get"] >= faster["get"]),
        ("%s GETs of 64 KiB ranges, one connection, req/s" % format(RANGE_COUNT, ","), "ranges",
         "%.0f", ">= faster peer", ours["ranges"] >= faster["ranges"]),
        ("start until the folder lists all, s", "startup", "%.2f", "-", None),
    ]
    header = ["case"] + [NAMES[name] for name in SERVERS] + ["target", "met"]
    lines = [header]
    for label, key, form, target, met in rows:
        cells = [label]
        for name in SERVERS:
            value = startup[name] if key == "startup" else results[name][key]
            if value is None:
                cells.append("-")  # a player's LIST: hearth's own protocol
            else:
                cells.append(mib(value) if form is None else form % value)
        cells += [target, "-" if met is None else ("yes" if met else "no")]
        lines.append(cells)
    print_markdown(lines)
    print()
    for name in SERVERS:
        if results[name]["reconnects"]:
            print("- %s closes the connection after each range: asked again on a new one "
                  "(%d times)" % (NAMES[name], results[name]["reconnects"]))
    print("- start: from starting the process until the folder lists all %s files "
          "(minidlna scans first; hearth and dms read the folder at each Browse)" % format(count, ","))


def setup_loopback():
    for command in (["ip", "link", "set", "lo", "up"],
                    ["ip", "link", "set", "lo", "multicast", "on"],
                    ["ip", "route", "add", "239.0.0.0/8", "dev", "lo"]):
        subprocess.run(command, check=True)


def main():
    args, status = options_in_namespace(__file__, __doc__, "1,000 files and 64 MiB (a try-out)")
    if args is None:
        return status
    setup_loopback()
    count, big_bytes = (1000, 64 << 20) if args.small else (10000, GIB)
    client = Client(os.path.join(args.build, "bench", "harness", "bench_client"))

    root = tempfile.mkdtemp(prefix="hearth-bench-dlna-")
    processes = Processes()
    began = time.monotonic()
    try:
        data = make_data(root, count, big_bytes)
        os.sync()
        servers, startup = {}, {}
        for name, start in (("hearth", lambda: start_hearth(processes, args.build, root, data)),
                            ("dms", lambda: start_dms(processes, root, data, 8300)),
                            ("minidlna", lambda: start_minidlna(processes, root, data, 8201))):
            log("starting %s ..." % NAMES[name])
            started = time.monotonic()
            server = start()
            deadline = started + 600
            find_control(server, deadline)
            wait_until_listed(server, count, deadline)
            startup[name] = time.monotonic() - started
            servers[name] = server
            if name == "hearth":
                # Browse is timed once every file's details are known, as in minidlna's
                # database; reading them is the media table's own case.
                log("hearth reads the files' details ...")
                while time.monotonic() < deadline:
                    texts, _ = browse_all(server, server.folder_id)
                    if sum(text.count("duration=") for text in texts) >= count:
                        break
                    time.sleep(1)
        results = measure(servers, args.runs, client, data, count, big_bytes)
        print("CPU: %s, %d cores; %d runs per case, the servers in turn; total %.0f s"
              % (cpu_model(), os.cpu_count(), args.runs, time.monotonic() - began))
        print()
        print_table(results, startup, count, big_bytes)
        return 0
    except BenchError as error:
        log("bench: %s" % error)
        return 1
    finally:
        clean_up(processes, root, args.keep)


if __name__ == "__main__":
    sys.exit(main())
