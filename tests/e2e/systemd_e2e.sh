#!/usr/bin/env bash
# The Debian package on a Debian system booted under systemd: a container (systemd-nspawn) whose root
# is an overlay of this machine's own, so the package's dependencies are there and nothing here
# changes. Installed with dpkg, the units start by themselves, the monitor's unprivileged; a member of
# the group sentorix drives the command line and an outsider is refused; each relayed connection's
# events land in the journal namespace sentorix and the extension's lifecycle lines in the system
# journal; programs in system units, desktop scopes and desktop services are relayed under the
# identifiers their units give, bypassed units go direct, a program in a private home directory is
# named by its path; relaying keeps its pace while the namespace's journald takes nothing; the unit supervises the extension (SIGKILL, SIGSTOP), stops and restarts cleanly,
# upgrades from PREVIOUS.deb keep the configuration, and remove and purge do what Debian expects. Traffic goes only to a network namespace inside the
# container. Needs root, systemd-nspawn and overlayfs; skipped (77) otherwise.
#   systemd_e2e.sh PACKAGE.deb [PREVIOUS.deb]
set -uo pipefail

usage="usage: systemd_e2e.sh PACKAGE.deb [PREVIOUS.deb]"
[ $# -ge 1 ] && [ $# -le 2 ] || { echo "$usage" >&2; exit 2; }
for file in "$@"; do [ -f "$file" ] || { echo "systemd_e2e.sh: no such package: $file" >&2; exit 2; }; done
deb=$(realpath "$1")
previous=${2:+$(realpath "$2")}
repo=$(cd "$(dirname "$0")/../.." && pwd)
. "$repo/tests/e2e/booted_container.sh"
booted_container_usable

work=$(mktemp -d /tmp/sentorix-systemd-e2e.XXXXXX)
passed=0 failed=0
closed_port=8000     # intercepted, and nobody listens there
bundled_in=/usr/lib/sentorix/Sentorix.app/Contents/Library/SystemExtensions/com.sentorix.desktop.extension.systemextension/Contents/MacOS/com.sentorix.desktop.extension
looped=0

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok:   $what"
  else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
note() { echo "      $*"; }

cleanup() { container_down && rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

printed() { [ "$out" = "$1" ] && [ "$status" -eq "$2" ] || { note "printed '$out', exit $status"; return 1; }; }
refused() { [[ $out == *"permission denied"* ]] && [ "$status" -eq 1 ] || { note "printed '$out', exit $status"; return 1; }; }

seen() { echo "curl $code, $new CONNECT, App-Id ${ids:-(none)}"; }
curl=(curl -s -o /dev/null -m 3)
quick=(curl -s -o /dev/null -m 1)   # a connect to a stopped extension hangs: short tries
relayed_as() { [ "$code" -eq 0 ] && [ "$new" -eq 1 ] && [ "$ids" = "$1" ]; }
went_direct() { [ "$code" -eq 0 ] && [ "$new" -eq 0 ]; }
fetch() { observe --uid="$outsider" --unit=sx-fetch -- "${curl[@]}" "http://$dst/"; }
relayed() { fetch; [ "$code" -eq 0 ] && [ "$new" -eq 1 ]; }
direct() { observe --uid="$outsider" --unit=sx-fetch -- "${quick[@]}" "http://$dst/"; went_direct; }
closed_direct() {
  observe --uid="$outsider" --unit=sx-fetch -- "${quick[@]}" "http://$dst:$closed_port/"
  [ "$code" -eq 7 ] && [ "$new" -eq 0 ]
}
none() { [ -z "$1" ]; }
extension_runs() { extension_pid >/dev/null; }
running_anew() { local now; now=$(extension_pid) && [ "$now" != "$1" ] && connected; }
kernel_links() { local pid; pid=$(extension_pid) && ct ls -l "/proc/$pid/fd" | grep -c 'anon_inode:bpf_link'; }
programs_attached() { [ "$(kernel_links)" -gt 0 ]; }
no_nftables_table() { ! ct nft list table inet sentorix >/dev/null 2>&1; }
# What a configuration is, whatever the file's format: its identifier and whether it is enabled.
saved_configurations() {
  ct python3 -c 'import plistlib, sys
print(" ".join("%s:%s" % (c.get("identifier"), c.get("enabled")) for c in plistlib.load(open(sys.argv[1], "rb"))))' \
    "$state_in/configurations.plist" 2>&1
}
bundled_sha() { dpkg-deb --fsys-tarfile "$1" | tar -xO ".$bundled_in" | sha256sum | cut -d' ' -f1; }
running_sha() { local pid; pid=$(extension_pid) && ct sha256sum "/proc/$pid/exe" | cut -d' ' -f1; }
service_inactive() { ! ct systemctl is-active -q sentorix.service; }
journal_has() { ct journalctl -q -u sentorix.service --no-pager | grep -qF "$1"; }
journal_count() { ct journalctl -q -u sentorix.service --no-pager | grep -cF "$1"; }
journal_grew() { [ "$(journal_count "$1")" -gt "$2" ]; }
monitor_uids() {
  local pid; pid=$(ct systemctl show -p MainPID --value sentorix-monitor.service)
  [ "${pid:-0}" -gt 0 ] && ct awk '/^Uid:/ { print $2, $3, $4, $5 }' "/proc/$pid/status"
}
monitor_socket=/run/sentorix/monitor/events.sock
# What journald says of the namespace's files when it opens them: where, and the cap it applies.
namespace_capped() {
  ct journalctl --namespace=sentorix -q --no-pager -t systemd-journald -o cat |
    grep -q '^System Journal (/var/log/journal/[0-9a-f]*\.sentorix) is .*, max 512\.0M'
}
unit_lines() { ct journalctl --namespace=sentorix -q --no-pager -u "$1" -o cat | wc -l; }
all_lines_kept() { [ "$(unit_lines sx-lines)" -eq 100000 ]; }
# events_in_journal FLOWS APP_ID: whether the namespace holds exactly three events for each flow in the
# file FLOWS, as the monitor writes them, and no other event of APP_ID; what it found in $work/events.
events_in_journal() {
  ct journalctl --namespace=sentorix -q --no-pager -o json "SENTORIX_APP_ID=$2" |
    python3 -c '
import collections, json, sys
flows = set(open(sys.argv[1]).read().split())
want = ["connect_handshake_started", "connect_handshake_succeeded", "tunnel_closed"]
per_flow = collections.defaultdict(list)
faults = collections.Counter()
for line in sys.stdin:
    entry = json.loads(line)
    # A field given twice comes as a list, one not UTF-8 as bytes: neither is what the monitor writes.
    if any(not isinstance(value, str) for value in entry.values()):
        faults["a field that is not one text"] += 1
        continue
    try:
        event = json.loads(entry["MESSAGE"])
    except (KeyError, ValueError):
        faults["MESSAGE is not the JSON event"] += 1
        continue
    expected = {"SYSLOG_IDENTIFIER": "sentorix-monitor", "_SYSTEMD_UNIT": "sentorix-monitor.service",
                "SENTORIX_SIGNAL": event.get("current_signal"), "SENTORIX_CODE": event.get("code"),
                "SENTORIX_FLOW_ID": event.get("flow_id"), "SENTORIX_LEVEL": event.get("level"),
                "SENTORIX_APP_ID": (event.get("context") or {}).get("app_id")}
    for field, value in expected.items():
        if value is None or entry.get(field) != value:
            faults[field + " is " + repr(entry.get(field)) + ", want " + repr(value)] += 1
    signal = entry.get("SENTORIX_SIGNAL")
    if signal == "connect_handshake_started" and "SENTORIX_REMOTE" not in entry:
        faults["no SENTORIX_REMOTE"] += 1
    if signal == "connect_handshake_succeeded" and "SENTORIX_ELAPSED_MS" not in entry:
        faults["no SENTORIX_ELAPSED_MS"] += 1
    per_flow[entry.get("SENTORIX_FLOW_ID")].append(signal)
missing = flows - per_flow.keys()
strays = per_flow.keys() - flows
wrong = sum(1 for flow in flows & per_flow.keys() if sorted(per_flow[flow]) != want)
entries = sum(len(signals) for signals in per_flow.values())
print("%d entries, %d distinct SENTORIX_FLOW_ID; of %d relayed flows %d missing, %d without exactly %s; %d other flows%s"
      % (entries, len(per_flow), len(flows), len(missing), wrong, "/".join(want), len(strays),
         "".join("; %d: %s" % (n, fault) for fault, n in faults.items())))
sys.exit(0 if flows and not (missing or strays or wrong or faults) else 1)
' "$1" "$2" >"$work/events"
}
# requests COUNT SCOPE: COUNT requests by one curl from a terminal-like scope of the outsider's, each on
# a connection of its own (the destination closes them), so relayed as /usr/bin/curl; their flows are
# added to $work/flows
requests() {
  in_user_scope "$2" curl -s -m 60 "http://$dst/?n=[1-$1]" -o /dev/null
  [ -n "$flows" ] && echo "$flows" >>"$work/flows"
}
# While the proxy's own connections loop back (a known fault), a proxy started before the extension
# drowns every later check: restart it after each start of the extension so they still tell.
after_extension_start() { [ "$looped" -eq 0 ] || { proxy_stop; proxy_start; }; }

diagnose() {
  echo "---- sentorix.service's journal"; ct journalctl -q -u sentorix.service --no-pager | tail -n 25
  echo "---- sentorix-monitor.service"; ct systemctl status --no-pager sentorix-monitor.service | tail -n 10
  ct journalctl --namespace=sentorix -q -u sentorix-monitor.service --no-pager | grep -v SENTORIX | tail -n 10
  echo "---- the extension's log (without handshakes)"
  # Taken before removal: the purge takes the state directory. A package before the journal wrote there.
  cat "$work/extension.log" "$root$state_in/extension.log" 2>/dev/null |
    grep -av -e 'CONNECT handshake' -e 'Handshake successful' | tail -n 25
  ct journalctl --namespace=+sentorix -q -t com.sentorix.desktop.extension --no-pager |
    grep -av -e 'CONNECT handshake' -e 'Handshake successful' | tail -n 25
  echo "---- identifiers in the proxy's log"; sed -n 's/^X-Sentorix-App-Id: //p' "$(plog)" | sort | uniq -c | sort -rn | head
}

started=$(date +%s)
echo "== booting a Debian system under systemd"
container_up main
note "booted in $(($(date +%s) - started)) s"
touch "$(plog)"

# --- installation
ct dpkg -i /opt/sentorix-e2e/new.deb >"$work/dpkg.log" 2>&1
check "dpkg -i installs the package" test $? -eq 0 || tail -n 20 "$work/dpkg.log"
ct usermod -aG sentorix "$member"
check "sentorix.service is active by itself" ct systemctl is-active -q sentorix.service
check "and enabled" ct systemctl is-enabled -q sentorix.service
check "journalctl -u sentorix holds the service's lines" \
  within 3 journal_has "sentorixd: listening on /run/sentorix/sentorixd.sock"
check "sentorix-monitor.service is active by itself" ct systemctl is-active -q sentorix-monitor.service
check "and enabled" ct systemctl is-enabled -q sentorix-monitor.service
uids=$(monitor_uids)
# Real, effective, saved and filesystem ids: none of them root.
check "it runs as a user of its own, not root (uids ${uids:-?})" \
  bash -c 'read -r r e s f <<<"$1"; [ "${r:-0}" -gt 0 ] && [ "$e" = "$r" ] && [ "$s" = "$r" ] && [ "$f" = "$r" ]' _ "$uids"
socket_dir=$(ct stat -c '%a %u' "${monitor_socket%/*}")
check "its socket's directory is 0700 and its user's ($socket_dir)" test "$socket_dir" = "700 ${uids%% *}"
check "it listens on $monitor_socket" within 3 ct test -S "$monitor_socket"
exposure=$(ct systemd-analyze security --no-pager sentorix-monitor.service 2>/dev/null |
  sed -n 's/^.*Overall exposure level for sentorix-monitor.service: \([0-9.]*\).*$/\1/p')
check "its sandbox scores ${exposure:-?} in systemd-analyze security (1.0 at most)" \
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 1.0) }'
check "the namespace sentorix keeps a persistent journal of its own, capped at 512M" within 5 namespace_capped
# journald's default limit, 10,000 lines in 30 s scaled up by the free space, keeps some 35,000 here.
ct systemd-run --quiet --wait -p LogNamespace=sentorix --unit=sx-lines -- seq 100000
check "the namespace has no rate limit: a burst of 100,000 lines is kept whole" within 20 all_lines_kept
note "$(unit_lines sx-lines) of them kept"

