#!/usr/bin/env bash
# End to end, for real: the extension refusing UDP and QUIC to the web ports, and choosing between relay
# and direct for TCP flows by the host name their first bytes carry. Needs root (namespaces); without it
# the test is skipped (exit 77) with the reason.
#   udp_names_e2e.sh BUILD_BIN_DIR
set -uo pipefail

bin=${1:?usage: udp_names_e2e.sh BUILD_BIN_DIR}
root=$(cd "$(dirname "$0")/../.." && pwd)
PATH=$PATH:/usr/sbin  # gtlsserver
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root for network namespaces"; exit 77; fi
for tool in ip curl python3 openssl timeout gtlsclient gtlsserver; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (tools/test.sh installs it)"; exit 77; }
done
ip netns add sxprobe-$$ 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del sxprobe-$$

source "$root/tools/sandbox.sh"
prefix=sxudp
work=$(mktemp -d /tmp/sentorix-udp-e2e.XXXXXX)
chmod 755 "$work"
# ip netns exec puts this file over /etc/hosts for every process of the namespace, the extension's too.
hosts_dir=/etc/netns/$prefix-app
[ -d /etc/netns ] && netns_etc_was_there=1 || netns_etc_was_there=0
passed=0 failed=0
proxy_pid= monitor_pid= extension_pid= helper_pids=()
script_start=$(date +%s.%N)

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
stop_all() {
  local pid
  for pid in $extension_pid $proxy_pid $monitor_pid "${helper_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in $extension_pid $proxy_pid $monitor_pid "${helper_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  extension_pid= proxy_pid= monitor_pid= helper_pids=()
}
cleanup() {
  stop_all; sx_sandbox_down; rm -rf "$work" "$hosts_dir"
  [ "$netns_etc_was_there" = 1 ] || rmdir /etc/netns 2>/dev/null || true
}
trap cleanup EXIT

start_our_proxy() {
  local seen; seen=$(sx_count "$work/proxy.log" listening)
  ip netns exec "$SX_APP" "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  sx_wait_for "$work/proxy.log" "listening" 5 "$seen"
}
start_monitor_and_extension() {
  : >"$work/events.jsonl"; : >"$work/monitor.log"   # not the last monitor's "listening"
  ip netns exec "$SX_APP" "$bin/sentorix-monitor" --socket "$work/monitor.sock" >>"$work/events.jsonl" 2>"$work/monitor.log" &
  monitor_pid=$!
  sx_wait_for "$work/monitor.log" "listening" 5
  SENTORIX_STATE_DIR=$work/state SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock \
    ip netns exec "$SX_APP" "$bin/com.sentorix.desktop.extension" >>"$work/extension.log" 2>&1 &
  extension_pid=$!
  for i in $(seq 50); do grep -q '^connected' "$work/state/extension.status" 2>/dev/null && break; sleep 0.1; done
  sleep 1.2  # the first probe opens the gate
}
connects() { grep -c '^sentorix-proxy: CONNECT ' "$work/proxy.log" 2>/dev/null || true; }
below() { awk -v v="$1" -v limit="$2" 'BEGIN { exit !(v < limit) }'; }

# Names from the built-in hard-bypass list (".apple.com", ".icloud.com"): the first resolves to the
# destination, the second elsewhere; the third is on no list.
listed_here=www.apple.com listed_elsewhere=www.icloud.com unlisted=unlisted.example
quic_v4=192.0.2.3  # a second destination address, so the QUIC server and the UDP recorder can share 443
mkdir -p "$hosts_dir"
cat >"$hosts_dir/hosts" <<EOF
127.0.0.1 localhost
::1 localhost
$SX_DST_V4 $listed_here
$SX_DST_V6 $listed_here
192.0.2.99 $listed_elsewhere
EOF

sx_sandbox_up "$prefix" "$work" || { echo "FAIL: sandbox"; exit 1; }
ip -n "$SX_DST" addr add "$quic_v4/24" dev "${prefix:0:8}d0"

# Records every datagram that reaches the destination as "PORT PAYLOAD".
cat >"$work/udp_recorder.py" <<'PY'
import select, socket, sys
log = open(sys.argv[1], "a", buffering=1)
sockets = []
for host in sys.argv[2:4]:
    for port in (53, 80, 443, 5353):
        s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((host, port))
        sockets.append(s)
log.write("listening\n")
while True:
    for s in select.select(sockets, [], [])[0]:
        data = s.recv(2048)
        log.write(f"{s.getsockname()[1]} {data.decode(errors='replace')}\n")
PY
# udp_send.py connect|sendto HOST PORT PAYLOAD: prints "sent|refused|error-NAME MILLISECONDS".
cat >"$work/udp_send.py" <<'PY'
import errno, socket, sys, time
mode, host, port, payload = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4].encode()
s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_DGRAM)
start = time.monotonic()
try:
    if mode == "connect":
        s.connect((host, port))
        s.send(payload)
    else:
        s.sendto(payload, (host, port))
    result = "sent"
