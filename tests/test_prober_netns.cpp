// The prober on real broadcast subnets, inside a network (and host name)
// namespace this test makes for itself: two bridge interfaces with
// addresses of their own, and agent sockets listening on their broadcast
// addresses. Linux loops a broadcast sent on a bridge back to local
// sockets, so the whole exchange stays inside the namespace.
//
// The outer test re-runs this program under `unshare --net --uts`; the
// inner test (disabled in an ordinary run) does the work there and leaves
// a marker file when it has passed.
#include "session/machine_identity.h"
#include "log_capture.h"
#include "probe_support.h"

#include <ace/Thread_Manager.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using fake::Datagram;
using fake::ProbeRecorder;
using fake::UdpPeer;
using fake::W;

const char kMarkerVariable[] = "AGENT_PROBE_NETNS_MARKER";

std::vector<std::string> ReadLines(const std::filesystem::path &path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

TEST(ProberNetns, EndToEndOnBridges)
{
    if (std::is_same<WCHAR, wchar_t>::value)
        GTEST_SKIP() << "network namespaces need Linux; this build targets Windows";
    if (std::system("unshare --net --uts true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot create a network namespace here (needs root and util-linux unshare)";

    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    ASSERT_FALSE(error) << "cannot find this test program: " << error.message();
    const std::filesystem::path marker =
        std::filesystem::temp_directory_path() /
        ("agent_prober_netns_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::remove(marker, error);

    const std::string script = "hostname PC1 || { echo no-uts > \"$1\"; exit 0; }; "
                               "ip link set lo up; "
                               "{ ip link add br0 type bridge && ip link add br1 type bridge; } "
                               "|| { echo no-bridge > \"$1\"; exit 0; }; "
                               "ip addr add 10.77.0.1/24 dev br0 && ip addr add 10.77.0.20/24 dev br0 && "
                               "ip addr add 10.78.0.1/24 dev br1 && ip link set br0 up && ip link set br1 up "
                               "|| exit 3; "
                               "ulimit -n 256; AGENT_PROBE_NETNS_MARKER=\"$1\" exec \"$0\" --gtest_also_run_disabled_tests "
                               "--gtest_filter='ProberInNetns.*'";
    const std::string command = "timeout 120 unshare --net --uts sh -c '" + script + "' '" + self.string() + "' '" +
                                marker.string() + "'";
    const int status = std::system(command.c_str());
    const std::vector<std::string> outcome = ReadLines(marker);
    std::filesystem::remove(marker, error);
    if (!outcome.empty() && outcome[0] == "no-bridge")
        GTEST_SKIP() << "bridge interfaces cannot be made in the namespace";
    if (!outcome.empty() && outcome[0] == "no-uts")
        GTEST_SKIP() << "the host name cannot be set in the namespace";
    // One line per inner test.
    const std::vector<std::string> expected = {"passed BroadcastProbesAndAnswers", "passed OpenFailsWhenEverySendFails",
                                               "passed OpenFailsWithoutASocket"};
    EXPECT_EQ(outcome, expected) << "the run inside the namespace failed (status " << status
                                 << "); its output is above";
}

// Runs only inside the namespace made above.
class ProberInNetns : public ::testing::Test {
protected:
    void SetUp() override
    {
        marker_ = std::getenv(kMarkerVariable);
        if (marker_ == nullptr)
            GTEST_SKIP() << "runs only inside the namespace made by ProberNetns.EndToEndOnBridges";
        ASSERT_EQ(AgentInit(), 1);
        // Make sure this really is the namespace: its host name and only
        // the two bridges as adapters.
        char host[agent::kHostNameBytes] = {};
        agent::ReadHostName(host);
        ASSERT_STREQ(host, "PC1");
        ULONG size = 0;
        ASSERT_EQ(GetAdaptersInfo(nullptr, &size), static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
        std::unique_ptr<unsigned char[]> block(new unsigned char[size]);
        auto *list = reinterpret_cast<IP_ADAPTER_INFO *>(block.get());
        ASSERT_EQ(GetAdaptersInfo(list, &size), static_cast<ULONG>(ERROR_SUCCESS));
        for (const IP_ADAPTER_INFO *a = list; a != nullptr; a = a->Next)
            ASSERT_EQ(std::string(a->Description).compare(0, 2, "br"), 0) << a->Description;
    }
    void TearDown() override
    {
        fake::InstallNoAdapters();
        if (marker_ == nullptr)
            return;
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        name.erase(0, std::string("DISABLED_").size());
        std::ofstream(marker_, std::ios::app) << (HasFailure() || IsSkipped() ? "failed " : "passed ") << name << "\n";
    }

    int ThreadCount() const { return static_cast<int>(ACE_Thread_Manager::instance()->count_threads()); }

    const char *marker_ = nullptr;
    fake::LogCapture log_;
};

const agent::platform::TestAdapter kWired = {
    "Bridge Ethernet", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}, 6, {"10.77.0.1"}, {"255.255.255.0"}};
const agent::platform::TestAdapter kWireless = {
    "Bridge Wireless", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0}, 6, {"10.78.0.1"}, {"255.255.255.0"}};
// No interface has this subnet, so a send to its broadcast address fails.
const agent::platform::TestAdapter kUnrouted = {
    "Unrouted Ethernet", {0x77}, 6, {"10.99.0.1"}, {"255.255.255.0"}};

TEST_F(ProberInNetns, DISABLED_BroadcastProbesAndAnswers)
{
    const agent::platform::TestAdapter adapters[] = {kWired, kUnrouted, kWireless};
    agent::platform::SetAdapterListForTesting(adapters, 3);

    UdpPeer wiredSubnet("10.77.0.255");
    ASSERT_TRUE(wiredSubnet.ok());
    const unsigned short port = wiredSubnet.port();
    UdpPeer wirelessSubnet("10.78.0.255", port);
    UdpPeer agentHost("10.77.0.20");
    ASSERT_TRUE(wirelessSubnet.ok());
    ASSERT_TRUE(agentHost.ok());

    ProbeRecorder recorder;
    AgentProber *prober = AgentOpenProbe(port, &ProbeRecorder::Callback, &recorder);
    ASSERT_NE(prober, nullptr);
    const std::string failedSend = "Unable to broadcast probe packet to port " + std::to_string(port) + "\n";

    std::vector<Datagram> wired, wireless;
    for (int sweep = 0; sweep < 2; ++sweep) {
        SCOPED_TRACE(sweep);
        if (sweep == 1) {
            EXPECT_EQ(AgentDoProbe(prober), 1);
        }
        wired = wiredSubnet.Drain(300);
        wireless = wirelessSubnet.Drain(300);
        ASSERT_EQ(wired.size(), 1u);
        ASSERT_EQ(wireless.size(), 1u);
        EXPECT_EQ(wired[0].bytes, "0,0,PC1,000094043000077026000060");
        EXPECT_EQ(wireless[0].bytes, "0,1,PC1,000094043000077026000060");
        // The unrouted subnet's send failed, was logged, and did not stop the sweep.
        EXPECT_EQ(log_.ErrorsStartingWith(failedSend), static_cast<size_t>(sweep + 1));
    }
    EXPECT_EQ(wired[0].from.get_ip_address(), 0x0A4D0001u);

    // An agent on 10.77.0.20 answers to where the probe came from.
    ASSERT_TRUE(agentHost.SendTo("1,5,AGENT-PC", wired[0].from));
    ASSERT_TRUE(recorder.WaitForCount(1, 2000));
    const auto reply = recorder.Replies()[0];
    EXPECT_EQ(reply.value, 5u);
    EXPECT_EQ(reply.name, W(u"AGENT-PC"));
    EXPECT_EQ(reply.address, 0x0A4D0014u);
    EXPECT_EQ(reply.context, &recorder);

    EXPECT_EQ(AgentCloseProbe(prober), 1);
    EXPECT_EQ(log_.ErrorsStartingWith("Unable to receive request from broadcast peer"), 1u);
}

TEST_F(ProberInNetns, DISABLED_OpenFailsWhenEverySendFails)
{
    agent::platform::SetAdapterListForTesting(&kUnrouted, 1);
    const int threadsBefore = ThreadCount();
    ProbeRecorder recorder;
    EXPECT_EQ(AgentOpenProbe(4321, &ProbeRecorder::Callback, &recorder), nullptr);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(log_.ErrorsStartingWith("Unable to broadcast probe packet to port 4321\n"), 1u);
    EXPECT_EQ(log_.ErrorsStartingWith("Unable to receive request from broadcast peer"), 1u);
}

TEST_F(ProberInNetns, DISABLED_OpenFailsWithoutASocket)
{
    agent::platform::SetAdapterListForTesting(&kWired, 1);
    // Use up every descriptor this process may have (the namespace run
    // starts with a low limit), so that the prober's socket cannot open.
    struct Hog {
        ACE_SOCK_Dgram socket;
        ~Hog() { socket.close(); }
    };
    std::vector<std::unique_ptr<Hog>> hogs;
    for (int i = 0; i < 1024; ++i) {
        auto hog = std::make_unique<Hog>();
        if (hog->socket.open(ACE_Addr::sap_any) == -1)
            break;
        hogs.push_back(std::move(hog));
    }
    ASSERT_LT(hogs.size(), 1024u) << "descriptors did not run out";
    const int threadsBefore = ThreadCount();
    ProbeRecorder recorder;
    EXPECT_EQ(AgentOpenProbe(4321, &ProbeRecorder::Callback, &recorder), nullptr);
    EXPECT_EQ(ThreadCount(), threadsBefore);
    EXPECT_EQ(log_.ErrorsStartingWith("Unable to open broadcast socket: "), 1u);
    // No thread was started, so no receiver ended.
    EXPECT_EQ(log_.ErrorsStartingWith("Unable to receive request from broadcast peer"), 0u);
}

} // namespace
