#!/usr/bin/env bash
# End to end through the host application's command line, in network namespaces of its own: the
# sentorix command asks the service (sentorixd, run in the application namespace) to activate and
# start the extension from its bundle, curl's requests are relayed through the local proxy, the
# monitoring socket named in the environment hears the events, and the command stops, deactivates and
# reports. Each state directory gets a service of its own on its own control socket. Needs root
# (namespaces, nftables); skipped (77) otherwise.
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
mkdir "$work/logs"
passed=0 failed=0
proxy_pid= monitor_pid=
service_pids=() service_sockets=()
export SENTORIX_STATE_DIR=$work/state   # the service's; the host ignores it
export SENTORIX_CONTROL_SOCKET=$work/run/sentorixd.sock
export SENTORIX_EXTENSION_MONITORING_SOCKET_PATH="  $work/monitor.sock "

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
# service_up STATE_DIR SOCKET: a sentorixd of its own for STATE_DIR, in the application namespace
# (the extension it starts runs where it runs), logging to logs/ under the socket's name.
service_up() {
  local log=$work/logs/$(basename "$2" .sock).log pid i seen
  # A restart on the same socket appends to its log: only a new "listening" line counts.
  seen=$(sx_count "$log" "^sentorixd: listening on $2;")
  SENTORIX_STATE_DIR=$1 SENTORIX_CONTROL_SOCKET=$2 ip netns exec "$SX_APP" "$bin/sentorixd" >>"$log" 2>&1 &
  pid=$!
  service_pids+=("$pid") service_sockets+=("$2")
  for i in $(seq 100); do
    [ "$(sx_count "$log" "^sentorixd: listening on $2;")" -gt "$seen" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "      sentorixd for $1 did not come up: $(cat "$log")"
  return 1
}
# service_down PID: SIGTERM, then its exit status
service_down() {
  local i
  for i in "${!service_pids[@]}"; do
    [ "${service_pids[$i]}" = "$1" ] && unset "service_pids[$i]" "service_sockets[$i]"
  done
  kill -TERM "$1" 2>/dev/null
  wait "$1"
}
cleanup() {
  local pid i
  # The extension outlives its service: stop it first, through that service.
  for i in "${!service_pids[@]}"; do
    SENTORIX_CONTROL_SOCKET=${service_sockets[$i]} sx_app "$bin/sentorix" --stop-proxy >/dev/null 2>&1
  done
  for pid in "${service_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${service_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for pid in $proxy_pid $monitor_pid; do kill "$pid" 2>/dev/null || true; done
  for pid in $proxy_pid $monitor_pid; do wait "$pid" 2>/dev/null || true; done
  sx_sandbox_down
  rm -rf "$work"
}
trap cleanup EXIT

sentorix() {  # runs the command in the application namespace; leaves its output in $out, status in $status
  out=$(sx_app "$bin/sentorix" "$@" 2>"$work/sentorix.err"); status=$?
}
says() { [ "$status" = 1 ] && grep -q -- "$1" <<<"$out$(cat "$work/sentorix.err")" || { echo "      printed '$out', exit $status; stderr: $(cat "$work/sentorix.err")"; return 1; }; }
printed() { [ "$out" = "$1" ] && [ "$status" -eq "$2" ] || { echo "      printed '$out', exit $status; stderr: $(cat "$work/sentorix.err")"; return 1; }; }
connects() { grep -c '^sentorix-proxy: CONNECT ' "$work/proxy.log" 2>/dev/null || true; }
extension_pid() { sed -n 2p "$SENTORIX_STATE_DIR/extension.status"; }
# Only this run's extensions: another run's may be up on the same machine.
extensions_running() { pgrep -c -f "^$work/.*MacOS/com.sentorix.desktop.extension\$"; }
# becomes WORD SECONDS: --status prints WORD within SECONDS
becomes() {
  local i
  for i in $(seq $(($2 * 10))); do
    sentorix --status
    [ "$out" = "$1" ] && return 0
    sleep 0.1
  done
  echo "      --status last printed '$out', exit $status"
  return 1
}
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
check "with no service listening, --status says so, naming the socket, and exits 1" \
  printed "Sentorix service is not running: $SENTORIX_CONTROL_SOCKET" 1
umask 000  # what the service creates must not depend on the umask it was started with
service_up "$SENTORIX_STATE_DIR" "$SENTORIX_CONTROL_SOCKET" || { echo "FAIL: the service"; exit 1; }
main_service=$!
umask 022
sentorix --status
check "--status before anything is saved prints invalid" printed "invalid" 0
sentorix --start-proxy
check "--start-proxy prints 'Proxy started' and exits 0" printed "Proxy started" 0
# The socket itself is open to all by design: the service checks its peer's credentials.
check "under umask 000 nothing the service created is group- or world-writable" \
  [ -z "$(find "$SENTORIX_STATE_DIR" "$work/run" -perm /022 ! -type l ! -type s -print)" ]
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
# The flow to port 8000 above may reach the proxy late: count curl's ports only.
web_connects() { sx_count "$work/proxy.log" "^sentorix-proxy: CONNECT $SX_DST_V4:(80|443) "; }
before=$(web_connects)
for i in 1 2 3 4 5; do sx_app curl -s -m 5 -o /dev/null "http://$SX_DST_V4/"; done
check "an HTTPS request succeeds through the tunnel" sx_app curl -sk -m 5 -o /dev/null "https://$SX_DST_V4/"
check "curl's requests crossed the local proxy (6 CONNECTs)" [ $(( $(web_connects) - before )) -eq 6 ]
check "the monitoring socket heard the provider start" grep -q '"provider_started"' "$work/events.jsonl"
check "the monitoring socket heard the relayed flows" \
  sx_wait_for "$work/events.jsonl" '"connect_handshake_succeeded"' 5 5

out=$(SENTORIX_STATE_DIR=$work/elsewhere sx_app "$bin/sentorix" --status 2>"$work/sentorix.err"); status=$?
check "the host ignores SENTORIX_STATE_DIR: the service's status" printed "connected" 0
check "... and creates nothing there" [ ! -e "$work/elsewhere" ]

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
sleep 1.5  # longer than the service waits before restarting an extension that ended
check "... and the service does not start it again" [ "$(extensions_running)" -eq 0 ]

sentorix --start-proxy
pid=$(extension_pid)
kill -KILL "$pid"
# The lock goes only when the last thread has exited; the leader alone turning
# zombie is not enough.
for i in $(seq 100); do all_threads_gone "$pid" && break; sleep 0.05; done
# The service restarts it about a second later: ask first.
check "killing the extension makes --status print disconnected" becomes disconnected 1
check "the kernel removed the killed extension's rules" not_redirected
# The status follows the lock, which goes before the service has reaped the extension: its line may
# come a moment later.
killed_logged() {
  local i
  for i in $(seq 40); do
    grep -q "^sentorixd: the extension (pid $pid) was killed by signal 9 (SIGKILL); restarting it in " \
      "$work/logs/sentorixd.log" && return 0
    sleep 0.05
  done
  return 1
}
check "the service says the extension was killed and that it restarts it" killed_logged
restarted() { becomes connected 10 && [ -n "$(extension_pid)" ] && [ "$(extension_pid)" != "$pid" ]; }
check "... and it does: --status prints connected, with another extension" restarted
redirected_soon() { local i; for i in $(seq 10); do redirected && return 0; sleep 0.5; done; return 1; }
check "... whose rules redirect again" redirected_soon

sentorix --start-proxy
check "--start-proxy after the kill prints 'Proxy started'" printed "Proxy started" 0
check "... and leaves one extension running" [ "$(extensions_running)" -eq 1 ]
sentorix --deactivate-extension
check "--deactivate-extension prints 'Extension deactivated' and exits 0" printed "Extension deactivated" 0
check "... stops the extension" not_redirected
check "... and removes its activated copy" [ ! -e "$SENTORIX_STATE_DIR/SystemExtensions/com.sentorix.desktop.extension.systemextension" ]
sleep 1.5
check "... and the service does not start it again" [ "$(extensions_running)" -eq 0 ]

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
check "... one extension runs" [ "$(extensions_running)" -eq 1 ]
check "... with one saved configuration" [ "$(grep -c '<key>identifier</key>' "$SENTORIX_STATE_DIR/configurations.plist")" -eq 1 ]

echo "== the service ends and comes back"
pid=$(extension_pid)
service_down "$main_service"
check "sentorixd exits 0 on SIGTERM" [ $? -eq 0 ]
check "... and leaves the extension running" kill -0 "$pid"
sentorix --status
check "with the service gone --status says it is not running and exits 1" \
  printed "Sentorix service is not running: $SENTORIX_CONTROL_SOCKET" 1
service_up "$SENTORIX_STATE_DIR" "$SENTORIX_CONTROL_SOCKET" || { echo "FAIL: the service again"; exit 1; }
main_service=$!
sentorix --status
check "a new service reports the extension the last one started: connected" printed "connected" 0
check "... and starts no second one" [ "$(extensions_running)" -eq 1 ]
out=$(timeout 5 ip netns exec "$SX_APP" "$bin/sentorixd" 2>&1); status=$?
check "a second sentorixd on the same socket refuses to start (exit 1)" \
  says "^sentorixd: another service is listening on $SENTORIX_CONTROL_SOCKET"
sentorix --stop-proxy
check "--stop-proxy through the new service stops the extension" printed "Proxy stopped" 0
for i in $(seq 40); do [ "$(extensions_running)" -eq 0 ] && break; sleep 0.05; done
check "... which has ended" [ "$(extensions_running)" -eq 0 ]

echo "== hostile state"
declare -A state_sockets=()
in_state() {  # in_state DIRECTORY SWITCH...: runs the command through a service of DIRECTORY's own
  local directory=$1 socket; shift
  socket=${state_sockets[$directory]:-}
  if [ -z "$socket" ]; then
    socket=$work/run/$(basename "$directory").sock
    state_sockets[$directory]=$socket
    service_up "$directory" "$socket" || { out= status=; return; }
  fi
  out=$(SENTORIX_CONTROL_SOCKET=$socket sx_app "$bin/sentorix" "$@" 2>"$work/sentorix.err"); status=$?
}
mkdir -m 755 "$work/other" && chown 65534:65534 "$work/other"
in_state "$work/other" --start-proxy
check "a state directory owned by another user is refused, naming it" says "$work/other"
mkdir -m 775 "$work/shared"
in_state "$work/shared" --start-proxy
check "a group-writable state directory is refused" says "writable by group or others"
for planted in extension.log configurations.lock SystemExtensions; do
  rm -rf "$work/target"; mkdir -m 755 "$work/planted-$planted"
  echo "untouched" >"$work/target"
  [ "$planted" = SystemExtensions ] && { rm "$work/target"; mkdir "$work/target"; }
  ln -s "$work/target" "$work/planted-$planted/$planted"
  in_state "$work/planted-$planted" --start-proxy
  check "a planted $planted link is refused" says "$work/planted-$planted/$planted"
  if [ "$planted" = SystemExtensions ]; then
    check "... and its target is untouched" [ -z "$(ls -A "$work/target")" ]
  else
    check "... and its target is untouched" [ "$(cat "$work/target")" = untouched ]
  fi
done
check "no extension was started from a refused state" [ "$(extensions_running)" -eq 0 ]
mkdir -m 755 "$work/nested"
python3 -c "import sys; sys.stdout.write('<plist><array>' * 60000)" >"$work/nested/configurations.plist"
for command in --status --start-proxy --stop-proxy; do
  in_state "$work/nested" $command
  check "a store nested 60,000 deep: $command says so and exits 1" says "not a property list"
done
as_nobody() { setpriv --reuid 65534 --regid 65534 --clear-groups "$@"; }
# Only where that user can reach the build's application bundle (a clone under a private directory is not).
if [[ "$(SENTORIX_CONTROL_SOCKET=$work/run/absent.sock as_nobody "$bin/sentorix" --status 2>/dev/null)" == \
      "Sentorix service is not running: "* ]]; then
  out=$(as_nobody "$bin/sentorix" --status 2>&1); status=$?
  check "a user neither root nor in the group sentorix is refused by the service, exit 1" says "permission denied"
else
  echo "skip: --status as another user (this build tree is not readable by nobody)"
fi
mkdir -m 755 "$work/utf"
SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$'/tmp/bad\xff\x01.sock' in_state "$work/utf" --start-proxy
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
