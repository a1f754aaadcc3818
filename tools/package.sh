#!/usr/bin/env bash
# Builds the Debian package with CPack, checks it with lintian and prints its path, alone on standard
# output (the build's own output goes to standard error).
#   tools/package.sh [BUILD_DIR]     (default: build in the repository root)
# Fails when lintian reports an error; its warnings are shown but allowed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build}")
jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}

for tool in cmake cpack dpkg dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "package.sh: $tool is missing (see tools/install-deps.sh)" >&2; exit 1; }
done

# A tree configured for another prefix would put the bundle where the symlink and the unit do not look.
if [ -f "$build/CMakeCache.txt" ]; then
  prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
  [ "$prefix" = /usr ] || cmake -DCMAKE_INSTALL_PREFIX=/usr "$build" >&2
else
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr >&2
fi
cmake --build "$build" -j "$jobs" >&2

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$build/sentorix_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
(cd "$build" && cpack -G DEB --config CPackConfig.cmake >&2)
[ -f "$deb" ] || { echo "package.sh: cpack did not produce $deb" >&2; exit 1; }

# lintian's status covers its errors; the grep holds too should its failing level be configured lower.
status=0
report=$(lintian --tag-display-limit 0 "$deb" 2>&1) || status=$?
[ -z "$report" ] || printf '%s\n' "$report" >&2
if [ "$status" -ne 0 ] || grep -q '^E: ' <<<"$report"; then
  echo "package.sh: lintian found errors in $deb" >&2
  exit 1
fi
echo "$deb"
