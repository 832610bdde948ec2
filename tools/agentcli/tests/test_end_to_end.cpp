// The library against the reference agent in a process of its own: whole
// backups compared byte for byte, concurrent backups through one logon,
// refused credentials, and an agent that dies in the middle of a copy.
#include "backup_engine.h"
#include "e2e_support.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace agentcli;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(AgentInit()); }
    static void TearDownTestSuite() { AgentFini(); }

    AGENT_LOGON LogOn(uint16_t port, const char *password = "s3cret")
    {
        return AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), port, WidenOrEmpty("alice").c_str(),
                           WidenOrEmpty(password).c_str());
    }
};

TEST_F(EndToEnd, BackupOfAGeneratedTreeIsByteForByteTheSame)
{
    e2e::TempDir work;
    e2e::MakeSampleTree(work / "source", 1);
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr) << GetLastError();
    BackupOptions options;
    options.remoteRoot = WidenOrEmpty("C:\\");
    options.localRoot = work / "copy";
    BackupProgress progress;
    const BackupReport report = RunBackup(logon, options, &progress);
    EXPECT_EQ(report.fatal, 0u);
    EXPECT_TRUE(report.failures.empty()) << report.failures[0].remotePath << " " << report.failures[0].error;
    EXPECT_EQ(report.files, 51u);
    EXPECT_EQ(progress.bytesDone.load(), progress.bytesTotal.load());
    EXPECT_EQ(e2e::CompareTrees(work / "source", work / "copy"), "");
    EXPECT_TRUE(e2e::PartialFiles(work / "copy").empty());

    // A sub-folder with non-ASCII names, on one thread.
    options.remoteRoot = WidenOrEmpty("C:\\Ünïcödé");
    options.localRoot = work / "unicode";
    options.jobs = 1;
    const BackupReport sub = RunBackup(logon, options, nullptr);
    EXPECT_TRUE(sub.failures.empty());
    EXPECT_EQ(e2e::CompareTrees(work / "source/Ünïcödé", work / "unicode"), "");
    EXPECT_TRUE(AgentLogoff(logon));
}

TEST_F(EndToEnd, SeveralThreadsBackUpAtOnceThroughOneLogon)
{
    e2e::TempDir work;
    e2e::MakeSampleTree(work / "source", 2, 3u << 20);
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr) << GetLastError();
    constexpr int kThreads = 4;
    std::vector<BackupReport> reports(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            BackupOptions options;
            options.remoteRoot = WidenOrEmpty("C:\\");
            options.localRoot = work / ("copy" + std::to_string(i));
            options.jobs = 3;
            reports[i] = RunBackup(logon, options, nullptr);
        });
    for (std::thread &t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(reports[i].fatal, 0u);
        EXPECT_TRUE(reports[i].failures.empty()) << "thread " << i;
        EXPECT_EQ(e2e::CompareTrees(work / "source", work / ("copy" + std::to_string(i))), "") << "thread " << i;
    }
    EXPECT_TRUE(AgentLogoff(logon));
}

TEST_F(EndToEnd, WrongPasswordIsRefusedWithLogonFailure)
{
    e2e::TempDir work;
    e2e::WriteFile(work / "source/a.txt", "a");
    e2e::AgentProcess agent(work / "source");
    SetLastError(0);
    EXPECT_EQ(LogOn(agent.port(), "not-the-password"), nullptr);
    EXPECT_EQ(GetLastError(), 1326u);
    EXPECT_EQ(AgentGetLastError(), 1326u);
    // The agent still serves the right credentials afterwards.
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);
    EXPECT_EQ(AgentPathFileExistsW(logon, WidenOrEmpty("C:\\a.txt").c_str()), 1);
    AgentLogoff(logon);
}

TEST_F(EndToEnd, PathsOutsideTheServedTreeAreAccessDenied)
{
    e2e::TempDir work;
    e2e::WriteFile(work / "source/a.txt", "a");
    e2e::WriteFile(work / "secret.txt", "secret");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);
    for (const char *path : {"C:\\..\\secret.txt", "/etc/passwd", "C:\\a.txt\\..\\..\\secret.txt"}) {
        EXPECT_EQ(AgentGetFileAttributesW(logon, WidenOrEmpty(path).c_str()), 0xFFFFFFFFu) << path;
        EXPECT_EQ(GetLastError(), 5u) << path;
        EXPECT_EQ(AgentCreateFileW(logon, WidenOrEmpty(path).c_str(), 0x80000000u, 1, 3, 0x80), nullptr);
        EXPECT_EQ(GetLastError(), 5u) << path;
    }
    AgentLogoff(logon);
}

