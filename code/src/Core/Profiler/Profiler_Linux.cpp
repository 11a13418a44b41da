#include "ProfilerPlatform.h"

#include <pthread.h>
#include <unistd.h>

namespace Morvex
{
uint32 ProfilerPlatform_GetThreadId()
{
    return static_cast<uint32>(gettid());
}

void ProfilerPlatform_GetThreadName(char* out, uint32 capacity)
{
    if (capacity == 0)
        return;
    out[0] = '\0';
    char name[16] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0)
        return;
    uint32 i = 0;
    for (; i + 1 < capacity && name[i] != '\0'; ++i)
        out[i] = name[i];
    out[i] = '\0';
}
} // namespace Morvex
