#!/usr/bin/env bash
# Builds the Debian packages (libagent-stub1, libagent-stub-dev,
# agent-stub-tools) from the working tree with dpkg-buildpackage, checks
# what they hold, builds the README's example against the unpacked
# runtime and development packages, and runs lintian on them. As root on
# Debian 12; installs debhelper and lintian on first use (maintainer tools,
# not part of CI). Leaves the packages in build-deb/.
#   bash scripts/build-debs.sh [--no-lintian]
set -euo pipefail
cd "$(dirname "$0")/.."
lintian=1
[[ ${1:-} == --no-lintian ]] && lintian=0

bash scripts/install-deps.sh debhelper lintian

version=$(sed -n 's/^#define AGENT_STUB_VERSION_\(MAJOR\|MINOR\|PATCH\) \([0-9]*\).*/\2/p' include/agent_stub.h | paste -sd.)
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [[ $changelog_version != "$version" ]]; then
  echo "debian/changelog is at $changelog_version, the header at $version: add a changelog entry" >&2
  exit 1
fi

# A clean copy of the tracked and new files: dpkg-buildpackage writes into
# the tree and beside it.
out=$PWD/build-deb
src=$out/agent-stub-$version
rm -rf "$out" && mkdir -p "$src"
git ls-files -z --cached --others --exclude-standard | xargs -0 tar -cf - | tar -xf - -C "$src"
(cd "$src" && nice -n 5 dpkg-buildpackage -us -uc -b -j2)

arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
runtime=$out/libagent-stub1_${version}_$arch.deb
dev=$out/libagent-stub-dev_${version}_$arch.deb
tools=$out/agent-stub-tools_${version}_$arch.deb

fail() { echo "FAIL: $*" >&2; exit 1; }
holds() {  # package path...
  local deb=$1 listing; shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -qx "\./$path" <<< "$listing" || fail "$(basename "$deb") lacks /$path"
  done
}
holds "$runtime" usr/lib/$multiarch/libagent_stub.so.$version usr/lib/$multiarch/libagent_stub.so.${version%%.*} \
  usr/share/doc/libagent-stub1/copyright usr/share/doc/libagent-stub1/changelog.gz
holds "$dev" usr/include/agent_stub.h usr/lib/$multiarch/libagent_stub.so usr/lib/$multiarch/pkgconfig/agent_stub.pc \
  usr/lib/$multiarch/cmake/agent_stub/agent_stub-config.cmake usr/share/doc/libagent-stub-dev/copyright
holds "$tools" usr/bin/agentcli usr/bin/agent-stub-reference-agent usr/share/man/man1/agentcli.1.gz \
  usr/share/man/man1/agent-stub-reference-agent.1.gz usr/share/doc/agent-stub-tools/copyright
[[ $(dpkg-deb -f "$runtime" Package) == libagent-stub1 ]] || fail "runtime package name"
dpkg-deb -I "$runtime" shlibs | grep -qx "libagent_stub ${version%%.*} libagent-stub1 (>= $version)" ||
  fail "shlibs: $(dpkg-deb -I "$runtime" shlibs)"
dpkg-deb -f "$tools" Depends | grep -q "libagent-stub1 (>= $version)" || fail "tools do not depend on the library"

# The README's example against the unpacked packages, found through their
# pkg-config file.
root=$out/root
for deb in "$runtime" "$dev" "$tools"; do dpkg-deb -x "$deb" "$root"; done
readelf -d "$root/usr/lib/$multiarch/libagent_stub.so.$version" | grep -q "SONAME.*\[libagent_stub.so.${version%%.*}\]" ||
  fail "SONAME"
! readelf -d "$root/usr/bin/agentcli" | grep -q "RPATH\|RUNPATH" || fail "agentcli carries an rpath"
awk '/<!-- readme-example:begin -->/ {on = 1; next} /<!-- readme-example:end -->/ {on = 0} on && !/^```/' \
  README.md > "$out/host.c"
flags=$(PKG_CONFIG_LIBDIR=$root/usr/lib/$multiarch/pkgconfig \
      pkg-config --cflags --libs agent_stub)
cc -std=c11 -Wall -Wextra -Werror "$out/host.c" $flags -o "$out/host"
out_text=$(LD_LIBRARY_PATH=$root/usr/lib/$multiarch timeout 30 "$out/host" 127.0.0.1 1 || true)
[[ $out_text == "logon failed: 10061" ]] || fail "the example against the packages: $out_text"
echo "packages ok: $(cd "$out" && ls ./*.deb | xargs -n1 basename | paste -sd' ')"

if ((lintian)); then
  echo "lintian:"
  lintian --info --display-info --pedantic "$out"/*.changes || true
fi
