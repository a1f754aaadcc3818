#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, idempotently), then builds and runs the
# whole suite three times: plain (then builds the Debian package and tries it installed), under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer; last, the libFuzzer targets share a minute, a quarter each: the CONNECT response parser,
# the ClientHello server-name and HTTP Host readers, and the property-list reader.
# Run as root on a fresh Debian 12 machine, from anywhere in a clone.
#
#   SENTORIX_TEST_VARIANTS="release asan tsan fuzz"   which builds to test (default: all four)
#   SENTORIX_FUZZ_SECONDS=60                         how long the fuzzers run together
#   SENTORIX_JOBS=2                              parallel compile jobs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
variants=${SENTORIX_TEST_VARIANTS:-release asan tsan fuzz}
jobs=${SENTORIX_JOBS:-$(nproc)}

source "$root/tools/install-deps.sh"

# run_fuzzer TARGET SEED_DIRECTORY SECONDS DESCRIPTION
run_fuzzer() {
  local target=$1 seeds=$2 seconds=$3 corpus status=0
  corpus=$(mktemp -d)
  cp "$root/tests/fuzz/$seeds"/* "$corpus"/
  echo "== fuzz: ${seconds}s of $4"
  # A single input taking seconds is a finding too (runaway nesting or expansion).
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 \
    "$root/build-fuzz/bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 "$corpus" 2>&1 |
    tail -n 12 || status=$?
  rm -rf "$corpus"
  [ "$status" -eq 0 ] || { echo "test.sh: $target found a failure" >&2; exit 1; }
}

fuzz() {
  local seconds=${SENTORIX_FUZZ_SECONDS:-60}
  # libFuzzer reads 0 seconds as "no limit": each gets one at least. The last takes what division leaves.
  local quarter=$((seconds > 4 ? seconds / 4 : 1)) last
  last=$((seconds > 4 ? seconds - 3 * quarter : 1))
  echo "== fuzz: build the parser and property-list fuzzers (build-fuzz, clang)"
  CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSENTORIX_SANITIZE=address -DSENTORIX_FUZZ=ON -DSENTORIX_BENCH=OFF >/dev/null
  cmake --build "$root/build-fuzz" -j "$jobs" --target parser_fuzzer client_hello_fuzzer http_host_fuzzer plist_fuzzer
  run_fuzzer parser_fuzzer corpus "$quarter" "random chunkings"
  run_fuzzer client_hello_fuzzer client-hello-corpus "$quarter" "ClientHellos and their prefixes, as sent and re-cut into records"
  run_fuzzer http_host_fuzzer http-host-corpus "$quarter" "request heads and their prefixes"
  run_fuzzer plist_fuzzer plist-corpus "$last" "raw bytes read as property lists"
}

# Runs an end-to-end script; its exit status 77 is a skip, with the reason it printed.
run_e2e() {
  local status=0
  "$@" || status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 77 ] || { echo "test.sh: $(basename "$1") failed" >&2; exit 1; }
}

# Builds the package of the commit before this one apart (no tests) and prints its path, for the
# upgrade test; prints nothing where there is no such commit.
previous_package() {
  local at=$root/build-previous
  git -C "$root" rev-parse -q --verify HEAD~1 >/dev/null || return 0
  rm -rf "$at" && mkdir -p "$at/src"
  git -C "$root" archive HEAD~1 | tar -x -C "$at/src"
  cmake -S "$at/src" -B "$at/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DSENTORIX_TESTS=OFF -DSENTORIX_BENCH=OFF >&2
  CMAKE_BUILD_PARALLEL_LEVEL=$jobs "$at/src/tools/package.sh" "$at/build"
}

build_and_test() {
  local variant=$1 dir sanitize bench
  [ "$variant" = fuzz ] && { fuzz; return; }
  case "$variant" in
    release) dir=build;       sanitize="";        bench=ON ;;
    asan)    dir=build-asan;  sanitize="address"; bench=OFF ;;
    tsan)    dir=build-tsan;  sanitize="thread";  bench=OFF ;;
    *) echo "test.sh: unknown variant '$variant'" >&2; exit 2 ;;
  esac
  echo "== $variant: configure and build ($dir)"
  cmake -S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSENTORIX_SANITIZE="$sanitize" -DSENTORIX_BENCH="$bench" >/dev/null
  cmake --build "$root/$dir" -j "$jobs"
  echo "== $variant: tests"
  (
    cd "$root/$dir"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
    # ThreadSanitizer cannot map its shadow memory under the widest address randomisation.
    runner=()
    if [ "$variant" = tsan ] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
    "${runner[@]}" ctest --output-on-failure -j 2 --timeout 300
  )
  if [ "$variant" = release ]; then
    # The package as a user meets it: installed, driven from another account, then removed.
    echo "== release: the Debian package (tools/package.sh), installed and used end to end"
    local deb
    deb=$("$root/tools/package.sh" "$root/$dir")
    "$root/tests/e2e/package_e2e.sh" "$deb" "$root/$dir/screenshots"
    echo "== release: the package on a Debian system booted with systemd in a container, and an upgrade"
    local previous
    previous=$(previous_package)
    run_e2e "$root/tests/e2e/systemd_e2e.sh" "$deb" ${previous:+"$previous"}
    echo "== release: the monitoring events forwarded by rsyslog, in a container booted with systemd"
    run_e2e "$root/tests/e2e/forwarding_e2e.sh" "$deb"
    echo "== release: headless Chromium through the extension, QUIC refused"
    run_e2e "$root/tests/e2e/browser_e2e.sh" "$root/$dir/bin" "$root/$dir/screenshots"
  fi
}

sentorix_install_packages
for variant in $variants; do
  build_and_test "$variant"
done
echo "== all test variants passed: $variants"
