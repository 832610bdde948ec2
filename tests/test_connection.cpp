// AgentConnection against the fake agent: logon bytes, states, receive
// buffer, malformed and broken replies.
#include "agent_test.h"
#include "file_messages.h"
#include "transport/agent_connection.h"
#include "session/logon_exchange.h"
#include "session/machine_identity.h"

#include <ace/INET_Addr.h>

using namespace agent;
using fake::Bytes;
using fake::Payload;
using fake::W;

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::InstallTestAdapters();
        address_.set(agent_.port(), "127.0.0.1");
    }
    // A connection that is connected and, if asked, logged on.
    void Open(AgentConnection &c, bool logOn = true)
    {
        ASSERT_EQ(c.Connect(address_), 0) << GetLastError();
        if (logOn) {
            ASSERT_EQ(Logon(c, W(u"user").c_str(), W(u"pw").c_str(), 0), 0) << GetLastError();
        }
    }
    fake::FakeAgent agent_;
    ACE_INET_Addr address_;
};

Bytes ExpectedLogon(const fake::WString &user, const fake::WString &password, uint8_t flag)
{
    char host[kHostNameBytes] = {};
    ReadHostName(host);
    return fake::LogonRequest(user, password, W(u"000094043000077026000060"), fake::Utf16(host), flag != 0);
}

} // namespace

TEST_F(ConnectionTest, LogonSendsCredentialsIdentityAndFlag)
{
    struct Case {
        const char16_t *password;
        int flag;
        uint8_t wireFlag;
    } cases[] = {{u"pw", 1, 1}, {u"", 0, 0}, {u"pw", 0x100, 0}, {u"pw", 0x1FF, 1}};
    for (const Case &c : cases) {
        AgentConnection connection;
        const int index = agent_.Accepted();
        ASSERT_EQ(connection.Connect(address_), 0);
        ASSERT_TRUE(agent_.WaitUntil([&] { return agent_.Accepted() == index + 1; }));
        ASSERT_EQ(Logon(connection, W(u"user").c_str(), W(c.password).c_str(), c.flag), 0);
        EXPECT_EQ(connection.state, Ready);
        const Bytes expected = ExpectedLogon(W(u"user"), W(c.password), c.wireFlag);
        EXPECT_EQ(fake::ToHex(agent_.Received(index)), fake::ToHex(expected)) << "flag " << c.flag;
    }
}

TEST_F(ConnectionTest, MachineIdSkipsWirelessAdapters)
{
    using agent::platform::TestAdapter;
    struct Case {
        std::vector<TestAdapter> adapters;
        const char *id;
    } cases[] = {
        {{{"Intel Wireless-AC", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}},
          {"Realtek Ethernet", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, 6, {"127.0.0.3"}, {"255.0.0.0"}}},
         "000094043000077026000060"},
        {{{"Wireless only", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}}}, ""},
        {{{"a wireless card", {1, 2, 3, 4, 5, 6}, 6, {"127.0.0.2"}, {"255.0.0.0"}}}, "001006003000005002000004"},
        {{{"eight bytes", {1, 2, 3, 4, 5, 6, 7, 8}, 8, {"127.0.0.2"}, {"255.0.0.0"}}}, "001006003008005002007004"},
        {{}, ""},
    };
    const TestAdapter none = {};
    for (const Case &c : cases) {
        // An empty list is installed as such (a null one would mean the real adapters).
        agent::platform::SetAdapterListForTesting(c.adapters.empty() ? &none : c.adapters.data(), c.adapters.size());
        char text[kMachineIdChars] = {};
        ReadMachineIdText(text);
        EXPECT_STREQ(text, c.id);
        WCHAR wide[kMachineIdChars] = {};
        ReadMachineId(wide);
        EXPECT_EQ(fake::WString(wide), fake::Utf16(c.id));
    }
    fake::InstallTestAdapters();
}

