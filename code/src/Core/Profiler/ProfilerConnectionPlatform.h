#pragma once
// Sockets and process facts of the profiler's connection (one implementation per platform). A
// socket is a descriptor; -1 is none. Every socket is non-blocking and closed on exec.

#include "Core/Types.h"

namespace Morvex
{
namespace ProfilerPlatform
{
// Connects to host:port (IPv4), waiting at most timeoutMs. Returns the socket, or -1.
int Connect(const char* host, uint16 port, uint32 timeoutMs);
// Listens on every interface at `port`; -1 on failure.
int Listen(uint16 port);
// A waiting connection of a listening socket, or -1 when none waits.
int Accept(int listenSocket);
// Sends every byte, waiting for room at most timeoutMs at a time. False when the connection is
// closed, failed or stalled.
bool SendAll(int socket, const void* data, uint32 size, uint32 timeoutMs);
// Receives what is there: > 0 bytes read, 0 nothing waiting, -1 closed or failed.
int Receive(int socket, void* buffer, uint32 size);
// Waits until the socket is readable or timeoutMs passes (socket -1: just sleeps).
void WaitReadable(int socket, uint32 timeoutMs);
void Close(int& socket);

// The named semaphore a running viewer creates exists.
bool ViewerAnnounced();
// Load address of the executable, its path ("/" separators) and the computer's name.
uint64 GetExecutableBase();
void GetExecutablePath(char* out, uint32 capacity);
void GetComputerName(char* out, uint32 capacity);
void GetCpuBrand(char* out, uint32 capacity);
// Family, model, stepping and type bytes of the processor's signature.
void GetCpuInfo(uint8 out[4]);
uint32 GetProcessId();
// Monotonic clock in nanoseconds; sleeps.
uint64 MonotonicNs();
void SleepMs(uint32 ms);

// The module containing `address` (path and load base) and the nearest symbol, without reading
// memory at the address; false when no module holds it.
bool DescribeAddress(uint64 address, const char*& modulePath, uint64& moduleBase, const char*& symbol);
// The folder exists ("" or a bare drive prefix counts as the current folder).
bool FolderExists(const char* path);
} // namespace ProfilerPlatform
} // namespace Morvex
