#!/bin/sh
# Installing and packaging: `cmake --install` lays out bin/ and share/man/man1/ so
# that man finds the page, and share/doc/portsift/copyright; the Debian package built
# by CPack has computed dependencies naming libpcap, carries the copyright file with
# the terms of LICENSE, and its binary, unpacked into a scratch root with dpkg -x,
# reports on the bundled capture exactly as the build's binary does.
# Usage: install_package_test.sh SOURCE_DIR BUILD_DIR CMAKE_COMMAND CPACK_COMMAND PORTSIFT_BINARY
set -eu
src=$1
build=$2
cmake=$3
cpack=$4
built=$5
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

"$cmake" --install "$build" --prefix "$tmp/prefix" > "$tmp/install.log"
for f in bin/portsift bin/portsift-chart; do
  [ -x "$tmp/prefix/$f" ] || fail "cmake --install: no executable $f"
done
[ -f "$tmp/prefix/share/doc/portsift/copyright" ] || fail "cmake --install: no share/doc/portsift/copyright"
page=$(MANPATH="$tmp/prefix/share/man" man -w portsift 2>&1) || true
[ "$page" = "$tmp/prefix/share/man/man1/portsift.1.gz" ] || fail "man -w portsift: $page"

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" > "$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log"
  fail "cpack failed"
  exit 1
fi
deb=$(ls "$tmp"/out/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
case $depends in
  *libpcap*) ;;
  *) fail "the package does not depend on libpcap" ;;
esac

dpkg -x "$deb" "$tmp/root"
for f in usr/bin/portsift usr/bin/portsift-chart; do
  [ -x "$tmp/root/$f" ] || fail "package: no executable $f"
done
for f in portsift.1.gz portsift-chart.1.gz; do
  [ -f "$tmp/root/usr/share/man/man1/$f" ] || fail "package: no page $f"
done
MANWIDTH=80 man -l "$tmp/root/usr/share/man/man1/portsift.1.gz" 2>&1 | grep -q '^NAME' ||
  fail "the packaged page does not render"

# Debian's machine-readable copyright file: its header, and the licence's terms as
# LICENSE has them (continuation lines start with a blank, an empty line is " .").
copyright=$tmp/root/usr/share/doc/portsift/copyright
if [ -f "$copyright" ]; then
  head -n 1 "$copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' ||
    fail "copyright: not in the machine-readable format"
  grep -q '^License: Expat$' "$copyright" || fail "copyright: no License: Expat"
  sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE" | sed 's/^$/./; s/^/ /' > "$tmp/terms"
  tail -n "$(wc -l < "$tmp/terms")" "$copyright" | cmp -s - "$tmp/terms" ||
    fail "copyright: the terms differ from LICENSE"
else
  fail "package: no usr/share/doc/portsift/copyright"
fi

demo=$src/examples/demo.pcap
for extra in "" "-R -C -s 1"; do
  # shellcheck disable=SC2086
  TZ=UTC LC_ALL=C "$tmp/root/usr/bin/portsift" -p 8080 -r "$demo" $extra > "$tmp/installed.out" 2>&1 ||
    fail "installed binary: exit status $? with '$extra'"
  # shellcheck disable=SC2086
  TZ=UTC LC_ALL=C "$built" -p 8080 -r "$demo" $extra > "$tmp/built.out" 2>&1 || true
  cmp -s "$tmp/installed.out" "$tmp/built.out" || {
    fail "installed and built binaries differ with '$extra'"
    diff "$tmp/built.out" "$tmp/installed.out" | head -20
  }
  grep -q '^Total Connections (terminated by FIN): 30$' "$tmp/installed.out" ||
    fail "installed binary: not the report of the bundled capture with '$extra'"
done
[ $status -eq 0 ] && echo "install and package: $(basename "$deb") works"
exit $status
