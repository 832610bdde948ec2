#!/usr/bin/env bash
# Runs a Windows test program under Wine, headless, in a Wine prefix of the
# build tree: ctest's emulator for the cross build.
#
#   wine-run-windows.sh --prefix DIR [--] PROGRAM [ARGS...]
#   wine-run-windows.sh --prefix DIR --stop      ends the prefix's Wine server
#
# Wine's server and background processes inherit the pipes of whoever starts
# them, and ctest waits for those pipes to close (2.5 s per test, or for
# ever). So the server and Wine's own processes are started here, under a
# lock, detached from them (on /dev/null), and kept alive between tests.
set -euo pipefail

prefix=""
action=run
while [ $# -gt 0 ]; do
    case "$1" in
    --prefix) prefix=$2; shift 2 ;;
    --stop) action=stop; shift ;;
    --) shift; break ;;
    *) break ;;
    esac
done
if [ -z "$prefix" ]; then
    echo "wine-run-windows.sh: --prefix is required" >&2
    exit 2
fi

mkdir -p "$prefix"
export WINEPREFIX="$prefix"
export WINEARCH=win32
# WINEDEBUG=-all,err+module shows why a DLL did not load (a missing DLL
# otherwise fails silently with exit code 53).
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer when the prefix is created.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY

if [ "$action" = stop ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit 0
fi
if [ $# -eq 0 ]; then
    echo "wine-run-windows.sh: no program given" >&2
    exit 2
fi

(
    flock 9
    # Stays up 60 s after its last client, so consecutive tests share it.
    # A second start while one runs is a no-op. Neither it nor Wine's
    # background processes may keep the lock (fd 9) or the caller's pipes.
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&- || true
    # The first Wine process of a new server starts Wine's background
    # processes (services, device drivers), which inherit its pipes: let
    # that be this one. With a server already up it takes milliseconds;
    # the first time it also creates the prefix (a few seconds).
    wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
) 9>"$prefix/.lock"

exec wine "$@"
