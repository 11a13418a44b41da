#include "NetTestServer.h"

#include "Core/CmdSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Morvex::Test
{
namespace
{
// Console variables take their defaults when the command system registers them, as in the
// reporter's start-up.
class NetEnvironment : public ::testing::Environment
{
public:
    void SetUp() override
    {
        if (!CmdSystem::IsInitialized())
            CmdSystem::Init();
    }
    // The orderly shutdown of the reporter: registered commands and variables are released before
    // static destruction begins.
    void TearDown() override { CmdSystem::Shutdown(); }
};
[[maybe_unused]] ::testing::Environment* const g_netEnvironment =
    ::testing::AddGlobalTestEnvironment(new NetEnvironment);
} // namespace

bool MakeSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                        const std::string& commonName)
{
    ProcessResult r =
        RunProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyPath, "-out", certPath, "-days",
                    "2", "-subj", "/CN=" + commonName, "-addext", "subjectAltName=IP:127.0.0.1"});
    return r.exitCode == 0;
}

int ClosedPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}
} // namespace Morvex::Test
