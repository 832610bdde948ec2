// Directory searches: request bytes, entry decoding in both byte orders,
// end of stream, damaged records, and what closing a search does to its
// connection.
#include "agent_test.h"
#include "messages.h"
#include "entries.h"

#include "live_blocks.h"
#include "transport/agent_connection.h" // the receive buffer's first size
#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <cstring>

using fake::AgentTest;
using fake::Bytes;
using fake::FindEntry;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

FindEntry Entry(const char16_t *name, uint32_t attributes, uint32_t sizeLow, uint32_t sizeHigh)
{
    FindEntry e;
    e.name = W(name);
    e.attributes = attributes;
    e.sizeLow = sizeLow;
    e.sizeHigh = sizeHigh;
    e.created[0] += sizeLow;
    e.written[1] += sizeHigh;
    return e;
}

void ExpectEntry(const WIN32_FIND_DATAW &d, const FindEntry &e)
{
    EXPECT_EQ(d.dwFileAttributes, e.attributes);
    EXPECT_EQ(d.ftCreationTime.dwLowDateTime, e.created[0]);
    EXPECT_EQ(d.ftCreationTime.dwHighDateTime, e.created[1]);
    EXPECT_EQ(d.ftLastAccessTime.dwLowDateTime, e.accessed[0]);
    EXPECT_EQ(d.ftLastAccessTime.dwHighDateTime, e.accessed[1]);
    EXPECT_EQ(d.ftLastWriteTime.dwLowDateTime, e.written[0]);
    EXPECT_EQ(d.ftLastWriteTime.dwHighDateTime, e.written[1]);
    EXPECT_EQ(d.nFileSizeLow, e.sizeLow);
    EXPECT_EQ(d.nFileSizeHigh, e.sizeHigh);
    EXPECT_EQ(WString(d.cFileName), e.name);
    EXPECT_EQ(d.dwReserved0, 0u);
    EXPECT_EQ(d.dwReserved1, 0u);
    for (WCHAR c : d.cAlternateFileName)
        EXPECT_EQ(c, 0);
}

// A record whose fields all differ from what a caller's stale record holds.
WIN32_FIND_DATAW Garbage()
{
    WIN32_FIND_DATAW d;
    std::memset(&d, 0xAB, sizeof d);
    return d;
}

HANDLE Find(AGENT_LOGON logon, const char16_t *pattern, WIN32_FIND_DATAW &data)
{
    return AgentFindFirstFileW(logon, W(pattern).c_str(), &data);
}

} // namespace

