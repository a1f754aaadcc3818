#!/usr/bin/env bash
# Sentorix's events forwarded with rsyslog as the shipped examples set it up, on a Debian system booted
# under systemd with the package installed: a member starts the proxy from a desktop session, N
# requests are relayed over about 20 s, and the shipped monitor records their events in the journal
# namespace sentorix. rsyslog-sentorix.service, in the network namespace "desktop", forwards them over
# RELP to a collector rsyslog in the network namespace "collector", which is stopped for 10 s in the
# middle of the requests. Every event in the namespace's journal, the provider's start, stop and
# health events with the flows', must reach the collector as one JSON line; duplicates are counted.
# Needs root, systemd-nspawn, overlayfs, rsyslog and rsyslog-relp; skipped (77) otherwise.
#   forwarding_e2e.sh PACKAGE.deb [N]
#   SENTORIX_FORWARDING_RESTART_DESKTOP=1   also restart the desktop's rsyslog while the collector is down
set -uo pipefail

usage="usage: forwarding_e2e.sh PACKAGE.deb [N]"
[ $# -ge 1 ] && [ $# -le 2 ] && [ -f "$1" ] && [[ ${2:-1} =~ ^[1-9][0-9]*$ ]] || { echo "$usage" >&2; exit 2; }
deb=$(realpath "$1") previous=
n=${2:-1000}
restart_desktop=${SENTORIX_FORWARDING_RESTART_DESKTOP:-0}
repo=$(cd "$(dirname "$0")/../.." && pwd)
examples=$repo/system/linux/package/examples
. "$repo/tests/e2e/booted_container.sh"
booted_container_usable
[ -x /usr/sbin/rsyslogd ] && [ -e /usr/lib/x86_64-linux-gnu/rsyslog/omrelp.so ] ||
  { echo "SKIP: rsyslog with RELP is not installed (apt-get install rsyslog rsyslog-relp)"; exit 77; }

work=$(mktemp -d /tmp/sentorix-forwarding-e2e.XXXXXX)
requests=
cleanup() {
  [ -n "$requests" ] && kill "$requests" 2>/dev/null
  container_down && rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
fail() { echo "FAIL: $*"; exit 1; }
events_in=/var/log/sentorix/events.jsonl

started=$(date +%s)
echo "== booting a Debian system under systemd, the package installed"
container_up main
touch "$(plog)"
ct dpkg -i /opt/sentorix-e2e/new.deb >"$work/dpkg.log" 2>&1 || { tail -n 20 "$work/dpkg.log"; fail "dpkg -i"; }
ct usermod -aG sentorix "$member"
ct loginctl enable-linger "$member"   # a desktop session's manager: its environment comes from environment.d
within 5 ct systemctl is-active -q "user@$(ct id -u "$member").service" || fail "the member's manager does not start"
echo "      ready in $(($(date +%s) - started)) s"

# --- the recipe: the desktop's rsyslog in the namespace "desktop" sends to the collector's address there
ct ip netns add desktop && ct ip netns add collector &&
  ct ip -n desktop link add sxdesk0 type veth peer name sxcoll0 netns collector &&
  ct ip -n desktop addr add 198.51.100.1/24 dev sxdesk0 && ct ip -n collector addr add 198.51.100.2/24 dev sxcoll0 &&
  ct ip -n desktop link set sxdesk0 up && ct ip -n collector link set sxcoll0 up &&
  ct ip -n desktop link set lo up && ct ip -n collector link set lo up || fail "cannot set up the network namespaces"
install -m 644 "$examples/rsyslog-sentorix.service" "$root/etc/systemd/system/rsyslog-sentorix.service"
sed 's/target="collector.example.org"/target="198.51.100.2"/' "$examples/rsyslog-sentorix-forward.conf" \
  >"$root/etc/rsyslog-sentorix.conf"
mkdir -p "$root/etc/systemd/system/rsyslog-sentorix.service.d"
printf '[Service]\nNetworkNamespacePath=/run/netns/desktop\n' \
  >"$root/etc/systemd/system/rsyslog-sentorix.service.d/netns.conf"
# The collector as a central server runs it: the stock rsyslog.conf's globals, the shipped drop-in.
mkdir -p "$root/opt/sentorix-e2e/rsyslog.d"
install -m 644 "$examples/rsyslog-sentorix-collector.conf" "$root/opt/sentorix-e2e/rsyslog.d/"
printf '%s\n' 'global(workDirectory="/var/lib/sx-collector")' \
  'include(file="/opt/sentorix-e2e/rsyslog.d/*.conf")' >"$root/opt/sentorix-e2e/collector.conf"
ct systemctl daemon-reload

collector_start() {
  ct systemd-run --quiet --unit=sx-collector -p NetworkNamespacePath=/run/netns/collector \
    -p StateDirectory=sx-collector -- /usr/sbin/rsyslogd -n -iNONE -f /opt/sentorix-e2e/collector.conf || return 1
  within 5 ct sh -c "ip netns exec collector ss -Htln 'sport = :2514' | grep -q ."
}
ct mkdir -p "${events_in%/*}"
collector_start || fail "the collector rsyslog does not listen on 198.51.100.2:2514"
ct systemctl start rsyslog-sentorix.service ||
  { ct journalctl -q -u rsyslog-sentorix --no-pager | tail; fail "rsyslog-sentorix.service does not start"; }

# --- the member's session starts the proxy; the agent's proxy comes up after it, a health event
in_unit --machine="$member@.host" --user -- sentorix --start-proxy
[ "$out" = "Proxy started" ] || fail "the session's sentorix --start-proxy printed '$out'"
within 5 connected || fail "the extension does not connect"
proxy_start || fail "the proxy does not start"
relayed() { in_user_scope sx-probe.scope curl -s -o /dev/null -m 3 "http://$dst/"; [ "$code" -eq 0 ] && [ "$new" -eq 1 ]; }
within 10 relayed || fail "requests are not relayed"

echo "== $n requests relayed over about 20 s; the collector stops for 10 s"
connects() { grep -c '^sentorix-proxy: CONNECT ' "$(plog)"; }
before=$(connects)
(
  in_user_scope sx-terminal.scope curl -s -m 60 --rate "$(((n + 19) / 20))/s" "http://$dst/?n=[1-$n]" -o /dev/null
  echo "$code $new" >"$work/relayed"
) &
requests=$!
quarter_done() { [ $(($(connects) - before)) -ge $((n / 4)) ]; }
within 30 quarter_done || fail "the requests do not start"
ct systemctl stop sx-collector.service
echo "      collector stopped after $(($(connects) - before)) requests"
if [ "$restart_desktop" = 1 ]; then
  # Loses the events RELP had sent and the collector not yet acknowledged: they are neither in
  # rsyslog's queue nor before imjournal's cursor any more.
  sleep 5
  ct systemctl restart rsyslog-sentorix.service || fail "rsyslog-sentorix.service does not restart"
  echo "      desktop rsyslog restarted after $(($(connects) - before)) requests"
  sleep 5
else
  sleep 10
fi
ct systemctl reset-failed sx-collector.service 2>/dev/null
collector_start || fail "the collector does not start again"
echo "      collector started again after $(($(connects) - before)) requests"
wait "$requests"
requests=
read -r curl_code relayed_count <"$work/relayed" 2>/dev/null
[ "${curl_code:-1}" -eq 0 ] && [ "${relayed_count:-0}" -eq "$n" ] ||
  fail "${relayed_count:-0} of $n requests were relayed (curl exit ${curl_code:-?})"
in_unit --machine="$member@.host" --user -- sentorix --stop-proxy
[ "$out" = "Proxy stopped" ] || fail "the session's sentorix --stop-proxy printed '$out'"

# sent: every event the monitor recorded; received: the collector's lines. Prints the counts and
# what is missing, and fails until every event arrived.
compare() {
  python3 - "$root$events_in" "$1" <<'EOF'
import collections, json, sys
received_path, journal_path = sys.argv[1], sys.argv[2]
sent = {}
for line in open(journal_path):
    event = json.loads(json.loads(line)["MESSAGE"])
    sent[event["message_id"]] = event
received, strays = collections.Counter(), 0
try:
    for line in open(received_path, encoding="utf-8", errors="replace"):
        try:
            received[json.loads(line)["message_id"]] += 1
        except (ValueError, KeyError, TypeError):
            strays += 1
except FileNotFoundError:
    pass
lines = sum(received.values()) + strays
lost = [m for m in sent if m not in received]
signals = collections.Counter(event["current_signal"] for event in sent.values())
print("sent %d received %d duplicates %d lost %d strays %d; %s" % (
    len(sent), lines, sum(received.values()) - len(received), len(lost), strays,
    ", ".join("%s %d" % item for item in sorted(signals.items()))))
sys.exit(0 if sent and not lost and not strays else 1)
EOF
}
# Three events a flow; the start, the stop and the agent's proxy coming up. The last of them are
# written a moment after the stop returns.
recorded() {
  ct journalctl --namespace=sentorix -q -o json SYSLOG_IDENTIFIER=sentorix-monitor _TRANSPORT=journal >"$work/journal.json"
  python3 - "$work/journal.json" "$n" <<'EOF'
import collections, json, sys
signals = collections.Counter(json.loads(json.loads(line)["MESSAGE"])["current_signal"] for line in open(sys.argv[1]))
n = int(sys.argv[2])
want = {"connect_handshake_started": n, "connect_handshake_succeeded": n, "tunnel_closed": n,
        "provider_started": 1, "provider_stopped": 1, "proxy_recovered": 1}
short = {s: (signals[s], c) for s, c in want.items() if signals[s] < c}
if short:
    print("the namespace's journal lacks events: " + ", ".join("%s %d of %d" % (s, *v) for s, v in short.items()))
sys.exit(1 if short else 0)
EOF
}
status=0
within 10 recorded >/dev/null || { echo "FAIL: $(recorded)"; status=1; }
# Until every event arrived, or nothing more has for 30 s.
last= quiet_since=$(date +%s)
while ! result=$(compare "$work/journal.json"); do
  [ "$result" != "$last" ] && last=$result quiet_since=$(date +%s)
  [ $(($(date +%s) - quiet_since)) -ge 30 ] && break
  sleep 1
done
result=$(compare "$work/journal.json") || status=1
echo "$result"
if [ "$status" -ne 0 ]; then
  echo "---- rsyslog-sentorix.service"; ct journalctl -q -u rsyslog-sentorix --no-pager | tail -n 15
  echo "---- sx-collector.service"; ct journalctl -q -u sx-collector --no-pager | tail -n 15
fi
proxy_stop
echo "forwarding end to end: $([ "$status" -eq 0 ] && echo passed || echo failed) ($(($(date +%s) - started)) s)"
exit "$status"
