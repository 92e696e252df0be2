#!/usr/bin/env bash
# Sets up a Debian 12 machine for Quorvel (installing only what is missing), builds
# it, and then runs the test suite ("test"), the example conversation ("example") or
# the standard benchmarks ("bench").
# Usage: scripts/dev.sh test | example | bench | package | build
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${QUORVEL_BUILD_DIR:-$here/build}"
task="${1:-test}"

# Debian packages the build and the tests need, each with a file that shows it is there.
need=()
check() { [ -e "$2" ] || need+=("$1"); }
check g++ /usr/bin/g++
check cmake /usr/bin/cmake
check make /usr/bin/make
check flex /usr/bin/flex
check bison /usr/bin/bison
check libgtest-dev /usr/include/gtest/gtest.h
check libgmock-dev /usr/include/gmock/gmock.h
[ "$task" != package ] || check dpkg-dev /usr/bin/dpkg-shlibdeps
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

cmake -S "$here" -B "$build" -DQUORVEL_WERROR=ON ${QUORVEL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"

case "$task" in
  build) ;;
  test) ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ;;
  example) bash "$here/examples/conversation.sh" "$build/filter/quorvel" ;;
  bench) "$build/bench/quorvel_bench" --standard ;;
  package) (cd "$build" && cpack) ;;
  *) echo "usage: $0 test | example | bench | package | build" >&2; exit 2 ;;
esac
