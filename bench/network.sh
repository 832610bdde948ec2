# bench/run.sh --network (sourced by run.sh after its build): tree backups
# as a user's network would see them. A profile-like tree is served by the
# reference agent, an rsync daemon and a private smbd, each reached through
# bench/netdelay (a 1 Gbit/s link each way, one-way delays 0, 0.25 and
# 2.5 ms); agentcli backup, rsync -a and smbclient's recursive mget copy it,
# in interleaved rounds, and the medians are printed beside rsync's.
#
# Like with like: copies whose data are flushed to disk before they count
# as done (agentcli's default once it flushes, rsync --fsync) go to a
# disk-backed folder, `sync`ed before each copy; copies without flushes
# (agentcli's switch to turn flushes off, plain rsync -a, smbclient) go to
# /dev/shm when there is one, where buffered writes cost the same for all.
#
# Uses run.sh's variables (root, build, work, copies, out_dir, rounds,
# keep, agent_bin, cli) and functions (log, start_group, start_smbd).

delays=(0 0.25 2.5) # one-way, ms
rate_mbit=1000
net_user=bench
net_password=bench

# ---- what the anchors need
need=()
command -v rsync >/dev/null || need+=(rsync)
command -v smbd >/dev/null || need+=(samba)
command -v smbclient >/dev/null || need+=(smbclient)
if [ ${#need[@]} -gt 0 ]; then
    [ "$(id -u)" = 0 ] || { echo "run.sh: --network needs ${need[*]}: run as root to install them" >&2; exit 1; }
    log "installing ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update >"$work/apt.log" 2>&1
    apt-get install -y --no-install-recommends "${need[@]}" >>"$work/apt.log" 2>&1 ||
        { tail -20 "$work/apt.log" >&2; exit 1; }
fi
netdelay="$build/bench/netdelay"
manyfile_bin="$build/bench/manyfile_bench"

# ---- where the copies go
flushed_base="${out_dir:-$work}"
mkdir -p "$flushed_base"
if [ "$(stat -f -c %T "$flushed_base")" = tmpfs ]; then
    [ -n "$out_dir" ] && { echo "run.sh: --out $out_dir is tmpfs; flushed copies need a disk" >&2; exit 1; }
    flushed_base="$build"
fi
flushed=$(mktemp -d "$flushed_base/agent-netbench-flushed.XXXXXX")
unflushed="$copies"
cleanup_flushed() { [ "$keep" = 1 ] || rm -rf "$flushed"; }
trap 'cleanup_flushed; cleanup' EXIT

# ---- the tree: 2,100 files of 256 B to 128 KiB (sizes even on a log
# scale) in 60 folders three levels deep, and one 64 MiB file; the same
# bytes on every run
serve="$work/serve"
tree="$serve/profile"
log "generating the tree in $tree"
python3 - "$tree" <<'PY'
import math, os, random, sys
tree = sys.argv[1]
rng = random.Random(20)
folders = []
for a in range(4):
    for b in range(2):
        for c in range(6):
            folders += [os.path.join("dir%d" % a), os.path.join("dir%d" % a, "sub%d" % b),
                        os.path.join("dir%d" % a, "sub%d" % b, "leaf%d" % c)]
folders = sorted(set(folders))  # 4 + 8 + 48 = 60
for f in folders:
    os.makedirs(os.path.join(tree, f), exist_ok=True)
for i in range(2100):
    size = int(math.exp(rng.uniform(math.log(256), math.log(128 * 1024))))
    path = os.path.join(tree, folders[i % len(folders)], "file%04d.dat" % i)
    with open(path, "wb") as out:
        out.write(rng.randbytes(size))
with open(os.path.join(tree, "dir0", "mailbox.pst"), "wb") as out:
    for _ in range(64):
        out.write(rng.randbytes(1 << 20))
PY
tree_files=$(find "$tree" -type f | wc -l)
tree_bytes=$(find "$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
chmod -R a+rX "$work" # smbd and the rsync daemon serve it as nobody

# ---- servers, each behind one forwarder per delay
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
wait_file() {
    local _
    for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done
    echo "run.sh: $1 was not written" >&2
    exit 1
}

start_group "$agent_bin" --user "$net_user" --password "$net_password" --port-file "$work/agent.port" "$serve" \
    >"$work/agent.log" 2>&1
wait_file "$work/agent.port"
agent_port=$(cat "$work/agent.port")

rsync_port=$(free_port)
mkdir -p "$work/rsync"
cat >"$work/rsync/rsyncd.conf" <<CONF
use chroot = no
pid file = $work/rsync/rsyncd.pid
lock file = $work/rsync/rsyncd.lock
log file = $work/rsync/rsyncd.log
[bench]
    path = $serve
    read only = yes
CONF
start_group rsync --daemon --no-detach --address=127.0.0.1 --port="$rsync_port" \
    --config="$work/rsync/rsyncd.conf" >"$work/rsync/stdout" 2>&1

smb_port=$(free_port)
start_smbd "$smb_port" "$serve" "$work/samba"
: >"$work/samba/client.conf" # smbclient reads no system configuration

for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$rsync_port") 2>/dev/null && break; sleep 0.1; done

declare -A via # via[server:delay] = forwarder port
for d in "${delays[@]}"; do
    for server in agent rsync smb; do
        case $server in agent) target=$agent_port ;; rsync) target=$rsync_port ;; smb) target=$smb_port ;; esac
        start_group "$netdelay" --target "$target" --delay-ms "$d" --rate-mbit "$rate_mbit" \
            --port-file "$work/fwd-$server-$d.port"
    done
