// Golden bytes of the logon and logout messages, written out by hand from
// their layouts: each request decodes to its values and encodes back to the
// same bytes; each reply is what the agent's encoder writes and reaches the
// library whole, byte by byte and cut at every point.
#include "agent_test.h"
#include "golden.h"

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolLogon : public fake::AgentTest {};

fake::Codec Logon(const char16_t *user, const char16_t *password, const char16_t *machine, const char16_t *computer,
                  bool initial)
{
    return {[=](ACE_OutputCDR &out) {
                return EncodeLogonRequest(out, W(user).c_str(), W(password).c_str(), W(machine).c_str(),
                                          W(computer).c_str(), initial);
            },
            fake::Is(DecodeLogonRequest, LogonRequest{W(user), W(password), W(machine), W(computer), initial})};
}

} // namespace

TEST_F(ProtocolLogon, Requests)
{
    // The library's own logon carries this PC's name, so its bytes are
    // compared in test_connection; here the layout itself.
    const fake::RequestRow rows[] = {
        {"logon, padding after each odd string",
         "01 00 01 00 02 00 00 00 1f 00 00 00  04 00 00 00 61 00 62 00 02 00 00 00 70 00 00 00 "
         "02 00 00 00 31 00 00 00 02 00 00 00 48 00 01",
         Logon(u"ab", u"p", u"1", u"H", true), nullptr},
        {"logon, empty password and identity",
         "01 00 01 00 02 00 00 00 15 00 00 00  02 00 00 00 75 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         Logon(u"u", u"", u"", u"", false), nullptr},
        {"logon, big-endian sender",
         "00 01 00 01 00 00 00 02 00 00 00 15  00 00 00 02 00 61 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01",
         Logon(u"a", u"", u"", u"", true), nullptr},
        {"logout (bare)", "01 00 01 00 03 00 00 00 00 00 00 00", {}, [this] {
             AGENT_LOGON second = LogOn();
             ASSERT_NE(second, nullptr);
             AgentLogoff(second);
         }},
    };
    for (const fake::RequestRow &row : rows)
        fake::CheckRequest(agent_, row);
}

TEST_F(ProtocolLogon, Replies)
{
    auto logOn = [this](DWORD refused) {
        return [=] {
            SetLastError(0);
            AGENT_LOGON logon = LogOn();
            EXPECT_EQ(logon == nullptr ? GetLastError() : 0u, refused);
            AgentLogoff(logon);
        };
    };
    // A logout's status reaches no caller (AgentLogoff succeeds either
    // way): the reply is read whole, however it arrives, and the
    // connection let go.
    auto logOut = [this] {
        const int connection = agent_.Accepted();
        AGENT_LOGON logon = LogOn();
        ASSERT_NE(logon, nullptr);
        EXPECT_EQ(AgentLogoff(logon), 1);
        EXPECT_TRUE(agent_.WaitUntil([&] { return !agent_.IsOpen(connection); }));
    };
    const fake::ReplyRow rows[] = {
        {"logon accepted", "01 00 02 00 02 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), logOn(0)},
        {"logon refused", "01 00 02 00 02 00 00 00 04 00 00 00  2e 05 00 00", fake::Status(1326), logOn(1326)},
        {"logon refused, big-endian", "00 01 00 02 00 00 00 02 00 00 00 04  00 00 05 2e", fake::Status(1326),
         logOn(1326)},
        // No field of the header is tested: kind 1 and opcode 99 pass.
        {"logon accepted whatever the header says", "01 00 01 00 63 00 00 00 04 00 00 00  00 00 00 00",
         fake::Status(0), logOn(0), OpLogon},
        {"logout accepted", "01 00 02 00 03 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), logOut},
        {"logout refused, big-endian", "00 01 00 02 00 00 00 03 00 00 00 04  00 00 00 05", fake::Status(5), logOut},
    };
    for (const fake::ReplyRow &row : rows)
        fake::CheckReply(agent_, row);
}
