#!/usr/bin/env bash
# Builds the thread tests under ThreadSanitizer and runs them.
set -euo pipefail
cd "$(dirname "$0")/../.."
JOBS=${JOBS:-$(nproc)}
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX_SANITIZE=thread >/dev/null
cmake --build build-tsan --target ThreadingTests -j"$JOBS"
# Each case runs in a process of its own (ctest), and once more all together, where records of
# earlier cases stay in the registry.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest -L threading -j"$JOBS" --output-on-failure --timeout 600)
TSAN_OPTIONS=halt_on_error=1 build-tsan/bin/ThreadingTests --gtest_brief=1
