#!/usr/bin/env bash
# The README's library example, cut out exactly as printed (between its
# readme-example markers), built as C11 and as C++17 against the built
# library with warnings as errors, then run against the reference agent on
# loopback and against a closed loopback port. Also: the public header
# alone in strict C99, and (when a MinGW compiler is at hand) every Win32
# name the header defines for Linux checked against windows.h's value.
#   check_readme_example.sh README HEADER_DIR LIB_DIR REFERENCE_AGENT WORK_DIR CC CXX FLAGS [MINGW_CC]
# FLAGS: what a host of a sanitizer build needs too (may be empty).
set -euo pipefail
readme=$1 include=$2 libdir=$3 agent=$4 work=$5 cc=$6 cxx=$7 mingw=${9:-}
read -r -a flags <<< "$8"

rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# The block between the markers, without its code fence lines.
awk '/<!-- readme-example:begin -->/ {on = 1; next}
     /<!-- readme-example:end -->/ {on = 0}
     on && !/^```/' "$readme" > "$work/host.c"
[[ $(wc -l < "$work/host.c") -gt 10 ]] || fail "no example between the readme-example markers"
grep -q 'int main' "$work/host.c" || fail "the example has no main"

"$cc" -std=c11 -pedantic -Wall -Wextra -Werror "${flags[@]}" -I"$include" "$work/host.c" -L"$libdir" -lagent_stub -o "$work/host-c"
"$cxx" -std=c++17 -pedantic -Wall -Wextra -Werror "${flags[@]}" -x c++ -I"$include" "$work/host.c" -x none -L"$libdir" -lagent_stub \
    -o "$work/host-cxx"
echo '#include <agent_stub.h>' | "$cc" -std=c99 -pedantic -Wall -Wextra -Werror -I"$include" -x c -fsyntax-only -

# The served tree: what the example asks for.
mkdir -p "$work/drive/Users"
printf 'hello from the agent' > "$work/drive/hello.txt"
timeout 120 "$agent" --user user --password password --port-file "$work/port" "$work/drive" \
    > "$work/agent.log" 2>&1 &
agent_pid=$!
trap 'kill "$agent_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do [[ -s $work/port ]] && break; sleep 0.1; done
[[ -s $work/port ]] || fail "the reference agent did not start: $(cat "$work/agent.log")"
port=$(cat "$work/port")

closed=1   # nothing listens on port 1 of loopback

export LD_LIBRARY_PATH=$libdir
check() {  # program port expected-exit expected-output
    local program=$1 port=$2 want_rc=$3 want=$4 out rc=0
    out=$(timeout 60 "$program" 127.0.0.1 "$port" 2>&1) || rc=$?
    [[ $rc == "$want_rc" && $out == "$want" ]] ||
        fail "$(basename "$program") 127.0.0.1 $port: exit $rc (want $want_rc), output:
$out
want:
$want"
    echo "ok: $(basename "$program") port $port"
}
served=$'C:\\Users: attributes 0x10, a folder\nC:\\hello.txt: hello from the agent'
for program in "$work/host-c" "$work/host-cxx"; do
    check "$program" "$port" 0 "$served"
    check "$program" "$closed" 1 "logon failed: 10061"
done

if [[ -n $mingw ]]; then
    # Every guarded name of the header, with the value the Linux build sees.
    names=$(sed -n 's/^#ifndef \([A-Z][A-Z0-9_]*\)$/\1/p' "$include/agent_stub.h" | grep -v '^AGENT_STUB_H$')
    { echo '#include <agent_stub.h>'; for n in $names; do echo "@@ \"$n\" $n"; done; } |
        "$cc" -E -P -I"$include" -x c - | sed -n 's/^@@ "\([A-Z0-9_]*\)" /\1 /p' > "$work/values"
    {
        echo '#include <winsock2.h>'
        echo '#include <windows.h>'
        while read -r name value; do
            # A name of the library's own (not windows.h's) is only reported.
            echo "#ifdef $name"
            echo "_Static_assert(($name) == ($value), \"$name differs from windows.h\");"
            echo "#else"
            echo "#warning \"$name: not in windows.h\""
            echo "#endif"
        done < "$work/values"
    } > "$work/win32_values.c"
    "$mingw" -std=c11 -fsyntax-only "$work/win32_values.c"
    echo "ok: $(wc -l < "$work/values") constants match windows.h"
fi
echo "README example ok"
