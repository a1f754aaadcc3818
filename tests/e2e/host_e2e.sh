#!/usr/bin/env bash
# End to end through the host application's command line, in network namespaces of its own: the
# sentorix command activates and starts the extension from its bundle, curl's requests are relayed
# through the local proxy, the monitoring socket named in the environment hears the events, and the
# command stops, deactivates and reports. Needs root (namespaces, nftables); skipped (77) otherwise.
#   host_e2e.sh BUILD_BIN_DIR
set -uo pipefail

bin=${1:?usage: host_e2e.sh BUILD_BIN_DIR}
root=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root for network namespaces and nftables"; exit 77; fi
for tool in ip nft curl python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (tools/test.sh installs it)"; exit 77; }
done
ip netns add sxprobe-$$ 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del sxprobe-$$

source "$root/tools/sandbox.sh"
work=$(mktemp -d /tmp/sentorix-host-e2e.XXXXXX)
chmod 755 "$work"
passed=0 failed=0
proxy_pid= monitor_pid=
export SENTORIX_STATE_DIR=$work/state
export SENTORIX_EXTENSION_MONITORING_SOCKET_PATH="  $work/monitor.sock "

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
cleanup() {
  sx_app "$bin/sentorix" --stop-proxy >/dev/null 2>&1
  local pid
  for pid in $proxy_pid $monitor_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $proxy_pid $monitor_pid; do wait "$pid" 2>/dev/null || true; done
  sx_sandbox_down
  rm -rf "$work"
}
trap cleanup EXIT

sentorix() {  # runs the command in the application namespace; leaves its output in $out, status in $status
  out=$(sx_app "$bin/sentorix" "$@" 2>"$work/sentorix.err"); status=$?
}
printed() { [ "$out" = "$1" ] && [ "$status" -eq "$2" ] || { echo "      printed '$out', exit $status; stderr: $(cat "$work/sentorix.err")"; return 1; }; }
connects() { grep -c '^sentorix-proxy: CONNECT ' "$work/proxy.log" 2>/dev/null || true; }
extension_pid() { sed -n 2p "$SENTORIX_STATE_DIR/extension.status"; }
all_threads_gone() {
  [ -d /proc/"$1" ] || return 0
  [ "$(sed 's/.*) //' /proc/"$1"/task/*/stat 2>/dev/null | cut -d' ' -f1 | sort -u)" = Z ]
}

sx_sandbox_up sxhost "$work" || { echo "FAIL: sandbox"; exit 1; }
ip netns exec "$SX_APP" "$bin/sentorix-proxy" --listen 127.0.0.1:8080 --verbose >>"$work/proxy.log" 2>&1 &
proxy_pid=$!
sx_wait_for "$work/proxy.log" "listening" 5
ip netns exec "$SX_APP" "$bin/sentorix-monitor" --socket "$work/monitor.sock" >"$work/events.jsonl" 2>"$work/monitor.log" &
monitor_pid=$!
sx_wait_for "$work/monitor.log" "listening" 5

sentorix --status
check "--status before anything is saved prints invalid" printed "invalid" 0
umask 000  # what the host creates must not depend on the caller's umask
sentorix --start-proxy
umask 022
check "--start-proxy prints 'Proxy started' and exits 0" printed "Proxy started" 0
check "under umask 000 nothing in the state directory is group- or world-writable" \
  [ -z "$(find "$SENTORIX_STATE_DIR" -perm /022 ! -type l -print)" ]
sentorix --status
check "--status then prints connected" printed "connected" 0
check "the extension runs from its activated copy" \
  test "$(readlink -f /proc/"$(extension_pid)"/exe)" = \
       "$(readlink -f "$SENTORIX_STATE_DIR/SystemExtensions/com.sentorix.desktop.extension.systemextension/Contents/MacOS/com.sentorix.desktop.extension")"
check "the saved configuration names the monitoring socket, trimmed" \
  grep -q "<string>$work/monitor.sock</string>" "$SENTORIX_STATE_DIR/configurations.plist"
sleep 1.2  # the first health probe opens the gate
# A connection to a closed port that is intercepted reaches the listener; without Sentorix it is refused.
redirected() { sx_app python3 -c "import socket; socket.create_connection(('$SX_DST_V4', 8000), timeout=3)" 2>/dev/null; }
not_redirected() { ! redirected; }
check "connections to intercepted ports are redirected" redirected
before=$(connects)
for i in 1 2 3 4 5; do sx_app curl -s -m 5 -o /dev/null "http://$SX_DST_V4/"; done
check "an HTTPS request succeeds through the tunnel" sx_app curl -sk -m 5 -o /dev/null "https://$SX_DST_V4/"
sleep 0.3
check "curl's requests crossed the local proxy (6 CONNECTs)" [ $(( $(connects) - before )) -eq 6 ]
check "the monitoring socket heard the provider start" grep -q '"provider_started"' "$work/events.jsonl"
check "the monitoring socket heard the relayed flows" \
  [ "$(grep -c '"connect_handshake_succeeded"' "$work/events.jsonl")" -ge 6 ]

sentorix --start-proxy
check "a second --start-proxy succeeds" printed "Proxy started" 0
check "... and keeps one saved configuration" [ "$(grep -c '<key>identifier</key>' "$SENTORIX_STATE_DIR/configurations.plist")" -eq 1 ]

sentorix --stop-proxy
check "--stop-proxy prints 'Proxy stopped' and exits 0" printed "Proxy stopped" 0
check "the rules are gone" not_redirected
sentorix --status
check "--status then prints disconnected" printed "disconnected" 0
check "the configuration is saved disabled" \
  python3 -c "import plistlib,sys; sys.exit(plistlib.load(open('$SENTORIX_STATE_DIR/configurations.plist','rb'))[0]['enabled'])"
