// AgentCopyFileToAgentExW against the reference agent on loopback: the
// shapes of a put (new, replacing, fail-if-exists, empty, several
// connections), what a cancel, a stop and a failure leave on the agent,
// restarts, and the names of the partial and aside files.
#include "agent_harness.h"
#include "agent_test.h"
#include "copy_progress.h"
#include "local_files.h"
#include "remote_files.h"

#include "copy/copy_to_agent.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace refagent_test;
using namespace agent;

namespace {

constexpr uint64_t C = copy_to::kChunkSize;
constexpr time_t kLocalSeconds = 1000000000; // 2001-09-09 01:46:40 UTC

std::string Pattern(size_t n, unsigned seed)
{
    const fake::Bytes bytes = fake::Pattern(n, static_cast<uint8_t>(seed));
    return std::string(bytes.begin(), bytes.end());
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Progress = fake::CopyProgress;

class CopyToAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::InstallTestAdapters();
        ASSERT_EQ(AgentInit(), 1);
        remoteDir_.MakeDir("in");
        agent_ = std::make_unique<RunningAgent>(remoteDir_.path());
        logon_ = AgentLogonW(u"127.0.0.1", agent_->port(), u"alice", u"s3cret");
        ASSERT_NE(logon_, nullptr) << GetLastError();
        ASSERT_EQ(AgentSetTimeouts(logon_, 5000, 10000), 1);
    }
    void TearDown() override
    {
        if (logon_ != nullptr)
            AgentLogoff(logon_);
    }
    std::string Local() const { return localDir_.path() + "/source.bin"; }
    std::string Remote() const { return remoteDir_.path() + "/in/target.bin"; }
    void WriteLocal(const std::string &content)
    {
        localDir_.Write("source.bin", content);
        const struct timespec times[2] = {{kLocalSeconds, 0}, {kLocalSeconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, Local().c_str(), times, 0), 0);
    }
    BOOL Put(DWORD flags = 0, Progress *progress = nullptr, BOOL *cancel = nullptr)
    {
        return AgentCopyFileToAgentExW(logon_, fake::Utf16(Local()).c_str(), u"C:\\in\\target.bin",
                                       progress != nullptr ? &Progress::Call : nullptr, progress, cancel, flags);
    }
    // The remote folder holds exactly these names.
    std::vector<std::string> RemoteNames() const { return fake::NamesIn(remoteDir_.path() + "/in"); }
    // The agent's path of the target's partial or aside name (ASCII).
    std::string Beside(const copy_to::WideText &name) const
    {
        return remoteDir_.path() + "/in/" + std::string(name.begin(), name.end());
    }
    std::string PartialPath() const { return Beside(copy_to::PartialName(u"target.bin")); }

    ScratchDir localDir_, remoteDir_;
    std::unique_ptr<RunningAgent> agent_;
    AGENT_LOGON logon_ = nullptr;
};

