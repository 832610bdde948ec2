// Golden bytes of shell folders, browser data and mail stores: the folder
// request and the status-and-path reply shared by opcodes 13, 32 and 33,
// the status-only answer to OpFirefox3Exists, the mail-store merge request
// and the count and list replies (both byte orders). Requests are the
// library's and decode to their values; replies are what the agent's
// encoders write (little-endian) and reach each export whole, byte by byte
// and split at every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"

#include <functional>
#include <utility>
#include <vector>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;

namespace {

// A reply's status and path, as the export hands them out.
using StatusPath = std::pair<uint32_t, fake::WString>;

const fake::PayloadRow<StatusPath> kPathRows[] = {
    {"path", false, "00 00 00 00 0c 00 00 00 43 00 3a 00 5c 00 46 00 61 00 76 00", {0, W(u"C:\\Fav")}},
    {"path, big-endian", true, "00 00 00 00 00 00 00 0c 00 43 00 3a 00 5c 00 46 00 61 00 76", {0, W(u"C:\\Fav")}},
    {"empty path", false, "00 00 00 00 00 00 00 00", {0, W(u"")}},
    {"agent error", false, "02 00 00 00", {2, W(u"")}},
    {"agent error, big-endian", true, "00 00 00 02", {2, W(u"")}},
};

// The exports that read a status-and-path reply, by opcode.
const std::pair<uint32_t, std::function<BOOL(AGENT_LOGON, WCHAR *)>> kPathExports[] = {
    {OpGetFolderPath, [](AGENT_LOGON l, WCHAR *buffer) { return AgentGetFolderPathW(l, 5, 1, buffer); }},
    {OpGetFirefox3BookmarkPath, AgentGetFirefox3BookmarkPath},
    {OpGetIEFavoritePath, AgentGetIEFavoritePath},
};

} // namespace

TEST_F(AgentTest, UserDataFamilyGoldenBytes)
{
    const Bytes folderRequest = Hex("05 00 00 00 01 00 00 00");
    fake::CheckPayload(folderRequest, false, {nullptr, fake::Is(DecodeGetFolderPathRequest, {5, 1})});

    for (const auto &row : kPathRows) {
        const uint32_t status = row.expected.first;
        const fake::Encoder encode = [&](ACE_OutputCDR &o) { return EncodePathReply(o, status, row.expected.second); };
        for (const auto &e : kPathExports) {
            SCOPED_TRACE(e.first);
            fake::CheckReply(agent_, e.first, row, encode, [&] {
                WCHAR buffer[260];
                buffer[0] = 'x';
                SetLastError(0);
                const BOOL ok = e.second(logon_, buffer);
                EXPECT_EQ(StatusPath(GetLastError(), buffer), row.expected);
                EXPECT_EQ(ok, status == 0 ? 1 : 0);
            });
            const Bytes payload = e.first == OpGetFolderPath ? folderRequest : Bytes();
            EXPECT_EQ(agent_.RequestsOf(e.first).back().raw(),
                      fake::Concat({fake::Header(1, e.first, static_cast<uint32_t>(payload.size())), payload}));
        }
        // A refusal alone is also the whole answer to OpFirefox3Exists.
        if (status != 0) {
            fake::CheckReply(agent_, OpFirefox3Exists, row, fake::Status(status), [&] {
                EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
                EXPECT_EQ(GetLastError(), status);
            });
        }
    }
    agent_.Queue(OpFirefox3Exists, fake::Send(Hex("01 00 02 00 1f 00 00 00 04 00 00 00 00 00 00 00")));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 1);
    EXPECT_EQ(agent_.RequestsOf(OpFirefox3Exists).back().raw(), Hex("01 00 01 00 1f 00 00 00 00 00 00 00"));
}

