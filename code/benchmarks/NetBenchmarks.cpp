// Throughput of the multipart upload against a local server that discards what it reads, beside
// the same server fed by one plain in-memory POST, and of the hand-built multipart writer.

#include "Core/CmdSystem.h"
#include "Core/Kernel.h"
#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include <httplib.h>
#ifdef DELETE
#undef DELETE
#endif

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <unistd.h>

using namespace Morvex;
using Net::HTTPClient;

namespace
{
struct Server
{
    Server()
    {
        server.set_payload_max_length(std::numeric_limits<size_t>::max());
        auto discard =
            [](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
        {
            size_t total = 0;
            if (req.is_multipart_form_data())
                reader([](const httplib::MultipartFormData&) { return true; },
                       [&](const char*, size_t n)
                       {
                           total += n;
                           return true;
                       });
            else
                reader(
                    [&](const char*, size_t n)
                    {
                        total += n;
                        return true;
                    });
            res.set_content(std::to_string(total), "text/plain");
        };
        server.Post("/submit/", discard);
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~Server()
    {
        server.stop();
        thread.join();
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/submit/"; }

    httplib::Server server;
    std::thread thread;
    int port = 0;
};

Server& GetServer()
{
    static Server s;
    return s;
}

std::string MakeFile(size_t bytes)
{
    char path[] = "/tmp/netbench-XXXXXX";
    int fd = mkstemp(path);
    std::string chunk(1 << 20, 'x');
    for (size_t done = 0; done < bytes; done += chunk.size())
    {
        ssize_t n = write(fd, chunk.data(), std::min(chunk.size(), bytes - done));
        if (n <= 0)
            break;
    }
    close(fd);
    return path;
}

void BM_UploadFileSync(benchmark::State& state)
{
    size_t bytes = static_cast<size_t>(state.range(0)) << 20;
    std::string file = MakeFile(bytes);
    std::string url = GetServer().Url();
    const Net::HTTPFormField fields[] = {{"Id", "42"}, {"Comments", ""}, {"ProductName", "Bench"}};
    for (auto _ : state)
    {
        if (!HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", file.c_str(), fields, 3))
            state.SkipWithError("upload failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    unlink(file.c_str());
}
BENCHMARK(BM_UploadFileSync)->Arg(1)->Arg(64)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same bytes as one in-memory POST: the floor set by the transport and the server.
void BM_PostInMemory(benchmark::State& state)
{
    size_t bytes = static_cast<size_t>(state.range(0)) << 20;
    std::string body(bytes, 'x');
    std::string url = GetServer().Url();
    for (auto _ : state)
    {
        HTTPClient::RequestParams params;
        params.synchronous = true;
        params.body = body.data();
        params.bodySize = static_cast<uint32>(body.size());
        HTTPClient::Request(url.c_str(), params, nullptr);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_PostInMemory)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MultipartBuild(benchmark::State& state)
{
    std::string content(static_cast<size_t>(state.range(0)) << 20, 'y');
    Net::MultipartPart parts[2];
    parts[0].name = "f";
    parts[0].fileName = "a.bin";
    parts[0].content = content.data();
    parts[0].contentSize = static_cast<uint32>(content.size());
    parts[1].name = "test_field";
    parts[1].content = "test_field_value";
    parts[1].contentSize = 16;
    StaticString<256> contentType;
    for (auto _ : state)
        benchmark::DoNotOptimize(Net::MultipartForm::Build(parts, 2, contentType));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_MultipartBuild)->Arg(16)->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char** argv)
{
    Kernel::EnsureConstructed();
    CmdSystem::Init();
    Net::Init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Net::Shutdown();
    CmdSystem::Shutdown();
    return 0;
}
