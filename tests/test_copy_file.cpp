// AgentCopyFileFromAgent against a fake agent that serves one file from
// memory: complete copies of several sizes, every point of failure, and a
// sweep that loses each reply of a copy in turn.
#include "agent_test.h"
#include "file_messages.h"
#include "file_server.h"
#include "local_files.h"

#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include <csignal>
#ifndef _WIN32
#include <sys/resource.h>
#endif

using fake::AgentTest;
using fake::Bytes;
using fake::W;
using namespace agent;

namespace {

const fake::WString kRemote = W(u"C:\\Users\\me\\places.sqlite");

// The test folder, its paths as the file system spells them.
struct LocalDir : fake::TempDirectory {
    std::string File(const std::string &name) const { return (Native(u"") / std::filesystem::u8path(name)).u8string(); }
    size_t Entries() const { return fake::NamesIn(Native(u"")).size(); }
};

bool Exists(const std::string &path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::u8path(path), ignored);
}

Bytes ReadLocal(const std::string &path)
{
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteLocal(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class CopyFileTest : public AgentTest {
protected:
    BOOL Copy(const std::string &local) { return AgentCopyFileFromAgent(logon_, kRemote.c_str(), fake::Utf16(local).c_str()); }

    std::shared_ptr<const Bytes> Serve(size_t size, fake::FileServerOptions options = {})
    {
        auto content = std::make_shared<const Bytes>(fake::PatternBytes(size));
        fake::ServeFile(agent_, content, options);
        return content;
    }

    LocalDir dir_;
};

} // namespace

// ---- complete copies ---------------------------------------------------

TEST_F(CopyFileTest, CopiesFilesOfEverySizeInChunksReadAtExplicitOffsets)
{
    const size_t sizes[] = {0, 1, 4095, 4096, 5000, 8192, 3 * 1024 * 1024 + 17};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        auto content = Serve(size);
        agent_.ClearRecords();
        const std::string local = dir_.File("copy_" + std::to_string(size));
        LastAgentError = 0;
        ASSERT_EQ(Copy(local), 1);
        EXPECT_TRUE(ReadLocal(local) == *content);
        EXPECT_EQ(AgentGetLastError(), 0u);

        // One read and one pointer move per chunk; the last read is short
        // (0 bytes when the size is a multiple of the chunk).
        const size_t chunks = size / 4096 + 1;
        auto reads = agent_.RequestsOf(OpReadFileAt);
        auto moves = agent_.RequestsOf(OpSetFilePointer);
        ASSERT_EQ(reads.size(), chunks);
        ASSERT_EQ(moves.size(), chunks);
        for (size_t i = 0; i < chunks; ++i) {
            const uint64_t offset = uint64_t(i) * 4096;
            EXPECT_EQ(reads[i].raw(), fake::ReadAtRequest(4096, offset));
            const uint64_t after = std::min<uint64_t>(offset + 4096, size);
            EXPECT_EQ(moves[i].raw(), fake::FilePointerRequest(static_cast<int64_t>(after), 0));
        }
        EXPECT_EQ(agent_.CountOf(OpCreateFile), 1u);
        EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
        // Both connections the copy used are back in the pool.
        EXPECT_EQ(Idle(), 2);
        EXPECT_EQ(agent_.Open(), 2);
    }
    EXPECT_EQ(agent_.Accepted(), 2);
}

TEST_F(CopyFileTest, OpensTheRemoteFileForReading)
{
    Serve(10);
    ASSERT_EQ(Copy(dir_.File("x")), 1);
    auto opens = agent_.RequestsOf(OpCreateFile);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].raw(),
              fake::OpenRequest(kRemote, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
}

TEST_F(CopyFileTest, AgentMovingThePointerElsewhereStopsTheCopy)
{
    auto content = Serve(20000);
    // The first move reports 10000 instead of 4096: following it would leave
    // a hole in the local file, so the copy stops and says why.
    agent_.Queue(OpSetFilePointer, fake::Send(fake::PositionReply(10000)));
    const std::string local = dir_.File("skip");
    EXPECT_EQ(Copy(local), 0);
    EXPECT_EQ(AgentGetLastError(), 13u);
    EXPECT_EQ(agent_.RequestsOf(OpReadFileAt).size(), 1u);
    EXPECT_FALSE(Exists(local)) << "a copy with a hole took the local name";
}

