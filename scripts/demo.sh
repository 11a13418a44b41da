#!/usr/bin/env bash
# Installs what is needed, builds the reporter and runs it once in test mode.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SKIP_INSTALL:-0}" != "1" ]; then scripts/install-deps.sh; fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target CrashReporter
echo "== build/bin/CrashReporter --test"
build/bin/CrashReporter --test
echo "== exit code $?"
