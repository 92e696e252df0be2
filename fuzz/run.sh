#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs one target, or all of them, for a while.
# Usage: fuzz/run.sh TARGET|all [SECONDS]   (targets: settings engine message subscriber)
# Inputs found are kept in $QUORVEL_FUZZ_DIR/corpus/TARGET (default build-fuzz),
# beside the seeds in fuzz/corpus/TARGET; a failing input is written to
# $QUORVEL_FUZZ_DIR/artifacts/TARGET/. Exits non-zero when a target fails.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${QUORVEL_FUZZ_DIR:-$here/build-fuzz}"
which="${1:-all}"
seconds="${2:-60}"
targets=(settings engine message subscriber)
[ "$which" = all ] || targets=("$which")

need=()
[ -e /usr/bin/clang++ ] || need+=(clang)
ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
  need+=(libclang-rt-14-dev)
if [ "${#need[@]}" -gt 0 ]; then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DQUORVEL_FUZZ=ON -DQUORVEL_TESTS=OFF \
  -DQUORVEL_WERROR=ON -DQUORVEL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

# Longest input per target: subscriber files are read in 64 KiB blocks, so their
# inputs may cross a block boundary.
max_len() { case "$1" in subscriber) echo 196608 ;; *) echo 65536 ;; esac; }

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  log="$build/$target.log"
  echo "== fuzzing $target for $seconds s (log: $log)"
  if "$build/fuzz/${target}_fuzz" "$corpus" "$here/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len="$(max_len "$target")" -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" >"$log" 2>&1; then
    awk '/^stat::number_of_executed_units/ {runs=$2} /^stat::peak_rss_mb/ {rss=$2}
         /^#[0-9]+.*(DONE|pulse|NEW|REDUCE)/ {for (i = 1; i <= NF; i++) if ($i == "cov:") cov=$(i+1)}
         END {printf "   %s runs, %s coverage points, peak %s MB\n", runs, cov, rss}' "$log"
  else
    echo "   FAILED; the end of the log:"
    tail -n 40 "$log"
    failed+=("$target")
  fi
done
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz targets failed: ${failed[*]}"
  exit 1
fi
