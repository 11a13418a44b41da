#pragma once
// Seam between the portable thread registry and the operating system. Implemented once per
// platform (ThreadingPlatform_Linux.cpp); used only by the registry's own sources.

#include "Core/Threading/Threading.h"

namespace Morvex
{
namespace ThreadingPlatform
{
// The registry lock: recursive, usable from static initialisation to the last thread exit.
void Lock();
void Unlock();

uint32 CurrentThreadId();

// Arms the exit hook of the calling thread with `info` (null disarms it); Current reads it back.
// The hook calls Threading_OnThreadExit(info) when the thread ends.
void SetExitHook(ThreadInfo* info);
ThreadInfo* GetExitHook();

// Captures what the scheduling mapping needs from the main thread (its nice value).
void InitMainThread();
// A handle for the calling (main) thread; waits on it end when CloseMainThreadHandle runs.
ThreadHandle OpenMainThreadHandle();
void CloseMainThreadHandle(ThreadHandle handle);

// Creates the OS thread, which calls Threading_RunThreadEntry(info) once running. On success returns
// the handle and the new thread's id in *threadId; on failure returns null with the OS error in *error.
ThreadHandle CreateThread(uint32 stackSize, ThreadInfo* info, uint32* threadId, int* error);
// Return 0 on success or the OS error.
int SetPriority(ThreadHandle handle, ThreadPriority priority);
int SetAffinity(ThreadHandle handle, uint64 mask);
void SetName(ThreadHandle handle, const char* name); // null handle: the calling thread

// Waits for one handle until the monotonic deadline (ms; ignored when infinite). 1 = ended,
// 0 = timed out, -1 = the wait failed.
int Wait(ThreadHandle handle, bool infinite, uint64 deadlineMs);
uint64 MonotonicMs();

// OS events: null when none could be made. Set/Reset return 0 or the OS error; Wait returns true
// when signalled within timeoutMs (kInfinite: no limit) and consumes an auto-reset signal.
void* EventCreate(bool manualReset);
void EventClose(void* event);
int EventSet(void* event);
int EventReset(void* event);
bool EventWait(void* event, uint32 timeoutMs);

// Counting semaphores (initial count 0). Wait returns 0 or the OS error; Release returns 0 or the
// OS error of the first post that failed.
void* SemaphoreCreate();
void SemaphoreClose(void* semaphore);
int SemaphoreWait(void* semaphore);
int SemaphoreRelease(void* semaphore, int32 count);
} // namespace ThreadingPlatform

// Called by the platform layer: on the new thread, and from the thread exit hook.
void Threading_RunThreadEntry(ThreadInfo* info);
void Threading_OnThreadExit(ThreadInfo* info);
} // namespace Morvex
