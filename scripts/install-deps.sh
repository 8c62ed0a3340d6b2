#!/usr/bin/env bash
# Installs what building and testing portsift needs on a Debian machine, and only
# what is missing. As root it runs apt-get itself; otherwise it prints the command.
set -euo pipefail

packages=(cmake g++ make pkg-config libpcap-dev libgtest-dev nlohmann-json3-dev)
# Compressed captures: each format through its own library.
packages+=(zlib1g-dev libzstd-dev liblz4-dev liblzma-dev)
# The tests and the benchmark compress captures with the formats' own tools.
packages+=(gzip zstd lz4 xz-utils)
# Shipping: groff and man check the manual pages, dpkg-dev's dpkg-shlibdeps computes
# the Debian package's dependencies, gnuplot draws portsift-chart's charts.
packages+=(groff-base man-db dpkg-dev gnuplot-nox)
# Continuous runs: the HTTP server of --metrics (TLS through GnuTLS), the YAML of
# --web-config, bcrypt through the system's crypt; the tests scrape with a real
# Prometheus and check with promtool, and fetch over TLS with curl and openssl.
packages+=(libmicrohttpd-dev libyaml-cpp-dev libcrypt-dev prometheus curl openssl)
# Running as a service: promtool (only in the prometheus package) checks the rules
# and runs their tests, systemd-analyze checks the unit, logrotate runs the snippet.
# On a machine that runs systemd, installing prometheus also starts its server.
packages+=(systemd logrotate)
# The --html page's test renders it in a real browser: headless Chromium.
packages+=(chromium)
# The extra tools some targets use, on request: make deps EXTRA="clang ..."
read -r -a extra <<< "${EXTRA:-}"
packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "portsift needs these Debian packages: ${missing[*]}" >&2
  echo "Install them with: sudo apt-get install -y ${missing[*]}  (or run 'sudo make deps')" >&2
  exit 1
fi
echo "Installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get install -y "${missing[@]}" || { apt-get update && apt-get install -y "${missing[@]}"; }
