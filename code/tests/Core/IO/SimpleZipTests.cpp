#include "Core/IO/SimpleZip.h"

#include "TestSupport.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;
using Morvex::Test::RunProcess;
using Morvex::Test::TempDir;

namespace
{
// Reads an archive with Python's zipfile (an independent reader) and checks every entry's CRC
// by decompressing it. One line per entry: name, size, compressed size, CRC, date and time,
// method, flag bits, local and central extra field lengths.
const char* const kReader = R"PY(
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        print("BAD", bad)
        sys.exit(3)
    raw = open(sys.argv[1], "rb").read()
    for i in z.infolist():
        local_extra = struct.unpack_from("<H", raw, i.header_offset + 28)[0]
        d = i.date_time
        print("%s\t%d\t%d\t%08x\t%04d-%02d-%02d %02d:%02d:%02d\t%d\t%d\t%d\t%d" % (
            i.filename, i.file_size, i.compress_size, i.CRC, d[0], d[1], d[2], d[3], d[4], d[5],
            i.compress_type, i.flag_bits, local_extra, len(i.extra)))
    print("COMMENT\t%d" % len(z.comment))
)PY";

struct Entry
{
    uint64 size = 0;
    uint64 compressedSize = 0;
    uint32 crc = 0;
    std::string stamp;
    int method = -1;
    int flags = -1;
    int localExtra = -1;
    int centralExtra = -1;
};

struct Archive
{
    bool ok = false;
    std::string error;
    std::vector<std::string> order;
    std::map<std::string, Entry> entries;
    int commentLength = -1;
};

Archive ReadBack(const TempDir& dir, const std::string& path)
{
    dir.WriteFile("reader.py", kReader);
    Morvex::Test::ProcessResult r = RunProcess({"/usr/bin/python3", dir.Join("reader.py"), path});
    Archive archive;
    archive.ok = r.exitCode == 0;
    archive.error = r.err + r.out;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line))
    {
        std::vector<std::string> f;
        std::istringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t'))
            f.push_back(field);
        if (f.size() == 2 && f[0] == "COMMENT")
            archive.commentLength = std::stoi(f[1]);
        if (f.size() != 9)
            continue;
        Entry e;
        e.size = std::stoull(f[1]);
        e.compressedSize = std::stoull(f[2]);
        e.crc = static_cast<uint32>(std::stoul(f[3], nullptr, 16));
        e.stamp = f[4];
        e.method = std::stoi(f[5]);
        e.flags = std::stoi(f[6]);
        e.localExtra = std::stoi(f[7]);
        e.centralExtra = std::stoi(f[8]);
        archive.order.push_back(f[0]);
        archive.entries[f[0]] = e;
    }
    return archive;
}

std::string RandomBytes(size_t n, uint32 seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string Text()
{
    std::string s;
    for (int i = 0; i < 2000; ++i)
        s += "Line " + std::to_string(i) + ": the quick brown fox jumps over the lazy dog " +
             std::to_string(i * 7) + "\n";
    return s;
}

uint32 Crc(const std::string& data)
{
    return static_cast<uint32>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// The size of the raw deflate stream zlib makes of `data` at `level` in one pass.
uint64 DeflatedSize(const std::string& data, int level)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::vector<unsigned char> out(deflateBound(&z, data.size()) + 64);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    uint64 size = z.total_out;
    deflateEnd(&z);
    return size;
}

bool AddEntry(SimpleZip& zip, const std::string& name, const std::string& data,
              SimpleZip::Compression compression = SimpleZip::Fastest)
{
    if (!zip.BeginFile(name.c_str(), compression))
        return false;
    bool written = zip.Write(data.data(), static_cast<int32>(data.size()));
    return zip.EndFile() && written;
}

// 100-ns ticks since 1601-01-01 UTC, as files report their times.
uint64 FileTimeOf(int64 t)
{
    return static_cast<uint64>(t) * 10000000ull + 116444736000000000ull;
}

// Sets the file's modification time to the given local calendar time.
void SetLocalMTime(const std::string& path, int year, int month, int day, int hour, int minute, int second)
{
    ASSERT_TRUE(Morvex::Test::SetFileTime(
        path, Morvex::Test::LocalCalendarTime(year, month, day, hour, minute, second)));
}
} // namespace