done
for d in "${delays[@]}"; do
    for server in agent rsync smb; do
        wait_file "$work/fwd-$server-$d.port"
        via[$server:$d]=$(cat "$work/fwd-$server-$d.port")
    done
done

# ---- the clients
# agentcli flushes by default once it can; the switch that turns that off,
# if this agentcli has one.
no_flush=""
backup_help=$("$cli" backup --help 2>&1 || true)
for option in --no-flush --no-fsync --no-sync --no-durable; do
    if grep -q -e "$option\b" <<<"$backup_help"; then no_flush=$option; break; fi
done

agentcli_copy() { # delay dest [switch]
    AGENT_HOST=127.0.0.1 AGENT_PORT=${via[agent:$1]} AGENT_USER=$net_user AGENT_PASSWORD=$net_password \
        "$cli" backup ${3:+"$3"} 'C:\profile' "$2"
}
rsync_copy() { # delay dest [--fsync]
    rsync -a ${3:+"$3"} "rsync://127.0.0.1:${via[rsync:$1]}/bench/profile/" "$2/"
}
smbclient_copy() { # delay dest
    mkdir -p "$2"
    smbclient //127.0.0.1/bench -p "${via[smb:$1]}" -s "$work/samba/client.conf" -U guest -N \
        -c "prompt off; recurse on; lcd $2; cd profile; mget *"
}
# ---- hook: the library's many-file copy. Its rows run once build-bench
# holds bench/manyfile_bench (built from bench/manyfile_bench.cpp when that
# exists), called as copy_bench is for one file: --host --port --user
# --password, --remote the tree, --local the destination folder, and
# --no-flush for the unflushed pair; exit status 0 when every file arrived.
have_manyfile=0
[ -x "$manyfile_bin" ] && have_manyfile=1
manyfile_copy() { # delay dest [--no-flush]
    "$manyfile_bin" --host 127.0.0.1 --port "${via[agent:$1]}" --user "$net_user" --password "$net_password" \
        --remote 'C:\profile' --local "$2" ${3:+"$3"}
}

