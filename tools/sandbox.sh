#!/usr/bin/env bash
# Network namespaces for the demo and the end-to-end tests. Sourced; needs root.
#   <prefix>-app: the applications, the local proxy, the monitoring listener and the extension
#   <prefix>-dst: the destination servers, reached over a veth pair on documentation addresses
#                 (192.0.2.1/2 and 2001:db8::1/2), so no traffic leaves the machine.

SX_APP_V4=192.0.2.1
SX_DST_V4=192.0.2.2
SX_APP_V6=2001:db8::1
SX_DST_V6=2001:db8::2

# sx_sandbox_up PREFIX WORKDIR
sx_sandbox_up() {
  local prefix=$1 work=$2 root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  SX_APP=$prefix-app
  SX_DST=$prefix-dst
  SX_WORK=$work
  SX_CGROUPS=()
  sx_sandbox_down_quietly
  ip netns add "$SX_APP"
  ip netns add "$SX_DST"
  ip link add "${prefix:0:8}a0" type veth peer name "${prefix:0:8}d0"
  ip link set "${prefix:0:8}a0" netns "$SX_APP"
  ip link set "${prefix:0:8}d0" netns "$SX_DST"
  ip -n "$SX_APP" addr add $SX_APP_V4/24 dev "${prefix:0:8}a0"
  ip -n "$SX_DST" addr add $SX_DST_V4/24 dev "${prefix:0:8}d0"
  ip -n "$SX_APP" addr add $SX_APP_V6/64 dev "${prefix:0:8}a0" nodad
  ip -n "$SX_DST" addr add $SX_DST_V6/64 dev "${prefix:0:8}d0" nodad
  ip -n "$SX_APP" link set lo up
  ip -n "$SX_DST" link set lo up
  ip -n "$SX_APP" link set "${prefix:0:8}a0" up
  ip -n "$SX_DST" link set "${prefix:0:8}d0" up
  openssl req -x509 -newkey rsa:2048 -nodes -subj "/CN=$SX_DST_V4" -days 2 \
    -keyout "$work/dst.key" -out "$work/dst.crt" >/dev/null 2>&1
  ip netns exec "$SX_DST" python3 "$root/tools/destination-server.py" 80 >"$work/dst80.log" 2>&1 &
  SX_DST_PIDS=($!)
  ip netns exec "$SX_DST" python3 "$root/tools/destination-server.py" 443 --tls "$work/dst.crt" "$work/dst.key" \
    >"$work/dst443.log" 2>&1 &
  SX_DST_PIDS+=($!)
  local i
  for i in $(seq 50); do
    ip netns exec "$SX_APP" curl -s -m 1 -o /dev/null "http://$SX_DST_V4/" && return 0
    sleep 0.1
  done
  echo "sandbox: the destination server did not come up" >&2
  return 1
}

sx_sandbox_down_quietly() {
  local pid
  for pid in "${SX_DST_PIDS[@]:-}"; do [ -n "$pid" ] && { kill "$pid" 2>/dev/null || true; }; done
  SX_DST_PIDS=()
  local ns dir
  for ns in "${SX_APP:-}" "${SX_DST:-}"; do
    [ -n "$ns" ] || continue
    { ip netns pids "$ns" 2>/dev/null || true; } | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  for dir in "${SX_CGROUPS[@]:-}"; do [ -n "$dir" ] && { rmdir "$dir" 2>/dev/null || true; }; done
  SX_CGROUPS=()
  true
}

sx_sandbox_down() { sx_sandbox_down_quietly; }

# sx_app COMMAND...: runs a command in the application namespace. For a process put in the
# background, call `ip netns exec "$SX_APP"` directly, so that $! is the process itself.
sx_app() { ip netns exec "$SX_APP" "$@"; }

# sx_run_in_unit UNIT COMMAND...: runs a command in the application namespace inside a cgroup named
# like a desktop unit (UNIT is e.g. com.example.App.service), as systemd would place it.
sx_run_in_unit() {
  local unit=$1 base dir
  shift
  if [ -f /sys/fs/cgroup/cgroup.procs ] && [ ! -d /sys/fs/cgroup/unified ]; then
    base=/sys/fs/cgroup            # cgroup v2 only
  elif [ -d /sys/fs/cgroup/unified ]; then
    base=/sys/fs/cgroup/unified    # hybrid: the v2 hierarchy beside v1
  else
    base=/sys/fs/cgroup/systemd    # v1 with systemd's named hierarchy
  fi
  dir=$base/sentorix-sandbox.slice/$unit
  mkdir -p "$dir"
  SX_CGROUPS=("$dir" "$base/sentorix-sandbox.slice" "${SX_CGROUPS[@]}")
  sh -c 'echo $$ > "$1/cgroup.procs" && shift && exec "$@"' sh "$dir" ip netns exec "$SX_APP" "$@"
}

# sx_wait_for FILE PATTERN SECONDS [SEEN]: waits until more than SEEN lines (default none) of FILE
# match the extended regex PATTERN. A program restarted onto the log it appends to passes SEEN, taken
# with sx_count before the start, so that its predecessor's line does not count.
sx_wait_for() {
  local file=$1 pattern=$2 seconds=$3 seen=${4:-0} i
  for i in $(seq $((seconds * 20))); do
    [ "$(sx_count "$file" "$pattern")" -gt "$seen" ] && return 0
    sleep 0.05
  done
  return 1
}
# sx_count FILE PATTERN: how many lines of FILE match the extended regex PATTERN (0 with no FILE).
sx_count() { cat "$1" 2>/dev/null | grep -cE "$2"; }
