#include "probe/probe_datagram.h"

#include <ace/OS_NS_stdio.h>

namespace agent {

int FormatProbe(char (&datagram)[kProbeDatagramBytes], bool wireless, const char *hostName, const char *machineId)
{
    const int length = ACE_OS::snprintf(datagram, kProbeDatagramBytes, "%u,%u,%s,%s", 0u, wireless ? 1u : 0u,
                                        hostName != nullptr ? hostName : "", machineId != nullptr ? machineId : "");
    if (length < 0)
        return 0;
    // A cut text is sent as far as it fits; the terminator never goes out.
    return length < static_cast<int>(kProbeDatagramBytes) ? length : static_cast<int>(kProbeDatagramBytes) - 1;
}

} // namespace agent
