// Shell folder and browser exports: requests on the wire, the 260-unit
// output buffers, failures and their last errors, and the bookmark fetch
// that copies while it holds a connection of its own.
#include "agent_test.h"
#include "messages.h"
#include "local_files.h"
#include "session/last_agent_error.h"
#include "remote_files.h"

#include <functional>

using namespace agent;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::Payload;
using fake::W;
using fake::WString;

namespace {

constexpr WCHAR kUntouched = 0x7777;

// The three exports that fill a caller's buffer, by the opcode they use.
struct PathExport {
    const char *name;
    uint32_t opcode;
    std::function<BOOL(AGENT_LOGON, WCHAR *)> call;
};

std::vector<PathExport> PathExports()
{
    return {
        {"AgentGetFolderPathW", OpGetFolderPath,
         [](AGENT_LOGON l, WCHAR *b) { return AgentGetFolderPathW(l, 5, 0, b); }},
        {"AgentGetFirefox3BookmarkPath", OpGetFirefox3BookmarkPath,
         [](AGENT_LOGON l, WCHAR *b) { return AgentGetFirefox3BookmarkPath(l, b); }},
        {"AgentGetIEFavoritePath", OpGetIEFavoritePath,
         [](AGENT_LOGON l, WCHAR *b) { return AgentGetIEFavoritePath(l, b); }},
    };
}

Bytes PathReply(uint32_t opcode, const WString &path) { return fake::PathReply(opcode, 0, path); }

WString Letters(size_t n)
{
    WString s;
    for (size_t i = 0; i < n; ++i)
        s.push_back(static_cast<WCHAR>(u'a' + i % 26));
    return s;
}

} // namespace

TEST_F(AgentTest, FolderPathSendsFolderThenFlag)
{
    agent_.Always(OpGetFolderPath, PathReply(OpGetFolderPath, W(u"C:\\Users\\u\\Documents")));
    WCHAR path[260];
    ASSERT_EQ(AgentGetFolderPathW(logon_, 0x1C, 1, path), 1);
    EXPECT_EQ(WString(path), W(u"C:\\Users\\u\\Documents"));
    ASSERT_EQ(agent_.CountOf(OpGetFolderPath), 1u);
    EXPECT_EQ(fake::ToHex(agent_.RequestsOf(OpGetFolderPath)[0].raw()),
              fake::ToHex(Hex("01 00 01 00 0d 00 00 00 08 00 00 00 1c 00 00 00 01 00 00 00")));
    EXPECT_EQ(agent_.Accepted(), 1) << "the pooled connection is reused";
    EXPECT_EQ(Idle(), 1);
}

