// A program that runs as an application and leaks the number of bytes its first argument names (none
// without one), so that the leak report at exit can be checked from outside.

#include "Core/Memory/Memory.h"
#include "Core/PlatformApplication.h"

#include <cstdlib>

namespace
{
unsigned long GLeakBytes = 0;

Morvex::int32 Run()
{
    if (GLeakBytes != 0)
    {
        void* volatile leaked = Morvex::Memory::Alloc(GLeakBytes);
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
    return Morvex::RunApplication(argc, argv, Run);
}