# A corporate agent's proxy, running before anyone starts Sentorix: its unit is on no bypass list.
proxy_start
check "the proxy runs as corp-agent.service on 127.0.0.1:8080" ct systemctl is-active -q corp-agent.service

# --- the command line
as "$member" sentorix --start-proxy
check "a member of the group starts the proxy" printed "Proxy started" 0
as "$member" sentorix --status
check "reads its status" printed "connected" 0
check "the extension runs under the unit" within 3 extension_runs
check "the journal says the service started it" within 3 journal_has "started com.sentorix.desktop.extension"
as "$outsider" sentorix --status
check "a user outside the group is refused reading" refused
as "$outsider" sentorix --stop-proxy
check "... and stopping" refused
as "$outsider" sentorix --start-proxy
check "... and starting" refused
as "$member" sentorix --stop-proxy
check "the member stops the proxy" printed "Proxy stopped" 0
as "$member" sentorix --status
check "status then says disconnected" printed "disconnected" 0
check "and no extension runs" none "$(extension_pids)"
check "and curl goes direct" direct
as "$member" sentorix --start-proxy
check "the member starts it again" printed "Proxy started" 0
within 5 connected
check "the hardened unit lets the extension attach its kernel programs ($(kernel_links) links)" \
  within 3 programs_attached
