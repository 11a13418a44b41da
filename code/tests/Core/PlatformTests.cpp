// Platform services: identity, the user data folder, temporary files and the system facts.

#include "Core/Platform.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pwd.h>
#include <regex>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

using namespace Morvex;

namespace
{
void SetEnv(const char* name, const std::string& value)
{
    setenv(name, value.c_str(), 1);
}

// The post-initialisation reads the environment once; every test that needs it runs in a process
// of its own under ctest, and these tests set the environment before the first post-init.
void PostInitOnce()
{
    if (!Platform_IsPostInited())
        Platform_PostInit();
}
} // namespace

TEST(Platform, UserDataFolderUsesTheFirst127BytesOfTheName)
{
    Morvex::Test::TempDir data;
    SetEnv("XDG_DATA_HOME", data.Path());
    if (Platform_IsPostInited())
        GTEST_SKIP() << "post-initialised earlier in this process";
    Platform_PostInit();
    EXPECT_EQ(std::string(Platform_GetLocalAppDataFolder().c_str()), data.Path());

    std::string longName(200, 'n');
    Platform_SetApplicationName(longName.c_str());
    EXPECT_EQ(std::string(Platform_GetApplicationName()), std::string(127, 'n'));
    std::string expected = data.Path() + "/Morvex/" + std::string(127, 'n');
    expected.resize(std::min<size_t>(expected.size(), 260));
    EXPECT_EQ(std::string(Platform_GetUserDataFolder().c_str()), expected);

    // Cached: a later name change does not move the folder.
    Platform_SetApplicationName("Other");
    EXPECT_EQ(std::string(Platform_GetUserDataFolder().c_str()), expected);
}

TEST(Platform, LocalDataFolderFallsBackToHome)
{
    Morvex::Test::TempDir home;
    unsetenv("XDG_DATA_HOME");
    SetEnv("HOME", home.Path());
    if (Platform_IsPostInited())
        GTEST_SKIP() << "post-initialised earlier in this process";
    Platform_PostInit();
    EXPECT_EQ(std::string(Platform_GetLocalAppDataFolder().c_str()), home.Path() + "/.local/share");
}

TEST(Platform, RelativeXdgValueIsIgnored)
{
    Morvex::Test::TempDir home;
    SetEnv("XDG_DATA_HOME", "relative/data");
    SetEnv("HOME", home.Path() + "/");
    if (Platform_IsPostInited())
        GTEST_SKIP() << "post-initialised earlier in this process";
    Platform_PostInit();
    EXPECT_EQ(std::string(Platform_GetLocalAppDataFolder().c_str()), home.Path() + "/.local/share");
}

TEST(Platform, PostInitTwiceAndEarlyFolderAreAssertions)
{
    if (!Platform_IsPostInited())
    {
        Morvex::Test::AssertRecorder early;
        Platform_GetUserDataFolder();
        EXPECT_TRUE(early.Saw("GPostInited"));
    }
    PostInitOnce();
    Morvex::Test::AssertRecorder asserts;
    Platform_PostInit();
    EXPECT_TRUE(asserts.Saw("!GPostInited"));
    EXPECT_TRUE(Platform_IsPostInited());
}

TEST(Platform, ApplicationKindTests)
{
    uint32 saved = Platform_GetApplicationKind();
    const struct
    {
        uint32 kind;
        bool isDefault;
        bool is1Or2;
    } cases[] = {{0, true, false}, {1, false, true}, {2, false, true}, {3, false, false}, {4, false, false}};
    for (const auto& c : cases)
    {
        Platform_SetApplicationKind(c.kind);
        EXPECT_EQ(Platform_GetApplicationKind(), c.kind);
        EXPECT_EQ(Platform_IsDefaultApplicationKind(), c.isDefault) << c.kind;
        EXPECT_EQ(Platform_IsApplicationKind1Or2(), c.is1Or2) << c.kind;
    }
    Platform_SetApplicationKind(saved);
}

