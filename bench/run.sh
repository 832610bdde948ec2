#!/usr/bin/env bash
# One benchmark run on loopback: builds what it needs (Release, in
# build-bench/), serves a generated tree with the reference agent, and
# prints every figure beside its anchor from the same run, as medians of
# interleaved rounds.
#
#   bash bench/run.sh [--rounds N] [--samba] [--keep]
#   bash bench/run.sh --network [--rounds N] [--keep] [--out DIR]
#
#   --network   tree backups through a forwarder that plays a network link
#               (bench/netdelay: 1 Gbit/s, one-way delays 0, 0.25 and
#               2.5 ms): agentcli backup against an rsync daemon and a
#               private Samba (installed with apt-get when missing, as
#               root); see bench/network.sh
#   --rounds N  rounds of every measurement (default 5; 3 with --network)
#   --samba     install samba and libsmbclient-dev with apt-get (as root)
#               and run a private smbd on 127.0.0.1:4450 with its own
#               configuration and directories, stopped at the end: the
#               libsmbclient anchors for copies and listings
#   --keep      leave the work directory (tree, copies, logs) behind
#   --build DIR build there instead of build-bench/ (keeps its build type)
#   --out DIR   copy into DIR (default: a new directory in /dev/shm when it
#               exists, so copies are not measured against the disk); with
#               --network, the disk-backed folder for the flushed copies
#
# Anchors: a raw C ping-pong of the same message sizes (12-byte header and
# a small payload, 16-byte reply) for one-exchange calls; libsmbclient for
# copies and listings; a listing of the same 10,000 files for the
# incremental backup. Not part of CI.
set -euo pipefail

rounds=""
build_dir=""
out_dir=""
samba=0
network=0
keep=0
while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --samba) samba=1; shift ;;
    --network) network=1; shift ;;
    --keep) keep=1; shift ;;
    --build) build_dir="$2"; shift 2 ;;
    --out) out_dir="$2"; shift 2 ;;
    -h|--help) sed -n '2,29p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ -z "$rounds" ] && { [ "$network" = 1 ] && rounds=3 || rounds=5; }
case "$rounds" in '' | *[!0-9]* | 0) echo "run.sh: --rounds wants a number from 1" >&2; exit 2 ;; esac

root=$(cd "$(dirname "$0")/.." && pwd)
build="${build_dir:-$root/build-bench}"
work=$(mktemp -d /tmp/agent-bench.XXXXXX)
# Copies land in memory (tmpfs) when there is one: buffered writes to a
# virtual machine's disk vary several-fold from one copy to the next,
# which would drown the difference between the clients being compared.
# (--network puts its unflushed copies there and its flushed ones on disk.)
own_copies=0
if [ -z "$out_dir" ] || [ "$network" = 1 ]; then
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then copies=$(mktemp -d /dev/shm/agent-bench-out.XXXXXX); else copies="$work/out"; fi
    own_copies=1
else
    copies="$out_dir"
