// The reference agent's pure parts: drive mapping, refusal of paths that
// leave a root, wildcard matching, Win32 translations, options.
#include "agent_config.h"
#include "confined_path.h"
#include "path_mapping.h"
#include "utf.h"
#include "wildcard.h"
#include "win32_codes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace refagent;

namespace {

DriveMap TwoDrives()
{
    DriveMap drives;
    drives.AddResolved('C', "/srv/c");
    drives.AddResolved('d', "/srv/d/");
    return drives;
}

struct MapCase {
    std::u16string path;
    uint32_t status;
    std::string local;
};

// Windows paths map below their drive's root; escapes and malformed names
// are refused with no local path.
TEST(DriveMapping, MapsWindowsPathsAndRefusesEscapes)
{
    const DriveMap drives = TwoDrives();
    const MapCase cases[] = {
        {u"C:\\", 0, "/srv/c"},
        {u"C:", 0, "/srv/c"},
        {u"c:\\Users\\alice\\a.txt", 0, "/srv/c/Users/alice/a.txt"},
        {u"C:/Users//alice/./b", 0, "/srv/c/Users/alice/b"},
        {u"D:\\x", 0, "/srv/d/x"},
        {u"\\\\?\\C:\\long\\name", 0, "/srv/c/long/name"},
        {u"C:\\caf\u00e9\\\u65e5\u672c.txt", 0, "/srv/c/caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac.txt"},
        {u"C:\\dir\\", 0, "/srv/c/dir"},
        {u"C:\\..", kErrorAccessDenied, ""},
        {u"C:\\a\\..\\..\\etc\\passwd", kErrorAccessDenied, ""},
        {u"C:\\a\\..\\b", kErrorAccessDenied, ""}, // even a ".." that stays inside
        {u"C:/../x", kErrorAccessDenied, ""},
        {u"/etc/passwd", kErrorAccessDenied, ""},
        {u"\\etc\\passwd", kErrorAccessDenied, ""},
        {u"relative\\path", kErrorAccessDenied, ""},
        {u"\\\\server\\share\\x", kErrorAccessDenied, ""},
        {u"\\\\?\\UNC\\server\\share", kErrorAccessDenied, ""},
        {u"", kErrorAccessDenied, ""},
        {u"E:\\x", kErrorPathNotFound, ""},
        {u"C:x", kErrorInvalidName, ""},
        {u"C:\\a:stream", kErrorInvalidName, ""},
        {u"C:\\a*b", kErrorInvalidName, ""},
        {u"C:\\a\x01", kErrorInvalidName, ""},
        {std::u16string(u"C:\\a") + char16_t(0xD800), kErrorInvalidName, ""},
    };
    for (const MapCase &c : cases) {
        const MappedPath m = MapWindowsPath(drives, c.path);
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_EQ(m.status, c.status);
        EXPECT_EQ(m.local, c.local);
    }
}

TEST(DriveMapping, InsideTestIsByComponentNotByPrefix)
{
    EXPECT_TRUE(IsInside("/srv/c", "/srv/c"));
    EXPECT_TRUE(IsInside("/srv/c", "/srv/c/x"));
    EXPECT_FALSE(IsInside("/srv/c", "/srv/cx"));
    EXPECT_FALSE(IsInside("/srv/c", "/srv"));
    EXPECT_TRUE(IsInside("/", "/etc"));
}

TEST(DriveMapping, WindowsPathsAndPatternsRoundTrip)
{
    std::u16string out;
    ASSERT_TRUE(ToWindowsPath('C', {"a", "b\xc3\xa9"}, out));
    EXPECT_EQ(out, u"C:\\a\\b\u00e9");
    ASSERT_TRUE(ToWindowsPath('D', {}, out));
    EXPECT_EQ(out, u"D:\\");
    EXPECT_FALSE(ToWindowsPath('C', {"\xff"}, out));

    std::u16string dir, name;
    SplitPattern(u"C:\\a\\*.txt", dir, name);
    EXPECT_EQ(dir, u"C:\\a\\");
    EXPECT_EQ(name, u"*.txt");
    SplitPattern(u"C:*", dir, name);
    EXPECT_EQ(dir, u"C:\\");
    EXPECT_EQ(name, u"*");
    SplitPattern(u"C:\\a\\", dir, name);
    EXPECT_EQ(name, u"");
}

// A scratch tree with links inside and outside the served root.
class Confinement : public ::testing::TestWithParam<Resolver> {
protected:
    void SetUp() override
    {
        SetResolver(GetParam());
        char pattern[] = "/tmp/refagent-unitsXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        base_ = pattern;
        root_ = base_ + "/root";
        for (const char *d : {"/root", "/outside", "/root/inside", "/root/inside/deeper", "/root/loop"})
            ASSERT_EQ(::mkdir((base_ + d).c_str(), 0755), 0);
        const std::pair<const char *, const char *> links[] = {
            {"../outside", "out"},          {"inside", "in"},
            {"/nonexistent/target", "dangling"}, {"missing", "dangling-inside"},
            {"inside/deeper/../../out", "out-by-dots"}, {"inside/deeper/..", "in-by-dots"},
            {".", "loop/self"},          {"b", "loop/a"}, {"a", "loop/b"},
            {root_.c_str(), "absolute-in"},
        };
        for (const auto &[target, name] : links)
            ASSERT_EQ(::symlink(target, (root_ + "/" + name).c_str()), 0) << name;
        std::string error;
        ASSERT_TRUE(drives_.Add('C', root_, error)) << error;
    }
    void TearDown() override
    {
        SetResolver(Resolver::Auto);
        std::system(("rm -rf '" + base_ + "'").c_str());
    }

