#!/usr/bin/env bash
# Screenshots of the control window in its three states (stopped, indeterminate, running), taken under
# Xvfb with the real application and platform. The states are staged in temporary state directories:
# no configuration (stopped), and an enabled configuration whose extension reports "connecting"
# (indeterminate) or "connected" (running). Needs no root once the packages are there.
#   tools/screenshots.sh [OUTPUT_DIR]     (default: build/screenshots)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/screenshots}
packages=(xvfb xauth imagemagick)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "screenshots.sh: missing packages: ${missing[*]} (run as root to install)" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
source "$root/tools/install-deps.sh"
sentorix_install_packages
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target sentorix >/dev/null
mkdir -p "$out"

shoot() {  # shoot NAME [STATUS_WORD]
  local name=$1 word=${2:-} state stager=
  state=$(mktemp -d)
  if [ -n "$word" ]; then
    python3 "$root/tools/stage-status.py" "$state" "$word" >"$state/stager.log" &
    stager=$!
    for i in $(seq 50); do grep -q staged "$state/stager.log" 2>/dev/null && break; sleep 0.1; done
  fi
  SENTORIX_STATE_DIR=$state xvfb-run -a -s "-screen 0 480x240x24" bash -c '
    "$0" & app=$!
    sleep 2
    import -window root "$1"
    kill $app' "$root/build/bin/sentorix" "$out/window-$name.png"
  [ -n "$stager" ] && kill "$stager"
  rm -rf "$state"
  echo "  $out/window-$name.png"
}

echo "== screenshots"
shoot stopped
shoot indeterminate connecting
shoot running connected