check "... with no nftables fallback" no_nftables_table

# --- one request, one CONNECT
fetch
check "one curl from another user is exactly one CONNECT, answered ($(seen))" \
  bash -c '[ "$1" -eq 1 ] && [ "$2" -eq 0 ]' _ "$new" "$code"
if [ "$new" -gt 1 ]; then
  looped=1
  note "the proxy's own connections come back through Sentorix: $(grep -c '^X-Sentorix-App-Id: corp-agent$' "$(plog)") CONNECTs named corp-agent"
  note "from here on corp-agent is restarted after each start of the extension"
  proxy_stop
  ct systemctl restart sentorix.service
  within 5 connected
  proxy_start
  within 5 relayed
fi

# --- identifiers
fetch
check "a user's program in a system unit is relayed as sx-fetch ($(seen))" relayed_as sx-fetch
in_user_scope app-gnome-org.example.Browser-42.scope "${curl[@]}" "http://$dst/"
check "a desktop scope's program is relayed as org.example.Browser ($(seen))" relayed_as org.example.Browser
observe --machine="$outsider@.host" --user --unit=app-gnome-org.example.Editor@7.service -- "${curl[@]}" "http://$dst/"
check "a desktop service's program is relayed as org.example.Editor ($(seen))" relayed_as org.example.Editor
# Only its owner may look in there: the extension names it through its capabilities alone.
ct chmod 700 "/home/$outsider"
ct install -o "$outsider" -g "$outsider" -m 700 -D /usr/bin/curl "/home/$outsider/bin/curl"
in_user_scope sx-terminal-1.scope "/home/$outsider/bin/curl" "${curl[@]:1}" "http://$dst/"
check "a program in a private home directory is relayed under its path ($(seen))" relayed_as "/home/$outsider/bin/curl"