TEST_F(AgentTest, SearchWithoutEntriesReturnsTheConnection)
{
    struct Case {
        const char *name;
        Bytes reply;
    } cases[] = {
        {"payload length 0", fake::Header(2, OpFindFirst, 0)},
        {"end marker first", fake::Concat({fake::Header(2, OpFindFirst, 4), fake::EndChunk()})},
        {"end marker first, big-endian", fake::Concat({fake::Header(2, OpFindFirst, 4, true), fake::EndChunk()})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        agent_.Queue(OpFindFirst, fake::Send(c.reply));
        LastAgentError = 0;
        WIN32_FIND_DATAW data;
        EXPECT_EQ(Find(logon_, u"C:\\empty\\*", data), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(Idle(), 1);
    }
    // The same pooled connection served all three.
    EXPECT_EQ(agent_.Accepted(), 1);
    EXPECT_EQ(agent_.Open(), 1);
}

TEST_F(AgentTest, SearchArgumentFaults)
{
    WIN32_FIND_DATAW data;
    LastAgentError = 4242;
    EXPECT_EQ(AgentFindFirstFileW(nullptr, W(u"C:\\*").c_str(), &data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), nullptr), nullptr);
    EXPECT_EQ(AgentFindNextFileW(nullptr, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 4242u);

    // The empty pattern is found after the connection was taken: recorded, and the connection kept.
    EXPECT_EQ(Find(logon_, u"", data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentFindFirstFileW(logon_, nullptr, &data), nullptr);
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(agent_.Requests().size(), 0u);
}

TEST_F(AgentTest, LongNamesAreCutToTheRecord)
{
    const size_t lengths[] = {258, 259, 260, 300, 1000};
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        FindEntry e;
        e.name = fake::LongName(n);
        agent_.Queue(OpFindFirst, fake::Send(fake::SearchStream(OpFindFirst, {fake::FindRecord(e)})));
        WIN32_FIND_DATAW data = Garbage();
        HANDLE search = Find(logon_, u"C:\\*", data);
        ASSERT_NE(search, nullptr);
        const size_t kept = n < 259 ? n : 259;
        EXPECT_EQ(WString(data.cFileName), e.name.substr(0, kept));
        EXPECT_EQ(data.cFileName[kept], 0);
        for (WCHAR c : data.cAlternateFileName) // nothing written past cFileName
            EXPECT_EQ(c, 0);
        EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
    }
}

// A record cut anywhere fails that call only; the search goes on with the
// next chunk.
TEST_F(AgentTest, DamagedRecordFailsOneCallAndTheSearchGoesOn)
{
    FindEntry good = Entry(u"good", 0x20, 1, 0);
    FindEntry cut = Entry(u"cut-off", 0x20, 2, 0);
    const Bytes full = fake::FindRecord(cut).bytes();
    // Inside attributes, a FILETIME, the size words, the name count and the name.
    const size_t cuts[] = {1, 3, 6, 12, 27, 30, 34, 38, 42, full.size() - 1};
    for (size_t at : cuts) {
        SCOPED_TRACE(at);
        Payload damaged;
        damaged.raw(Bytes(full.begin(), full.begin() + at));
        agent_.Queue(OpFindFirst, fake::Send(fake::SearchStream(
                                      OpFindFirst, {fake::FindRecord(good), damaged, fake::FindRecord(good)})));
        WIN32_FIND_DATAW data;
        HANDLE search = Find(logon_, u"C:\\*", data);
        ASSERT_NE(search, nullptr);
        LastAgentError = 0;
        EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
        EXPECT_EQ(GetLastError(), 13u);
        EXPECT_EQ(AgentGetLastError(), 13u);
        ASSERT_EQ(AgentFindNextFileW(search, &data), 1);
        ExpectEntry(data, good);
        EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
        EXPECT_EQ(Idle(), 1);
    }
}

TEST_F(AgentTest, DamagedFirstRecordEndsTheSearch)
{
    Payload damaged;
    damaged.u32(0x20).u32(1);
    agent_.Queue(OpFindFirst, fake::Send(fake::SearchStream(OpFindFirst, {damaged})));
    WIN32_FIND_DATAW data;
    EXPECT_EQ(Find(logon_, u"C:\\*", data), nullptr);
    EXPECT_EQ(GetLastError(), 13u);
    EXPECT_EQ(AgentGetLastError(), 13u);
    // The stream was left mid-way, so the connection cannot be reused.
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
}

TEST_F(AgentTest, ClosingBeforeTheEndDropsTheConnection)
{
    agent_.Queue(OpFindFirst,
                 fake::Send(fake::SearchStream(OpFindFirst, {fake::FindRecord(Entry(u"a", 0, 0, 0)),
                                                             fake::FindRecord(Entry(u"b", 0, 0, 0))})));
    WIN32_FIND_DATAW data;
    HANDLE search = Find(logon_, u"C:\\*", data);
    ASSERT_NE(search, nullptr);
    const size_t sent = agent_.Received(0).size();
    EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
    EXPECT_EQ(agent_.Received(0).size(), sent); // the agent learns of it only by the close

    // The logon goes on with a fresh connection.
    agent_.Queue(OpFindFirst, fake::Send(fake::Header(2, OpFindFirst, 0)));
    EXPECT_EQ(Find(logon_, u"C:\\*", data), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(agent_.Accepted(), 2);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, BrokenStreamsCloseTheConnection)
{
    struct Case {
        const char *name;
        Bytes reply;
        bool closeAfter;
        DWORD error; // 0: not checked (a rejected header sets none of its own)
    } cases[] = {
        {"reply of kind request", fake::Header(1, OpFindFirst, 0), false, 0},
        {"reply to another opcode", fake::Header(2, OpFindFirstDrive, 0), false, 0},
        {"chunk above the bound",
         fake::Concat({fake::Header(2, OpFindFirst, 1), Payload().u32(kMaxPayloadLength + 1).bytes()}), false,
         static_cast<DWORD>(WSAEMSGSIZE)},
        {"peer closes inside a chunk",
         fake::Concat({fake::Header(2, OpFindFirst, 1), Payload().u32(100).u32(0x20).bytes()}), true, 10054},
        {"peer closes inside a length word", fake::Concat({fake::Header(2, OpFindFirst, 1), fake::Hex("08 00")}),
         true, 10054},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fake::Action action = fake::Send(c.reply);
        if (c.closeAfter)
            action.ThenClose();
        agent_.Queue(OpFindFirst, action);
        const int openBefore = agent_.Open();
        ASSERT_EQ(Idle(), 1);
        SetLastError(0);
        WIN32_FIND_DATAW data;
        EXPECT_EQ(Find(logon_, u"C:\\*", data), nullptr);
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(AgentGetLastError(), c.error);
        }
        EXPECT_EQ(Idle(), 0);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == openBefore - 1; }));
        // Next round starts from one pooled connection again.
        PoolConnections(1);
    }
}

