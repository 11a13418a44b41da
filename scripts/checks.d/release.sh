#!/usr/bin/env bash
# Builds everything as a release (full optimisation, no assertions' debug help) and runs every test
# there too: optimisers find their own warnings, and code that only works unoptimised shows.
set -euo pipefail
cd "$(dirname "$0")/../.."
JOBS=${JOBS:-$(nproc)}
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$JOBS"
(cd build-release && ctest -j"$JOBS" --output-on-failure --timeout 300)
