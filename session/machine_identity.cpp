#include "session/machine_identity.h"

#include <ace/OS_NS_stdio.h>

#include <cstring>

namespace agent {

IP_ADAPTER_INFO *GetAdapterList()
{
    ULONG size = 0;
    if (platform::AdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW || size == 0)
        return nullptr;
    auto *list = static_cast<IP_ADAPTER_INFO *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (list == nullptr)
        return nullptr;
    ULONG result;
    try {
        result = platform::AdaptersInfo(list, &size);
    } catch (...) {
        // Out of memory while listing: the caller fails rather than send a
        // wrong identity, and the block is not lost.
        HeapFree(GetProcessHeap(), 0, list);
        throw;
    }
    if (result != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, list);
        return nullptr;
    }
    return list;
}

bool IsWireless(const IP_ADAPTER_INFO &adapter)
{
    char description[sizeof adapter.Description + 1] = {};
    std::memcpy(description, adapter.Description, sizeof adapter.Description);
    return std::strstr(description, "Wireless") != nullptr;
}

void ReadMachineIdText(char (&buffer)[kMachineIdChars])
{
    IP_ADAPTER_INFO *list = GetAdapterList();
    for (const IP_ADAPTER_INFO *adapter = list; adapter != nullptr; adapter = adapter->Next) {
        if (IsWireless(*adapter))
            continue;
        const BYTE *a = adapter->Address;
        ACE_OS::snprintf(buffer, kMachineIdChars, "%03d%03d%03d%03d%03d%03d%03d%03d", a[0], a[5], a[2], a[7], a[4],
                         a[1], a[6], a[3]);
        break;
    }
    if (list != nullptr)
        HeapFree(GetProcessHeap(), 0, list);
}

void ReadMachineId(WCHAR (&buffer)[kMachineIdChars])
{
    char text[kMachineIdChars] = {};
    ReadMachineIdText(text);
    if (text[0] == 0)
        return;
    for (size_t i = 0; i < kMachineIdChars; ++i)
        buffer[i] = static_cast<WCHAR>(static_cast<unsigned char>(text[i]));
}

void ReadHostName(char (&buffer)[kHostNameBytes])
{
    if (::gethostname(buffer, static_cast<int>(kHostNameBytes)) == 0) {
        buffer[kHostNameBytes - 1] = 0;
        return;
    }
    std::memset(buffer, 0, sizeof buffer);
    DWORD size = kHostNameBytes;
    if (!GetComputerNameA(buffer, &size))
        std::memset(buffer, 0, sizeof buffer);
    buffer[kHostNameBytes - 1] = 0;
}

void ReadComputerName(WCHAR (&buffer)[kComputerNameChars])
{
    char host[kHostNameBytes] = {};
    ReadHostName(host);
    WCHAR wide[kComputerNameChars] = {};
    if (MultiByteToWideChar(GetACP(), 0, host, -1, wide, static_cast<int>(kComputerNameChars)) <= 0)
        wide[0] = 0;
    wide[kComputerNameChars - 1] = 0;
    std::memcpy(buffer, wide, sizeof wide);
}

void ReadMachineIdentity(MachineIdentity &identity)
{
    ReadMachineId(identity.machineId);
    ReadComputerName(identity.computerName);
}

} // namespace agent
