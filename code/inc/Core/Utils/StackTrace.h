#pragma once
// Stack traces: the calling thread's return addresses, turned into function names, source files and
// lines, and the signature under which a symbol store files a module's debug information.
//
// Capturing is cheap, takes no lock and allocates nothing. Symbolisation and signatures share one
// process-wide lock (the debug-information library is not thread-safe); they load that library on
// first use and work without it, with less detail: function names from the modules' symbol tables,
// then bare addresses.

#include "Core/Memory/Allocator.h"
#include "Core/StaticString.h"
#include "Core/String.h"
#include "Core/Types.h"

namespace Morvex
{
// One symbolised frame. The texts point into buffers that live only during the visitor's call.
struct StackFrameInfo
{
    // The return address; the start of the function when its symbol is found.
    uint64 address = 0;
    // The first instruction of the source line, when the line is found; else 0.
    uint64 lineAddress = 0;
    // The return address's offset from the function's start, when the symbol is found; else 0.
    uint64 displacement = 0;
    // The function's size, when the symbol is found (and the symbol table knows it); else 0.
    uint64 symbolSize = 0;
    // The function's name (demangled), or null.
    const char* name = nullptr;
    // The source file's full path as the compiler recorded it, or null.
    const char* file = nullptr;
    // The module's image path, or null.
    const char* module = nullptr;
    // The source line, or 0.
    uint32 line = 0;
    // Position of the frame in the list, from 0.
    uint32 index = 0;
};

// Receives frames from SymbolizeStack. Runs inside the symbolisation lock: it must not symbolise
// (or compute signatures) itself.
class StackFrameVisitor
{
public:
    virtual void OnFrame(const StackFrameInfo& frame) = 0;

protected:
    ~StackFrameVisitor() = default;
};

// Largest capture the engine's own traces use.
constexpr uint32 kMaxStackFrames = 32;

// Fills `frames` with up to `capacity` return addresses of the calling thread, innermost first.
// With `framesToSkip` 0 the first one lies in the caller itself (where it continues after this
// call); each further skip drops one more frame. Returns how many were written (at most 65535).
// Any thread; no lock, no allocation after the first call of the process.
uint16 CaptureStackBackTrace(void** frames, uint32 capacity, uint32 framesToSkip);

// Builds a StackFrameInfo for each of the `count` addresses in order and hands it to the visitor;
// stops early at a null address. The addresses are return addresses: the function and line are
// those of the call instruction just before each one. Any thread (serialised with every other
// symbolisation). A thread with less than 512 KiB of stack left gets names from the symbol tables
// only, without file and line: reading line tables needs more stack than that.
void SymbolizeStack(void* const* addresses, uint32 count, StackFrameVisitor& visitor);

// The text form of the frames. One line per frame, "%2d: [%p] %s(%d): %s\n" (index, function
// start or return address, source file's base name, line, function), or "%2d: [%p] %s\n" when the
// line is unknown. Compact: all on one line, "%s(%d) %s " per frame, or "%s " without a line. An
// unknown function is printed as "?". The string's storage comes from `allocator`, or from the
// strings allocator when it is null.
String FormatStackTrace(void* const* addresses, uint32 count, Allocator* allocator, bool compact);

// The compact text of one frame: the caller of the function that calls this, `framesToSkip` frames
// further out. Empty when the stack is not that deep.
String GetImmediateCaller(Allocator* allocator, uint32 framesToSkip);

// Why a module has no signature.
enum class EModuleSignatureResult : uint32
{
    kOk = 0,
    kCannotOpen,  // the file does not exist or cannot be read
    kNotElf,      // no ELF header
    kUnsupported, // an ELF file, but not 64-bit little-endian
    kMalformed,   // a table, note or size points outside the file, or contradicts itself
    kNoSignature, // well-formed, but without a GNU build-id (or one longer than 32 bytes)
};

// The identity under which a symbol store files the module's debug information: the module's GNU
// build-id as upper-case hex digits (40 for the usual 20-byte id, at most 64). Every read is checked
// against the file's size: a truncated or hostile file gives an error, never a read outside it.
// `out` is empty unless the result is kOk. `path`: a module's file (null: kCannotOpen). Any thread.
EModuleSignatureResult GetModuleSignature(const char* path, StaticString64_t& out);

// The same signature, or an empty text when there is none.
StaticString64_t GetModulePdbSignature(const char* path);

// Connects the memory system's diagnostics to stack traces: the debug heap records each block's
// call stack, and the shutdown leak report prints the stacks of leaked blocks. The kernel calls it
// at construction.
void InstallStackTraceMemoryHooks();

// The leak report's text for one recorded call stack (return addresses as the debug heap captured
// them, innermost first): the frames in the line form of FormatStackTrace, leaving out the memory
// system's own leading frames. Appends to `out`, cut when full; allocates nothing from the engine's
// heaps (it runs after they are shut down).
void FormatLeakStack(void* const* frames, uint32 count, StaticString1024_t& out);

// True when source files and lines are available (the debug-information library is loaded and not
// switched off for tests). Loads it on first use.
bool IsStackTraceDebugInfoAvailable();

// Tests: with false, symbolisation ignores the debug-information library as if it were missing
// (function names from the symbol tables only); true restores it.
void SetStackTraceDebugInfoEnabledForTests(bool enabled);
} // namespace Morvex