before=$(connects)
check "with the extension stopped, requests go directly" sx_app curl -s -m 5 -o /dev/null "http://$SX_DST_V4/"
check "... without the proxy" [ "$(connects)" -eq "$before" ]

sentorix --start-proxy
pid=$(extension_pid)
kill -KILL "$pid"
# The lock goes only when the last thread has exited; the leader alone turning
# zombie is not enough.
for i in $(seq 100); do all_threads_gone "$pid" && break; sleep 0.05; done
sentorix --status
check "killing the extension makes --status print disconnected" printed "disconnected" 0
check "the kernel removed the killed extension's rules" not_redirected

sentorix --start-proxy
check "it starts again after the kill" printed "Proxy started" 0
sentorix --deactivate-extension
check "--deactivate-extension prints 'Extension deactivated' and exits 0" printed "Extension deactivated" 0
check "... stops the extension" not_redirected
check "... and removes its activated copy" [ ! -e "$SENTORIX_STATE_DIR/SystemExtensions/com.sentorix.desktop.extension.systemextension" ]

sentorix --start-proxy --stop-proxy
check "with both switches only the start runs" printed "Proxy started" 0

echo "== two starts at once"
sentorix --stop-proxy
# Plain background commands: a subshell would inherit the clean-up trap.
ip netns exec "$SX_APP" "$bin/sentorix" --start-proxy >"$work/first.out" 2>&1 &
first=$!
ip netns exec "$SX_APP" "$bin/sentorix" --start-proxy >"$work/second.out" 2>&1 &
second=$!
wait "$first"; echo $? >>"$work/first.out"
wait "$second"; echo $? >>"$work/second.out"
check "both starts report 'Proxy started'" \
  [ "$(cat "$work/first.out" "$work/second.out" | tr '\n' ' ')" = "Proxy started 0 Proxy started 0 " ]
check "... one extension runs" [ "$(pgrep -c -f 'MacOS/com.sentorix.desktop.extension$')" -eq 1 ]
check "... with one saved configuration" [ "$(grep -c '<key>identifier</key>' "$SENTORIX_STATE_DIR/configurations.plist")" -eq 1 ]
sentorix --stop-proxy

echo "== hostile state"
in_state() {  # in_state DIRECTORY SWITCH...: runs the command on another state directory
  local directory=$1; shift
  out=$(SENTORIX_STATE_DIR=$directory sx_app "$bin/sentorix" "$@" 2>"$work/sentorix.err"); status=$?
}
says() { [ "$status" -eq 1 ] && grep -q -- "$1" <<<"$out$(cat "$work/sentorix.err")" || { echo "      printed '$out', exit $status; stderr: $(cat "$work/sentorix.err")"; return 1; }; }
mkdir -m 755 "$work/other" && chown 65534:65534 "$work/other"
in_state "$work/other" --start-proxy
check "a state directory owned by another user is refused, naming it" says "$work/other"
mkdir -m 775 "$work/shared"
in_state "$work/shared" --start-proxy
check "a group-writable state directory is refused" says "writable by group or others"
for planted in extension.log configurations.lock SystemExtensions; do
  rm -rf "$work/planted" "$work/target"; mkdir -m 755 "$work/planted"
  echo "untouched" >"$work/target"
  [ "$planted" = SystemExtensions ] && { rm "$work/target"; mkdir "$work/target"; }
  ln -s "$work/target" "$work/planted/$planted"
  in_state "$work/planted" --start-proxy
  check "a planted $planted link is refused" says "$work/planted/$planted"
  if [ "$planted" = SystemExtensions ]; then
    check "... and its target is untouched" [ -z "$(ls -A "$work/target")" ]
  else
    check "... and its target is untouched" [ "$(cat "$work/target")" = untouched ]
  fi
done
check "no extension was started from a refused state" [ "$(pgrep -c -f 'MacOS/com.sentorix.desktop.extension$')" -eq 0 ]
mkdir -m 755 "$work/nested"
python3 -c "import sys; sys.stdout.write('<plist><array>' * 60000)" >"$work/nested/configurations.plist"
for command in --status --start-proxy --stop-proxy; do
  in_state "$work/nested" $command
  check "a store nested 60,000 deep: $command says so and exits 1" says "not a property list"
done
mkdir -m 700 "$work/private"
as_nobody() { setpriv --reuid 65534 --regid 65534 --clear-groups "$@"; }
# Only where that user can reach the build's application bundle (a clone under a private directory is not).
if [ "$(SENTORIX_STATE_DIR=$work/absent as_nobody "$bin/sentorix" --status 2>/dev/null)" = invalid ]; then
  out=$(SENTORIX_STATE_DIR=$work/private as_nobody "$bin/sentorix" --status 2>&1); status=$?
  check "--status on a state directory it cannot read says why and exits 1" says "$work/private: Permission denied"
else
  echo "skip: --status as another user (this build tree is not readable by nobody)"
fi
out=$(SENTORIX_STATE_DIR=$work/utf SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$'/tmp/bad\xff\x01.sock' sx_app "$bin/sentorix" --start-proxy 2>&1); status=$?
check "a socket path that is not UTF-8 is refused" says "not valid UTF-8"
check "... before anything is saved" [ ! -e "$work/utf/configurations.plist" ]
for arguments in "" extra; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/sentorix" $arguments 2>&1); status=$?
  check "'sentorix $arguments' without a display names DISPLAY and --help, exit 1" says "WAYLAND_DISPLAY.*--help"
done
sentorix --bogus
check "an unknown option is a usage error (exit 2)" [ "$status" -eq 2 ]

echo "host e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
