#!/usr/bin/env bash
# Times a silent reporter run that sends a 200 MB dump plus logs to the local collector, beside
# `zip -1 -j` + `curl -F` doing the same work against the same collector: wall time, CPU time
# (user + system) and peak resident memory, best of three (by wall time), and the archives' sizes.
# Then the dialog's path on a private X server (Xvfb, xdotool): the time from pressing "Send report"
# to the dialog closing, once after typing a sentence slowly (the archive is built meanwhile) and
# once pressed at once, beside the upload of the same archive alone (curl -F). Needs GNU time
# (/usr/bin/time); the dialog figures need Xvfb and xdotool and are left out without them.
# DUMP_MB sets the dump size; BUILD_DIR the build folder (default build); RUNS the repetitions;
# KEEP=1 keeps the work folder and prints where it is; DEBUG=1 prints, for each dialog run, the key
# press and the closing times and the end of the reporter's log.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
dump_mb=${DUMP_MB:-200}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target CrashReporter CrashReporterDialog Collector >/dev/null
runs=${RUNS:-3}

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-bench.XXXXXX")
cleanup() {
    for pid in ${COLLECTOR_PID:-} ${XVFB_PID:-}; do kill "$pid" 2>/dev/null || true; done
    if [ "${KEEP:-0}" = 1 ]; then echo "work folder: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
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
set reports_maxPerHour 1000
CFG

measure() { # label, command...: the best of $runs runs by wall time
    local label=$1 best="" line
    shift
    for _ in $(seq 1 "$runs"); do
        rm -rf "$work/user" "$work/data" && mkdir -p "$work/user" "$work/data"
        /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>&1
        line=$(cat "$work/time.txt")
        if [ -z "$best" ] || [ "$(echo "${line%% *} < ${best%% *}" | bc)" = 1 ]; then best=$line; fi
    done
    read -r wall user sys rss <<<"$best"
    printf '%-34s wall %6.2f s   cpu %6.2f s   peak rss %7.1f MB\n' "$label" "$wall" \
        "$(echo "$user + $sys" | bc)" "$(echo "scale=1; $rss / 1024" | bc)"
}

echo "dump ${dump_mb} MB + 3 logs ($(du -sh "$work/logs" | cut -f1)), collector 127.0.0.1:$port, best of $runs"
measure "CrashReporter --silent" env -C "$work/run" XDG_DATA_HOME="$work/data" "$build/bin/CrashReporter" \
    --silent --id 42 --dump-path "$work/dumps" --user-path "$work/user" --wc "$work/logs/*.log" --product Bench
measure "zip -1 -j + curl -F" sh -c "zip -q -1 -j '$work/manual.zip' '$work/dumps/42.dmp' '$work'/logs/*.log && \
    curl -s -o /dev/null -F Id=42 -F Comments= -F ProductName=Bench -F Platform=Linux64 -F Additional= \
    -F 'upload_file_minidump=@$work/manual.zip' http://127.0.0.1:$port/submit/ && rm -f '$work/manual.zip'"
# The archives as they arrived, in order: the reporter's runs first, then the pipeline's.
archives=()
for report in "$work"/received/reports/*/; do
    for archive in "$report"*; do
        case "$archive" in *.json) ;; *) archives+=("$archive") ;; esac
    done
done
reporter_archive=${archives[0]}
printf 'archive of the reporter: %s bytes\n' "$(stat -c %s "$reporter_archive")"
printf 'archive of zip -1 -j:    %s bytes\n' "$(stat -c %s "${archives[${#archives[@]} - 1]}")"

# The dialog's path.
if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
    echo "dialog path: skipped (needs Xvfb and xdotool)"
    exit 0
fi
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
XVFB_PID=$!
export DISPLAY=$display
for _ in $(seq 1 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
now() { date +%s.%N; }

# One press of "Send report": types `sentence` with `delay` ms per key first, then prints the seconds
# from the key press to the dialog being gone.
dialog_send() { # sentence delay
    rm -rf "$work/user" "$work/data" && mkdir -p "$work/user" "$work/data"
    env -C "$work/run" XDG_DATA_HOME="$work/data" GDK_BACKEND=x11 NO_AT_BRIDGE=1 WAYLAND_DISPLAY= \
        "$build/bin/CrashReporter" --id 42 --dump-path "$work/dumps" --user-path "$work/user" \
        --wc "$work/logs/*.log" --product Bench >"$work/dialog.out" 2>&1 &
    local pid=$! window t0 t1
    window=$(xdotool search --sync --onlyvisible --name '^Crash Reporter$' | head -1)
    xdotool windowfocus --sync "$window"
    [ -z "$1" ] || xdotool type --delay "$2" "$1"
    t0=$(now)
    xdotool key Return
    while xdotool search --onlyvisible --name '^Crash Reporter$' >/dev/null 2>&1; do sleep 0.01; done
    t1=$(now)
    wait "$pid"
    [ -z "${DEBUG:-}" ] || { date -d @"$t0" +%T.%N; date -d @"$t1" +%T.%N; cut -c1-120 "$work"/data/Morvex/*/logs/*.log | tail -12; } >&2
    echo "$t1 - $t0" | bc
}
best_of() { # command...
    local best="" t
    for _ in $(seq 1 "$runs"); do
        t=$("$@")
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}
upload_alone() {
    local t0 t1
    t0=$(now)
    curl -s -o /dev/null -F Id=42 -F Comments= -F ProductName=Bench -F Platform=Linux64 -F Additional= \
        -F "upload_file_minidump=@$reporter_archive" "http://127.0.0.1:$port/submit/"
    t1=$(now)
    echo "$t1 - $t0" | bc
}
sentence="I was fighting the boss on the bridge when the game froze"
typed=$(best_of dialog_send "$sentence" 60)
at_once=$(best_of dialog_send "" 0)
upload=$(runs=5 best_of upload_alone)
printf 'dialog: Send -> closed, after typing    %6.2f s  (%.2fx the upload alone)\n' "$typed" \
    "$(echo "$typed / $upload" | bc -l)"
printf 'dialog: Send -> closed, pressed at once %6.2f s\n' "$at_once"
printf 'upload of the same archive alone        %6.2f s\n' "$upload"