TEST_F(EndToEnd, UserDataExportsFindAndCopyWhatTheTreeHolds)
{
    e2e::TempDir work;
    const std::string profile = work / "source/Users/alice";
    e2e::WriteFile(profile + "/AppData/Roaming/Mozilla/Firefox/Profiles/ab12.default/places.sqlite", "bookmarks");
    e2e::WriteFile(profile + "/Favorites/site.url", "[InternetShortcut]");
    e2e::WriteFile(profile + "/Documents/Outlook/inbox.pst", e2e::PseudoRandomBytes(100000, 9));
    e2e::WriteFile(work / "source/old/archive.pst", "archive");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);
    DWORD count = 0;
    ASSERT_TRUE(AgentGetAgentPstCount(logon, &count));
    EXPECT_EQ(count, 2u);
    ASSERT_TRUE(AgentGetPst2Local(logon, WidenOrEmpty(work / "stores").c_str()));
    EXPECT_EQ(e2e::ReadFile(work / "stores/inbox.pst"), e2e::PseudoRandomBytes(100000, 9));
    EXPECT_EQ(e2e::ReadFile(work / "stores/archive.pst"), "archive");
    EXPECT_TRUE(AgentFirefox3Exists(logon));
    ASSERT_TRUE(AgentGetFirefox3Bookmark(logon, WidenOrEmpty(work / "places.sqlite").c_str()));
    EXPECT_EQ(e2e::ReadFile(work / "places.sqlite"), "bookmarks");
    WCHAR path[260] = {};
    ASSERT_TRUE(AgentGetIEFavoritePath(logon, path));
    EXPECT_EQ(Narrow(path), "C:\\Users\\alice\\Favorites");
    ASSERT_TRUE(AgentGetFolderPathW(logon, 0x05, 0, path));
    EXPECT_EQ(Narrow(path), "C:\\Users\\alice\\Documents");
    const WString first = WidenOrEmpty(""), second = WidenOrEmpty("C:\\a.pst"), third = WidenOrEmpty("C:\\b.pst");
    const WString inbox = WidenOrEmpty("Inbox");
    const WCHAR *names[] = {inbox.c_str()};
    const DWORD values[] = {1};
    EXPECT_TRUE(AgentMergePST(logon, first.c_str(), second.c_str(), third.c_str(), names, values, 1));
    AgentLogoff(logon);
}

struct PathListSeen {
    std::vector<std::string> paths;
    uint64_t bytes = 0;
};

void AGENTAPI CollectPath(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *seen = static_cast<PathListSeen *>(context);
    seen->paths.push_back(Narrow(path));
    seen->bytes += (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
}

TEST_F(EndToEnd, EnumerationExportsAgreeWithTheTree)
{
    e2e::TempDir work;
    for (int i = 0; i < 1200; ++i) // several path-list chunks
        e2e::WriteFile(work / ("source/list/sub" + std::to_string(i % 7) + "/entry-" + std::to_string(i)), "0123456789");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);

    PathListSeen seen;
    SetLastError(0);
    AgentGetPathList(logon, WidenOrEmpty("C:\\list").c_str(), &CollectPath, &seen);
    EXPECT_EQ(GetLastError(), 18u); // the stream reached its end
    EXPECT_EQ(seen.paths.size(), 1207u); // 1200 files and 7 folders
    EXPECT_EQ(seen.bytes, 12000u);
    EXPECT_NE(std::find(seen.paths.begin(), seen.paths.end(), "C:\\list\\sub3\\entry-10"), seen.paths.end());

    AgentDriveInfo drive;
    std::memset(&drive, 0, sizeof drive);
    HANDLE drives = AgentFindFirstLogicalDriveW(logon, &drive);
    ASSERT_NE(drives, nullptr);
    EXPECT_EQ(Narrow(drive.Text1), "C:\\");
    EXPECT_FALSE(AgentFindNextLogicalDriveW(drives, &drive));
    EXPECT_EQ(GetLastError(), 18u);
    EXPECT_TRUE(AgentCloseHandle(logon, drives));

    DWORD sectors = 0, bytes = 0, freeClusters = 0, total = 0;
    EXPECT_TRUE(AgentGetDiskFreeSpace(logon, WidenOrEmpty("C:\\list").c_str(), &sectors, &bytes, &freeClusters, &total));
    EXPECT_EQ(bytes, 512u);
    EXPECT_GT(total, 0u);
    EXPECT_EQ(AgentGetOSVersion(logon), 0x1DB10106u);
    AgentLogoff(logon);
}