TEST_F(AgentTest, BrokenStreamMidSearchFailsNextAndCloseDropsIt)
{
    agent_.Queue(OpFindFirst,
                 fake::Send(fake::Concat({fake::Header(2, OpFindFirst, 1),
                                          fake::Chunk(fake::FindRecord(Entry(u"one", 0, 0, 0))),
                                          Payload().u32(0xFFFFFFF0).bytes()})));
    WIN32_FIND_DATAW data;
    HANDLE search = Find(logon_, u"C:\\*", data);
    ASSERT_NE(search, nullptr);
    EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEMSGSIZE));
    EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
}

// Ten thousand entries pass through one chunk-sized receive buffer; a
// chunk larger than the buffer grows it once and later ones reuse it.
TEST_F(AgentTest, LongSearchRunsInConstantMemory)
{
    const int kEntries = 10000;
    Bytes stream = fake::Header(2, OpFindFirst, 1);
    for (int i = 0; i < kEntries; ++i) {
        FindEntry e = Entry(u"", 0x20, static_cast<uint32_t>(i), 0);
        e.name = fake::Utf16("file-" + std::to_string(i) + ".dat");
        Bytes chunk = fake::Chunk(fake::FindRecord(e));
        stream.insert(stream.end(), chunk.begin(), chunk.end());
    }
    // A 30000-byte chunk: a record padded beyond the buffer's first size.
    FindEntry big = Entry(u"big", 0x20, 1, 0);
    Payload bigRecord = fake::FindRecord(big);
    bigRecord.raw(Bytes(30000 - bigRecord.size(), 0));
    stream = fake::Concat({stream, fake::Chunk(bigRecord), fake::Chunk(fake::FindRecord(Entry(u"after", 0, 2, 0))),
                           fake::EndChunk()});
    agent_.Queue(OpFindFirst, fake::Send(stream));

    WIN32_FIND_DATAW data;
    HANDLE search = Find(logon_, u"C:\\many\\*", data);
    ASSERT_NE(search, nullptr);
#ifndef _WIN32
    fake::TakeLargestNothrowBlock();
#endif
    int seen = 1;
    while (seen < kEntries && AgentFindNextFileW(search, &data) == 1) {
        ASSERT_EQ(data.nFileSizeLow, static_cast<DWORD>(seen));
        ++seen;
    }
    EXPECT_EQ(seen, kEntries);
    EXPECT_EQ(WString(data.cFileName), fake::Utf16("file-9999.dat"));
#ifndef _WIN32
    // The library's buffers come from nothrow new[]: none grew.
    EXPECT_LE(fake::TakeLargestNothrowBlock(), kReceiveBufferSize);
#endif

    ASSERT_EQ(AgentFindNextFileW(search, &data), 1);
    EXPECT_EQ(WString(data.cFileName), W(u"big"));
#ifndef _WIN32
    EXPECT_GE(fake::TakeLargestNothrowBlock(), 30000u);
#endif
    ASSERT_EQ(AgentFindNextFileW(search, &data), 1);
    EXPECT_EQ(WString(data.cFileName), W(u"after"));
#ifndef _WIN32
    EXPECT_LT(fake::TakeLargestNothrowBlock(), 30000u); // the grown buffer is reused
#endif
    EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
    EXPECT_EQ(Idle(), 1);
}

// A file handle is not a search: nothing is read from it.
TEST_F(AgentTest, FindNextOnAConnectionThatIsNotSearching)
{
    HANDLE file = HoldConnection();
    ASSERT_NE(file, nullptr);
    agent_.ClearRecords();
    WIN32_FIND_DATAW data;
    EXPECT_EQ(AgentFindNextFileW(file, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(agent_.Requests().size(), 0u);
    CloseHeld(file); // still an open file: its close is sent
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u);
}
