#!/usr/bin/env bash
# agentcli.exe restore under Wine: a backed-up tree goes back onto the agent's
# D: into new folders, byte for byte with its last-write times and a read-only
# file read-only; a second run writes nothing, one after a change that file.
#   agentcli_restore_under_wine.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
set -euo pipefail
source "$(dirname "$0")/agentcli_wine_common.sh"

src="$work/source" target="$work/target" out="$work/target/restored/here" copy=$(winpath "$work/copy")
mkdir -p "$src/docs/deep" "$src/empty folder" "$src/Ümlauts" "$target"
: > "$src/docs/empty.txt"
printf 'hello from the agent\n' > "$src/docs/readme.txt"
head -c 65537 /dev/urandom > "$src/docs/deep/chunks.bin"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom > "$src/big.bin"
printf 'Grüße\n' > "$src/Ümlauts/Ünïcödé name.txt"
printf 'signed\n' > "$src/docs/signed.txt"
chmod a-w "$src/docs/signed.txt"
start_agent --drive C="$src" --drive D="$target"

expect 0 "backup" backup --no-progress 'C:\' "$copy"
expect 0 "restore" restore --no-progress "$copy" 'D:\restored\here'
diff -r "$src" "$out" || fail "the restored tree differs from the original"
while IFS= read -r -d '' f; do
    [[ $(stat -c %.7Y "$f") == $(stat -c %.7Y "$out/${f#"$src"/}") ]] || fail "${f#"$src"/} lost its last-write time"
done < <(find "$src" -mindepth 1 -print0)
# The reference agent keeps read-only as the owner's write bit.
(( ($(stat -c '0%a' "$out/docs/signed.txt") & 0200) == 0 )) || fail "the read-only file came back writable"
[[ -z $(find "$target" -name '*.agent-put' -o -name '*.agent-old') ]] || fail "temporary files left on the agent"

expect 0 "restore again" restore --no-progress "$copy" 'D:\restored\here'
grep -q ': 0 files, .* 6 unchanged' "$work/out.txt" || fail "the second restore wrote files again"
printf 'changed on the agent\n' > "$out/docs/readme.txt"
touch -d '2001-09-09 01:46:40 UTC' "$out/docs/readme.txt"
expect 0 "restore after a change" restore --no-progress -v "$copy" 'D:\restored\here'
[[ $(grep -c '^copied ' "$work/out.txt") -eq 1 ]] && grep -q '^copied D:\\restored\\here\\docs\\readme.txt' "$work/out.txt" ||
    fail "the restore after a change did not write that file alone"
cmp "$src/docs/readme.txt" "$out/docs/readme.txt" || fail "the changed file was not restored"
echo "agentcli.exe restored $(find "$src" -type f | wc -l) files, then the changed one alone"