TEST(Platform, TempFileIsNewEmptyAndPrivate)
{
    Morvex::Test::TempDir tmp;
    SetEnv("TMPDIR", tmp.Path());
    FilePath a = Platform_GetTempFileName();
    FilePath b = Platform_GetTempFileName();
    unsetenv("TMPDIR");
    ASSERT_FALSE(a.empty());
    EXPECT_NE(std::string(a.c_str()), std::string(b.c_str()));
    for (const FilePath* p : {&a, &b})
    {
        std::string path = p->c_str();
        EXPECT_EQ(path.rfind(tmp.Path() + "/morvextmp", 0), 0u) << path;
        struct stat st
        {
        };
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

// Without a usable temporary folder the file is made in the working directory, as safely as in the
// temporary folder: created exclusively under an unpredictable name, mode 0600 (before, a
// predictable name was handed out uncreated, for whoever opened it to follow a planted link).
TEST(Platform, TempFileFallsBackToTheWorkingDirectorySafely)
{
    Morvex::Test::TempDir tmp;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(tmp.Path().c_str()), 0);
    SetEnv("TMPDIR", tmp.Join("missing"));
    FilePath first = Platform_GetTempFileName();
    FilePath second = Platform_GetTempFileName();
    unsetenv("TMPDIR");
    ASSERT_EQ(chdir(cwd), 0);
    const std::regex pattern("morvextmp_[A-Za-z0-9]{6}\\.tmp");
    EXPECT_TRUE(std::regex_match(std::string(first.c_str()), pattern)) << first.c_str();
    EXPECT_TRUE(std::regex_match(std::string(second.c_str()), pattern)) << second.c_str();
    EXPECT_NE(std::string(first.c_str()), std::string(second.c_str()));
    struct stat st
    {
    };
    ASSERT_EQ(lstat(tmp.Join(first.c_str()).c_str(), &st), 0) << "the file is created by the call";
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Neither place takes a file: no name at all.
    ASSERT_EQ(chdir("/proc"), 0);
    SetEnv("TMPDIR", "/proc/none");
    FilePath none = Platform_GetTempFileName();
    unsetenv("TMPDIR");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(none.empty()) << none.c_str();
}

TEST(Platform, RegistryHasNoValuesHere)
{
    String out("unchanged");
    EXPECT_FALSE(GetRegistryValue(RegistryRoot::kLocalMachine, u"SOFTWARE\\X", u"ProductName", out));
    EXPECT_EQ(std::string(out.c_str()), "unchanged");
    Morvex::Test::AssertRecorder asserts;
    EXPECT_FALSE(GetRegistryValue(RegistryRoot::kCurrentUser, nullptr, nullptr, out));
    EXPECT_TRUE(asserts.Saw("subKey"));
    EXPECT_TRUE(asserts.Saw("valueName"));
}

TEST(Platform, OperatingSystemFacts)
{
    PostInitOnce();
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    const OSVersion& v = Platform_GetOSVersion();
    std::string description = v.description;
    EXPECT_LT(description.size(), 128u);
    EXPECT_NE(description.find(std::string("(") + u.release + ")"), std::string::npos) << description;
    unsigned major = 0, minor = 0;
    std::sscanf(u.release, "%u.%u", &major, &minor);
    EXPECT_EQ(v.major, major);
    EXPECT_EQ(v.minor, minor);

    std::ifstream osRelease("/etc/os-release");
    std::string line;
    while (std::getline(osRelease, line))
    {
        if (line.rfind("PRETTY_NAME=", 0) == 0)
        {
            std::string name = line.substr(12);
            if (name.size() >= 2 && name.front() == '"')
                name = name.substr(1, name.size() - 2);
            EXPECT_EQ(description, (name + " (" + u.release + ")").substr(0, 127));
        }
    }
}

TEST(Platform, ProcessAndUserFacts)
{
    PostInitOnce();
    EXPECT_EQ(Platform_GetProcessId(), static_cast<uint32>(getpid()));
    EXPECT_GT(Platform_GetLogicalProcessorCount(), 0);
    EXPECT_GT(Platform_GetCoreCount(), 0);
    EXPECT_LE(Platform_GetCoreCount(), Platform_GetLogicalProcessorCount());
    EXPECT_GE(Platform_GetProcessorPackageCount(), 1);
    EXPECT_GE(Platform_GetProcessorGroupCount(), 1);

    char host[256] = {};
    gethostname(host, sizeof(host) - 1);
    EXPECT_STREQ(Platform_GetComputerName(), host);

    passwd* pw = getpwuid(geteuid());
    if (pw)
    {
        EXPECT_STREQ(Platform_GetUserName(), pw->pw_name);
    }
}
