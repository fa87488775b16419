#!/usr/bin/env bash
# How fast tagged MP3s are read from cold: hearth-probe through MediaProber (one and two
# workers) beside ffprobe started once per file. Makes N copies of one small MP3, each with tags
# of its own, in a temporary folder.
#   bench/media/probe_speed.sh BUILD [N]   (BUILD holds app/hearth-probe, bench/media/...)
set -euo pipefail
build=$(cd "$1" && pwd)
count=${2:-1000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
ffmpeg -nostdin -v error -f lavfi -i sine=duration=20 -c:a libmp3lame -b:a 128k "$dir/seed.mp3"
mkdir "$dir/mp3"
for i in $(seq 1 "$count"); do
    ffmpeg -nostdin -v error -i "$dir/seed.mp3" -c copy -id3v2_version 3 \
        -metadata title="Song $i" -metadata artist="Artist $((i % 50))" \
        -metadata album="Album $((i % 100))" -metadata track="$((i % 12 + 1))/12" \
        -metadata genre=Rock -metadata date=2001 "$dir/mp3/$(printf %05d "$i").mp3"
done
cold() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || echo "(page cache not dropped: warm)"; }

for workers in 1 2; do
    cold
    echo -n "hearth-probe, $workers worker(s): "
    "$build/bench/media/bench_mediaprober" "$build/app/hearth-probe" "$dir/mp3" "$workers"
done
cold
start=$(date +%s.%N)
for f in "$dir"/mp3/*.mp3; do
    ffprobe -v error -show_format -show_streams -of json "$f" >/dev/null
done
end=$(date +%s.%N)
echo "ffprobe per file: $count files in $(echo "$end - $start" | bc -l | cut -c1-6) s:" \
    "$(echo "$count / ($end - $start)" | bc -l | cut -c1-6) files/s"
