// Test programs link this in place of platform/adapter_list.cpp: the
// adapter list is the one the test installed, so that discovery and
// MachineId never depend on (or send to) the machine's real networks.
#include "test_seams.h"

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace agent {
namespace platform {
namespace {

// A copy of the installed records, whose text points into `text` (a deque
// never moves its strings), so that the caller's list may go away.
struct InstalledList {
    std::mutex lock;
    bool installed = false;
    std::vector<TestAdapter> adapters;
    std::deque<std::string> text;

    const char *Keep(const char *s) { return text.emplace_back(s != nullptr ? s : "").c_str(); }
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
    list.installed = adapters != nullptr;
    list.adapters.assign(adapters, adapters != nullptr ? adapters + count : adapters);
    list.text.clear();
    for (TestAdapter &a : list.adapters) {
        a.description = list.Keep(a.description);
        for (size_t k = 0; k < 4; ++k) {
            const bool used = a.ip[k] != nullptr && (k == 0 || a.ip[k - 1] != nullptr);
            a.mask[k] = used ? list.Keep(a.mask[k]) : nullptr;
            a.ip[k] = used ? list.Keep(a.ip[k]) : nullptr;
        }
    }
}

ULONG AdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size)
{
    InstalledList &list = Installed();
    {
        std::lock_guard<std::mutex> guard(list.lock);
        if (list.installed)
            return BuildAdapterChain(list.adapters.data(), list.adapters.size(), info, size);
    }
    return GetAdaptersInfo(info, size);
}

} // namespace platform
} // namespace agent