except PermissionError:
    result = "refused"
except OSError as e:
    result = "error-" + errno.errorcode.get(e.errno, str(e.errno))
print(result, round((time.monotonic() - start) * 1000, 1))
PY
# A server that speaks first, on a port whose TCP flows are intercepted.
cat >"$work/banner_server.py" <<'PY'
import socket, threading
server = socket.create_server(("::", 8000), family=socket.AF_INET6, dualstack_ipv6=True)
print("listening", flush=True)
def greet(conn):
    with conn:
        conn.sendall(b"220 banner\r\n")
        conn.recv(1024)
while True:
    threading.Thread(target=greet, args=(server.accept()[0],), daemon=True).start()
PY
ip netns exec "$SX_DST" python3 "$work/udp_recorder.py" "$work/udp.log" "$SX_DST_V4" "$SX_DST_V6" 2>"$work/udp_recorder.err" &
helper_pids+=($!)
ip netns exec "$SX_DST" python3 "$work/banner_server.py" >"$work/banner.log" 2>&1 &
helper_pids+=($!)
mkdir "$work/htdocs" && echo "hello over quic" >"$work/htdocs/index.html"
ip netns exec "$SX_DST" gtlsserver -d "$work/htdocs" "$quic_v4" 443 "$work/dst.key" "$work/dst.crt" >"$work/quic_server.log" 2>&1 &
helper_pids+=($!)
sx_wait_for "$work/udp.log" "listening" 5 && sx_wait_for "$work/banner.log" "listening" 5 &&
  sx_wait_for "$work/quic_server.log" "document root" 5 || { echo "FAIL: destination servers"; exit 1; }

start_our_proxy
start_monitor_and_extension
check "extension publishes connected" grep -q '^connected' "$work/state/extension.status"

