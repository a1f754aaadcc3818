#!/usr/bin/env bash
# The ring check stops the build for each way a ring can reach past its interface, and passes a
# tree that keeps to its rings.
#   ring_check_test.sh SOURCE_ROOT
set -uo pipefail
source_root=${1:?usage: ring_check_test.sh SOURCE_ROOT}
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
passed=0 failed=0

lay_out() {
  rm -rf "$tree"/*
  mkdir -p "$tree"/extension/{platform,provider} "$tree"/app/platform "$tree"/system/linux/{common,host}
  echo '#include "platform/NSError.h"' >"$tree/extension/provider/Provider.cpp"
  echo '#pragma once' >"$tree/extension/provider/Provider.h"
  echo '#pragma once' >"$tree/extension/platform/NSError.h"
  echo '#pragma once' >"$tree/system/linux/common/SecureDirectory.h"
  echo '#include "NSError.h"' >"$tree/system/linux/host/Store.cpp"
  echo '#include "SecureDirectory.h"' >"$tree/extension/ExtensionMain.cpp"
}
expect() {  # expect pass|fail DESCRIPTION
  local outcome=pass
  cmake -DSENTORIX_RING_ROOT="$tree" -P "$source_root/cmake/RingCheck.cmake" >"$tree.out" 2>&1 || outcome=fail
  if [ "$outcome" = "$1" ]; then passed=$((passed + 1)); echo "ok:   $2"
  else failed=$((failed + 1)); echo "FAIL: $2"; cat "$tree.out"; fi
  rm -f "$tree.out"
}

lay_out
expect pass "a tree that keeps to its rings, with a composition root that sees them all"
lay_out; echo '#include "SecureDirectory.h"' >>"$tree/extension/provider/Provider.cpp"
expect fail "a core file including a header of the Linux ring"
lay_out; echo '#include "../../system/linux/common/SecureDirectory.h"' >>"$tree/extension/provider/Provider.cpp"
expect fail "a core file reaching the Linux ring by a relative path"
lay_out; echo '#include <linux/netfilter_ipv4.h>' >>"$tree/extension/provider/Provider.cpp"
expect fail "a core file including a kernel header"
lay_out; echo '#include "Provider.h"' >>"$tree/system/linux/host/Store.cpp"
expect fail "a Linux file including the core's internals"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
