// agentcli restore over a table of shapes: each row builds a tree on the
// reference agent's drive C:, backs it up, prepares the backup and the
// target drive D: as the row wants them, restores, and checks the exit
// status, the summary's counts, and the restored tree against the original
// entry by entry: bytes, last-write times (to the 100 ns a FILETIME holds)
// and the attributes the agent reports.
#include "e2e_support.h"
#include "manifest.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using agentcli::WidenOrEmpty;

namespace {

constexpr DWORD kCompared = 0x1 | 0x2 | 0x4 | 0x10 | 0x20; // read-only, hidden, system, folder, archive

struct Env {
    e2e::TempDir work;
    std::string served = work / "served", target = work / "target", backup = work / "backup";
    std::string into = target + "/into"; // D:\into
    uint16_t port = 0;
    AGENT_LOGON logon = nullptr;

    DWORD Attributes(const std::string &windowsPath) const
    {
        return AgentGetFileAttributesW(logon, WidenOrEmpty(windowsPath).c_str());
    }
    void SetAttributes(const std::string &windowsPath, DWORD attributes) const
    {
        ASSERT_TRUE(AgentSetFileAttributesW(logon, WidenOrEmpty(windowsPath).c_str(), attributes)) << windowsPath;
    }
    e2e::RunResult Restore(std::vector<std::string> extra) const
    {
        extra.insert(extra.begin(), {"restore", "--no-progress", "--list-skipped"});
        extra.insert(extra.end(), {backup + "/", "D:\\into"}); // a trailing slash names the same folder
        return e2e::RunCli(port, extra);
    }
};

std::string Windows(const std::string &drive, const std::string &rel)
{
    std::string path = drive + rel;
    for (char &c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

void SmallTree(Env &env)
{
    e2e::WriteFile(env.served + "/readme.txt", "read me\n");
    e2e::WriteFile(env.served + "/docs/a.txt", "alpha");
    e2e::WriteFile(env.served + "/docs/sub/b.bin", e2e::PseudoRandomBytes(200000, 7));
    e2e::WriteFile(env.served + "/Ünï/ç 😀.txt", "çà");
    fs::create_directories(env.served + "/empty folder");
}

void WithAttributes(Env &env)
{
    SmallTree(env);
    e2e::WriteFile(env.served + "/ro.txt", "read-only, replaced on the agent");
    e2e::WriteFile(env.served + "/sys/hidden.txt", "hidden");
    env.SetAttributes("C:\\ro.txt", 0x1 | 0x20);
    env.SetAttributes("C:\\sys\\hidden.txt", 0x2 | 0x20);
    env.SetAttributes("C:\\sys", 0x2 | 0x4);
}

// Sets a file's last-write time (seconds since 1970).
void SetTime(const std::string &path, time_t seconds)
{
    const struct timespec times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

void RewriteManifest(const Env &env, const std::function<void(agentcli::Manifest &)> &change)
{
    agentcli::ManifestRead read = agentcli::ReadManifestFile(env.backup);
    ASSERT_TRUE(read.ok) << read.error;
    change(read.manifest);
    e2e::WriteFile(env.backup + "/" + agentcli::kManifestName, agentcli::FormatManifest(read.manifest));
}

struct Counts {
    long files = -1, unchanged = -1, skipped = -1, failed = -1;
    bool operator==(const Counts &o) const
    {
        return files == o.files && unchanged == o.unchanged && skipped == o.skipped && failed == o.failed;
    }
};

std::ostream &operator<<(std::ostream &out, const Counts &c)
{
    return out << c.files << " files, " << c.unchanged << " unchanged, " << c.skipped << " skipped, " << c.failed
               << " failed";
}

Counts ParseCounts(const std::string &out)
{
    Counts c;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"((\d+) files, \d+ folders .* (\d+) unchanged, (\d+) skipped, (\d+) failed)")))
        c = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
    return c;
}

struct Shape {
    const char *name;
    std::function<void(Env &)> build;   // the original, before the backup
    std::function<void(Env &)> prepare; // the backup and D: as the row wants them
    std::vector<std::string> args;
    int status;
    Counts counts;
    bool manifest = true;               // attributes and folder times come back too
    std::string stderrHas = "";
    std::set<std::string> differ = {};  // entries that differ from the original by design
    std::function<void(Env &)> check = nullptr;
};

void Nothing(Env &) {}

const std::vector<Shape> &Shapes()
{
    static const std::vector<Shape> shapes = {
        {"a new tree with non-ASCII names into missing folders",
         [](Env &env) { e2e::MakeSampleTree(env.served, 3, 1u << 20); }, Nothing, {}, 0, {51, 0, 0, 0}},
        {"read-only and hidden files, a read-only file replaced", WithAttributes,
         [](Env &env) {
             e2e::WriteFile(env.into + "/ro.txt", "old");
             SetTime(env.into + "/ro.txt", 1000000000);
             env.SetAttributes("D:\\into\\ro.txt", 0x1);
         },
         {}, 0, {6, 0, 0, 0}},
        {"changes since a restore: only those are written, newer and extra files kept", SmallTree,
         [](Env &env) {
             ASSERT_EQ(env.Restore({}).status, 0);
             e2e::WriteFile(env.into + "/docs/a.txt", "changed");
             SetTime(env.into + "/docs/a.txt", 1000000000);
             fs::remove(env.into + "/docs/sub/b.bin");
             SetTime(env.into + "/readme.txt", 2000000000); // newer on the agent
             e2e::WriteFile(env.into + "/extra.txt", "only on the agent");
         },
         {"--incremental"}, 0, {2, 1, 1, 0}, true, "", {"readme.txt"},
         [](Env &env) {
             EXPECT_EQ(e2e::ReadFile(env.into + "/extra.txt"), "only on the agent");
             struct stat st;
             ASSERT_EQ(::stat((env.into + "/readme.txt").c_str(), &st), 0);
             EXPECT_EQ(st.st_mtim.tv_sec, 2000000000);
         }},
        {"an interrupted restore continued", [](Env &env) {
             SmallTree(env);
             e2e::WriteFile(env.served + "/big.bin", e2e::PseudoRandomBytes(12u << 20, 9));
         },
         [](Env &env) {
             e2e::TempDir io;
             e2e::Child first;
             ASSERT_TRUE(first.Start(e2e::CliArgv(env.port, {"restore", "--no-progress", "--bwlimit=2M", env.backup,
                                                              "D:\\into"}),
                                     io / "out", io / "err"));
             ASSERT_TRUE(e2e::WaitUntil([&] { return fs::exists(env.into) &&
                                                 !e2e::FilesEndingWith(env.into, ".agent-put").empty(); }, 60));
             first.Kill(SIGINT);
             EXPECT_EQ(first.WaitFor(60), 20);
             EXPECT_NE(e2e::ReadFile(io / "err").find("run the same restore again"), std::string::npos);
         },
         {}, 0, {-1, 5, 0, 0}, true, "", {},
         [](Env &env) { EXPECT_TRUE(e2e::FilesEndingWith(env.into, ".agent-put").empty()); }},
        {"a file and a folder in the way", SmallTree,
         [](Env &env) {
             e2e::WriteFile(env.into + "/docs", "a file where the backup has a folder");
             fs::create_directories(env.into + "/readme.txt/inside");
         },
         {}, 23, {1, 0, 0, 4}, true, "a file or link is in the way",
         {"docs", "docs/a.txt", "docs/sub", "docs/sub/b.bin", "readme.txt"},
         [](Env &env) {
             EXPECT_EQ(e2e::ReadFile(env.into + "/docs"), "a file where the backup has a folder");
             EXPECT_TRUE(fs::is_directory(env.into + "/readme.txt/inside"));
         }},
        {"no manifest", WithAttributes,
         [](Env &env) { fs::remove(env.backup + "/" + agentcli::kManifestName); }, {}, 0, {6, 0, 0, 0}, false,
         "missing"},
        {"a damaged manifest", WithAttributes,
         [](Env &env) {
             std::string bytes = e2e::ReadFile(env.backup + "/" + agentcli::kManifestName);
             bytes[bytes.size() / 2] ^= 1;
             e2e::WriteFile(env.backup + "/" + agentcli::kManifestName, bytes);
         },
         {}, 23, {6, 0, 0, 0}, false, "damaged"},
        {"links and a fifo planted in the backup", SmallTree,
         [](Env &env) {
             e2e::WriteFile(env.work / "secret.txt", "secret bytes");
             fs::create_directories(env.work / "outside");
             e2e::WriteFile(env.work / "outside/more.txt", "more secret bytes");
             fs::create_symlink(env.work / "secret.txt", env.backup + "/planted.txt");
             fs::create_directory_symlink(env.work / "outside", env.backup + "/docs/planted-dir");
             ASSERT_EQ(::mkfifo((env.backup + "/docs/pipe").c_str(), 0600), 0); // would stall a reader
         },
         {}, 0, {4, 0, 3, 0}, true, "", {},
         [](Env &env) {
             EXPECT_FALSE(fs::exists(fs::symlink_status(env.into + "/planted.txt")));
             EXPECT_FALSE(fs::exists(fs::symlink_status(env.into + "/docs/planted-dir")));
             EXPECT_FALSE(fs::exists(fs::symlink_status(env.into + "/docs/pipe")));
         }},
        {"names no remote path can hold", SmallTree,
         [](Env &env) {
             for (const char *name : {"a:b", "back\\slash", "CON.txt", "com1", "trailing.", "what?", "tab\there"})
                 e2e::WriteFile(env.backup + "/docs/" + name, "not restored");
         },
         {}, 0, {4, 0, 7, 0}, true, "", {},
         [](Env &env) {
             std::set<std::string> names;
             for (const auto &e : fs::directory_iterator(env.into + "/docs"))
                 names.insert(e.path().filename().string());
             EXPECT_EQ(names, (std::set<std::string>{"a.txt", "sub"}));
         }},
        {"manifest entries naming paths outside the backup", SmallTree,
         [](Env &env) {
             RewriteManifest(env, [](agentcli::Manifest &m) {
                 agentcli::ManifestEntry out = m.entries.front();
                 out.path = "../x";
                 m.entries.push_back(out);
                 out.path = "docs/../../y";
                 m.entries.push_back(out);
             });
         },
         {}, 23, {4, 0, 0, 0}, true, "refused", {},
         [](Env &env) {
             EXPECT_FALSE(fs::exists(env.target + "/x"));
             EXPECT_FALSE(fs::exists(env.work / "x"));
             EXPECT_FALSE(fs::exists(env.target + "/y"));
         }},
        {"a dry run writes nothing", SmallTree, Nothing, {"-n"}, 0, {4, 0, 0, 0}, true, "", {},
         [](Env &env) { EXPECT_FALSE(fs::exists(env.into)); }},
    };
    return shapes;
}

// Every entry of the original against the restored one.
void ExpectRestored(const Env &env, const Shape &shape)
{
    for (auto it = fs::recursive_directory_iterator(env.served); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), env.served).generic_string();
        if (shape.differ.count(rel) != 0)
            continue;
        SCOPED_TRACE(rel);
        struct stat was, now;
        ASSERT_EQ(::lstat(it->path().c_str(), &was), 0);
        ASSERT_EQ(::lstat((env.into + "/" + rel).c_str(), &now), 0) << "missing";
        ASSERT_EQ(S_ISDIR(was.st_mode), S_ISDIR(now.st_mode));
        if (!S_ISDIR(was.st_mode)) {
            EXPECT_TRUE(e2e::ReadFile(it->path()) == e2e::ReadFile(env.into + "/" + rel)) << "bytes differ";
        }
        if (!S_ISDIR(was.st_mode) || shape.manifest) {
            EXPECT_EQ(was.st_mtim.tv_sec, now.st_mtim.tv_sec);
            EXPECT_EQ(was.st_mtim.tv_nsec / 100, now.st_mtim.tv_nsec / 100);
        }
        if (shape.manifest) {
            EXPECT_EQ(env.Attributes(Windows("C:\\", rel)) & kCompared,
                      env.Attributes(Windows("D:\\into\\", rel)) & kCompared);
        }
    }
}

