#!/usr/bin/env bash
# Builds the tool for i686, armhf, aarch64 and s390x with Debian's cross
# compilers (static), and runs the tests that drive the tool as a process
# against each build: i686 natively, the others under qemu-user. The 32-bit
# builds must handle positions past 4 GiB, and the big-endian one every byte
# order, exactly as the native build does.
#
# Usage: scripts/cross-check.sh [native test binary]
#   The test binary defaults to one built in build-cross/native.
#   CROSS_TARGETS (default "i686 armhf aarch64 s390x") picks the targets.
#   CROSS_BUILDS (default build-cross) holds the builds, one linux-<target>
#   folder each, configured as scripts/release.sh does, so that a folder the
#   release script made is reused as it is and the tests run the shipped tool.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/deps.sh
source scripts/cross-targets.sh

targets=${CROSS_TARGETS:-i686 armhf aarch64 s390x}
jobs=$(nproc 2>/dev/null || echo 2)
# The suites that run the tool as a process. About three minutes a target
# under qemu on two cores, most of it the ProRes flavours and the 4 GiB scan.
filter=${CROSS_FILTER:-"LargeRecording.*:HostileMeta.*:DriverEndToEnd.*:AudioStage.*:HostileFolders.*:Interruption.*:FaultLoop.*:ProresRecovery.*"}
builds=${CROSS_BUILDS:-build-cross}

packages=(cmake make g++ libgtest-dev ffmpeg)
for target in $targets; do packages+=("$(cross_compiler_package "$target")"); done
ensure_packages "${packages[@]}" || exit 1
ensure_qemu_user || exit 1

tests=${1:-}
if [ -z "$tests" ]; then
  echo "== native test binary (build-cross/native) =="
  if ! quietly cmake -S . -B build-cross/native -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPRORESCUE_TESTS=ON ||
    ! quietly cmake --build build-cross/native -j"$jobs"; then
    echo "cross-check: FAILED: the native build"
    exit 1
  fi
  tests=build-cross/native/prorescue_tests
fi

failures=()
for target in $targets; do
  build=$builds/linux-$target
  echo "== $target: build ($build) =="
  if ! build_cross "$target" "$build" -DCMAKE_BUILD_TYPE=Release; then
    failures+=("$target build")
    continue
  fi
  emulator=$(cross_emulator "$target" "$build/prorescue") || {
    failures+=("$target: cannot run the tool, natively or under qemu")
    continue
  }
  if [ "$target" = i686 ] && [ -n "$emulator" ]; then
    echo "$target: this kernel cannot run 32-bit x86 programs; running under $emulator"
  fi
  echo "== $target: process-driving tests${emulator:+ under $emulator} =="
  started=$SECONDS
  if PRORESCUE_TOOL="$(cd "$build" && pwd)/prorescue" PRORESCUE_TOOL_EMULATOR="$emulator" \
    "$tests" --gtest_filter="$filter" --gtest_brief=1; then
    echo "$target: passed in $((SECONDS - started)) s"
  else
    failures+=("$target tests")
  fi
done

if [ ${#failures[@]} -gt 0 ]; then
  printf 'cross-check: FAILED: %s\n' "${failures[@]}"
  exit 1
fi
echo "cross-check: $targets all pass"
