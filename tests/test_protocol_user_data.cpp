// Golden bytes of shell folders and browser data: the folder request and
// the status-and-path reply shared by opcodes 13, 32 and 33 (both byte
// orders), and the status-only answer to OpFirefox3Exists. Replies decode
// to their values, encode back (little-endian) and reach each export whole,
// byte by byte and split at every point through the loopback fake agent.
#include "agent_test.h"
#include "golden.h"
#include "messages.h"
#include "protocol/user_data_messages.h"

#include <functional>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;
using fake::WString;

namespace {

struct PathRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    uint32_t status;
    const char16_t *path;
};

const PathRow kPathRows[] = {
    {"path", false, "00 00 00 00 0c 00 00 00 43 00 3a 00 5c 00 46 00 61 00 76 00", 0, u"C:\\Fav"},
    {"path, big-endian", true, "00 00 00 00 00 00 00 0c 00 43 00 3a 00 5c 00 46 00 61 00 76", 0, u"C:\\Fav"},
    {"empty path", false, "00 00 00 00 00 00 00 00", 0, u""},
    {"agent error", false, "02 00 00 00", 2, u""},
    {"agent error, big-endian", true, "00 00 00 02", 2, u""},
};

// The exports that read a status-and-path reply, by opcode.
struct PathExport {
    uint32_t opcode;
    std::function<BOOL(AGENT_LOGON, WCHAR *)> call;
};

const PathExport kPathExports[] = {
    {OpGetFolderPath, [](AGENT_LOGON l, WCHAR *buffer) { return AgentGetFolderPathW(l, 5, 1, buffer); }},
    {OpGetFirefox3BookmarkPath, AgentGetFirefox3BookmarkPath},
    {OpGetIEFavoritePath, AgentGetIEFavoritePath},
};

} // namespace

TEST_F(AgentTest, UserDataFamilyGoldenBytes)
{
    const Bytes folderRequest = Hex("05 00 00 00 01 00 00 00");
    fake::CheckPayload(
        folderRequest, false, [](ACE_OutputCDR &out) { return EncodeGetFolderPathRequest(out, {5, 1}); },
        [](ACE_InputCDR &in) {
            GetFolderPathRequest request;
            ASSERT_TRUE(DecodeGetFolderPathRequest(in, request));
            EXPECT_EQ(request.folder, 5u);
            EXPECT_EQ(request.flag, 1u);
        });

    for (const PathRow &row : kPathRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        fake::CheckPayload(
            wire, row.bigEndian, [&](ACE_OutputCDR &out) { return EncodePathReply(out, row.status, W(row.path)); },
            [&](ACE_InputCDR &in) {
                PathReply reply;
                ASSERT_TRUE(DecodePathReply(in, reply));
                EXPECT_EQ(reply.status, row.status);
                EXPECT_EQ(WString(reply.path.get() != nullptr ? reply.path.get() : W(u"").c_str()), W(row.path));
            });
        for (const PathExport &e : kPathExports) {
            SCOPED_TRACE(e.opcode);
            fake::CheckDeliveries(agent_, e.opcode, fake::Reply(e.opcode, fake::Payload(row.bigEndian).raw(wire)), [&] {
                WCHAR buffer[260];
                buffer[0] = 'x';
                SetLastError(0);
                EXPECT_EQ(e.call(logon_, buffer), row.status == 0 ? 1 : 0);
                EXPECT_EQ(WString(buffer), W(row.path));
                EXPECT_EQ(GetLastError(), row.status);
            });
            const Bytes payload = e.opcode == OpGetFolderPath ? folderRequest : Bytes();
            EXPECT_EQ(agent_.RequestsOf(e.opcode).back().raw(),
                      fake::Concat({fake::Header(1, e.opcode, static_cast<uint32_t>(payload.size())), payload}));
        }
        // A status alone, read without any header test.
        if (row.status != 0) {
            fake::CheckDeliveries(agent_, OpFirefox3Exists,
                                  fake::Concat({fake::Header(2, OpFirefox3Exists, 4, row.bigEndian), wire}), [&] {
                                      EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
                                      EXPECT_EQ(GetLastError(), row.status);
                                  });
        }
    }
    agent_.Queue(OpFirefox3Exists, fake::Send(Hex("01 00 02 00 1f 00 00 00 04 00 00 00 00 00 00 00")));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 1);
    EXPECT_EQ(agent_.RequestsOf(OpFirefox3Exists).back().raw(), Hex("01 00 01 00 1f 00 00 00 00 00 00 00"));
}
