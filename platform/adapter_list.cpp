// The adapter list the library works from. Alone in its file so that test
// programs can link their own list in its place and never depend on (or
// send to) the machine's real networks.
#include "platform/platform.h"

namespace agent {
namespace platform {

ULONG AdaptersInfo(IP_ADAPTER_INFO *info, ULONG *size) { return GetAdaptersInfo(info, size); }

} // namespace platform
} // namespace agent
