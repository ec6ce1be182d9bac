#!/usr/bin/env bash
# The Debian package as a user gets it: made with CPack from a build directory, unpacked with
# dpkg -x into a scratch directory, and the unpacked programs run from there - tolvane-cli --help,
# and a read of the unpacked lu-sim by the unpacked tolvane-cli.
#
#   bash scripts/package-test.sh BUILD_DIR      (CTest runs it with label "package")
set -euo pipefail
build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)
scratch=$(mktemp -d)
sim_pid=
cleanup() {
  [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "package-test: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1 || {
  cat "$scratch/cpack.log" >&2
  fail "cpack failed"
}
debs=("$scratch"/out/*.deb)
if [ ${#debs[@]} != 1 ] || [ ! -f "${debs[0]}" ]; then fail "expected one .deb, found: ${debs[*]}"; fi
deb=${debs[0]}

# Dependencies come from the programs' shared libraries, not from a hand-written list.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6 libxml2; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

root=$scratch/root
dpkg -x "$deb" "$root"
for f in usr/bin/tolvane-cli usr/lib/tolvane/lu-sim usr/lib/tolvane/console-sim \
  usr/share/man/man1/tolvane-cli.1.gz usr/share/man/man1/lu-sim.1.gz usr/share/man/man1/console-sim.1.gz; do
  [ -e "$root/$f" ] || fail "the package lacks /$f"
done
# The window and its desktop files come with a build that has the window.
if [ -x "$build/src/app/tolvane" ]; then
  for f in usr/bin/tolvane usr/share/applications/tolvane.desktop usr/share/man/man1/tolvane.1.gz \
    usr/share/icons/hicolor/32x32/apps/tolvane.xpm; do
    [ -e "$root/$f" ] || fail "the package lacks /$f"
  done
fi
gzip -t "$root"/usr/share/man/man1/*.gz || fail "a man page is no gzip file"

cli=$root/usr/bin/tolvane-cli
"$cli" --help --lang en >"$scratch/help.txt" || fail "tolvane-cli --help ended with $?"
grep -q '^  decode-log FILE' "$scratch/help.txt" || fail "tolvane-cli --help does not list decode-log"

# The unpacked programs against each other, with logs in the scratch directory.
export HOME=$scratch/home
mkdir -p "$HOME"
"$root/usr/lib/tolvane/lu-sim" --port 0 --node 4242 >"$scratch/lu-sim.log" 2>&1 &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n '1s/.*\]:\([0-9]*\)$/\1/p' "$scratch/lu-sim.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "lu-sim named no port: $(cat "$scratch/lu-sim.log")"
"$cli" read -g4242 -e::1 -h"$port" -o "$scratch/unit.046" || fail "tolvane-cli read ended with $?"
[ "$(stat -c %s "$scratch/unit.046")" = 64 ] || fail "the image read is not 64 bytes"
echo "package-test: $(basename "$deb") unpacks and runs"