TEST_F(CopyFileTest, ReplacesAnExistingLocalFile)
{
    auto content = Serve(5000);
    const std::string local = dir_.File("old");
    WriteLocal(local, Bytes(9000, 'x'));
    ASSERT_EQ(Copy(local), 1);
    EXPECT_TRUE(ReadLocal(local) == *content);
}

// ---- failures before the copy loop -------------------------------------

TEST_F(CopyFileTest, NullArgumentsTakeNoConnection)
{
    Serve(10);
    LastAgentError = 31;
    const fake::WString local = fake::Utf16(dir_.File("n"));
    EXPECT_EQ(AgentCopyFileFromAgent(nullptr, kRemote.c_str(), local.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentCopyFileFromAgent(logon_, nullptr, local.c_str()), 0);
    EXPECT_EQ(AgentCopyFileFromAgent(logon_, kRemote.c_str(), nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 31u);
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(agent_.Accepted(), 1);
    EXPECT_FALSE(Exists(dir_.File("n")));
}

TEST_F(CopyFileTest, NoConnectionFailsBeforeTheLocalFileIsCreated)
{
    Serve(10);
    EmptyPool();
    agent_.SetLogonStatus(1326);
    const std::string local = dir_.File("never");
    EXPECT_EQ(Copy(local), 0);
    EXPECT_EQ(GetLastError(), 1326u);
    EXPECT_EQ(AgentGetLastError(), 1326u);
    EXPECT_FALSE(Exists(local));
}

TEST_F(CopyFileTest, LocalCreateFailureNeverOpensTheRemoteFile)
{
    Serve(10);
    EXPECT_EQ(Copy(dir_.File("no/such/folder/f")), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(agent_.CountOf(OpCreateFile), 0u);
    EXPECT_EQ(Idle(), 1); // the held connection went back
}

TEST_F(CopyFileTest, MissingRemoteFileLeavesThePreviousFileAndCreatesNothing)
{
    fake::FileServerOptions options;
    options.openStatus = 2;
    Serve(10, options);
    const std::string local = dir_.File("missing");
    WriteLocal(local, Bytes(100, 'x'));
    EXPECT_EQ(Copy(local), 0);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(AgentGetLastError(), 2u);
    EXPECT_TRUE(ReadLocal(local) == Bytes(100, 'x'));
    EXPECT_EQ(dir_.Entries(), 1u);
    EXPECT_FALSE(Copy(dir_.File("new")));
    EXPECT_EQ(dir_.Entries(), 1u);
    EXPECT_EQ(Idle(), 2);
}

// ---- failures inside the loop: reported, never hidden -------------------

TEST_F(CopyFileTest, FailuresInsideTheLoopAreReportedWithTheirCause)
{
    struct Case {
        const char *name;
        fake::FileServerOptions options;
        DWORD cause;
        int idle;          // connections back in the pool
    };
    auto with = [](auto set) {
        fake::FileServerOptions o;
        set(o);
        return o;
    };
    const Case cases[] = {
        {"read refused half-way", with([](auto &o) { o.failRead = 3, o.failReadStatus = 33; }), 33, 2},
        {"first read refused", with([](auto &o) { o.failRead = 1, o.failReadStatus = 5; }), 5, 2},
        // The chunk just read is not written when the move fails.
        {"pointer move refused", with([](auto &o) { o.failMove = 2, o.failMoveStatus = 131; }), 131, 2},
        {"agent gone mid-data", with([](auto &o) { o.cutRead = 2; }), 10054, 1},
        {"agent gone at a move", with([](auto &o) { o.dropAtReply = 4; }), 10054, 1},
        // A refused close after a failure must not replace the cause.
        {"read refused, close refused", with([](auto &o) { o.failRead = 2, o.failReadStatus = 23, o.closeStatus = 6; }),
         23, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake::FakeAgent agent;
        AGENT_LOGON logon = AgentLogonW(W(u"127.0.0.1").c_str(), agent.port(), W(u"u").c_str(), W(u"p").c_str());
        ASSERT_NE(logon, nullptr);
        fake::ServeFile(agent, std::make_shared<const Bytes>(fake::PatternBytes(20000)), c.options);
        const std::string local = dir_.File(std::string("f_") + std::to_string(&c - cases));
        WriteLocal(local, Bytes(3, 'p')); // yesterday's copy
        LastAgentError = 0;
        SetLastError(0);
        EXPECT_EQ(AgentCopyFileFromAgent(logon, kRemote.c_str(), fake::Utf16(local).c_str()), 0);
        EXPECT_EQ(GetLastError(), c.cause);
        EXPECT_EQ(AgentGetLastError(), c.cause);
        EXPECT_TRUE(ReadLocal(local) == Bytes(3, 'p'));
        EXPECT_EQ(agent::IdleConnections(logon), c.idle);
        AgentLogoff(logon);
    }
}

TEST_F(CopyFileTest, MoveReplyWithoutPositionIsAnInternalError)
{
    Serve(5000);
    agent_.Queue(OpSetFilePointer, fake::Send(fake::StatusReply(OpSetFilePointer, 0)));
    const std::string local = dir_.File("nopos");
    EXPECT_EQ(Copy(local), 0);
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(dir_.Entries(), 0u);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
}

TEST_F(CopyFileTest, LocalWriteFailureIsReported)
{
#ifdef _WIN32
    GTEST_SKIP() << "needs a file-size limit";
#else
    Serve(5000);
    const std::string local = dir_.File("full");
    WriteLocal(local, Bytes(7, 'o'));
    // A file-size limit makes the second chunk's write fail as a full disk.
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit small = before;
    small.rlim_cur = 4096;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const BOOL copied = Copy(local);
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_TRUE(ReadLocal(local) == Bytes(7, 'o'));
    EXPECT_EQ(dir_.Entries(), 1u);
    // The remote file was still closed and both connections went back.
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
    EXPECT_EQ(Idle(), 2);
#endif
}

// ---- lose each reply in turn ---------------------------------------------

// An 8192-byte copy on a fresh logon receives, on the file's connection:
// the logon (1), the open (2), read/move pairs (3..8) and the close (9).
// Losing any of 1..8 must fail the copy with the transport error, leak
// nothing, and leave no connection behind but the pooled ones.
TEST_F(CopyFileTest, LosingAnyReplyBeforeTheCloseFailsTheCopy)
{
    const int kRepliesBeforeClose = 8;
    for (int n = 1; n <= kRepliesBeforeClose; ++n) {
        SCOPED_TRACE(n);
        fake::FakeAgent agent;
        fake::FileServerOptions options;
        auto content = std::make_shared<const Bytes>(fake::PatternBytes(8192));
        AGENT_LOGON logon = AgentLogonW(W(u"127.0.0.1").c_str(), agent.port(), W(u"u").c_str(), W(u"p").c_str());
        ASSERT_NE(logon, nullptr);
        options.dropAtReply = n; // counted from here: the held connection is the pooled one
        fake::ServeFile(agent, content, options);
        const std::string local = dir_.File("sweep_" + std::to_string(n));
        LastAgentError = 0;
        EXPECT_EQ(AgentCopyFileFromAgent(logon, kRemote.c_str(), fake::Utf16(local).c_str()), 0);
        EXPECT_EQ(AgentGetLastError(), 10054u);
        EXPECT_EQ(GetLastError(), 10054u);
        EXPECT_EQ(dir_.Entries(), 0u) << "a failed copy left a file behind";
        EXPECT_EQ(agent::IdleConnections(logon), 1); // only the held connection survives
        AgentLogoff(logon);
        EXPECT_TRUE(agent.WaitUntil([&] { return agent.Open() == 0; }));
    }
}

// The close is the one reply whose loss does not touch the data: the copy
// is complete, so the result is 1; the close's own failure is still
// recorded by AgentCloseHandle.
TEST_F(CopyFileTest, LosingTheCloseReplyKeepsACompleteCopy)
{
    fake::FakeAgent agent;
    AGENT_LOGON logon = AgentLogonW(W(u"127.0.0.1").c_str(), agent.port(), W(u"u").c_str(), W(u"p").c_str());
    ASSERT_NE(logon, nullptr);
    auto content = std::make_shared<const Bytes>(fake::PatternBytes(8192));
    fake::FileServerOptions options;
    options.dropAtReply = 9;
    fake::ServeFile(agent, content, options);
    const std::string local = dir_.File("closelost");
    LastAgentError = 0;
    EXPECT_EQ(AgentCopyFileFromAgent(logon, kRemote.c_str(), fake::Utf16(local).c_str()), 1);
    EXPECT_TRUE(ReadLocal(local) == *content);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(agent::IdleConnections(logon), 1);
    AgentLogoff(logon);
}
