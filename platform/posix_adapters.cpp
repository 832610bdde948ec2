// GetAdaptersInfo over getifaddrs: IPv4 adapters without loopback, as
// Windows lists them, with "Wireless" in the description of Wi-Fi links.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct Adapter {
    std::string name;
    std::vector<std::pair<std::string, std::string>> addresses;
    unsigned char address[MAX_ADAPTER_ADDRESS_LENGTH] = {};
    unsigned addressLength = 0;
};

bool IsWirelessInterface(const std::string &name)
{
    struct stat st;
    return ::stat(("/sys/class/net/" + name + "/wireless").c_str(), &st) == 0;
}

} // namespace

ULONG GetAdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size)
{
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    ifaddrs *all = nullptr;
    if (::getifaddrs(&all) != 0)
        return ERROR_NOT_ENOUGH_MEMORY;
    std::vector<Adapter> adapters;
    auto find = [&](const char *name) -> Adapter & {
        for (Adapter &a : adapters)
            if (a.name == name)
                return a;
        adapters.push_back(Adapter{});
        adapters.back().name = name;
        return adapters.back();
    };
    for (ifaddrs *it = all; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || (it->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        if (it->ifa_addr->sa_family == AF_INET && it->ifa_netmask != nullptr) {
            char ip[INET_ADDRSTRLEN] = {};
            char mask[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(it->ifa_addr)->sin_addr, ip, sizeof ip);
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(it->ifa_netmask)->sin_addr, mask, sizeof mask);
            find(it->ifa_name).addresses.emplace_back(ip, mask);
        } else if (it->ifa_addr->sa_family == AF_PACKET) {
            auto *ll = reinterpret_cast<sockaddr_ll *>(it->ifa_addr);
            Adapter &a = find(it->ifa_name);
            a.addressLength = ll->sll_halen < MAX_ADAPTER_ADDRESS_LENGTH ? ll->sll_halen : MAX_ADAPTER_ADDRESS_LENGTH;
            std::memcpy(a.address, ll->sll_addr, a.addressLength);
        }
    }
    ::freeifaddrs(all);

    std::vector<agent::platform::AdapterRecord> list;
    std::vector<std::string> descriptions;
    descriptions.reserve(adapters.size());
    for (const Adapter &a : adapters) {
        if (a.addresses.empty())
            continue;
        descriptions.push_back(a.name + (IsWirelessInterface(a.name) ? " Wireless" : " Ethernet"));
    }
    size_t d = 0;
    for (const Adapter &a : adapters) {
        if (a.addresses.empty())
            continue;
        agent::platform::AdapterRecord t = {};
        t.description = descriptions[d++].c_str();
        std::memcpy(t.address, a.address, sizeof t.address);
        t.addressLength = a.addressLength;
        for (size_t i = 0; i < a.addresses.size() && i < 4; ++i) {
            t.ip[i] = a.addresses[i].first.c_str();
            t.mask[i] = a.addresses[i].second.c_str();
        }
        list.push_back(t);
    }
    return agent::platform::BuildAdapterChain(list.data(), list.size(), info, size);
}
