// What agentcli's copies let other local users do: private by default
// whatever the umask, widened only by --chmod.
#include "e2e_support.h"
#include "local_modes.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

TEST(ChmodValue, GivesTheCreationMaskOrRefuses)
{
    struct Case {
        const char *value;
        int mask; // -1: refused
    } cases[] = {
        {"go+rX", 022},        {"g+rX", 027},           {"a+rX", 022},        {"+rX", 022},
        {"D755,F644", 022},    {"F644,D755", 022},      {"D750,F640", 027},   {"u=rwX,go=rX", 022},
        {"go=rX", 022},        {"a+rwX", 0},            {"go-rwx", 077},      {"u-w", 0277},
        {"Dgo+x", 066},        {"g+rX,o+r-r", 027},     {"D0755,F0644", 022}, {"644", 0133},
        {"F644", -1},          {"go+x", -1},            {"755", -1},          {"u+s", -1},
        {"o+t", -1},           {"go+q", -1},            {"g=u", -1},          {"", -1},
        {"D", -1},             {"go+rX,", -1},          {"g", -1},            {"D1755,F644", -1},
        {"Fgo+r", -1},         {"99", -1},
    };
    for (const Case &c : cases) {
        unsigned mask = 12345;
        std::string error;
        const bool ok = agentcli::CreationMaskForChmod(c.value, mask, error);
        EXPECT_EQ(ok, c.mask >= 0) << c.value << ": " << error;
        if (ok && c.mask >= 0) {
            EXPECT_EQ(mask, static_cast<unsigned>(c.mask)) << c.value;
        }
        if (!ok) {
            EXPECT_NE(error.find("--chmod"), std::string::npos) << c.value;
        }
    }
}

unsigned ModeOf(const std::string &path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 01000; // missing: no mode can match
    return st.st_mode & 07777;
}

TEST(PrivateCopies, BackupAndGetAreOwnerOnlyUnlessChmodWidensThem)
{
    // The loosest umask: whatever is private afterwards is agentcli's doing.
    const struct Loosest {
        mode_t saved = ::umask(0);
        ~Loosest() { ::umask(saved); }
    } loosest;
    e2e::TempDir work;
    e2e::WriteFile(work / "source/docs/a.txt", "alpha");
    e2e::WriteFile(work / "source/docs/sub/b.bin", e2e::PseudoRandomBytes(70000, 5));
    e2e::AgentProcess agent(work / "source");
    struct Case {
        std::vector<std::string> chmod; // extra arguments
        int status;
        unsigned file, folder;
    } cases[] = {
        {{}, 0, 0600, 0700},
        {{"--chmod=go+rX"}, 0, 0644, 0755},
        {{"--chmod", "g+rX"}, 0, 0640, 0750},
        {{"--chmod=F644"}, 1, 01000, 01000}, // refused before anything is made
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string dest = work / ("backup" + std::to_string(n));
        const std::string single = work / ("single" + std::to_string(n++));
        std::vector<std::string> backup = {"backup"}, get = {"get"};
        for (std::vector<std::string> *args : {&backup, &get})
            args->insert(args->end(), c.chmod.begin(), c.chmod.end());
        backup.insert(backup.end(), {"C:\\docs", dest});
        get.insert(get.end(), {"C:\\docs\\sub\\b.bin", single});
        const e2e::RunResult b = e2e::RunCli(agent.port(), backup);
        ASSERT_EQ(b.status, c.status) << b.out << b.err;
        EXPECT_EQ(ModeOf(dest), c.folder) << dest;
        EXPECT_EQ(ModeOf(dest + "/sub"), c.folder);
        EXPECT_EQ(ModeOf(dest + "/a.txt"), c.file);
        EXPECT_EQ(ModeOf(dest + "/sub/b.bin"), c.file); // written by the library's parallel copy
        const e2e::RunResult g = e2e::RunCli(agent.port(), get);
        ASSERT_EQ(g.status, c.status) << g.out << g.err;
        EXPECT_EQ(ModeOf(single), c.file);
    }
}

} // namespace
