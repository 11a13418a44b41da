// A stand-in for the frame-capture library, found through LD_LIBRARY_PATH by its system name. Its
// load leaves a mark in $FAKE_RENDERDOC_MARKER; RENDERDOC_GetAPI answers $FAKE_RENDERDOC_ANSWER
// (1 when unset) for API 1.6.0. Built without the entry point when FAKE_RENDERDOC_NO_ENTRY is set.

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
void* GApiTable[32] = {};

__attribute__((constructor)) void MarkLoaded()
{
    if (const char* marker = std::getenv("FAKE_RENDERDOC_MARKER"))
    {
        if (FILE* f = std::fopen(marker, "w"))
            std::fclose(f);
    }
}
} // namespace

#ifndef FAKE_RENDERDOC_NO_ENTRY
extern "C" __attribute__((visibility("default"))) int RENDERDOC_GetAPI(int version, void** api)
{
    const char* answer = std::getenv("FAKE_RENDERDOC_ANSWER");
    if (version != 10600 || (answer != nullptr && std::strcmp(answer, "1") != 0))
        return 0;
    *api = GApiTable;
    return 1;
}
#endif
