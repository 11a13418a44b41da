#ifndef MORVEX_CRASH_RECORD_H
#define MORVEX_CRASH_RECORD_H
/* What a crashing process's signal handler hands the dump writer through a pipe: the crash and the
 * crashing thread's registers as the signal found them (the writer cannot read those from outside:
 * by then the thread runs the handler). Plain data of fixed layout; C and C++. */

#include <stdint.h>

#define MX_CRASH_RECORD_MAGIC 0x3143524du /* "MRC1" */
#define MX_CRASH_RECORD_VERSION 1u

typedef struct MxCrashRecord
{
    uint32_t magic;
    uint32_t version;
    uint32_t size; /* sizeof(MxCrashRecord) */
    int32_t pid;
    int32_t tid;
    int32_t signal;
    int32_t code; /* si_code */
    int32_t hasFloatState;
    uint64_t faultAddress; /* si_addr */
    /* x86-64 general registers in the order of the kernel's signal context (ucontext gregs:
     * r8-r15, rdi, rsi, rbp, rbx, rdx, rax, rcx, rsp, rip, eflags, cs/gs/fs, err, trapno,
     * oldmask, cr2). */
    uint64_t gregs[23];
    /* The FXSAVE area of the signal context (x87, MXCSR, XMM registers). */
    uint8_t floatState[512];
} MxCrashRecord;

#endif
