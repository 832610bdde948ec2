#!/usr/bin/env bash
# Installs what the Windows build needs on a Debian 12 machine (as root):
# the i686 MinGW-w64 cross compiler, Wine (32-bit) to run the tests, and
# ACE's source from Debian, unpacked outside the repository.
# Safe to run again: each step is skipped when its result is already there.
#
# Prints the unpacked ACE source directory on its last line.
set -euo pipefail

CACHE_DIR="${AGENT_STUB_CACHE:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache/agent_stub}"
SRC_DIR="${CACHE_DIR}/src"

log() { printf '[install-windows-deps] %s\n' "$*" >&2; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

have_pkg() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

apt_updated=0
apt_update() {
    if [ "$apt_updated" -eq 0 ]; then
        log "apt-get update"
        $SUDO apt-get update -qq
        apt_updated=1
    fi
}

# 32-bit Wine comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    log "adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    apt_updated=0
    apt_update
fi

# deb-src entry for ACE's source: same URI and suite as the main deb entry.
DEB_SRC_FILE=/etc/apt/sources.list.d/agent-stub-deb-src.sources
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src ' /etc/apt/sources.list; then
    # The mirror the machine already uses for bookworm's binary packages.
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    if [ -z "$uri" ]; then
        uri=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
    fi
    uri=${uri:-http://deb.debian.org/debian}
    log "adding a deb-src entry for bookworm main ($uri)"
    $SUDO tee "$DEB_SRC_FILE" >/dev/null <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    apt_updated=0
fi

PKGS=(g++-mingw-w64-i686 wine wine32:i386 googletest dpkg-dev perl make cmake)
missing=()
for p in "${PKGS[@]}"; do
    have_pkg "$p" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    apt_update
    log "installing ${missing[*]}"
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# ACE's source (Debian's libace-dev source package; "ace" is another package).
mkdir -p "$SRC_DIR"
ace_dir=$(find "$SRC_DIR" -maxdepth 1 -type d -name 'ace-*' | sort | tail -n 1)
if [ -z "$ace_dir" ] || [ ! -f "$ace_dir/ace/ACE.cpp" ]; then
    apt_update
    log "fetching ACE source into $SRC_DIR"
    (cd "$SRC_DIR" && apt-get source -qq libace-dev >&2)
    ace_dir=$(find "$SRC_DIR" -maxdepth 1 -type d -name 'ace-*' | sort | tail -n 1)
fi
if [ -z "$ace_dir" ] || [ ! -f "$ace_dir/ace/ACE.cpp" ]; then
    log "ACE source not found under $SRC_DIR"
    exit 1
fi
log "ACE source: $ace_dir"
echo "$ace_dir"
