#!/usr/bin/env bash
# Re-records examples/demo.pcap, the capture bundled for trying portsift.
#
# It captures, on the loopback interface only, traffic made by
# tests/live/traffic_driver.cc between clients on 127.0.0.2 and a server on
# 127.0.0.1:8080:
#   - 30 completed connections with varied request/response sizes (0 B to
#     60 kB) and server answer delays (0-300 ms); even ones close client-first,
#     odd ones server-first;
#   - 2 connections the client aborts with RST after sending 16 bytes;
#   - 4 attempts to 127.0.0.1:8081, where nothing listens (refused with RST).
# Packets are cut to 256 bytes, which keeps every header and the file small.
#
# The traffic is deterministic, but every re-run changes the timestamps,
# client ports and sequence numbers, so commit a new capture only on purpose.
# Needs root (for tcpdump), g++, and ports 8080/8081 free on 127.0.0.1.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
out="$here/demo.pcap"
port=8080
refused_port=8081

if ! command -v tcpdump >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get install -y tcpdump || { apt-get update && apt-get install -y tcpdump; }
  else
    echo "record.sh: tcpdump is missing; install it (Debian: apt-get install tcpdump) and run as root" >&2
    exit 1
  fi
fi

tmp=$(mktemp -d)
tcpdump_pid=
cleanup() {
  if [ -n "$tcpdump_pid" ] && kill -0 "$tcpdump_pid" 2>/dev/null; then
    kill -INT "$tcpdump_pid" 2>/dev/null || true
    wait "$tcpdump_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

g++ -std=c++17 -Wall -Wextra -O2 -pthread -o "$tmp/traffic_driver" "$repo/tests/live/traffic_driver.cc"

# --immediate-mode: without it the last packets can still sit in the kernel's
# capture buffer when tcpdump is stopped, and the refused attempts at the end
# go missing from the file.
tcpdump -i lo -s 256 -U --immediate-mode -w "$tmp/demo.pcap" \
  'tcp and host 127.0.0.1 and host 127.0.0.2' 2>"$tmp/tcpdump.log" &
tcpdump_pid=$!

# tcpdump says "listening on" once the capture is open; traffic sent before
# that would be missing from the file.
for _ in $(seq 50); do
  grep -q 'listening on' "$tmp/tcpdump.log" && break
  kill -0 "$tcpdump_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q 'listening on' "$tmp/tcpdump.log"; then
  echo "record.sh: tcpdump did not start:" >&2
  cat "$tmp/tcpdump.log" >&2
  exit 1
fi

completed=30 resets=2 refused=4
timeout 120 "$tmp/traffic_driver" --port "$port" --refused-port "$refused_port" \
  --completed "$completed" --varied --resets "$resets" --refused "$refused" \
  --gap-ms 30 --hold-ms 500

kill -INT "$tcpdump_pid"
wait "$tcpdump_pid" || true
tcpdump_pid=
cat "$tmp/tcpdump.log" >&2

# Every connection and attempt starts with exactly one bare SYN; fewer means
# the capture lost packets.
syns=$(tcpdump -nr "$tmp/demo.pcap" 'tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn' 2>/dev/null | wc -l)
if [ "$syns" -ne $((completed + resets + refused)) ]; then
  echo "record.sh: capture has $syns SYNs, expected $((completed + resets + refused))" >&2
  exit 1
fi

cp "$tmp/demo.pcap" "$out"
size=$(stat -c %s "$out")
if [ "$size" -ge 1048576 ]; then
  echo "record.sh: $out is $size bytes, expected well under 1 MB" >&2
  exit 1
fi
echo "record.sh: wrote $out ($size bytes)"
