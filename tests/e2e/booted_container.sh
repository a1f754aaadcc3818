# Sourced by the end-to-end tests that boot a Debian system under systemd: a container
# (systemd-nspawn) whose root is an overlay of this machine's own, so the package's dependencies are
# there and nothing here changes. It has two users, a destination web server in a network namespace
# of its own at $dst, and the corporate agent's proxy on 127.0.0.1:8080 once proxy_start runs.
# The caller sets $repo (this checkout), $work (a directory of its own), $deb (the package) and
# $previous (the package to upgrade from, or empty).

# booted_container_usable: exits 77 with the reason where no container can boot here
booted_container_usable() {
  if [ "$(id -u)" -ne 0 ]; then echo "SKIP: needs root to boot a container"; exit 77; fi
  for tool in systemd-nspawn nsenter dpkg-deb sha256sum; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (apt-get install systemd-container)"; exit 77; }
  done
  [ -x /lib/systemd/systemd ] || { echo "SKIP: this machine has no systemd to boot"; exit 77; }
  grep -qw cgroup2 /proc/filesystems || { echo "SKIP: the kernel has no cgroup v2"; exit 77; }
  grep -qw overlay /proc/filesystems || modprobe overlay 2>/dev/null
  grep -qw overlay /proc/filesystems || { echo "SKIP: the kernel has no overlayfs"; exit 77; }
}

part= nspawn_pid= ct_pid= machine= root=
member=sxmember outsider=sxoutsider outsider_uid=
dst=192.0.2.2
plog_in=/var/log/sentorix-e2e/proxy.log
state_in=/var/lib/sentorix

# --- the container
container_down() {
  [ -n "$part" ] || return 0
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null   # nspawn asks the container's systemd to power off
    local i
    for i in $(seq 150); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$nspawn_pid" 2>/dev/null; then
      # The container's pid 1 takes its whole pid namespace with it.
      [ -n "$ct_pid" ] && kill -KILL "$ct_pid" 2>/dev/null
      kill -KILL "$nspawn_pid" 2>/dev/null
    fi
    wait "$nspawn_pid" 2>/dev/null
  fi
  nspawn_pid= ct_pid=
  local mount
  for mount in "$part/root" "$part/layers"; do
    mountpoint -q "$mount" && { umount "$mount" 2>/dev/null || umount -l "$mount"; }
  done
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null
  # Never through a mount still there: that would be the machine's own root. Fails then, so that the
  # caller keeps its own directory too.
  if mountpoint -q "$part/root" || mountpoint -q "$part/layers"; then
    echo "container_down: $part is still mounted: left in place" >&2
    return 1
  fi
  rm -rf "$part"
  part=
}

# container_up NAME: boots a fresh container; its root is $root, its pid 1 $ct_pid
container_up() {
  part=$work/$1 machine=sxsystemd$$$1
  root=$part/root
  mkdir -p "$part/layers" "$root"
  # Upper and work on a tmpfs: overlayfs refuses layers that overlap, and the lower layer is /.
  mount -t tmpfs -o mode=755 sentorix-e2e "$part/layers" &&
    mkdir "$part/layers/upper" "$part/layers/work" &&
    mount -t overlay overlay -o "lowerdir=/,upperdir=$part/layers/upper,workdir=$part/layers/work" "$root" ||
    { echo "SKIP: cannot mount an overlay of / here"; exit 77; }
  # Copied up now: another test may install on this machine meanwhile, and its changes to the lower
  # layer must not show in here.
  touch -c "$root"/etc/{passwd,group,shadow,gshadow} "$root/var/lib/dpkg/status"
  rm -f "$root/usr/sbin/policy-rc.d"   # this image refuses every service start
  # Whatever this machine enables would only slow the boot down, and a system rsyslog would be one
  # more reader of the journal; sentorix's own units stay untouched.
  local unit enabled
  enabled=$(find "$root/etc/systemd/system" -mindepth 2 -maxdepth 2 -path '*.wants/*' -printf '%f\n')
  for unit in $enabled console-getty.service getty@tty1.service rsyslog.service syslog.socket; do
    [[ $unit == sentorix* ]] || ln -sfn /dev/null "$root/etc/systemd/system/$unit"
  done
  ln -sfn /lib/systemd/system/multi-user.target "$root/etc/systemd/system/default.target"
  mkdir -p "$root/opt/sentorix-e2e" "$root${plog_in%/*}"
  cp "$deb" "$root/opt/sentorix-e2e/new.deb"
  [ -n "$previous" ] && cp "$previous" "$root/opt/sentorix-e2e/previous.deb"
  cp "$repo/tools/destination-server.py" "$root/opt/sentorix-e2e/"
  # Without a systemd of its own here, nspawn stays in this process's cgroup; under one, it asks
  # for a delegated scope.
  local keep=(--keep-unit)
  [ -d /run/systemd/system ] && keep=()
  # Unified cgroups as on a Debian 12 desktop, whatever this machine's own layout.
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -q -D "$root" -M "$machine" --register=no "${keep[@]}" \
    --boot --private-network --capability=all --system-call-filter='bpf perf_event_open' \
    --console=read-only >"$part/console.log" 2>&1 </dev/null &
  nspawn_pid=$!
  local i
  for i in $(seq 100); do
    ct_pid=$(ps -o pid= --ppid "$nspawn_pid" 2>/dev/null | tr -d ' ' | head -n 1)
    # Pid 1 of its own namespace, once it runs systemd.
    [ -n "$ct_pid" ] && grep -qE '^NSpid:.*[[:space:]]1$' "/proc/$ct_pid/status" 2>/dev/null &&
      [ "$(cat "/proc/$ct_pid/comm" 2>/dev/null)" = systemd ] && break
    ct_pid=
    sleep 0.1
  done
  local booted=
  for i in $(seq 60); do
    [ -n "$ct_pid" ] || break
    booted=$(timeout 60 nsenter -t "$ct_pid" -a -r -w systemctl is-system-running --wait 2>/dev/null)
    [[ $booted == running || $booted == degraded ]] && break
    sleep 0.5
  done
  if [[ $booted != running && $booted != degraded ]]; then
    echo "FAIL: the container did not boot ($booted)"; tail -n 20 "$part/console.log"; exit 1
  fi
  # A package installed on this machine is in the lower layer: out with it first.
  ct dpkg --purge sentorix >/dev/null 2>&1
  ct useradd --create-home --shell /bin/bash "$member" && ct useradd --create-home --shell /bin/bash "$outsider" ||
    { echo "FAIL: cannot create the users"; exit 1; }
  ct loginctl enable-linger "$outsider"   # its own manager, for desktop scopes and services
  # The destination: a network namespace of the container's, over a veth pair.
  ct ip link set lo up &&
    ct ip netns add sxdst &&
    ct ip link add sxhost0 type veth peer name sxdst0 netns sxdst &&
    ct ip addr add 192.0.2.1/24 dev sxhost0 && ct ip link set sxhost0 up &&
    ct ip -n sxdst addr add "$dst/24" dev sxdst0 && ct ip -n sxdst link set sxdst0 up &&
    ct ip -n sxdst link set lo up &&
    ct systemd-run --quiet --unit=sx-destination -p NetworkNamespacePath=/run/netns/sxdst \
      python3 /opt/sentorix-e2e/destination-server.py 80 || { echo "FAIL: cannot set up the destination"; exit 1; }
  for i in $(seq 50); do
    ct curl -s -m 1 -o /dev/null "http://$dst/" && break
    sleep 0.1
  done
  outsider_uid=$(ct id -u "$outsider")
  for i in $(seq 50); do ct systemctl is-active -q "user@$outsider_uid.service" && break; sleep 0.1; done
}

