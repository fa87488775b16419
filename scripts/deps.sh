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

# tests/upnp/e2e_upnp.py: UPnP clients nobody here wrote, and the tools for a network namespace.
HEARTH_UPNP_TEST_PACKAGES=(gupnp-tools python3-gi gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 curl
    iproute2 util-linux)
