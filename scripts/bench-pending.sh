#!/usr/bin/env bash
# Times `CrashReporter --send-pending` on a user path with nothing kept, and on one with five kept
# reports (each a 1 MB dump and a log, left pending by runs that found no server) delivered to the
# local collector. Prints wall time, CPU time and peak resident memory of each.
# Needs GNU time (/usr/bin/time). BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target CrashReporter Collector >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-bench.XXXXXX")
trap 'if [ -n "${COLLECTOR_PID:-}" ]; then kill "$COLLECTOR_PID" 2>/dev/null; fi; rm -rf "$work"' EXIT
mkdir -p "$work/dumps" "$work/logs" "$work/user" "$work/empty" "$work/received" "$work/run" "$work/data"
for i in 1 2 3 4 5; do head -c 1048576 /dev/urandom >"$work/dumps/4$i.dmp"; done
seq 1 20000 | sed 's/^/frame /' >"$work/logs/game.log"

. scripts/lib/collector.sh
start_collector "$build/bin" "$work/received" "$work/collector.out"
port=$COLLECTOR_PORT

# First the reports are made against a port nobody listens on, so each one stays pending.
closed_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/run/crash-reporter.cfg" <<CFG
set crash_url "http://127.0.0.1:$closed_port/submit/"
set ElasticsearchUrl ""
set retry_count 0
set pending_maxPerRun 0
CFG
for i in 1 2 3 4 5; do
    (cd "$work/run" && XDG_DATA_HOME="$work/data" "$build/bin/CrashReporter" --silent --id "4$i" \
        --dump-path "$work/dumps" --user-path "$work/user" --wc "$work/logs/*.log" --product Bench \
        >/dev/null 2>&1) || true
done
cat >"$work/run/crash-reporter.cfg" <<CFG
set crash_url "http://127.0.0.1:$port/submit/"
set ElasticsearchUrl "http://127.0.0.1:$port/events/prod/"
set pending_backoffBaseSec 0
CFG

measure() { # label, command...
    local label=$1
    shift
    /usr/bin/time -f "%e %U %S %M %x" -o "$work/time.txt" "$@" >/dev/null 2>&1 || true
    read -r wall user sys rss status <"$work/time.txt"
    printf '%-34s exit %s   wall %6.3f s   cpu %6.3f s   peak rss %6.1f MB\n' "$label" "$status" "$wall" \
        "$(echo "$user + $sys" | bc)" "$(echo "scale=1; $rss / 1024" | bc)"
}

echo "kept reports: $(find "$work/user/Exceptions/.morvex-state" -name '*.report' 2>/dev/null | wc -l)"
measure "--send-pending, nothing kept" env -C "$work/run" XDG_DATA_HOME="$work/data" \
    "$build/bin/CrashReporter" --send-pending --user-path "$work/empty"
measure "--send-pending, 5 kept" env -C "$work/run" XDG_DATA_HOME="$work/data" \
    "$build/bin/CrashReporter" --send-pending --user-path "$work/user"
echo "reports received: $(find "$work/received/reports" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | wc -l)"
