# Shared by scripts/run and scripts/test: installs the Debian packages that are missing.
# Usage: . scripts/deps.sh; hearth_install_packages pkg...
hearth_install_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing Debian packages: ${missing[*]}"
    if [ -z "${HEARTH_APT_UPDATED:-}" ]; then
        $sudo apt-get update -q || return 1
        export HEARTH_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# iproute2 and util-linux: the end-to-end and soak tests bring up a network namespace of their own.
HEARTH_BUILD_PACKAGES=(cmake ninja-build g++ make pkg-config qt6-base-dev qt6-base-dev-tools
    libgl-dev python3 iproute2 util-linux libmicrohttpd-dev)

# tests/fuzz/run: clang with libFuzzer and the sanitizer runtimes of the same version.
HEARTH_FUZZ_PACKAGES=(clang libclang-rt-dev)

# tests/upnp/e2e_upnp.py: UPnP clients nobody here wrote, and the tools for a network namespace;
# ffmpeg makes and reads its camera-sized photo.
HEARTH_UPNP_TEST_PACKAGES=(gupnp-tools python3-gi gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 curl
    iproute2 util-linux ffmpeg)

# scripts/package-windows and the installer test: the cross build, NSIS, zip, Wine, and the
# network namespace and X display the test runs Wine in.
HEARTH_INSTALLER_PACKAGES=(cmake ninja-build mingw-w64 qt6-base-dev qt6-base-dev-tools nsis zip
    unzip wine64 iproute2 util-linux xvfb xauth)

# Qt for Windows (mingw-w64): prints the folder that holds it. Looks in $HEARTH_QT_MINGW, then
# ../shared/qt6-mingw beside the clone (for a linked worktree, beside the main one too), then
# the cache scripts/windows-qt builds into. Fails, saying what to run, when none has it.
HEARTH_QT_MINGW_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/vela-hearth/qt6-mingw
hearth_qt_mingw_dir() {
    local root candidates=() dir common
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    [ -n "${HEARTH_QT_MINGW:-}" ] && candidates+=("$HEARTH_QT_MINGW")
    candidates+=("$root/../shared/qt6-mingw")
    common=$(git -C "$root" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    [ -n "$common" ] && candidates+=("$(dirname "$common")/../shared/qt6-mingw")
    candidates+=("$HEARTH_QT_MINGW_CACHE")
    for dir in "${candidates[@]}"; do
        if [ -f "$dir/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
            (cd "$dir" && pwd)
            return 0
        fi
    done
    echo "No Qt for Windows found (looked in: ${candidates[*]})." >&2
    echo "Build it once with scripts/windows-qt (about an hour on two cores), or set HEARTH_QT_MINGW." >&2
    return 1
}

# libmicrohttpd for Windows, made by scripts/windows-libmicrohttpd; cmake/FindMicrohttpd.cmake
# looks in $HEARTH_MHD_MINGW, then here.
HEARTH_MHD_MINGW_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/vela-hearth/libmicrohttpd-mingw

# Cross builds for Windows and their runs under Wine.
HEARTH_WINDOWS_PACKAGES=(mingw-w64 wine64 iproute2)