# --- bypassed units: their connects are their own, failures included
# One unit, so that its later connects are decided by what its first taught the kernel.
observe --unit=NetworkManager -- sh -c 'try() { curl -s -o /dev/null -m 2 "$1"; echo "$?"; }
  try "http://$0:$1/"; try "http://$0/"; try "http://$0:$1/"' "$dst" "$closed_port"
read -r first request later <<<"$(echo $out)"
check "NetworkManager.service's first connect, to a closed port, fails as it would directly (curl exit ${first:-?}, want 7)" \
  test "${first:-}" = 7
check "its request then goes direct (curl exit ${request:-?})" test "${request:-}" = 0
check "and so does a later one (curl exit ${later:-?}, want 7)" test "${later:-}" = 7
check "none of its connections reached the proxy ($new CONNECT, App-Id ${ids:-(none)})" test "$new" -eq 0
observe --unit=unbound -- "${curl[@]}" "http://$dst/"
check "unbound.service's requests go direct too ($(seen))" went_direct
observe --uid="$outsider" --unit=sx-fetch -- "${quick[@]}" "http://$dst:$closed_port/"
check "while a relayed program's connect to a closed port is relayed ($(seen))" \
  bash -c '[ "$1" -ne 7 ] && [ "$2" -eq 1 ]' _ "$code" "$new"

