#!/usr/bin/env bash
# Builds every release artifact into one folder, with a SHA256SUMS file:
#   prorescue_<version>_{amd64,arm64,armhf,i386}.deb   Debian/Ubuntu packages
#   prorescue-<version>-linux-{x86_64,aarch64}.tar.gz  static Linux binaries
#   prorescue-<version>-win64.zip                       Windows
#   prorescue-<version>-macos-universal.tar.gz          macOS, Intel and Apple silicon
# Each holds the tool, README.md and the man page prorescue.1. The Linux
# builds are static, so each runs on any distribution of its architecture.
#
# Usage: scripts/release.sh [folder]   (default: build-release/artifacts)
# Build folders go under build-release/, started afresh on every run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/deps.sh
source scripts/cross-targets.sh
jobs=$(nproc 2>/dev/null || echo 2)
builds=$root/build-release
out=${1:-$builds/artifacts}
version=$(sed -n 's/^project(prorescue VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

linux_targets=(x86_64 i686 armhf aarch64)
packages=(cmake make g++-mingw-w64-x86-64-posix)
for target in "${linux_targets[@]}"; do packages+=("$(cross_compiler_package "$target")"); done
ensure_packages "${packages[@]}"

if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "note: the tree has uncommitted changes; these artifacts are not those of a commit"
fi
rm -rf "$builds" "$out"
mkdir -p "$builds" "$out"
out=$(cd "$out" && pwd)

# A folder holding the tool, the README and the man page, packed as a tarball
# whose entries are owned by root and dated by the last commit.
tarball() {
  local binary=$1 name=$2 stage
  stage=$builds/stage/$name
  mkdir -p "$stage"
  cp "$binary" "$stage/prorescue"
  cp README.md doc/prorescue.1 "$stage/"
  chmod 755 "$stage/prorescue"
  chmod 644 "$stage/README.md" "$stage/prorescue.1"
  local stamp
  stamp=$(git log -1 --format=%ct 2>/dev/null || date +%s)
  tar -C "$builds/stage" --sort=name --owner=0 --group=0 --numeric-owner \
    --mtime="@$stamp" -czf "$out/$name.tar.gz" "$name"
}

for target in "${linux_targets[@]}"; do
  build=$builds/linux-$target
  echo "== Linux $target =="
  build_cross "$target" "$build" -DCMAKE_BUILD_TYPE=Release
  (cd "$build" && quietly cpack -G DEB)
  cp "$build"/prorescue_"$version"_*.deb "$out/"
  case $target in
    x86_64 | aarch64)
      quietly cmake --install "$build" --prefix "$build/installed" --strip
      tarball "$build/installed/bin/prorescue" "prorescue-$version-linux-$target"
      ;;
  esac
done

echo "== Windows x86_64 =="
build=$builds/windows
quietly cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release
quietly cmake --build "$build" -j"$jobs" --target prorescue
(cd "$build" && quietly cpack -G ZIP)
cp "$build/prorescue-$version-win64.zip" "$out/"

echo "== macOS x86_64 and arm64 =="
universal=$(bash scripts/macos-build.sh "$builds/macos" | tail -1)
tarball "$universal" "prorescue-$version-macos-universal"

(cd "$out" && sha256sum -- *.deb *.tar.gz *.zip >SHA256SUMS)
echo "Release artifacts in $out:"
(cd "$out" && ls -1)
