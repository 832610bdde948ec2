#!/usr/bin/env bash
# agentcli.exe put under Wine against the reference agent (a Linux process)
# on loopback: a new file on several connections, a replaced file and a
# non-ASCII local name land byte for byte with the local last-write time,
# and nothing temporary stays behind on the agent.
# Run by ctest in the Windows build:
#   agentcli_put_under_wine.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
set -euo pipefail
source "$(dirname "$0")/agentcli_wine_common.sh"

served="$work/served" local="$work/local"
mkdir -p "$served/in" "$local"
head -c $((10 * 1024 * 1024 + 17)) /dev/urandom > "$local/big.bin"
printf 'new contents\n' > "$local/Grüße.txt"
printf 'old contents\n' > "$served/in/Grüße.txt"
touch -d '2001-09-09 01:46:40.1234567 UTC' "$local/big.bin" "$local/Grüße.txt"
start_agent "$served"

expect 0 "put of a new file" put --no-progress "$(winpath "$local/big.bin")" 'C:\in'
expect 0 "put over an existing file" put --no-progress "$(winpath "$local/Grüße.txt")" 'C:\in\Grüße.txt'
for name in big.bin Grüße.txt; do
    cmp "$local/$name" "$served/in/$name" || fail "$name differs on the agent"
    [[ $(stat -c %Y "$served/in/$name") == 1000000000 ]] || fail "$name lost its last-write time"
done
[[ $(ls -A "$served/in" | wc -l) -eq 2 ]] || { ls -A "$served/in" >&2; fail "temporary files left on the agent"; }
expect 11 "put of a missing local file" put --no-progress "$(winpath "$local/missing.bin")" 'C:\in\x.bin'
echo "agentcli.exe put a new and a replacing file byte for byte with their times"