    // Locate's errno for the path, -1 when what it found is not what
    // `expected` names below the root ("" for no check).
    int Check(const std::u16string &path, bool follow, const std::string &expected = std::string())
    {
        const MappedPath m = MapWindowsPath(drives_, path);
        if (m.status != 0)
            return 1000 + static_cast<int>(m.status);
        Location at;
        const int error = Locate(m.drive->rootFd(), m.parts, follow, at);
        if (error != 0 || expected.empty())
            return error;
        struct stat found, want;
        if (StatAt(at, found) != 0 || ::lstat((root_ + "/" + expected).c_str(), &want) != 0)
            return -1;
        return found.st_ino == want.st_ino ? 0 : -1;
    }

    std::string base_, root_;
    DriveMap drives_;
};

TEST_P(Confinement, LinksThatLeaveTheRootAreRefused)
{
    struct Case {
        const char16_t *path;
        bool follow;
        int error;
        const char *names; // what it must find, below the root
    } cases[] = {
        {u"C:\\", true, 0, ""},
        {u"C:\\inside", true, 0, "inside"},
        {u"C:\\in", true, 0, "inside"},
        {u"C:\\in", false, 0, "in"},                 // the link itself
        {u"C:\\in\\deeper", true, 0, "inside/deeper"},
        {u"C:\\in-by-dots\\deeper", true, 0, "inside/deeper"},
        {u"C:\\in\\new-file", true, 0, ""},          // a name still to be created
        {u"C:\\not\\yet\\there", true, ENOENT, ""},
        {u"C:\\out", true, EXDEV, ""},
        {u"C:\\out", false, 0, "out"},               // the link itself is inside
        {u"C:\\out\\file", false, EXDEV, ""},
        {u"C:\\out\\new\\deeper", true, EXDEV, ""},
        {u"C:\\out-by-dots", true, EXDEV, ""},
        {u"C:\\out-by-dots\\x", false, EXDEV, ""},
        {u"C:\\dangling", true, EXDEV, ""},           // would create outside
        {u"C:\\dangling-inside", true, 0, ""},        // creates "missing" inside
        {u"C:\\absolute-in\\inside", true, EXDEV, ""}, // absolute targets are never trusted
        {u"C:\\loop\\self\\self\\a", true, ELOOP, ""},
        {u"C:\\loop\\a\\x", false, ELOOP, ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Check(c.path, c.follow, c.names), c.error) << "case " << (&c - cases) << ", follow " << c.follow;
    EXPECT_EQ(LocateStatus(EXDEV), kErrorAccessDenied);
    EXPECT_EQ(LocateStatus(ELOOP), kErrorAccessDenied);
    EXPECT_EQ(LocateStatus(ENOENT), kErrorPathNotFound);
}

INSTANTIATE_TEST_SUITE_P(BothResolvers, Confinement, ::testing::Values(Resolver::Openat2, Resolver::Walk));

TEST_P(Confinement, DriveMapRefusesMissingDirectoriesAndDuplicates)
{
    std::string error;
    EXPECT_FALSE(drives_.Add('c', root_, error));
    EXPECT_FALSE(drives_.Add('E', base_ + "/missing", error));
    EXPECT_FALSE(drives_.Add('1', root_, error));
    EXPECT_TRUE(drives_.Add('E', base_ + "/outside", error));
    EXPECT_NE(drives_.Find(u'e'), nullptr);
}

struct WildCase {
    const char16_t *pattern;
    const char16_t *name;
    bool match;
};

TEST(Wildcards, StarAndQuestionMarkAsOnWindows)
{
    const WildCase cases[] = {
        {u"*", u"anything", true},
        {u"*", u"", true},
        {u"*.*", u"noext", true},
        {u"*.txt", u"a.txt", true},
        {u"*.txt", u"a.TXT", true},
        {u"*.txt", u"a.txt.bak", false},
        {u"a?c", u"abc", true},
        {u"a?c", u"ac", false},
        {u"a?c", u"abbc", false},
        {u"*b*", u"abc", true},
        {u"*b*", u"acd", false},
        {u"report.*", u"report", true},
        {u"report.*", u"report.doc", true},
        {u"report.*", u"reports", false},
        {u"*a*a*a*a*a*b", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {u"\u00e9t?", u"\u00e9t\u00e9", true},
        {u"ABC", u"abc", true},
        {u"abc", u"abcd", false},
    };
    for (const WildCase &c : cases) {
        std::string p, n;
        ToUtf8(c.pattern, p);
        ToUtf8(c.name, n);
        EXPECT_EQ(MatchWildcard(c.pattern, c.name), c.match) << p << " vs " << n;
    }
    EXPECT_TRUE(HasWildcard(u"a*"));
    EXPECT_TRUE(HasWildcard(u"a?"));
    EXPECT_FALSE(HasWildcard(u"plain.txt"));
}

TEST(Win32Translation, FileTimesAndErrors)
{
    struct timespec t {};
    t.tv_sec = 0; // 1970-01-01 is 116444736000000000 ticks after 1601
    FileTime ft = ToFileTime(t);
    EXPECT_EQ((uint64_t(ft.high) << 32) | ft.low, 116444736000000000ull);
    t.tv_sec = 1700000000;
    t.tv_nsec = 123456700;
    ft = ToFileTime(t);
    struct timespec back {};
    ASSERT_TRUE(FromFileTime(ft, back));
    EXPECT_EQ(back.tv_sec, t.tv_sec);
    EXPECT_EQ(back.tv_nsec, t.tv_nsec);
    EXPECT_FALSE(FromFileTime(FileTime{}, back)); // zero: leave unchanged

    EXPECT_EQ(Win32FromErrno(ENOENT), kErrorFileNotFound);
    EXPECT_EQ(Win32FromErrno(EACCES), kErrorAccessDenied);
    EXPECT_EQ(Win32FromErrno(EEXIST), kErrorAlreadyExists);
    EXPECT_EQ(Win32FromErrno(ENOTEMPTY), kErrorDirNotEmpty);
    EXPECT_EQ(Win32FromErrno(ENOSPC), kErrorDiskFull);

    struct stat st {};
    st.st_mode = S_IFREG | 0444;
    EXPECT_EQ(AttributesOf(st, "a"), kAttributeArchive | kAttributeReadOnly);
    st.st_mode = S_IFDIR | 0755;
    EXPECT_EQ(AttributesOf(st, ".cache"), kAttributeDirectory | kAttributeHidden);
}

TEST(Options, ParsesAndRefuses)
{
    char dir[] = "/tmp/refagent-optsXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    {
        AgentConfig config;
        std::string message;
        const char *argv[] = {"agent", "--user", "Alice", "--password", "", dir, "--os-version", "10.0.19045",
                              "--max-connections", "4", "--logon-timeout", "3", "--idle-timeout", "0",
                              "--read-timeout", "7", "--logon-delay", "50,800", "--max-pending", "9"};
        ASSERT_EQ(ParseOptions(20, argv, config, message), 0) << message;
        EXPECT_EQ(config.logonTimeout.count(), 3000);
        EXPECT_EQ(config.idleTimeout.count(), 0);
        EXPECT_EQ(config.readTimeout.count(), 7000);
        EXPECT_EQ(config.throttle.first.count(), 50);
        EXPECT_EQ(config.throttle.max.count(), 800);
        EXPECT_EQ(config.maxPending, 9u);
        EXPECT_EQ(config.user, u"Alice");
        EXPECT_EQ(config.password, u"");
        EXPECT_EQ(config.osVersion, 10u | 0u << 8 | 19045u << 16);
        EXPECT_EQ(config.maxConnections, 4u);
        EXPECT_EQ(config.profile, u"C:\\Users\\Alice");
        ASSERT_NE(config.drives.Find(u'C'), nullptr);
    }
    const std::vector<std::vector<const char *>> bad = {
        {"agent", dir},                                                  // no credentials
        {"agent", "--user", "u", "--password", "p"},                     // nothing served
        {"agent", "--user", "u", "--password", "p", "/nonexistent/dir"}, // missing directory
        {"agent", "--user", "u", "--password", "p", dir, "--port", "70000"},
        {"agent", "--user", "u", "--password", "p", dir, "--bogus"},
        {"agent", "--user", "u", "--password", "p", "--drive", "CC", dir},
        {"agent", "--user", "u", "--password", "p", dir, "--logon-timeout", "0"},
        {"agent", "--user", "u", "--password", "p", dir, "--read-timeout", "-1"},
        {"agent", "--user", "u", "--password", "p", dir, "--logon-delay", "900,100"},
        {"agent", "--user", "u", "--password", "p", dir, "--logon-delay", ""},
        {"agent", "--user", "u", "--password", "p", dir, "--max-pending", "0"},
    };
    for (const auto &argv : bad) {
        AgentConfig config;
        std::string message;
        EXPECT_EQ(ParseOptions(static_cast<int>(argv.size()), argv.data(), config, message), -1) << argv.back();
        EXPECT_FALSE(message.empty());
    }
    ::rmdir(dir);
}

} // namespace
