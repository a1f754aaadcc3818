#!/usr/bin/env bash
# The transparent path measured end to end, in network namespaces (root), side by side in one run:
#   floor       a minimal transparent splice relay of our own (bench/FloorRelay.cpp: no policy, no logging)
#   redsocks    Debian's redsocks with splice
#   events      Sentorix as installed: every event delivered to the shipped monitor, its lines written
#               to extension.log
#   quiet       Sentorix with no monitoring socket configured, its lines written as installed
#   journal     Sentorix as the package runs it under systemd: the monitor records every event in the
#               journal namespace sentorix (a journald of the bench's own), the extension writes its
#               lines to the journal; journald's CPU is printed beside the monitor's
# all relaying to the same small CONNECT proxy. With SENTORIX_BASELINE_BUILD_DIR set, the modes events
# and quiet run again from that build too, so that before and after come from the same run.
# Prints one table. No timing is asserted anywhere.
#   bench/transparent.sh [--quick]   (three rounds, each figure the median of the three; --quick: one short round)
#   SENTORIX_BUILD_DIR: the build tree to use (default build/), configured RelWithDebInfo
#   SENTORIX_BENCH_MODES: the modes to run (default all five); SENTORIX_BENCH_PROFILE=DIR: also each system
#   call per connection and a flat profile of every mode, left in DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/install-deps.sh"
source "$root/tools/sandbox.sh"
[ "$(id -u)" -eq 0 ] || { echo "transparent.sh: run as root" >&2; exit 1; }
sentorix_packages+=(redsocks wrk linux-perf)
sentorix_install_packages
pkill -x redsocks 2>/dev/null || true
quick=0; [ "${1:-}" = --quick ] && quick=1
bulk_bytes=$((quick ? 512 << 20 : 2 << 30))
rate_seconds=$((quick ? 5 : 20))
rounds=$((quick ? 1 : 3))

build=${SENTORIX_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTORIX_BENCH=ON >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null || { echo "transparent.sh: the build failed" >&2; exit 1; }
bin=$build/bin
baseline_bin=
if [ -n "${SENTORIX_BASELINE_BUILD_DIR:-}" ]; then
  baseline_bin=$SENTORIX_BASELINE_BUILD_DIR/bin
  [ -x "$baseline_bin/com.sentorix.desktop.extension" ] || { echo "transparent.sh: no extension in $baseline_bin" >&2; exit 1; }
fi
work=$(mktemp -d /tmp/sentorix-bench.XXXXXX); chmod 755 "$work"
ulimit -n 1048576 2>/dev/null || ulimit -n "$(ulimit -Hn)"  # as many as the shell may have
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done; journal_down; sx_sandbox_down; rm -rf "$work"; }
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
cpu_ticks() { awk '{print $14, $15}' "/proc/$1/stat"; }  # user, kernel
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^voluntary_ctxt/ {v += $2} /^nonvoluntary_ctxt/ {n += $2} END {print v + 0, n + 0}'; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
median_p99() { sort -n | awk '{a[NR]=$1} END {printf "%.3f %.3f", a[int(NR*0.5)+1]*1000, a[int(NR*0.99)+1]*1000}'; }
stop() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }

start_proxy() {  # runs as nobody, so that the relays' rules can leave its own connections alone
  ip netns exec "$SX_APP" setpriv --reuid=65534 --regid=65534 --clear-groups \
    "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --quiet --threads 2 2>/dev/null &
  proxy_pid=$!; pids+=($proxy_pid); sleep 0.3
}

