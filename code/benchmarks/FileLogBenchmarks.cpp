// Cost of one file-log line: format on the stack, one unbuffered write to the system.

#include "Core/FileLog.h"
#include "Core/Kernel.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace Morvex;

namespace
{
void BM_FileLogLine(benchmark::State& state)
{
    char path[] = "/tmp/filelog-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
    {
        state.SkipWithError("no temporary file");
        return;
    }
    close(fd);
    FileLog log;
    log.Open(path);
    const std::string text(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state)
        log.Write(Log::Info, __FILE__, __LINE__, text.c_str());
    log.Close();
    unlink(path);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FileLogLine)->Arg(80)->Arg(3000);
} // namespace

BENCHMARK_MAIN();
