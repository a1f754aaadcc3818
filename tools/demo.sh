#!/usr/bin/env bash
# Sentorix end to end on its built-in defaults, in network namespaces of its own: builds, starts the
# small local proxy at 127.0.0.1:8080, the monitoring listener and the Sentorix service (sentorixd),
# starts the extension with the host application's command line (sentorix --start-proxy, which asks
# the service), makes real requests with curl (ports 80 and
# 443, IPv4 and IPv6, and one from a bypassed application), shows a QUIC attempt refused at once and
# the same request then relayed over TCP, and a listed host name going direct, stops the proxy to show
# fail-open and starts it again, stops the extension (sentorix --stop-proxy) and deactivates it, stops
# the service, prints what happened, and removes everything it created. Run as root on Debian 12.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/install-deps.sh"
source "$root/tools/sandbox.sh"
[ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root (network namespaces and nftables need it)" >&2; exit 1; }

sentorix_install_packages
echo "== building"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target sentorix sentorixd sentorix-proxy sentorix-monitor >/dev/null
bin=$root/build/bin

work=$(mktemp -d /tmp/sentorix-demo.XXXXXX)
proxy_pid= monitor_pid= service_pid=
# The service's state directory and control socket; the host reads only the socket.
export SENTORIX_STATE_DIR=$work/state
export SENTORIX_CONTROL_SOCKET=$work/run/sentorixd.sock
export SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock
sentorix() { echo "\$ sentorix $*"; ip netns exec "$SX_APP" "$bin/sentorix" "$@" | sed 's/^/  /'; }
stop_service() {
  [ -n "$service_pid" ] || return 0
  kill -TERM "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=
}
cleanup() {
  local pid
  # The extension outlives the service: stop it through the service first.
  [ -n "$service_pid" ] && ip netns exec "$SX_APP" "$bin/sentorix" --stop-proxy >/dev/null 2>&1
  stop_service
  for pid in $proxy_pid $monitor_pid; do kill "$pid" 2>/dev/null || true; done
  sx_sandbox_down
  rm -rf "$work" "/etc/netns/${SX_APP:-sxdemo-app}"
}
trap cleanup EXIT

echo "== namespaces sxdemo-app and sxdemo-dst, destination servers on $SX_DST_V4 and [$SX_DST_V6]"
sx_sandbox_up sxdemo "$work"
# The application namespace's own /etc/hosts (ip netns exec mounts it): a listed name for the destination.
mkdir -p "/etc/netns/$SX_APP"
printf '127.0.0.1 localhost\n::1 localhost\n%s www.apple.com\n' "$SX_DST_V4" >"/etc/netns/$SX_APP/hosts"
mkdir -p "$work/www" && echo "hello over QUIC" >"$work/www/index.html"
ip netns exec "$SX_DST" gtlsserver -q -d "$work/www" "$SX_DST_V4" 443 "$work/dst.key" "$work/dst.crt" >"$work/quic.log" 2>&1 &
SX_DST_PIDS+=($!)

start_proxy() {
  ip netns exec "$SX_APP" "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  sx_wait_for "$work/proxy.log" "listening" 5
}
start_proxy
ip netns exec "$SX_APP" "$bin/sentorix-monitor" --socket "$work/monitor.sock" >"$work/events.jsonl" 2>"$work/monitor.log" &
monitor_pid=$!
sx_wait_for "$work/monitor.log" "listening" 5

# In the application namespace: the extension it starts redirects the traffic of the namespace it is in.
ip netns exec "$SX_APP" "$bin/sentorixd" >"$work/sentorixd.log" 2>&1 &
service_pid=$!
sx_wait_for "$work/sentorixd.log" "^sentorixd: listening on " 5 ||
  { echo "sentorixd did not start:" >&2; cat "$work/sentorixd.log" >&2; exit 1; }
echo "== the Sentorix service (sentorixd) started in $SX_APP: socket $SENTORIX_CONTROL_SOCKET, state in $SENTORIX_STATE_DIR"

echo "== starting the extension with the host application"
sentorix --start-proxy
sentorix --status
sx_wait_for "$work/events.jsonl" '"provider_started"' 5
sleep 1.2  # the first health probe opens the gate

results=()
connects() { grep -c 'CONNECT ' "$work/proxy.log" 2>/dev/null || true; }
# record LABEL TARGET OUTCOME CONNECTS_BEFORE [ROUTE]: one line of the results table; the route is what
# the proxy saw unless given
record() {
  local added=$(( $(connects) - $4 ))
  results+=("$(printf '%-44s %-34s %-34s %s' "$1" "$2" "$3" "${5:-$([ "$added" -gt 0 ] && echo relayed || echo direct)}")")
}
request() {  # request LABEL URL [run-in-unit UNIT] [curl options...]
  local label=$1 url=$2 unit=${3:-} out before
  shift 2; shift || true
  before=$(connects)
  if [ -n "$unit" ]; then
    out=$(sx_run_in_unit "$unit" curl -sk -m 10 -o /dev/null -w '%{http_code} %{size_download}B %{time_total}s' "$@" "$url" || echo "failed")
  else
    out=$(sx_app curl -sk -m 10 -o /dev/null -w '%{http_code} %{size_download}B %{time_total}s' "$@" "$url" || echo "failed")
  fi
  record "$label" "$url" "$out" "$before"
}
quic() {  # quic LABEL: one HTTP/3 request to the destination with Debian's ngtcp2 client
  local started out before route=direct
  before=$(connects)
  started=$(date +%s%N)
  if out=$(sx_app timeout 5 gtlsclient -q --exit-on-all-streams-close "$SX_DST_V4" 443 "https://$SX_DST_V4/index.html" 2>&1); then
    out="handshake completed"
  else
    out="failed: ${out##*: }" route=refused
  fi
  record "$1" "udp://$SX_DST_V4:443" "$out $(( ($(date +%s%N) - started) / 1000000 ))ms" "$before" "$route"
}

echo "== requests through the extension"
request "relayed, port 80" "http://$SX_DST_V4/"
request "relayed, port 443 (TLS through the tunnel)" "https://$SX_DST_V4/"
request "relayed, IPv6" "http://[$SX_DST_V6]/"
request "relayed, 4 MiB" "http://$SX_DST_V4/bytes/4194304"
request "bypassed app (com.apple.nsurlsessiond)" "http://$SX_DST_V4/" com.apple.nsurlsessiond.service
request "app in a desktop unit (org.example.Browser)" "http://$SX_DST_V4/" app-gnome-org.example.Browser-4242.scope
quic "QUIC (HTTP/3) attempt: refused at once"
request "the same request over TCP: relayed" "https://$SX_DST_V4/"
request "listed name, resolves to the address: direct" "https://www.apple.com/" "" --resolve "www.apple.com:443:$SX_DST_V4"
request "listed name, not its address: relayed" "https://play.google.com/" "" --resolve "play.google.com:443:$SX_DST_V4"

echo "== stopping the proxy: the extension fails open"
kill "$proxy_pid"; wait "$proxy_pid" 2>/dev/null || true; proxy_pid=
sx_wait_for "$work/events.jsonl" '"proxy_unreachable"' 3 || echo "   (no proxy_unreachable event within 3 s)"
request "proxy down: carried directly" "http://$SX_DST_V4/"
echo "== starting the proxy again"
start_proxy
sx_wait_for "$work/events.jsonl" '"proxy_recovered"' 3 || echo "   (no proxy_recovered event within 3 s)"
request "proxy back: relayed again" "http://$SX_DST_V4/"

echo "== stopping the extension with the host application"
sentorix --stop-proxy
sentorix --status
tables=$(sx_app nft list tables 2>/dev/null | tr '\n' ' ')
sentorix --deactivate-extension
request "extension stopped: direct" "http://$SX_DST_V4/"
stop_service
echo "== the Sentorix service stopped"
sleep 0.3

echo
echo "======== what the proxy saw (each CONNECT with its headers) ========"
grep -v 'listening on' "$work/proxy.log" | sed 's/^/  /'
echo
echo "======== monitoring events, in order ========"
python3 - "$work/events.jsonl" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    flow = (e.get("flow_id") or "")[:8]
    extra = ", ".join(f"{k}={v}" for k, v in {**e.get("context", {}), **e.get("metrics", {})}.items())
    print(f"  {e['logged_at']}  {e['current_signal']:<28} {e['level']:<5} {flow:<8}  {extra}")
PY
echo
echo "======== what the service logged ========"
sed 's/^/  /' "$work/sentorixd.log"
echo
echo "======== curl results ========"
printf '  %s\n' "${results[@]}"
echo
echo "  extension status after stop: $(head -1 "$work/state/extension.status")"
echo "  nftables tables after stop: ${tables:-none}"
