// Keepalive and I/O time-outs on a connection's socket, Winsock side.
#include "platform/platform.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <cerrno>

namespace agent {
namespace platform {

int EnableKeepAlive(ACE_HANDLE handle)
{
    const SOCKET s = reinterpret_cast<SOCKET>(handle);
    // SIO_KEEPALIVE_VALS works on every Windows the DLL runs on; it sets
    // idle time and interval, the probe count is the system's unless
    // TCP_KEEPCNT is known (Windows 10 1703 and later).
    tcp_keepalive values = {};
    values.onoff = 1;
    values.keepalivetime = kKeepAliveIdleSeconds * 1000;
    values.keepaliveinterval = kKeepAliveIntervalSeconds * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) != 0) {
        errno = ::WSAGetLastError();
        return -1;
    }
#ifdef TCP_KEEPCNT
    const DWORD probes = kKeepAliveProbes;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char *>(&probes), sizeof probes);
#endif
    return 0;
}

int SetIoTimeout(ACE_HANDLE handle, DWORD milliseconds)
{
    const SOCKET s = reinterpret_cast<SOCKET>(handle);
    const DWORD limit = milliseconds;
    if (::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit), sizeof limit) != 0) {
        errno = ::WSAGetLastError();
        return -1;
    }
    return 0;
}

} // namespace platform
} // namespace agent