// Every shape that ends with the local file on the agent: new or replacing,
// sizes around the chunk and the run of chunks one connection takes.
TEST_F(CopyToAgent, LandsEveryShapeWholeWithTheLocalTime)
{
    struct Shape {
        const char *name;
        uint64_t size;
        const char *before; // the target's content first, or null for none
    } shapes[] = {
        {"new empty", 0, nullptr},
        {"new small", 1000, nullptr},
        {"new one chunk", C, nullptr},
        {"new on several connections", 3 * copy_to::kRunChunks * C + 17, nullptr},
        {"replacing", 2 * C + 5, "old contents"},
        {"replacing with empty", 0, "old contents"},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        ::unlink(Remote().c_str());
        if (shape.before != nullptr)
            remoteDir_.Write("in/target.bin", shape.before);
        const std::string content = Pattern(shape.size, static_cast<unsigned>(shape.size));
        WriteLocal(content);
        Progress progress;
        ASSERT_EQ(Put(0, &progress), 1) << GetLastError();
        EXPECT_TRUE(ReadAll(Remote()) == content) << "content differs";
        EXPECT_EQ(RemoteNames(), std::vector<std::string>{"target.bin"}); // no partial or aside file left
        struct stat st;
        ASSERT_EQ(::stat(Remote().c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, kLocalSeconds);
        ASSERT_FALSE(progress.calls.empty());
        EXPECT_EQ(progress.calls.back(), std::make_pair(shape.size, shape.size));
    }
}

// A put that does not complete leaves the target as it was, whether there
// was one or not, and takes its partial file with it.
TEST_F(CopyToAgent, CancelFailureAndRefusalLeaveTheTargetAsItWas)
{
    const auto vanish = [&] { ::unlink(PartialPath().c_str()); };
    const auto grow = [&] { std::ofstream(Local(), std::ios::app) << "more"; };
    const struct {
        const char *name;
        const char *before;
        DWORD flags;
        size_t answerAt;
        DWORD answer;
        std::function<void()> act;
        DWORD error;
    } cases[] = {
        {"cancelled by progress, new", nullptr, 0, 2, PROGRESS_CANCEL, {}, ERROR_REQUEST_ABORTED},
        {"cancelled by progress, replacing", "old", 0, 2, PROGRESS_CANCEL, {}, ERROR_REQUEST_ABORTED},
        {"cancelled at the last call", "old", 0, 5, PROGRESS_CANCEL, {}, ERROR_REQUEST_ABORTED},
        {"partial file removed midway", "old", 0, 2, PROGRESS_CONTINUE, vanish, ERROR_FILE_NOT_FOUND},
        {"local file changed midway", "old", 0, 2, PROGRESS_CONTINUE, grow, ERROR_FILE_INVALID},
        {"fail if exists", "old", COPY_FILE_FAIL_IF_EXISTS, 0, PROGRESS_CONTINUE, {}, ERROR_FILE_EXISTS},
    };
    const std::string content = Pattern(4 * C, 7); // four progress calls, then the final one
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(Remote().c_str());
        if (c.before != nullptr)
            remoteDir_.Write("in/target.bin", c.before);
        WriteLocal(content);
        Progress progress(c.answerAt, c.answer, c.act);
        ASSERT_EQ(Put(c.flags, &progress), 0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(AgentGetLastError(), c.error);
        if (c.before != nullptr) {
            EXPECT_EQ(ReadAll(Remote()), c.before);
            EXPECT_EQ(RemoteNames(), std::vector<std::string>{"target.bin"});
        } else {
            EXPECT_EQ(RemoteNames(), std::vector<std::string>{});
        }
    }
    // A cancel flag raised before the call: nothing is touched.
    BOOL cancel = 1;
    EXPECT_EQ(Put(0, nullptr, &cancel), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    // A folder or a read-only file is not replaced.
    ::unlink(Remote().c_str());
    remoteDir_.MakeDir("in/target.bin");
    EXPECT_EQ(Put(), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ::rmdir(Remote().c_str());
    remoteDir_.Write("in/target.bin", "kept");
    ::chmod(Remote().c_str(), 0444);
    EXPECT_EQ(Put(), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadAll(Remote()), "kept");
}

// A stop keeps the partial file on the agent and a restartable put of the
// same local file continues it; a changed local file or a put without the
// flag starts over.
TEST_F(CopyToAgent, StopKeepsThePartialFileAndARestartContinuesIt)
{
    const std::string content = Pattern(20 * C + 100, 3);
    WriteLocal(content);
    remoteDir_.Write("in/target.bin", "old");
    Progress stopped(3, PROGRESS_STOP);
    ASSERT_EQ(Put(COPY_FILE_RESTARTABLE, &stopped), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(ReadAll(Remote()), "old");
    ASSERT_TRUE(std::filesystem::exists(PartialPath()));
    EXPECT_LE(static_cast<uint64_t>(std::filesystem::file_size(PartialPath())), content.size());

    // The restart's first report already counts what the partial file held.
    Progress resumed;
    ASSERT_EQ(Put(COPY_FILE_RESTARTABLE, &resumed), 1) << GetLastError();
    EXPECT_TRUE(ReadAll(Remote()) == content);
    ASSERT_FALSE(resumed.calls.empty());
    EXPECT_GT(resumed.calls.front().second, C);
    EXPECT_EQ(RemoteNames(), std::vector<std::string>{"target.bin"});

    // Stopped again, then the local file changes: the record no longer
    // names it, so the restart starts from the first byte.
    Progress stoppedAgain(3, PROGRESS_STOP);
    ASSERT_EQ(Put(COPY_FILE_RESTARTABLE, &stoppedAgain), 0);
    const std::string changed = Pattern(20 * C + 50, 4);
    WriteLocal(changed);
    Progress fresh;
    ASSERT_EQ(Put(COPY_FILE_RESTARTABLE, &fresh), 1) << GetLastError();
    EXPECT_TRUE(ReadAll(Remote()) == changed);
    EXPECT_LE(fresh.calls.front().second, C);
}

// A put interrupted between its two moves left the old file aside and no
// target, or the new target and the old file aside: the next put to that
// target puts the old one back first, or removes it.
TEST_F(CopyToAgent, APutAfterAnInterruptedReplaceFindsEveryFileItsPlace)
{
    WriteLocal("new");
    for (bool targetThere : {false, true}) {
        SCOPED_TRACE(targetThere);
        ::unlink(Remote().c_str());
        std::ofstream(Beside(copy_to::AsideName(u"target.bin"))) << "old";
        if (targetThere)
            remoteDir_.Write("in/target.bin", "newer");
        ASSERT_EQ(Put(COPY_FILE_FAIL_IF_EXISTS), 0); // the old file is back, so it exists
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
        EXPECT_EQ(ReadAll(Remote()), targetThere ? "newer" : "old");
        EXPECT_EQ(RemoteNames(), std::vector<std::string>{"target.bin"});
    }
}

// What a restore sets comes back from every kind of query: attribute
// requests, find records and by-handle information.
TEST_F(CopyToAgent, AttributesTheFileSystemCannotHoldComeBack)
{
    constexpr DWORD R = 0x1, H = 0x2, S = 0x4, D = 0x10, A = 0x20, N = 0x80, NCI = 0x2000;
    remoteDir_.Write("in/file.txt", "x");
    remoteDir_.MakeDir("in/folder");
    const struct Row {
        const char16_t *path;
        DWORD set;
        DWORD back;
    } rows[] = {
        {u"C:\\in\\file.txt", H | S, H | S},
        {u"C:\\in\\file.txt", R | H | A, R | H | A},
        {u"C:\\in\\file.txt", N, N},
        {u"C:\\in\\file.txt", H | S | A | NCI, H | S | A | NCI},
        {u"C:\\in\\file.txt", A, A},
        {u"C:\\in\\folder", H | S, D | H | S},
        {u"C:\\in\\folder", N, D},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.set);
        ASSERT_EQ(AgentSetFileAttributesW(logon_, row.path, row.set), 1) << GetLastError();
        EXPECT_EQ(AgentGetFileAttributesW(logon_, row.path), row.back);
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        ASSERT_EQ(AgentGetFileAttributesExW(logon_, row.path, &data), 1);
        EXPECT_EQ(data.dwFileAttributes, row.back);
        WIN32_FIND_DATAW found = {};
        HANDLE search = AgentFindFirstFileW(logon_, row.path, &found);
        ASSERT_NE(search, nullptr);
        EXPECT_EQ(found.dwFileAttributes, row.back);
        AgentCloseHandle(logon_, search);
        HANDLE file = AgentCreateFileW(logon_, row.path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                       0x02000000 /* FILE_FLAG_BACKUP_SEMANTICS */);
        ASSERT_NE(file, nullptr) << GetLastError();
        BY_HANDLE_FILE_INFORMATION info = {};
        EXPECT_EQ(AgentGetFileInformationByHandle(file, &info), 1);
        EXPECT_EQ(info.dwFileAttributes, row.back);
        AgentCloseHandle(logon_, file);
    }
    // The read-only bit is the owner's write bit, the rest stays with the file.
    struct stat st;
    ASSERT_EQ(::stat((remoteDir_.path() + "/in/file.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);
    ASSERT_EQ(AgentSetFileAttributesW(logon_, u"C:\\in\\file.txt", R | H), 1);
    ASSERT_EQ(::stat((remoteDir_.path() + "/in/file.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IWUSR, 0u);
}

// The agent remembers what a listing looked up; a change made since, by a
// client or by another program, still shows.
TEST_F(CopyToAgent, ListingsSeeAttributesChangedSinceTheirLastLook)
{
    constexpr DWORD H = 0x2, S = 0x4, A = 0x20;
    remoteDir_.Write("in/theirs.txt", "x");
    remoteDir_.Write("in/ours.txt", "x");
    ::usleep(1100 * 1000); // both are old enough to be remembered
    auto listed = [&](const char16_t *path) {
        WIN32_FIND_DATAW found = {};
        HANDLE search = AgentFindFirstFileW(logon_, path, &found);
        EXPECT_NE(search, nullptr);
        AgentCloseHandle(logon_, search);
        return found.dwFileAttributes;
    };
    for (int look = 0; look < 2; ++look) {
        EXPECT_EQ(listed(u"C:\\in\\theirs.txt"), A);
        EXPECT_EQ(listed(u"C:\\in\\ours.txt"), A);
    }
    const unsigned char hiddenSystem[4] = {H | S, 0, 0, 0};
    if (::setxattr((remoteDir_.path() + "/in/theirs.txt").c_str(), "user.agent.attributes", hiddenSystem,
                   sizeof hiddenSystem, 0) != 0)
        GTEST_SKIP() << "no user extended attributes here: errno " << errno;
    ASSERT_EQ(AgentSetFileAttributesW(logon_, u"C:\\in\\ours.txt", H), 1);
    EXPECT_EQ(listed(u"C:\\in\\theirs.txt"), H | S);
    EXPECT_EQ(listed(u"C:\\in\\ours.txt"), H);
    ASSERT_EQ(::removexattr((remoteDir_.path() + "/in/theirs.txt").c_str(), "user.agent.attributes"), 0);
    EXPECT_EQ(listed(u"C:\\in\\theirs.txt"), A);
}

TEST(CopyToAgentNames, StayBesideTheTargetWithinNameLimits)
{
    const std::u16string long250(250, u'n');
    std::u16string pair = std::u16string(235, u'p') + u"\U0001F600" + u"tail";
    struct Row {
        std::u16string target;
        size_t nameLength; // of the partial name's last component
        size_t pathLength; // of the whole partial path (0: not checked)
    } rows[] = {
        {u"C:\\in\\target.bin", 10 + 19, 6 + 29},
        {u"target.bin", 29, 29},
        {u"C:\\d/" + long250, 235 + 19, 259},
        {u"C:\\" + std::u16string(220, u'd') + u"\\" + std::u16string(30, u'f'), 16 + 19, 259},
        {u"\\\\?\\C:\\" + std::u16string(240, u'd') + u"\\" + long250, 255, 0},
        {u"C:\\" + pair, 254, 0}, // the cut falls inside the pair: both halves go
    };
    for (const Row &row : rows) {
        const copy_to::WideText partial = copy_to::PartialName(row.target.c_str());
        const copy_to::WideText aside = copy_to::AsideName(row.target.c_str());
        const size_t slash = row.target.find_last_of(u"\\/");
        const size_t at = slash == std::u16string::npos ? 0 : slash + 1;
        // Same folder, a name of the target's start, the suffix, and the
        // two names differ only in their last word.
        EXPECT_EQ(partial.substr(0, at), row.target.substr(0, at));
        EXPECT_EQ(partial.size() - at, row.nameLength);
        if (row.pathLength != 0) {
            EXPECT_EQ(partial.size(), row.pathLength);
        }
        EXPECT_EQ(row.target.compare(at, partial.size() - at - 19, partial, at, partial.size() - at - 19), 0);
        EXPECT_EQ(partial.substr(partial.size() - 10), u".agent-put");
        EXPECT_EQ(aside.substr(0, aside.size() - 10), partial.substr(0, partial.size() - 10));
        EXPECT_EQ(aside.substr(aside.size() - 10), u".agent-old");
        EXPECT_NE((partial[partial.size() - 20] & 0xFC00), 0xD800);
    }
    // Targets that share a cut name still get names of their own.
    EXPECT_NE(copy_to::PartialName((u"C:\\" + long250 + u"a").c_str()),
              copy_to::PartialName((u"C:\\" + long250 + u"b").c_str()));
}

} // namespace