# Runs in the container, outside its units (not seen by the kernel programs).
ct() {
  nsenter -t "$ct_pid" -a -r -w env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}
# in_unit SYSTEMD-RUN-OPTION... -- COMMAND...: in a unit of the container's, waited for; $out, $status
in_unit() { out=$(ct systemd-run --quiet --wait --pipe --collect "$@" </dev/null 2>&1); status=$?; }
# as USER COMMAND...: the command line, as USER in a system unit
as() { local user=$1; shift; in_unit --uid="$user" -- "$@"; }

plog() { echo "$root$plog_in"; }
proxy_start() {
  local seen; seen=$(grep -c listening "$(plog)" 2>/dev/null)
  ct systemd-run --quiet --unit=corp-agent --collect -p "StandardOutput=append:$plog_in" \
    -p "StandardError=append:$plog_in" -- sentorix-proxy --listen 127.0.0.1:8080 --verbose
  local i
  for i in $(seq 50); do [ "$(grep -c listening "$(plog)" 2>/dev/null)" -gt "${seen:-0}" ] && return 0; sleep 0.1; done
  return 1
}
proxy_stop() { ct systemctl stop corp-agent 2>/dev/null; }

# observe SYSTEMD-RUN-OPTION... -- COMMAND...: in a unit; its exit status in $code, the CONNECTs it
# made in $new and their identifiers in $ids
observe() {
  local mark fresh
  mark=$(wc -l <"$(plog)")
  in_unit "$@"
  code=$status
  fresh=$(tail -n +$((mark + 1)) "$(plog)")
  new=$(grep -c '^sentorix-proxy: CONNECT ' <<<"$fresh")
  ids=$(sed -n 's/^X-Sentorix-App-Id: //p' <<<"$fresh" | sed 's/^$/(empty)/' | sort -u | paste -sd, -)
  flows=$(sed -n 's/^X-Sentorix-Flow-Id: //p' <<<"$fresh" | tr -d '\r')
}
within() {  # within SECONDS COMMAND...: true once COMMAND is, before SECONDS pass
  local deadline=$(($(date +%s%N) + $1 * 1000000000)); shift
  while [ "$(date +%s%N)" -lt "$deadline" ]; do "$@" && return 0; sleep 0.2; done
  return 1
}

extension_pids() { ct pidof com.sentorix.desktop.extension; }
extension_pid() { local pids; pids=$(extension_pids); [[ $pids =~ ^[0-9]+$ ]] && echo "$pids"; }
connected() { [ "$(sed -n 1p "$root$state_in/extension.status" 2>/dev/null)" = connected ]; }
in_user_scope() {  # in_user_scope SCOPE COMMAND...: in a scope of the outsider's own manager
  local scope=$1; shift
  observe --uid="$outsider" -E "XDG_RUNTIME_DIR=/run/user/$outsider_uid" -- systemd-run --user --scope --quiet --unit="$scope" "$@"
}
