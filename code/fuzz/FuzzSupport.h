#pragma once
// What the fuzz targets share: a log that takes every message (so that formatting runs) and drops it.

#include "Core/Log.h"

#include <cstring>

namespace Morvex::Fuzz
{
// Creates the log system when needed and registers a sink that reads every text to its end.
inline void InstallDiscardingLog()
{
    class DiscardSink final : public LogSink
    {
    public:
        void Write(uint32, const char* file, int32, const char* text) override
        {
            m_total += std::strlen(text) + (file != nullptr ? std::strlen(file) : 0);
        }
        size_t m_total = 0;
    };
    if (!Log::SystemExists())
        Log::CreateSystem();
    static DiscardSink sink;
    Log::AddSink(&sink, Log::kMaskAll);
}
} // namespace Morvex::Fuzz
