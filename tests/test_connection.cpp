// A connection's life seen through the exports and the fake agent: logon
// bytes, machine identity, broken logon replies, cut and split replies.
#include "agent_test.h"
#include "file_messages.h"

#include "session/machine_identity.h"

#include <algorithm>

using namespace agent;
using fake::AgentTest;
using fake::Bytes;
using fake::Payload;
using fake::W;

namespace {

Bytes ExpectedLogon(const fake::WString &user, const fake::WString &password, uint8_t flag,
                    const char *machineId = "000094043000077026000060")
{
    char host[kHostNameBytes] = {};
    ReadHostName(host);
    return fake::LogonRequest(user, password, fake::Utf16(machineId), fake::Utf16(host), flag != 0);
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::InstallTestAdapters();
        ASSERT_EQ(AgentInit(), 1);
    }
    AGENT_LOGON LogOn(const char16_t *password = u"pw")
    {
        return AgentLogonW(W(u"127.0.0.1").c_str(), agent_.port(), W(u"user").c_str(), W(password).c_str());
    }
    fake::FakeAgent agent_;
};

} // namespace

// The logon's bytes: the credentials, the machine id (the first wired
// adapter's address, each byte as three decimal digits; wireless adapters
// are skipped) and the initial-logon flag, which a connection opened later
// for an export does not carry.
TEST_F(ConnectionTest, LogonSendsCredentialsIdentityAndFlag)
{
    using agent::platform::TestAdapter;
    struct Case {
        const char16_t *password;
        std::vector<TestAdapter> adapters;
        const char *id;
    } cases[] = {
        {u"pw",
         {{"Intel Wireless-AC", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}},
          {"Realtek Ethernet", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, 6, {"127.0.0.3"}, {"255.0.0.0"}}},
         "000094043000077026000060"},
        {u"", {{"Wireless only", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}}}, ""},
        {u"pw", {{"a wireless card", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}}}, "001006003000005002000004"},
        {u"pw", {{"eight bytes", {1, 2, 3, 4, 5, 6, 7, 8}, 8, {"127.0.0.2"}, {"255.0.0.0"}}}, "001006003008005002007004"},
        {u"pw", {}, ""},
    };
    const TestAdapter none = {};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        // An empty list is installed as such (a null one would mean the real adapters).
        agent::platform::SetAdapterListForTesting(c.adapters.empty() ? &none : c.adapters.data(), c.adapters.size());
        const int first = agent_.Accepted();
        AGENT_LOGON logon = LogOn(c.password);
        ASSERT_NE(logon, nullptr) << GetLastError();
        EXPECT_EQ(fake::ToHex(agent_.Received(first)), fake::ToHex(ExpectedLogon(W(u"user"), W(c.password), 1, c.id)));

        agent_.Queue(OpCreateFile, fake::Send(fake::StatusReply(OpCreateFile, 0)));
        HANDLE held = AgentCreateFileW(logon, W(u"C:\\f").c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
        ASSERT_NE(held, nullptr);
        agent_.Queue(OpCreateDirectory, fake::Send(fake::StatusReply(OpCreateDirectory, 0)));
        ASSERT_EQ(AgentCreateDirectoryW(logon, W(u"C:\\d").c_str()), 1) << GetLastError();
        const Bytes later = ExpectedLogon(W(u"user"), W(c.password), 0, c.id);
        const Bytes sent = agent_.Received(first + 1);
        EXPECT_EQ(fake::ToHex(Bytes(sent.begin(), sent.begin() + std::min(sent.size(), later.size()))),
                  fake::ToHex(later));
        agent_.Queue(OpCloseHandle, fake::Send(fake::StatusReply(OpCloseHandle, 0)));
        EXPECT_EQ(AgentCloseHandle(logon, held), 1);
        EXPECT_EQ(AgentLogoff(logon), 1);
    }
    fake::InstallTestAdapters();
}

// Logon replies that break off (the accepted and refused ones are the
// logon golden rows'): the cause in both last errors, no connection left.
TEST_F(ConnectionTest, BrokenLogonReplies)
{
    const struct {
        const char *what;
        fake::Action answer;
        DWORD error;
    } cases[] = {
        {"no status", fake::Send(fake::Header(2, OpLogon, 0)), 13},
        {"closed mid-message", fake::Send(fake::Header(2, OpLogon, 4)).ThenClose(), 10054},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        agent_.Queue(OpLogon, c.answer);
        EXPECT_EQ(LogOn(), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(AgentGetLastError(), c.error);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
    }
}

TEST_F(AgentTest, PeerClosingMidMessageReportsReset)
{
    const Bytes cuts[] = {
        {},                                     // nothing at all
        fake::Hex("01 00 02"),                  // inside the header
        fake::Header(2, OpRemovePath, 8),       // header, no payload
        fake::Concat({fake::Header(2, OpRemovePath, 8), fake::Hex("00 00")}),
    };
    for (const Bytes &cut : cuts) {
        SCOPED_TRACE(fake::ToHex(cut));
        const int accepted = agent_.Accepted();
        agent_.Queue(OpRemovePath, fake::Send(cut).ThenClose());
        SetLastError(0);
        EXPECT_EQ(AgentRemovePath(logon_, W(u"C:\\a").c_str()), 0);
        EXPECT_EQ(GetLastError(), 10054u);
        EXPECT_EQ(Idle(), 0);
        // The next call starts on a new connection.
        agent_.Queue(OpRemovePath, fake::Send(fake::StatusReply(OpRemovePath, 0)));
        EXPECT_EQ(AgentRemovePath(logon_, W(u"C:\\a").c_str()), 1) << GetLastError();
        EXPECT_EQ(agent_.Accepted(), accepted + 1);
    }
}

TEST_F(AgentTest, ReplySplitAtEveryByteIsReassembled)
{
    const Bytes reply = fake::Reply(OpRemovePath, Payload().u32(0x57).raw(Bytes(9, 0xEE)));
    for (size_t split = 1; split < reply.size(); ++split) {
        agent_.Queue(OpRemovePath, fake::Send(Bytes(reply.begin(), reply.begin() + split))
                                       .ThenSend(Bytes(reply.begin() + split, reply.end()), 2));
        SetLastError(0);
        EXPECT_EQ(AgentRemovePath(logon_, W(u"C:\\a").c_str()), 0) << split;
        EXPECT_EQ(GetLastError(), 0x57u) << split;
        ASSERT_EQ(Idle(), 1) << split;
    }
    EXPECT_EQ(agent_.Accepted(), 1); // one connection, in step throughout
}