bulk() {  # bulk CURL-ARGS... -> bytes per second
  sx_app curl -s "$@" -o /dev/null -w '%{speed_download}' "$url/bytes/$bulk_bytes"
}
wrk_rate() {  # wrk_rate SECONDS -> short connections per second (one request per connection)
  sx_app wrk -t 2 -c 32 -d "${1}s" -H 'Connection: close' "$url/" 2>/dev/null | awk '/Requests\/sec/ {print $2}'
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

# short MODE PID [MONITOR-PID [JOURNALD-PID]]: the short-connection run, with the relay's CPU (user and kernel, µs per
# connection) and context switches (voluntary, involuntary, per connection) taken over it; then a
# shorter run under perf for the system calls per connection, apart so that perf's cost is not counted.
short() {
  local mode=$1 pid=$2 monitor=${3:-} journald=${4:-} c0 c1 s0 s1 m0 m1 j0 j1 rate
  c0=$(cpu_ticks "$pid"); s0=$(switches "$pid"); [ -n "$monitor" ] && m0=$(cpu_ticks "$monitor")
  [ -n "$journald" ] && j0=$(cpu_ticks "$journald")
  rate=$(wrk_rate "$rate_seconds")
  c1=$(cpu_ticks "$pid"); s1=$(switches "$pid"); [ -n "$monitor" ] && m1=$(cpu_ticks "$monitor")
  [ -n "$journald" ] && j1=$(cpu_ticks "$journald")
  local n; n=$(awk -v r="$rate" -v d="$rate_seconds" 'BEGIN {print r * d}')
  R[${mode}_rate]=$rate
  R[${mode}_cpu]=$(awk -v a="$c0" -v b="$c1" -v n="$n" -v t="$ticks" 'BEGIN {split(a, x, " "); split(b, y, " ");
    printf "%.1f %.1f", (y[1]-x[1]) / t * 1e6 / n, (y[2]-x[2]) / t * 1e6 / n}')
  R[${mode}_switches]=$(awk -v a="$s0" -v b="$s1" -v n="$n" 'BEGIN {split(a, x, " "); split(b, y, " ");
    printf "%.2f %.2f", (y[1]-x[1]) / n, (y[2]-x[2]) / n}')
  if [ -n "$monitor" ]; then
    R[${mode}_monitor]=$(awk -v a="$m0" -v b="$m1" -v n="$n" -v t="$ticks" 'BEGIN {split(a, x, " "); split(b, y, " ");
      printf "%.1f", ((y[1]-x[1]) + (y[2]-x[2])) / t * 1e6 / n}')
  fi
  if [ -n "$journald" ]; then
    R[${mode}_journald]=$(awk -v a="$j0" -v b="$j1" -v n="$n" -v t="$ticks" 'BEGIN {split(a, x, " "); split(b, y, " ");
      printf "%.1f", ((y[1]-x[1]) + (y[2]-x[2])) / t * 1e6 / n}')
  fi
  local out="$work/perf.$mode"
  perf stat -x, -e raw_syscalls:sys_enter -p "$pid" -o "$out" -- sleep 5 >/dev/null 2>&1 &
  local perf_pid=$!
  sleep 0.2
  local perf_rate; perf_rate=$(wrk_rate 4)
  wait $perf_pid
  R[${mode}_syscalls]=$(awk -F, -v r="$perf_rate" '/raw_syscalls/ {if ($1 ~ /^[0-9]+$/ && r > 0) printf "%.1f", $1 / (r * 4)}' "$out")
  [ -n "${R[${mode}_syscalls]}" ] || R[${mode}_syscalls]=-
  if [ -n "${SENTORIX_BENCH_PROFILE:-}" ]; then profile "$mode" "$pid"; fi
}

# profile MODE PID: with SENTORIX_BENCH_PROFILE=DIR, each system call per connection and a flat profile of
# the relay under load, left in DIR for a person to read; nothing of it enters the table.
profile() {
  local mode=$1 pid=$2 dir=$SENTORIX_BENCH_PROFILE rate
  mkdir -p "$dir"
  perf stat -x, -e 'syscalls:sys_enter_*' -p "$pid" -o "$work/calls.$mode" -- sleep 5 >/dev/null 2>&1 &
  local perf_pid=$!
  sleep 0.2; rate=$(wrk_rate 4); wait $perf_pid
  awk -F, -v r="$rate" '$1 ~ /^[0-9]+$/ && $1 > 0 {printf "%6.2f %s\n", $1 / (r * 4), $3}' "$work/calls.$mode" |
    sort -rn > "$dir/syscalls.$mode.txt"
  perf record -F 2999 -p "$pid" -o "$dir/perf.$mode.data" -- sleep 4 >/dev/null 2>&1 &
  perf_pid=$!
  sleep 0.2; wrk_rate 3 >/dev/null; wait $perf_pid
  perf report -i "$dir/perf.$mode.data" --no-children --sort dso,symbol --stdio 2>/dev/null | grep -v '^$' |
    grep -E '^ +[0-9.]+%' | head -60 > "$dir/profile.$mode.txt"
}

relay_mode() {  # relay_mode MODE: floor-relay or redsocks behind an nftables redirect of port 80
  local mode=$1 pid
  case $mode in
    floor)
      ip netns exec "$SX_APP" "$bin/floor-relay" --listen 12345 --proxy 127.0.0.1:8080 --threads 2 2>>"$work/floor.err" &
      pid=$! ;;
    redsocks)
      cat >"$work/redsocks.conf" <<CONF
