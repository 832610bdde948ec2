// Path lists: entries handed to the callback in wire order, one bare
// acknowledgement per chunk, little-endian chunk lengths whatever the
// content's order, damaged entries, re-entrant callbacks and stopping.
#include "agent_test.h"
#include "messages.h"
#include "entries.h"

#include "live_blocks.h"
#include "transport/agent_connection.h" // the receive buffer's first size
#include "session/last_agent_error.h"

#include <functional>
#include <memory>

using fake::AgentTest;
using fake::Bytes;
using fake::FindEntry;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

using Entries = std::vector<std::pair<WString, FindEntry>>;

FindEntry Record(uint32_t size, const char16_t *name)
{
    FindEntry e;
    e.sizeLow = size;
    e.sizeHigh = size / 2;
    e.attributes = 0x20 + size;
    e.name = W(name);
    return e;
}

// Collects what the callback saw; `also` runs inside the callback.
struct Collector {
    std::vector<WString> paths;
    std::vector<WIN32_FIND_DATAW> records;
    std::function<void(const WString &)> also;
};

void AGENTAPI Collect(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *c = static_cast<Collector *>(context);
    c->paths.emplace_back(path);
    c->records.push_back(*data);
    if (c->also)
        c->also(c->paths.back());
}

// The agent side: the reply header and the first chunk answer the request,
// each acknowledgement is answered with the next chunk, then the end marker.
void ServePathList(fake::FakeAgent &agent, std::vector<Bytes> chunks, bool bigEndian = false, uint32_t length = 0)
{
    auto queue = std::make_shared<std::vector<Bytes>>(std::move(chunks));
    auto next = [queue](fake::Session &s) {
        const long i = s.values["chunk"]++;
        return i < static_cast<long>(queue->size()) ? (*queue)[i] : fake::EndChunk();
    };
    agent.On(OpGetPathList, [=](const fake::Request &, fake::Session &s) {
        s.values["chunk"] = 0;
        return fake::Send(fake::Concat({fake::Header(2, OpGetPathList, length, bigEndian), next(s)}));
    });
    agent.On(OpNextPathList, [=](const fake::Request &, fake::Session &s) { return fake::Send(next(s)); });
}

Bytes ChunkOf(const Entries &entries, bool bigEndian = false)
{
    return fake::Chunk(fake::PathListChunk(entries, bigEndian)); // length word always little-endian
}

BOOL List(AGENT_LOGON logon, const char16_t *path, Collector &c)
{
    return AgentGetPathList(logon, W(path).c_str(), Collect, &c);
}

// A list that reached its end marker: FALSE with ERROR_NO_MORE_FILES, as
// hosts test for it.
testing::AssertionResult ListedToEnd(BOOL result)
{
    const DWORD error = GetLastError();
    if (result == 0 && error == ERROR_NO_MORE_FILES)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "result " << result << ", last error " << error;
}

void ExpectRecord(const WIN32_FIND_DATAW &d, const FindEntry &e)
{
    EXPECT_EQ(d.dwFileAttributes, e.attributes);
    EXPECT_EQ(d.ftLastAccessTime.dwLowDateTime, e.accessed[0]);
    EXPECT_EQ(d.nFileSizeLow, e.sizeLow);
    EXPECT_EQ(d.nFileSizeHigh, e.sizeHigh);
    EXPECT_EQ(WString(d.cFileName), e.name);
}

} // namespace

