#include "CrashReporter.h"

#include "Core/PlatformApplication.h"

int main(int argc, char** argv)
{
    return Morvex::RunApplication(argc, argv, &Morvex::CrashReporterEntry);
}
