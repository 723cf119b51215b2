#!/usr/bin/env bash
# The reliability gate: the whole test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer (the tool run by the end-to-end tests is
# instrumented too), then a bounded libFuzzer run of each fuzz target.
# A failing test, a sanitizer report, a crash, a leak or a hang fails it.
#
# FUZZ_SECONDS (default 60) sets each target's fuzzing time; 0 skips fuzzing.
# Corpora grow in build-fuzz/corpus/<target>, so later runs start further on.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/deps.sh
ensure_packages cmake make clang libgtest-dev ffmpeg || exit 1
# The sanitizer and libFuzzer runtimes must be those of the clang++ that
# builds: libclang-rt-N-dev from clang 14 on, in libclang-common-N-dev before.
clang_major=$(clang++ -dumpversion | cut -d. -f1)
clang_runtime=libclang-rt-$clang_major-dev
if ! package_installed "$clang_runtime" && ! package_known "$clang_runtime"; then
  clang_runtime=libclang-common-$clang_major-dev
fi
ensure_packages "$clang_runtime" || exit 1

jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-60}
failures=()

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

echo "== sanitizer build (build-asan) =="
if CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPRORESCUE_SANITIZE=ON >/dev/null &&
  cmake --build build-asan -j"$jobs"; then
  echo "== test suite under ASan+UBSan =="
  if ! ctest --test-dir build-asan --output-on-failure -j"$jobs"; then
    failures+=("test suite under sanitizers")
  fi
else
  failures+=("sanitizer build")
fi

# Each target: bytes that fit the input it takes, and a time limit per input
# far beyond what one input needs, so that only a real hang trips it.
declare -A max_len=([meta]=200000 [scan]=400000 [wav]=100000)

if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz build (build-fuzz) =="
  if CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DPRORESCUE_SANITIZE=ON -DPRORESCUE_FUZZ=ON -DPRORESCUE_TESTS=OFF >/dev/null &&
    cmake --build build-fuzz -j"$jobs" --target fuzz_meta fuzz_scan fuzz_wav; then
    scratch="$root/build-fuzz/tmp"
    for target in meta scan wav; do
      corpus="$root/build-fuzz/corpus/$target"
      artifacts="$root/build-fuzz/artifacts/$target"
      log="$root/build-fuzz/fuzz-$target.log"
      rm -rf "$scratch"
      mkdir -p "$corpus" "$artifacts" "$scratch"
      echo "== fuzzing $target for ${fuzz_seconds}s =="
      # The scanner's static frame buffer alone is 48 MB; 2 GB leaves room for
      # the sanitizers' shadow memory and still stops a runaway allocation.
      TMPDIR="$scratch" "$root/build-fuzz/fuzz/fuzz_$target" \
        -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len="${max_len[$target]}" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1
      code=$?
      executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
      echo "fuzz_$target: ${executions:-?} executions, exit code $code"
      if [ "$code" -ne 0 ]; then
        tail -n 40 "$log"
        echo "reproducer(s) in $artifacts:"
        ls -1 "$artifacts"
        failures+=("fuzz_$target")
      fi
    done
    rm -rf "$scratch"
  else
    failures+=("fuzz build")
  fi
fi

if [ ${#failures[@]} -gt 0 ]; then
  printf 'reliability: FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "reliability: all clean"
