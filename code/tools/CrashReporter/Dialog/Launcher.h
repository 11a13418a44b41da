#pragma once
// Starting outside programs from the crash dialog: the game's launcher (repair button) and the
// desktop's opener for the report folder. Free of any toolkit so that it can be tested on its own.

namespace Morvex::CrashDialog
{
// Starts `program` with the argument vector `argv` (argv[0] included, null-terminated) directly,
// never through a shell, inheriting the environment and the working directory, and does not wait
// for it. With `searchPath` a bare name is looked up in PATH; otherwise `program` is used as the
// path it is (relative to the working directory when not absolute). Ignored signals and the
// caller's signal mask are reset for the child. On success stores the child's pid in `pidOut`
// (when not null; the caller then owns the reaping) and returns 0; otherwise returns an errno
// value (ENOENT for a null or empty program). A program that exists but cannot be executed
// reports the exec failure's errno.
int SpawnProgram(const char* program, const char* const* argv, bool searchPath, int* pidOut);

// Starts the launcher at `path` with `path` as its only argument (argv[0]); the launcher's own
// start of the game is its business, so the child is not waited for. Returns as SpawnProgram.
int StartLauncher(const char* path);
} // namespace Morvex::CrashDialog
