// A program that runs as an application and leaks the number of bytes its first argument names (none
// without one), so that the leak report at exit can be checked from outside. With
// --leak-string it also leaks 40 bytes of the kernel's strings heap.

#include "Core/Memory/Memory.h"
#include "Core/PlatformApplication.h"

#include <cstdlib>
#include <cstring>

namespace
{
unsigned long GLeakBytes = 0;
bool GLeakString = false;

Morvex::int32 Run()
{
    if (GLeakBytes != 0)
    {
        void* volatile leaked = Morvex::Memory::Alloc(GLeakBytes);
        (void)leaked;
    }
    if (GLeakString)
    {
        void* volatile leaked = Morvex::Memory::GetStringsAllocator().Alloc(40, 16);
        (void)leaked;
    }
    // A block that is freed is no leak.
    Morvex::Memory::Free(Morvex::Memory::Alloc(64));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc > 1)
        GLeakBytes = std::strtoul(argv[1], nullptr, 10);
    for (int i = 2; i < argc; ++i)
        GLeakString = GLeakString || std::strcmp(argv[i], "--leak-string") == 0;
    return Morvex::RunApplication(argc, argv, Run);
}
