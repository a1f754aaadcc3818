#!/usr/bin/env bash
# The transparent path measured end to end, in network namespaces (root): the same client loads with
# our proxy used explicitly, through Sentorix, and through redsocks (Debian) with and without splice,
# all towards the same small proxy. Prints one table. No timing is asserted anywhere.
#   bench/transparent.sh [--quick]   (three rounds, each figure the median of the three; --quick: one short round)
#   SENTORIX_BUILD_DIR: the build tree to use (default build/), configured RelWithDebInfo
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/install-deps.sh"
source "$root/tools/sandbox.sh"
[ "$(id -u)" -eq 0 ] || { echo "transparent.sh: run as root" >&2; exit 1; }
sentorix_packages+=(redsocks wrk)
sentorix_install_packages
pkill -x redsocks 2>/dev/null || true
quick=0; [ "${1:-}" = --quick ] && quick=1
bulk_bytes=$((quick ? 512 << 20 : 2 << 30))
idle_counts="1000 10000"; [ $quick -eq 1 ] && idle_counts="1000"

build=${SENTORIX_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
bin=$build/bin
work=$(mktemp -d /tmp/sentorix-bench.XXXXXX); chmod 755 "$work"
ulimit -n 1048576
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; sx_sandbox_down; rm -rf "$work"; }
trap cleanup EXIT

sx_sandbox_up sxbench "$work" >/dev/null || exit 1
# Tens of thousands of short connections leave TIME-WAIT sockets behind: without these, connect()
# slows down looking for a free port and later runs measure that instead.
ip netns exec "$SX_APP" sysctl -qw net.ipv4.ip_local_port_range="1024 65535" net.ipv4.tcp_tw_reuse=1
# The destination: replace the Python server with the faster bench-server on port 80.
for p in "${SX_DST_PIDS[@]}"; do kill "$p"; done; SX_DST_PIDS=()
sleep 0.3
ip netns exec "$SX_DST" "$bin/bench-server" 80 2>/dev/null & SX_DST_PIDS+=($!)
sleep 0.3
url=http://$SX_DST_V4

ticks=$(getconf CLK_TCK)
cpu_seconds() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$1/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
median_p99() { sort -n | awk '{a[NR]=$1} END {printf "%.3f %.3f", a[int(NR*0.5)+1]*1000, a[int(NR*0.99)+1]*1000}'; }

start_proxy() {  # runs as nobody, so that redsocks' rules can leave its own connections alone
  ip netns exec "$SX_APP" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --quiet --threads 2 2>/dev/null &
  proxy_pid=$!; pids+=($proxy_pid); sleep 0.3
}
stop() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

bulk() {  # bulk MODE-CURL-ARGS... -> bytes per second
  sx_app curl -s "$@" -o /dev/null -w '%{speed_download}' "$url/bytes/$bulk_bytes"
}
rate() {  # short connections per second (one request per connection)
  sx_app wrk -t 2 -c 50 -d "$((quick ? 3 : 8))s" -H 'Connection: close' "$url/" 2>/dev/null |
    awk '/Requests\/sec/ {print $2}'
}
ttfb() {  # median and p99 in ms over 300 requests
  local i
  for i in $(seq 300); do sx_app curl -s "$@" -o /dev/null -w '%{time_starttransfer}\n' "$url/"; done | median_p99
}
passive_opens() { sx_app nstat -asz TcpPassiveOpens | awk '/TcpPassiveOpens/ {print $2}'; }
own_redirected() {  # connections accepted in the application's namespace per request, beyond the two every mode has
  local p0 p1 i
  p0=$(passive_opens)
  for i in $(seq 100); do sx_app curl -s -o /dev/null "$url/"; done
  p1=$(passive_opens)
  awk -v a="$p0" -v b="$p1" 'BEGIN {printf "%.2f", (b - a) / 100 - 2}'
}
idle() {  # idle COUNT PID -> KiB and descriptors per idle flow
  local count=$1 pid=$2 rss0 fd0
  sleep 1; rss0=$(rss_kib "$pid"); fd0=$(ls /proc/$pid/fd | wc -l)
  ip netns exec "$SX_APP" python3 - "$count" "$SX_DST_V4" "$work/idle.ready" <<'PY' &
import socket, sys, time
count, host, ready = int(sys.argv[1]), sys.argv[2], sys.argv[3]
held = []
for i in range(count):
    s = socket.socket(); s.connect((host, 80)); held.append(s)
    if i % 40 == 39: time.sleep(0.02)  # stay below the 48 pending handshakes
open(ready, "w").close()
time.sleep(600)
PY
  local client=$!
  for i in $(seq 600); do [ -f "$work/idle.ready" ] && break; sleep 0.1; done
  sleep 2
  local rss1 fd1; rss1=$(rss_kib "$pid"); fd1=$(ls /proc/$pid/fd | wc -l)
  kill $client; wait $client 2>/dev/null; rm -f "$work/idle.ready"; sleep 1
  awk -v a="$rss0" -v b="$rss1" -v c="$count" -v f0="$fd0" -v f1="$fd1" 'BEGIN {printf "%.2f %.1f", (b-a)/c, (f1-f0)/c}'
}

