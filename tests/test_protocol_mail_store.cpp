// Golden bytes of mail stores: the merge request, the count and list
// replies (both byte orders). Replies decode to their values, encode back
// (little-endian) and reach the exports whole, byte by byte and split at
// every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"
#include "messages.h"

#include <utility>
#include <vector>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;

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
    const WCHAR *names[] = {r.items[0].first.c_str(), r.items[1].first.c_str()};
    const DWORD values[] = {9, 0x10};
    fake::CheckPayload(merge, false,
                       {[&](ACE_OutputCDR &out) {
                            return EncodeMergePstRequest(out, r.first.c_str(), r.second.c_str(), r.third.c_str(),
                                                         names, values, 2);
                        },
                        fake::Is(DecodeMergePstRequest, r)});
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpMergePst, 0)));
    EXPECT_EQ(AgentMergePST(logon_, r.first.c_str(), r.second.c_str(), r.third.c_str(), names, values, 2), 1);
    ASSERT_EQ(agent_.RequestsOf(OpMergePst).size(), 1u);
    EXPECT_EQ(agent_.RequestsOf(OpMergePst)[0].payload, merge);

    for (const auto &row : kCountRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        fake::CheckPayload(wire, row.bigEndian, fake::Of(EncodeGetPstCountReply, DecodeGetPstCountReply, row.expected));
        fake::CheckDeliveries(agent_, OpGetPstCount, fake::ReplyAround(OpGetPstCount, wire, row.bigEndian), [&] {
            DWORD count = 77;
            SetLastError(0);
            const BOOL ok = AgentGetAgentPstCount(logon_, &count);
            EXPECT_EQ(std::make_tuple(GetLastError(), count), fake::Fields(row.expected));
            EXPECT_EQ(ok, row.expected.status == 0 ? 1 : 0);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstCount).back().raw(), Hex("01 00 01 00 22 00 00 00 00 00 00 00"));
    }

    for (const auto &row : kListRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        const auto &stores = row.expected.second;
        std::vector<PstStore> encoded;
        for (const auto &store : stores)
            encoded.push_back({store.first, store.second});
        fake::CheckPayload(wire, row.bigEndian,
                           {[&](ACE_OutputCDR &out) { return EncodeGetPstListReply(out, row.expected.first, encoded); },
                            [&](ACE_InputCDR &in) {
                                GetPstListReply reply;
                                ASSERT_TRUE(DecodeGetPstListReply(in, reply));
                                ASSERT_EQ(reply.count, stores.size());
                                Listing got = {reply.status, {}};
                                for (uint32_t i = 0; i < reply.count; ++i) {
                                    OwnedWideString path, second;
                                    ASSERT_TRUE(DecodePstStore(in, path, second));
                                    got.second.emplace_back(path.get(), second.get());
                                }
                                EXPECT_EQ(got, row.expected);
                            }});
        fake::CheckDeliveries(agent_, OpGetPstList, fake::ReplyAround(OpGetPstList, wire, row.bigEndian), [&] {
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
