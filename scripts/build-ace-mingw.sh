#!/usr/bin/env bash
# Builds ACE's core library (static, libACE.a) for i686-w64-mingw32 from
# Debian's ACE source, once: the result is cached under
# ~/.cache/agent_stub/ace-<version>-<compiler> and later runs only print it.
#
# Usage: build-ace-mingw.sh [ACE source dir]
#   The source dir defaults to what install-windows-deps.sh unpacked.
# Prints the ACE root (headers under it, libACE.a in its lib/) on its last line.
set -euo pipefail

CACHE_DIR="${AGENT_STUB_CACHE:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache/agent_stub}"
CROSS=i686-w64-mingw32
# The -posix variants: GoogleTest needs std::thread, and ACE, the DLL and the
# tests must share one libstdc++ thread model.
CXX="${CROSS}-g++-posix"
CC="${CROSS}-gcc-posix"
JOBS="${AGENT_STUB_JOBS:-2}"

log() { printf '[build-ace-mingw] %s\n' "$*" >&2; }

src="${1:-}"
if [ -z "$src" ]; then
    src=$(find "${CACHE_DIR}/src" -maxdepth 1 -type d -name 'ace-*' 2>/dev/null | sort | tail -n 1)
fi
if [ -z "$src" ] || [ ! -f "$src/ace/ACE.cpp" ] || [ ! -f "$src/VERSION.txt" ]; then
    log "no ACE source found (run scripts/install-windows-deps.sh first)"
    exit 1
fi
command -v "$CXX" >/dev/null || { log "$CXX not found (run scripts/install-windows-deps.sh first)"; exit 1; }

ace_version=$(sed -n 's/^This is ACE version \([0-9.]*\).*/\1/p' "$src/VERSION.txt" | head -n 1)
# Debian's MinGW compilers report "12-posix"; the package version is exact.
compiler_version=$(dpkg-query -W -f='${Version}' g++-mingw-w64-i686-posix 2>/dev/null || true)
[ -n "$compiler_version" ] || compiler_version=$("$CXX" -dumpversion)
compiler_version=${compiler_version%-posix}
compiler_version=$(printf '%s' "$compiler_version" | tr -c 'A-Za-z0-9._-' '_')
key="ace-${ace_version}-${CROSS}-gcc-${compiler_version}-posix"
dest="${CACHE_DIR}/${key}"

if [ -f "$dest/.built" ] && [ -f "$dest/lib/libACE.a" ]; then
    log "cached: $dest"
    echo "$dest"
    exit 0
fi

work="${dest}.tmp.$$"
trap 'rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work"
log "building ACE ${ace_version} with ${CXX} in $work"

# Only what the core library's build reads.
cp -a "$src/ace" "$src/include" "$src/bin" "$src/MPC" "$src/VERSION.txt" "$work/"
mkdir -p "$work/lib"

cat > "$work/ace/config.h" <<'EOF'
#ifndef ACE_CONFIG_H
#define ACE_CONFIG_H
// Static ACE, linked into agent_stub.dll and its tests.
#define ACE_AS_STATIC_LIBS 1
#define __ACE_INLINE__ 1
#include "ace/config-win32.h"
#endif
EOF

cat > "$work/include/makeinclude/platform_macros.GNU" <<'EOF'
CROSS_COMPILE=i686-w64-mingw32-
static_libs_only=1
debug=0
inline=1
ssl=0
ipv6=0
include $(ACE_ROOT)/include/makeinclude/platform_mingw32.GNU
EOF

export ACE_ROOT="$work"
export MPC_ROOT="$work/MPC"
(
    cd "$work/ace"
    perl "$ACE_ROOT/bin/mpc.pl" -type gnuace ace.mpc >&2
    make -f GNUmakefile.ACE -j"$JOBS" CXX="$CXX" CC="$CC" >"$work/build.log" 2>&1 || {
        tail -n 40 "$work/build.log" >&2
        exit 1
    }
)

# The build leaves the archive in ace/ and a link to it in lib/.
lib=$(find "$work/ace" -name libACE.a -type f | head -n 1)
if [ -z "$lib" ]; then
    log "libACE.a was not produced"
    exit 1
fi
rm -f "$work/lib/libACE.a"
mv "$lib" "$work/lib/libACE.a"
# Objects are not needed once the archive exists.
find "$work/ace" -name '*.o' -delete
rm -rf "$work/ace/.obj"
touch "$work/.built"

rm -rf "$dest"
mv "$work" "$dest"
trap - EXIT
log "built: $dest"
echo "$dest"
