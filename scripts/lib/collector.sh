# Sourced by the scripts that need a local collector.
# start_collector BIN_DIR DATA_DIR LOG_FILE: starts BIN_DIR/Collector on a free port of 127.0.0.1,
# waits until it listens, and sets COLLECTOR_PID and COLLECTOR_PORT. Fails with the collector's
# output when it does not come up within ten seconds.
start_collector() {
    local bin=$1 data=$2 log=$3
    "$bin/Collector" --port 0 --data "$data" >"$log" 2>&1 &
    COLLECTOR_PID=$!
    COLLECTOR_PORT=""
    for _ in $(seq 1 100); do
        COLLECTOR_PORT=$(sed -n 's/^Collector listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log")
        [ -n "$COLLECTOR_PORT" ] && return 0
        sleep 0.1
    done
    echo "the collector did not start:" >&2
    cat "$log" >&2
    return 1
}
