#!/usr/bin/env bash
# agentcli.exe under Wine against the reference agent (a Linux process) on
# loopback: backs up a small generated tree and compares it byte for byte.
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
if ! diff -r "$src" "$work/copy"; then
    echo "the copy differs from the tree" >&2
    exit 1
fi
if find "$work/copy" -name '.agent-partial*' | grep -q .; then
    echo "partial files left behind" >&2
    exit 1
fi
[[ -d "$work/copy/empty folder" ]] || { echo "the empty folder is missing" >&2; exit 1; }
echo "agentcli.exe backed up $(find "$src" -type f | wc -l) files byte for byte"
