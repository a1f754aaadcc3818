#!/usr/bin/env bash
# Sentorix's events forwarded with rsyslog, as the shipped examples set it up: a Debian system booted
# under systemd (systemd-nspawn, its root an overlay of this machine's) writes N events into the
# journal namespace "sentorix" as the monitor does; rsyslog-sentorix.service, in the network namespace
# "desktop", forwards them over RELP to a collector rsyslog in the network namespace "collector",
# which is stopped for 10 s while the events are written. Every event must arrive; duplicates are
# counted. Needs root, systemd-nspawn, overlayfs, rsyslog and rsyslog-relp; skipped (77) otherwise.
#   forwarding_e2e.sh [N]
#   SENTORIX_FORWARDING_RESTART_DESKTOP=1   also restart the desktop's rsyslog while the collector is down
set -uo pipefail

n=${1:-3000}
restart_desktop=${SENTORIX_FORWARDING_RESTART_DESKTOP:-0}
[[ $n =~ ^[1-9][0-9]*$ ]] || { echo "usage: forwarding_e2e.sh [N]" >&2; exit 2; }
repo=$(cd "$(dirname "$0")/../.." && pwd)
examples=$repo/system/linux/package/examples

if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root to boot a container"; exit 77; fi
for tool in systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (apt-get install systemd-container)"; exit 77; }
done
[ -x /usr/sbin/rsyslogd ] && [ -e /usr/lib/x86_64-linux-gnu/rsyslog/omrelp.so ] ||
  { echo "SKIP: rsyslog with RELP is not installed (apt-get install rsyslog rsyslog-relp)"; exit 77; }
[ -x /lib/systemd/systemd ] || { echo "SKIP: this machine has no systemd to boot"; exit 77; }
grep -qw cgroup2 /proc/filesystems || { echo "SKIP: the kernel has no cgroup v2"; exit 77; }
grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null
grep -qw overlay /proc/filesystems || { echo "SKIP: the kernel has no overlayfs"; exit 77; }

work=$(mktemp -d /tmp/sentorix-forwarding-e2e.XXXXXX)
part=$work/ct root=$work/ct/root machine=sxforward$$
nspawn_pid= ct_pid=
events_in=/var/log/sentorix/events.jsonl