TEST(Restore, EveryShapeEndsWithItsStatusCountsAndTree)
{
    ASSERT_TRUE(AgentInit());
    AgentSetDefaultTimeouts(10000, 30000);
    for (const Shape &shape : Shapes()) {
        SCOPED_TRACE(shape.name);
        Env env;
        fs::create_directories(env.served);
        fs::create_directories(env.target);
        e2e::AgentProcess agent(env.served, {"--drive", "D=" + env.target});
        env.port = agent.port();
        env.logon = AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), env.port, WidenOrEmpty("alice").c_str(),
                                WidenOrEmpty("s3cret").c_str());
        ASSERT_NE(env.logon, nullptr);
        shape.build(env);
        const e2e::RunResult backup = e2e::RunCli(env.port, {"backup", "--no-progress", "C:\\", env.backup});
        ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
        shape.prepare(env);
        if (!HasFatalFailure()) {
            const e2e::RunResult r = env.Restore(shape.args);
            EXPECT_EQ(r.status, shape.status) << r.out << r.err;
            Counts want = shape.counts, got = ParseCounts(r.out);
            if (want.files < 0) { // an interrupted run left some files, at least the big one, to this one
                EXPECT_GE(got.files, 1);
                want.files = got.files;
                want.unchanged -= got.files;
            }
            EXPECT_EQ(got, want) << r.out << r.err;
            EXPECT_NE(r.err.find(shape.stderrHas), std::string::npos) << r.err;
            if (shape.args.empty() || shape.args[0] != "-n")
                ExpectRestored(env, shape);
            if (shape.check)
                shape.check(env);
        }
        AgentLogoff(env.logon);
    }
    AgentFini();
}

} // namespace
