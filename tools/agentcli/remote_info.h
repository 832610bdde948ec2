// What the agent says about one remote file or folder through a handle:
// the target of a link rather than the link, and the volume serial number
// and file index that tell one folder from another.
#ifndef AGENTCLI_REMOTE_INFO_H
#define AGENTCLI_REMOTE_INFO_H

#include "agent_stub.h"
#include "wide_text.h"

#include <cstdint>

namespace agentcli {

struct RemoteIdentity {
    uint32_t volume = 0;
    uint64_t index = 0;
    bool operator<(const RemoteIdentity &o) const { return volume != o.volume ? volume < o.volume : index < o.index; }
};

inline uint64_t FileTimeTicks(const FILETIME &t)
{
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

inline FILETIME FileTimeOf(uint64_t ticks)
{
    FILETIME t;
    t.dwLowDateTime = static_cast<DWORD>(ticks);
    t.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return t;
}

// Opens `remote` with backup semantics (so folders open too), reads its
// by-handle information and closes it. 0, or the Win32 code of the failure.
uint32_t ReadRemoteInfo(AGENT_LOGON logon, const WString &remote, BY_HANDLE_FILE_INFORMATION &info);

// The size and last-write time of what `remote` leads to (a link's target).
// 0, or the Win32 code of the failure.
inline uint32_t ReadTargetStamp(AGENT_LOGON logon, const WString &remote, uint64_t &size, uint64_t &lastWrite)
{
    BY_HANDLE_FILE_INFORMATION info;
    const uint32_t error = ReadRemoteInfo(logon, remote, info);
    if (error == 0) {
        size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        lastWrite = FileTimeTicks(info.ftLastWriteTime);
    }
    return error;
}

inline RemoteIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return {info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

} // namespace agentcli

#endif
