#!/usr/bin/env bash
# The main job: builds everything, serves a folder tree through the
# reference agent on loopback, backs it up with agentcli into a local
# folder, and checks that the copy holds the same files with the same bytes
# and that the summary accounts for every entry (links included: file links
# are copied as files, directory links are not descended, links leading out
# of the served folder are skipped). It then checks the backup again with
# `agentcli backup --verify=content` and re-runs it with --incremental.
# Last, it restores the copy with `agentcli restore` onto the agent's empty
# second drive D: and compares it with the original (bytes, last-write
# times, attributes as the agent reports them), then changes a few files on
# D: and shows that `restore --incremental` rewrites those and only those.
# The agent serves both drives writable for that; only the restore writes,
# and only below D:.
#
#   bash scripts/main-job.sh [--source DIR] [--dest DIR] [--build-dir DIR] [--jobs N] [--keep]
#
#   --source DIR     serve DIR as drive C: (default: a generated sample tree)
#   --dest DIR       back up into DIR (default: a fresh folder under /tmp; must be empty or absent)
#   --build-dir DIR  build tree (default: build)
#   --jobs N         files copied at once by agentcli (default 4)
#   --keep           keep the generated sample tree and the copy afterwards
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source_dir=""
dest_dir=""
build_dir="$repo/build"
jobs=4
keep=0
while (($#)); do
  case "$1" in
    --source) source_dir=$(realpath "$2"); shift 2 ;;
    --dest) dest_dir=$(realpath -m "$2"); shift 2 ;;
    --build-dir) build_dir=$(realpath -m "$2"); shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | grep '^#' | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "main-job: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done

step() { printf '\n== %s\n' "$*"; }

step "dependencies"
bash "$repo/scripts/install-deps.sh"

step "build ($build_dir)"
started=$SECONDS
cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2
echo "built in $((SECONDS - started)) s"
agent_bin="$build_dir/tools/reference-agent/reference-agent"
cli_bin="$build_dir/tools/agentcli/agentcli"

