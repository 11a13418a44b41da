#include "Core/Kernel.h"

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    Morvex::Kernel::EnsureConstructed();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
