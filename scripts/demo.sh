#!/usr/bin/env bash
# The reporter's main job from end to end on this machine: builds the reporter and the report
# collector, starts the collector on 127.0.0.1, makes a sample crash (a dump and two log files), runs
# the reporter silently against the collector through a "crash-reporter.cfg", and shows what arrived.
# SKIP_INSTALL=1 skips the package installation; BUILD_DIR picks another build folder.
# APP_DIR=<folder holding CrashReporter and Collector> runs an installed tree instead of building.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
if [ -n "${APP_DIR:-}" ]; then
    bin=$APP_DIR
else
    if [ "${SKIP_INSTALL:-0}" != "1" ]; then scripts/install-deps.sh; fi
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target CrashReporter Collector
    bin=$build/bin
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-demo.XXXXXX")
mkdir -p "$work/dumps" "$work/logs" "$work/user" "$work/received" "$work/run" "$work/data"
head -c 262144 /dev/urandom >"$work/dumps/42.dmp"
printf 'game started\nloading level 3\naccess violation at 0x0000dead\n' >"$work/logs/game.log"
printf 'render thread: frame 1812\n' >"$work/logs/render.log"

. scripts/lib/collector.sh
trap 'if [ -n "${COLLECTOR_PID:-}" ]; then kill "$COLLECTOR_PID" 2>/dev/null; wait "$COLLECTOR_PID" 2>/dev/null; fi; true' EXIT
start_collector "$bin" "$work/received" "$work/collector.out"
port=$COLLECTOR_PORT

# Quoted values: an unquoted "//" starts a comment in console scripts.
cat >"$work/run/crash-reporter.cfg" <<CFG
set crash_url "http://127.0.0.1:$port/submit/"
set script_errors_url "http://127.0.0.1:$port/submit_script_errors/"
set ElasticsearchUrl "http://127.0.0.1:$port/events/prod/"
set retry_count 3
set retry_wait_sec 1
CFG

echo "== collector on 127.0.0.1:$port, work folder $work"
status=0
(cd "$work/run" && XDG_DATA_HOME="$work/data" "$bin/CrashReporter" --silent --id 42 \
    --dump-path "$work/dumps" --user-path "$work/user" --wc "$work/logs/*.log" \
    --product Demo --comments "demo crash" --additional 'version-type=release;script=') || status=$?
echo "== CrashReporter exit code $status"
echo "== received reports:"
find "$work/received" -type f | sort | sed "s|^$work/||"
for fields in "$work"/received/reports/*/fields.json; do
    [ -f "$fields" ] || continue
    echo "== $fields"
    cat "$fields"
    echo
    for archive in "$(dirname "$fields")"/*; do
        case "$archive" in *.json) continue ;; esac
        echo "== archive $(basename "$archive"):"
        unzip -l "$archive" | sed -n '4,$p'
    done
done
for event in "$work"/received/events/*.json; do
    [ -f "$event" ] && { echo "== $event"; cat "$event"; echo; }
done
echo "== report log: $(find "$work/data" -name 'crashreport_*.log' | head -n 1)"
exit "$status"