work=$(mktemp -d /tmp/agent-main-job.XXXXXX)
agent_pid=""
cleanup() {
  if [[ -n "$agent_pid" ]]; then
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  if ((keep)); then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

if [[ -z "$source_dir" ]]; then
  source_dir="$work/sample"
  step "sample tree ($source_dir)"
  mkdir -p "$source_dir"/{docs/notes/2024/q1,media,"empty folder/inner",Users/backup/Documents/Outlook,Users/backup/Favorites}
  mkdir -p "$source_dir/Users/backup/AppData/Roaming/Mozilla/Firefox/Profiles/x7.default"
  mkdir -p "$source_dir/Ünïcödé/日本語"
  printf 'quarterly notes\n' > "$source_dir/docs/notes/2024/q1/notes.txt"
  # Attributes the reference agent reports: read-only (no owner write bit)
  # and hidden (a dot name).
  printf 'final version\n' > "$source_dir/docs/signed.pdf"
  chmod a-w "$source_dir/docs/signed.pdf"
  mkdir -p "$source_dir/docs/.cache"
  printf 'hidden\n' > "$source_dir/docs/.cache/.index"
  : > "$source_dir/docs/empty.txt"
  : > "$source_dir/Ünïcödé/空のファイル"
  printf 'γειά σου κόσμε\n' > "$source_dir/Ünïcödé/Ελληνικά.txt"
  printf 'こんにちは\n' > "$source_dir/Ünïcödé/日本語/挨拶.txt"
  head -c $((5 * 1024 * 1024 + 123)) /dev/urandom > "$source_dir/media/video.bin"
  head -c $((3 * 1024 * 1024)) /dev/urandom > "$source_dir/media/photos.tar"
  head -c 70001 /dev/urandom > "$source_dir/docs/report.docx"
  for i in $(seq 1 50); do head -c $((i * 311)) /dev/urandom > "$source_dir/docs/notes/note-$i.txt"; done
  head -c 200000 /dev/urandom > "$source_dir/Users/backup/Documents/Outlook/mail.pst"
  printf '[InternetShortcut]\nURL=https://example.org/\n' > "$source_dir/Users/backup/Favorites/example.url"
  head -c 40000 /dev/urandom > "$source_dir/Users/backup/AppData/Roaming/Mozilla/Firefox/Profiles/x7.default/places.sqlite"
  # Links as a user profile holds them: a directory link inside, a loop back
  # to an ancestor, links leading out of the served folder, a file link and
  # a link to nothing.
  mkdir -p "$work/outside/private"
  printf 'not served\n' > "$work/outside/private/secret.txt"
  ln -s Documents "$source_dir/Users/backup/My Documents"
  ln -s ../.. "$source_dir/docs/notes/2024/up"
  ln -s "$work/outside/private" "$source_dir/media/outside-folder"
  ln -s "$work/outside/private/secret.txt" "$source_dir/docs/outside.txt"
  ln -s report.docx "$source_dir/docs/report-latest.docx"
  ln -s report-2019.docx "$source_dir/docs/report-old.docx" # its target is gone
fi
[[ -d "$source_dir" ]] || { echo "main-job: not a folder: $source_dir" >&2; exit 2; }
if [[ -z "$dest_dir" ]]; then
  dest_dir="$work/backup"
elif [[ -e "$dest_dir" && -n "$(ls -A "$dest_dir" 2>/dev/null)" ]]; then
  echo "main-job: $dest_dir is not empty; name a new or empty folder" >&2
  exit 2
fi

step "reference agent"
user=backup
password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
restore_dir="$work/restored"
mkdir -p "$restore_dir"
"$agent_bin" --user "$user" --password "$password" --listen 127.0.0.1 --port 0 \
  --port-file "$work/port" --drive C="$source_dir" --drive D="$restore_dir" >"$work/agent.log" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.1; done
[[ -s "$work/port" ]] || { echo "main-job: the agent did not start:" >&2; cat "$work/agent.log" >&2; exit 1; }
port=$(cat "$work/port")
cat "$work/agent.log"
export AGENT_HOST=127.0.0.1 AGENT_PORT="$port" AGENT_USER="$user" AGENT_PASSWORD="$password"

step "what the agent offers"
"$cli_bin" os
"$cli_bin" drives
"$cli_bin" ls 'C:\'

step "agentcli backup 'C:\\' -> $dest_dir"
set +e
"$cli_bin" backup --jobs "$jobs" --list-skipped 'C:\' "$dest_dir" | tee "$work/backup.out"
backup_status=${PIPESTATUS[0]}
set -e

step "check"
# What the summary must say, worked out from the served tree itself (links
# are not followed by find): every folder and file, file links inside as
# files, directory links inside as not followed, links whose target lies
# outside (or is missing) as skipped; each compared with the copy.
source_real=$(realpath "$source_dir")
files=0 folders=1 not_followed=0 leads_out=0 no_target=0 other=0 problems=0
problem() { ((problems += 1)); ((problems <= 20)) && echo "  $*" >&2; return 0; }
while IFS= read -r -d '' entry; do
  rel=${entry#"$source_dir"/}
  if [[ -L "$entry" ]]; then
    # The agent resolves a link only within what it serves: an absolute
    # target, or one that climbs out, leads out even when it would land inside.
    target=$(realpath -m "$entry")
    if [[ "$(readlink "$entry")" == /* || ( "$target" != "$source_real" && "$target" != "$source_real"/* ) ]]; then
      ((leads_out += 1))
    elif ! target=$(realpath -e "$entry" 2>/dev/null); then
      ((no_target += 1))
    elif [[ -d "$target" ]]; then
      ((not_followed += 1))
    else
      ((files += 1))
      cmp -s "$target" "$dest_dir/$rel" || problem "differs or missing: $rel"
      continue
    fi
    [[ ! -e "$dest_dir/$rel" && ! -L "$dest_dir/$rel" ]] || problem "a skipped link was copied: $rel"
  elif [[ -d "$entry" ]]; then
    ((folders += 1))
    [[ -d "$dest_dir/$rel" ]] || problem "folder missing: $rel"
  elif [[ -f "$entry" ]]; then
    ((files += 1))
    cmp -s "$entry" "$dest_dir/$rel" || problem "differs or missing: $rel"
  else
    ((other += 1)) # pipes and devices: the agent refuses them
  fi
done < <(find "$source_dir" -mindepth 1 -print0)
# The manifest beside the copy is no part of it.
copied=$(find "$dest_dir" -type f ! -path "$dest_dir/.agent-manifest" | wc -l)
leftovers=$(find "$dest_dir" -name '*partial' | wc -l)
summary=$(grep -E '^backup .* files, ' "$work/backup.out" || true)
causes=$(grep -E '^  skipped by cause:' "$work/backup.out" || true)
expect() { # what, expected, actual
  if [[ "$2" == "$3" ]]; then echo "  $1: $2"; else problem "$1: expected $2, the backup says $3"; fi
}
number() { sed -nE "s/.*[ ,]([0-9]+) $1.*/\1/p" <<<"$2"; }
cause() { local n; n=$(sed -nE "s/.*$1: ([0-9]+).*/\1/p" <<<"$causes"); echo "${n:-0}"; } # zero counts are left out
expect "files copied" "$files" "$(number files "$summary")"
expect "files in the copy" "$files" "$copied"
expect "folders" "$folders" "$(number folders "$summary")"
expect "directory links not followed" "$not_followed" "$(cause 'directory link not followed')"
expect "links leading out" "$leads_out" "$(cause 'link leading out of the served folder')"
expect "links to nothing" "$no_target" "$(cause 'link to nothing')"
expect "failed" "$other" "$(number failed "$summary")"
expect "partial files left" 0 "$leftovers"
expect "manifest entries (files and folders below the root)" "$((files + folders - 1))" \
  "$(sed -nE 's/^end\t([0-9]+)\t.*/\1/p' "$dest_dir/.agent-manifest" 2>/dev/null)"
if ((problems)) || { ((other == 0)) && [[ $backup_status -ne 0 ]]; }; then
  echo "main-job: the backup does not account for the served tree ($problems problems, exit status $backup_status)" >&2
  exit 1
fi
echo "copy verified: $files files, $folders folders, $(du -sb "$dest_dir" | cut -f1) bytes, identical to $source_dir"

step "agentcli backup --verify=content (the agent's bytes against the copy)"
"$cli_bin" backup --verify=content --no-progress 'C:\' "$dest_dir"

step "agentcli backup --follow-links (every directory link inside leads to a folder already copied)"
"$cli_bin" backup --follow-links --no-progress 'C:\' "$work/followed" | tee "$work/followed.out"
causes=$(grep -E '^  skipped by cause:' "$work/followed.out" || true)
expect "loops" "$not_followed" "$(cause 'loop \(folder already copied\)')"
expect "files copied" "$files" "$(number files "$(head -n 1 "$work/followed.out")")"
((problems == 0)) || { echo "main-job: --follow-links did not end as expected" >&2; exit 1; }
rm -rf "$work/followed"

step "agentcli backup --incremental (nothing changed: nothing copied)"
"$cli_bin" backup --incremental --no-progress 'C:\' "$dest_dir" | tee "$work/again.out"
again=$(head -n 1 "$work/again.out")
[[ "$(number files "$again")" == 0 && "$(number unchanged "$again")" == "$files" ]] ||
  { echo "main-job: the incremental re-run copied again" >&2; exit 1; }

step "agentcli restore $dest_dir -> 'D:\\' (the agent's empty second drive)"
"$cli_bin" restore --jobs "$jobs" --no-progress "$dest_dir" 'D:\' | tee "$work/restore.out"
# The original against the restored tree: every folder and file the backup
# holds (file links as their targets), with its bytes, its last-write time
# to the 100 ns a FILETIME keeps, and its attributes as the agent lists
# them; nothing else restored.
mtime() { local t; t=$(stat -c '%.9Y' "$1"); echo "${t%??}"; }
listing() { # drive path, source folder: the agent's "attributes size time name" lines, links left out
  "$cli_bin" ls "$1" | sed '$d' | while IFS= read -r line; do
    name=${line#*:[0-9][0-9]  }
    [[ -L "$2/$name" ]] && continue # what a link is on C: is not what its copy is on D:
    printf '%s\n' "$line"
  done
}
restored=0
while IFS= read -r -d '' entry; do
  rel=${entry#"$source_dir"/}
  if [[ -L "$entry" ]]; then
    [[ -e "$dest_dir/$rel" ]] || { [[ ! -e "$restore_dir/$rel" ]] || problem "a skipped link was restored: $rel"; continue; }
    entry=$(realpath "$entry")
  fi
  if [[ -d "$entry" ]]; then
    [[ -d "$restore_dir/$rel" ]] || { problem "folder not restored: $rel"; continue; }
    [[ "$(listing "C:\\${rel//\//\\}" "$source_dir/$rel")" == "$(listing "D:\\${rel//\//\\}" "$source_dir/$rel")" ]] ||
      problem "the agent lists $rel differently after the restore"
  elif [[ -f "$entry" ]]; then
    ((restored += 1))
    cmp -s "$entry" "$restore_dir/$rel" || problem "restored with other bytes: $rel"
  fi
  [[ "$(mtime "$entry")" == "$(mtime "$restore_dir/$rel")" ]] || problem "last-write time differs: $rel"
done < <(find "$source_dir" -mindepth 1 -print0)
[[ "$(listing 'C:\' "$source_dir")" == "$(listing 'D:\' "$source_dir")" ]] || problem "the agent lists D:\\ differently from C:\\"
expect "files restored" "$restored" "$(number files "$(head -n 1 "$work/restore.out")")"
expect "files on D:" "$restored" "$(find "$restore_dir" -type f | wc -l)"
((problems == 0)) || { echo "main-job: the restore does not match the original" >&2; exit 1; }
echo "restore verified: $restored files, identical to $source_dir in bytes, last-write times and attributes"

step "agentcli restore --incremental after changes on the agent (rewrites those and only those)"
# Four restored files: one rewritten with an older time, one cut short with
# an older time, one removed (all three restored again), and one edited now,
# newer than the backup's copy (kept).
mapfile -t picks < <(cd "$restore_dir" && find . -type f -size +0 | sed 's|^\./||' | LC_ALL=C sort | head -n 4)
if ((${#picks[@]} == 4)); then
  printf 'changed on the agent\n' > "$restore_dir/${picks[0]}"
  truncate -s 1 "$restore_dir/${picks[1]}"
  touch -d '2001-02-03 04:05:06' "$restore_dir/${picks[0]}" "$restore_dir/${picks[1]}"
  rm -f "$restore_dir/${picks[2]}"
  printf 'edited on the agent after the backup\n' > "$restore_dir/${picks[3]}"
  "$cli_bin" restore --incremental -v --no-progress "$dest_dir" 'D:\' | tee "$work/restore-again.out"
  again=$(grep -E '^restore .* files, ' "$work/restore-again.out")
  windows() { local p="D:\\$1"; printf '%s\n' "${p//\//\\}"; }
  expect "files rewritten" "$(for p in "${picks[@]:0:3}"; do windows "$p"; done | LC_ALL=C sort | tr '\n' ' ')" \
    "$(sed -n 's/^copied //p' "$work/restore-again.out" | LC_ALL=C sort | tr '\n' ' ')"
  expect "unchanged" "$((restored - 4))" "$(number unchanged "$again")"
  expect "kept as newer on the agent" 1 "$(sed -nE 's/.*newer on the agent: ([0-9]+).*/\1/p' "$work/restore-again.out")"
  for p in "${picks[@]:0:3}"; do
    src="$source_dir/$p"
    [[ -L "$src" ]] && src=$(realpath "$src")
    cmp -s "$src" "$restore_dir/$p" || problem "not restored again: $p"
  done
  ((problems == 0)) || { echo "main-job: restore --incremental did not rewrite exactly the changed files" >&2; exit 1; }
fi

if ((keep)) || [[ "$dest_dir" != "$work"/* ]]; then
  echo "backup kept in $dest_dir"
fi
echo "main job done: served $source_dir as C: on 127.0.0.1:$port, backed it up with agentcli, checked it byte for byte and entry by entry, restored it onto D: and checked that too"
