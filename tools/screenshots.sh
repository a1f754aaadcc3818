#!/usr/bin/env bash
# Screenshots of the control window in its three states (stopped, indeterminate, running), taken under
# Xvfb with the real application and platform. The states are staged in temporary state directories,
# each read by a Sentorix service (sentorixd) of its own that the window asks: no configuration
# (stopped), and an enabled configuration whose extension reports "connecting" (indeterminate) or
# "connected" (running). Needs root: the service runs only as root.
#   tools/screenshots.sh [OUTPUT_DIR]     (default: build/screenshots)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "screenshots.sh: run as root (the Sentorix service the window asks needs it)" >&2; exit 1; }
out=${1:-$root/build/screenshots}
packages=(xvfb xauth imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
source "$root/tools/install-deps.sh"
sentorix_install_packages
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target sentorix sentorixd >/dev/null
mkdir -p "$out"

shoot() {  # shoot NAME [STATUS_WORD]
  local name=$1 word=${2:-} work state stager= service
  work=$(mktemp -d)
  state=$work/state
  if [ -n "$word" ]; then
    python3 "$root/tools/stage-status.py" "$state" "$word" >"$work/stager.log" &
    stager=$!
    for i in $(seq 50); do grep -q staged "$work/stager.log" 2>/dev/null && break; sleep 0.1; done
  fi
  export SENTORIX_CONTROL_SOCKET=$work/sentorixd.sock
  SENTORIX_STATE_DIR=$state "$root/build/bin/sentorixd" 2>"$work/sentorixd.log" &
  service=$!
  for i in $(seq 50); do grep -q "^sentorixd: listening on " "$work/sentorixd.log" && break; sleep 0.1; done
  xvfb-run -a -s "-screen 0 480x240x24" bash -c '
    "$0" & app=$!
    sleep 2
    import -window root "$1"
    kill $app' "$root/build/bin/sentorix" "$out/window-$name.png"
  # The service before the stager: with the stager's lock gone it would try to start the extension.
  kill -TERM "$service"; wait "$service" || true
  [ -n "$stager" ] && kill "$stager"
  rm -rf "$work"
  echo "  $out/window-$name.png"
}

echo "== screenshots"
shoot stopped
shoot indeterminate connecting
shoot running connected
