// Deflate in pieces on several threads: whatever the size, the content and the thread count, the
// pieces join into one stream that inflates to the same bytes, with the CRC of the whole, and about
// as small as one stream made on one thread.

#include "ParallelDeflate.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <zlib.h>

using namespace Morvex;

namespace
{
struct Source
{
    const std::string* data;
    size_t at = 0;
    size_t end = 0; // the source ends here (a file shorter than it said)
};

uint32 Read(void* context, char* into, uint32 size)
{
    auto& s = *static_cast<Source*>(context);
    const size_t n = std::min<size_t>(size, s.end - s.at);
    std::copy(s.data->begin() + static_cast<long>(s.at), s.data->begin() + static_cast<long>(s.at + n), into);
    s.at += n;
    return static_cast<uint32>(n);
}

struct Sink
{
    std::string out;
    size_t failAfter = SIZE_MAX; // bytes accepted before the disk is "full"
};

bool Write(void* context, const char* data, uint32 size)
{
    auto& s = *static_cast<Sink*>(context);
    if (s.out.size() + size > s.failAfter)
        return false;
    s.out.append(data, size);
    return true;
}

std::string Inflate(const std::string& raw, bool* complete)
{
    z_stream z{};
    inflateInit2(&z, -15);
    std::string out;
    char buffer[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    int result = Z_OK;
    while (result == Z_OK)
    {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof(buffer);
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof(buffer) - z.avail_out);
        if (result == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    *complete = result == Z_STREAM_END;
    inflateEnd(&z);
    return out;
}

size_t OneStreamSize(const std::string& data)
{
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(data.data()),
              static_cast<uLong>(data.size()), 1);
    return size;
}

std::string Random(size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(random());
    return s;
}

std::string Text(size_t n)
{
    std::string s;
    for (size_t i = 0; s.size() < n; ++i)
        s += "frame " + std::to_string(i) + ": render thread waits for the loader, level " +
             std::to_string(i % 17) + "\n";
    s.resize(n);
    return s;
}
} // namespace

TEST(ParallelDeflate, PiecesJoinIntoOneStreamOfTheSameBytes)
{
    const uint32 piece = kDeflatePieceBytes;
    struct Case
    {
        const char* what;
        std::string data;
    };
    const Case cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"a piece less one", Text(piece - 1)},
        {"one piece", Text(piece)},
        {"a piece and one", Text(piece + 1)},
        {"random then text, as a dump", Random(3 * piece, 1) + Text(2 * piece + 12345)},
        {"zeros", std::string(3 * piece, '\0')},
    };
    for (const Case& c : cases)
        for (uint32 threads : {0u, 1u, 3u})
        {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(threads) + " threads");
            Source source{&c.data, 0, c.data.size()};
            Sink sink;
            const DeflateResult r = DeflateInPieces(c.data.size(), 1, threads, Read, &source, Write, &sink);
            EXPECT_TRUE(r.ok);
            EXPECT_FALSE(r.readShort);
            EXPECT_EQ(r.bytesIn, c.data.size());
            EXPECT_EQ(r.crc32, static_cast<uint32>(crc32(0, reinterpret_cast<const Bytef*>(c.data.data()),
                                                         static_cast<uInt>(c.data.size()))));
            bool complete = false;
            EXPECT_TRUE(Inflate(sink.out, &complete) == c.data) << "the stream does not inflate to the input";
            EXPECT_TRUE(complete) << "the stream does not end";
            // About as small as one stream: the pieces are primed with what came before them.
            EXPECT_LE(sink.out.size(), OneStreamSize(c.data) + OneStreamSize(c.data) / 100 + 64);
        }
}

// Data that does not shrink is stored: barely larger than itself, whatever the level asked.
TEST(ParallelDeflate, IncompressiblePiecesAreStored)
{
    const std::string data = Random(4 * kDeflatePieceBytes, 7);
    Source source{&data, 0, data.size()};
    Sink sink;
    const DeflateResult r = DeflateInPieces(data.size(), 9, 2, Read, &source, Write, &sink);
    ASSERT_TRUE(r.ok);
    EXPECT_LE(sink.out.size(), data.size() + data.size() / 1000 + 64);
    bool complete = false;
    EXPECT_TRUE(Inflate(sink.out, &complete) == data);
    EXPECT_TRUE(complete);
}

// A source that ends early gives a whole stream of what was read; a write that fails stops it all.
TEST(ParallelDeflate, ShortSourcesAndFailedWrites)
{
    const std::string data = Text(3 * kDeflatePieceBytes + 100);
    {
        Source source{&data, 0, kDeflatePieceBytes + 500};
        Sink sink;
        const DeflateResult r = DeflateInPieces(data.size(), 1, 2, Read, &source, Write, &sink);
        EXPECT_TRUE(r.ok);
        EXPECT_TRUE(r.readShort);
        EXPECT_EQ(r.bytesIn, kDeflatePieceBytes + 500u);
        bool complete = false;
        EXPECT_TRUE(Inflate(sink.out, &complete) == data.substr(0, kDeflatePieceBytes + 500));
        EXPECT_TRUE(complete);
    }
    {
        Source source{&data, 0, data.size()};
        Sink sink;
        sink.failAfter = 1000;
        const DeflateResult r = DeflateInPieces(data.size(), 1, 2, Read, &source, Write, &sink);
        EXPECT_FALSE(r.ok);
    }
}
