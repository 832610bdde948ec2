#!/usr/bin/env bash
# agentcli.exe under Wine against the reference agent (a Linux process) on
# loopback: backs up a small generated tree and compares it byte for byte,
# then lists, fetches, backs up and checks non-ASCII names on both sides.
# Run by ctest in the Windows build:
#   agentcli_backup_under_wine.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
# WINE_RUNNER is the command that runs a Windows program (the build's
# emulator: scripts/wine-run-windows.sh --prefix DIR --).
set -euo pipefail
agent_bin=$1 cli_exe=$2
shift 2
runner=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/agentcli-wine.XXXXXX")
agent_pid=""
cleanup() {
    if [[ -n "$agent_pid" ]]; then
        kill "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Nested and empty folders, an empty file, binary files across the copy's
# chunk sizes, a non-ASCII name and one with spaces.
src="$work/source"
mkdir -p "$src/docs/deep/deeper" "$src/empty folder" "$src/media"
: > "$src/docs/empty.txt"
printf 'hello from the agent\n' > "$src/docs/readme.txt"
head -c 4095 /dev/urandom > "$src/docs/deep/odd.bin"
head -c 65537 /dev/urandom > "$src/docs/deep/deeper/chunks.bin"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom > "$src/media/big.bin"
printf 'Grüße\n' > "$src/docs/Ünïcödé name.txt"
mkdir -p "$src/Ümlauts"
printf 'umlaut content\n' > "$src/Ümlauts/wget-Ü.txt"
# Wine decodes the arguments from the locale: UTF-8 here.
export LC_ALL=C.UTF-8

"$agent_bin" --user alice --password s3cret --listen 127.0.0.1 --port 0 \
    --port-file "$work/port" --read-only "$src" >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.1; done
[[ -s "$work/port" ]] || { echo "the reference agent did not start:" >&2; cat "$work/agent.log" >&2; exit 1; }

AGENT_PORT=$(cat "$work/port")
export AGENT_HOST=127.0.0.1 AGENT_PORT AGENT_USER=alice AGENT_PASSWORD=s3cret
# Wine passes the environment on; the destination is a Unix path seen
# through Wine's Z: drive.
dest_win="Z:${work//\//\\}\\copy"
status=0
timeout 300 "${runner[@]}" "$cli_exe" backup --no-progress 'C:\' "$dest_win" >"$work/out.txt" 2>&1 || status=$?
cat "$work/out.txt"
[[ $status -eq 0 ]] || { echo "agentcli.exe backup exited with $status" >&2; exit 1; }

# Same folders, same files, same bytes; no temporary names left behind.
# The manifest is the backup's own record, not part of the tree.
if ! diff -r -x .agent-manifest "$src" "$work/copy"; then
    echo "the copy differs from the tree" >&2
    exit 1
fi
if find "$work/copy" -name '.agent-partial*' | grep -q .; then
    echo "partial files left behind" >&2
    exit 1
fi
[[ -d "$work/copy/empty folder" ]] || { echo "the empty folder is missing" >&2; exit 1; }
echo "agentcli.exe backed up $(find "$src" -type f | wc -l) files byte for byte"

# Non-ASCII names, remote and local: arguments arrive whole, local files are
# opened by their wide names, and a failure is a message, never an exception.
cli() { timeout 120 "${runner[@]}" "$cli_exe" "$@"; }
fail() { echo "$1" >&2; cat "$work/u.txt" >&2; exit 1; }
cli ls 'C:\Ümlauts' >"$work/u.txt" 2>&1 || fail "ls of a non-ASCII folder failed"
grep -q 'wget-Ü.txt' "$work/u.txt" || fail "ls does not show the non-ASCII name"
cli get --no-progress 'C:\Ümlauts\wget-Ü.txt' "Z:${work//\//\\}\\wget-Ü.txt" >"$work/u.txt" 2>&1 ||
    fail "get into a non-ASCII local name failed"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/wget-Ü.txt" || fail "get copied other bytes"
cli backup --no-progress 'C:\Ümlauts' "Z:${work//\//\\}\\Kopie-Ü" >"$work/u.txt" 2>&1 ||
    fail "backup into a non-ASCII folder failed"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/Kopie-Ü/wget-Ü.txt" || fail "backup copied other bytes"
cli backup --no-progress --verify=content 'C:\Ümlauts' "Z:${work//\//\\}\\Kopie-Ü" >"$work/u.txt" 2>&1 ||
    fail "--verify=content does not find the non-ASCII copy"
# --delete removes only what the agent no longer has, by wide names.
printf 'left over\n' > "$work/Kopie-Ü/übrig.txt"
cli backup --no-progress --delete 'C:\Ümlauts' "Z:${work//\//\\}\\Kopie-Ü" >"$work/u.txt" 2>&1 ||
    fail "backup --delete failed"
[[ ! -e "$work/Kopie-Ü/übrig.txt" ]] || fail "--delete left the local leftover"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/Kopie-Ü/wget-Ü.txt" || fail "--delete touched the copy"
status=0
cli get --no-progress 'C:\Ümlauts\wget-Ü.txt' "Z:${work//\//\\}\\kein-Ördner\\x.txt" >"$work/u.txt" 2>&1 || status=$?
[[ $status -eq 11 ]] || fail "get into a missing local folder exited with $status, not 11"
grep -q 'terminate called' "$work/u.txt" && fail "agentcli.exe ended with an uncaught exception"
grep -q 'kein-Ördner' "$work/u.txt" || fail "the message does not name the local folder"
echo "agentcli.exe handled non-ASCII names in ls, get, backup and --verify=content"

# Names that differ only in case are one file on a Windows disk: the
# second is reported, never copied over the first.
mkdir -p "$src/case"
printf 'upper\n' > "$src/case/README"
printf 'lower\n' > "$src/case/readme"
status=0
cli backup --no-progress 'C:\case' "Z:${work//\//\\}\\case-copy" >"$work/u.txt" 2>&1 || status=$?
[[ $status -eq 23 ]] || fail "a case collision exited with $status, not 23"
grep -q 'local name taken by another entry' "$work/u.txt" || fail "the case collision is not reported"
[[ $(find "$work/case-copy" -type f ! -name .agent-manifest | wc -l) -eq 1 ]] || fail "the case collision left other than one file"
echo "agentcli.exe reported a case collision instead of overwriting"
