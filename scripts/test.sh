#!/usr/bin/env bash
# Installs whatever is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
source scripts/readers.sh
ensure_packages cmake make g++ libgtest-dev ffmpeg
ensure_readers "$PWD"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# bounded run of each fuzz target (FUZZ_SECONDS, default 60 each).
bash scripts/reliability.sh

# The Windows executable, cross-built and run under Wine against the Linux build.
bash tests/wine/run.sh
