// The prober end to end on loopback: every adapter list here is supplied
// by the test and every address in it is a loopback one, so no probe can
// reach a real network.
#include "session/machine_identity.h"
#include "log_capture.h"
#include "probe_support.h"

#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <memory>
#include <thread>

namespace {

using fake::Datagram;
using fake::ProbeRecorder;
using fake::UdpPeer;
using fake::W;

const char kWiredId[] = "000094043000077026000060"; // 00-1A-2B-3C-4D-5E
const char kReceiveEnded[] = "Unable to receive request from broadcast peer";

struct ProberCloser {
    void operator()(AgentProber *p) const { AgentCloseProbe(p); }
};
using ProberPtr = std::unique_ptr<AgentProber, ProberCloser>;

class ProberTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(AgentInit(), 1);
        char host[agent::kHostNameBytes] = {};
        agent::ReadHostName(host);
        host_ = host;
    }
    void TearDown() override { fake::InstallNoAdapters(); }

    static void Install(std::initializer_list<agent::platform::TestAdapter> adapters)
    {
        agent::platform::SetAdapterListForTesting(adapters.begin(), adapters.size());
    }

    std::string Probe(bool wireless, const char *id) const
    {
        return std::string("0,") + (wireless ? "1" : "0") + "," + host_ + "," + id;
    }

    int ThreadCount() const { return static_cast<int>(ACE_Thread_Manager::instance()->count_threads()); }

    std::string host_;
    fake::LogCapture log_;
};

const agent::platform::TestAdapter kWiredLoopback = {
    "Test Ethernet Adapter", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}, 6, {"127.0.0.1"}, {"255.255.255.255"}};

TEST_F(ProberTest, ArgumentChecks)
{
    Install({kWiredLoopback});
    ProbeRecorder recorder;
    SetLastError(0);
    EXPECT_EQ(AgentOpenProbe(0, &ProbeRecorder::Callback, &recorder), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(AgentOpenProbe(4000, nullptr, &recorder), nullptr);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(AgentDoProbe(nullptr), 0);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(AgentCloseProbe(nullptr), 0);
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(recorder.Count(), 0u);
}

// The probe's text, then replies of each kind reaching the callback with
// the sender's address (host byte order) and the caller's context; how a
// reply's text is parsed is the decoder's table. 511 bytes are taken: the
// long name fits exactly, a longer one is the platform's to cut or refuse.
TEST_F(ProberTest, ProbeTextAndRepliesReachTheCallback)
{
    Install({kWiredLoopback});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    ProbeRecorder recorder;
    ProberPtr prober(AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &recorder));
    ASSERT_NE(prober, nullptr);
    std::optional<Datagram> probe = agentSide.Receive(2000);
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(probe->bytes, Probe(false, kWiredId));

    const std::string longName(507, 'N');
    struct {
        std::string bytes;
        DWORD value;
        fake::WString name;
    } const cases[] = {
        {"1,5,AGENT-PC", 5, W(u"AGENT-PC")},
        {"", 0, W(u"")},
        {std::string("1,9,AB\0CD", 9), 9, W(u"AB")},
        {"1,3,\xC3\x9C" "ber-PC", 3, W(u"\u00DCber-PC")},
        {"1,2," + longName, 2, fake::Utf16(longName)},
    };
    for (const auto &c : cases)
        ASSERT_TRUE(agentSide.SendTo(c.bytes, probe->from));
    ASSERT_TRUE(recorder.WaitForCount(std::size(cases), 3000));
    const auto replies = recorder.Replies();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(replies[i].value, cases[i].value);
        EXPECT_FALSE(replies[i].nameNull);
        EXPECT_EQ(replies[i].name, cases[i].name);
        EXPECT_EQ(replies[i].address, 0x7F000001u);
        EXPECT_EQ(replies[i].context, &recorder);
    }
}

std::atomic<int> calls{0};
std::atomic<void *> seen{nullptr};
void AGENTAPI CountCalls(DWORD, const WCHAR *, DWORD, void *context)
{
    seen = context;
    ++calls;
}