base { log_debug = off; log_info = off; log = "file:$work/redsocks.log"; daemon = off; redirector = iptables; }
redsocks { local_ip = 127.0.0.1; local_port = 12345; ip = 127.0.0.1; port = 8080; type = http-connect; splice = on; }
CONF
      ip netns exec "$SX_APP" redsocks -c "$work/redsocks.conf" 2>>"$work/redsocks.err" &
      pid=$! ;;
  esac
  pids+=($pid); sleep 0.5
  if ! kill -0 $pid 2>/dev/null; then R[${mode}_note]="($mode did not start)"; return; fi
  sx_app nft -f - <<NFT
table inet relaybench {
  chain output {
    type nat hook output priority -100; policy accept;
    meta skuid 65534 return
    ip daddr $SX_DST_V4 tcp dport 80 redirect to :12345
  }
}
NFT
  R[${mode}_ttfb]=$(ttfb)
  R[${mode}_bulk]=$(bulk)
  short "$mode" "$pid"
  sx_app nft delete table inet relaybench
  stop $pid
}

# A journald for the namespace sentorix with the package's settings (or an installed Sentorix's), and a
# mount of its sockets where the system journal's are, as LogNamespace= gives the monitor's unit; the
# extension's system journal is that namespace's too. Leaves nothing behind that it did not find.
journal_dirs=(/var/log/journal /var/log/journal/$(cat /etc/machine-id 2>/dev/null).sentorix
              /run/log/journal/$(cat /etc/machine-id 2>/dev/null).sentorix)
