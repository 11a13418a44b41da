#!/usr/bin/env bash
# The whole path on this machine: builds the reporter, its dump writer, the example game and the
# report collector, starts the collector on 127.0.0.1, runs the example game, which crashes on its
# render thread; its crash hook writes a minidump and starts the reporter (silently, through a
# "crash-reporter.cfg" beside it that points at the collector), and the script shows what arrived.
# SKIP_INSTALL=1 skips the package installation; BUILD_DIR picks another build folder.
# APP_DIR=<folder holding CrashReporter, CrashDumpWriter, CrashDemoGame and Collector> runs an
# installed tree instead of building.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
if [ -n "${APP_DIR:-}" ]; then
    bin=$APP_DIR
else
    if [ "${SKIP_INSTALL:-0}" != "1" ]; then scripts/install-deps.sh; fi
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j"$(nproc)" --target CrashReporter CrashDumpWriter CrashDemoGame Collector
    bin=$build/bin
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-demo.XXXXXX")
mkdir -p "$work/dumps" "$work/user" "$work/received" "$work/run" "$work/data" "$work/app"

. scripts/lib/collector.sh
trap 'if [ -n "${COLLECTOR_PID:-}" ]; then kill "$COLLECTOR_PID" 2>/dev/null; wait "$COLLECTOR_PID" 2>/dev/null; fi; true' EXIT
start_collector "$bin" "$work/received" "$work/collector.out"
port=$COLLECTOR_PORT

# The reporter runs from its own folder and reads the crash-reporter.cfg there. Links to the
# reporter and its dump writer give this demo a folder of its own with its own settings, without
# touching the installed tree (the reporter still finds its dialog and texts beside the real file).
ln -s "$bin/CrashReporter" "$work/app/CrashReporter"
ln -s "$bin/CrashDumpWriter" "$work/app/CrashDumpWriter"
# Quoted values: an unquoted "//" starts a comment in console scripts.
cat >"$work/app/crash-reporter.cfg" <<CFG
set crash_url "http://127.0.0.1:$port/submit/"
set script_errors_url "http://127.0.0.1:$port/submit_script_errors/"
set ElasticsearchUrl "http://127.0.0.1:$port/events/prod/"
set retry_count 3
set retry_wait_sec 1
CFG

echo "== collector on 127.0.0.1:$port, work folder $work"
status=0
(cd "$work/run" && XDG_DATA_HOME="$work/data" "$bin/CrashDemoGame" --reporter "$work/app/CrashReporter" \
    --dumps "$work/dumps" --user "$work/user" --crash segv --thread worker --silent) || status=$?
echo "== CrashDemoGame ended with status $status (139: SIGSEGV, as it should)"
# The reporter outlives the game: wait until its run is over.
status=1
for _ in $(seq 1 600); do
    log=$(find "$work/data" -name 'crashreport_*.log' 2>/dev/null | head -n 1)
    if [ -n "$log" ] && grep -q "Sending finished" "$log"; then
        grep -q "Sent successfully" "$log" && status=0
        break
    fi
    sleep 0.1
done
echo "== dumps written: $(cd "$work/dumps" && ls)"
if command -v lldb >/dev/null; then
    for dump in "$work"/dumps/*.dmp; do
        echo "== lldb's backtrace of the crashing thread in $(basename "$dump"):"
        timeout 60 lldb --batch -c "$dump" -o "thread backtrace" 2>/dev/null | grep -E "stop reason|frame #[0-4]:" || true
    done
fi
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
