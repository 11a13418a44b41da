#!/usr/bin/env bash
# Builds everything under ThreadSanitizer and runs every suite that crosses threads: the thread
# tests, the lock-free lists and pools and the task graph (stall injection included), the file loader
# (its FileIO and Decompress threads beside the main thread), the network,
# sender and reporter-run tests (a server thread beside the client, the sender
# thread beside the main thread), the profiler (recording threads beside its send thread), the dialog tests (the dialog's sender beside GTK's loop), the
# deflate pieces on helper threads and the minidump writer reading a live process (the crash tests themselves need no sanitizer's signals).
# Libraries from Debian are not instrumented; code/tests/tsan.supp keeps their reports out.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
JOBS=${JOBS:-$(nproc)}
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX_SANITIZE=thread >/dev/null
# Only what these suites run: the reporter, its dialog module and the collector run as children.
cmake --build build-tsan -j"$JOBS" --target ThreadingTests LockFreeTests TaskGraphTests AsyncIOTests NetTests SenderTests ElasticEventTests \
    ReporterSendRunTests ReporterProfilerRunTests ProfilerTests CrashDialogModuleTests CrashReporterDialogTests CrashHookTests ParallelDeflateTests StackTraceTests \
    CrashReporter CrashReporterDialog \
    Collector ProfilerCapture CrashDumpWriter CrashDemoGame
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/code/tests/tsan.supp"
# Each case runs in a process of its own (ctest), and the thread, lock-free and task-graph tests once
# more all together, where records, caches and pools of earlier cases stay in the process.
(cd build-tsan && ctest -L "threading|net|gui|crash" -j"$JOBS" --output-on-failure --timeout 600)
build-tsan/bin/ThreadingTests --gtest_brief=1
build-tsan/bin/LockFreeTests --gtest_brief=1
build-tsan/bin/TaskGraphTests --gtest_brief=1
