// Report preparation: gathering the dump and the --wc matches into the dated report folder.

#include "CrashReporter.h"

namespace Morvex
{
uint32 PrepareReportData()
{
    // Copying arrives with the file services; until then nothing is gathered.
    GReportFiles.clear();
    return 0;
}
} // namespace Morvex