container_down() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null   # nspawn asks the container's systemd to power off
    local i
    for i in $(seq 150); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      [ -n "$ct_pid" ] && kill -KILL "$ct_pid" 2>/dev/null
      kill -KILL "$nspawn_pid" 2>/dev/null
    fi
    wait "$nspawn_pid" 2>/dev/null
  fi
  nspawn_pid= ct_pid=
  local mount
  for mount in "$root" "$part/layers"; do
    mountpoint -q "$mount" && { umount "$mount" 2>/dev/null || umount -l "$mount"; }
  done
}
cleanup() {
  container_down
  # Never through a mount still there: that would be the machine's own root.
  mountpoint -q "$root" || mountpoint -q "$part/layers" || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ct() {
  nsenter -t "$ct_pid" -a -r -w env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 "$@"
}
fail() { echo "FAIL: $*"; exit 1; }

started=$(date +%s)
echo "== booting a Debian system under systemd"
mkdir -p "$part/layers" "$root"
# Upper and work on a tmpfs: overlayfs refuses layers that overlap, and the lower layer is /.
mount -t tmpfs -o mode=755 sentorix-e2e "$part/layers" &&
  mkdir "$part/layers/upper" "$part/layers/work" &&
  mount -t overlay overlay -o "lowerdir=/,upperdir=$part/layers/upper,workdir=$part/layers/work" "$root" ||
  { echo "SKIP: cannot mount an overlay of / here"; exit 77; }
rm -f "$root/usr/sbin/policy-rc.d"   # this image refuses every service start
# Only what this test starts runs: the system rsyslog too would be one more reader to tell apart.
for unit in $(find "$root/etc/systemd/system" -mindepth 2 -maxdepth 2 -path '*.wants/*' -printf '%f\n') \
  console-getty.service getty@tty1.service rsyslog.service syslog.socket; do
  ln -sfn /dev/null "$root/etc/systemd/system/$unit"
done
ln -sfn /lib/systemd/system/multi-user.target "$root/etc/systemd/system/default.target"
# The shipped files, where the recipe puts them; the desktop's rsyslog runs in the namespace
# "desktop" and sends to the collector's address there.
install -m 644 "$examples/rsyslog-sentorix.service" "$root/etc/systemd/system/rsyslog-sentorix.service"
sed 's/target="collector.example.org"/target="192.0.2.2"/' "$examples/rsyslog-sentorix-forward.conf" \
  >"$root/etc/rsyslog-sentorix.conf"
mkdir -p "$root/etc/systemd/system/rsyslog-sentorix.service.d"
printf '[Service]\nNetworkNamespacePath=/run/netns/desktop\n' \
  >"$root/etc/systemd/system/rsyslog-sentorix.service.d/netns.conf"
# The collector as a central server runs it: the stock rsyslog.conf's globals, the shipped drop-in.
mkdir -p "$root/opt/sentorix-e2e/rsyslog.d"
install -m 644 "$examples/rsyslog-sentorix-collector.conf" "$root/opt/sentorix-e2e/rsyslog.d/"
printf '%s\n' 'global(workDirectory="/var/lib/sx-collector")' \
  'include(file="/opt/sentorix-e2e/rsyslog.d/*.conf")' >"$root/opt/sentorix-e2e/collector.conf"
cat >"$root/opt/sentorix-e2e/write-events.py" <<'EOF'
# Writes N events into the journal as the monitor does, one native entry each, paced over about
# SECONDS seconds; prints how many were sent to PROGRESS as it goes.
import json, socket, sys, time
n, seconds, progress = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.connect("/run/systemd/journal/socket")
def field(name, value):
    return name.encode() + b"=" + value.encode() + b"\n"
begin = time.monotonic()
for i in range(n):
    event = {"message_id": "sx-%06d" % i, "signal": "tunnelClosed", "flow_id": "flow-%d" % i,
             "app_id": "org.example.Browser", "level": "info"}
    entry = (field("MESSAGE", json.dumps(event, separators=(",", ":"))) + field("SENTORIX_SIGNAL", "tunnelClosed")
             + field("SENTORIX_CODE", "0") + field("SENTORIX_FLOW_ID", event["flow_id"])
             + field("SENTORIX_APP_ID", event["app_id"]) + field("SENTORIX_LEVEL", "info")
             + field("SYSLOG_IDENTIFIER", "sentorix-monitor") + field("PRIORITY", "6"))
    sock.send(entry)
    if i % 100 == 99:
        with open(progress, "w") as f:
            f.write("%d\n" % (i + 1))
    delay = begin + (i + 1) * seconds / n - time.monotonic()
    if delay > 0:
        time.sleep(delay)
with open(progress, "w") as f:
    f.write("%d\n" % n)
EOF

# Without a systemd of its own here, nspawn stays in this process's cgroup; under one, it asks for a
# delegated scope.
keep=(--keep-unit)
[ -d /run/systemd/system ] && keep=()
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -q -D "$root" -M "$machine" --register=no "${keep[@]}" \
  --boot --private-network --capability=all --console=read-only >"$part/console.log" 2>&1 </dev/null &
nspawn_pid=$!
for i in $(seq 100); do
  ct_pid=$(ps -o pid= --ppid "$nspawn_pid" 2>/dev/null | tr -d ' ' | head -n 1)
  [ -n "$ct_pid" ] && grep -qE '^NSpid:.*[[:space:]]1$' "/proc/$ct_pid/status" 2>/dev/null &&
    [ "$(cat "/proc/$ct_pid/comm" 2>/dev/null)" = systemd ] && break
  ct_pid=
  sleep 0.1
done
booted=
for i in $(seq 60); do
  [ -n "$ct_pid" ] || break
  booted=$(timeout 60 nsenter -t "$ct_pid" -a -r -w systemctl is-system-running --wait 2>/dev/null)
  [[ $booted == running || $booted == degraded ]] && break
  sleep 0.5
done
[[ $booted == running || $booted == degraded ]] || { tail -n 20 "$part/console.log"; fail "the container did not boot ($booted)"; }
echo "      booted in $(($(date +%s) - started)) s"

# --- two network namespaces, joined by a veth pair on documentation addresses
ct ip netns add desktop && ct ip netns add collector &&
  ct ip -n desktop link add sxdesk0 type veth peer name sxcoll0 netns collector &&
  ct ip -n desktop addr add 192.0.2.1/24 dev sxdesk0 && ct ip -n collector addr add 192.0.2.2/24 dev sxcoll0 &&
  ct ip -n desktop link set sxdesk0 up && ct ip -n collector link set sxcoll0 up &&
  ct ip -n desktop link set lo up && ct ip -n collector link set lo up || fail "cannot set up the network namespaces"

collector_start() {
  ct systemd-run --quiet --unit=sx-collector -p NetworkNamespacePath=/run/netns/collector \
    -p StateDirectory=sx-collector -- /usr/sbin/rsyslogd -n -iNONE -f /opt/sentorix-e2e/collector.conf || return 1
  local i
  for i in $(seq 50); do ct ip netns exec collector ss -Htln 'sport = :2514' | grep -q . && return 0; sleep 0.1; done
  return 1
}
received() { ct cat "$events_in" 2>/dev/null; }
ids() { received | sed -n 's/^{"message_id":"\(sx-[0-9]*\)".*/\1/p'; }

ct mkdir -p "${events_in%/*}"
collector_start || fail "the collector rsyslog does not listen on 192.0.2.2:2514"
ct systemctl start rsyslog-sentorix.service || { ct journalctl -q -u rsyslog-sentorix --no-pager | tail; fail "rsyslog-sentorix.service does not start"; }
echo "== writing $n events into the journal namespace sentorix; the collector stops for 10 s"
progress=/run/sx-progress
ct systemd-run --quiet --unit=sentorix-monitor -p LogNamespace=sentorix --collect -- \
  python3 /opt/sentorix-e2e/write-events.py "$n" 20 "$progress" || fail "cannot start the writer"
sent() { ct cat "$progress" 2>/dev/null || echo 0; }
for i in $(seq 300); do [ "$(sent)" -ge $((n / 4)) ] && break; sleep 0.1; done
ct systemctl stop sx-collector.service
echo "      collector stopped after $(sent) sent, $(ids | wc -l) received"
if [ "$restart_desktop" = 1 ]; then
  # Loses the events RELP had sent and the collector not yet acknowledged: they are neither in
  # rsyslog's queue nor before imjournal's cursor any more.
  sleep 5
  ct systemctl restart rsyslog-sentorix.service || fail "rsyslog-sentorix.service does not restart"
  echo "      desktop rsyslog restarted after $(sent) sent"
  sleep 5
else
  sleep 10
fi
ct systemctl reset-failed sx-collector.service 2>/dev/null
collector_start || fail "the collector does not start again"
echo "      collector started again after $(sent) sent"
for i in $(seq 600); do ct systemctl is-active -q sentorix-monitor.service || break; sleep 0.1; done
[ "$(sent)" -eq "$n" ] || fail "the writer stopped after $(sent) of $n events"
in_journal=$(ct journalctl -q --namespace=sentorix -o cat SYSLOG_IDENTIFIER=sentorix-monitor | grep -c '"message_id"')
echo "      the namespace's journal holds $in_journal events"
# Wait until every event arrived, or until nothing has arrived for 30 s.
last=-1 quiet_since=$(date +%s)
while :; do
  got=$(ids | sort -u | wc -l)
  [ "$got" -ge "$n" ] && break
  if [ "$got" -ne "$last" ]; then last=$got quiet_since=$(date +%s); fi
  [ $(($(date +%s) - quiet_since)) -ge 30 ] && break
  sleep 1
done

lines=$(received | wc -l)
unique=$(ids | sort -u | wc -l)
expected=$(seq -f 'sx-%06g' 0 $((n - 1)))
lost=$(comm -23 <(sort <<<"$expected") <(ids | sort -u) | wc -l)
strays=$(received | grep -cv '^{"message_id":"sx-[0-9]*",.*}$')
echo "sent $n received $lines duplicates $((lines - unique - strays))"
status=0
[ "$in_journal" -eq "$n" ] || { echo "FAIL: the journal namespace holds $in_journal of $n events"; status=1; }
[ "$lost" -eq 0 ] || { echo "FAIL: $lost events lost: $(comm -23 <(sort <<<"$expected") <(ids | sort -u) | head -n 5 | paste -sd' ') ..."; status=1; }
[ "$strays" -eq 0 ] || { echo "FAIL: $strays lines are not one event's JSON: $(received | grep -v '^{"message_id"' | head -n 2)"; status=1; }
if [ "$status" -ne 0 ]; then
  echo "---- rsyslog-sentorix.service"; ct journalctl -q -u rsyslog-sentorix --no-pager | tail -n 15
  echo "---- sx-collector.service"; ct journalctl -q -u sx-collector --no-pager | tail -n 15
fi
echo "forwarding end to end: $([ "$status" -eq 0 ] && echo passed || echo failed) ($(($(date +%s) - started)) s)"
exit "$status"
