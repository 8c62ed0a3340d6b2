#!/bin/sh
# Installing and packaging: `cmake --install` lays out bin/ and share/man/man1/ so
# that man finds the page, and share/doc/portsift/copyright; the Debian package built
# by CPack has computed dependencies naming libpcap, carries the copyright file with
# the terms of LICENSE, and its binary, unpacked into a scratch root with dpkg -x,
# reports on the bundled capture exactly as the build's binary does. The service
# files: under a prefix the unit names that prefix's binary and defaults file; the
# package holds the unit as written, the /etc files as conffiles and the rules, and
# dpkg, installing it into a scratch root, puts each where it belongs, keeps an
# edited defaults file across an upgrade, and tells systemd (a stand-in systemctl
# that logs its calls) about the unit without enabling or starting it.
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
for f in lib/systemd/system/portsift.service etc/default/portsift etc/logrotate.d/portsift \
  share/portsift/prometheus/portsift.rules.yml; do
  [ -f "$tmp/prefix/$f" ] || fail "cmake --install: no $f"
done
for line in "ExecStart=$tmp/prefix/bin/portsift \$PORTSIFT_OPTIONS" \
  "EnvironmentFile=-$tmp/prefix/etc/default/portsift"; do
  grep -qxF -- "$line" "$tmp/prefix/lib/systemd/system/portsift.service" ||
    fail "cmake --install: the unit lacks $line"
done
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

# The service files, in the package and then installed by dpkg.
dpkg-deb -c "$deb" | awk '{ print $6 }' > "$tmp/contents"
for f in ./usr/lib/systemd/system/portsift.service ./etc/default/portsift ./etc/logrotate.d/portsift \
  ./usr/share/portsift/prometheus/portsift.rules.yml ./usr/share/portsift/prometheus/portsift.rules.test.yml; do
  grep -qxF "$f" "$tmp/contents" || fail "package: no $f"
done
dpkg-deb -I "$deb" conffiles > "$tmp/conffiles" 2>&1 || true
printf '%s\n' /etc/default/portsift /etc/logrotate.d/portsift | cmp -s - "$tmp/conffiles" ||
  fail "package: conffiles are $(tr '\n' ' ' < "$tmp/conffiles")"
cmp -s "$tmp/root/usr/lib/systemd/system/portsift.service" "$src/dist/systemd/portsift.service" ||
  fail "package: the unit differs from dist/systemd/portsift.service"
if [ "$(id -u)" -eq 0 ]; then
  droot=$tmp/dpkg-root
  mkdir -p "$droot/var/lib/dpkg/updates" "$droot/var/lib/dpkg/info" "$droot/run/systemd/system" "$tmp/bin"
  : > "$droot/var/lib/dpkg/status"
  printf '#!/bin/sh\necho "$*" >> %s\n' "$tmp/systemctl.log" > "$tmp/bin/systemctl"
  chmod +x "$tmp/bin/systemctl"
  # Scripts run outside the root (they see it as DPKG_ROOT); the libraries it needs
  # are the machine's, not packages in the scratch database.
  dpkg_root() {
    PATH="$tmp/bin:$PATH:/usr/sbin:/sbin" dpkg --root="$droot" --force-script-chrootless --force-depends "$@" \
      > "$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log"; fail "dpkg $*"; }
  }
  dpkg_root -i "$deb"
  for f in usr/bin/portsift usr/lib/systemd/system/portsift.service etc/default/portsift \
    etc/logrotate.d/portsift usr/share/portsift/prometheus/portsift.rules.yml; do
    [ -f "$droot/$f" ] || fail "dpkg -i: no /$f"
  done
  echo 'PORTSIFT_OPTIONS="-p 443 --metrics 127.0.0.1:9920"' >> "$droot/etc/default/portsift"
  dpkg_root -i "$deb"
  tail -n 1 "$droot/etc/default/portsift" | grep -qF -- '-p 443' || fail "an upgrade lost the edited defaults file"
  mkdir -p "$droot/var/log/private/portsift"
  ln -s private/portsift "$droot/var/log/portsift"
  dpkg_root --purge portsift
  for f in etc/default/portsift usr/bin/portsift var/log/portsift var/log/private/portsift; do
    [ ! -e "$droot/$f" ] || fail "purging left /$f"
  done
  # Installed: reload; upgraded: reload (the old postrm), reload and restart if
  # running; removed: stop, reload; purged: reload. Never enable or start.
  printf '%s\n' daemon-reload daemon-reload daemon-reload "try-restart portsift.service" \
    "stop portsift.service" daemon-reload daemon-reload | cmp -s - "$tmp/systemctl.log" ||
    fail "the maintainer scripts called: $(tr '\n' ';' < "$tmp/systemctl.log")"
else
  echo "not root: the package was not installed with dpkg"
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
