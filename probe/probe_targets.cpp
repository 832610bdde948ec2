#include "probe/probe_targets.h"

#include <cstdio>
#include <cstring>

namespace agent {

bool ParseDottedQuad(const char *text, size_t capacity, ACE_UINT32 &address)
{
    // The record's text fields need not be terminated.
    char copy[32] = {};
    std::memcpy(copy, text, capacity < sizeof copy - 1 ? capacity : sizeof copy - 1);
    unsigned a = 0, b = 0, c = 0, d = 0;
    char rest = 0;
    if (std::sscanf(copy, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) != 4)
        return false;
    if (a > 255 || b > 255 || c > 255 || d > 255 || copy[0] == '-' || std::strchr(copy, '-') != nullptr)
        return false;
    address = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

bool BroadcastAddressOf(const IP_ADDR_STRING &entry, ACE_UINT32 &broadcast)
{
    ACE_UINT32 address = 0;
    ACE_UINT32 mask = 0;
    if (!ParseDottedQuad(entry.IpAddress.String, sizeof entry.IpAddress.String, address) || address == 0)
        return false;
    // Without a readable mask the subnet is unknown; guessing could probe
    // an unrelated network.
    if (!ParseDottedQuad(entry.IpMask.String, sizeof entry.IpMask.String, mask))
        return false;
    broadcast = address | ~mask;
    return true;
}

} // namespace agent
