// Test programs link this in place of platform/adapter_list.cpp: the
// adapter list is the one the test installed, so that discovery and
// MachineId never depend on (or send to) the machine's real networks.
#include "test_seams.h"

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace agent {
namespace platform {
namespace {

struct StoredAdapter {
    std::string description;
    unsigned char address[8];
    unsigned addressLength;
    std::vector<std::pair<std::string, std::string>> addresses;
};

struct InstalledList {
    std::mutex lock;
    bool installed = false;
    std::vector<StoredAdapter> adapters;
};

InstalledList &Installed()
{
    static InstalledList list;
    return list;
}

} // namespace

void SetAdapterListForTesting(const TestAdapter *adapters, size_t count)
{
    InstalledList &list = Installed();
    std::lock_guard<std::mutex> guard(list.lock);
    list.adapters.clear();
    list.installed = adapters != nullptr;
    for (size_t i = 0; adapters != nullptr && i < count; ++i) {
        StoredAdapter s;
        s.description = adapters[i].description != nullptr ? adapters[i].description : "";
        std::memcpy(s.address, adapters[i].address, sizeof s.address);
        s.addressLength = adapters[i].addressLength;
        for (size_t k = 0; k < 4 && adapters[i].ip[k] != nullptr; ++k)
            s.addresses.emplace_back(adapters[i].ip[k], adapters[i].mask[k] != nullptr ? adapters[i].mask[k] : "");
        list.adapters.push_back(s);
    }
}

ULONG AdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size)
{
    InstalledList &installed = Installed();
    {
        std::lock_guard<std::mutex> guard(installed.lock);
        if (installed.installed) {
            std::vector<TestAdapter> list;
            for (const StoredAdapter &s : installed.adapters) {
                TestAdapter t = {};
                t.description = s.description.c_str();
                std::memcpy(t.address, s.address, sizeof t.address);
                t.addressLength = s.addressLength;
                for (size_t k = 0; k < s.addresses.size() && k < 4; ++k) {
                    t.ip[k] = s.addresses[k].first.c_str();
                    t.mask[k] = s.addresses[k].second.c_str();
                }
                list.push_back(t);
            }
            return BuildAdapterChain(list.data(), list.size(), info, size);
        }
    }
    return GetAdaptersInfo(info, size);
}

} // namespace platform
} // namespace agent
