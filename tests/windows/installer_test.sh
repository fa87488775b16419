#!/usr/bin/env bash
# The Windows setup program under Wine, end to end: a silent install; the installed hearth.exe
# started headless, answering LIST on 127.0.0.1:8000 from the per-user hearth.xml; setup again
# over the running copy; a silent uninstall while it runs and while another process holds one
# installed file open; then a restart of the Wine "machine", after which no installed file is
# left; the same for a folder whose name needs every escape of hearth-purge's entries.
#   tests/windows/installer_test.sh [SETUP.EXE]
# Without SETUP.EXE it runs scripts/package-windows first (which packs $HEARTH_WINDOWS_BUILD
# when set). Runs in a network namespace of its own, so port 8000 is free, and on Xvfb: without
# a display Wine creates no window at all, so hearth would have no window to hear a request to
# quit. Wine cannot show: Program Files permissions, UAC, the firewall (its netsh accepts the
# rule and does nothing), how a real restart treats files in use.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/deps.sh
if [ -z "${HEARTH_INSTALLER_NETNS:-}" ]; then
    hearth_install_packages "${HEARTH_INSTALLER_PACKAGES[@]}" >&2
    exec unshare -n env HEARTH_INSTALLER_NETNS=1 xvfb-run -a "$0" "$@"
fi
ip link set lo up

out=${HEARTH_PACKAGE_WINDOWS_BUILD:-build/package-windows}
setup=${1:-}
if [ -z "$setup" ]; then
    setup=$(scripts/package-windows | grep -- '-setup\.exe$')
fi
name=$(basename "$setup" -setup.exe)
zip=$(dirname "$setup")/$name-windows.zip

# hearth-purge's test helper that holds a file open without sharing.
purgebuild=${HEARTH_PURGE_WINDOWS_BUILD:-build/purge-windows}
hold=$purgebuild/purge/wintests/purge-hold.exe
if [ ! -f "$hold" ]; then
    cmake --no-warn-unused-cli -S . -B "$purgebuild" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
        -DHEARTH_PURGE_ONLY=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$purgebuild" --parallel "$(nproc)" --target purge-hold >/dev/null
fi

passed=0
failed=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "PASS   : $what"
    else
        failed=$((failed + 1))
        echo "FAIL!  : $what"
    fi
}

wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
# Command lines reach Wine as UTF-8.
export LANG=C.UTF-8 WINEPREFIX=$PWD/$out/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
hearth_pid=
cleanup() {
    [ -n "$hearth_pid" ] && kill "$hearth_pid" 2>/dev/null
    "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
started=$SECONDS
"$wine" wineboot -i >/dev/null 2>&1
win() { "$wine" "$@" 2>/dev/null | tr -d '\r'; }
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VelaHearth'
pending() {
    win reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' \
        /v PendingFileRenameOperations
}

# --- Silent install ---
drive=$WINEPREFIX/drive_c
cp "$setup" "$drive/setup.exe"
cp "$hold" "$drive/purge-hold.exe"
"$wine" 'C:\setup.exe' /S >/dev/null 2>&1
dir="$drive/Program Files/Vela Hearth"
shipped=$(unzip -Z1 "$zip" | grep -v '/$' | sed "s|^$name/||" | sort)
installed=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
check "every file of the zip installed, the uninstaller and the installed marker" \
    test "$installed" = "$(printf '%s\nuninstall.exe\ninstalled.ini' "$shipped" | sort)"
entry=$(win reg query "$key")
for value in DisplayName DisplayVersion Publisher DisplayIcon UninstallString QuietUninstallString \
    EstimatedSize NoModify NoRepair; do
    check "Programs and Features: $value" grep -q "^ *$value " <<<"$entry"
done
check "DisplayVersion is the package's" grep -q "DisplayVersion.*REG_SZ *${name#VelaHearth-}$" <<<"$entry"
# The converter hearth runs, with every DLL it loads, and the licences that come with it.
ffmpeg_version=$(win 'C:\Program Files\Vela Hearth\ffmpeg.exe' -version || true)
check "the installed ffmpeg.exe runs: ${ffmpeg_version%%$'\n'*}" \
    grep -q '^ffmpeg version 5\.1' <<<"$ffmpeg_version"
check "FFmpeg is built without GPL parts" bash -c '! grep -q -- "--enable-gpl" <<<"$0"' \
    "$ffmpeg_version"
check "licences.txt names FFmpeg's licence and source" \
    grep -q 'ffmpeg-5.1.9.tar.xz' "$dir/licences.txt"
check "the LGPL's text installed" grep -q 'LESSER GENERAL PUBLIC LICENSE' "$dir/licences/LGPL-2.1.txt"
shortcut="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Vela Hearth.lnk"
check "Start-menu entry" test -f "$shortcut"

# --- The installed copy reads the per-user hearth.xml and answers a LIST ---
appdata=$(win winepath -u "$(win cmd /c echo %APPDATA%)")
mkdir -p "$appdata/Vela Hearth" "$drive/media"
head -c 4096 /dev/urandom >"$drive/media/clip.avi"
config=$appdata/Vela\ Hearth/hearth.xml
cat >"$config" <<'EOF'
<hearth>
    <video_tree>
        <file name="clip.avi" path="C:\media\clip.avi"/>
    </video_tree>
</hearth>
EOF
start_hearth() { # the installed copy, headless; sets hearth_pid; keeps hearth.xml as it was
    cp "$config" "$out/hearth.xml.orig"
    "$wine" 'C:\Program Files\Vela Hearth\hearth.exe' -platform offscreen >"$out/hearth.log" 2>&1 &
    hearth_pid=$!
}
list_video() { # the answer to LIST of the video library's top, once port 8000 is served
    python3 - <<'PY' || true
import socket, time
deadline = time.monotonic() + 90
while True:
    try:
        s = socket.create_connection(("127.0.0.1", 8000), timeout=5)
        break
    except OSError:
        if time.monotonic() > deadline:
            raise SystemExit("nothing listens on 127.0.0.1:8000")
        time.sleep(0.5)
s.sendall(b"LIST VIDEO ||\r\n\r\n")
data = b""
while not data.endswith(b"EOL\n"):
    chunk = s.recv(4096)
    if not chunk:
        break
    data += chunk
print(data.decode("latin-1"), end="")
PY
}
# Written since the start (a save of what was read may hold the same bytes).
saved() { [ "$config" -nt "$out/hearth.xml.orig" ]; }
expected=$(printf 'clip.avi| /VIDEO/clip.avi|0|\nEOL')

start_hearth
answer=$(list_video)
check "installed hearth.exe answers LIST from %APPDATA%\\Vela Hearth\\hearth.xml" \
    test "$answer" = "$expected"
[ "$answer" = "$expected" ] || echo "LIST answered: $answer"
check "no hearth.xml beside the installed hearth.exe" test ! -e "$dir/hearth.xml"

# --- Setup again over the running copy, as an update does: it asks hearth to quit first ---
"$wine" 'C:\setup.exe' /S >/dev/null 2>&1 && status=0 || status=$?
check "setup over the running copy succeeds (exit code $status)" test "$status" -eq 0
check "the running copy quit and saved hearth.xml first" saved
check "the running copy has ended" bash -c "! kill -0 $hearth_pid 2>/dev/null"
start_hearth
check "the updated copy answers LIST" test "$(list_video)" = "$expected"

# --- Silent uninstall, hearth still running and a plugin held open ---
"$wine" 'C:\purge-hold.exe' 'C:\Program Files\Vela Hearth\platforms\qwindows.dll' 'C:\held.marker' \
    120000 >/dev/null 2>&1 &
for _ in $(seq 100); do [ -e "$drive/held.marker" ] && break; sleep 0.2; done
check "a plugin is held open by another process" test -e "$drive/held.marker"
quiet=$(sed -n 's/^ *QuietUninstallString *REG_SZ *//p' <<<"$entry")
# As Programs and Features starts it; the uninstaller continues from a copy in %TEMP%.
program=$(sed -n 's/^"\([^"]*\)".*/\1/p' <<<"$quiet")
check "QuietUninstallString is the quoted uninstaller and /S ($quiet)" \
    test "$quiet" = "\"$program\" /S" -a "$program" = 'C:\Program Files\Vela Hearth\uninstall.exe'
"$wine" "$program" /S >/dev/null 2>&1
for _ in $(seq 240); do win reg query "$key" >/dev/null || break; sleep 0.5; done
no_key() { ! win reg query "$key" >/dev/null; }
check "uninstall key removed" no_key
check "user's hearth.xml kept" test -f "$config"
check "hearth was asked to quit and saved hearth.xml" saved
check "Start-menu entry removed" test ! -e "$shortcut"
left=$(cd "$dir" 2>/dev/null && find . -type f | sed 's|^\./||' | sort)
scheduled=$(pending)
check "the held plugin is still there" grep -qx 'platforms/qwindows.dll' <<<"$left"
unscheduled=
for f in $left; do
    grep -qiF "Vela Hearth\\${f//\//\\}" <<<"$scheduled" || unscheduled+=" $f"
done
check "every file left is scheduled for removal at restart:${unscheduled:- yes}" test -z "$unscheduled"
check "hearth-purge scheduled its own removal" grep -qiF 'Vela Hearth\hearth-purge.exe' <<<"$scheduled"
check "the install folder scheduled, after its files" \
    grep -qiF 'Vela Hearth\0' <<<"$scheduled"
echo "left for the restart: $(tr '\n' ' ' <<<"$left")"
[ -z "$unscheduled" ] || echo "$scheduled"

# Before the restart, setup refuses to install where files are still to be removed then.
"$wine" 'C:\setup.exe' /S >/dev/null 2>&1 && status=0 || status=$?
check "setup refuses to install before the restart (exit code $status)" test "$status" -ne 0
check "it installed nothing" test ! -e "$dir/hearth.exe"

# --- Restart: Wine's boot step carries out the scheduled removals ---
kill "$hearth_pid" 2>/dev/null || true
"$wineserver" -k >/dev/null 2>&1 || true
hearth_pid=
"$wine" wineboot -r >/dev/null 2>&1
check "no installed file left after the restart" test ! -e "$dir"
check "user's hearth.xml still there" test -f "$config"

# --- A folder whose name needs every escape of hearth-purge's entries: "=", "%", "&" and a
# byte above 0x7F in the code page (Ø is 0xD8 in Wine's 1252) ---
odd='C:\Hearth=Ø%&x'
"$wine" 'C:\setup.exe' /S "/D=$odd" >/dev/null 2>&1
oddunix="$drive/Hearth=Ø%&x"
check "installed into $odd" test -f "$oddunix/hearth.exe"
rm -f "$drive/held.marker"
"$wine" 'C:\purge-hold.exe' "$odd\Qt6Xml.dll" 'C:\held.marker' 120000 >/dev/null 2>&1 &
for _ in $(seq 100); do [ -e "$drive/held.marker" ] && break; sleep 0.2; done
"$wine" "$odd\uninstall.exe" /S >/dev/null 2>&1
for _ in $(seq 240); do win reg query "$key" >/dev/null || break; sleep 0.5; done
check "$odd: the held file waits for the restart" test -f "$oddunix/Qt6Xml.dll"
check "$odd: everything else removed at once" \
    test "$(cd "$oddunix" && find . -type f | sort | tr '\n' ' ')" = "./Qt6Xml.dll ./hearth-purge.exe "
"$wineserver" -k >/dev/null 2>&1 || true
"$wine" wineboot -r >/dev/null 2>&1
check "$odd: nothing left after the restart" test ! -e "$oddunix"

echo "installer: $passed passed, $failed failed ($((SECONDS - started)) s under Wine)"
[ "$failed" -eq 0 ]
