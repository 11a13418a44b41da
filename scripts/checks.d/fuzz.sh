#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer,
# in a build folder of its own) and runs each from its seed corpus for a short while: the command
# system for FUZZ_SECONDS (60 by default), every other target for FUZZ_SECONDS_EACH (30 by default).
# Inputs that fail are kept in build-fuzz/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
FUZZ_SECONDS_EACH=${FUZZ_SECONDS_EACH:-30}

# target, corpus folder, seconds, extra libFuzzer options
targets=(
    "CmdSystemFuzzer CmdSystem $FUZZ_SECONDS -max_len=4096 -dict=$root/code/fuzz/CmdSystem.dict"
    "CommandLineFuzzer CommandLine $FUZZ_SECONDS_EACH -max_len=4096"
    "StringTableFuzzer StringTable $FUZZ_SECONDS_EACH -max_len=8192"
    "BuildersFuzzer Builders $FUZZ_SECONDS_EACH -max_len=4096"
    "CVarValueFuzzer CVarValue $FUZZ_SECONDS_EACH -max_len=1024"
    "WildcardFuzzer Wildcard $FUZZ_SECONDS_EACH -max_len=512"
    "ReportStateFuzzer ReportState $FUZZ_SECONDS_EACH -max_len=8192"
    "PakFuzzer Pak $FUZZ_SECONDS_EACH -max_len=4096"
)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DMORVEX_BUILD_FUZZERS=ON -DMORVEX_BUILD_TESTS=OFF >/dev/null
names=()
for entry in "${targets[@]}"; do
    read -r name _ <<<"$entry"
    names+=("$name")
done
cmake --build build-fuzz --target "${names[@]}" -j"$JOBS"

# Each corpus grows while fuzzing: work on a copy, in a scratch directory, so that relative `exec`
# names and new inputs stay out of the tree.
work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
for entry in "${targets[@]}"; do
    read -r name corpus seconds options <<<"$entry"
    echo "-- $name ($seconds s)"
    rm -rf "$root/build-fuzz/artifacts/$name"
    mkdir -p "$work/$name/corpus" "$root/build-fuzz/artifacts/$name"
    cp "code/fuzz/corpus/$corpus/"* "$work/$name/corpus/"
    status=0
    # shellcheck disable=SC2086 # the options are separate words on purpose
    (cd "$work/$name" && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$root/build-fuzz/bin/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        $options -artifact_prefix="$root/build-fuzz/artifacts/$name/" -print_final_stats=1 corpus \
        >"$work/$name.log" 2>&1) || status=$?
    grep -E "^#[0-9]+ *DONE|stat::number_of_executed_units" "$work/$name.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$work/$name.log"
        echo "$name failed; inputs kept in build-fuzz/artifacts/$name/"
        exit 1
    fi
done
