// Connections that outlive their peer: time-outs on silent agents, bounded
// logoff, stale idle connections, keepalive, shrinking receive buffers, and
// the codes the library makes for broken replies and misused handles.
#include "agent_test.h"
#include "file_messages.h"
#include "messages.h"
#include "entries.h"

#include "transport/agent_connection.h" // the receive buffer sizes
#include "test_seams.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Connector.h>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "live_blocks.h"

using fake::AgentTest;
using fake::Bytes;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

// AGENTAPI (stdcall in the DLL), which a lambda cannot be.
void AGENTAPI CountPath(const WCHAR *, const WIN32_FIND_DATAW *, void *seen) { ++*static_cast<size_t *>(seen); }

constexpr DWORD kTimedOut = WSAETIMEDOUT;

// Runs `call` on a thread of its own. A call still blocked after `limitMs`
// fails the test and is released by `release` (which must make its socket
// fail), so a broken time-out never hangs the suite.
void Bounded(const std::function<void()> &call, const std::function<void()> &release, int limitMs = 20000)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread runner([&] {
        call();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::milliseconds(limitMs)) != std::future_status::ready) {
        ADD_FAILURE() << "call still blocked after " << limitMs << " ms";
        release();
    }
    runner.join();
}

Bytes AttributesReply(uint32_t attributes)
{
    return fake::AttributesReply(0, attributes);
}

// The next call on the logon works: every pooled connection is in step.
void ExpectWorkingLogon(fake::FakeAgent &agent, AGENT_LOGON logon)
{
    agent.Queue(OpGetFileAttributes, fake::Send(AttributesReply(0x21)));
    EXPECT_EQ(AgentGetFileAttributesW(logon, W(u"C:\\ok").c_str()), 0x21u) << GetLastError();
}

} // namespace

