#!/usr/bin/env bash
# SimpleZip throughput on a 100 MB file at level 1, beside `zip -1` on the same file.
#   scripts/bench-zip.sh [input file]   (default: a generated file of log text and binary data)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build-bench}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVEX_BUILD_BENCHMARKS=ON -DMORVEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target ZipBenchmark -j"${JOBS:-2}" >/dev/null

WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench-zip.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
INPUT=${1:-}
if [ -z "$INPUT" ]; then
    # Same generator as the benchmark's own: write the input once, then time both tools on it.
    python3 - "$WORK/input.bin" <<'PY'
import random, sys
rng = random.Random(1234)
total = 100 * 1024 * 1024
with open(sys.argv[1], "wb") as out:
    written, line = 0, 0
    while written < total:
        text = "".join("2026.12.10 11:20:%d INFO   : Worker %d processed item %d in %d us\n"
                       % ((line + i) % 60, rng.randrange(16), line + i, rng.randrange(1000)) for i in range(4000))
        line += 4000
        binary = bytes(rng.randrange(256) if rng.randrange(4) == 0 else i & 0x0F for i in range(64 * 1024))
        block = (text.encode() + binary)[: total - written]
        out.write(block)
        written += len(block)
PY
    INPUT="$WORK/input.bin"
fi
SIZE=$(stat -c %s "$INPUT")
echo "input: $INPUT ($SIZE bytes)"

echo "== SimpleZip, level 1"
"$BUILD/bin/ZipBenchmark" --input="$INPUT" --benchmark_counters_tabular=true

echo "== zip -1 (3 runs)"
for run in 1 2 3; do
    rm -f "$WORK/zip.zip"
    /usr/bin/time -f "%e %U %S" -o "$WORK/time" zip -q -1 -j "$WORK/zip.zip" "$INPUT"
    read -r wall user sys < "$WORK/time"
    python3 -c "import sys; w,u,s=map(float,sys.argv[1:4]); print('zip -1: wall %.0f ms, cpu %.0f ms, %.1f MB/s (wall), archive %s bytes' % (w*1000, (u+s)*1000, int(sys.argv[4])/w/1e6, sys.argv[5]))" \
        "$wall" "$user" "$sys" "$SIZE" "$(stat -c %s "$WORK/zip.zip")"
done
