#!/usr/bin/env bash
# Reading throughput over 1 GiB of fixture files (256 files of 4 MiB named *.dds): `cat` of every
# file, a plain loop of pread into one 4 MiB buffer and into 16 rotating 4 MiB buffers (the shape of
# the asynchronous command), and the reporter's Test.FileReadingPerformanceBlocking and
# Test.FileReadingPerformanceAsync from crash-reporter.cfg. Page cache warm; RUNS (default 5) runs of
# each, medians printed in MB/s. BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-5}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target CrashReporter >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/morvex-read.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/files" "$work/run"
for i in $(seq -w 1 256); do head -c 4194304 /dev/urandom >"$work/files/f$i.dds"; done

# The pread baseline: the same reads a loader thread makes, without the loader.
cat >"$work/pread.c" <<'C'
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
int main(int argc, char** argv)
{
    int slots = atoi(argv[2]);
    size_t size = 4194304;
    char** buffers = malloc(sizeof(char*) * slots);
    for (int s = 0; s < slots; ++s)
    {
        buffers[s] = malloc(size);
        memset(buffers[s], 1, size);
    }
    struct dirent** names;
    int n = scandir(argv[1], &names, NULL, alphasort);
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    long long total = 0;
    for (int i = 0, s = 0; i < n; ++i)
    {
        if (names[i]->d_name[0] == '.')
            continue;
        char path[4096];
        snprintf(path, sizeof path, "%s/%s", argv[1], names[i]->d_name);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        ssize_t got = pread(fd, buffers[s], size, 0);
        total += got > 0 ? got : 0;
        close(fd);
        s = (s + 1) % slots;
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    double seconds = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    printf("%.1f\n", total / seconds / 1e6);
    return 0;
}
C
cc -O2 -o "$work/pread" "$work/pread.c"

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
cat "$work"/files/* >/dev/null # warm the page cache

for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    cat "$work"/files/* >/dev/null
    end=$(date +%s.%N)
    echo "1073741824 / ($end - $start) / 1000000" | bc -l
done | median | xargs printf 'cat                         %8.1f MB/s\n'
for slots in 1 16; do
    for _ in $(seq "$runs"); do "$work/pread" "$work/files" "$slots"; done | median |
        xargs printf "pread, %2d rotating buffers  %8.1f MB/s\n" "$slots"
done
for form in Blocking Async; do
    echo "Test.FileReadingPerformance$form \"$work/files\"" >"$work/run/crash-reporter.cfg"
    for _ in $(seq "$runs"); do
        (cd "$work/run" && "$build/bin/CrashReporter" --test 2>&1) |
            sed -n "s/.*$form: .* at \([0-9.]*\) MB\/sec.*/\1/p"
    done | median | xargs printf "%-27s %8.1f MB/s\n" "$form"
done