TEST(SimpleZip, ArchiveReadsBackWithNamesSizesCrcsAndTimeStamps)
{
    TempDir dir;
    const std::string random = RandomBytes(5 * 1024 * 1024, 42);
    const std::string text = Text();
    // Entries named after files on disk take those files' times, cut to DOS's two-second steps.
    const std::string stamped = dir.Join("stamped.txt");
    dir.WriteFile("stamped.txt", text);
    SetLocalMTime(stamped, 2024, 3, 15, 10, 20, 31);
    const std::string overridden = dir.Join("overridden.txt");
    dir.WriteFile("overridden.txt", text);
    SetLocalMTime(overridden, 2024, 3, 15, 10, 20, 31);

    SimpleZip zip;
    const std::string path = dir.Join("report.zip");
    ASSERT_TRUE(zip.Create(path.c_str(), false));
    EXPECT_TRUE(zip.IsOpen());
    EXPECT_TRUE(AddEntry(zip, "empty.txt", ""));
    EXPECT_TRUE(AddEntry(zip, "random.bin", random));
    EXPECT_TRUE(AddEntry(zip, "text.txt", text));
    EXPECT_TRUE(AddEntry(zip, "C:/reports/a.txt", "drive-style name"));
    EXPECT_TRUE(AddEntry(zip, stamped, text));
    // A date the caller gives wins over the same-named file's; dates DOS cannot hold are not used.
    ASSERT_TRUE(zip.BeginFile("given.txt", SimpleZip::Fastest, 0,
                              FileTimeOf(Morvex::Test::LocalCalendarTime(2023, 7, 4, 12, 34, 57))));
    EXPECT_TRUE(zip.EndFile());
    ASSERT_TRUE(zip.BeginFile(overridden.c_str(), SimpleZip::Fastest, 0,
                              FileTimeOf(Morvex::Test::LocalCalendarTime(2022, 1, 2, 3, 4, 6))));
    EXPECT_TRUE(zip.EndFile());
    ASSERT_TRUE(zip.BeginFile("early.txt", SimpleZip::Fastest, 0,
                              FileTimeOf(Morvex::Test::LocalCalendarTime(1975, 1, 2, 3, 4, 6))));
    EXPECT_TRUE(zip.EndFile());
    // Streaming in pieces gives the same entry as one write.
    ASSERT_TRUE(zip.BeginFile("pieces.txt", SimpleZip::Fastest));
    for (size_t at = 0; at < text.size(); at += 1000)
        ASSERT_TRUE(
            zip.Write(text.data() + at, static_cast<int32>(std::min<size_t>(1000, text.size() - at))));
    EXPECT_TRUE(zip.Write(nullptr, 0));
    EXPECT_TRUE(zip.EndFile());
    EXPECT_TRUE(zip.Close());
    EXPECT_FALSE(zip.IsOpen());

    Archive a = ReadBack(dir, path);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.order,
              (std::vector<std::string>{"empty.txt", "random.bin", "text.txt", "C:/reports/a.txt", stamped,
                                        "given.txt", overridden, "early.txt", "pieces.txt"}));
    EXPECT_EQ(a.commentLength, 0);

    struct Expect
    {
        std::string name;
        std::string data;
        std::string stamp;
    };
    const Expect expected[] = {
        {"empty.txt", "", "1980-01-01 00:00:00"},
        {"random.bin", random, "1980-01-01 00:00:00"},
        {"text.txt", text, "1980-01-01 00:00:00"},
        {"C:/reports/a.txt", "drive-style name", "1980-01-01 00:00:00"},
        {stamped, text, "2024-03-15 10:20:30"},
        {"given.txt", "", "2023-07-04 12:34:56"},
        {overridden, "", "2022-01-02 03:04:06"},
        {"early.txt", "", "1980-01-01 00:00:00"},
        {"pieces.txt", text, "1980-01-01 00:00:00"},
    };
    for (const Expect& x : expected)
    {
        SCOPED_TRACE(x.name);
        const Entry& e = a.entries[x.name];
        EXPECT_EQ(e.size, x.data.size());
        EXPECT_EQ(e.crc, Crc(x.data));
        EXPECT_EQ(e.stamp, x.stamp);
        EXPECT_EQ(e.method, 8);
        EXPECT_EQ(e.flags, 6); // deflate level 1
        EXPECT_EQ(e.localExtra, 0);
        EXPECT_EQ(e.centralExtra, 0);
    }
    EXPECT_LT(a.entries["text.txt"].compressedSize, text.size() / 4);
    EXPECT_EQ(a.entries["text.txt"].compressedSize, DeflatedSize(text, 1));
}

