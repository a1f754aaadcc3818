#!/usr/bin/env bash
# Checks floor-relay end to end in network namespaces (root), the way bench/transparent.sh runs
# redsocks: a small request, a 64 MiB download, a short-connection load, and no descriptor left behind.
# Prints PASS/FAIL lines, then the load's rate and CPU as an indication; exits non-zero on a failure.
#   bench/floor_check.sh   SENTORIX_BUILD_DIR: the build tree (default build/), with floor-relay,
#                          bench-server and sentorix-proxy already built
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/sandbox.sh"
[ "$(id -u)" -eq 0 ] || { echo "floor_check.sh: run as root" >&2; exit 1; }
command -v wrk >/dev/null || apt-get install -y wrk >/dev/null
bin=${SENTORIX_BUILD_DIR:-$root/build}/bin
for b in floor-relay bench-server sentorix-proxy; do
  [ -x "$bin/$b" ] || { echo "floor_check.sh: $bin/$b is not built" >&2; exit 1; }
done
port=12346
big=$((64 << 20))
work=$(mktemp -d /tmp/sentorix-floor.XXXXXX); chmod 755 "$work"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; sx_sandbox_down; rm -rf "$work"; }
trap cleanup EXIT

failed=0
verdict() {  # verdict NAME CONDITION-EXIT-STATUS DETAIL
  if [ "$2" -eq 0 ]; then echo "PASS $1 ($3)"; else echo "FAIL $1 ($3)"; failed=1; fi
}

# A prefix of its own, so that another sandbox running beside this one is left alone.
sx_sandbox_up sxfloor "$work" >/dev/null || exit 1
ip netns exec "$SX_APP" sysctl -qw net.ipv4.ip_local_port_range="1024 65535" net.ipv4.tcp_tw_reuse=1
for p in "${SX_DST_PIDS[@]}"; do kill "$p"; done; SX_DST_PIDS=()
sleep 0.3
ip netns exec "$SX_DST" "$bin/bench-server" 80 2>/dev/null & SX_DST_PIDS+=($!)
url=http://$SX_DST_V4

# The proxy runs as nobody, so that the redirection leaves its own connections alone.
ip netns exec "$SX_APP" setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --quiet --threads 2 2>/dev/null & pids+=($!)
ip netns exec "$SX_APP" "$bin/floor-relay" --listen $port --proxy 127.0.0.1:8080 & relay=$!; pids+=($relay)
sleep 0.5
kill -0 $relay 2>/dev/null || { echo "FAIL floor-relay did not start"; exit 1; }
sx_app nft -f - <<NFT
table inet floorcheck {
  chain output {
    type nat hook output priority -100; policy accept;
    meta skuid 65534 return
    ip daddr $SX_DST_V4 tcp dport 80 redirect to :$port
  }
}
NFT
fds() { ls "/proc/$relay/fd" | wc -l; }
fd0=$(fds)

# (a) The answer comes back, through the relay and the proxy: the application's namespace accepts
# two more connections per request (the relay's and the proxy's) than when it goes direct.
opens() { sx_app nstat -asz TcpPassiveOpens | awk '/TcpPassiveOpens/ {print $2}'; }
o0=$(opens)
body=$(sx_app curl -s -m 5 "$url/")
o1=$(opens)
[ "$body" = ok ] && [ $((o1 - o0)) -eq 2 ]
verdict "small request" $? "body '$body', $((o1 - o0)) connections accepted in the application's namespace"

# (b) A 64 MiB download arrives whole: every byte, and every byte what the server sent.
size=$(sx_app curl -s -m 60 -o "$work/big" -w '%{size_download}' "$url/bytes/$big")
other=$(tr -d x <"$work/big" | wc -c); rm -f "$work/big"
[ "$size" = "$big" ] && [ "$other" -eq 0 ]
verdict "64 MiB download" $? "$size of $big bytes, $other unexpected"

# (c) Short connections under load: no socket error, and some rate.
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$relay/stat"; }
c0=$(cpu_ticks)
sx_app wrk -t2 -c32 -d3s -H 'Connection: close' "$url/" >"$work/wrk" 2>&1
c1=$(cpu_ticks)
rate=$(awk '/Requests\/sec/ {print $2}' "$work/wrk")
requests=$(awk '/requests in/ {print $1}' "$work/wrk")
errors=$(grep -E 'Socket errors|Non-2xx' "$work/wrk" | tr -s ' ' | paste -sd ';')
[ -z "$errors" ] && awk -v r="${rate:-0}" 'BEGIN {exit !(r > 0)}'
verdict "wrk, short connections" $? "${requests:-0} requests, ${rate:-0}/s${errors:+, $errors}"

# (d) Every descriptor of those flows is closed again (they close a moment after wrk stops).
for i in $(seq 50); do [ "$(fds)" -eq "$fd0" ] && break; sleep 0.1; done
fd1=$(fds)
[ "$fd1" -eq "$fd0" ]
verdict "descriptors after the load" $? "$fd1, $fd0 before"
kill -0 $relay 2>/dev/null
verdict "floor-relay still running" $? "pid $relay"

awk -v a="$c0" -v b="$c1" -v t="$ticks" -v n="${requests:-0}" -v r="${rate:-0}" 'BEGIN {
  printf "floor-relay under wrk -t2 -c32 -d3s: %s connections/s, %.0f CPU ms per thousand connections\n",
    r, (n > 0 ? (b - a) / t * 1000 / (n / 1000) : 0) }'
exit $failed