declare -A R
start_proxy

rounds=$((quick ? 1 : 3))
declare -A ALL
for round in $(seq $rounds); do
echo "== round $round of $rounds" >&2
echo "== explicit proxy" >&2
R[explicit_bulk]=$(bulk -x http://127.0.0.1:8080 -p)
R[explicit_ttfb]=$(ttfb -x http://127.0.0.1:8080 -p)

echo "== Sentorix" >&2
SENTORIX_STATE_DIR=$work/state ip netns exec "$SX_APP" "$bin/com.sentorix.desktop.extension" 2>/dev/null &
ext=$!; pids+=($ext); sleep 2
R[sx_ttfb]=$(ttfb)
R[sx_own]=$(own_redirected)
c0=$(cpu_seconds $ext); R[sx_bulk]=$(bulk); c1=$(cpu_seconds $ext)
R[sx_cpu_gib]=$(awk -v a="$c0" -v b="$c1" -v n="$bulk_bytes" 'BEGIN {printf "%.3f", (b-a) / (n / 2^30)}')
for n in $idle_counts; do [ "$round" -eq 1 ] || [ "$n" = 1000 ] && R[sx_idle_$n]=$(idle "$n" "$ext"); done
c0=$(cpu_seconds $ext); R[sx_rate]=$(rate); c1=$(cpu_seconds $ext)
R[sx_cpu_k]=$(awk -v a="$c0" -v b="$c1" -v r="${R[sx_rate]}" -v d="$((quick ? 3 : 8))" 'BEGIN {printf "%.0f", (b-a)*1000 / (r*d/1000)}')
stop $ext

for mode in redsocks redsocks_splice; do
  echo "== $mode" >&2
  splice=off; [ $mode = redsocks_splice ] && splice=on
  cat >"$work/redsocks.conf" <<CONF
base { log_debug = off; log_info = off; log = "file:$work/redsocks.log"; daemon = off; redirector = iptables; }
redsocks { local_ip = 127.0.0.1; local_port = 12345; ip = 127.0.0.1; port = 8080; type = http-connect; splice = $splice; }
CONF
  ip netns exec "$SX_APP" redsocks -c "$work/redsocks.conf" 2>>"$work/redsocks.err" &
  rs=$!; pids+=($rs); sleep 0.5
  if ! kill -0 $rs 2>/dev/null; then  # no splice option in this build: skip the mode
    sed -i 's/ splice = [a-z]*;//' "$work/redsocks.conf"; R[${mode}_note]="(splice option refused)"; continue
  fi
  sx_app nft -f - <<NFT
table inet rsbench {
  chain output {
    type nat hook output priority -100; policy accept;
    meta skuid 65534 return
    ip daddr $SX_DST_V4 tcp dport 80 redirect to :12345
  }
}
NFT
  R[${mode}_ttfb]=$(ttfb)
  R[${mode}_own]=$(own_redirected)
  c0=$(cpu_seconds $rs); R[${mode}_bulk]=$(bulk); c1=$(cpu_seconds $rs)
  R[${mode}_cpu_gib]=$(awk -v a="$c0" -v b="$c1" -v n="$bulk_bytes" 'BEGIN {printf "%.3f", (b-a) / (n / 2^30)}')
  R[${mode}_idle]=$(idle 1000 "$rs")
  c0=$(cpu_seconds $rs); R[${mode}_rate]=$(rate); c1=$(cpu_seconds $rs)
  R[${mode}_cpu_k]=$(awk -v a="$c0" -v b="$c1" -v r="${R[${mode}_rate]}" -v d="$((quick ? 3 : 8))" 'BEGIN {printf "%.0f", (b-a)*1000 / (r*d/1000)}')
  sx_app nft delete table inet rsbench
  stop $rs
done

for key in "${!R[@]}"; do ALL[$key]+="${R[$key]};"; done
done
# Each figure: the median of its rounds, part by part ("median p99" pairs stay pairs).
median_of() {
  tr ';' '\n' <<<"$1" | awk 'NF {n++; for (i = 1; i <= NF; i++) v[i, n] = $i; f = NF}
    END {for (i = 1; i <= f; i++) {for (j = 1; j <= n; j++) a[j] = v[i, j];
         for (j = 1; j <= n; j++) for (k = j + 1; k <= n; k++) if (a[k] + 0 < a[j] + 0) {t = a[j]; a[j] = a[k]; a[k] = t}
         printf "%s%s", (i > 1 ? " " : ""), a[int((n + 1) / 2)]} print ""}'
}
for key in "${!ALL[@]}"; do R[$key]=$(median_of "${ALL[$key]}"); done

identify=$("$bin/identify_bench" | head -1 | awk '{print $(NF-4), $(NF-1)}')
udp_refused=$("$bin/udp_refusal_bench" | head -1 | awk '{print $(NF-4), $(NF-1)}')

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
added() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%+.3f", a - b}'; }
gbit() { awk -v a="$1" 'BEGIN {printf "%.2f", a * 8 / 1e9}'; }
read em ep <<<"${R[explicit_ttfb]}"; read sm sp <<<"${R[sx_ttfb]}"
read rm rp <<<"${R[redsocks_ttfb]:-0 0}"; read qm qp <<<"${R[redsocks_splice_ttfb]:-0 0}"
read i1k f1k <<<"${R[sx_idle_1000]}"; read i10k f10k <<<"${R[sx_idle_10000]:-- -}"
read ri rf <<<"${R[redsocks_idle]:-- -}"; read qi qf <<<"${R[redsocks_splice_idle]:-- -}"

printf '\n%-46s %-14s %-14s %-16s %s\n' "figure" "redsocks" "redsocks+splice" "Sentorix" "target"
printf '%-46s %-14s %-14s %-16s %s\n' "bulk, Gbit/s (explicit proxy: $(gbit "${R[explicit_bulk]}"))" \
  "$(gbit "${R[redsocks_bulk]:-0}")" "$(gbit "${R[redsocks_splice_bulk]:-0}")" "$(gbit "${R[sx_bulk]}")" ""
printf '%-46s %-14s %-14s %-16s %s\n' "bulk, transparent / explicit" "$(ratio "${R[redsocks_bulk]:-0}" "${R[explicit_bulk]}")" \
  "$(ratio "${R[redsocks_splice_bulk]:-0}" "${R[explicit_bulk]}")" "$(ratio "${R[sx_bulk]}" "${R[explicit_bulk]}")" ">= 0.90"
printf '%-46s %-14s %-14s %-16s %s\n' "short connections per second (wrk)" "${R[redsocks_rate]:-}" "${R[redsocks_splice_rate]:-}" \
  "${R[sx_rate]} ($(ratio "${R[sx_rate]}" "${R[redsocks_splice_rate]:-0}")x)" ">= 1.25 x redsocks+splice"
printf '%-46s %-14s %-14s %-16s %s\n' "first byte added over explicit, median ms" "$(added "$rm" "$em")" "$(added "$qm" "$em")" \
  "$(added "$sm" "$em")" "<= redsocks+splice"
printf '%-46s %-14s %-14s %-16s %s\n' "first byte added over explicit, p99 ms" "$(added "$rp" "$ep")" "$(added "$qp" "$ep")" \
  "$(added "$sp" "$ep")" ""
printf '%-46s %-14s %-14s %-16s %s\n' "CPU seconds per GiB relayed" "${R[redsocks_cpu_gib]:-}" "${R[redsocks_splice_cpu_gib]:-}" \
  "${R[sx_cpu_gib]}" "<= redsocks+splice"
printf '%-46s %-14s %-14s %-16s %s\n' "CPU ms per thousand connections" "${R[redsocks_cpu_k]:-}" "${R[redsocks_splice_cpu_k]:-}" \
  "${R[sx_cpu_k]}" "<= 1.25 x redsocks+splice"
printf '%-46s %-14s %-14s %-16s %s\n' "KiB per idle flow (1,000 flows)" "$ri" "$qi" "$i1k" "<= 2"
printf '%-46s %-14s %-14s %-16s %s\n' "descriptors per idle flow (1,000 flows)" "$rf" "$qf" "$f1k" "<= 4"
printf '%-46s %-14s %-14s %-16s %s\n' "KiB / descriptors per idle flow (10,000)" "" "" "$i10k / $f10k" ""
printf '%-46s %-14s %-14s %-16s %s\n' "identify a flow's process, 500 running (us)" "" "" "$identify" "median <= 10, p99 <= 100"
printf '%-46s %-14s %-14s %-16s %s\n' "refused UDP send, median p99 (us)" "" "" "$udp_refused" "< 10"
printf '%-46s %-14s %-14s %-16s %s\n' "the proxy's own connections redirected, per request" "${R[redsocks_own]:-}" \
  "${R[redsocks_splice_own]:-}" "${R[sx_own]}" "0"
printf '\n(first byte, explicit proxy: median %s ms, p99 %s ms; %s)\n' "$em" "$ep" "${R[redsocks_splice_note]:-}"