# --- events in the journal
# The member's own manager stands for a desktop session: its environment comes from environment.d.
ct loginctl enable-linger "$member"
for i in $(seq 50); do ct systemctl is-active -q "user@$(ct id -u "$member").service" && break; sleep 0.1; done
in_session() { in_unit --machine="$member@.host" --user -- "$@"; }
in_session printenv SENTORIX_EXTENSION_MONITORING_SOCKET_PATH
session_socket=$out
check "a session of the member's has SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=$session_socket from environment.d" \
  test "$session_socket" = "$(sed -n 's/^SENTORIX_EXTENSION_MONITORING_SOCKET_PATH=//p' "$root/usr/lib/environment.d/60-sentorix.conf")"
check "... the monitor's socket" test "$session_socket" = "$monitor_socket"
as "$member" sentorix --stop-proxy
in_session sentorix --start-proxy
check "the member starts the proxy from the session" printed "Proxy started" 0
within 5 connected
after_extension_start
: >"$work/flows"
requests 50 sx-terminal-2.scope
check "50 requests from /usr/bin/curl are relayed ($new CONNECT)" test "$new" -eq 50
check "journalctl --namespace=sentorix holds their events: 3 a flow, with the monitor's fields" \
  within 10 events_in_journal "$work/flows" /usr/bin/curl
note "$(cat "$work/events")"
system_journal() { ct journalctl -q --no-pager "$@"; }
lifecycle=$(system_journal -u sentorix.service SYSLOG_IDENTIFIER=com.sentorix.desktop.extension -o cat)
check "journalctl -u sentorix.service holds the extension's lifecycle lines ($(grep -c . <<<"$lifecycle"))" \
  test -n "$lifecycle"
check "the system journal holds none of the events" \
  test -z "$(system_journal -F SENTORIX_FLOW_ID)$(system_journal -F SENTORIX_SIGNAL)"
routine=$(ct journalctl --namespace=sentorix -q --no-pager -u sentorix.service -t com.sentorix.desktop.extension -o cat |
  grep -c 'Handshake successful')
check "the extension's routine per-flow lines are in the namespace ($routine handshakes)" test "$routine" -ge 50
check "... and not in the system journal" \
  bash -c '! grep -q "Handshake successful" <<<"$1"' _ "$(system_journal -u sentorix.service -o cat)"
begun=$(date +%s%N)
requests 1000 sx-terminal-3.scope
recorded_ms=$((($(date +%s%N) - begun) / 1000000))
check "1,000 more requests are relayed ($new CONNECT in $recorded_ms ms)" test "$new" -eq 1000
check "and every one of their 3,000 events is in the journal" within 30 events_in_journal "$work/flows" /usr/bin/curl
note "$(cat "$work/events"), $((($(date +%s%N) - begun) / 1000000)) ms after the first request"
# A burst of short connections, eight curls side by side: journald's default rate limit (10,000 per
# 30 s) would drop most of its events, and the system journal must not see one.
begun=$(date +%s%N)
in_user_scope sx-terminal-4.scope sh -c 'for i in 1 2 3 4 5 6 7 8; do
    curl -s -m 120 "http://$0/?n=[1-2500]" -o /dev/null & done; wait' "$dst"
