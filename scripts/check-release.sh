#!/usr/bin/env bash
# Checks a folder of release artifacts made by scripts/release.sh: the
# checksums, what each archive and package holds, that every Linux binary runs
# (natively or under qemu-user) and reports a missing "0.mt" exactly as the
# x86-64 build does, that the i386 and arm64 packages install into a private
# root, and that the macOS binary is universal.
#
# Usage: scripts/check-release.sh [folder]   (default: build-release/artifacts)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/deps.sh
source scripts/cross-targets.sh
dir=$(cd "${1:-build-release/artifacts}" && pwd)
version=$(sed -n 's/^project(prorescue VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
ensure_packages unzip llvm || exit 1
ensure_qemu_user || exit 1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok: $what"
  else
    failed=$((failed + 1))
    echo "FAILED: $what"
  fi
}

# The lines and exit code of a binary run in an empty folder, through an
# emulator when one is given.
missing_meta_run() {
  local emulator=$1 binary=$2 empty
  empty=$(mktemp -d "$work/empty.XXXXXX")
  (cd "$empty" && ${emulator:+"$emulator"} "$binary" 2>&1; echo "exit $?")
}

# Runs a Linux binary of target and compares what it prints, byte for byte,
# with the x86-64 build's run.
same_as_native() {
  local target=$1 binary=$2 emulator
  emulator=$(cross_emulator "$target" "$binary") || return 1
  [ "$(missing_meta_run "$emulator" "$binary")" = "$expected" ]
}

same_listing() {
  local expected_list=$1
  shift
  [ "$("$@" | LC_ALL=C sort | tr '\n' ' ')" = "$expected_list" ]
}

same_docs() {
  cmp -s "$1/README.md" README.md && cmp -s "$1/prorescue.1" doc/prorescue.1
}

check "SHA256SUMS lists every artifact and each matches" \
  bash -c "cd '$dir' && sha256sum --quiet -c SHA256SUMS &&
    [ \"\$(ls | grep -v '^SHA256SUMS$' | sort)\" = \"\$(awk '{print \$2}' SHA256SUMS | sort)\" ]"
check "the man page renders without warnings" \
  bash -c "man --warnings -l doc/prorescue.1 2>&1 >/dev/null | (! grep .)"

# The reference: the x86-64 tarball's tool, run natively.
native_name=prorescue-$version-linux-x86_64
tar -C "$work" -xzf "$dir/$native_name.tar.gz"
expected=$(missing_meta_run "" "$work/$native_name/prorescue")
check "the x86-64 tool reports a missing 0.mt with exit 1" \
  test "$expected" = "$(printf 'unable read 0.mt\nfailed to read meta.\nexit 1')"

for target in x86_64 aarch64; do
  name=prorescue-$version-linux-$target
  check "$name.tar.gz holds the tool, README.md and prorescue.1" \
    same_listing "$name/ $name/README.md $name/prorescue $name/prorescue.1 " tar -tzf "$dir/$name.tar.gz"
  tar -C "$work" -xzf "$dir/$name.tar.gz"
  check "$name: README.md and prorescue.1 are the tree's" same_docs "$work/$name"
  check "$name: the tool runs as the x86-64 one does" same_as_native "$target" "$work/$name/prorescue"
done

for arch in amd64:x86_64 i386:i686 armhf:armhf arm64:aarch64; do
  deb_arch=${arch%%:*}
  target=${arch##*:}
  deb=$dir/prorescue_${version}_$deb_arch.deb
  check "$(basename "$deb") is for $deb_arch" test "$(dpkg-deb -f "$deb" Architecture 2>/dev/null)" = "$deb_arch"
  check "$(basename "$deb") holds the tool, the README and the man page" \
    same_listing "./usr/ ./usr/bin/ ./usr/bin/prorescue ./usr/share/ ./usr/share/doc/ ./usr/share/doc/prorescue/ ./usr/share/doc/prorescue/README.md ./usr/share/man/ ./usr/share/man/man1/ ./usr/share/man/man1/prorescue.1 " \
    bash -c "dpkg-deb -c '$deb' | awk '{print \$6}'"
  # A private root with its own package database: nothing touches this system's.
  instdir=$work/root-$deb_arch
  mkdir -p "$instdir/var/lib/dpkg/info" "$instdir/var/lib/dpkg/updates"
  : >"$instdir/var/lib/dpkg/status"
  check "$(basename "$deb") installs into a private root" \
    quietly dpkg --root="$instdir" --force-architecture --force-not-root --force-script-chrootless \
    --log=/dev/null -i "$deb"
  check "$(basename "$deb"): the installed tool runs as the x86-64 one does" \
    same_as_native "$target" "$instdir/usr/bin/prorescue"
done

zip=$dir/prorescue-$version-win64.zip
check "$(basename "$zip") holds prorescue.exe, README.md and prorescue.1" \
  same_listing "README.md prorescue.1 prorescue.exe " unzip -Z1 "$zip"
mkdir -p "$work/win" && unzip -q "$zip" -d "$work/win"
check "$(basename "$zip"): README.md and prorescue.1 are the tree's" same_docs "$work/win"

mac=prorescue-$version-macos-universal
check "$mac.tar.gz holds the tool, README.md and prorescue.1" \
  same_listing "$mac/ $mac/README.md $mac/prorescue $mac/prorescue.1 " tar -tzf "$dir/$mac.tar.gz"
tar -C "$work" -xzf "$dir/$mac.tar.gz"
check "$mac: README.md and prorescue.1 are the tree's" same_docs "$work/$mac"
lipo=$(command -v llvm-lipo || ls /usr/bin/llvm-lipo-* 2>/dev/null | sort -V | tail -1)
check "$mac: the tool is universal (x86_64 and arm64)" \
  test "$("$lipo" -archs "$work/$mac/prorescue" 2>/dev/null | xargs)" = "x86_64 arm64"

echo "release: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
