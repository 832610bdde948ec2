// An IP_ADAPTER_INFO chain built from plain adapter records, for the
// POSIX GetAdaptersInfo.
#include "platform/platform.h"

#include <cstring>

namespace agent {
namespace platform {
namespace {

void CopyText(char *dest, size_t capacity, const char *src)
{
    std::strncpy(dest, src != nullptr ? src : "", capacity - 1);
    dest[capacity - 1] = 0;
}

} // namespace

ULONG BuildAdapterChain(const AdapterRecord *adapters, size_t count, IP_ADAPTER_INFO *info, ULONG *size)
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
        const AdapterRecord &t = adapters[i];
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

} // namespace platform
} // namespace agent