burst_ms=$((($(date +%s%N) - begun) / 1000000))
[ -n "$flows" ] && echo "$flows" >>"$work/flows"
check "a burst of 20,000 short connections is relayed ($new CONNECT in $burst_ms ms)" test "$new" -eq 20000
check "and every one of their 60,000 events is in the journal" within 60 events_in_journal "$work/flows" /usr/bin/curl
note "$(cat "$work/events"), $((($(date +%s%N) - begun) / 1000000)) ms after the first request"
check "the system journal holds none of the burst's events" \
  test -z "$(system_journal -F SENTORIX_FLOW_ID)$(system_journal -F SENTORIX_SIGNAL)"

# --- a journal that takes nothing: the monitor cannot write, and relaying must not notice
journald=$(ct systemctl show -p MainPID --value systemd-journald@sentorix.service)
monitor=$(ct systemctl show -p MainPID --value sentorix-monitor.service)
[[ $journald =~ ^[1-9][0-9]*$ ]] && ct kill -STOP "$journald" || { note "no journald to stop (pid '$journald')"; journald=; }
begun=$(date +%s%N)
# Enough events to fill journald's socket buffer many times over, so the monitor's writes block; a
# relay that waited on them would show as a time-out, not as hours.
in_user_scope sx-terminal-5.scope timeout 120 curl -s -m 3 "http://$dst/?n=[1-5000]" -o /dev/null
check "with the namespace's journald stopped${journald:+ (pid $journald)}, 5,000 requests are relayed as before ($new CONNECT in $((($(date +%s%N) - begun) / 1000000)) ms; 1,000 took $recorded_ms ms while it recorded)" \
  bash -c '[ "$1" -eq 0 ] && [ "$2" -eq 5000 ]' _ "$code" "$new"
echo "$flows" >"$work/stalled"
[ -n "$journald" ] && ct kill -CONT "$journald"
check "the monitor, blocked meanwhile, runs on in the same process" \
  test "$(ct systemctl show -p MainPID --value sentorix-monitor.service)" = "$monitor"