journal_up() {
  journald_pid= journal_ours=0 journal_mountpoint=0
  [ -x /lib/systemd/systemd-journald ] && command -v systemd-cat >/dev/null || return 1
  # Mounted over in the modes' own mount namespaces only: a machine's own journal is left alone.
  [ -d /run/systemd/journal ] || { mkdir -p /run/systemd/journal && journal_mountpoint=1; }
  if [ -S /run/systemd/journal.sentorix/socket ]; then
    # An installed Sentorix's namespace: measured as it runs, and left running.
    journald_pid=$(pgrep -f '^/lib/systemd/systemd-journald sentorix$' | head -n 1)
    [ -n "$journald_pid" ]
    return
  fi
  journal_ours=1 journal_created=()
  local path
  for path in "${journal_dirs[@]}"; do [ -e "$path" ] || journal_created+=("$path"); done
  mkdir -p /run/systemd/journald@sentorix.conf.d
  cp "$root/system/linux/package/journald@sentorix.conf" /run/systemd/journald@sentorix.conf.d/60-sentorix.conf
  /lib/systemd/systemd-journald sentorix 2>/dev/null &
  journald_pid=$!; pids+=($journald_pid)
  for i in $(seq 50); do [ -S /run/systemd/journal.sentorix/stdout ] && return 0; sleep 0.1; done
  return 1
}
journal_down() {
  if [ "${journal_ours:-0}" = 1 ]; then
    [ -n "${journald_pid:-}" ] && stop "$journald_pid"
    rm -rf /run/systemd/journald@sentorix.conf.d /run/systemd/journal.sentorix
    local path
    for path in "${journal_created[@]}"; do rm -rf "$path"; done
  fi
  [ "${journal_mountpoint:-0}" = 1 ] && rmdir /run/systemd/journal 2>/dev/null
  journald_pid= journal_ours=0 journal_mountpoint=0
  return 0
}
# "${as_installed[@]}" COMMAND...: in the application namespace, the namespace's journal as the system's;
# every step execs, so that $! is COMMAND's own pid
as_installed=(unshare -m --propagation private sh -c 'mount --bind /run/systemd/journal.sentorix /run/systemd/journal &&
  exec ip netns exec "$0" "$@"')

sentorix_mode() {  # sentorix_mode MODE BIN-DIR: events (delivered to sentorix-monitor), journal, or quiet (no socket)
  local mode=$1 dir=$2 ext monitor= state=$work/state-$1
  rm -rf "$state"; mkdir -p "$state"; chmod 755 "$state"
  mode_began=$(date +%s)
  if [ "$mode" = journal ]; then
    journal_up || { R[journal_note]="(no installed mode: no journald to run here)"; journal_down; return; }
    "${as_installed[@]}" "$SX_APP" "$dir/sentorix-monitor" --socket "$work/monitor.sock" --journal 2>/dev/null &
    monitor=$!; pids+=($monitor); sleep 0.3
    # Standard error a journal stream, named by JOURNAL_STREAM, as sentorixd hands it over under systemd.
    SENTORIX_STATE_DIR=$state SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock \
      "${as_installed[@]}" "$SX_APP" systemd-cat -t com.sentorix.desktop.extension \
      sh -c 'JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec "$0"' "$dir/com.sentorix.desktop.extension" &
  elif [[ $mode == events* ]]; then
    ip netns exec "$SX_APP" "$dir/sentorix-monitor" --socket "$work/monitor.sock" >"$work/events.$mode.jsonl" 2>/dev/null &
    monitor=$!; pids+=($monitor); sleep 0.3
    # As installed: standard error is the log file, which the extension then rotates itself.
    SENTORIX_STATE_DIR=$state SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock \
      ip netns exec "$SX_APP" "$dir/com.sentorix.desktop.extension" 2>>"$state/extension.log" &
  else
    SENTORIX_STATE_DIR=$state ip netns exec "$SX_APP" "$dir/com.sentorix.desktop.extension" 2>>"$state/extension.log" &
  fi
  ext=$!; pids+=($ext); sleep 2
  R[${mode}_ttfb]=$(ttfb)
  R[${mode}_own]=$(own_redirected)
  R[${mode}_bulk]=$(bulk)
  if [ "$round" -eq 1 ] && [ "$mode" != journal ]; then  # its flows are the events mode's
    R[${mode}_idle]=$(idle 1000 "$ext")
    [ $quick -eq 0 ] && [[ $mode != *_base ]] && R[${mode}_idle10k]=$(idle 10000 "$ext")
  fi
  short "$mode" "$ext" "$monitor" "${journald_pid:-}"
  stop $ext
  [ -n "$monitor" ] && stop "$monitor"
  rm -f "$work/monitor.sock"
  if [ "$mode" = journal ]; then
    # What the journal holds, so that a mode that recorded nothing cannot pass for a cheap one.
    R[journal_entries]=$(journalctl --namespace=sentorix -q -o cat --since="@$mode_began" \
      SYSLOG_IDENTIFIER=sentorix-monitor _TRANSPORT=journal 2>/dev/null | wc -l)
    journal_down
  fi
}

declare -A R ALL
start_proxy
read -ra modes <<<"${SENTORIX_BENCH_MODES:-floor redsocks events journal quiet}"  # a subset, to look at one closely
[ -n "$baseline_bin" ] && modes+=(events_base quiet_base)
for round in $(seq $rounds); do
  echo "== round $round of $rounds" >&2
  echo "== explicit proxy" >&2
  R[explicit_bulk]=$(bulk -x http://127.0.0.1:8080 -p)
  R[explicit_ttfb]=$(ttfb -x http://127.0.0.1:8080 -p)
  for mode in "${modes[@]}"; do
    echo "== $mode" >&2
    case $mode in
      floor|redsocks) relay_mode "$mode" ;;
      events|journal|quiet) sentorix_mode "$mode" "$bin" ;;
      *_base) sentorix_mode "$mode" "$baseline_bin" ;;
    esac
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
gbit() { awk -v a="${1:-0}" 'BEGIN {printf "%.2f", a * 8 / 1e9}'; }
total() { awk -v p="$1" 'BEGIN {split(p, x, " "); printf "%.1f", x[1] + x[2]}'; }
field() { awk -v p="$1" -v i="$2" 'BEGIN {split(p, x, " "); print x[i]}'; }

