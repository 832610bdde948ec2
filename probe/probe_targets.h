// Where one probe sweep sends: the broadcast address of every IPv4
// address in the adapter list, each distinct one once.
#ifndef AGENT_PROBE_TARGETS_H
#define AGENT_PROBE_TARGETS_H

#include "session/machine_identity.h"

#include <ace/Basic_Types.h>
#include <ace/Containers_T.h>

namespace agent {

// Dotted quad "a.b.c.d" (each part 0..255) as a host-order address.
bool ParseDottedQuad(const char *text, size_t capacity, ACE_UINT32 &address);

// address | ~mask for one IpAddressList entry. False when the entry is
// not probed: no address (0.0.0.0) or text that is not a dotted quad.
bool BroadcastAddressOf(const IP_ADDR_STRING &entry, ACE_UINT32 &broadcast);

// Calls visit(broadcast, wireless) in adapter-list order for every entry
// to probe. A broadcast address already probed in this sweep is skipped;
// once 32 distinct addresses are recorded, further ones are probed
// without being remembered.
template <typename Visit>
void ForEachProbeTarget(const IP_ADAPTER_INFO *list, Visit &&visit)
{
    ACE_Fixed_Set<ACE_UINT32, 32> probed;
    for (const IP_ADAPTER_INFO *adapter = list; adapter != nullptr; adapter = adapter->Next) {
        const bool wireless = IsWireless(*adapter);
        for (const IP_ADDR_STRING *entry = &adapter->IpAddressList; entry != nullptr; entry = entry->Next) {
            ACE_UINT32 broadcast = 0;
            if (!BroadcastAddressOf(*entry, broadcast))
                continue;
            if (probed.insert(broadcast) == 1)
                continue;
            visit(broadcast, wireless);
        }
    }
}

} // namespace agent

#endif
