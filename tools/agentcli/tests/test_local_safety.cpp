// agentcli backup's local writes, tried as another local user with write
// access to the destination would (links planted at folders, final names
// and partial names of an existing destination), and as a crash would (the
// backup killed at chosen points): nothing outside the destination is ever
// touched, no final name holds other bytes than the remote file's, and an
// --incremental run afterwards completes the copy.
#include "e2e_support.h"
#include "remote_copy.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Connection(uint16_t port)
{
    return {"--port", std::to_string(port), "--user", "alice", "--password", "s3cret"};
}

e2e::RunResult Backup(uint16_t port, std::vector<std::string> options, const std::string &dest)
{
    std::vector<std::string> argv = {AGENTCLI_PATH, "backup", "--no-progress"};
    for (const std::string &o : Connection(port))
        argv.push_back(o);
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("C:\\");
    argv.push_back(dest);
    return e2e::Run(argv, {}, 120);
}

bool IsLink(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

void MakeServed(const std::string &root)
{
    e2e::WriteFile(root + "/top.txt", "top of the tree");
    e2e::WriteFile(root + "/docs/a.txt", "document a");
    e2e::WriteFile(root + "/docs/deep/b.txt", "document b");
    e2e::WriteFile(root + "/media/clip.bin", e2e::PseudoRandomBytes(3u << 20, 5));
}

} // namespace

// Each row plants something in an existing destination before a backup
// (fresh or incremental) runs into it.
TEST(LocalSafety, LinksPlantedInTheDestinationAreNeverWrittenThrough)
{
    struct Row {
        const char *what;
        std::function<void(const std::string &dest, const std::string &outside)> plant;
    };
    const Row rows[] = {
        {"a folder is a link to a folder outside",
         [](const std::string &d, const std::string &o) { ASSERT_EQ(::symlink(o.c_str(), (d + "/docs").c_str()), 0); }},
        {"a nested folder is a link",
         [](const std::string &d, const std::string &o) {
             fs::create_directories(d + "/docs");
             ASSERT_EQ(::symlink(o.c_str(), (d + "/docs/deep").c_str()), 0);
         }},
        {"a final name is a link to a file outside",
         [](const std::string &d, const std::string &o) {
             ASSERT_EQ(::symlink((o + "/victim").c_str(), (d + "/top.txt").c_str()), 0);
         }},
        {"a final name is a hard link to a file outside",
         [](const std::string &d, const std::string &o) {
             fs::create_directories(d + "/docs");
             ASSERT_EQ(::link((o + "/victim").c_str(), (d + "/docs/a.txt").c_str()), 0);
         }},
        {"a partial name is a link to a file outside",
         [](const std::string &d, const std::string &o) {
             fs::create_directories(d + "/media");
             ASSERT_EQ(::symlink((o + "/victim").c_str(), agentcli::PartialName(d + "/media/clip.bin").c_str()), 0);
         }},
        {"a partial name is a hard link to a file outside",
         [](const std::string &d, const std::string &o) {
             ASSERT_EQ(::link((o + "/victim").c_str(), agentcli::PartialName(d + "/top.txt").c_str()), 0);
         }},
    };
    e2e::TempDir work;
    MakeServed(work / "served");
    e2e::AgentProcess agent(work / "served");
    for (const bool incremental : {false, true}) {
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.what) + (incremental ? ", --incremental" : ""));
            const std::string dest = work / "dest", outside = work / "outside";
            fs::remove_all(dest);
            fs::remove_all(outside);
            fs::create_directories(dest);
            e2e::WriteFile(outside + "/victim", "precious bytes that must stay");
            e2e::WriteFile(outside + "/a.txt", "precious a");
            e2e::WriteFile(outside + "/b.txt", "precious b");
            row.plant(dest, outside);
            const auto before = e2e::Snapshot(outside);

            const e2e::RunResult r = Backup(agent.port(), incremental ? std::vector<std::string>{"--incremental"}
                                                                       : std::vector<std::string>{},
                                            dest);
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_TRUE(e2e::Snapshot(outside) == before) << "something outside the destination changed";
            EXPECT_EQ(e2e::CompareTrees(work / "served", dest), "");
            for (const char *name : {"/docs", "/docs/deep", "/top.txt", "/docs/a.txt", "/media/clip.bin"})
                EXPECT_FALSE(IsLink(dest + name)) << name;
        }
    }
}

