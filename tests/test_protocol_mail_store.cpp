// Golden bytes of mail stores: the merge request, the count and list
// replies (both byte orders). Replies decode to their values, encode back
// (little-endian) and reach the exports whole, byte by byte and split at
// every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"
#include "messages.h"
#include "protocol/mail_store_messages.h"

#include <utility>
#include <vector>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;
using fake::WString;

namespace {

struct CountRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    GetPstCountReply expected;
};

const CountRow kCountRows[] = {
    {"count", false, "00 00 00 00 03 00 00 00", {0, 3}},
    {"count, big-endian", true, "00 00 00 00 00 00 00 03", {0, 3}},
    {"agent error", false, "05 00 00 00", {5, 0}},
};

struct ListRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    uint32_t status;
    std::vector<PstStore> stores;
};

const std::vector<PstStore> kTwoStores = {{W(u"C:\\a.pst"), W(u"a")}, {W(u"D:\\m\\b.pst"), W(u"b")}};

const ListRow kListRows[] = {
    {"two stores", false,
     "00 00 00 00 02 00 00 00 10 00 00 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 61 00 00 00 14 00 00 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 62 00",
     0, kTwoStores},
    {"two stores, big-endian", true,
     "00 00 00 00 00 00 00 02 00 00 00 10 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 61 00 00 00 00 00 14 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 62",
     0, kTwoStores},
    {"no stores", false, "00 00 00 00 00 00 00 00", 0, {}},
    {"agent error", false, "05 00 00 00", 5, {}},
};

struct Listed {
    std::vector<std::pair<WString, WString>> stores;
};

void AGENTAPI Collect(const WCHAR *path, const WCHAR *second, void *context)
{
    static_cast<Listed *>(context)->stores.emplace_back(path, second);
}

Bytes ReplyOf(uint32_t opcode, const Bytes &payload, bool bigEndian)
{
    return fake::Reply(opcode, fake::Payload(bigEndian).raw(payload));
}

} // namespace

TEST_F(AgentTest, MailStoreFamilyGoldenBytes)
{
    // Three texts, two items; padding after every odd-length string.
    const Bytes merge = Hex("02 00 00 00 61 00 00 00 04 00 00 00 62 00 63 00 02 00 00 00 64 00 00 00"
                            " 02 00 00 00 02 00 00 00 6e 00 00 00 09 00 00 00 04 00 00 00 78 00 79 00 10 00 00 00");
    const WString first = W(u"a"), second = W(u"bc"), third = W(u"d"), name1 = W(u"n"), name2 = W(u"xy");
    const WCHAR *names[] = {name1.c_str(), name2.c_str()};
    const DWORD values[] = {9, 0x10};
    fake::CheckPayload(
        merge, false,
        [&](ACE_OutputCDR &out) {
            return EncodeMergePstRequest(out, first.c_str(), second.c_str(), third.c_str(), names, values, 2);
        },
        [&](ACE_InputCDR &in) {
            MergePstRequest request;
            ASSERT_TRUE(DecodeMergePstRequest(in, request));
            EXPECT_EQ(request.first, first);
            EXPECT_EQ(request.second, second);
            EXPECT_EQ(request.third, third);
            const std::vector<std::pair<WideText, uint32_t>> items = {{name1, 9}, {name2, 0x10}};
            EXPECT_EQ(request.items, items);
        });
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpMergePst, 0)));
    EXPECT_EQ(AgentMergePST(logon_, first.c_str(), second.c_str(), third.c_str(), names, values, 2), 1);
    ASSERT_EQ(agent_.RequestsOf(OpMergePst).size(), 1u);
    EXPECT_EQ(agent_.RequestsOf(OpMergePst)[0].payload, merge);

    for (const CountRow &row : kCountRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        const GetPstCountReply &e = row.expected;
        fake::CheckPayload(
            wire, row.bigEndian, [&](ACE_OutputCDR &out) { return EncodeGetPstCountReply(out, e); },
            [&](ACE_InputCDR &in) {
                GetPstCountReply reply;
                ASSERT_TRUE(DecodeGetPstCountReply(in, reply));
                EXPECT_EQ(reply.status, e.status);
                EXPECT_EQ(reply.count, e.count);
            });
        fake::CheckDeliveries(agent_, OpGetPstCount, ReplyOf(OpGetPstCount, wire, row.bigEndian), [&] {
            DWORD count = 77;
            SetLastError(0);
            EXPECT_EQ(AgentGetAgentPstCount(logon_, &count), e.status == 0 ? 1 : 0);
            EXPECT_EQ(count, e.count);
            EXPECT_EQ(GetLastError(), e.status);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstCount).back().raw(), Hex("01 00 01 00 22 00 00 00 00 00 00 00"));
    }

    for (const ListRow &row : kListRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        fake::CheckPayload(
            wire, row.bigEndian,
            [&](ACE_OutputCDR &out) { return EncodeGetPstListReply(out, row.status, row.stores); },
            [&](ACE_InputCDR &in) {
                GetPstListReply reply;
                ASSERT_TRUE(DecodeGetPstListReply(in, reply));
                EXPECT_EQ(reply.status, row.status);
                ASSERT_EQ(reply.count, row.stores.size());
                for (const PstStore &store : row.stores) {
                    OwnedWideString path, secondText;
                    ASSERT_TRUE(DecodePstStore(in, path, secondText));
                    EXPECT_EQ(WString(path.get()), store.path);
                    EXPECT_EQ(WString(secondText.get()), store.secondText);
                }
            });
        std::vector<std::pair<WString, WString>> expected;
        for (const PstStore &store : row.stores)
            expected.emplace_back(store.path, store.secondText);
        fake::CheckDeliveries(agent_, OpGetPstList, ReplyOf(OpGetPstList, wire, row.bigEndian), [&] {
            Listed listed;
            SetLastError(0);
            EXPECT_EQ(AgentGetPSTList(logon_, Collect, &listed), row.status == 0 ? 1 : 0);
            EXPECT_EQ(listed.stores, expected);
            EXPECT_EQ(GetLastError(), row.status);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstList).back().raw(), Hex("01 00 01 00 16 00 00 00 00 00 00 00"));
    }
}
