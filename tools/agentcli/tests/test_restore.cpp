// agentcli restore over a table of shapes: each row backs up a tree from the
// agent's C:, prepares the backup and D: its way, restores into D:\into, and
// checks the status, the summary's counts and the tree entry by entry.
#include "e2e_support.h"
#include "manifest.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
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
using Counts = std::array<long, 4>;                          // files, unchanged, skipped, failed

struct Env {
    e2e::TempDir work;
    std::string served = work / "served", target = work / "target", backup = work / "backup";
    std::string into = target + "/into";
    bool made = fs::create_directories(served) && fs::create_directories(target); // before the agent serves them
    e2e::AgentProcess agent{served, {"--drive", "D=" + target}};
    uint16_t port = agent.port();
    AGENT_LOGON logon = AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), port, WidenOrEmpty("alice").c_str(),
                                    WidenOrEmpty("s3cret").c_str());
    ~Env() { AgentLogoff(logon); }

    DWORD Attributes(const std::string &rel, const char *root) const
    {
        std::string path = root + rel;
        std::replace(path.begin(), path.end(), '/', '\\');
        return AgentGetFileAttributesW(logon, WidenOrEmpty(path).c_str());
    }
    void SetAttributes(const char *path, DWORD attributes) const
    {
        ASSERT_TRUE(AgentSetFileAttributesW(logon, WidenOrEmpty(path).c_str(), attributes)) << path;
    }
    e2e::RunResult Restore(std::vector<std::string> extra) const
    {
        extra.insert(extra.begin(), {"restore", "--no-progress", "--list-skipped"});
        extra.insert(extra.end(), {backup + "/", "D:\\into"}); // a trailing slash names the same folder
        return e2e::RunCli(port, extra);
    }
};

Counts ParseCounts(const std::string &out)
{
    std::smatch m;
    if (!std::regex_search(out, m, std::regex(R"((\d+) files, \d+ folders .* (\d+) unchanged, (\d+) skipped, (\d+) failed)")))
        return {-1, -1, -1, -1};
    return {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
}

// Moves a file's last-write time by hours.
void Shift(const std::string &path, int hours)
{
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(hours));
}

void SmallTree(Env &env)
{
    e2e::WriteFile(env.served + "/readme.txt", "read me\n");
    e2e::WriteFile(env.served + "/docs/a.txt", "alpha");
    e2e::WriteFile(env.served + "/docs/sub/b.bin", e2e::PseudoRandomBytes(200000, 7));
    e2e::WriteFile(env.served + "/Ünï/ç 😀.txt", "çà");
    fs::create_directories(env.served + "/empty folder");
}

std::string Manifest(const Env &env) { return env.backup + "/" + agentcli::kManifestName; }

struct Shape {
    const char *name;
    std::function<void(Env &)> build, prepare;
    std::vector<std::string> args;
    int status;
    Counts counts;                     // files < 0: an interrupted run wrote some, the rest count unchanged
    bool manifest = true;              // attributes and folder times come back too
    std::string stderrHas = "";
    std::set<std::string> differ = {}; // entries that differ from the original by design
    std::function<void(Env &)> check = nullptr;
};

