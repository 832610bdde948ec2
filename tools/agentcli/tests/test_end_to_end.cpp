// The library against the reference agent in a process of its own: whole
// backups compared byte for byte, concurrent backups through one logon, the
// path list and handle exports, and an agent that dies in the middle of a
// copy.
#include "backup_engine.h"
#include "e2e_support.h"
#include "remote_copy.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace agentcli;
namespace fs = std::filesystem;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(AgentInit()); }
    static void TearDownTestSuite() { AgentFini(); }

    static AGENT_LOGON LogOn(uint16_t port)
    {
        return AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), port, WidenOrEmpty("alice").c_str(),
                           WidenOrEmpty("s3cret").c_str());
    }
};

// Backups of the whole tree and of a non-ASCII sub-folder, with one job and
// with many, at once through one logon.
TEST_F(EndToEnd, ConcurrentBackupsThroughOneLogonAreByteForByteTheSame)
{
    e2e::TempDir work;
    e2e::MakeSampleTree(work / "source", 1);
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr) << GetLastError();
    const struct {
        const char *remote, *below;
        unsigned jobs;
    } runs[] = {{"C:\\", "", 32}, {"C:\\", "", 3}, {"C:\\", "", 3}, {"C:\\Ünïcödé", "/Ünïcödé", 1}};
    constexpr size_t kRuns = std::size(runs);
    BackupReport reports[kRuns];
    BackupProgress progress[kRuns];
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kRuns; ++i)
        threads.emplace_back([&, i] {
            BackupOptions options;
            options.remoteRoot = WidenOrEmpty(runs[i].remote);
            options.localRoot = work / ("copy" + std::to_string(i));
            options.jobs = runs[i].jobs;
            reports[i] = RunBackup(logon, options, &progress[i]);
        });
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < kRuns; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reports[i].fatal, 0u);
        EXPECT_EQ(reports[i].failedTotal, 0u);
        EXPECT_EQ(progress[i].bytesDone.load(), progress[i].bytesTotal.load());
        EXPECT_EQ(e2e::CompareTrees(work / ("source" + std::string(runs[i].below)), work / ("copy" + std::to_string(i))),
                  "");
        EXPECT_TRUE(e2e::PartialFiles(work / ("copy" + std::to_string(i))).empty());
    }
    EXPECT_EQ(reports[0].files, 51u);
    EXPECT_TRUE(AgentLogoff(logon));
}

void AGENTAPI CollectPath(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *seen = static_cast<std::pair<std::vector<std::string>, uint64_t> *>(context);
    seen->first.push_back(Narrow(path));
    seen->second += (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
}

TEST_F(EndToEnd, PathListAndHandleExportsAgreeWithTheTree)
{
    e2e::TempDir work;
    for (int i = 0; i < 1200; ++i) // several path-list chunks
        e2e::WriteFile(work / ("source/list/sub" + std::to_string(i % 7) + "/entry-" + std::to_string(i)), "0123456789");
    e2e::WriteFile(work / "source/keep.txt", "keep");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);

    std::pair<std::vector<std::string>, uint64_t> seen;
    SetLastError(0);
    AgentGetPathList(logon, WidenOrEmpty("C:\\list").c_str(), &CollectPath, &seen);
    EXPECT_EQ(GetLastError(), 18u); // the stream reached its end
    EXPECT_EQ(seen.first.size(), 1207u); // 1200 files and 7 folders
    EXPECT_EQ(seen.second, 12000u);
    EXPECT_NE(std::find(seen.first.begin(), seen.first.end(), "C:\\list\\sub3\\entry-10"), seen.first.end());


    ASSERT_TRUE(AgentCreateDirectoryW(logon, WidenOrEmpty("C:\\new").c_str()));
    HANDLE file = AgentCreateFileW(logon, WidenOrEmpty("C:\\new\\data.bin").c_str(), 0xC0000000u, 0, 2 /* CREATE_ALWAYS */, 0x80);
    ASSERT_NE(file, nullptr) << GetLastError();
    const std::string payload = e2e::PseudoRandomBytes(300000, 5);
    DWORD written = 0, read = 0;
    ASSERT_TRUE(AgentWriteFile(file, payload.data(), static_cast<DWORD>(payload.size()), &written));
    EXPECT_EQ(written, payload.size());
    LARGE_INTEGER start{}, position;
    ASSERT_TRUE(AgentSetFilePointerEx(file, start, &position, 0));
    std::string back(payload.size(), '\0');
    ASSERT_TRUE(AgentReadFile(file, &back[0], static_cast<DWORD>(back.size()), &read));
    EXPECT_TRUE(back.substr(0, read) == payload);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(AgentGetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.nFileSizeLow, payload.size());
    EXPECT_TRUE(AgentCloseHandle(logon, file));
    EXPECT_TRUE(e2e::ReadFile(work / "source/new/data.bin") == payload);
    ASSERT_TRUE(AgentMoveFile(logon, WidenOrEmpty("C:\\new\\data.bin").c_str(), WidenOrEmpty("C:\\moved.bin").c_str()));
    EXPECT_FALSE(AgentMoveFile(logon, WidenOrEmpty("C:\\moved.bin").c_str(), WidenOrEmpty("C:\\keep.txt").c_str()));
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_TRUE(AgentRemovePath(logon, WidenOrEmpty("C:\\moved.bin").c_str()));
    EXPECT_TRUE(AgentRemovePath(logon, WidenOrEmpty("C:\\new").c_str()));
    EXPECT_FALSE(fs::exists(work / "source/new"));
    AgentLogoff(logon);
}

