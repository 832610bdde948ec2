// AgentCopyFilesFromAgentW and AgentCopyFilesToAgentW: the many-file copy
// of copy/copy_files.cpp, one direction each.
#include "copy/copy_file_ex.h"
#include "copy/copy_files.h"
#include "copy/flight_control.h"
#include "session/export_frame.h"

#include <algorithm>

using namespace agent;

namespace {

// Both exports' checks, made before any item is touched; then every item
// starts as not done, so an item the copy never reaches says so.
BOOL CopyFiles(copy_files::Direction direction, AGENT_LOGON logon, AGENT_COPY_ITEM *items, DWORD count,
               AgentCopyItemRoutine progress, void *context, BOOL *cancel, DWORD flags, DWORD maxInFlight)
{
    if (logon == nullptr || (items == nullptr && count > 0) || (flags & ~copy_ex::kKnownFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    copy_files::Batch batch;
    batch.direction = direction;
    batch.logon = logon;
    batch.items = items;
    batch.count = count;
    batch.progress = progress;
    batch.context = context;
    batch.cancel = cancel;
    batch.flags = flags;
    batch.cap = maxInFlight == 0 ? copy_files::kDefaultCap : std::min<DWORD>(maxInFlight, FlightControl::kMaxCap);
    for (DWORD i = 0; i < count; ++i)
        items[i].result = ERROR_REQUEST_ABORTED;
    return Guarded<BOOL>(0, [&] { return copy_files::CopyFiles(batch); });
}

} // namespace

extern "C" BOOL AGENTAPI AgentCopyFilesFromAgentW(AGENT_LOGON logon, AGENT_COPY_ITEM *items, DWORD count,
                                                  AgentCopyItemRoutine progress, void *context, BOOL *cancel,
                                                  DWORD flags, DWORD maxInFlight)
{
    return CopyFiles(copy_files::Direction::FromAgent, logon, items, count, progress, context, cancel, flags,
                     maxInFlight);
}

extern "C" BOOL AGENTAPI AgentCopyFilesToAgentW(AGENT_LOGON logon, AGENT_COPY_ITEM *items, DWORD count,
                                                AgentCopyItemRoutine progress, void *context, BOOL *cancel,
                                                DWORD flags, DWORD maxInFlight)
{
    return CopyFiles(copy_files::Direction::ToAgent, logon, items, count, progress, context, cancel, flags,
                     maxInFlight);
}
