#!/usr/bin/env bash
# Builds the command-system fuzzer with clang (libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build folder of its own) and runs it from the seed corpus for a
# short while (FUZZ_SECONDS, 60 by default). Inputs that fail are kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DMORVEX_BUILD_FUZZERS=ON -DMORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target CmdSystemFuzzer -j"$JOBS"

# The corpus grows while fuzzing: work on a copy, in a scratch directory, so that relative `exec`
# names and new inputs stay out of the tree.
work=$(mktemp -d "${TMPDIR:-/tmp}/cmdsystem-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$root/build-fuzz/artifacts"
cp code/fuzz/corpus/CmdSystem/* "$work/corpus/"
cd "$work"
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$root/build-fuzz/bin/CmdSystemFuzzer" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -dict="$root/code/fuzz/CmdSystem.dict" -artifact_prefix="$root/build-fuzz/artifacts/" \
    -print_final_stats=1 corpus
