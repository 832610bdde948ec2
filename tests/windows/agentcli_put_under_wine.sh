#!/usr/bin/env bash
# agentcli.exe put under Wine against the reference agent (a Linux process)
# on loopback: a new file on several connections, a replaced file and a
# non-ASCII local name land byte for byte with the local last-write time,
# and nothing temporary stays behind on the agent.
# Run by ctest in the Windows build:
#   agentcli_put_under_wine.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
set -euo pipefail
agent_bin=$1 cli_exe=$2
shift 2
runner=("$@")

work=$(mktemp -d "${TMPDIR:-/tmp}/agentcli-put-wine.XXXXXX")
agent_pid=""
cleanup() {
    if [[ -n "$agent_pid" ]]; then
        kill "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

served="$work/served" local="$work/local"
mkdir -p "$served/in" "$local"
head -c $((10 * 1024 * 1024 + 17)) /dev/urandom > "$local/big.bin"
printf 'new contents\n' > "$local/Grüße.txt"
printf 'old contents\n' > "$served/in/Grüße.txt"
touch -d '2001-09-09 01:46:40.1234567 UTC' "$local/big.bin" "$local/Grüße.txt"
export LC_ALL=C.UTF-8

"$agent_bin" --user alice --password s3cret --listen 127.0.0.1 --port 0 \
    --port-file "$work/port" "$served" >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.1; done
[[ -s "$work/port" ]] || { echo "the reference agent did not start:" >&2; cat "$work/agent.log" >&2; exit 1; }
AGENT_PORT=$(cat "$work/port")
export AGENT_HOST=127.0.0.1 AGENT_PORT AGENT_USER=alice AGENT_PASSWORD=s3cret

cli() { timeout 300 "${runner[@]}" "$cli_exe" "$@"; }
fail() { echo "$1" >&2; cat "$work/out.txt" >&2; exit 1; }
local_win="Z:${local//\//\\}"
cli put --no-progress "$local_win\\big.bin" 'C:\in' >"$work/out.txt" 2>&1 || fail "put of a new file failed"
cli put --no-progress "$local_win\\Grüße.txt" 'C:\in\Grüße.txt' >"$work/out.txt" 2>&1 ||
    fail "put over an existing file failed"
for name in big.bin Grüße.txt; do
    cmp "$local/$name" "$served/in/$name" || fail "$name differs on the agent"
    [[ $(stat -c %Y "$served/in/$name") == 1000000000 ]] || fail "$name lost its last-write time"
done
[[ $(ls -A "$served/in" | wc -l) -eq 2 ]] || { ls -A "$served/in" >&2; fail "temporary files left on the agent"; }
status=0
cli put --no-progress "$local_win\\missing.bin" 'C:\in\x.bin' >"$work/out.txt" 2>&1 || status=$?
[[ $status -eq 11 ]] || fail "put of a missing local file exited with $status, not 11"
grep -q 'terminate called' "$work/out.txt" && fail "agentcli.exe ended with an uncaught exception"
echo "agentcli.exe put a new and a replacing file byte for byte with their times"