// With an I/O time-out set, a silent agent fails the call with 10060 and
// the connection is dropped, whether the silence comes before the reply,
// in the middle of it, at the logon of a new connection, or on a handle
// that was open before the time-out was set.
TEST_F(AgentTest, TimeOutsEndSilentExchanges)
{
    const WString path = W(u"C:\\f");
    const Bytes reply = AttributesReply(0x10);
    struct Case {
        const char *what;
        std::function<DWORD()> run; // the failing call's last error
    } cases[] = {
        {"no reply",
         [&] {
             agent_.Queue(OpGetFileAttributes, fake::Nothing());
             EXPECT_EQ(AgentGetFileAttributesW(logon_, path.c_str()), 0xFFFFFFFFu);
             return GetLastError();
         }},
        {"reply stops half-way",
         [&] {
             agent_.Queue(OpGetFileAttributes, fake::Send(Bytes(reply.begin(), reply.begin() + 14)));
             EXPECT_EQ(AgentGetFileAttributesW(logon_, path.c_str()), 0xFFFFFFFFu);
             return GetLastError();
         }},
        {"silent logon of a new connection",
         [&] {
             HANDLE held = HoldConnection();
             EXPECT_NE(held, nullptr);
             agent_.Queue(OpLogon, fake::Nothing());
             EXPECT_EQ(AgentGetFileAttributesW(logon_, path.c_str()), 0xFFFFFFFFu);
             const DWORD error = GetLastError();
             CloseHeld(held);
             return error;
         }},
        {"handle opened before the time-out was set",
         [&] {
             AgentSetTimeouts(logon_, 0, 0);
             agent_.Queue(OpCreateFile, fake::Send(fake::StatusReply(OpCreateFile, 0)));
             HANDLE file = AgentCreateFileW(logon_, path.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
             EXPECT_NE(file, nullptr);
             if (file == nullptr)
                 return DWORD{0};
             AgentSetTimeouts(logon_, 0, 200);
             agent_.Queue(OpReadFile, fake::Nothing());
             char data[16];
             DWORD read = 0;
             EXPECT_EQ(AgentReadFile(file, data, sizeof data, &read), 0);
             const DWORD error = GetLastError();
             EXPECT_EQ(AgentCloseHandle(logon_, file), 1);
             return error;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(AgentSetTimeouts(logon_, 0, 200), 1);
        DWORD error = 0;
        Bounded([&] { error = c.run(); }, [&] { agent_.DropAll(); });
        EXPECT_EQ(error, kTimedOut);
        EXPECT_EQ(AgentGetLastError(), kTimedOut);
        // The timed-out connection is closed, not pooled: every connection
        // the agent still has open sits in the pool.
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == Idle(); }))
            << agent_.Open() << " open, " << Idle() << " idle";
        ExpectWorkingLogon(agent_, logon_);
    }
    EXPECT_EQ(AgentSetTimeouts(nullptr, 1, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A connect that the peer never completes gives up after the connect
// time-out. The peer is a loopback listener whose backlog is full, so the
// system drops further SYNs.
TEST_F(AgentTest, ConnectTimeOut)
{
    ACE_SOCK_Acceptor full;
    ASSERT_EQ(full.open(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1"), 0, AF_INET, 0), 0);
    ACE_INET_Addr address;
    full.get_local_addr(address);
    std::vector<std::unique_ptr<ACE_SOCK_Stream>> fillers;
    bool dropping = false;
    for (int i = 0; i < 8 && !dropping; ++i) {
        auto filler = std::make_unique<ACE_SOCK_Stream>();
        ACE_SOCK_Connector connector;
        ACE_Time_Value wait(0, 300 * 1000);
        dropping = connector.connect(*filler, address, &wait) == -1;
        fillers.push_back(std::move(filler));
    }
    if (!dropping)
        GTEST_SKIP() << "this system refuses connects to a full backlog instead of leaving them pending";

    // A logon to that listener, under a default connect time-out.
    ASSERT_EQ(AgentSetDefaultTimeouts(300, 0), 1);
    AGENT_LOGON pending = nullptr;
    DWORD error = 0;
    Bounded(
        [&] {
            pending = AgentLogonW(W(u"127.0.0.1").c_str(), address.get_port_number(), W(u"user").c_str(),
                                  W(u"secret").c_str());
            error = GetLastError();
        },
        [&] { full.close(); });
    AgentSetDefaultTimeouts(0, 0);
    EXPECT_EQ(pending, nullptr);
    EXPECT_EQ(error, kTimedOut);
    EXPECT_EQ(AgentGetLastError(), kTimedOut);
    if (pending != nullptr)
        AgentLogoff(pending);
    for (auto &filler : fillers)
        filler->close();
    full.close();
}

// Default time-outs reach what AgentSetTimeouts cannot: the first
// connection of AgentLogonW itself. A logon made afterwards keeps them.
class DefaultTimeOuts : public AgentTest {
protected:
    void TearDown() override
    {
        AgentSetDefaultTimeouts(0, 0);
        AgentTest::TearDown();
    }
};

TEST_F(DefaultTimeOuts, BoundTheLogonAndTheLogonsMadeAfter)
{
    const WString host = W(u"127.0.0.1"), user = W(u"user"), password = W(u"secret");
    ASSERT_EQ(AgentSetDefaultTimeouts(0, 300), 1);
    agent_.Queue(OpLogon, fake::Nothing());
    AGENT_LOGON silent = nullptr;
    DWORD error = 0;
    Bounded(
        [&] {
            silent = AgentLogonW(host.c_str(), agent_.port(), user.c_str(), password.c_str());
            error = GetLastError();
        },
        [&] { agent_.DropAll(); });
    EXPECT_EQ(silent, nullptr);
    EXPECT_EQ(error, kTimedOut);
    EXPECT_EQ(AgentGetLastError(), kTimedOut);
    if (silent != nullptr)
        AgentLogoff(silent);

    AGENT_LOGON later = AgentLogonW(host.c_str(), agent_.port(), user.c_str(), password.c_str());
    ASSERT_NE(later, nullptr) << GetLastError();
    agent_.Queue(OpGetFileAttributes, fake::Nothing());
    DWORD attributes = 0;
    Bounded(
        [&] {
            attributes = AgentGetFileAttributesW(later, W(u"C:\\f").c_str());
            error = GetLastError();
        },
        [&] { agent_.DropAll(); });
    EXPECT_EQ(attributes, 0xFFFFFFFFu);
    EXPECT_EQ(error, kTimedOut);
    EXPECT_EQ(AgentLogoff(later), 1);
}

// AgentLogoff sends every logout first and then waits for the replies at
// most the I/O time-out in all (5 s when none is set), so a silent agent
// cannot keep a host from letting go of its logon.
TEST_F(AgentTest, LogoffToASilentAgentEnds)
{
    for (DWORD ioMs : {300u, 0u}) {
        SCOPED_TRACE(ioMs);
        if (logon_ == nullptr)
            logon_ = LogOn();
        ASSERT_NE(logon_, nullptr);
        PoolConnections(3);
        ASSERT_EQ(Idle(), 3);
        agent_.ClearRecords();
        agent_.On(OpLogout, [](const fake::Request &, fake::Session &) { return fake::Nothing(); });
        ASSERT_EQ(AgentSetTimeouts(logon_, 0, ioMs), 1);
        BOOL result = 0;
        Bounded([&] { result = AgentLogoff(logon_); }, [&] { agent_.DropAll(); });
        logon_ = nullptr;
        EXPECT_EQ(result, 1);
        EXPECT_EQ(agent_.CountOf(OpLogout), 3u);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
    }
}

// An idle connection whose agent has gone (restarted) or that has bytes
// nobody asked for is never handed out: the next call succeeds on a fresh
// connection instead of failing once per dead one.
TEST_F(AgentTest, StaleIdleConnectionsAreNeverHandedOut)
{
    struct Case {
        const char *what;
        int idle;
        std::function<void()> spoil;
    } cases[] = {
        {"agent restarted", 5, [&] { agent_.DropAll(); }},
        {"unsolicited bytes after a reply", 1,
         [&] {
             agent_.Queue(OpGetFileAttributes,
                          fake::Send(fake::Concat({AttributesReply(0x20), AttributesReply(0x666)})));
             EXPECT_EQ(AgentGetFileAttributesW(logon_, W(u"C:\\x").c_str()), 0x20u);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PoolConnections(c.idle);
        ASSERT_EQ(Idle(), c.idle);
        c.spoil();
        // Wait until the client side can see what happened. Unsolicited
        // bytes read ahead with the reply close the connection at once;
        // otherwise they wait in the socket for the readiness check.
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() <= (c.idle == 5 ? 0 : 1); }));
        const int accepted = agent_.Accepted();
        agent_.Queue(OpGetFileAttributes, fake::Send(AttributesReply(0x21)));
        EXPECT_EQ(AgentGetFileAttributesW(logon_, W(u"C:\\y").c_str()), 0x21u) << GetLastError();
        EXPECT_EQ(Idle(), 1);
        if (c.idle == 5) {
            EXPECT_EQ(agent_.Accepted(), accepted + 1);
        }
        ExpectWorkingLogon(agent_, logon_);
    }
}

// Keepalive is on for the logon's first connection and for later ones:
// read from the sockets of this process that lead to the agent.
TEST_F(AgentTest, KeepAliveOnEveryConnection)
{
#ifdef _WIN32
    GTEST_SKIP() << "Winsock keepalive settings are write-only";
#else
    HANDLE held = HoldConnection();
    ASSERT_NE(held, nullptr);
    agent_.Queue(OpGetFileAttributes, fake::Send(AttributesReply(0x20)));
    ASSERT_EQ(AgentGetFileAttributesW(logon_, W(u"C:\\x").c_str()), 0x20u); // on a second connection
    ASSERT_EQ(agent_.Accepted(), 2);
    int checked = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in peer = {};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &size) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != agent_.port())
            continue;
        const struct {
            int level, name, value;
        } options[] = {{SOL_SOCKET, SO_KEEPALIVE, 1},
                       {IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(platform::kKeepAliveIdleSeconds)},
                       {IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(platform::kKeepAliveIntervalSeconds)},
                       {IPPROTO_TCP, TCP_KEEPCNT, static_cast<int>(platform::kKeepAliveProbes)}};
        for (const auto &o : options) {
            int value = 0;
            socklen_t length = sizeof value;
            ASSERT_EQ(::getsockopt(fd, o.level, o.name, &value, &length), 0);
            EXPECT_EQ(value, o.value) << "option " << o.name;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 2);
    CloseHeld(held);
#endif
}

// A receive buffer grown for one large reply is back to its first size
// when the connection is pooled again; moderate growth is kept for reuse.
// Seen from outside: the blocks this program's allocator has handed out
// and not yet got back (ACE allocates the buffer with nothrow new[]).
TEST_F(AgentTest, IdleConnectionsKeepSmallReceiveBuffers)
{
#ifdef _WIN32
    GTEST_SKIP() << "the DLL's allocations do not pass this program's operator new";
#else
    struct Case {
        size_t pathChars;
        long moderate; // live blocks of 120 KiB up to the shrink limit
    } cases[] = {{100, 0}, {60 * 1024, 1}, {300 * 1024, 0}, {4 * 1024 * 1024, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pathChars);
        agent_.Queue(OpGetIEFavoritePath,
                     fake::Send(fake::PathReply(OpGetIEFavoritePath, 0, fake::LongName(c.pathChars))));
        WCHAR path[260];
        ASSERT_EQ(AgentGetIEFavoritePath(logon_, path), 1) << GetLastError();
        // A second exchange on the same connection: the agent has let go of
        // the first reply's bytes by the time it answers.
        ExpectWorkingLogon(agent_, logon_);
        ASSERT_EQ(agent_.Accepted(), 1);
        EXPECT_EQ(fake::LiveBlocks(kReceiveBufferShrinkAbove + 64, SIZE_MAX), 0);
        EXPECT_EQ(fake::LiveBlocks(120 * 1024, kReceiveBufferShrinkAbove + 64), c.moderate);
    }
#endif
}

// A path list whose chunk holds no entry fails with 13 and drops the
// connection: an agent ends a list with the 0 marker, and endless empty
// chunks would keep the call from ever reaching a callback that could stop
// it.
TEST_F(AgentTest, PathListChunkWithoutEntries)
{
    fake::FindEntry entry;
    entry.name = W(u"a");
    const Bytes good = fake::Chunk(fake::PathListChunk({{W(u"C:\\a"), entry}}));
    for (size_t goodChunks : {0u, 2u}) {
        for (const Bytes &empty : {fake::Hex("01 00 00 00 ee"), fake::Hex("03 00 00 00 00 00 00")}) {
            SCOPED_TRACE(std::to_string(goodChunks) + " good chunks, then " + fake::ToHex(empty));
            const int before = agent_.Open();
            auto served = std::make_shared<size_t>(0);
            auto next = [=] { return (*served)++ < goodChunks ? good : empty; };
            agent_.On(OpGetPathList, [=](const fake::Request &, fake::Session &) {
                *served = 0;
                return fake::Send(fake::Concat({fake::Header(2, OpGetPathList, 0), next()}));
            });
            agent_.On(OpNextPathList, [=](const fake::Request &, fake::Session &) { return fake::Send(next()); });
            size_t seen = 0;
            Bounded([&] { EXPECT_EQ(AgentGetPathList(logon_, W(u"C:\\").c_str(), CountPath, &seen), 0); },
                    [&] { agent_.DropAll(); });
            EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
            EXPECT_EQ(seen, goodChunks);
            EXPECT_EQ(Idle(), 0);
            EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == before - 1; }));
            ExpectWorkingLogon(agent_, logon_);
        }
    }
}