fi
pids=()   # servers started in the background
groups=() # servers started as process groups of their own (setsid)
cleanup() {
    trap - INT TERM
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${groups[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
    # A server that ignores TERM for 5 s is killed outright.
    for _ in $(seq 50); do
        alive=0
        for pid in "${pids[@]}" "${groups[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ "$alive" = 0 ] && break
        sleep 0.1
    done
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
    for pid in "${groups[@]}"; do kill -KILL -- "-$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}" "${groups[@]}"; do wait "$pid" 2>/dev/null || true; done
    if [ "$keep" = 1 ]; then
        echo "work directory: $work, copies in $copies"
    else
        rm -rf "$work"
        if [ "$own_copies" = 1 ]; then rm -rf "$copies"; fi
    fi
}
trap cleanup EXIT
# Ctrl-C or TERM end the script through its EXIT trap, which stops every
# server it started.
trap 'exit 130' INT
trap 'exit 143' TERM

# A server in a process group of its own: stopping it reaches every
# process it forked, and a server that signals its own group on shutdown
# (smbd does) reaches nothing of ours.
start_group() {
    setsid "$@" &
    groups+=($!)
}

# A private smbd on 127.0.0.1:PORT serving DIR read-only to guests as share
# "bench", with its own configuration and directories under STATE_DIR.
start_smbd() { # PORT DIR STATE_DIR
    local port="$1" share="$2" smb="$3"
    mkdir -p "$smb"/{private,lock,state,cache,pid,log}
    cat >"$smb/smb.conf" <<CONF
[global]
    workgroup = BENCH
    server role = standalone server
    smb ports = $port
    interfaces = 127.0.0.1
    bind interfaces only = yes
    disable netbios = yes
    private dir = $smb/private
    lock directory = $smb/lock
    state directory = $smb/state
    cache directory = $smb/cache
    pid directory = $smb/pid
    log file = $smb/log/smbd.log
    passdb backend = tdbsam:$smb/private/passdb.tdb
    map to guest = Bad User
    guest account = nobody
    load printers = no
    printing = bsd
    printcap name = /dev/null
[bench]
    path = $share
    read only = yes
    guest ok = yes
CONF
    start_group smbd --foreground --no-process-group --configfile="$smb/smb.conf" >"$smb/log/stdout" 2>&1
    local _
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "run.sh: smbd did not listen on port $port (see $smb/log)" >&2
    return 1
}

log() { echo "== $*" >&2; }

# ---- build
log "building in $build"
if [ -n "$build_dir" ]; then
    cmake -S "$root" -B "$build" >"$work/cmake.log" 2>&1
else
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1
fi
if [ "$network" = 1 ]; then
    targets=(reference-agent agentcli netdelay)
    # The library's many-file copy program, once there is one.
    [ -f "$root/bench/manyfile_bench.cpp" ] && targets+=(manyfile_bench)
else
    targets=(reference-agent agentcli pingpong exchange_bench)
    [ -f "$root/bench/copy_bench.cpp" ] && targets+=(copy_bench)
fi
cmake --build "$build" -j2 --target "${targets[@]}" >"$work/build.log" 2>&1 ||
    { tail -30 "$work/build.log" >&2; exit 1; }
agent_bin="$build/tools/reference-agent/reference-agent"
cli="$build/tools/agentcli/agentcli"
pingpong="$build/bench/pingpong"
exchange="$build/bench/exchange_bench"
copy_bench="$build/bench/copy_bench"

if [ "$network" = 1 ]; then
    . "$root/bench/network.sh"
    exit 0
fi

# ---- the tree: one 256 MiB file, 1,000 files of 4 KiB, 10,000 small files
log "generating the tree in $work/tree"
tree="$work/tree"
mkdir -p "$tree/big" "$tree/small" "$tree/many" "$copies"
head -c $((256 << 20)) /dev/urandom >"$tree/big/file256.bin"
python3 - "$tree" <<'PY'
import os, sys
tree = sys.argv[1]
block = os.urandom(4096)
for i in range(1000):
    with open(os.path.join(tree, "small", "f%04d.bin" % i), "wb") as f:
        f.write(block[i % 4096:] + block[:i % 4096])
for i in range(10000):
    with open(os.path.join(tree, "many", "n%05d.txt" % i), "wb") as f:
        f.write(b"%d\n" % i)
PY
echo hello >"$tree/probe.txt"

# ---- servers
"$agent_bin" --user bench --password bench --port-file "$work/agent.port" "$tree" >"$work/agent.log" 2>&1 &
pids+=($!)
"$pingpong" server "$work/raw.port" &
pids+=($!)
# The same two servers with every thread on CPU 0, for rows whose client
# runs there too: without cross-CPU wake-ups, a round trip shows the work
# done rather than how quickly an idle virtual CPU wakes.
taskset -c 0 "$agent_bin" --user bench --password bench --port-file "$work/agent0.port" "$tree" \
    >"$work/agent0.log" 2>&1 &
pids+=($!)
taskset -c 0 "$pingpong" server "$work/raw0.port" &
pids+=($!)
for f in agent.port raw.port agent0.port raw0.port; do
    for _ in $(seq 50); do [ -s "$work/$f" ] && break; sleep 0.1; done
    [ -s "$work/$f" ] || { echo "run.sh: $f was not written" >&2; exit 1; }
done
agent_port=$(cat "$work/agent.port")
raw_port=$(cat "$work/raw.port")
agent0_port=$(cat "$work/agent0.port")
raw0_port=$(cat "$work/raw0.port")
export AGENT_HOST=127.0.0.1 AGENT_PORT=$agent_port AGENT_USER=bench AGENT_PASSWORD=bench

smb_bin=""
if [ "$samba" = 1 ]; then
    log "installing samba and libsmbclient-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update >"$work/apt.log" 2>&1
    apt-get install -y --no-install-recommends samba libsmbclient-dev pkg-config >>"$work/apt.log" 2>&1
    smb="$work/samba"
    chmod -R a+rX "$work"
    start_smbd 4450 "$tree" "$smb"
    cc -O2 -o "$work/smb_bench" "$root/bench/smb_bench.c" $(pkg-config --cflags --libs smbclient)
    smb_bin="$work/smb_bench"
    export HOME="$smb" # libsmbclient's client configuration stays private too
    mkdir -p "$HOME/.smb" && : >"$HOME/.smb/smb.conf"
fi

# ---- measurements: each appends "value" lines to $work/r/<key>
mkdir -p "$work/r"
record() { echo "$2" >>"$work/r/$1"; }
field() { awk -F'\t' -v f="$1" '$1 == f { print $2 }'; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
seconds_of() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>>"$work/errors.log"; e=$(date +%s.%N); calc "$e - $s"; }

calls=20000
have_incremental=0
grep -rq -- '--incremental' "$root/tools/agentcli" && have_incremental=1
have_no_flush=0
grep -rq -- '--no-flush' "$root/tools/agentcli" && have_no_flush=1
have_copy=0
[ -x "$copy_bench" ] && grep -q -- '--remote' "$root/bench/copy_bench.cpp" && have_copy=1

if [ "$have_incremental" = 1 ]; then
    "$cli" backup 'C:\many' "$copies/many" >/dev/null 2>&1 # the copy the re-runs find unchanged
fi

for round in $(seq "$rounds"); do
    log "round $round of $rounds"
    for t in 1 2 8; do
        out=$("$pingpong" client "$raw_port" $((calls / t)) $t 40)
        record "raw$t" "$(field 'round trip' <<<"$out")"
        [ "$t" = 1 ] && record rawcpu "$(field 'client cpu per call' <<<"$out")"
        out=$("$exchange" --port "$agent_port" --user bench --password bench --path 'C:\probe.txt' \
            --export exists --calls $((calls / t)) --threads $t)
        record "lib$t" "$(field 'round trip' <<<"$out")"
        [ "$t" = 1 ] && record libcpu "$(field 'client cpu per call' <<<"$out")"
    done
    # 64 connections at once on this machine's cores: the tail of single
    # calls beside their median shows an agent that stalls some of them.
    out=$("$exchange" --port "$agent_port" --user bench --password bench --path 'C:\probe.txt' \
        --export exists --calls $((calls / 64 * 2)) --threads 64)
    record lib64med "$(field 'median call' <<<"$out")"
    record lib64p99 "$(field 'p99 call' <<<"$out")"
    record lib64max "$(field 'slowest call' <<<"$out")"
    out=$("$exchange" --port "$raw_port" --path 'C:\probe.txt' --export exists --calls $calls --threads 1)
    record libraw1 "$(field 'round trip' <<<"$out")"
    record librawcpu "$(field 'client cpu per call' <<<"$out")"
    out=$(taskset -c 0 "$pingpong" client "$raw0_port" $calls 1 40)
    record raw1pin "$(field 'round trip' <<<"$out")"
    record rawcpupin "$(field 'client cpu per call' <<<"$out")"
    out=$(taskset -c 0 "$exchange" --port "$raw0_port" --path 'C:\probe.txt' --export exists --calls $calls --threads 1)
    record libraw1pin "$(field 'round trip' <<<"$out")"
    record librawcpupin "$(field 'client cpu per call' <<<"$out")"
    out=$(taskset -c 0 "$exchange" --port "$agent0_port" --user bench --password bench --path 'C:\probe.txt' \
        --export exists --calls $calls --threads 1)
    record lib1pin "$(field 'round trip' <<<"$out")"

    if [ "$have_copy" = 1 ]; then
        out=$("$copy_bench" --host 127.0.0.1 --port "$agent_port" --user bench --password bench \
            --remote 'C:\big\file256.bin' --local "$copies" --rounds 1)
        while IFS=$'\t' read -r figure value _; do
            [ -n "$value" ] && record "copy:$figure" "$value" # MB/s
        done <<<"$out"
    fi

    rm -rf "$copies/big"
    s=$(seconds_of "$cli" backup 'C:\big' "$copies/big")
    record backup256 "$(calc "268.435456 / $s")"
    rm -rf "$copies/small"
    s=$(seconds_of "$cli" backup 'C:\small' "$copies/small")
    record backup1000 "$(calc "1000 / $s")"
    if [ "$have_no_flush" = 1 ]; then
        # Without the flushes: the same work as a client that leaves the
        # data to the page cache, as older agentcli did.
        rm -rf "$copies/big"
        s=$(seconds_of "$cli" backup --no-flush 'C:\big' "$copies/big")
        record backup256nf "$(calc "268.435456 / $s")"
        rm -rf "$copies/small"
        s=$(seconds_of "$cli" backup --no-flush 'C:\small' "$copies/small")
        record backup1000nf "$(calc "1000 / $s")"
    fi
    s=$(seconds_of "$cli" ls 'C:\many')
    record list10000 "$(calc "10000 / $s")"
    record list10000s "$s"
    if [ "$have_incremental" = 1 ]; then
        record incr10000s "$(seconds_of "$cli" backup --incremental 'C:\many' "$copies/many")"
    fi
    if [ -n "$smb_bin" ]; then
        out=$("$smb_bin" copy "smb://127.0.0.1:4450/bench/big/file256.bin" "$copies/smb256.bin")
        record smbcopy "$(field copy <<<"$out")"
        out=$("$smb_bin" list "smb://127.0.0.1:4450/bench/many")
        record smblist "$(field list <<<"$out")"
    fi
done

# ---- report: median of each figure, its anchor's median, the ratio
median() { [ -s "$work/r/$1" ] && sort -g "$work/r/$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
row() { # figure text, key, unit, anchor text, anchor key
    local value anchor ratio="-"
    value=$(median "$2" || true)
    anchor=$( [ -n "$5" ] && median "$5" || true)
    [ -z "$value" ] && value="missing"
    [ -n "$anchor" ] && [ "$value" != missing ] && ratio=$(awk "BEGIN { printf \"%.2f\", $value / $anchor }")
    [ "$value" != missing ] && value=$(printf '%.2f' "$value")
    printf '%-52s %12s %-9s %-40s %12s %6s\n' "$1" "$value" "$3" \
        "${4:--}" "$( [ -n "$anchor" ] && printf '%.2f' "$anchor" || echo -)" "$ratio"
}
echo
echo "medians of $rounds interleaved rounds; ratio = figure / anchor"
printf '%-52s %12s %-9s %-40s %12s %6s\n' figure value unit anchor "anchor" ratio
row "AgentPathFileExistsW, 1 thread, reference agent" lib1 us "raw ping-pong, 1 thread" raw1
row "AgentPathFileExistsW, 2 threads" lib2 us "raw ping-pong, 2 threads" raw2
row "AgentPathFileExistsW, 8 threads" lib8 us "raw ping-pong, 8 threads" raw8
row "AgentPathFileExistsW, 64 threads: 99th percentile" lib64p99 us "their median call" lib64med
row "AgentPathFileExistsW, 64 threads: slowest call" lib64max us "their median call" lib64med
row "AgentPathFileExistsW, 1 thread, raw server" libraw1 us "raw ping-pong, 1 thread" raw1
row "AgentPathFileExistsW, 1 CPU, reference agent" lib1pin us "raw ping-pong, 1 CPU" raw1pin
row "AgentPathFileExistsW, 1 CPU, raw server" libraw1pin us "raw ping-pong, 1 CPU" raw1pin
row "client CPU per call (reference agent)" libcpu us "raw ping-pong client CPU" rawcpu
row "client CPU per call (raw server)" librawcpu us "raw ping-pong client CPU" rawcpu
row "client CPU per call (raw server, 1 CPU)" librawcpupin us "raw ping-pong client CPU, 1 CPU" rawcpupin
if [ "$have_copy" = 1 ]; then
    for f in "$work"/r/copy:*; do
        key=$(basename "$f")
        row "copy_bench ${key#copy:}" "$key" MB/s "libsmbclient copy" "$( [ -n "$smb_bin" ] && echo smbcopy)"
    done
else
    row "AgentCopyFileFromAgent, 256 MiB" none MB/s "copy_bench without --remote" ""
    row "AgentCopyFileFromAgentExW, 256 MiB" none MB/s "copy_bench without --remote" ""
fi
row "agentcli backup, 256 MiB" backup256 MB/s "libsmbclient copy" "$( [ -n "$smb_bin" ] && echo smbcopy)"
row "agentcli backup, 1,000 x 4 KiB" backup1000 files/s "" ""
if [ "$have_no_flush" = 1 ]; then
    row "agentcli backup --no-flush, 256 MiB" backup256nf MB/s "libsmbclient copy" "$( [ -n "$smb_bin" ] && echo smbcopy)"
    row "agentcli backup --no-flush, 1,000 x 4 KiB" backup1000nf files/s "" ""
fi
if [ "$have_incremental" = 1 ]; then
    row "agentcli backup --incremental, 10,000 unchanged" incr10000s s "agentcli ls of the same 10,000 (s)" list10000s
else
    row "agentcli backup --incremental, 10,000 unchanged" none s "agentcli without --incremental" ""
fi
row "listing 10,000 entries (agentcli ls)" list10000 entries/s "libsmbclient listing" "$( [ -n "$smb_bin" ] && echo smblist)"
[ -s "$work/errors.log" ] && { echo; echo "errors:"; sort -u "$work/errors.log" | head -20; }
exit 0
