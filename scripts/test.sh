#!/usr/bin/env bash
# Builds and runs the whole test suite: the normal build, then AddressSanitizer +
# UndefinedBehaviorSanitizer (single-threaded tests), then ThreadSanitizer (tests labelled "threaded"),
# then each libFuzzer target for a bounded time on a copy of its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

for preset in default asan tsan; do
  echo "=== $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

echo "=== packages ==="
scripts/package.sh
scripts/check-packages.sh

echo "=== fuzz ==="
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${QARN_FUZZ_SECONDS:-45}
for fuzzer in MemToObjectFuzz ExternalMethodFuzz ClientReplyFuzz; do
  work=build-fuzz/fuzzing/$fuzzer
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/$fuzzer/* "$work/corpus/"
  echo "--- $fuzzer (${fuzz_seconds}s)"
  # Any finding (crash, leak, sanitizer report, timeout, out of memory) exits non-zero.
  program=$(find build-fuzz/fuzz -type f -name "$fuzzer" -perm -u+x | head -n 1)
  "$program" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus"
done
