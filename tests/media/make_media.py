#!/usr/bin/env python3
"""Makes the media tst_mediaprober reads, with Debian's ffmpeg, into the folder given.

   make_media.py DIR

Every file is made from FFmpeg's own test sources; the JPEG gets an EXIF block written here.
"""
import os
import struct
import subprocess
import sys

out = sys.argv[1]
os.makedirs(out, exist_ok=True)


def path(name):
    return os.path.join(out, name)


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True)


VIDEO = ["-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25"]
TONE = ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"]
COVER = ["-f", "lavfi", "-i", "testsrc2=size=300x200:duration=0.04"]

ffmpeg(*VIDEO, *TONE, "-t", "3", "-c:v", "libx264", "-profile:v", "high", "-level", "3.1",
       "-pix_fmt", "yuv420p", "-c:a", "aac",
       "-metadata", "title=A Clip", "-metadata", "artist=Ann", "-metadata", "album_artist=The Band",
       "-metadata", "album=Tests", "-metadata", "genre=Jazz", "-metadata", "track=3/12",
       "-metadata", "disc=1/2", "-metadata", "date=2019-04-12", path("h264_aac.mp4"))
# A phone's portrait video: stored sideways, turned upright by its display matrix.
ffmpeg("-i", path("h264_aac.mp4"), "-map", "0:v", "-map_metadata", "-1", "-c", "copy",
       "-metadata:s:v:0", "rotate=90", path("portrait.mp4"))
ffmpeg(*VIDEO, *TONE, "-t", "2", "-c:v", "mpeg2video", "-c:a", "mp2", "-ac", "2",
       path("mpeg2.ts"))
with open(path("subs.srt"), "w") as f:
    f.write("1\n00:00:00,000 --> 00:00:01,000\nHello\n")
ffmpeg(*VIDEO, "-f", "lavfi", "-i", "sine=sample_rate=48000", "-i", path("subs.srt"), "-t", "2",
       "-map", "0", "-map", "1", "-map", "1", "-map", "2",
       "-c:v", "libx265", "-x265-params", "log-level=none", "-preset", "ultrafast",
       "-c:a:0", "ac3", "-ac:a:0", "6", "-c:a:1", "dca", "-strict", "-2", "-ac:a:1", "2",
       "-c:s", "srt", "-metadata:s:s:0", "language=eng", path("hevc_ac3_dts.mkv"))
os.remove(path("subs.srt"))
ffmpeg("-f", "lavfi", "-i", "sine=duration=2", *COVER, "-map", "0", "-map", "1",
       "-c:a", "libmp3lame", "-b:a", "64k", "-c:v", "mjpeg", "-disposition:v", "attached_pic",
       "-id3v2_version", "3", "-metadata", "title=Song", "-metadata", "artist=Bob",
       "-metadata", "album=Album", "-metadata", "track=4/9", "-metadata", "disc=2",
       "-metadata", "genre=Rock", "-metadata", "date=2001", path("tagged.mp3"))
ffmpeg("-f", "lavfi", "-i", "sine=duration=1:sample_rate=44100", *COVER, "-map", "0", "-map", "1",
       "-c:a", "flac", "-c:v", "png", "-disposition:v", "attached_pic",
       "-metadata", "TITLE=Lossless", "-metadata", "ARTIST=Cleo", "-metadata", "ALBUMARTIST=Cleo & Co",
       "-metadata", "TRACKNUMBER=7", "-metadata", "DISCNUMBER=1", "-metadata", "DATE=2020",
       path("tagged.flac"))
# A cover too big for FFmpeg's first probing reads to hold the ID3 tag, and one of the same size
# unlike it, for files read one after the other.
for name, source in (("bigcover.mp3", "testsrc2"), ("othercover.mp3", "testsrc")):
    ffmpeg("-f", "lavfi", "-i", source + "=size=1200x1200:duration=1", "-frames:v", "1",
           "-q:v", "2", path("cover.jpg"))
    ffmpeg("-f", "lavfi", "-i", "sine=duration=1", "-i", path("cover.jpg"), "-map", "0",
           "-map", "1", "-c:a", "libmp3lame", "-c:v", "copy", "-disposition:v", "attached_pic",
           "-metadata", "title=Big", path(name))
    os.remove(path("cover.jpg"))
# AAC in ADTS after an ID3 tag, as some stations and shops sell it.
ffmpeg("-f", "lavfi", "-i", "sine=duration=1:sample_rate=44100", "-c:a", "aac", "-f", "adts",
       path("plain.aac"))
def id3(title, size=None):
    """An ID3v2.3 tag holding a title; `size` claims another length than its own."""
    text = b"\0" + title.encode()
    frame = b"TIT2" + struct.pack(">IH", len(text), 0) + text
    n = len(frame) if size is None else size
    return b"ID3\3\0\0" + bytes(((n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F,
                                  n & 0x7F)) + frame


with open(path("plain.aac"), "rb") as f:
    adts = f.read()
with open(path("tagged.aac"), "wb") as f:
    f.write(id3("ADTS with a tag") + adts)
os.remove(path("plain.aac"))
# Tags in odd places: two in a row, one with nothing after it, one that claims more than the
# file holds.
with open(path("bigcover.mp3"), "rb") as f:
    mp3 = f.read()
with open(path("twotags.mp3"), "wb") as f:
    f.write(id3("First") + mp3)
with open(path("tagonly.mp3"), "wb") as f:
    f.write(id3("Nothing after"))
with open(path("tagpastend.mp3"), "wb") as f:
    f.write(id3("Too long", size=(1 << 28) - 1) + mp3[:4096])
ffmpeg("-f", "lavfi", "-i", "sine=duration=1:sample_rate=44100", "-ac", "2", "-c:a", "pcm_s16le",
       path("plain.wav"))
ffmpeg(*VIDEO, "-frames:v", "1", path("picture.png"))


def exif(orientation, taken):
    """A big-endian TIFF block: IFD0 with Orientation and a pointer to the Exif IFD, which holds
    DateTimeOriginal."""
    date = taken.encode("ascii") + b"\0"
    ifd0 = 8
    exif_ifd = ifd0 + 2 + 2 * 12 + 4
    date_at = exif_ifd + 2 + 12 + 4
    tiff = b"MM" + struct.pack(">HI", 42, ifd0)
    tiff += struct.pack(">H", 2)
    tiff += struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0)
    tiff += struct.pack(">HHII", 0x8769, 4, 1, exif_ifd)
    tiff += struct.pack(">I", 0)
    tiff += struct.pack(">H", 1) + struct.pack(">HHII", 0x9003, 2, len(date), date_at)
    tiff += struct.pack(">I", 0) + date
    body = b"Exif\0\0" + tiff
    return b"\xff\xe1" + struct.pack(">H", len(body) + 2) + body


ffmpeg(*VIDEO, "-frames:v", "1", path("plain.jpg"))
with open(path("plain.jpg"), "rb") as f:
    jpeg = f.read()
with open(path("photo.jpg"), "wb") as f:
    f.write(jpeg[:2] + exif(6, "2021:07:14 18:02:33") + jpeg[2:])
os.remove(path("plain.jpg"))

# What no reader should take for media.
with open(path("notmedia.txt"), "w") as f:
    f.write("Just some words, no media here.\n" * 40)
with open(path("zeros.mp4"), "wb") as f:
    f.write(bytes(65536))
with open(path("h264_aac.mp4"), "rb") as f:
    whole = f.read()
with open(path("truncated.mp4"), "wb") as f:
    f.write(whole[: len(whole) // 3])
open(path("empty.mp3"), "wb").close()