TEST(SimpleZip, CompressionValuesSelectDeflateLevels)
{
    struct Case
    {
        int32 value;
        int level;
        int flags;
    };
    const Case cases[] = {
        {SimpleZip::None, 0, 0},
        {SimpleZip::Fastest, 1, 6},
        {SimpleZip::Best, 9, 2},
        {SimpleZip::Default, Z_DEFAULT_COMPRESSION, 0},
        {7, 0, 0},
        {-1, 0, 0},
    };
    TempDir dir;
    const std::string text = Text();
    SimpleZip zip;
    const std::string path = dir.Join("levels.zip");
    ASSERT_TRUE(zip.Create(path.c_str(), false));
    for (const Case& c : cases)
    {
        EXPECT_EQ(SimpleZip::DeflateLevel(c.value), c.level);
        EXPECT_TRUE(AddEntry(zip, "level" + std::to_string(c.value), text,
                             static_cast<SimpleZip::Compression>(c.value)));
    }
    ASSERT_TRUE(zip.Close());

    Archive a = ReadBack(dir, path);
    ASSERT_TRUE(a.ok) << a.error;
    // The levels must give different streams on this text, or the comparison proves nothing.
    ASSERT_NE(DeflatedSize(text, 0), DeflatedSize(text, 1));
    ASSERT_NE(DeflatedSize(text, 1), DeflatedSize(text, Z_DEFAULT_COMPRESSION));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.value);
        const Entry& e = a.entries["level" + std::to_string(c.value)];
        EXPECT_EQ(e.method, 8);
        EXPECT_EQ(e.flags, c.flags);
        EXPECT_EQ(e.size, text.size());
        if (c.level == 0)
        {
            // Stored deflate blocks: the text plus a few bytes per block, whatever the block sizes.
            EXPECT_GT(e.compressedSize, text.size());
            EXPECT_LT(e.compressedSize, text.size() + 5 * (text.size() / 16384 + 2));
        }
        else
        {
            EXPECT_EQ(e.compressedSize, DeflatedSize(text, c.level));
        }
    }
}

TEST(SimpleZip, CallsOutOfOrderAreAssertedAndReturnFalse)
{
    TempDir dir;
    AssertRecorder recorder;
    SimpleZip zip;
    char byte = 'x';

    // No archive yet.
    EXPECT_TRUE(zip.Close());
    EXPECT_EQ(recorder.Count(), 0u);
    struct Call
    {
        const char* what;
        bool (*call)(SimpleZip&);
        const char* expression;
    };
    static char s_byte = 'y';
    const Call withoutArchive[] = {
        {"Write", [](SimpleZip& z) { return z.Write(&s_byte, 1); }, "m_zip != 0"},
        {"EndFile", [](SimpleZip& z) { return z.EndFile(); }, "m_zip != 0"},
        {"BeginFile", [](SimpleZip& z) { return z.BeginFile("a", SimpleZip::Fastest); }, "m_zip != 0"},
    };
    for (const Call& c : withoutArchive)
    {
        SCOPED_TRACE(c.what);
        recorder.Clear();
        EXPECT_FALSE(c.call(zip));
        EXPECT_TRUE(recorder.Saw(c.expression));
    }

    const std::string path = dir.Join("order.zip");
    ASSERT_TRUE(zip.Create(path.c_str(), false));
    recorder.Clear();
    EXPECT_FALSE(zip.Create(path.c_str(), false));
    EXPECT_TRUE(recorder.Saw("m_zip == 0"));
    recorder.Clear();
    EXPECT_FALSE(zip.Write(&byte, 1));
    EXPECT_TRUE(recorder.Saw("m_writingFile != false"));
    recorder.Clear();
    EXPECT_FALSE(zip.EndFile());
    EXPECT_TRUE(recorder.Saw("m_writingFile != false"));

    ASSERT_TRUE(zip.BeginFile("kept.txt", SimpleZip::Fastest));
    recorder.Clear();
    EXPECT_FALSE(zip.BeginFile("second.txt", SimpleZip::Fastest));
    EXPECT_TRUE(recorder.Saw("m_writingFile == false"));
    recorder.Clear();
    EXPECT_FALSE(zip.Write(&byte, -1));
    EXPECT_FALSE(zip.Write(nullptr, 5));
    EXPECT_EQ(recorder.Count(), 2u);

    // None of this disturbed the archive.
    recorder.Clear();
    EXPECT_TRUE(zip.Write("kept", 4));
    EXPECT_TRUE(zip.EndFile());
    EXPECT_TRUE(zip.Close());
    EXPECT_EQ(recorder.Count(), 0u);
    Archive a = ReadBack(dir, path);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.order, std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(a.entries["kept.txt"].crc, Crc("kept"));
}

