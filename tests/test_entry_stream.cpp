// Entry streams arriving in pieces: every split of a stream across two TCP
// writes, and a stream written one byte at a time, must decode exactly as
// the stream sent in one piece.
#include "agent_test.h"
#include "entries.h"


using fake::AgentTest;
using fake::Bytes;
using fake::FindEntry;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

FindEntry Entry(const char16_t *name, uint32_t size)
{
    FindEntry e;
    e.name = W(name);
    e.sizeLow = size;
    e.sizeHigh = size + 1;
    return e;
}

fake::Action SplitAt(const Bytes &bytes, size_t at, int pauseMs = 2)
{
    return fake::Send(Bytes(bytes.begin(), bytes.begin() + at)).ThenSend(Bytes(bytes.begin() + at, bytes.end()),
                                                                          pauseMs);
}

// Reads a whole search; the names and sizes seen, or the failure.
std::vector<std::pair<WString, DWORD>> ReadSearch(AGENT_LOGON logon, bool &ended)
{
    std::vector<std::pair<WString, DWORD>> seen;
    WIN32_FIND_DATAW data;
    HANDLE search = AgentFindFirstFileW(logon, W(u"C:\\*").c_str(), &data);
    ended = false;
    if (search == nullptr)
        return seen;
    do
        seen.emplace_back(data.cFileName, data.nFileSizeLow);
    while (AgentFindNextFileW(search, &data) == 1);
    ended = GetLastError() == ERROR_NO_MORE_FILES;
    AgentCloseHandle(logon, search);
    return seen;
}

void AGENTAPI CollectPath(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    static_cast<std::vector<std::pair<WString, DWORD>> *>(context)->emplace_back(path, data->nFileSizeLow);
}

} // namespace

TEST_F(AgentTest, SearchSplitAtEveryByte)
{
    for (bool big : {false, true}) {
        // Odd-length names put padding inside the records.
        const Bytes stream = fake::SearchStream(
            OpFindFirst, {fake::FindRecord(Entry(u"abc", 7), big), fake::FindRecord(Entry(u"de", 9), big)}, big);
        const std::vector<std::pair<WString, DWORD>> expected = {{W(u"abc"), 7}, {W(u"de"), 9}};
        for (size_t at = 1; at < stream.size(); ++at) {
            SCOPED_TRACE(testing::Message() << (big ? "big-endian, " : "little-endian, ") << "split at " << at);
            agent_.Queue(OpFindFirst, SplitAt(stream, at));
            bool ended = false;
            EXPECT_EQ(ReadSearch(logon_, ended), expected);
            EXPECT_TRUE(ended);
            ASSERT_EQ(Idle(), 1); // the stream was consumed exactly: the connection is reusable
        }
    }
    EXPECT_EQ(agent_.Accepted(), 1);
}

TEST_F(AgentTest, SearchWrittenOneByteAtATime)
{
    const Bytes stream = fake::SearchStream(
        OpFindFirst, {fake::FindRecord(Entry(u"first.txt", 1)), fake::FindRecord(Entry(u"second", 2)),
                      fake::FindRecord(Entry(u"x", 3))});
    fake::Action trickle = fake::Send(Bytes{stream[0]});
    for (size_t i = 1; i < stream.size(); ++i)
        trickle.ThenSend(Bytes{stream[i]}, 1);
    agent_.Queue(OpFindFirst, trickle);
    bool ended = false;
    const auto seen = ReadSearch(logon_, ended);
    EXPECT_EQ(seen, (std::vector<std::pair<WString, DWORD>>{{W(u"first.txt"), 1}, {W(u"second"), 2}, {W(u"x"), 3}}));
    EXPECT_TRUE(ended);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, PathListSplitAtEveryByte)
{
    const Bytes first = fake::Concat(
        {fake::Header(2, OpGetPathList, 0, true),
         fake::Chunk(fake::PathListChunk({{W(u"C:\\a"), Entry(u"a", 1)}, {W(u"C:\\bb"), Entry(u"bb", 2)}}, true))});
    // Each chunk is acknowledged, the last one too: the end marker answers that.
    const Bytes second = fake::Chunk(fake::PathListChunk({{W(u"C:\\ccc"), Entry(u"ccc", 3)}}, true));
    const std::vector<std::pair<WString, DWORD>> expected = {{W(u"C:\\a"), 1}, {W(u"C:\\bb"), 2}, {W(u"C:\\ccc"), 3}};
    for (size_t at = 1; at < first.size() + second.size(); ++at) {
        SCOPED_TRACE(testing::Message() << "split at " << at);
        agent_.ClearRecords();
        if (at < first.size()) {
            agent_.Queue(OpGetPathList, SplitAt(first, at));
            agent_.Queue(OpNextPathList, fake::Send(second));
        } else {
            agent_.Queue(OpGetPathList, fake::Send(first));
            agent_.Queue(OpNextPathList, SplitAt(second, at - first.size()));
        }
        agent_.Queue(OpNextPathList, fake::Send(fake::EndChunk()));
        std::vector<std::pair<WString, DWORD>> seen;
        EXPECT_EQ(AgentGetPathList(logon_, W(u"C:\\").c_str(), CollectPath, &seen), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(agent_.CountOf(OpNextPathList), 2u);
        ASSERT_EQ(Idle(), 1);
    }
}