namespace {

const fake::PayloadRow<GetPstCountReply> kCountRows[] = {
    {"count", false, "00 00 00 00 03 00 00 00", {0, 3}},
    {"count, big-endian", true, "00 00 00 00 00 00 00 03", {0, 3}},
    {"agent error", false, "05 00 00 00", {5, 0}},
};

// A list reply's status and the stores it carries.
using Listing = std::pair<uint32_t, std::vector<std::pair<fake::WString, fake::WString>>>;

const Listing kTwoStores = {0, {{W(u"C:\\a.pst"), W(u"a")}, {W(u"D:\\m\\b.pst"), W(u"b")}}};

const fake::PayloadRow<Listing> kListRows[] = {
    {"two stores", false,
     "00 00 00 00 02 00 00 00 10 00 00 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 61 00 00 00 14 00 00 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 62 00",
     kTwoStores},
    {"two stores, big-endian", true,
     "00 00 00 00 00 00 00 02 00 00 00 10 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 61 00 00 00 00 00 14 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 62",
     kTwoStores},
    {"no stores", false, "00 00 00 00 00 00 00 00", {0, {}}},
    {"agent error", false, "05 00 00 00", {5, {}}},
};

void AGENTAPI Collect(const WCHAR *path, const WCHAR *second, void *context)
{
    static_cast<Listing *>(context)->second.emplace_back(path, second);
}

} // namespace

TEST_F(AgentTest, MailStoreFamilyGoldenBytes)
{
    // Three texts, two items; padding after every odd-length string.
    const Bytes merge = Hex("02 00 00 00 61 00 00 00 04 00 00 00 62 00 63 00 02 00 00 00 64 00 00 00"
                            " 02 00 00 00 02 00 00 00 6e 00 00 00 09 00 00 00 04 00 00 00 78 00 79 00 10 00 00 00");
    const MergePstRequest r = {W(u"a"), W(u"bc"), W(u"d"), {{W(u"n"), 9}, {W(u"xy"), 0x10}}};
    fake::CheckPayload(merge, false, {nullptr, fake::Is(DecodeMergePstRequest, r)});
    const WCHAR *names[] = {r.items[0].first.c_str(), r.items[1].first.c_str()};
    const DWORD values[] = {9, 0x10};
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpMergePst, 0)));
    EXPECT_EQ(AgentMergePST(logon_, r.first.c_str(), r.second.c_str(), r.third.c_str(), names, values, 2), 1);
    ASSERT_EQ(agent_.RequestsOf(OpMergePst).size(), 1u);
    EXPECT_EQ(agent_.RequestsOf(OpMergePst)[0].payload, merge);

    for (const auto &row : kCountRows) {
        fake::CheckReply(agent_, OpGetPstCount, row, fake::Writes(EncodeGetPstCountReply, row.expected), [&] {
            DWORD count = 77;
            SetLastError(0);
            const BOOL ok = AgentGetAgentPstCount(logon_, &count);
            EXPECT_EQ(std::make_tuple(ok, GetLastError(), count),
                      std::make_tuple(row.expected.status == 0 ? 1 : 0, row.expected.status, row.expected.count));
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstCount).back().raw(), Hex("01 00 01 00 22 00 00 00 00 00 00 00"));
    }

    for (const auto &row : kListRows) {
        std::vector<PstStore> stores;
        for (const auto &store : row.expected.second)
            stores.push_back({store.first, store.second});
        const fake::Encoder encode = [&](ACE_OutputCDR &out) {
            return EncodeGetPstListReply(out, row.expected.first, stores);
        };
        fake::CheckReply(agent_, OpGetPstList, row, encode, [&] {
            Listing listed;
            SetLastError(0);
            const BOOL ok = AgentGetPSTList(logon_, Collect, &listed);
            listed.first = GetLastError();
            EXPECT_EQ(listed, row.expected);
            EXPECT_EQ(ok, row.expected.first == 0 ? 1 : 0);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstList).back().raw(), Hex("01 00 01 00 16 00 00 00 00 00 00 00"));
    }
}