// Any number of chunks, in either content order, reach the callback in
// wire order: one acknowledgement per chunk, the end marker ends the call
// with ERROR_NO_MORE_FILES, and the connection is pooled in step (a later
// exchange on it works). Fewer than four bytes after the last entry cannot
// hold a path: padding.
TEST_F(AgentTest, PathListStreams)
{
    struct Case {
        const char *name;
        bool big;
        bool padded;
        std::vector<Entries> chunks;
    } const cases[] = {
        {"end marker first", false, false, {}},
        {"three entries in one chunk", false, false,
         {{{W(u"C:\\a"), Record(1, u"a")}, {W(u"C:\\a\\bc"), Record(2, u"bc")},
           {W(u"C:\\a\\bc\\d.txt"), Record(3, u"d.txt")}}}},
        {"padding after the entry", false, true, {{{W(u"p"), Record(1, u"odd")}}}},
    };
    const std::vector<Entries> three = {
        {{W(u"x1"), Record(1, u"one")}, {W(u"x22"), Record(2, u"two")}},
        {{W(u"x333"), Record(3, u"three")}},
        {{W(u"x4"), Record(4, u"f")}, {W(u""), Record(5, u"")}, {W(u"x66666"), Record(6, u"six")}},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    all.push_back({"three chunks, little-endian content", false, false, three});
    all.push_back({"three chunks, big-endian content", true, false, three});
    for (const Case &c : all) {
        SCOPED_TRACE(c.name);
        agent_.ClearRecords();
        std::vector<Bytes> wire;
        Entries expected;
        for (const Entries &e : c.chunks) {
            Payload chunk = fake::PathListChunk(e, c.big);
            if (c.padded)
                chunk.raw(fake::Hex("ee ee"));
            wire.push_back(fake::Chunk(chunk)); // length word always little-endian
            expected.insert(expected.end(), e.begin(), e.end());
        }
        // Length 0 in the header: the stream follows all the same.
        ServePathList(agent_, wire, c.big, 0);
        Collector collector;
        LastAgentError = 0;
        EXPECT_TRUE(ListedToEnd(List(logon_, u"C:\\a", collector)));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        ASSERT_EQ(collector.paths.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(collector.paths[i], expected[i].first);
            ExpectRecord(collector.records[i], expected[i].second);
        }
        EXPECT_EQ(Idle(), 1);

        agent_.Queue(OpGetOSVersion, fake::Send(fake::OsVersionReply(6)));
        EXPECT_EQ(AgentGetOSVersion(logon_), 6u);
        Bytes want = fake::PathListRequest(W(u"C:\\a"));
        for (size_t i = 0; i <= wire.size(); ++i) {
            const Bytes next = fake::BareRequest(i < wire.size() ? OpNextPathList : OpGetOSVersion);
            want.insert(want.end(), next.begin(), next.end());
        }
        const Bytes got = agent_.Received(0);
        ASSERT_GE(got.size(), want.size());
        EXPECT_EQ(fake::ToHex(Bytes(got.end() - want.size(), got.end())), fake::ToHex(want));
        EXPECT_EQ(agent_.Requests().size(), wire.size() + 2);
    }
}

TEST_F(AgentTest, PathListArguments)
{
    ServePathList(agent_, {});
    LastAgentError = 4242;
    Collector c;
    EXPECT_EQ(AgentGetPathList(nullptr, W(u"C:\\").c_str(), Collect, &c), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 4242u);
    // A cancel through the logon has no list to end: nothing is sent.
    EXPECT_EQ(AgentCancelPathList(logon_), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(AgentCancelPathList(nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 4242u);
    EXPECT_EQ(AgentGetPathList(logon_, W(u"C:\\").c_str(), nullptr, &c), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(agent_.Requests().size(), 0u);
    EXPECT_EQ(Idle(), 1);
    // A null path goes out as the empty string.
    EXPECT_TRUE(ListedToEnd(AgentGetPathList(logon_, nullptr, Collect, &c)));
    const auto requests = agent_.RequestsOf(OpGetPathList);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(fake::ToHex(requests[0].raw()), "01 00 01 00 1c 00 00 00 04 00 00 00 00 00 00 00");
}

// A record cut off after its path, or a path longer than what is left of
// its chunk, fails the whole call and drops the connection; the entries
// before it have been delivered, and the damaged chunk is not acknowledged.
TEST_F(AgentTest, PathListDamagedEntries)
{
    const Entries good = {{W(u"ok1"), Record(1, u"ok1")}, {W(u"ok2"), Record(2, u"ok2")}};
    const Bytes goodBytes = fake::PathListChunk(good).bytes();
    const Bytes last = fake::PathListChunk({{W(u"bad"), Record(9, u"bad-name")}}).bytes();
    // Offsets into the last entry: path count 0, path text 4, record 12.
    const size_t cuts[] = {6, 12, 14, 22, 40, 48, 52, 60, last.size() - 2};
    for (size_t at : cuts) {
        SCOPED_TRACE(at);
        agent_.ClearRecords();
        Payload chunk;
        chunk.raw(goodBytes).align4().raw(Bytes(last.begin(), last.begin() + at));
        ServePathList(agent_, {ChunkOf(good), fake::Chunk(chunk)});
        Collector c;
        const int open = agent_.Open();
        EXPECT_EQ(List(logon_, u"C:\\", c), 0);
        EXPECT_EQ(GetLastError(), 13u);
        EXPECT_EQ(AgentGetLastError(), 13u);
        EXPECT_EQ(c.paths.size(), 4u);
        EXPECT_EQ(agent_.CountOf(OpNextPathList), 1u);
        EXPECT_EQ(Idle(), 0);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == open - 1; }));
        PoolConnections(1);
    }
}

TEST_F(AgentTest, PathListOversizedOrTruncatedChunk)
{
    struct Case {
        const char *name;
        Bytes chunk;
        bool closeAfter;
        DWORD error;
    } cases[] = {
        {"above the bound", Payload().u32(kMaxPayloadLength + 1).bytes(), false, static_cast<DWORD>(WSAEMSGSIZE)},
        {"peer closes inside", fake::Hex("40 00 00 00 01 00"), true, 10054},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Action reply = fake::Send(fake::Concat({fake::Header(2, OpGetPathList, 0), c.chunk}));
        if (c.closeAfter)
            reply.ThenClose();
        agent_.Queue(OpGetPathList, reply);
        Collector collector;
        EXPECT_EQ(List(logon_, u"C:\\", collector), 0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(AgentGetLastError(), c.error);
        EXPECT_EQ(Idle(), 0);
        PoolConnections(1);
    }
}

// The streaming connection is out of the pool, so exports called from the
// callback work on connections of their own.
TEST_F(AgentTest, PathListCallbackUsesOtherExports)
{
    ServePathList(agent_, {ChunkOf({{W(u"a"), Record(1, u"a")}, {W(u"b"), Record(2, u"b")}}),
                           ChunkOf({{W(u"c"), Record(3, u"c")}})});
    agent_.Always(OpGetOSVersion, fake::OsVersionReply(0x601));
    agent_.Always(OpFindFirst, fake::SearchStream(OpFindFirst, {fake::FindRecord(Record(7, u"inner"))}));
    Collector c;
    std::vector<DWORD> versions;
    std::vector<WString> inner;
    c.also = [&](const WString &) {
        versions.push_back(AgentGetOSVersion(logon_));
        WIN32_FIND_DATAW d;
        HANDLE search = AgentFindFirstFileW(logon_, W(u"*").c_str(), &d);
        if (search != nullptr) {
            inner.emplace_back(d.cFileName);
            AgentFindNextFileW(search, &d);
            AgentCloseHandle(logon_, search);
        }
        // The logon's cancel finds an idle connection: nothing is sent.
        EXPECT_EQ(AgentCancelPathList(logon_), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    };
    EXPECT_TRUE(ListedToEnd(List(logon_, u"C:\\", c)));
    EXPECT_EQ(c.paths.size(), 3u);
    EXPECT_EQ(versions, std::vector<DWORD>(3, 0x601u));
    EXPECT_EQ(inner, std::vector<WString>(3, W(u"inner")));
    EXPECT_EQ(agent_.Accepted(), 2);
    EXPECT_EQ(Idle(), 2);
    EXPECT_EQ(agent_.CountOf(OpNextPathList), 2u);
    EXPECT_EQ(agent_.CountOf(OpCancelPathList), 0u);
}

TEST_F(AgentTest, StopPathListFromTheCallback)
{
    EXPECT_EQ(AgentStopPathList(), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));

    agent_.On(OpCancelPathList, [](const fake::Request &, fake::Session &) { return fake::Nothing(); });
    ServePathList(agent_, {ChunkOf({{W(u"a"), Record(1, u"a")}, {W(u"b"), Record(2, u"b")}, {W(u"c"), Record(3, u"c")}}),
                           ChunkOf({{W(u"d"), Record(4, u"d")}})});
    Collector c;
    c.also = [](const WString &path) {
        if (path == W(u"b")) {
            EXPECT_EQ(AgentStopPathList(), 1);
        }
    };
    EXPECT_EQ(List(logon_, u"C:\\", c), 0);
    EXPECT_EQ(GetLastError(), 1223u);
    EXPECT_EQ(AgentGetLastError(), 1223u);
    EXPECT_EQ(c.paths, (std::vector<WString>{W(u"a"), W(u"b")}));
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
    // The cancel went out instead of the acknowledgement.
    const Bytes expected = fake::Concat(
        {fake::PathListRequest(W(u"C:\\")), fake::BareRequest(OpCancelPathList)});
    const Bytes wire = agent_.Received(0);
    ASSERT_GE(wire.size(), expected.size());
    EXPECT_EQ(fake::ToHex(Bytes(wire.end() - expected.size(), wire.end())), fake::ToHex(expected));
    EXPECT_EQ(AgentStopPathList(), 0); // nothing running any more
}

// A stop inside a nested list ends only that list.
TEST_F(AgentTest, StopEndsOnlyTheInnermostPathList)
{
    agent_.On(OpCancelPathList, [](const fake::Request &, fake::Session &) { return fake::Nothing(); });
    ServePathList(agent_, {ChunkOf({{W(u"p"), Record(1, u"p")}, {W(u"q"), Record(2, u"q")}})});
    Collector outer;
    int innerResults = 0;
    int innerEntries = 0;
    outer.also = [&](const WString &) {
        Collector inner;
        inner.also = [](const WString &) { AgentStopPathList(); };
        if (List(logon_, u"inner", inner) == 0 && GetLastError() == 1223u)
            ++innerResults;
        innerEntries += static_cast<int>(inner.paths.size());
    };
    EXPECT_TRUE(ListedToEnd(List(logon_, u"outer", outer)));
    EXPECT_EQ(outer.paths.size(), 2u);
    EXPECT_EQ(innerResults, 2);
    EXPECT_EQ(innerEntries, 2); // each inner list stopped after its first entry
    EXPECT_EQ(Idle(), 1);
}

// Ten thousand entries in two thousand chunks: one acknowledgement per
// chunk, and the receive buffer never holds more than one chunk.
TEST_F(AgentTest, LongPathListRunsInConstantMemory)
{
    const int kChunks = 2000;
    const int kPerChunk = 5;
    std::vector<Bytes> chunks;
    for (int i = 0; i < kChunks; ++i) {
        Entries entries;
        for (int k = 0; k < kPerChunk; ++k) {
            const int n = i * kPerChunk + k;
            entries.push_back({fake::Utf16("C:\\tree\\" + std::to_string(n)), Record(static_cast<uint32_t>(n), u"f")});
        }
        chunks.push_back(ChunkOf(entries));
    }
    ServePathList(agent_, chunks);
    Collector c;
    bool inOrder = true;
#ifndef _WIN32
    fake::TakeLargestNothrowBlock();
#endif
    c.also = [&](const WString &) {
        const size_t n = c.records.size() - 1;
        inOrder = inOrder && c.records.back().nFileSizeLow == n;
    };
    EXPECT_TRUE(ListedToEnd(List(logon_, u"C:\\tree", c)));
    EXPECT_EQ(c.paths.size(), static_cast<size_t>(kChunks * kPerChunk));
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(c.paths.back(), fake::Utf16("C:\\tree\\9999"));
#ifndef _WIN32
    // The library's buffers come from nothrow new[]: none grew.
    EXPECT_LE(fake::TakeLargestNothrowBlock(), kReceiveBufferSize);
#endif
    EXPECT_EQ(agent_.CountOf(OpNextPathList), static_cast<size_t>(kChunks));
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(agent_.Accepted(), 1); // the streaming connection went back to the pool
}
