#!/usr/bin/env bash
# Times one silent reporter run that sends a 200 MB dump plus logs to the local collector, beside
# `zip -1 -j` + `curl -F` doing the same work against the same collector. Prints wall time, CPU time
# (user + system) and peak resident memory of both. Needs GNU time (/usr/bin/time).
# DUMP_MB sets the dump size; BUILD_DIR the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
dump_mb=${DUMP_MB:-200}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target CrashReporter Collector >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-bench.XXXXXX")
trap 'if [ -n "${COLLECTOR_PID:-}" ]; then kill "$COLLECTOR_PID" 2>/dev/null; fi; rm -rf "$work"' EXIT
mkdir -p "$work/dumps" "$work/logs" "$work/user" "$work/received" "$work/run" "$work/data"
# A dump is mostly incompressible memory with some zero pages: half random, half zeros.
head -c $((dump_mb * 1024 * 1024 / 2)) /dev/urandom >"$work/dumps/42.dmp"
head -c $((dump_mb * 1024 * 1024 / 2)) /dev/zero >>"$work/dumps/42.dmp"
for i in 1 2 3; do seq 1 200000 | sed 's/^/frame /' >"$work/logs/game$i.log"; done

. scripts/lib/collector.sh
start_collector "$build/bin" "$work/received" "$work/collector.out"
port=$COLLECTOR_PORT
cat >"$work/run/crash-reporter.cfg" <<CFG
set crash_url "http://127.0.0.1:$port/submit/"
set ElasticsearchUrl "http://127.0.0.1:$port/events/prod/"
CFG

measure() { # label, command...
    local label=$1
    shift
    /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1
    read -r wall user sys rss <"$work/time.txt"
    printf '%-28s wall %6.2f s   cpu %6.2f s   peak rss %7.1f MB\n' "$label" "$wall" \
        "$(echo "$user + $sys" | bc)" "$(echo "scale=1; $rss / 1024" | bc)"
}

echo "dump ${dump_mb} MB + 3 logs ($(du -sh "$work/logs" | cut -f1)), collector 127.0.0.1:$port"
measure "CrashReporter --silent" env -C "$work/run" XDG_DATA_HOME="$work/data" "$build/bin/CrashReporter" \
    --silent --id 42 --dump-path "$work/dumps" --user-path "$work/user" --wc "$work/logs/*.log" --product Bench
measure "zip -1 -j + curl -F" sh -c "zip -q -1 -j '$work/manual.zip' '$work/dumps/42.dmp' '$work'/logs/*.log && \
    curl -s -o /dev/null -F Id=42 -F Comments= -F ProductName=Bench -F Platform=Linux64 -F Additional= \
    -F 'upload_file_minidump=@$work/manual.zip' http://127.0.0.1:$port/submit/ && rm -f '$work/manual.zip'"
echo "reports received: $(find "$work/received/reports" -mindepth 1 -maxdepth 1 -type d | wc -l)"
# The archives as they arrived: the reporter's first, then the pipeline's.
for report in "$work"/received/reports/*/; do
    for archive in "$report"*; do
        case "$archive" in *.json) continue ;; esac
        printf 'archive %s: %s bytes\n' "$(basename "$report")" "$(stat -c %s "$archive")"
    done
done
