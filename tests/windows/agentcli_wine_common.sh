# Sourced by the scripts that run agentcli.exe under Wine against the
# reference agent (a Linux process) on loopback:
#   source agentcli_wine_common.sh REFERENCE_AGENT AGENTCLI_EXE WINE_RUNNER...
# WINE_RUNNER is the command that runs a Windows program (the build's
# emulator: scripts/wine-run-windows.sh --prefix DIR --).
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
# Wine decodes the arguments from the locale: UTF-8 here.
export LC_ALL=C.UTF-8

# start_agent [OPTION...] ROOT: serves ROOT and hands the connection to
# agentcli.exe through the environment, which Wine passes on.
start_agent() {
    "$agent_bin" --user alice --password s3cret --listen 127.0.0.1 --port 0 \
        --port-file "$work/port" "$@" >"$work/agent.log" 2>&1 &
    agent_pid=$!
    for _ in $(seq 100); do [[ -s "$work/port" ]] && break; sleep 0.1; done
    [[ -s "$work/port" ]] || { echo "the reference agent did not start:" >&2; cat "$work/agent.log" >&2; exit 1; }
    AGENT_PORT=$(cat "$work/port")
    export AGENT_HOST=127.0.0.1 AGENT_PORT AGENT_USER=alice AGENT_PASSWORD=s3cret
}

# A Unix path as agentcli.exe sees it, through Wine's Z: drive.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

fail() { echo "$1" >&2; cat "$work/out.txt" >&2; exit 1; }

# expect STATUS WHAT ARG...: agentcli.exe ARG... (its output in out.txt)
# exits with STATUS, and never through an uncaught exception.
expect() {
    local want=$1 what=$2 status=0
    shift 2
    timeout 300 "${runner[@]}" "$cli_exe" "$@" >"$work/out.txt" 2>&1 || status=$?
    [[ $status -eq $want ]] || fail "$what exited with $status, not $want"
    ! grep -q 'terminate called' "$work/out.txt" || fail "$what ended with an uncaught exception"
}
