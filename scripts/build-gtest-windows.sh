#!/usr/bin/env bash
# Builds GoogleTest (static) for i686-w64-mingw32 from Debian's sources in
# /usr/src/googletest (packages googletest / libgtest-dev), once: installed
# under ~/.cache/agent_stub/gtest-<version>-<compiler> and reused later.
#
# Prints the install prefix on its last line.
set -euo pipefail

CACHE_DIR="${AGENT_STUB_CACHE:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache/agent_stub}"
SRC=/usr/src/googletest
JOBS="${AGENT_STUB_JOBS:-2}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
TOOLCHAIN="$HERE/../cmake/mingw-i686.cmake"

log() { printf '[build-gtest-windows] %s\n' "$*" >&2; }

if [ ! -f "$SRC/CMakeLists.txt" ]; then
    log "no GoogleTest sources in $SRC (run scripts/install-windows-deps.sh first)"
    exit 1
fi
gtest_version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo unknown)
compiler_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-i686-posix 2>/dev/null || i686-w64-mingw32-g++-posix -dumpversion)
key="gtest-${gtest_version}-i686-w64-mingw32-gcc-${compiler_version}-posix"
key=$(printf '%s' "$key" | tr -c 'A-Za-z0-9._-' '_')
dest="${CACHE_DIR}/${key}"

if [ -f "$dest/.built" ]; then
    log "cached: $dest"
    echo "$dest"
    exit 0
fi

work="${dest}.build.$$"
trap 'rm -rf "$work"' EXIT
rm -rf "$work" "$dest"
log "building GoogleTest ${gtest_version} into $dest"
cmake -S "$SRC" -B "$work" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$dest" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >"$work.log" 2>&1 || {
    tail -n 30 "$work.log" >&2
    exit 1
}
cmake --build "$work" -j"$JOBS" >>"$work.log" 2>&1 && cmake --install "$work" >>"$work.log" 2>&1 || {
    tail -n 30 "$work.log" >&2
    exit 1
}
rm -f "$work.log"
touch "$dest/.built"
log "built: $dest"
echo "$dest"
