#!/usr/bin/env bash
# agentcli.exe under Wine against the reference agent (a Linux process) on
# loopback: backs up a small generated tree and compares it byte for byte,
# then lists, fetches, backs up and checks non-ASCII names on both sides.
# Run by ctest in the Windows build:
#   agentcli_backup_under_wine.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
set -euo pipefail
source "$(dirname "$0")/agentcli_wine_common.sh"

# Nested and empty folders, an empty file, binary files across the copy's
# chunk sizes, a non-ASCII name and one with spaces.
src="$work/source"
mkdir -p "$src/docs/deep/deeper" "$src/empty folder" "$src/media" "$src/Ümlauts"
: > "$src/docs/empty.txt"
printf 'hello from the agent\n' > "$src/docs/readme.txt"
head -c 4095 /dev/urandom > "$src/docs/deep/odd.bin"
head -c 65537 /dev/urandom > "$src/docs/deep/deeper/chunks.bin"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom > "$src/media/big.bin"
printf 'Grüße\n' > "$src/docs/Ünïcödé name.txt"
printf 'umlaut content\n' > "$src/Ümlauts/wget-Ü.txt"
start_agent --read-only "$src"

expect 0 "backup" backup --no-progress 'C:\' "$(winpath "$work/copy")"
# Same folders, same files, same bytes; no temporary names left behind.
# The manifest is the backup's own record, not part of the tree.
diff -r -x .agent-manifest "$src" "$work/copy" || fail "the copy differs from the tree"
[[ -z $(find "$work/copy" -name '.agent-partial*') ]] || fail "partial files left behind"
[[ -d "$work/copy/empty folder" ]] || fail "the empty folder is missing"
echo "agentcli.exe backed up $(find "$src" -type f | wc -l) files byte for byte"

# Non-ASCII names, remote and local: arguments arrive whole, local files are
# opened by their wide names, and a failure is a message, never an exception.
kopie=$(winpath "$work/Kopie-Ü")
expect 0 "ls of a non-ASCII folder" ls 'C:\Ümlauts'
grep -q 'wget-Ü.txt' "$work/out.txt" || fail "ls does not show the non-ASCII name"
expect 0 "get into a non-ASCII local name" get --no-progress 'C:\Ümlauts\wget-Ü.txt' "$(winpath "$work/wget-Ü.txt")"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/wget-Ü.txt" || fail "get copied other bytes"
expect 0 "backup into a non-ASCII folder" backup --no-progress 'C:\Ümlauts' "$kopie"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/Kopie-Ü/wget-Ü.txt" || fail "backup copied other bytes"
expect 0 "--verify=content of the non-ASCII copy" backup --no-progress --verify=content 'C:\Ümlauts' "$kopie"
# --delete removes only what the agent no longer has, by wide names.
printf 'left over\n' > "$work/Kopie-Ü/übrig.txt"
expect 0 "backup --delete" backup --no-progress --delete 'C:\Ümlauts' "$kopie"
[[ ! -e "$work/Kopie-Ü/übrig.txt" ]] || fail "--delete left the local leftover"
cmp "$src/Ümlauts/wget-Ü.txt" "$work/Kopie-Ü/wget-Ü.txt" || fail "--delete touched the copy"
expect 11 "get into a missing local folder" get --no-progress 'C:\Ümlauts\wget-Ü.txt' \
    "$(winpath "$work/kein-Ördner/x.txt")"
grep -q 'kein-Ördner' "$work/out.txt" || fail "the message does not name the local folder"
echo "agentcli.exe handled non-ASCII names in ls, get, backup and --verify=content"

# Names that differ only in case are one file on a Windows disk: the
# second is reported, never copied over the first.
mkdir -p "$src/case"
printf 'upper\n' > "$src/case/README"
printf 'lower\n' > "$src/case/readme"
expect 23 "a case collision" backup --no-progress 'C:\case' "$(winpath "$work/case-copy")"
grep -q 'local name taken by another entry' "$work/out.txt" || fail "the case collision is not reported"
[[ $(find "$work/case-copy" -type f ! -name .agent-manifest | wc -l) -eq 1 ]] ||
    fail "the case collision left other than one file"
echo "agentcli.exe reported a case collision instead of overwriting"