TEST_F(ConnectionTest, WrongStateOrArgumentsSendNothing)
{
    AgentConnection c;
    SetLastError(0);
    EXPECT_EQ(Logon(c, W(u"user").c_str(), W(u"pw").c_str(), 0), -1); // not connected
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    Open(c, false);
    EXPECT_EQ(Logon(c, W(u"").c_str(), W(u"pw").c_str(), 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Logon(c, W(u"user").c_str(), nullptr, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Logout(c), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(c.RunStringRequest(OpCreateDirectory, W(u"C:\\x").c_str()), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(c.state, Connected);
    ASSERT_EQ(Logon(c, W(u"user").c_str(), W(u"pw").c_str(), 0), 0);
    EXPECT_EQ(Logon(c, W(u"user").c_str(), W(u"pw").c_str(), 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(c.Connect(address_), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(c.state, Ready);
    EXPECT_EQ(c.RunStringRequest(OpCreateDirectory, W(u"").c_str()), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(agent_.CountOf(OpLogon), 1u);
    EXPECT_EQ(agent_.CountOf(OpCreateDirectory), 0u);
}

TEST_F(ConnectionTest, LogonReplies)
{
    struct Case {
        Bytes reply;
        bool close;
        int result;
        ConnectionState state;
        DWORD error;
    } cases[] = {
        {fake::StatusReply(OpLogon, 1326), false, -1, Connected, 1326},
        {fake::Header(2, OpLogon, 0), false, -1, Connected, 0xDEAD},          // no status: read fails
        {fake::StatusReply(OpPathIsRoot, 0), false, 0, Ready, 0xDEAD},         // no header test
        {fake::Reply(OpLogon, Payload(true).u32(0)), false, 0, Ready, 0xDEAD}, // big-endian agent
        {fake::Header(2, OpLogon, 4), true, -1, Closed, 10054},               // closed mid-message
    };
    for (const Case &c : cases) {
        fake::Action answer = fake::Send(c.reply);
        if (c.close)
            answer.ThenClose();
        agent_.Queue(OpLogon, answer);
        AgentConnection connection;
        Open(connection, false);
        SetLastError(0xDEAD);
        EXPECT_EQ(Logon(connection, W(u"user").c_str(), W(u"pw").c_str(), 0), c.result) << fake::ToHex(c.reply);
        EXPECT_EQ(connection.state, c.state) << fake::ToHex(c.reply);
        EXPECT_EQ(GetLastError(), c.error == 0xDEAD ? fake::HeldLastError(0xDEAD) : c.error) << fake::ToHex(c.reply);
    }
}

TEST_F(ConnectionTest, LogoutStatus)
{
    AgentConnection ok;
    Open(ok);
    EXPECT_EQ(Logout(ok), 0);
    EXPECT_EQ(ok.state, Connected);

    agent_.Queue(OpLogout, fake::Send(fake::StatusReply(OpLogout, 5)));
    AgentConnection refused;
    Open(refused);
    EXPECT_EQ(Logout(refused), 0);
    EXPECT_EQ(refused.state, Ready);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(fake::ToHex(agent_.RequestsOf(OpLogout).back().raw()), "01 00 01 00 03 00 00 00 00 00 00 00");
}

TEST_F(ConnectionTest, ReceiveBufferGrowsOnceAndIsReused)
{
    AgentConnection c;
    Open(c);
    EXPECT_EQ(c.ReceiveBufferSize(), kReceiveBufferSize);
    Payload big;
    big.u32(0);
    big.raw(Bytes(30000 - 4, 0x5A));
    agent_.Queue(OpRemovePath, fake::Send(fake::Reply(OpRemovePath, big)));
    agent_.Queue(OpRemovePath, fake::Send(fake::Reply(OpRemovePath, Payload().u32(7).raw(Bytes(96, 1)))));
    ASSERT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), 0);
    const size_t grown = c.ReceiveBufferSize();
    EXPECT_GE(grown, 30000u);
    EXPECT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), -1);
    EXPECT_EQ(GetLastError(), 7u);
    EXPECT_EQ(c.ReceiveBufferSize(), grown);
    EXPECT_EQ(c.state, Ready);
}

TEST_F(ConnectionTest, OversizedAnnouncementIsRefusedWithoutAllocating)
{
    AgentConnection c;
    Open(c);
    agent_.Queue(OpRemovePath, fake::Send(fake::Header(2, OpRemovePath, 0xFFFFFFF0u)));
    EXPECT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAEMSGSIZE));
    EXPECT_EQ(c.state, Closed);
    EXPECT_EQ(c.ReceiveBufferSize(), kReceiveBufferSize);
}

TEST_F(ConnectionTest, PeerClosingMidMessageReportsReset)
{
    const Bytes cuts[] = {
        {},                                     // nothing at all
        fake::Hex("01 00 02"),                  // inside the header
        fake::Header(2, OpRemovePath, 8),       // header, no payload
        fake::Concat({fake::Header(2, OpRemovePath, 8), fake::Hex("00 00")}),
    };
    for (const Bytes &cut : cuts) {
        AgentConnection c;
        Open(c);
        agent_.Queue(OpRemovePath, fake::Send(cut).ThenClose());
        SetLastError(0);
        EXPECT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), -1);
        EXPECT_EQ(GetLastError(), 10054u) << fake::ToHex(cut);
        EXPECT_EQ(c.state, Closed);
        // Nothing more is sent on a closed connection.
        EXPECT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), -1);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    }
}

TEST_F(ConnectionTest, ReplySplitAtEveryByteIsReassembled)
{
    const Bytes reply = fake::Reply(OpRemovePath, Payload().u32(0x57).raw(Bytes(9, 0xEE)));
    AgentConnection c;
    Open(c);
    for (size_t split = 1; split < reply.size(); ++split) {
        agent_.Queue(OpRemovePath, fake::Send(Bytes(reply.begin(), reply.begin() + split))
                                       .ThenSend(Bytes(reply.begin() + split, reply.end()), 2));
        SetLastError(0);
        EXPECT_EQ(c.RunStringRequest(OpRemovePath, W(u"C:\\a").c_str()), -1) << split;
        EXPECT_EQ(GetLastError(), 0x57u) << split;
        ASSERT_EQ(c.state, Ready) << split;
    }
}