TEST_F(ProberTest, NullContextIsPassedBack)
{
    Install({kWiredLoopback});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    calls = 0;
    seen = reinterpret_cast<void *>(1);
    ProberPtr prober(AgentOpenProbe(agentSide.port(), &CountCalls, nullptr));
    ASSERT_NE(prober, nullptr);
    std::optional<Datagram> probe = agentSide.Receive(2000);
    ASSERT_TRUE(probe.has_value());
    ASSERT_TRUE(agentSide.SendTo("1,1,X", probe->from));
    for (int i = 0; i < 200 && calls == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    prober.reset();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(seen.load(), nullptr);
}

TEST_F(ProberTest, WirelessFlagFollowsTheSendingAdapter)
{
    if (!agent::platform::kLoopbackAliasesAreEndpoints)
        GTEST_SKIP() << "needs UDP peers on loopback addresses other than 127.0.0.1";
    Install({
        {"Intel(R) Wireless-AC 9560", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 6, {"127.0.0.2"}, {"255.255.255.255"}},
        kWiredLoopback,
    });
    UdpPeer wiredSide("127.0.0.1");
    ASSERT_TRUE(wiredSide.ok());
    UdpPeer wirelessSide("127.0.0.2", wiredSide.port());
    ASSERT_TRUE(wirelessSide.ok());
    ProbeRecorder recorder;
    ProberPtr prober(AgentOpenProbe(wiredSide.port(), &ProbeRecorder::Callback, &recorder));
    ASSERT_NE(prober, nullptr);
    std::optional<Datagram> fromWireless = wirelessSide.Receive(2000);
    std::optional<Datagram> fromWired = wiredSide.Receive(2000);
    ASSERT_TRUE(fromWireless.has_value());
    ASSERT_TRUE(fromWired.has_value());
    // The identifier is the wired adapter's even though it is listed second.
    EXPECT_EQ(fromWireless->bytes, Probe(true, kWiredId));
    EXPECT_EQ(fromWired->bytes, Probe(false, kWiredId));
}

TEST_F(ProberTest, AllAdaptersWirelessSendsNoIdentifier)
{
    Install({{"Wireless LAN", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, 6, {"127.0.0.1"}, {"255.255.255.255"}}});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    ProbeRecorder recorder;
    ProberPtr prober(AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &recorder));
    ASSERT_NE(prober, nullptr);
    std::optional<Datagram> probe = agentSide.Receive(2000);
    ASSERT_TRUE(probe.has_value());
    EXPECT_EQ(probe->bytes, Probe(true, ""));
}

TEST_F(ProberTest, OneDatagramPerSubnetPerSweep)
{
    if (!agent::platform::kLoopbackAliasesAreEndpoints)
        GTEST_SKIP() << "needs UDP peers on loopback addresses other than 127.0.0.1";
    Install({
        {"Ethernet A", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, 6, {"127.0.0.10", "127.0.0.11", "0.0.0.0"},
         {"255.255.255.0", "255.255.255.0", "0.0.0.0"}},
        {"Ethernet B", {0x02}, 6, {"127.0.0.1"}, {"255.255.255.255"}},
        {"Ethernet C", {0x03}, 6, {"127.5.0.5", "127.0.0.12"}, {"255.255.0.0", "255.255.255.0"}},
    });
    UdpPeer first("127.0.0.255");
    ASSERT_TRUE(first.ok());
    const unsigned short port = first.port();
    UdpPeer second("127.0.0.1", port);
    UdpPeer third("127.5.255.255", port);
    ASSERT_TRUE(second.ok());
    ASSERT_TRUE(third.ok());

    ProbeRecorder recorder;
    ProberPtr prober(AgentOpenProbe(port, &ProbeRecorder::Callback, &recorder));
    ASSERT_NE(prober, nullptr);
    for (int sweep = 0; sweep < 2; ++sweep) {
        SCOPED_TRACE(sweep);
        if (sweep == 1) {
            ASSERT_EQ(AgentDoProbe(prober.get()), 1);
        }
        for (UdpPeer *peer : {&first, &second, &third}) {
            const auto got = peer->Drain(300);
            ASSERT_EQ(got.size(), 1u) << "port " << peer->port();
            EXPECT_EQ(got[0].bytes, Probe(false, kWiredId));
        }
    }
    EXPECT_EQ(log_.Count("Unable to broadcast probe packet"), 0u);
}

TEST_F(ProberTest, NothingToProbeMeansNoProber)
{
    const int threadsBefore = ThreadCount();
    ProbeRecorder recorder;
    fake::InstallNoAdapters();
    EXPECT_EQ(AgentOpenProbe(4000, &ProbeRecorder::Callback, &recorder), nullptr);
    Install({{"Ethernet", {0x01}, 6, {"0.0.0.0"}, {"0.0.0.0"}}, {"Other", {0x02}, 6, {}, {}}});
    EXPECT_EQ(AgentOpenProbe(4000, &ProbeRecorder::Callback, &recorder), nullptr);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    // Each failed open started its receiver and ended it again.
    EXPECT_EQ(log_.ErrorsStartingWith(kReceiveEnded), 2u);
    EXPECT_EQ(recorder.Count(), 0u);
}

