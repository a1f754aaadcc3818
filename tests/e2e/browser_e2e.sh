#!/usr/bin/env bash
# End to end with a real browser: headless Chromium in the extension's network namespace loads an HTTPS
# page with 68 subresources from four host names, every connection relayed through sentorix-proxy
# under Chromium's identifier. Then the page's Alt-Svc (h3) is learnt and, on the next visit, Chromium's
# QUIC attempts are refused in the kernel and the page loads over TCP as fast as with QUIC off.
# Needs root (namespaces) and Chromium; without them the test is skipped (exit 77) with the reason.
#   browser_e2e.sh BUILD_BIN_DIR [SCREENSHOT_DIR]
set -uo pipefail

bin=${1:?usage: browser_e2e.sh BUILD_BIN_DIR [SCREENSHOT_DIR]}
shots=${2:-}
root=$(cd "$(dirname "$0")/../.." && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# The launcher in /usr/bin adds extensions and API keys: the browser itself is run, so its flags are ours.
chromium=/usr/lib/chromium/chromium
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root for network namespaces"; exit 77; fi
for tool in ip curl python3 openssl timeout; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (tools/test.sh installs it)"; exit 77; }
done
[ -x "$chromium" ] || { echo "SKIP: Chromium is not installed ($chromium; apt-get install chromium)"; exit 77; }
ip netns add sxprobe-$$ 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del sxprobe-$$

source "$root/tools/sandbox.sh"
prefix=sxbrw
work=$(mktemp -d /tmp/sentorix-browser-e2e.XXXXXX)
chmod 755 "$work"
passed=0 failed=0
proxy_pid= monitor_pid= extension_pid= site_pid= chromium_pid=
script_start=$(date +%s.%N)

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
stop_chromium() {
  [ -n "$chromium_pid" ] || return 0
  # timeout leads a process group of its own: Chromium and all its children.
  kill -TERM -- "-$chromium_pid" 2>/dev/null && sleep 0.5
  kill -KILL -- "-$chromium_pid" 2>/dev/null || true
  wait "$chromium_pid" 2>/dev/null || true
  chromium_pid=
}
stop_all() {
  local pid
  stop_chromium
  for pid in $extension_pid $proxy_pid $monitor_pid $site_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $extension_pid $proxy_pid $monitor_pid $site_pid; do wait "$pid" 2>/dev/null || true; done
  extension_pid= proxy_pid= monitor_pid= site_pid=
}
cleanup() { stop_all; sx_sandbox_down; [ -n "${SX_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

start_our_proxy() {
  ip netns exec "$SX_APP" "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
  proxy_pid=$!
  sx_wait_for "$work/proxy.log" "listening" 5
}
start_monitor_and_extension() {
  : >"$work/events.jsonl"; : >"$work/monitor.log"
  ip netns exec "$SX_APP" "$bin/sentorix-monitor" --socket "$work/monitor.sock" >>"$work/events.jsonl" 2>"$work/monitor.log" &
  monitor_pid=$!
  sx_wait_for "$work/monitor.log" "listening" 5
  SENTORIX_STATE_DIR=$work/state SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$work/monitor.sock \
    ip netns exec "$SX_APP" "$bin/com.sentorix.desktop.extension" >>"$work/extension.log" 2>&1 &
  extension_pid=$!
  for i in $(seq 50); do grep -q '^connected' "$work/state/extension.status" 2>/dev/null && break; sleep 0.1; done
  sleep 1.2  # the first probe opens the gate
}

# Four names, each on an address of its own, so that each CONNECT says which name it carries.
names=(a.test b.test c.test d.test)
addresses=(192.0.2.10 192.0.2.11 192.0.2.12 192.0.2.13)
expected_resources=$(( ${#names[@]} * 17 ))  # browser_site.py: 12 images, 3 scripts, 2 style sheets a name
rules=() site_args=()
for i in "${!names[@]}"; do
  rules+=("MAP ${names[$i]} ${addresses[$i]}")
  site_args+=("${names[$i]}=${addresses[$i]}")
done
# Any other name fails at once, without a resolver: nothing is looked up outside the test.
rules+=("MAP * ~NOTFOUND")
resolver_rules=$(IFS=,; echo "${rules[*]}")

echo "== certificates"
san=$(printf 'DNS:%s,' "${names[@]}"); san=${san%,}
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Sentorix browser test CA" \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -keyout "$work/ca.key" -out "$work/ca.crt" >/dev/null 2>&1
openssl req -newkey rsa:2048 -nodes -subj "/CN=${names[0]}" -keyout "$work/site.key" -out "$work/site.csr" >/dev/null 2>&1
printf 'subjectAltName=%s\nextendedKeyUsage=serverAuth\nbasicConstraints=critical,CA:FALSE\n' "$san" >"$work/site.ext"
openssl x509 -req -in "$work/site.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -extfile "$work/site.ext" -out "$work/site.crt" >/dev/null 2>&1
cat "$work/site.crt" "$work/ca.crt" >"$work/site-chain.crt"
# Chromium trusts the leaf by its key's hash (only with --user-data-dir), as it would a pinned key.
spki=$(openssl x509 -in "$work/site.crt" -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | base64)
check "a CA and a leaf for ${names[*]}" bash -c '[ -n "$1" ] && openssl verify -CAfile "$2" "$3" >/dev/null' _ \
  "$spki" "$work/ca.crt" "$work/site.crt"

sx_sandbox_up "$prefix" "$work" || { echo "FAIL: sandbox"; exit 1; }
# The sandbox's own HTTPS server holds port 443 on every address; the site takes its place.
for pid in "${SX_DST_PIDS[@]}"; do
  if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'destination-server.py 443 '; then
    kill "$pid"; wait "$pid" 2>/dev/null
  fi
done
for address in "${addresses[@]}"; do ip -n "$SX_DST" addr add "$address/24" dev "${prefix:0:8}d0"; done
ip netns exec "$SX_DST" python3 "$here/browser_site.py" "$work/site-chain.crt" "$work/site.key" \
  "$work/access.log" "$work/udp.log" "${site_args[@]}" 2>"$work/site.err" &
site_pid=$!
sx_wait_for "$work/udp.log" "^listening" 5 || { echo "FAIL: the site did not start"; cat "$work/site.err"; exit 1; }

start_our_proxy
start_monitor_and_extension
check "extension publishes connected" grep -q '^connected' "$work/state/extension.status"
curl_fetch() {
  sx_app curl -s -m 10 --cacert "$work/ca.crt" --resolve "${names[0]}:443:${addresses[0]}" -o /dev/null \
    -w '%{http_code}' "https://${names[0]}/" | grep -qx 200
}
check "the site answers curl through Sentorix" curl_fetch

@@REST@@
