// A kept report's state file, as read on a later run: whatever it holds, reading must not crash,
// every file it names must stay a bare name inside the report folder, and what was read must
// survive being written and read again unchanged (so a damaged file cannot grow or shift fields
// from one run to the next).

#include "PendingReports.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace Morvex;

namespace
{
void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool IsBareName(const FilePath& name)
{
    const StrView v = name.view();
    if (v.empty() || v == StrView(".") || v == StrView(".."))
        return false;
    for (uint32 i = 0; i < v.length(); ++i)
        if (v[i] == '/' || v[i] == '\\')
            return false;
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxReportStateBytes + 16)
        return 0;
    const StrView text(reinterpret_cast<const char*>(data), static_cast<uint32>(size));
    ReportState first;
    std::string problem;
    ReadReportState(text, first, problem);
    for (const ReportFile& file : first.report.reportFiles)
        Check(IsBareName(file.name));

    const std::string written = WriteReportState(first);
    ReportState second;
    ReadReportState(StrView(written.data(), static_cast<uint32>(written.size())), second, problem);
    Check(problem.empty());
    Check(WriteReportState(second) == written);
    return 0;
}