TEST_F(ProberTest, LaterSweepWithNothingToProbeKeepsTheProber)
{
    Install({kWiredLoopback});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    ProbeRecorder recorder;
    ProberPtr prober(AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &recorder));
    ASSERT_NE(prober, nullptr);
    ASSERT_EQ(agentSide.Drain(300).size(), 1u);

    Install({{"Ethernet", {0x01}, 6, {"0.0.0.0"}, {"0.0.0.0"}}});
    SetLastError(0);
    EXPECT_EQ(AgentDoProbe(prober.get()), 0);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(agentSide.Drain(300).size(), 0u);

    Install({kWiredLoopback});
    EXPECT_EQ(AgentDoProbe(prober.get()), 1);
    const auto again = agentSide.Drain(300);
    ASSERT_EQ(again.size(), 1u);
    // The receiver is still there.
    ASSERT_TRUE(agentSide.SendTo("1,8,STILL", again[0].from));
    ASSERT_TRUE(recorder.WaitForCount(1, 2000));
    EXPECT_EQ(recorder.Replies()[0].value, 8u);
}

TEST_F(ProberTest, CloseLogsTheEndOfTheReceiverOnce)
{
    Install({kWiredLoopback});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    ProbeRecorder recorder;
    const int threadsBefore = ThreadCount();
    AgentProber *prober = AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &recorder);
    ASSERT_NE(prober, nullptr);
    EXPECT_EQ(ThreadCount(), threadsBefore + 1);
    EXPECT_EQ(log_.ErrorsStartingWith(kReceiveEnded), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(AgentCloseProbe(prober), 1);
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
    std::printf("AgentCloseProbe of an idle prober took %lld us\n", static_cast<long long>(took.count()));
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(log_.ErrorsStartingWith(kReceiveEnded), 1u);
}

TEST_F(ProberTest, NoCallbackAfterCloseWhileRepliesArrive)
{
    Install({kWiredLoopback});
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        log_.Clear();
        UdpPeer agentSide("127.0.0.1");
        ASSERT_TRUE(agentSide.ok());
        ProbeRecorder recorder;
        std::atomic<bool> closed{false};
        std::atomic<int> afterClose{0};
        std::atomic<int> inside{0};
        std::atomic<int> finished{0};
        recorder.onReply = [&](const ProbeRecorder::Reply &reply) {
            ++inside;
            if (closed)
                ++afterClose;
            // Some callbacks linger, so that the close often finds one running.
            if (reply.value % 7 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (closed)
                ++afterClose;
            ++finished;
        };
        AgentProber *prober = AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &recorder);
        ASSERT_NE(prober, nullptr);
        std::optional<Datagram> probe = agentSide.Receive(2000);
        ASSERT_TRUE(probe.has_value());

        std::atomic<bool> stopFlood{false};
        std::thread flood([&] {
            for (unsigned n = 1; !stopFlood; ++n) {
                agentSide.SendTo("1," + std::to_string(n) + ",FLOOD", probe->from);
                if (n % 16 == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const bool flowing = recorder.WaitForCount(50, 5000);
        EXPECT_EQ(AgentCloseProbe(prober), 1);
        closed = true;
        const size_t countAtClose = recorder.Count();
        const int finishedAtClose = finished;
        const int insideAtClose = inside;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stopFlood = true;
        flood.join();

        EXPECT_TRUE(flowing) << "replies never reached the callback";
        EXPECT_EQ(finishedAtClose, insideAtClose) << "a callback was still running when close returned";
        EXPECT_EQ(afterClose.load(), 0);
        EXPECT_EQ(recorder.Count(), countAtClose);
        EXPECT_EQ(log_.ErrorsStartingWith(kReceiveEnded), 1u);
    }
}

TEST_F(ProberTest, TwoProbersRunIndependently)
{
    Install({kWiredLoopback});
    UdpPeer agentSide("127.0.0.1");
    ASSERT_TRUE(agentSide.ok());
    ProbeRecorder first, second;
    ProberPtr a(AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &first));
    ProberPtr b(AgentOpenProbe(agentSide.port(), &ProbeRecorder::Callback, &second));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const auto probes = agentSide.Drain(300);
    ASSERT_EQ(probes.size(), 2u);
    ASSERT_NE(probes[0].from.get_port_number(), probes[1].from.get_port_number());
    for (const Datagram &p : probes)
        ASSERT_TRUE(agentSide.SendTo("1,4,ONE", p.from));
    ASSERT_TRUE(first.WaitForCount(1, 2000));
    ASSERT_TRUE(second.WaitForCount(1, 2000));
    a.reset();
    // Closing one leaves the other receiving.
    ASSERT_TRUE(agentSide.SendTo("1,6,TWO", probes[0].from));
    ASSERT_TRUE(agentSide.SendTo("1,6,TWO", probes[1].from));
    EXPECT_TRUE(second.WaitForCount(2, 2000));
    EXPECT_EQ(first.Count(), 1u);
}

} // namespace
