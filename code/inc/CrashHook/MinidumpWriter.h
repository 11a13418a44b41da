#pragma once
// Writes a minidump of another process on this machine, read from outside with ptrace and /proc:
// the header "MDMP" and the streams system info, misc info (the process id), exception (when a
// crash record is given), thread list (every thread's registers and stack memory), module list
// (every mapped ELF file with its GNU build id as a "BpEL" CodeView record), memory list, and the
// Linux streams /proc/<pid>/status, maps, cmdline and auxv.
//
// The threads are stopped with PTRACE_SEIZE + PTRACE_INTERRUPT while they are read and let go
// before the call returns, on every path: a tracer that dies meanwhile leaves them running, never
// stopped. x86-64 only. No dependency on the rest of the engine.

#include "CrashHook/CrashRecord.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Morvex::CrashHook
{
struct DumpOptions
{
    // The most bytes of memory regions the dump holds (thread stacks first, the crashing one
    // before the others); the dump file is this plus its small fixed parts.
    uint64_t maxMemoryBytes = 64ull << 20;
    // Called once every thread is stopped, before anything is read (null: nothing). The writer's
    // own tests end the process here, to show that the threads run on when the writer dies.
    void (*afterThreadsStopped)() = nullptr;
};

struct DumpResult
{
    bool ok = false;
    // What went wrong (ok false), or what was left out (ok true): threads that could not be
    // stopped, memory that could not be read.
    std::string notes;
    uint32_t threads = 0;
    uint32_t modules = 0;
    uint64_t memoryBytes = 0;
};

// The GNU build id in a block of ELF notes (a PT_NOTE segment's bytes, read from anywhere and so
// untrusted): the description of the first "GNU" note of type NT_GNU_BUILD_ID, 1 to 64 bytes;
// empty when there is none or the notes are malformed. Never reads outside the block.
std::vector<uint8_t> FindGnuBuildId(const uint8_t* notes, size_t size);

// Builds the dump of process `pid` into `out`. With `record` (the crash as the crashing thread's
// signal handler saw it), the dump has an exception stream and that thread's registers are the
// record's; without, it is a snapshot. ok is false only when the process cannot be read at all
// (gone, or not ours to trace); then `out` is empty.
DumpResult WriteMinidump(int pid, const MxCrashRecord* record, const DumpOptions& options,
                         std::vector<uint8_t>& out);
} // namespace Morvex::CrashHook