// At most 259 characters and a terminator, and nothing at or past unit 260.
TEST_F(AgentTest, PathBuffersHoldAtMost259Characters)
{
    for (const PathExport &e : PathExports()) {
        for (size_t length : {0u, 258u, 259u, 260u, 1000u}) {
            SCOPED_TRACE(std::string(e.name) + " length " + std::to_string(length));
            const WString sent = Letters(length);
            agent_.Queue(e.opcode, fake::Send(PathReply(e.opcode, sent)));
            WCHAR buffer[400];
            std::fill(std::begin(buffer), std::end(buffer), kUntouched);
            ASSERT_EQ(e.call(logon_, buffer), 1);
            const size_t kept = std::min<size_t>(length, 259);
            EXPECT_EQ(WString(buffer), sent.substr(0, kept));
            for (size_t i = kept + 1; i < 400; ++i)
                ASSERT_EQ(buffer[i], kUntouched) << "unit " << i << " written";
        }
    }
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, PathFailuresEmptyTheBufferAndCarryTheirCause)
{
    // What the thread holds after the exchange when nothing set an error.
    const DWORD kStale = fake::HeldLastError(4242);
    struct Case {
        const char *what;
        std::function<fake::Action(uint32_t opcode)> answer;
        DWORD error;  // thread last error and AgentGetLastError afterwards
        bool pooled;  // connection still usable
    } cases[] = {
        {"agent status", [](uint32_t op) { return fake::Send(fake::StatusReply(op, 5)); }, 5, true},
        {"status without a path", [](uint32_t op) { return fake::Send(fake::Reply(op, Payload().u32(0))); },
         ERROR_INVALID_DATA, true},
        {"path longer than the payload",
         [](uint32_t op) { return fake::Send(fake::Reply(op, Payload().u32(0).u32(40).u16('x'))); },
         ERROR_INVALID_DATA, true},
        {"reply to another opcode",
         [](uint32_t op) { return fake::Send(fake::Reply(op + 1, Payload().u32(0).wstr(u"x"))); }, kStale, false},
        {"request kind", [](uint32_t op) { return fake::Send(fake::Concat({fake::Header(1, op, 4), Hex("00 00 00 00")})); },
         kStale, false},
        {"no status", [](uint32_t op) { return fake::Send(fake::Header(2, op, 0)); }, kStale, false},
        {"connection dropped", [](uint32_t) { return fake::CloseNow(); }, 10054, false},
    };
    for (const PathExport &e : PathExports()) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(e.name) + ": " + c.what);
            agent_.Queue(e.opcode, c.answer(e.opcode));
            WCHAR buffer[260];
            std::fill(std::begin(buffer), std::end(buffer), kUntouched);
            SetLastError(kStale);
            const int accepted = agent_.Accepted();
            EXPECT_EQ(e.call(logon_, buffer), 0);
            EXPECT_EQ(buffer[0], 0);
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(AgentGetLastError(), c.error);
            EXPECT_EQ(Idle(), c.pooled ? 1 : 0);
            // The next call finds a working connection either way.
            agent_.Queue(e.opcode, fake::Send(PathReply(e.opcode, W(u"ok"))));
            ASSERT_EQ(e.call(logon_, buffer), 1);
            EXPECT_EQ(WString(buffer), W(u"ok"));
            EXPECT_EQ(agent_.Accepted(), accepted + (c.pooled ? 0 : 1));
        }
    }
}