TEST_F(EndToEnd, FilesCanBeWrittenMovedAndRemovedThroughTheHandleExports)
{
    e2e::TempDir work;
    e2e::WriteFile(work / "source/keep.txt", "keep");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr);
    ASSERT_TRUE(AgentCreateDirectoryW(logon, WidenOrEmpty("C:\\new").c_str()));
    HANDLE file = AgentCreateFileW(logon, WidenOrEmpty("C:\\new\\data.bin").c_str(), 0xC0000000u, 0, 2 /* CREATE_ALWAYS */, 0x80);
    ASSERT_NE(file, nullptr) << GetLastError();
    const std::string payload = e2e::PseudoRandomBytes(300000, 5);
    DWORD written = 0;
    ASSERT_TRUE(AgentWriteFile(file, payload.data(), static_cast<DWORD>(payload.size()), &written));
    EXPECT_EQ(written, payload.size());
    LARGE_INTEGER distance;
    distance.QuadPart = 0;
    LARGE_INTEGER position;
    ASSERT_TRUE(AgentSetFilePointerEx(file, distance, &position, 0));
    std::string back(payload.size(), '\0');
    DWORD read = 0;
    ASSERT_TRUE(AgentReadFile(file, &back[0], static_cast<DWORD>(back.size()), &read));
    EXPECT_EQ(read, payload.size());
    EXPECT_EQ(back, payload);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(AgentGetFileInformationByHandle(file, &info));
    EXPECT_EQ(info.nFileSizeLow, payload.size());
    EXPECT_TRUE(AgentCloseHandle(logon, file));
    EXPECT_EQ(e2e::ReadFile(work / "source/new/data.bin"), payload);
    ASSERT_TRUE(AgentMoveFile(logon, WidenOrEmpty("C:\\new\\data.bin").c_str(), WidenOrEmpty("C:\\moved.bin").c_str()));
    EXPECT_FALSE(AgentMoveFile(logon, WidenOrEmpty("C:\\moved.bin").c_str(), WidenOrEmpty("C:\\keep.txt").c_str()));
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_TRUE(AgentRemovePath(logon, WidenOrEmpty("C:\\moved.bin").c_str()));
    EXPECT_TRUE(AgentRemovePath(logon, WidenOrEmpty("C:\\new").c_str()));
    EXPECT_FALSE(std::filesystem::exists(work / "source/new"));
    AgentLogoff(logon);
}

TEST_F(EndToEnd, AnAgentKilledInTheMiddleOfACopyLeavesOnlyCompleteFiles)
{
    e2e::TempDir work;
    e2e::WriteFile(work / "source/a-small.txt", "small");
    e2e::WriteFile(work / "source/b-large.bin", e2e::PseudoRandomBytes(96u << 20, 7));
    e2e::WriteFile(work / "source/c-after.txt", "after");
    auto agent = std::make_unique<e2e::AgentProcess>(work / "source");
    AGENT_LOGON logon = LogOn(agent->port());
    ASSERT_NE(logon, nullptr);
    BackupOptions options;
    options.remoteRoot = WidenOrEmpty("C:\\");
    options.localRoot = work / "copy";
    options.jobs = 1;
    BackupProgress progress;
    BackupReport report;
    std::thread backup([&] { report = RunBackup(logon, options, &progress); });
    // Kill it once the large file is on its way.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (progress.bytesDone < (2u << 20) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t atKill = progress.bytesDone;
    agent->Kill();
    backup.join();
    ASSERT_GE(atKill, 2u << 20);
    ASSERT_LT(atKill, 96u << 20) << "the copy ended before the agent was killed";
    ASSERT_FALSE(report.failures.empty());
    bool largeFailed = false;
    for (const BackupFailure &f : report.failures) {
        // Transport failures: reset, aborted, or refused for new connections.
        EXPECT_TRUE(f.error == 10054 || f.error == 10053 || f.error == 10061) << f.remotePath << " " << f.error;
        largeFailed = largeFailed || f.remotePath == "C:\\b-large.bin";
    }
    EXPECT_TRUE(largeFailed);
    EXPECT_FALSE(std::filesystem::exists(work / "copy/b-large.bin"));
    EXPECT_TRUE(e2e::PartialFiles(work / "copy").empty());
    // What did arrive is complete.
    for (const auto &[path, content] : e2e::Snapshot(work / "copy")) {
        if (content != "<dir>") {
            EXPECT_EQ(content, "file:" + e2e::ReadFile(work / "source/" + path)) << path;
        }
    }
    AgentLogoff(logon);
}


// The listing runs no further ahead of the copies than the queue between
// them: with a sink that takes its time, the files found but not yet taken
// never exceed the queue plus the batches the workers hold.
TEST_F(EndToEnd, TheListingWaitsForSlowCopiesInsteadOfHoldingTheTree)
{
    e2e::TempDir work;
    for (int d = 0; d < 4; ++d)
        for (int i = 0; i < 1500; ++i)
            e2e::WriteFile(work / ("source/d" + std::to_string(d) + "/f" + std::to_string(i)), "x");
    e2e::AgentProcess agent(work / "source");
    AGENT_LOGON logon = LogOn(agent.port());
    ASSERT_NE(logon, nullptr) << GetLastError();

    struct SlowSink : TreeSink {
        std::atomic<uint64_t> found{0}, taken{0}, folders{0};
        uint64_t most = 0; // found but not yet taken, at the listing's busiest
        void Folder(const FolderEntry &) override { ++folders; }
        void Found(const FileEntry &) override
        {
            most = std::max<uint64_t>(most, ++found - taken);
        }
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
    walk.batch = 100;
    walk.queued = 1000;
    WalkTally tally;
    Tally shared(tally);
    ASSERT_EQ(StreamTree(logon, walk, shared, sink), 0u);
    AgentLogoff(logon);
    EXPECT_EQ(sink.found.load(), 6000u);
    EXPECT_EQ(sink.taken.load(), 6000u);
    EXPECT_EQ(sink.folders.load(), 5u);
    EXPECT_GT(sink.most, walk.batch); // the queue did fill
    EXPECT_LE(sink.most, walk.queued + walk.workers * walk.batch + 1);
    EXPECT_EQ(tally.failedTotal + tally.skippedTotal, 0u);
}

} // namespace