TEST(SimpleZip, ReuseAppendAndDestructorFinishTheArchive)
{
    TempDir dir;
    const std::string first = dir.Join("first.zip");
    const std::string second = dir.Join("second.zip");
    {
        SimpleZip zip;
        ASSERT_TRUE(zip.Create(first.c_str(), false));
        EXPECT_TRUE(AddEntry(zip, "one.txt", "one"));
        ASSERT_TRUE(zip.Close());
        // The same object writes a second archive; a backslash path names the same place.
        std::string backslashed = second;
        for (auto& c : backslashed)
            c = c == '/' ? '\\' : c;
        ASSERT_TRUE(zip.Create(backslashed.c_str(), false));
        EXPECT_TRUE(AddEntry(zip, "two.txt", "two"));
        ASSERT_TRUE(zip.Close());
    }
    {
        SimpleZip zip;
        ASSERT_TRUE(zip.Create(first.c_str(), true));
        EXPECT_TRUE(AddEntry(zip, "added.txt", "added"));
        ASSERT_TRUE(zip.BeginFile("left open.txt", SimpleZip::Default));
        EXPECT_TRUE(zip.Write("open", 4));
        // Destroyed with the entry and the archive open: both get finished.
    }
    Archive a = ReadBack(dir, first);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.order, (std::vector<std::string>{"one.txt", "added.txt", "left open.txt"}));
    EXPECT_EQ(a.entries["left open.txt"].crc, Crc("open"));
    Archive b = ReadBack(dir, second);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.order, std::vector<std::string>{"two.txt"});

    // A new archive replaces any file of that name.
    SimpleZip zip;
    ASSERT_TRUE(zip.Create(first.c_str(), false));
    EXPECT_TRUE(AddEntry(zip, "fresh.txt", "fresh"));
    ASSERT_TRUE(zip.Close());
    EXPECT_EQ(ReadBack(dir, first).order, std::vector<std::string>{"fresh.txt"});
}