TEST_F(AgentTest, ArgumentErrorsTakeNoConnection)
{
    LastAgentError = 4242;
    WCHAR buffer[260] = {kUntouched};
    struct Case {
        const char *what;
        std::function<BOOL()> call;
    } cases[] = {
        {"folder path, null logon", [&] { return AgentGetFolderPathW(nullptr, 5, 0, buffer); }},
        {"exists, null logon", [&] { return AgentFirefox3Exists(nullptr); }},
        {"bookmark path, null logon", [&] { return AgentGetFirefox3BookmarkPath(nullptr, buffer); }},
        {"bookmark path, null buffer", [&] { return AgentGetFirefox3BookmarkPath(logon_, nullptr); }},
        {"favorites, null logon", [&] { return AgentGetIEFavoritePath(nullptr, buffer); }},
        {"favorites, null buffer", [&] { return AgentGetIEFavoritePath(logon_, nullptr); }},
        {"bookmark fetch, null logon", [&] { return AgentGetFirefox3Bookmark(nullptr, W(u"x").c_str()); }},
        {"bookmark fetch, null file", [&] { return AgentGetFirefox3Bookmark(logon_, nullptr); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(AgentGetLastError(), 4242u);
    EXPECT_EQ(buffer[0], kUntouched);
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(Idle(), 1);
}

// The folder call checks its flag and buffer on the connection it took, so
// those failures are recorded; nothing is sent and the buffer is untouched.
TEST_F(AgentTest, FolderPathRefusesBadFlagOrBufferAfterTakingAConnection)
{
    WCHAR buffer[260];
    buffer[0] = kUntouched;
    for (DWORD flag : {2u, 0xFFFFFFFFu}) {
        LastAgentError = 0;
        EXPECT_EQ(AgentGetFolderPathW(logon_, 5, flag, buffer), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(buffer[0], kUntouched);
    LastAgentError = 0;
    EXPECT_EQ(AgentGetFolderPathW(logon_, 5, 1, nullptr), 0);
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, Firefox3ExistsReadsOnlyTheStatus)
{
    // A status-only reply: its header is not examined.
    agent_.Queue(OpFirefox3Exists, fake::Send(fake::StatusReply(99, 0)));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 1);
    LastAgentError = 0;
    agent_.Queue(OpFirefox3Exists, fake::Send(fake::StatusReply(OpFirefox3Exists, 2)));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(AgentGetLastError(), 2u);
    EXPECT_EQ(Idle(), 1);
    agent_.Queue(OpFirefox3Exists, fake::CloseNow());
    EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
    EXPECT_EQ(AgentGetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);
}

class BookmarkFetch : public AgentTest {
protected:
    void Serve(const WString &remote, fake::RemoteFile file)
    {
        auto files = std::make_shared<fake::RemoteFiles>();
        (*files)[remote] = std::move(file);
        fake::ServeFiles(agent_, files);
        agent_.Always(OpGetFirefox3BookmarkPath, PathReply(OpGetFirefox3BookmarkPath, remote));
    }
    fake::TempDirectory dir_;
};

TEST_F(BookmarkFetch, CopiesTheStoreWhileHoldingItsOwnConnection)
{
    const WString remote = W(u"C:\\Users\\u\\AppData\\Roaming\\Mozilla\\Firefox\\Profiles\\x\\places.sqlite");
    const Bytes content = fake::Pattern(9000, 1);
    Serve(remote, {content, 0});
    const WString local = dir_.Path(u"places.sqlite");
    ASSERT_EQ(AgentGetFirefox3Bookmark(logon_, local.c_str()), 1) << GetLastError();
    EXPECT_EQ(dir_.Read(u"places.sqlite"), content);

    // The question went out on the pooled connection; the copy's open came
    // on another one while the first was still taken.
    ASSERT_EQ(agent_.CountOf(OpGetFirefox3BookmarkPath), 1u);
    const int asked = agent_.RequestsOf(OpGetFirefox3BookmarkPath)[0].connection;
    EXPECT_EQ(asked, 0);
    const auto opens = agent_.RequestsOf(OpCreateFile);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].connection, asked);
    EXPECT_EQ(fake::OpenedPath(opens[0]), remote);
    // Pooled one, plus the copy's held connection and its file's.
    EXPECT_EQ(agent_.Accepted(), 3);
    EXPECT_EQ(Idle(), 3);
}

// Cutting the agent's path to a buffer length would copy another file.
TEST_F(BookmarkFetch, UsesTheAgentsPathWhole)
{
    const WString remote = W(u"C:\\") + Letters(300) + W(u"\\places.sqlite");
    Serve(remote, {fake::Pattern(10, 2), 0});
    ASSERT_EQ(AgentGetFirefox3Bookmark(logon_, dir_.Path(u"b").c_str()), 1);
    ASSERT_EQ(agent_.CountOf(OpCreateFile), 1u);
    EXPECT_EQ(fake::OpenedPath(agent_.RequestsOf(OpCreateFile)[0]), remote);
    EXPECT_EQ(dir_.Read(u"b"), fake::Pattern(10, 2));
}

TEST_F(BookmarkFetch, NoPathNoCopy)
{
    agent_.Always(OpGetFirefox3BookmarkPath, fake::StatusReply(OpGetFirefox3BookmarkPath, 2));
    LastAgentError = 0;
    EXPECT_EQ(AgentGetFirefox3Bookmark(logon_, dir_.Path(u"b").c_str()), 0);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(AgentGetLastError(), 2u);
    EXPECT_EQ(agent_.CountOf(OpCreateFile), 0u);
    EXPECT_FALSE(dir_.Exists(u"b"));
    EXPECT_EQ(Idle(), 1);
}

// A copy that broke off is a failed fetch, with the copy's cause.
TEST_F(BookmarkFetch, FailedCopyIsReported)
{
    Serve(W(u"C:\\p.sqlite"), {fake::Pattern(100, 3), 5});
    LastAgentError = 0;
    EXPECT_EQ(AgentGetFirefox3Bookmark(logon_, dir_.Path(u"b").c_str()), 0);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(AgentGetLastError(), 5u);

    LastAgentError = 0;
    EXPECT_EQ(AgentGetFirefox3Bookmark(logon_, dir_.Path(u"missing\\b").c_str()), 0);
    EXPECT_NE(AgentGetLastError(), 0u) << "local create failure recorded";
    EXPECT_EQ(agent_.CountOf(OpCreateFile), 1u) << "no remote open without a local file";
}