const std::vector<Shape> &Shapes()
{
    static const std::vector<Shape> shapes = {
        {"a sample tree with attributes, a read-only file replaced, links, a fifo and bad names planted",
         [](Env &env) {
             e2e::MakeSampleTree(env.served, 3, 1u << 20);
             e2e::WriteFile(env.served + "/ro.txt", "read-only, replaced on the agent");
             e2e::WriteFile(env.served + "/sys/hidden.txt", "hidden");
             env.SetAttributes("C:\\ro.txt", 0x1 | 0x20);
             env.SetAttributes("C:\\sys\\hidden.txt", 0x2 | 0x20);
             env.SetAttributes("C:\\sys", 0x2 | 0x4);
             // More small files than one batch takes: two lanes of them beside the large files' own.
             for (int i = 0; i < 300; ++i)
                 e2e::WriteFile(env.served + "/bulk/" + std::to_string(i), std::string(size_t(i), 'b'));
         },
         [](Env &env) {
             e2e::WriteFile(env.into + "/ro.txt", "old");
             Shift(env.into + "/ro.txt", -1000);
             env.SetAttributes("D:\\into\\ro.txt", 0x1);
             e2e::WriteFile(env.work / "outside/secret.txt", "secret bytes");
             fs::create_symlink(env.work / "outside/secret.txt", env.backup + "/planted.txt");
             fs::create_directory_symlink(env.work / "outside", env.backup + "/docs/planted-dir");
             ASSERT_EQ(::mkfifo((env.backup + "/docs/pipe").c_str(), 0600), 0); // would stall a reader
             for (const char *name : {"a:b", "back\\slash", "CON.txt", "com1", "trailing.", "what?", "tab\there"})
                 e2e::WriteFile(env.backup + "/docs/" + name, "not restored");
         },
         {}, 0, {353, 0, 10, 0}, true, "", {},
         [](Env &env) {
             EXPECT_FALSE(fs::exists(fs::symlink_status(env.into + "/planted.txt")));
             std::set<std::string> names;
             for (const auto &e : fs::directory_iterator(env.into + "/docs"))
                 names.insert(e.path().filename().string());
             EXPECT_EQ(names, (std::set<std::string>{"notes", "report 2024.docx"}));
         }},
        {"a dry run, then changes since a restore: only those written, newer and extra files kept", SmallTree,
         [](Env &env) {
             const e2e::RunResult dry = env.Restore({"-n"});
             EXPECT_EQ(ParseCounts(dry.out), (Counts{4, 0, 0, 0})) << dry.out;
             EXPECT_FALSE(fs::exists(env.into)) << "the dry run wrote";
             ASSERT_EQ(env.Restore({}).status, 0);
             e2e::WriteFile(env.into + "/docs/a.txt", "changed");
             Shift(env.into + "/docs/a.txt", -1000);
             fs::remove(env.into + "/docs/sub/b.bin");
             Shift(env.into + "/readme.txt", 1000); // newer on the agent
             e2e::WriteFile(env.into + "/extra.txt", "only on the agent");
         },
         {"--incremental"}, 0, {2, 1, 1, 0}, true, "", {"readme.txt"},
         [](Env &env) { EXPECT_EQ(e2e::ReadFile(env.into + "/extra.txt"), "only on the agent"); }},
        {"an interrupted restore continued",
         [](Env &env) {
             SmallTree(env);
             e2e::WriteFile(env.served + "/big.bin", e2e::PseudoRandomBytes(12u << 20, 9));
         },
         [](Env &env) {
             e2e::TempDir io;
             e2e::Child first;
             ASSERT_TRUE(first.Start(e2e::CliArgv(env.port, {"restore", "--no-progress", "--bwlimit=2M", env.backup,
                                                              "D:\\into"}), io / "out", io / "err"));
             ASSERT_TRUE(e2e::WaitUntil(
                 [&] { return fs::exists(env.into) && !e2e::FilesEndingWith(env.into, ".agent-put").empty(); }, 60));
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
        {"no manifest", SmallTree, [](Env &env) { fs::remove(Manifest(env)); }, {}, 0, {4, 0, 0, 0}, false, "missing"},
        {"a damaged manifest", SmallTree,
         [](Env &env) {
             std::string bytes = e2e::ReadFile(Manifest(env));
             bytes[bytes.size() / 2] ^= 1;
             e2e::WriteFile(Manifest(env), bytes);
         },
         {}, 23, {4, 0, 0, 0}, false, "damaged"},
        {"manifest entries naming paths outside the backup", SmallTree,
         [](Env &env) {
             agentcli::ManifestRead read = agentcli::ReadManifestFile(env.backup);
             ASSERT_TRUE(read.ok) << read.error;
             for (const char *path : {"../x", "docs/../../y"}) {
                 read.manifest.entries.push_back(read.manifest.entries.front());
                 read.manifest.entries.back().path = path;
             }
             e2e::WriteFile(Manifest(env), agentcli::FormatManifest(read.manifest));
         },
         {}, 23, {4, 0, 0, 0}, true, "refused", {},
         [](Env &env) {
             for (const std::string &p : {env.target + "/x", env.work / "x", env.target + "/y"})
                 EXPECT_FALSE(fs::exists(p)) << p;
         }},
    };
    return shapes;
}

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
        const bool file = !S_ISDIR(was.st_mode);
        EXPECT_TRUE(!file || e2e::ReadFile(it->path()) == e2e::ReadFile(env.into + "/" + rel)) << "bytes differ";
        if (file || shape.manifest) { // to the 100 ns a FILETIME holds
            EXPECT_EQ(was.st_mtim.tv_sec * 10000000 + was.st_mtim.tv_nsec / 100,
                      now.st_mtim.tv_sec * 10000000 + now.st_mtim.tv_nsec / 100);
        }
        if (shape.manifest) {
            EXPECT_EQ(env.Attributes(rel, "C:\\") & kCompared, env.Attributes(rel, "D:\\into\\") & kCompared);
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
        ASSERT_NE(env.logon, nullptr);
        shape.build(env);
        const e2e::RunResult backup = e2e::RunCli(env.port, {"backup", "--no-progress", "C:\\", env.backup});
        ASSERT_EQ(backup.status, 0) << backup.out << backup.err;
        shape.prepare(env);
        if (!HasFatalFailure()) {
            const e2e::RunResult r = env.Restore(shape.args);
            EXPECT_EQ(r.status, shape.status) << r.out << r.err;
            Counts want = shape.counts, got = ParseCounts(r.out);
            if (want[0] < 0) { // at least the big file was left to this run
                EXPECT_GE(got[0], 1);
                want = {got[0], want[1] - got[0], want[2], want[3]};
            }
            EXPECT_EQ(got, want) << r.out << r.err;
            EXPECT_NE(r.err.find(shape.stderrHas), std::string::npos) << r.err;
            ExpectRestored(env, shape);
            if (shape.check)
                shape.check(env);
        }
    }
    AgentFini();
}

} // namespace
