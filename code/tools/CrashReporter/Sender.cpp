// The report sender: Elasticsearch event, archive, upload with retries.

#include "CrashReporter.h"

namespace Morvex
{
void RunSenderThread()
{
    // A test run sends nothing; real sending arrives with threads, the zip writer and HTTP.
}
} // namespace Morvex
