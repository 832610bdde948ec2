// Golden bytes of shell folders and browser data: the folder request and
// the status-and-path reply shared by opcodes 13, 32 and 33 (both byte
// orders), and the status-only answer to OpFirefox3Exists. Replies decode
// to their values, encode back (little-endian) and reach each export whole,
// byte by byte and split at every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"

#include <functional>

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
    fake::CheckPayload(folderRequest, false, fake::Of(EncodeGetFolderPathRequest, DecodeGetFolderPathRequest, {5, 1}));

    for (const auto &row : kPathRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        const uint32_t status = row.expected.first;
        fake::CheckPayload(wire, row.bigEndian,
                           {[&](ACE_OutputCDR &out) { return EncodePathReply(out, status, row.expected.second); },
                            [&](ACE_InputCDR &in) {
                                PathReply reply;
                                ASSERT_TRUE(DecodePathReply(in, reply));
                                const WCHAR *path = reply.path.get();
                                EXPECT_EQ(StatusPath(reply.status, path != nullptr ? path : W(u"")), row.expected);
                            }});
        for (const auto &e : kPathExports) {
            SCOPED_TRACE(e.first);
            fake::CheckDeliveries(agent_, e.first, fake::ReplyAround(e.first, wire, row.bigEndian), [&] {
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
        // A status alone, read without any header test.
        if (status != 0) {
            fake::CheckDeliveries(agent_, OpFirefox3Exists,
                                  fake::Concat({fake::Header(2, OpFirefox3Exists, 4, row.bigEndian), wire}), [&] {
                                      EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
                                      EXPECT_EQ(GetLastError(), status);
                                  });
        }
    }
    agent_.Queue(OpFirefox3Exists, fake::Send(Hex("01 00 02 00 1f 00 00 00 04 00 00 00 00 00 00 00")));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 1);
    EXPECT_EQ(agent_.RequestsOf(OpFirefox3Exists).back().raw(), Hex("01 00 01 00 1f 00 00 00 00 00 00 00"));
}
