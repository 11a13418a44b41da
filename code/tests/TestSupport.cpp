#include "TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Morvex::Test
{
namespace
{
AssertRecorder* GCurrentRecorder = nullptr;
}

AssertRecorder::AssertRecorder() : m_previous(SetAssertHandler(&Handler)), m_outer(GCurrentRecorder)
{
    GCurrentRecorder = this;
}

AssertRecorder::~AssertRecorder()
{
    GCurrentRecorder = m_outer;
    SetAssertHandler(m_previous);
}

void AssertRecorder::Handler(const char* file, int32 line, const char* expression, const char* message)
{
    if (GCurrentRecorder == nullptr)
        return;
    GCurrentRecorder->m_records.push_back(
        Record{file ? file : "", line, expression ? expression : "", message ? message : "", message != nullptr});
}

bool AssertRecorder::Saw(const std::string& expression) const
{
    for (const Record& r : m_records)
        if (r.expression == expression)
            return true;
    return false;
}

CapturingSink::CapturingSink(uint32 mask, bool registerNow) : m_registered(registerNow)
{
    if (registerNow)
        Log::AddSink(this, mask);
}

CapturingSink::~CapturingSink()
{
    if (m_registered)
        Log::RemoveSink(this);
}

void CapturingSink::Write(uint32 level, const char* file, int32 line, const char* text)
{
    m_lines.push_back(Line{level, file ? file : "", line, text ? text : ""});
}

bool CapturingSink::Contains(const std::string& text) const
{
    return CountContaining(text) > 0;
}

bool CapturingSink::Contains(uint32 level, const std::string& text) const
{
    for (const Line& l : m_lines)
        if (l.level == level && l.text.find(text) != std::string::npos)
            return true;
    return false;
}

size_t CapturingSink::CountContaining(const std::string& text) const
{
    size_t n = 0;
    for (const Line& l : m_lines)
        if (l.text.find(text) != std::string::npos)
            ++n;
    return n;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvex-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Restore permissions a test may have taken away so that removal succeeds.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const
{
    std::filesystem::path p = std::filesystem::path(m_path) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << content;
}

std::string TempDir::ReadFile(const std::string& name) const
{
    std::ifstream in(std::filesystem::path(m_path) / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
} // namespace Morvex::Test
