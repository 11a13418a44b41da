#pragma once
// The profiler's connection: the send thread "Profiler" drains every thread's rings, streams them
// to a viewer over TCP (ProfilerProtocol.h) and answers the viewer's requests. The program either
// connects to a known viewer, or listens on port 1985 for a viewer that tells it where to connect
// back.
//
// Every packet from the viewer is untrusted: one that is malformed, out of place or refers to
// something that is not ours drops the connection and nothing else.
//
// Threads: Start, Stop, RequestSave and the setters run on the main thread; the send thread alone
// uses the sockets. GetState may be read from any thread.

#include "Core/Types.h"

namespace Morvex
{
enum class EConnectionState : uint32
{
    kNotStarted = 0,
    kListening = 1, // "ProfilerClientListenSocket" waits for a viewer
    kAccepted = 2,  // a viewer connected to the listening socket
    kConnected = 3, // connected to a viewer, handshake sent
    kFailed = 4,
};

namespace ProfilerSendThread
{
// Records the module base, connects at once to a host other than the loopback host, and to the
// loopback host only while a viewer announces itself (the named semaphore
// "/MorvexProfilerStarted" exists); then starts the thread "Profiler". `trace`: "--profiler-trace"
// (system event tracing, which this platform does not offer without privileges: a warning).
// `beforeThread` (may be null) runs on the calling thread after the connection attempt and before
// the thread starts. The thread "ProfilerSymbolsWorker" starts with it: it answers the viewer's
// symbols requests through the stack-trace symboliser, so that they never hold up the stream.
// Asserts "!ThreadBase::IsValid()" when already running.
void Start(const char* host, uint16 port, bool trace, void (*beforeThread)() = nullptr);
// Stops the symbols worker (a request in progress is dropped), stops and joins the send thread
// (which flushes the rings and says goodbye), closes the sockets and resets the state to
// kNotStarted. Nothing happens when not running.
void Stop();
bool IsRunning();
EConnectionState GetState();

// Queues a save request (packet type 10) for the viewer; sent by the send thread while connected.
void RequestSave(const char* path, uint32 compression);

// Bounds the blocking connect, and the time a viewer that reached the listening socket has to ask
// for its connect-back before it is dropped (default 2000 ms).
void SetConnectTimeoutMs(uint32 timeoutMs);
// The port of "ProfilerClientListenSocket" (default 1985; tests use others). 0 disables listening.
void SetListenPort(uint16 port);
// Dropped viewer connections because of malformed packets since the process started.
uint32 GetRejectedConnections();

// Tests: `hook` (null: none) runs on the send thread each time it drains a thread record, with the
// record's index, after the send thread has read how far the record's events are published and
// before it reads the record's texts. Set it while the send thread is stopped.
void SetDrainHookForTests(void (*hook)(uint32 recordIndex));
} // namespace ProfilerSendThread
} // namespace Morvex