// A handle closed through another logon than its own fails with 6 and is
// pooled nowhere; it stays open, and its own logon closes it.
TEST_F(AgentTest, HandleClosedThroughAnotherLogon)
{
    fake::FakeAgent other;
    AGENT_LOGON second =
        AgentLogonW(W(u"127.0.0.1").c_str(), other.port(), W(u"user").c_str(), W(u"secret").c_str());
    ASSERT_NE(second, nullptr);
    agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
    agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
    HANDLE file = AgentCreateFileW(logon_, W(u"C:\\f").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Idle(), 0);

    EXPECT_EQ(AgentCloseHandle(second, file), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 0u);
    // Not parked with the other logon either: its next call goes to its own agent.
    other.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, 0));
    EXPECT_EQ(AgentCreateDirectoryW(second, W(u"C:\\d").c_str()), 1) << GetLastError();
    EXPECT_EQ(other.CountOf(OpCreateDirectory), 1u);
    EXPECT_EQ(agent_.CountOf(OpCreateDirectory), 0u);

    EXPECT_EQ(AgentCloseHandle(logon_, file), 1);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(AgentLogoff(second), 1);
}

// A host name that cannot resolve is reported as such, not as a refused
// connect. The name's 64-character label is refused by the resolver itself,
// so no query leaves the machine.
TEST(Logon, UnresolvableHost)
{
    fake::InstallTestAdapters();
    ASSERT_EQ(AgentInit(), 1);
    const WString host = W(u"a123456789b123456789c123456789d123456789e123456789f123456789wxyz.invalid");
    EXPECT_EQ(AgentLogonW(host.c_str(), 7000, W(u"user").c_str(), W(u"pw").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAHOST_NOT_FOUND));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(WSAHOST_NOT_FOUND));
}