// The agent is killed once the large file is on its way: what did arrive is
// complete and nothing else has a final name; a plain run leaves no partial
// file, an incremental one keeps it and the next run continues it.
TEST_F(EndToEnd, AnAgentKilledInTheMiddleOfACopyLeavesOnlyCompleteFiles)
{
    constexpr size_t kLarge = 64u << 20;
    e2e::TempDir work;
    const std::string large = e2e::PseudoRandomBytes(kLarge, 7);
    e2e::WriteFile(work / "source/a-small.txt", "small");
    e2e::WriteFile(work / "source/b-large.bin", large);
    e2e::WriteFile(work / "source/c-after.txt", "after");
    for (const bool incremental : {false, true}) {
        SCOPED_TRACE(incremental ? "incremental" : "plain");
        BackupOptions options;
        options.remoteRoot = WidenOrEmpty("C:\\");
        options.localRoot = work / (incremental ? "incremental" : "plain");
        options.jobs = 1;
        options.incremental = incremental;
        {
            e2e::AgentProcess agent(work / "source");
            AGENT_LOGON logon = LogOn(agent.port());
            ASSERT_NE(logon, nullptr);
            BackupProgress progress;
            BackupReport report;
            std::thread backup([&] { report = RunBackup(logon, options, &progress); });
            e2e::WaitUntil([&] { return progress.bytesDone >= (4u << 20); }, 60);
            const uint64_t atKill = progress.bytesDone;
            agent.Kill();
            backup.join();
            AgentLogoff(logon);
            ASSERT_GE(atKill, 4u << 20);
            ASSERT_LT(atKill, kLarge) << "the copy ended before the agent was killed";
            bool largeFailed = false;
            for (const BackupFailure &f : report.failures) {
                // Transport failures: reset, aborted, or refused for new connections.
                EXPECT_TRUE(f.error == 10054 || f.error == 10053 || f.error == 10061) << f.remotePath << " " << f.error;
                largeFailed = largeFailed || f.remotePath == "C:\\b-large.bin";
            }
            EXPECT_TRUE(largeFailed);
        }
        EXPECT_FALSE(fs::exists(options.localRoot + "/b-large.bin"));
        for (const auto &[path, content] : e2e::Snapshot(options.localRoot)) {
            if (content != "<dir>" && !IsPartialName(path)) {
                EXPECT_EQ(content, "file:" + e2e::ReadFile(work / "source/" + path)) << path;
            }
        }
        EXPECT_EQ(e2e::PartialFiles(options.localRoot).size(), incremental ? 1u : 0u);
        if (!incremental)
            continue;

        e2e::AgentProcess agent(work / "source");
        AGENT_LOGON logon = LogOn(agent.port());
        ASSERT_NE(logon, nullptr);
        BackupProgress progress;
        const BackupReport again = RunBackup(logon, options, &progress);
        AgentLogoff(logon);
        EXPECT_EQ(again.failedTotal, 0u);
        EXPECT_EQ(again.files, 2u);
        EXPECT_EQ(again.unchanged, 1u);
        EXPECT_GT(progress.bytesResumed.load(), 0u) << "the kept part was read again";
        EXPECT_TRUE(e2e::PartialFiles(options.localRoot).empty());
        EXPECT_EQ(e2e::CompareTrees(work / "source", options.localRoot), "");
    }
}

// The listing runs no further ahead of the copies than the queue between
// them: with a sink that takes its time, the files found but not yet taken
// never exceed the queue plus the batches the workers hold.
TEST_F(EndToEnd, TheListingWaitsForSlowCopiesInsteadOfHoldingTheTree)
{
    e2e::TempDir work;
    for (int d = 0; d < 4; ++d)
        for (int i = 0; i < 300; ++i)
            e2e::WriteFile(work / ("source/d" + std::to_string(d) + "/f" + std::to_string(i)), "x");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr) << GetLastError();

    struct SlowSink : TreeSink {
        std::atomic<uint64_t> found{0}, taken{0}, folders{0};
        uint64_t most = 0; // found but not yet taken, at the listing's busiest
        bool Folder(const FolderEntry &) override
        {
            ++folders;
            return false;
        }
        void Found(const FileEntry &) override { most = std::max<uint64_t>(most, ++found - taken); }
        void Files(std::vector<FileEntry> &batch) override
        {
            taken += batch.size();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    } sink;
    WalkOptions walk;
    walk.remoteRoot = WidenOrEmpty("C:\\");
    walk.localRoot = work / "unused";
    walk.workers = 2;
    walk.batch = 20;
    walk.queued = 200;
    WalkTally tally;
    Tally shared(tally);
    ASSERT_EQ(StreamTree(logon, walk, shared, sink), 0u);
    AgentLogoff(logon);
    EXPECT_EQ(sink.found.load(), 1200u);
    EXPECT_EQ(sink.taken.load(), 1200u);
    EXPECT_EQ(sink.folders.load(), 5u);
    EXPECT_GT(sink.most, walk.batch); // the queue did fill
    EXPECT_LE(sink.most, walk.queued + walk.workers * walk.batch + 1);
    EXPECT_EQ(tally.failedTotal + tally.skippedTotal, 0u);
}

} // namespace
