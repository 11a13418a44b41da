#include "FileLogOutput.h"

#include "Core/StaticString.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
class PosixFileLogOutput final : public FileLogOutput
{
public:
    explicit PosixFileLogOutput(int fd) : m_fd(fd) {}
    ~PosixFileLogOutput() override { ::close(m_fd); }

    bool Write(const char* data, uint32 length) override
    {
        uint32 done = 0;
        while (done < length)
        {
            ssize_t n = ::write(m_fd, data + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<uint32>(n);
        }
        return true;
    }

private:
    int m_fd;
};

// Every folder along the path up to its last separator; existing ones are fine.
void CreateParentFolders(const FilePath& path)
{
    FilePath partial;
    for (uint32 i = 1; i < path.length(); ++i)
    {
        if (path[i] != '/')
            continue;
        partial.Assign(path.data(), i);
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return;
    }
}
} // namespace

std::unique_ptr<FileLogOutput> FileLogOutput::Create(const char* path)
{
    FilePath name(path);
    for (uint32 i = 0; i < name.length(); ++i)
        if (name.data()[i] == '\\')
            name.data()[i] = '/';
    CreateParentFolders(name);
    int fd;
    do
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixFileLogOutput>(fd);
}
} // namespace Morvex