// The backup is killed at points along the way; whatever it left, no final
// name holds other bytes than the remote file, and an --incremental run
// completes the copy and leaves no partial file.
TEST(LocalSafety, ABackupKilledAnywhereLeavesNoWrongBytesAndIncrementalRecovers)
{
    e2e::TempDir work;
    const std::string served = work / "served";
    for (int folder = 0; folder < 4; ++folder)
        for (int i = 0; i < 50; ++i)
            e2e::WriteFile(served + "/f" + std::to_string(folder) + "/s" + std::to_string(i) + ".dat",
                           e2e::PseudoRandomBytes(4096, static_cast<unsigned>(folder * 100 + i)));
    e2e::WriteFile(served + "/m-big.bin", e2e::PseudoRandomBytes(48u << 20, 77));
    const std::map<std::string, std::string> source = e2e::Snapshot(served);
    e2e::AgentProcess agent(served);

    // Final names present under dest (partial files left out).
    auto finals = [](const std::string &dest) {
        size_t n = 0;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dest, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->path().filename().string().rfind(".agent-partial", 0) != 0 && it->is_regular_file(ec))
                ++n;
        return n;
    };
    auto bigPartial = [](const std::string &dest) -> uint64_t {
        std::error_code ec;
        const uint64_t size = fs::file_size(agentcli::PartialName(dest + "/m-big.bin"), ec);
        return ec ? 0 : size;
    };
    struct Point {
        const char *what;
        std::function<bool(const std::string &dest)> reached;
    };
    const Point points[] = {
        {"as soon as it starts", [](const std::string &) { return true; }},
        {"after the first file", [&](const std::string &d) { return finals(d) >= 1; }},
        {"with the big file part-way", [&](const std::string &d) { return bigPartial(d) >= (4u << 20); }},
        {"with half the small files", [&](const std::string &d) { return finals(d) >= 100; }},
    };
    for (const Point &point : points) {
        for (const char *mode : {"", "--incremental"}) {
            SCOPED_TRACE(std::string(point.what) + " " + mode);
            const std::string dest = work / "dest";
            fs::remove_all(dest);
            std::vector<std::string> argv = {AGENTCLI_PATH, "backup", "--no-progress", "--jobs", "2"};
            for (const std::string &o : Connection(agent.port()))
                argv.push_back(o);
            if (*mode != 0)
                argv.push_back(mode);
            argv.push_back("C:\\");
            argv.push_back(dest);
            e2e::Child child;
            ASSERT_TRUE(child.Start(argv, work / "out.txt", work / "err.txt"));
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!point.reached(dest) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            child.Kill(9);
            const int status = child.Wait();
            if (status != 128 + 9)
                std::printf("note: the backup ended (%d) before it was killed %s\n", status, point.what);

            // A kill while the run tries the destination leaves its probe
            // file: not a copy, and not this test's concern.
            std::error_code ec;
            for (fs::directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec))
                if (it->path().filename().string().rfind(".agentcli-probe", 0) == 0)
                    fs::remove(it->path(), ec);
            // Whatever has a final name holds exactly the remote bytes.
            const auto left = fs::exists(dest) ? e2e::Snapshot(dest) : std::map<std::string, std::string>();
            for (const auto &[path, content] : left) {
                if (content == "<dir>" || fs::path(path).filename().string().rfind(".agent-partial", 0) == 0)
                    continue;
                const auto it = source.find(path);
                ASSERT_NE(it, source.end()) << path;
                EXPECT_TRUE(it->second == content) << path << " holds other bytes";
            }

            const e2e::RunResult again = Backup(agent.port(), {"--incremental"}, dest);
            EXPECT_EQ(again.status, 0) << again.out << again.err;
            EXPECT_EQ(e2e::CompareTrees(served, dest), "");
            EXPECT_TRUE(e2e::PartialFiles(dest).empty());
        }
    }
}

// agentcli names partial files (for --delete, resumed counts and hints) by
// the library's rule: a copy the library stopped is found where agentcli
// looks for it, for names kept whole and names cut and hashed.
TEST(LocalSafety, PartialNamesAgreeWithTheLibrary)
{
    ASSERT_TRUE(AgentInit());
    e2e::TempDir work;
    e2e::WriteFile(work / "served/file.bin", e2e::PseudoRandomBytes(3000, 9));
    e2e::AgentProcess agent(work / "served");
    AGENT_LOGON logon = AgentLogonW(agentcli::WidenOrEmpty("127.0.0.1").c_str(), agent.port(),
                                    agentcli::WidenOrEmpty("alice").c_str(), agentcli::WidenOrEmpty("s3cret").c_str());
    ASSERT_NE(logon, nullptr);
    struct Stop {
        static DWORD AGENTAPI Call(ULONGLONG, ULONGLONG, void *) { return PROGRESS_STOP; }
    };
    const std::string threeByte = "\xe6\x97\xa5";
    std::string longUnicode;
    for (int i = 0; i < 84; ++i)
        longUnicode += threeByte;
    for (const std::string &name : {std::string("short.bin"), std::string(240, 'a'), std::string(241, 'b'),
                                    std::string(255, 'c'), longUnicode + "x", "z" + longUnicode}) {
        SCOPED_TRACE(name.size());
        const std::string local = work / name;
        EXPECT_EQ(AgentCopyFileFromAgentExW(logon, agentcli::WidenOrEmpty("C:\\file.bin").c_str(),
                                            agentcli::WidenOrEmpty(local).c_str(), &Stop::Call, nullptr, nullptr,
                                            COPY_FILE_RESTARTABLE),
                  0);
        const std::string partial = agentcli::PartialName(local);
        EXPECT_TRUE(fs::exists(partial)) << partial;
        EXPECT_TRUE(agentcli::IsPartialName(fs::path(partial).filename().string()));
        EXPECT_FALSE(agentcli::IsPartialName(name));
        fs::remove(partial);
    }
    EXPECT_TRUE(e2e::PartialFiles(work.path()).empty()) << "a partial file under another name";
    AgentLogoff(logon);
    AgentFini();
}