TEST(SimpleZip, ArchiveFailuresAreLoggedNotFatal)
{
    TempDir dir;
    AssertRecorder recorder;
    CapturingSink sink;
    SimpleZip zip;

    // Cannot open: a missing folder, or appending to something that is not an archive.
    EXPECT_FALSE(zip.Create(dir.Join("missing/x.zip").c_str(), false));
    dir.WriteFile("not-a-zip.zip", "plain text, no central directory");
    EXPECT_FALSE(zip.Create(dir.Join("not-a-zip.zip").c_str(), true));
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_EQ(sink.CountContaining("Morvex::SimpleZip::Create: cannot open archive"), 2u);
    // A path longer than the path type holds is refused rather than cut to some other name.
    std::string longPath = dir.Path() + "/" + std::string(4096, 'a') + ".zip";
    EXPECT_FALSE(zip.Create(longPath.c_str(), false));
    EXPECT_TRUE(sink.Contains(Log::Error, "Morvex::SimpleZip::Create: archive path too long"));
    EXPECT_FALSE(zip.IsOpen());

    // A full disk, made real with a file-size limit: the writes fail part-way through an entry.
    const std::string random = RandomBytes(2 * 1024 * 1024, 7);
    const std::string full = dir.Join("full.zip");
    bool created, begun, written, ended, closed;
    {
        Morvex::Test::ScopedFileSizeLimit limit(256 * 1024);
        ASSERT_TRUE(limit.Active());
        created = zip.Create(full.c_str(), false);
        begun = created && zip.BeginFile("big.bin", SimpleZip::Fastest);
        written = begun && zip.Write(random.data(), static_cast<int32>(random.size()));
        ended = begun && zip.EndFile();
        closed = zip.Close();
    }

    EXPECT_TRUE(created);
    EXPECT_TRUE(begun);
    EXPECT_FALSE(written);
    EXPECT_FALSE(ended && closed);
    EXPECT_FALSE(zip.IsOpen());
    EXPECT_TRUE(
        sink.Contains(Log::Error, "Morvex::SimpleZip::Write: cannot write 2097152 bytes: File too large"));
    EXPECT_EQ(recorder.Count(), 0u);

    // The object carries on with the next archive.
    const std::string good = dir.Join("good.zip");
    ASSERT_TRUE(zip.Create(good.c_str(), false));
    EXPECT_TRUE(AddEntry(zip, "after.txt", "after"));
    EXPECT_TRUE(zip.Close());
    Archive a = ReadBack(dir, good);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.order, std::vector<std::string>{"after.txt"});
}

TEST(SimpleZip, OnlyEntriesNearFourGiBUseZip64)
{
    TempDir dir;
    // A sparse 5 GiB file on disk under the entry's name, as a huge log would be.
    const std::string huge = dir.Join("huge.log");
    int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 5ll << 30), 0);
    ::close(fd);

    SimpleZip zip;
    const std::string path = dir.Join("zip64.zip");
    ASSERT_TRUE(zip.Create(path.c_str(), false));
    EXPECT_TRUE(AddEntry(zip, "small.txt", "small"));
    EXPECT_TRUE(AddEntry(zip, huge, "head of the huge file"));
    ASSERT_TRUE(zip.BeginFile("hinted.bin", SimpleZip::Fastest, 6ull << 30));
    EXPECT_TRUE(zip.Write("hinted", 6));
    EXPECT_TRUE(zip.EndFile());
    ASSERT_TRUE(zip.BeginFile("hinted-small.bin", SimpleZip::Fastest, 1000));
    EXPECT_TRUE(zip.EndFile());
    ASSERT_TRUE(zip.Close());

    Archive a = ReadBack(dir, path);
    ASSERT_TRUE(a.ok) << a.error;
    EXPECT_EQ(a.entries["small.txt"].localExtra, 0);
    EXPECT_EQ(a.entries["hinted-small.bin"].localExtra, 0);
    EXPECT_GT(a.entries[huge].localExtra, 0);
    EXPECT_GT(a.entries["hinted.bin"].localExtra, 0);
    EXPECT_EQ(a.entries["hinted.bin"].crc, Crc("hinted"));
    EXPECT_EQ(a.entries[huge].crc, Crc("head of the huge file"));
}

TEST(SimpleZip, UnzipAcceptsTheArchive)
{
    TempDir dir;
    SimpleZip zip;
    const std::string path = dir.Join("unzip.zip");
    ASSERT_TRUE(zip.Create(path.c_str(), false));
    EXPECT_TRUE(AddEntry(zip, "a.txt", Text()));
    EXPECT_TRUE(AddEntry(zip, "b.bin", RandomBytes(100000, 3), SimpleZip::Best));
    EXPECT_TRUE(AddEntry(zip, "c.txt", "", SimpleZip::None));
    ASSERT_TRUE(zip.Close());
    Morvex::Test::ProcessResult r = RunProcess({"/usr/bin/unzip", "-t", path});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("No errors detected"), std::string::npos) << r.out;
}