# A new flow each try, while the monitor may still be catching up; any of them recorded whole will do,
# and the latest may take a moment to be.
fresh_flows=
recorded_again() {
  local flow
  for flow in $fresh_flows; do
    [ "$(ct journalctl --namespace=sentorix -q -o cat "SENTORIX_FLOW_ID=$flow" | wc -l)" -eq 3 ] && return 0
  done
  in_user_scope sx-terminal-6.scope "${curl[@]}" "http://$dst/"
  fresh_flows+=" $flows"
  return 1
}
check "once journald resumes, the monitor records every event of a new flow again" within 20 recorded_again
kept=$(ct journalctl --namespace=sentorix -q -o json SENTORIX_APP_ID=/usr/bin/curl | python3 -c '
import json, sys
flows = set(open(sys.argv[1]).read().split())
print(sum(json.loads(line).get("SENTORIX_FLOW_ID") in flows for line in sys.stdin))' "$work/stalled")
note "of the 15,000 events of those requests $kept were recorded;" \
  "$(ct journalctl --namespace=sentorix -q -o cat -u sentorix-monitor.service _TRANSPORT=stdout | tail -n 1)"

# --- supervision
pid=$(extension_pid)
killed_seen=$(journal_count "was killed by signal 9")
silent_seen=$(journal_count "has not answered")
ct kill -STOP "$pid"
stopped_at=$(date +%s%N)
check "a stopped extension fails open: curl goes direct within 5 s" within 5 direct
note "direct after $((($(date +%s%N) - stopped_at) / 1000000)) ms"
check "the journal says it has not answered" within 2 journal_grew "has not answered" "$silent_seen"
ct kill -CONT "$pid"
check "after SIGCONT relaying resumes" within 5 relayed
check "... by the same extension" test "$(extension_pid)" = "$pid"
ct kill -KILL "$pid"
check "a killed extension is restarted by the service with a new pid" within 5 running_anew "$pid"
check "the journal gives the reason" within 2 journal_grew "was killed by signal 9" "$killed_seen"
after_extension_start
check "and relaying goes on" within 5 relayed
# Its runtime directory is kept across stops, control socket included: the next sentorixd must replace it.
listening_seen=$(journal_count "sentorixd: listening on")
ct kill -KILL "$(ct pidof sentorixd)"
check "a killed sentorixd is restarted and listens again, over the socket it left" \
  within 10 journal_grew "sentorixd: listening on" "$listening_seen"
within 5 connected
after_extension_start
as "$member" sentorix --status
check "and the member reads connected" printed "connected" 0

# --- stop and restart
ct systemctl stop sentorix.service
check "systemctl stop sentorix ends the extension" none "$(extension_pids)"
check "and leaves the monitor running, its socket in place" \
  ct sh -c "systemctl is-active -q sentorix-monitor.service && test -S $monitor_socket"
check "and leaves nothing redirected: curl goes direct" direct
check "... and a closed port fails to connect (exit 7)" closed_direct
ct systemctl restart sentorix.service
if ! within 5 connected; then
  note "the restarted service did not start the extension by itself: the member starts it"
  as "$member" sentorix --start-proxy
  within 5 connected
fi
after_extension_start
check "systemctl restart sentorix brings relaying back" within 5 relayed
as "$member" sentorix --status
check "and the member reads connected" printed "connected" 0

# --- removal
cp "$root$state_in/extension.log" "$work/extension.log" 2>/dev/null
ct apt-get remove -y -q sentorix >"$work/remove.log" 2>&1
check "apt-get remove -y sentorix succeeds" test $? -eq 0 || tail -n 20 "$work/remove.log"
check "the service is stopped" service_inactive
check "and the monitor" ct sh -c '! systemctl is-active -q sentorix-monitor.service'
check "and /run/sentorix is gone" ct test ! -e /run/sentorix
check "nothing of it runs" none "$(ct pidof sentorixd com.sentorix.desktop.extension)"
check "traffic goes direct" direct
check "... a closed port fails to connect (exit 7)" closed_direct
check "the state directory $state_in stays" ct test -d "$state_in"
ct apt-get purge -y -q sentorix >"$work/purge.log" 2>&1
check "apt-get purge -y sentorix succeeds" test $? -eq 0 || tail -n 20 "$work/purge.log"
check "and removes $state_in" ct test ! -e "$state_in"
[ "$failed" -gt 0 ] && diagnose
proxy_stop
container_down

# --- an upgrade, in a fresh system
if [ -n "$previous" ]; then
  echo "== upgrading from $(basename "$previous") with the proxy running, in a fresh system"
  failed_before=$failed
  container_up upgrade
  touch "$(plog)"
  ct dpkg -i /opt/sentorix-e2e/previous.deb >"$work/dpkg-previous.log" 2>&1
  check "the previous package installs" test $? -eq 0 || tail -n 20 "$work/dpkg-previous.log"
  ct usermod -aG sentorix "$member"
  as "$member" sentorix --start-proxy
  check "the member starts the proxy" printed "Proxy started" 0
  within 5 connected
  proxy_start
  check "requests are relayed" within 5 relayed
  pid=$(extension_pid)
  check "the running extension is the previous package's" test "$(running_sha)" = "$(bundled_sha "$previous")"
  configuration=$(saved_configurations)
  ct dpkg -i /opt/sentorix-e2e/new.deb >"$work/dpkg-upgrade.log" 2>&1
  check "dpkg -i of the new package over it succeeds" test $? -eq 0 || tail -n 20 "$work/dpkg-upgrade.log"
  check "a new extension runs" within 10 running_anew "$pid"
  actual=$(running_sha)
  check "its program is the new package's (sha256 ${actual:0:16})" test "$actual" = "$(bundled_sha "$deb")"
  check "the configuration is kept ($configuration)" test "$(saved_configurations)" = "$configuration"
  check "the monitor's unit, new to it, is enabled and active" \
    ct sh -c 'systemctl is-enabled -q sentorix-monitor.service && systemctl is-active -q sentorix-monitor.service'
  as "$member" sentorix --status
  check "the member reads connected without starting it again" printed "connected" 0
  after_extension_start
  check "and relaying goes on" within 5 relayed
  rm -f "$work/extension.log"
  [ "$failed" -gt "$failed_before" ] && diagnose
  proxy_stop
  container_down
fi

echo "systemd end to end: $passed passed, $failed failed ($(($(date +%s) - started)) s)"
[ "$failed" -eq 0 ]
