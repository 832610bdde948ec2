// The adapter list seam: tests install their own list so that discovery
// and MachineId never depend on (or send to) the machine's real networks.
#include "platform/test_seams.h"

#include <cstring>
#include <mutex>
#include <string>
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

std::mutex &SeamLock()
{
    static std::mutex lock;
    return lock;
}
bool installed = false;
std::vector<StoredAdapter> &Installed()
{
    static std::vector<StoredAdapter> list;
    return list;
}

void CopyText(char *dest, size_t capacity, const char *src)
{
    std::strncpy(dest, src != nullptr ? src : "", capacity - 1);
    dest[capacity - 1] = 0;
}

} // namespace

ULONG BuildAdapterChain(const TestAdapter *adapters, size_t count, IP_ADAPTER_INFO *info, ULONG *size)
{
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (count == 0)
        return ERROR_NO_DATA;
    // Every adapter record is followed by the extra address entries of
    // its list, all inside the caller's one block.
    size_t needed = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t extra = 0;
        for (size_t k = 1; k < 4 && adapters[i].ip[k] != nullptr; ++k)
            ++extra;
        needed += sizeof(IP_ADAPTER_INFO) + extra * sizeof(IP_ADDR_STRING);
    }
    if (info == nullptr || *size < needed) {
        *size = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    std::memset(info, 0, needed);
    char *cursor = reinterpret_cast<char *>(info);
    IP_ADAPTER_INFO *previous = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const TestAdapter &t = adapters[i];
        auto *record = reinterpret_cast<IP_ADAPTER_INFO *>(cursor);
        cursor += sizeof(IP_ADAPTER_INFO);
        if (previous != nullptr)
            previous->Next = record;
        previous = record;
        CopyText(record->Description, sizeof record->Description, t.description);
        record->AddressLength = t.addressLength > 8 ? 8 : t.addressLength;
        std::memcpy(record->Address, t.address, record->AddressLength);
        record->Index = static_cast<DWORD>(i + 1);
        record->Type = MIB_IF_TYPE_ETHERNET;
        CopyText(record->IpAddressList.IpAddress.String, 16, t.ip[0] != nullptr ? t.ip[0] : "0.0.0.0");
        CopyText(record->IpAddressList.IpMask.String, 16, t.mask[0] != nullptr ? t.mask[0] : "0.0.0.0");
        IP_ADDR_STRING *last = &record->IpAddressList;
        for (size_t k = 1; k < 4 && t.ip[k] != nullptr; ++k) {
            auto *entry = reinterpret_cast<IP_ADDR_STRING *>(cursor);
            cursor += sizeof(IP_ADDR_STRING);
            CopyText(entry->IpAddress.String, 16, t.ip[k]);
            CopyText(entry->IpMask.String, 16, t.mask[k]);
            last->Next = entry;
            last = entry;
        }
    }
    *size = static_cast<ULONG>(needed);
    return ERROR_SUCCESS;
}

void SetAdapterListForTesting(const TestAdapter *adapters, size_t count)
{
    std::lock_guard<std::mutex> guard(SeamLock());
    Installed().clear();
    installed = adapters != nullptr;
    for (size_t i = 0; adapters != nullptr && i < count; ++i) {
        StoredAdapter s;
        s.description = adapters[i].description != nullptr ? adapters[i].description : "";
        std::memcpy(s.address, adapters[i].address, sizeof s.address);
        s.addressLength = adapters[i].addressLength;
        for (size_t k = 0; k < 4 && adapters[i].ip[k] != nullptr; ++k)
            s.addresses.emplace_back(adapters[i].ip[k], adapters[i].mask[k] != nullptr ? adapters[i].mask[k] : "");
        Installed().push_back(s);
    }
}

ULONG AdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size)
{
    {
        std::lock_guard<std::mutex> guard(SeamLock());
        if (installed) {
            std::vector<TestAdapter> list;
            for (const StoredAdapter &s : Installed()) {
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