columns=(floor redsocks events journal quiet); [ -n "$baseline_bin" ] && columns+=(events_base quiet_base)
declare -A title=([floor]="floor" [redsocks]="redsocks+splice" [events]="Sentorix events" [journal]="installed" [quiet]="Sentorix quiet"
                  [events_base]="baseline events" [quiet_base]="baseline quiet")
row() {  # row LABEL VALUE-FUNCTION TARGET
  local label=$1 fn=$2 target=$3 c
  printf '%-44s' "$label"
  for c in "${columns[@]}"; do printf ' %-16s' "$($fn "$c")"; done
  printf ' %s\n' "$target"
}
floor_total=$(total "${R[floor_cpu]:-0 0}")
v_cpu() { echo "${R[$1_cpu]:-- -}" | awk '{printf "%s+%s", $1, $2}'; }
v_cpu_total() { total "${R[$1_cpu]:-0 0}"; }
v_cpu_ratio() { ratio "$(total "${R[$1_cpu]:-0 0}")" "$floor_total"; }
v_monitor() { echo "${R[$1_monitor]:-}"; }
v_journald() { echo "${R[$1_journald]:-}"; }
v_syscalls() { echo "${R[$1_syscalls]:-}"; }
v_switches() { echo "${R[$1_switches]:-}" | awk 'NF {printf "%s / %s", $1, $2}'; }
v_rate() { echo "${R[$1_rate]:-}"; }
v_rate_ratio() { ratio "${R[$1_rate]:-0}" "${R[floor_rate]:-0}"; }
v_ttfb() { echo "${R[$1_ttfb]:-}" | awk 'NF {printf "%s / %s", $1, $2}'; }
v_ttfb_added() { awk -v a="$(field "${R[$1_ttfb]:-0 0}" 1)" -v b="$(field "${R[floor_ttfb]:-0 0}" 1)" 'BEGIN {printf "%+.3f", a - b}'; }
v_bulk() { gbit "${R[$1_bulk]:-0}"; }
v_bulk_ratio() { ratio "${R[$1_bulk]:-0}" "${R[floor_bulk]:-0}"; }
v_idle() { echo "${R[$1_idle]:-}" | awk 'NF {printf "%s / %s", $1, $2}'; }
v_idle10k() { echo "${R[$1_idle10k]:-}" | awk 'NF {printf "%s / %s", $1, $2}'; }
v_own() { echo "${R[$1_own]:-}"; }

printf '\n%-44s' "per short connection (wrk -t2 -c32, ${rate_seconds} s)"
for c in "${columns[@]}"; do printf ' %-16s' "${title[$c]}"; done
printf ' %s\n' "target"
row "relay CPU, user+kernel us" v_cpu ""
row "relay CPU, us" v_cpu_total ""
row "relay CPU / floor's" v_cpu_ratio "events <= 1.3, quiet <= 1.15"
row "monitor CPU, us" v_monitor "<= 15"
row "journald CPU, us" v_journald ""
row "system calls" v_syscalls ""
row "context switches, voluntary / involuntary" v_switches ""
row "connections per second" v_rate ""
row "connections per second / floor's" v_rate_ratio "events >= 0.9"
row "first byte, median / p99 ms" v_ttfb ""
row "first byte median added over floor's, ms" v_ttfb_added "<= +0.1"
row "bulk, Gbit/s (explicit proxy: $(gbit "${R[explicit_bulk]}"))" v_bulk ""
row "bulk / floor's" v_bulk_ratio ">= 0.97"
row "idle flow, KiB / descriptors (1,000)" v_idle "Sentorix <= 2 / 2"
row "idle flow, KiB / descriptors (10,000)" v_idle10k ""
row "the proxy's own connections redirected" v_own "0"
printf '%-44s %s\n' "identify a flow's process, 500 running (us)" "$identify (median <= 10, p99 <= 100)"
printf '%-44s %s\n' "refused UDP send, median p99 (us)" "$udp_refused (< 10)"
printf '\n(first byte, explicit proxy: median / p99 %s ms; %s%s)\n' "$(echo "${R[explicit_ttfb]}" | awk '{printf "%s / %s", $1, $2}')" \
  "${R[floor_note]:-}" "${R[redsocks_note]:-}${R[journal_note]:-}"
[ -n "${R[journal_entries]:-}" ] && printf '(installed: the journal held %s events at the end of its last round)\n' "${R[journal_entries]}"
