# What the live load and the live replay share; sourced by both (bash).

# The value of name=... in a line of words (the traffic driver's, the generator's).
field() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"; }

# Waits until the only packet socket of the namespace has a compiled filter (more
# than libpcap's one-instruction placeholder), so that traffic started now is
# captured from its first packet. Where ss cannot show the filter, a second stands
# in. Fails when the capturing process `pid` is gone.
wait_filter() {
  local pid=$1 i
  for i in $(seq 200); do
    if ss -0 -b -a 2>/dev/null | grep -Eq 'bpf filter \(([2-9]|[1-9][0-9]+)\)'; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  sleep 1
}
