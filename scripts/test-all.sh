#!/usr/bin/env bash
# Installs what is needed, checks the formatting, builds, and runs every test: a Release build (full
# optimisation finds its own warnings), then the same suites under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the checks of scripts/checks.d/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
if [ "${SKIP_INSTALL:-0}" != "1" ]; then scripts/install-deps.sh; fi
JOBS=${JOBS:-$(nproc)}

echo "== format"
scripts/check-format.sh

echo "== build (Release)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$JOBS"
echo "== tests"
(cd build && ctest -j"$JOBS" --output-on-failure --timeout 300)

echo "== build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVEX_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$JOBS"
echo "== tests under sanitizers"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest -j"$JOBS" --output-on-failure --timeout 600)

# Further checks (fuzzing, ThreadSanitizer, GUI runs) each live in scripts/checks.d/, run in order.
for check in scripts/checks.d/*.sh; do
    [ -e "$check" ] || continue
    echo "== $(basename "$check")"
    bash "$check"
done
echo "== all tests passed"
