// Keepalive and I/O time-outs on a connection's socket, POSIX side.
#include "platform/platform.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace agent {
namespace platform {

int EnableKeepAlive(ACE_HANDLE handle)
{
    const int on = 1;
    const int idle = kKeepAliveIdleSeconds;
    const int interval = kKeepAliveIntervalSeconds;
    const int probes = kKeepAliveProbes;
    if (::setsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0)
        return -1;
    return 0;
}

int SetIoTimeout(ACE_HANDLE handle, DWORD milliseconds)
{
    timeval limit = {};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    if (::setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        ::setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
        return -1;
    return 0;
}

} // namespace platform
} // namespace agent