# One timed copy into a fresh destination; kept only when the copy exited
# 0 and holds every file and byte of the tree.
mkdir -p "$work/r"
: >"$work/errors.log"
timed_copy() { # key dest flush(0|1) command...
    local key="$1" dest="$2" flush="$3" s e files bytes status=0
    shift 3
    rm -rf "$dest"
    [ "$flush" = 1 ] && sync
    s=$(date +%s.%N)
    "$@" >"$work/last.log" 2>&1 || status=$?
    e=$(date +%s.%N)
    if [ "$status" != 0 ]; then
        { echo "$key: exit status $status"; tail -3 "$work/last.log"; } >>"$work/errors.log"
        return 0
    fi
    # agentcli backup keeps its manifest beside the copy: not part of the tree
    files=$(find "$dest" -type f ! -path "$dest/.agent-manifest" | wc -l)
    bytes=$(find "$dest" -type f ! -path "$dest/.agent-manifest" -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    if [ "$files" != "$tree_files" ] || [ "$bytes" != "$tree_bytes" ]; then
        echo "$key: copied $files files, $bytes bytes of $tree_files, $tree_bytes" >>"$work/errors.log"
        return 0
    fi
    awk "BEGIN { printf \"%.6f\\n\", $e - $s }" >>"$work/r/$key"
}

log "tree: $tree_files files, $tree_bytes bytes; flushed copies in $flushed, the others in $unflushed"
for round in $(seq "$rounds"); do
    for d in "${delays[@]}"; do
        log "round $round of $rounds, one-way delay $d ms"
        timed_copy "agent-flush:$d" "$flushed/agentcli" 1 agentcli_copy "$d" "$flushed/agentcli"
        timed_copy "rsync-fsync:$d" "$flushed/rsync" 1 rsync_copy "$d" "$flushed/rsync" --fsync
        if [ -n "$no_flush" ]; then
            timed_copy "agent-noflush:$d" "$unflushed/agentcli" 0 agentcli_copy "$d" "$unflushed/agentcli" "$no_flush"
        else
            timed_copy "agent-noflush:$d" "$unflushed/agentcli" 0 agentcli_copy "$d" "$unflushed/agentcli"
        fi
        timed_copy "rsync:$d" "$unflushed/rsync" 0 rsync_copy "$d" "$unflushed/rsync"
        timed_copy "smbclient:$d" "$unflushed/smbclient" 0 smbclient_copy "$d" "$unflushed/smbclient"
        if [ "$have_manyfile" = 1 ]; then
            timed_copy "manyfile-flush:$d" "$flushed/manyfile" 1 manyfile_copy "$d" "$flushed/manyfile"
            timed_copy "manyfile-noflush:$d" "$unflushed/manyfile" 0 manyfile_copy "$d" "$unflushed/manyfile" --no-flush
        fi
    done
    rm -rf "$flushed"/* "$unflushed"/*
done

# ---- report
median() { [ -s "$work/r/$1" ] && sort -g "$work/r/$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
line() { printf '%-9s %-50s %9s  %-18s %9s %7s\n' "$@"; }
net_row() { # delay, label, key, anchor label, anchor key
    local value anchor ratio="-"
    value=$(median "$3" || true)
    anchor=$(median "$5" || true)
    [ -n "$value" ] && [ -n "$anchor" ] && ratio=$(awk "BEGIN { printf \"%.2f\", $value / $anchor }")
    line "$1 ms" "$2" "$( [ -n "$value" ] && printf '%.2f' "$value" || echo failed)" "$4" \
        "$( [ -n "$anchor" ] && printf '%.2f' "$anchor" || echo failed)" "$ratio"
}
if [ -n "$no_flush" ]; then
    agent_flushed="agentcli backup (flushes on)"
    agent_unflushed="agentcli backup $no_flush"
else
    agent_flushed="agentcli backup (no flush switch: as it is)"
    agent_unflushed="agentcli backup (as it is)"
fi
echo
echo "tree backups through netdelay ($rate_mbit Mbit/s each way): $tree_files files, $tree_bytes bytes"
echo "medians of $rounds interleaved rounds, seconds; ratio = time / anchor's time"
echo "flushed pair into $(stat -f -c %T "$flushed") ($flushed_base), the rest into $(stat -f -c %T "$unflushed")"
line one-way client seconds anchor seconds ratio
for d in "${delays[@]}"; do
    net_row "$d" "$agent_flushed" "agent-flush:$d" "rsync -a --fsync" "rsync-fsync:$d"
    net_row "$d" "$agent_unflushed" "agent-noflush:$d" "rsync -a" "rsync:$d"
    if [ "$have_manyfile" = 1 ]; then
        net_row "$d" "many-file copy (flushes on)" "manyfile-flush:$d" "rsync -a --fsync" "rsync-fsync:$d"
        net_row "$d" "many-file copy --no-flush" "manyfile-noflush:$d" "rsync -a" "rsync:$d"
    else
        line "$d ms" "many-file copy (bench/manyfile_bench not built)" - - - -
    fi
    net_row "$d" "smbclient recurse mget" "smbclient:$d" "rsync -a" "rsync:$d"
done
if [ -s "$work/errors.log" ]; then
    echo
    echo "failed copies (not counted):"
    head -30 "$work/errors.log"
fi
