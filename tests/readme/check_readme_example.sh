#!/usr/bin/env bash
# The README's library example, cut out exactly as printed, built as C11
# and C++17 with warnings as errors and run against the reference agent and
# a closed port on loopback; the header alone in strict C99; and (given a
# MinGW compiler) every Win32 name the header defines checked against
# windows.h's value.
#   check_readme_example.sh README HEADER_DIR LIB_DIR REFERENCE_AGENT WORK_DIR CC CXX FLAGS [MINGW_CC]
# FLAGS: what a host of a sanitizer build needs too (may be empty).
set -euo pipefail
readme=$1 include=$2 libdir=$3 agent=$4 work=$5 cc=$6 cxx=$7 mingw=${9:-}
read -r -a flags <<< "$8"
rm -rf "$work" && mkdir -p "$work/drive/Users"
fail() { echo "FAIL: $*" >&2; exit 1; }

awk '/<!-- readme-example:begin -->/ {on = 1; next} /<!-- readme-example:end -->/ {on = 0}
     on && !/^```/' "$readme" > "$work/host.c"
grep -q 'int main' "$work/host.c" || fail "no example with a main between the readme-example markers"
strict=(-pedantic -Wall -Wextra -Werror "${flags[@]}" -I"$include")
"$cc" -std=c11 "${strict[@]}" "$work/host.c" -L"$libdir" -lagent_stub -o "$work/host-c"
"$cxx" -std=c++17 "${strict[@]}" -x c++ "$work/host.c" -x none -L"$libdir" -lagent_stub -o "$work/host-cxx"
echo '#include <agent_stub.h>' | "$cc" -std=c99 -pedantic -Wall -Wextra -Werror -I"$include" -x c -fsyntax-only -

printf 'hello from the agent' > "$work/drive/hello.txt"
timeout 120 "$agent" --user user --password password --port-file "$work/port" "$work/drive" > "$work/agent.log" 2>&1 &
agent_pid=$!
trap 'kill "$agent_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.1; done
[[ -s $work/port ]] || fail "the reference agent did not start: $(cat "$work/agent.log")"

export LD_LIBRARY_PATH=$libdir
check() {  # program port exit output
    local rc=0 out
    out=$(timeout 60 "$1" 127.0.0.1 "$2" 2>&1) || rc=$?
    [[ $rc == "$3" && $out == "$4" ]] || fail "${1##*/} port $2: exit $rc (want $3), output:
$out"
    echo "ok: ${1##*/} port $2"
}
served=$'C:\\Users: attributes 0x10, a folder\nC:\\hello.txt: hello from the agent'
for program in "$work/host-c" "$work/host-cxx"; do
    check "$program" "$(cat "$work/port")" 0 "$served"
    check "$program" 1 1 "logon failed: 10061" # nothing listens on port 1 of loopback
done

if [[ -n $mingw ]]; then
    # Each guarded name with the value the Linux build sees, asserted equal
    # to windows.h's where windows.h has the name.
    names=$(sed -n 's/^#ifndef \([A-Z][A-Z0-9_]*\)$/\1/p' "$include/agent_stub.h" | grep -vx AGENT_STUB_H)
    { echo '#include <agent_stub.h>'; for n in $names; do echo "@@ \"$n\" $n"; done; } |
        "$cc" -E -P -I"$include" -x c - | sed -n 's/^@@ "\([A-Z0-9_]*\)" \(.*\)$/#ifdef \1\
_Static_assert((\1) == (\2), "\1 differs from windows.h");\
#endif/p' > "$work/win32_values.c"
    { echo '#include <winsock2.h>'; echo '#include <windows.h>'; cat "$work/win32_values.c"; } |
        "$mingw" -std=c11 -fsyntax-only -x c -
    echo "ok: $(grep -c '^#ifdef' "$work/win32_values.c") constants checked against windows.h"
fi
echo "README example ok"
