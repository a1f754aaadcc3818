#!/usr/bin/env bash
# Builds the release tree and prints the micro-benchmarks as a table of medians over repetitions
# (cv is computed from the standard deviation: this Google Benchmark's CSV scales its cv row).
#   bench/run.sh [extra Google Benchmark flags]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSENTORIX_BENCH=ON >/dev/null
cmake --build "$root/build" -j "${SENTORIX_JOBS:-$(nproc)}" --target sentorix_bench >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$root/build/bin/sentorix_bench" --benchmark_repetitions=15 --benchmark_report_aggregates_only=true \
  --benchmark_format=csv "$@" 2>/dev/null >"$out"
printf '%-36s %12s %12s %10s\n' "benchmark" "median ns" "mean ns" "cv %"
awk -F, '
  /_median"?,/ { name=$1; gsub(/"/,"",name); sub(/_median$/,"",name); median[name]=$4; order[++n]=name }
  /_mean"?,/   { name=$1; gsub(/"/,"",name); sub(/_mean$/,"",name); mean[name]=$4 }
  /_stddev"?,/ { name=$1; gsub(/"/,"",name); sub(/_stddev$/,"",name); stddev[name]=$4 }
  END { for (i=1;i<=n;i++) { k=order[i]; printf "%-36s %12.1f %12.1f %10.2f\n", k, median[k], mean[k], 100*stddev[k]/mean[k] } }
' "$out"
