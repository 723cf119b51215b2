#!/usr/bin/env bash
# Installs whatever is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
source scripts/readers.sh
ensure_packages cmake make g++ libgtest-dev ffmpeg man-db
ensure_readers "$PWD"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPRORESCUE_TESTS=ON
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# A plain machine has no GoogleTest: the tool alone must still configure and
# build, and asking for the tests there must be an error.
echo "== build without GoogleTest (build-nogtest) =="
rm -rf build-nogtest
cmake -S . -B build-nogtest -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null
cmake --build build-nogtest -j"$jobs" >/dev/null
test -x build-nogtest/prorescue && test ! -e build-nogtest/prorescue_tests
if cmake -S . -B build-nogtest/asked -DPRORESCUE_TESTS=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null 2>&1; then
  echo "PRORESCUE_TESTS=ON without GoogleTest configured anyway"
  exit 1
fi
echo "built without GoogleTest; asking for the tests there fails as it should"

# The README's first command: a sample folder rebuilt; a folder it did not make is refused.
echo "== sample recording =="
sample=$(mktemp -d)
mkdir "$sample/user"
echo "keep me" >"$sample/user/notes.txt"
if bash scripts/recover-sample.sh "$sample/user" >/dev/null 2>&1 ||
  [ "$(ls -A "$sample/user")" != notes.txt ]; then
  echo "recover-sample.sh wrote into a folder it did not make"
  exit 1
fi
bash scripts/recover-sample.sh "$sample/new" >"$sample/log" 2>&1 || { cat "$sample/log"; exit 1; }
grep -q '^nb_read_packets=48$' "$sample/log" || { cat "$sample/log"; exit 1; }
bash scripts/recover-sample.sh "$sample/new" >"$sample/log" 2>&1 || { cat "$sample/log"; exit 1; }
rm -rf "$sample"
echo "recover-sample.sh rebuilds its sample, again in its own folder, and refuses another"

echo "== man page =="
man_warnings=$(man --warnings -l doc/prorescue.1 2>&1 >/dev/null)
[ -z "$man_warnings" ] || { echo "$man_warnings"; exit 1; }
echo "doc/prorescue.1 renders without warnings"

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# bounded run of each fuzz target (FUZZ_SECONDS, default 60 each).
bash scripts/reliability.sh

# The Windows executable, cross-built and run under Wine against the Linux build.
bash tests/wine/run.sh

# Every release artifact, and what each holds.
echo "== release artifacts (build-release) =="
bash scripts/release.sh
bash scripts/check-release.sh

# The process-driving tests against the 32-bit, arm64 and big-endian builds.
echo "== cross-check =="
CROSS_BUILDS=build-release bash scripts/cross-check.sh build/prorescue_tests
