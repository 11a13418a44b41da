#pragma once
// Assertions: a failed check is reported through the process-wide, replaceable assertion handler.
// The default handler logs the report at Fatal and then ends the process with an unhandled
// breakpoint trap unless a debugger is attached. Code after an assertion must still be safe,
// because tests (and a debugger) let execution continue.

#include "Core/Types.h"

namespace Morvex
{
// (file, line, expression text, message or null). Called on the failing thread.
using AssertHandler = void (*)(const char* file, int32 line, const char* expression, const char* message);

// Reports a failed assertion through the current handler; returns true when the call site is to
// break into the debugger (a debugger is attached now).
bool AssertFailed(const char* file, int32 line, const char* expression, const char* message);

// Replaces the process-wide handler (null restores the default) and returns the previous one.
// Not synchronised: swap it only while no other thread can assert (tests, start-up).
AssertHandler SetAssertHandler(AssertHandler handler);
AssertHandler GetAssertHandler();

// The default handler: "%s(%d): ASSERT: %s" [": %s"] logged at Fatal; returns only under a debugger.
void DefaultAssertHandler(const char* file, int32 line, const char* expression, const char* message);

// Debugger presence (TracerPid in /proc/self/status) and a breakpoint that a debugger can step over.
bool Platform_IsDebuggerPresent();
void Platform_DebugBreak();
// Ends the process the way a failed assertion does: a trap nothing handles, so that the exit status
// (133 on Linux) and a core dump tell what happened. Never returns.
[[noreturn]] void Platform_TerminateWithTrap();
} // namespace Morvex

#define MX_DEBUG_BREAK() ::Morvex::Platform_DebugBreak()

// Plain check: reports and, under a debugger, breaks; execution always continues afterwards.
#define MX_ASSERT(expr) MX_ASSERT_MSG(expr, nullptr)
#define MX_ASSERT_MSG(expr, msg)                                                                             \
    do                                                                                                       \
    {                                                                                                        \
        if (!(expr)) [[unlikely]]                                                                            \
        {                                                                                                    \
            if (::Morvex::AssertFailed(__FILE__, __LINE__, #expr, msg))                                      \
                MX_DEBUG_BREAK();                                                                            \
        }                                                                                                    \
    } while (0)

// Check that yields the condition, for "assert, then take the safe path": if (!MX_VERIFY(p)) return;
#define MX_VERIFY(expr) MX_VERIFY_MSG(expr, nullptr)
#define MX_VERIFY_MSG(expr, msg)                                                                             \
    ((expr)                                                                                                  \
         ? true                                                                                              \
         : ((::Morvex::AssertFailed(__FILE__, __LINE__, #expr, msg) ? MX_DEBUG_BREAK() : (void)0), false))

// Unconditional failure, reported with the expression text "DebugBreak". Without a debugger the
// default handler has already ended the process; a replaced handler that returns lets the caller
// continue on its safe path.
#define MX_ASSERT_FAIL(msg)                                                                                  \
    do                                                                                                       \
    {                                                                                                        \
        if (::Morvex::AssertFailed(__FILE__, __LINE__, "DebugBreak", msg))                                   \
            MX_DEBUG_BREAK();                                                                                \
    } while (0)
