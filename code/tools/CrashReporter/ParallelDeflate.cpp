// Pieces of one deflate stream compressed on helper threads and joined in order.

#include "ParallelDeflate.h"

#include "Core/Threading/ThreadBase.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>
#include <zlib.h>

namespace Morvex
{
namespace
{
constexpr uint32 kWindowBytes = 32 * 1024;
constexpr uint32 kSampleBytes = 16 * 1024;

struct Piece
{
    std::vector<char> input;
    std::vector<char> dictionary; // the 32 KiB of input before this piece
    bool last = false;
    std::vector<char> output;
    uint32 crc = 0;
    bool failed = false;
    bool done = false;
};

// Whether a sample of the piece shrinks at the fastest level: what does not is stored.
bool Compressible(const std::vector<char>& input)
{
    const uint32 sample = static_cast<uint32>(std::min<size_t>(input.size(), kSampleBytes));
    if (sample < 1024)
        return true;
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return true;
    std::vector<unsigned char> out(deflateBound(&z, sample));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    z.avail_in = sample;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    const uLong produced = z.total_out;
    deflateEnd(&z);
    return produced < sample - sample / 32;
}

void Compress(Piece& piece, int32 level)
{
    piece.crc = static_cast<uint32>(
        crc32(0, reinterpret_cast<const Bytef*>(piece.input.data()), static_cast<uInt>(piece.input.size())));
    const int used = Compressible(piece.input) ? level : 0;
    z_stream z{};
    if (deflateInit2(&z, used, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    {
        piece.failed = true;
        return;
    }
    if (!piece.dictionary.empty() && used != 0)
        deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(piece.dictionary.data()),
                             static_cast<uInt>(piece.dictionary.size()));
    // Room for the worst case and the flush marker.
    piece.output.resize(deflateBound(&z, static_cast<uLong>(piece.input.size())) + 16);
    z.next_in = reinterpret_cast<Bytef*>(piece.input.data());
    z.avail_in = static_cast<uInt>(piece.input.size());
    z.next_out = reinterpret_cast<Bytef*>(piece.output.data());
    z.avail_out = static_cast<uInt>(piece.output.size());
    // A piece that is not the last ends on a byte boundary (an empty stored block), so that the next
    // piece's bytes follow it directly.
    const int result = deflate(&z, piece.last ? Z_FINISH : Z_SYNC_FLUSH);
    piece.failed = piece.last ? result != Z_STREAM_END : (result != Z_OK || z.avail_in != 0);
    piece.output.resize(z.total_out);
    deflateEnd(&z);
}

// The helpers take pieces in order and mark them done; the caller hands them out in order.
class Pool
{
public:
    Pool(uint32 threads, int32 level) : m_level(level)
    {
        for (uint32 i = 0; i < threads; ++i)
        {
            auto worker = std::make_unique<Worker>(*this);
            if (worker->Start(0x20000, ThreadPriority::Low))
                m_workers.push_back(std::move(worker));
        }
    }
    ~Pool()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (auto& worker : m_workers)
            worker->Join();
    }
    bool HasWorkers() const { return !m_workers.empty(); }
    void Add(Piece* piece)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(piece);
        }
        m_wake.notify_one();
    }
    void WaitFor(Piece* piece)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_doneChanged.wait(lock, [piece] { return piece->done; });
    }

private:
    class Worker : public ThreadBase
    {
    public:
        explicit Worker(Pool& pool) : m_pool(pool) {}
        void Run() override { m_pool.Work(); }

    private:
        Pool& m_pool;
    };

    void Work()
    {
        for (;;)
        {
            Piece* piece = nullptr;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                piece = m_queue.front();
                m_queue.pop_front();
            }
            Compress(*piece, m_level);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                piece->done = true;
            }
            m_doneChanged.notify_all();
        }
    }

    int32 m_level;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_doneChanged;
    std::deque<Piece*> m_queue;
    bool m_stop = false;
    std::vector<std::unique_ptr<Worker>> m_workers;
};
} // namespace

DeflateResult DeflateInPieces(uint64 size, int32 level, uint32 threads, DeflateReadFn read, void* readContext,
                              DeflateWriteFn write, void* writeContext)
{
    DeflateResult result;
    level = std::clamp(level, 0, 9);
    Pool pool(threads, level);
    const bool parallel = pool.HasWorkers();
    const size_t window = parallel ? 2 * threads : 1;
    std::deque<std::unique_ptr<Piece>> inFlight;
    std::vector<char> previousTail;
    uint64 readSoFar = 0;
    bool inputOver = false;
    bool writeFailed = false;
    bool firstPiece = true;

    // Hands out finished pieces in order; false when a write or a piece failed.
    auto drainOne = [&]() -> bool
    {
        std::unique_ptr<Piece> piece = std::move(inFlight.front());
        inFlight.pop_front();
        if (parallel)
            pool.WaitFor(piece.get());
        if (piece->failed || writeFailed)
            return false;
        result.crc32 = static_cast<uint32>(
            crc32_combine(result.crc32, piece->crc, static_cast<z_off_t>(piece->input.size())));
        result.bytesIn += piece->input.size();
        if (!piece->output.empty() &&
            !write(writeContext, piece->output.data(), static_cast<uint32>(piece->output.size())))
        {
            writeFailed = true;
            return false;
        }
        return true;
    };

    bool ok = true;
    while (ok && (!inputOver || firstPiece))
    {
        auto piece = std::make_unique<Piece>();
        const uint64 left = size - readSoFar;
        const uint32 want = static_cast<uint32>(std::min<uint64>(left, kDeflatePieceBytes));
        piece->input.resize(want);
        const uint32 got = want ? read(readContext, piece->input.data(), want) : 0;
        piece->input.resize(got);
        readSoFar += got;
        if (got < want)
            result.readShort = true;
        inputOver = got < want || readSoFar >= size;
        piece->last = inputOver;
        piece->dictionary = previousTail;
        const size_t tail = std::min<size_t>(piece->input.size(), kWindowBytes);
        previousTail.assign(piece->input.end() - static_cast<long>(tail), piece->input.end());
        firstPiece = false;
        Piece* raw = piece.get();
        inFlight.push_back(std::move(piece));
        if (parallel)
            pool.Add(raw);
        else
        {
            Compress(*raw, level);
            raw->done = true;
        }
        while (ok && inFlight.size() >= window)
            ok = drainOne();
    }
    while (ok && !inFlight.empty())
        ok = drainOne();
    // Pieces still queued when the work stopped are waited for before they go.
    while (!inFlight.empty())
    {
        if (parallel)
            pool.WaitFor(inFlight.front().get());
        inFlight.pop_front();
    }
    result.ok = ok;
    return result;
}
} // namespace Morvex
