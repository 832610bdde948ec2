// The platform layer on Windows: the Win32 calls are the real API, so only
// the library's own helpers live here.
#include "platform/platform.h"

#include <cerrno>

namespace agent {
namespace platform {

// ACE moves the Windows Sockets code of a failed socket call into errno;
// GetLastError may already hold something else by the time we look.
void SetLastSocketError()
{
    DWORD code = static_cast<DWORD>(errno);
    if (code == 0)
        code = static_cast<DWORD>(::WSAGetLastError());
    // A host name that does not resolve may leave no code behind.
    ::SetLastError(code != 0 ? code : static_cast<DWORD>(WSAHOST_NOT_FOUND));
}

void SetLastSocketErrorOrReset()
{
    // Only errno: WSAGetLastError may still hold an earlier call's code.
    const DWORD code = static_cast<DWORD>(errno);
    // A peer that closed in the middle of a message is a reset to the host.
    ::SetLastError(code != 0 ? code : static_cast<DWORD>(WSAECONNRESET));
}

} // namespace platform
} // namespace agent
