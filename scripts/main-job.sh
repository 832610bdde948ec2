#!/usr/bin/env bash
# The main job: builds everything, serves a folder tree through the
# reference agent on loopback, backs it up with agentcli into a local
# folder, and checks that the copy holds the same files with the same bytes.
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
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
"$agent_bin" --user "$user" --password "$password" --listen 127.0.0.1 --port 0 \
  --port-file "$work/port" --read-only "$source_dir" >"$work/agent.log" 2>&1 &
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
"$cli_bin" backup --jobs "$jobs" 'C:\' "$dest_dir"
backup_status=$?
set -e

step "check"
# Links leaving the served folder are not served, so the comparison follows
# links the way the agent does: by content.
if diff -r "$source_dir" "$dest_dir" >"$work/diff.txt" 2>&1; then
  files=$(find "$dest_dir" -type f | wc -l)
  folders=$(find "$dest_dir" -type d | wc -l)
  bytes=$(du -sb "$dest_dir" | cut -f1)
  leftovers=$(find "$dest_dir" -name '*.agent-partial' | wc -l)
  echo "copy verified: $files files, $folders folders, $bytes bytes, identical to $source_dir ($leftovers partial files)"
  [[ $backup_status -eq 0 && $leftovers -eq 0 ]] || { echo "main-job: backup reported failures" >&2; exit 1; }
else
  echo "main-job: the copy differs from the source:" >&2
  head -20 "$work/diff.txt" >&2
  exit 1
fi
if ((keep)) || [[ "$dest_dir" != "$work"/* ]]; then
  echo "backup kept in $dest_dir"
fi
echo "main job done: served $source_dir as C: on 127.0.0.1:$port, backed it up with agentcli and checked it byte for byte"
