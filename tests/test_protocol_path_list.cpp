// Golden bytes of path lists: the request, the chunk length word and the
// entries of a chunk (little- and big-endian content; the length word is
// little-endian either way). Each chunk decodes to its entries, encodes
// back (little-endian), and reaches AgentGetPathList whole, byte by byte
// and split at every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"
#include "messages.h"
#include "protocol/path_list_messages.h"

#include <cstring>
#include <vector>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;

namespace {

using Entries = std::vector<std::pair<fake::WString, FindRecord>>;

const Entries kTwoEntries = {
    {W(u"C:\\a"), {0x10, {0, 0}, {0, 0}, {0, 0}, 0, 0, W(u"a")}},
    {W(u"C:\\a\\b.txt"), {0x20, {1, 2}, {3, 4}, {5, 6}, 7, 0, W(u"b.txt")}},
};

// Each chunk is 0x82 bytes, its length word "82 00 00 00".
const fake::PayloadRow<Entries> kChunkRows[] = {
    {"little-endian", false,
     "08 00 00 00 43 00 3a 00 5c 00 61 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 61 00 00 00"
     " 14 00 00 00 43 00 3a 00 5c 00 61 00 5c 00 62 00 2e 00 74 00 78 00 74 00"
     " 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00"
     " 07 00 00 00 00 00 00 00 0a 00 00 00 62 00 2e 00 74 00 78 00 74 00",
     kTwoEntries},
    {"big-endian content, little-endian length", true,
     "00 00 00 08 00 43 00 3a 00 5c 00 61 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 61 00 00"
     " 00 00 00 14 00 43 00 3a 00 5c 00 61 00 5c 00 62 00 2e 00 74 00 78 00 74"
     " 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06"
     " 00 00 00 07 00 00 00 00 00 00 00 0a 00 62 00 2e 00 74 00 78 00 74",
     kTwoEntries},
};

struct Listed {
    std::vector<fake::WString> paths;
    std::vector<WIN32_FIND_DATAW> records;
};

void AGENTAPI Collect(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *listed = static_cast<Listed *>(context);
    listed->paths.emplace_back(path);
    listed->records.push_back(*data);
}

} // namespace

TEST_F(AgentTest, PathListFamilyGoldenBytes)
{
    const Bytes request = Hex("08 00 00 00 43 00 3a 00 5c 00 61 00");
    fake::CheckPayload(request, false,
                       {[](ACE_OutputCDR &out) { return EncodeGetPathListRequest(out, W(u"C:\\a").c_str()); },
                        fake::Is(DecodeGetPathListRequest, W(u"C:\\a"))});
    EXPECT_EQ(fake::EncodedBytes([](ACE_OutputCDR &out) { return EncodeGetPathListRequest(out, nullptr); }),
              Hex("00 00 00 00"));

    const Bytes length = Hex("82 00 00 00");
    for (const auto &row : kChunkRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        unsigned char word[4];
        EncodePathListChunkLength(word, static_cast<uint32_t>(wire.size()));
        EXPECT_EQ(Bytes(word, word + 4), length);
        fake::CheckPayload(wire, row.bigEndian,
                           {[&](ACE_OutputCDR &out) {
                                for (const auto &e : row.expected)
                                    if (!EncodePathListEntry(out, e.first, e.second))
                                        return false;
                                return true;
                            },
                            [&](ACE_InputCDR &in) {
                                OwnedWideString path;
                                WIN32_FIND_DATAW data;
                                for (const auto &e : row.expected) {
                                    std::memset(&data, 0x55, sizeof data);
                                    ASSERT_EQ(DecodePathListEntry(in, path, data), PathListEntry::Decoded);
                                    EXPECT_EQ(fake::WString(path.get()), e.first);
                                    fake::ExpectFindData(data, e.second);
                                }
                                EXPECT_EQ(DecodePathListEntry(in, path, data), PathListEntry::NoPath);
                            }});

        // The same chunk again after the first acknowledgement, the end
        // marker after the second.
        const Bytes reply = fake::Concat({fake::Header(2, OpGetPathList, 0, row.bigEndian), length, wire});
        fake::CheckDeliveries(agent_, OpGetPathList, reply, [&] {
            agent_.Queue(OpNextPathList, fake::Send(fake::Concat({length, wire})));
            agent_.Queue(OpNextPathList, fake::Send(fake::EndChunk()));
            Listed listed;
            EXPECT_EQ(AgentGetPathList(logon_, W(u"C:\\a").c_str(), Collect, &listed), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            ASSERT_EQ(listed.paths.size(), 2 * row.expected.size());
            for (size_t i = 0; i < listed.paths.size(); ++i) {
                EXPECT_EQ(listed.paths[i], row.expected[i % row.expected.size()].first);
                fake::ExpectFindData(listed.records[i], row.expected[i % row.expected.size()].second);
            }
            EXPECT_EQ(Idle(), 1);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPathList).back().payload, request);
        EXPECT_EQ(agent_.RequestsOf(OpNextPathList).back().raw(), Hex("01 00 01 00 1e 00 00 00 00 00 00 00"));
    }
}