udp() { sx_app python3 "$work/udp_send.py" "$@"; }
udp_in_unit() { local unit=$1; shift; sx_run_in_unit "$unit" python3 "$work/udp_send.py" "$@"; }
received() { sx_wait_for "$work/udp.log" "^$1 $2\$" 2; }
not_received() { ! grep -q " $1\$" "$work/udp.log"; }
refused_at_once() {  # MODE HOST PORT PAYLOAD
  local verdict ms
  read -r verdict ms < <(udp "$@")
  [ "$verdict" = refused ] && below "$ms" 100 || { echo "      $*: $verdict after $ms ms"; return 1; }
}
passes() {  # [UNIT] MODE HOST PORT PAYLOAD: sent, and the destination has it
  local verdict ms
  if [ $# -eq 5 ]; then read -r verdict ms < <(udp_in_unit "$@"); shift; else read -r verdict ms < <(udp "$@"); fi
  [ "$verdict" = sent ] || { echo "      $*: $verdict after $ms ms"; return 1; }
  received "$3" "$4" || { echo "      $*: sent, but the destination has nothing"; return 1; }
}

echo "== UDP to the web ports is refused"
refused=()
for host in "$SX_DST_V4" "$SX_DST_V6"; do
  for port in 443 80; do
    for mode in connect sendto; do
      payload="plain-$mode-$host-$port"
      check "$mode to $host port $port: EPERM within 100 ms" refused_at_once "$mode" "$host" "$port" "$payload"
      refused+=("$payload")
    done
  done
done
# A dual-stack socket reaches an IPv4 destination through an IPv4-mapped address.
check "sendto ::ffff:$SX_DST_V4 port 443: EPERM within 100 ms" refused_at_once sendto "::ffff:$SX_DST_V4" 443 plain-mapped-443
refused+=(plain-mapped-443)
echo "== other UDP passes"
check "DNS over IPv4 (53) passes" passes sendto "$SX_DST_V4" 53 plain-dns-v4
check "DNS over IPv6 (53) passes" passes connect "$SX_DST_V6" 53 plain-dns-v6
check "another port (5353) over IPv4 passes" passes connect "$SX_DST_V4" 5353 plain-other-v4
check "another port (5353) over IPv6 passes" passes sendto "$SX_DST_V6" 5353 plain-other-v6
check "a bypassed unit's UDP to 443 passes" passes com.sentorix.helper.service connect "$SX_DST_V4" 443 helper-v4-443
check "a bypassed unit's UDP to 80 over IPv6 passes" passes com.sentorix.helper.service sendto "$SX_DST_V6" 80 helper-v6-80
sleep 0.2
none_of_the_refused_arrived() {
  local payload
  for payload in "${refused[@]}"; do not_received "$payload" || { echo "      $payload arrived"; return 1; }; done
}
check "none of the refused datagrams reached the destination" none_of_the_refused_arrived

echo "== QUIC"
quic_out=$work/quic.out
quic() {  # [UNIT]: runs the QUIC client; prints its status and the seconds it took
  local start rc
  start=$(date +%s.%N)
  if [ $# -eq 1 ]; then
    sx_run_in_unit "$1" timeout 5 gtlsclient --exit-on-first-stream-close --no-quic-dump --handshake-timeout=3s \
      "$quic_v4" 443 "https://$quic_v4/index.html" >"$quic_out" 2>&1
  else
    sx_app timeout 5 gtlsclient --exit-on-first-stream-close --no-quic-dump --handshake-timeout=3s \
      "$quic_v4" 443 "https://$quic_v4/index.html" >"$quic_out" 2>&1
  fi
  rc=$?
  echo "$rc $(python3 -c "print(round($(date +%s.%N) - $start, 2))")"
}
handshake_completed() { grep -q '^QUIC handshake has completed' "$quic_out"; }
quic_fails_at_once() {
  local rc seconds
  read -r rc seconds < <(quic)
  echo "      plain client: status $rc after $seconds s; last line: $(tail -1 "$quic_out")"
  [ "$rc" -ne 0 ] && [ "$rc" -ne 124 ] && ! handshake_completed && below "$seconds" 1
}
check "a plain client's QUIC handshake fails at once" quic_fails_at_once
check "... and not one packet reached the QUIC server" [ "$(grep -c 'pkt rx' "$work/quic_server.log")" -eq 0 ]
quic_completes() {
  local rc seconds
  read -r rc seconds < <(quic "$1")
  echo "      client in $1: status $rc after $seconds s"
  [ "$rc" -eq 0 ] && handshake_completed && grep -q 'pkt rx' "$work/quic_server.log" ||
    { tail -3 "$quic_out" | sed 's/^/        /'; return 1; }
}
check "a bypassed unit's QUIC handshake completes" quic_completes com.sentorix.helper.service

echo "== host names on TCP"
body_is_greeting() { [ "$(cat)" = "hello from the destination" ]; }
fetch() { sx_app curl -sk -m 5 "$@" | body_is_greeting; }
goes_direct() {  # COMMAND...: answered, and the proxy saw no CONNECT
  local before
  before=$(connects)
  "$@" || { echo "      not answered"; return 1; }
  sleep 0.3
  [ "$(connects)" -eq "$before" ] || { echo "      relayed: $(grep '^sentorix-proxy: CONNECT ' "$work/proxy.log" | tail -1)"; return 1; }
}
relayed_to() {  # TARGET COMMAND...: answered, and the proxy saw one CONNECT, to TARGET
  local target=$1 before i
  shift
  before=$(connects)
  "$@" || { echo "      not answered"; return 1; }
  for i in $(seq 10); do [ "$(connects)" -gt "$before" ] && break; sleep 0.1; done
  sleep 0.1
  local last
  last=$(grep '^sentorix-proxy: CONNECT ' "$work/proxy.log" | tail -1)
  [ $(( $(connects) - before )) -eq 1 ] && [ "$last" = "sentorix-proxy: CONNECT $target HTTP/1.1" ] ||
    { echo "      $(( $(connects) - before )) CONNECTs, the last: $last"; return 1; }
}
tls_to() { fetch --resolve "$1:443:$SX_DST_V4" "https://$1/"; }
http_to() { fetch -H "Host: $1" "http://$SX_DST_V4/"; }
check "TLS: a listed name that resolves to the destination goes direct" goes_direct tls_to "$listed_here"
check "TLS: a listed name that resolves elsewhere is relayed, to the address" relayed_to "$SX_DST_V4:443" tls_to "$listed_elsewhere"
check "TLS: an unlisted name is relayed, to the address" relayed_to "$SX_DST_V4:443" tls_to "$unlisted"
check "HTTP: a listed name that resolves to the destination goes direct" goes_direct http_to "$listed_here"
check "HTTP: a listed name that resolves elsewhere is relayed, to the address" relayed_to "$SX_DST_V4:80" http_to "$listed_elsewhere"
check "HTTP: an unlisted name is relayed, to the address" relayed_to "$SX_DST_V4:80" http_to "$unlisted"

# A ClientHello in two segments, then a whole exchange: a peek that spoiled the stream would show.
split_hello() {
  sx_app python3 - "$1" "$SX_DST_V4" <<'PY'
import socket, ssl, sys, time
name, host = sys.argv[1], sys.argv[2]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
context.check_hostname = False
context.verify_mode = ssl.CERT_NONE
incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = context.wrap_bio(incoming, outgoing, server_hostname=name)
try:
    tls.do_handshake()
except ssl.SSLWantReadError:
    pass
hello = outgoing.read()
sock = socket.create_connection((host, 443), timeout=5)
sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
sock.sendall(hello[:20])
time.sleep(0.03)
sock.sendall(hello[20:])
def pump(step):
    while True:
        try:
            result = step()
            sock.sendall(outgoing.read())
            return result
        except ssl.SSLWantReadError:
            sock.sendall(outgoing.read())
            data = sock.recv(65536)
            if not data:
                return None
            incoming.write(data)
pump(tls.do_handshake)
pump(lambda: tls.write(b"GET / HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % name.encode()))
response = b""
while True:
    try:
        chunk = pump(lambda: tls.read(65536))
    except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
        break
    if not chunk:
        break
    response += chunk
sys.exit(0 if response.endswith(b"\r\n\r\nhello from the destination\n") else 1)
PY
}
check "a ClientHello split over two segments is read: a listed name goes direct" goes_direct split_hello "$listed_here"

# The peek must not hold back a server that speaks first.
banner_at_once() {
  sx_app python3 - "$SX_DST_V4" <<'PY'
import socket, sys, time
sock = socket.create_connection((sys.argv[1], 8000), timeout=5)
start = time.monotonic()
data = b""
while not data.endswith(b"\n"):
    chunk = sock.recv(100)
    if not chunk:
        break
    data += chunk
elapsed = (time.monotonic() - start) * 1000
print(f"      banner {data!r} after {elapsed:.0f} ms")
sys.exit(0 if data == b"220 banner\r\n" and elapsed < 300 else 1)
PY
}
check "a server that speaks first is heard within 300 ms, relayed" relayed_to "$SX_DST_V4:8000" banner_at_once

echo "== fail-open"
unreachable_seen=$(sx_count "$work/events.jsonl" '"proxy_unreachable"')
recovered_seen=$(sx_count "$work/events.jsonl" '"proxy_recovered"')
kill "$proxy_pid"; wait "$proxy_pid" 2>/dev/null; proxy_pid=
killed=$(date +%s.%N)
check "proxy_unreachable arrives" sx_wait_for "$work/events.jsonl" '"proxy_unreachable"' 3 "$unreachable_seen"
udp_443_passes_soon() {  # the gate follows the probe, a second or so behind
  local i verdict ms
  for i in $(seq 40); do
    read -r verdict ms < <(udp sendto "$SX_DST_V4" 443 "failopen-$i")
    if [ "$verdict" = sent ]; then
      echo "      passes $(python3 -c "print(round($(date +%s.%N) - $killed, 2))") s after the proxy stopped"
      received 443 "failopen-$i"
      return
    fi
    sleep 0.1
  done
  return 1
}
check "with the proxy down, UDP to 443 passes" udp_443_passes_soon
start_our_proxy
check "proxy_recovered arrives" sx_wait_for "$work/events.jsonl" '"proxy_recovered"' 3 "$recovered_seen"
udp_443_refused_soon() {
  local i
  for i in $(seq 20); do refused_at_once sendto "$SX_DST_V4" 443 "recovered-$i" >/dev/null && return 0; sleep 0.1; done
  return 1
}
check "with the proxy back, UDP to 443 is refused again" udp_443_refused_soon

still_running() {
  kill -0 "$extension_pid" 2>/dev/null && return 0
  wait "$extension_pid"; echo "      the extension exited with status $?"
  return 1
}
check "the extension is still running" still_running

echo "== SIGKILL"
kill -9 "$extension_pid"; wait "$extension_pid" 2>/dev/null; extension_pid=
sleep 0.3
check "after SIGKILL, UDP to 443 passes" passes sendto "$SX_DST_V4" 443 after-sigkill
plain_quic_completes() {
  local rc seconds
  read -r rc seconds < <(quic)
  [ "$rc" -eq 0 ] && handshake_completed
}
check "... and a plain client's QUIC handshake completes" plain_quic_completes

echo "== listed names under a flood, with a resolver that never answers"
# The UDP recorder takes every question on port 53 and answers none: each lookup waits out its time-out.
printf 'nameserver %s\noptions timeout:5 attempts:1\n' "$SX_DST_V4" >"$hosts_dir/resolv.conf"
kill "$monitor_pid"; wait "$monitor_pid" 2>/dev/null; monitor_pid=
rm -f "$work/state/extension.status"  # not the killed extension's "connected"
start_monitor_and_extension
flood=()
flood_started=$(date +%s%N)
for i in $(seq 40); do
  name=flood-$i-$RANDOM.apple.com
  sx_app curl -sk -m 10 -o /dev/null --resolve "$name:443:$SX_DST_V4" "https://$name/" & flood+=($!)
done
sleep 0.2
started=$(date +%s%N)
tls_to "$listed_here"; answered=$?
took_ms=$((($(date +%s%N) - started) / 1000000))
check "meanwhile a listed name from the hosts file is answered within 2 s (${took_ms} ms)" \
  bash -c '[ "$1" -eq 0 ] && [ "$2" -lt 2000 ]' _ "$answered" "$took_ms"
flooded=0
for pid in "${flood[@]}"; do wait "$pid" && flooded=$((flooded + 1)); done
flood_ms=$((($(date +%s%N) - flood_started) / 1000000))
check "every flooding flow is decided on its address and answered ($flooded of 40, all within $flood_ms ms)" \
  bash -c '[ "$1" -eq 40 ] && [ "$2" -lt 5000 ]' _ "$flooded" "$flood_ms"
rm -f "$hosts_dir/resolv.conf"
stop_all

if [ "$failed" -ne 0 ]; then echo "== the extension's log ends:"; tail -20 "$work/extension.log" | sed 's/^/  /'; fi
echo "      took $(python3 -c "print(round($(date +%s.%N) - $script_start, 1))") s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
