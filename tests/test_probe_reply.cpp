// Discovery from adapter lists alone: where a sweep sends.
#include "test_seams.h"
#include "probe/probe_targets.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

IP_ADDR_STRING Entry(const char *ip, const char *mask)
{
    IP_ADDR_STRING entry = {};
    std::snprintf(entry.IpAddress.String, sizeof entry.IpAddress.String, "%s", ip);
    std::snprintf(entry.IpMask.String, sizeof entry.IpMask.String, "%s", mask);
    return entry;
}

std::string Dotted(ACE_UINT32 a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

TEST(ProbeTargets, BroadcastAddressOfAnEntry)
{
    struct {
        const char *ip;
        const char *mask;
        const char *broadcast; // null: not probed
    } const cases[] = {
        {"192.168.1.10", "255.255.255.0", "192.168.1.255"},
        {"10.0.0.5", "255.0.0.0", "10.255.255.255"},
        {"172.16.5.4", "255.255.240.0", "172.16.15.255"},
        {"127.0.0.1", "255.255.255.255", "127.0.0.1"},
        {"0.0.0.0", "0.0.0.0", nullptr},
        {"0.0.0.0", "255.255.255.0", nullptr},
        {"", "", nullptr},
        {"192.168.1", "255.255.255.0", nullptr},
        {"300.1.1.1", "255.255.255.0", nullptr},
        {"192.168.1.10", "", nullptr},
        {"192.168.1.10x", "255.255.255.0", nullptr},
        {"-1.0.0.1", "255.255.255.0", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.ip) + "/" + c.mask);
        ACE_UINT32 broadcast = 0;
        const bool probed = agent::BroadcastAddressOf(Entry(c.ip, c.mask), broadcast);
        ASSERT_EQ(probed, c.broadcast != nullptr);
        if (probed) {
            EXPECT_EQ(Dotted(broadcast), c.broadcast);
        }
    }
}

struct Target {
    std::string broadcast;
    bool wireless;
    bool operator==(const Target &o) const { return broadcast == o.broadcast && wireless == o.wireless; }
};

std::ostream &operator<<(std::ostream &out, const Target &t)
{
    return out << t.broadcast << (t.wireless ? " (wireless)" : "");
}

// The targets of one sweep over the given adapters, built into a chain the
// way GetAdaptersInfo lays it out.
std::vector<Target> TargetsOf(const std::vector<agent::platform::TestAdapter> &adapters)
{
    ULONG size = 0;
    EXPECT_EQ(agent::platform::BuildAdapterChain(adapters.data(), adapters.size(), nullptr, &size),
              static_cast<ULONG>(ERROR_BUFFER_OVERFLOW));
    std::vector<unsigned char> block(size);
    auto *list = reinterpret_cast<IP_ADAPTER_INFO *>(block.data());
    EXPECT_EQ(agent::platform::BuildAdapterChain(adapters.data(), adapters.size(), list, &size),
              static_cast<ULONG>(ERROR_SUCCESS));
    std::vector<Target> targets;
    agent::ForEachProbeTarget(list, [&](ACE_UINT32 b, bool wireless) { targets.push_back({Dotted(b), wireless}); });
    return targets;
}

TEST(ProbeTargets, OneDatagramPerDistinctSubnetInListOrder)
{
    const std::vector<agent::platform::TestAdapter> adapters = {
        {"Ethernet A", {1}, 6, {"192.168.1.10", "192.168.1.11", "0.0.0.0"}, {"255.255.255.0", "255.255.255.0", "0.0.0.0"}},
        {"Intel Wireless-AC", {2}, 6, {"10.0.0.5"}, {"255.0.0.0"}},
        {"No address", {3}, 6, {}, {}},
        {"wireless in lower case is wired", {4}, 6, {"172.16.5.4", "192.168.1.99"}, {"255.255.240.0", "255.255.255.0"}},
    };
    const std::vector<Target> expected = {
        {"192.168.1.255", false},
        {"10.255.255.255", true},
        {"172.16.15.255", false},
    };
    EXPECT_EQ(TargetsOf(adapters), expected);
    // Every sweep starts with an empty record of probed subnets.
    EXPECT_EQ(TargetsOf(adapters), expected);
}

TEST(ProbeTargets, BeyondThirtyTwoSubnetsEveryAddressIsProbed)
{
    // 33 distinct subnets over nine adapters, then one of the first 32 again
    // (skipped) and the 33rd again (probed: the record is full).
    std::vector<std::string> ips;
    for (int i = 1; i <= 33; ++i)
        ips.push_back("10.0." + std::to_string(i) + ".1");
    ips.push_back("10.0.5.2");
    ips.push_back("10.0.33.2");
    std::vector<agent::platform::TestAdapter> adapters;
    for (size_t i = 0; i < ips.size(); i += 4) {
        agent::platform::TestAdapter a = {};
        a.description = "Ethernet";
        a.addressLength = 6;
        for (size_t k = 0; k < 4 && i + k < ips.size(); ++k) {
            a.ip[k] = ips[i + k].c_str();
            a.mask[k] = "255.255.255.0";
        }
        adapters.push_back(a);
    }
    const std::vector<Target> targets = TargetsOf(adapters);
    ASSERT_EQ(targets.size(), 34u);
    for (int i = 0; i < 33; ++i)
        EXPECT_EQ(targets[static_cast<size_t>(i)].broadcast, "10.0." + std::to_string(i + 1) + ".255");
    EXPECT_EQ(targets[33].broadcast, "10.0.33.255");
}

} // namespace
