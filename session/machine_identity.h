// What identifies this PC to an agent: MachineId (24 digits from the first
// wired adapter's hardware address) and ComputerName (the host name).
#ifndef AGENT_MACHINE_IDENTITY_H
#define AGENT_MACHINE_IDENTITY_H

#include "platform/platform.h"

namespace agent {

constexpr size_t kMachineIdChars = 25;
constexpr size_t kHostNameBytes = 257;
constexpr size_t kComputerNameChars = 257;

// The adapter chain in one zero-filled process-heap block, or null. The
// caller frees it with HeapFree.
IP_ADAPTER_INFO *GetAdapterList();
bool IsWireless(const IP_ADAPTER_INFO &adapter);

// MachineId text into a 25-byte buffer; left untouched without a suitable adapter.
void ReadMachineIdText(char (&buffer)[kMachineIdChars]);
void ReadMachineId(WCHAR (&buffer)[kMachineIdChars]);
// The host name bytes as the system gives them into a 257-byte buffer;
// left untouched when neither source answers.
void ReadHostName(char (&buffer)[kHostNameBytes]);
// The host name as UTF-16 (converted from the ANSI code page).
void ReadComputerName(WCHAR (&buffer)[kComputerNameChars]);

// Both, as a logon sends them.
struct MachineIdentity {
    WCHAR machineId[kMachineIdChars] = {};
    WCHAR computerName[kComputerNameChars] = {};
};
void ReadMachineIdentity(MachineIdentity &identity);

} // namespace agent

#endif
