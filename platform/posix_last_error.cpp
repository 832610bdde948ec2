// The thread's last error and the socket error codes a Windows host sees.
#include "platform/platform.h"

#include <cerrno>
#include <netdb.h>

namespace {
thread_local DWORD lastError = 0;

DWORD WinsockCode(int error)
{
    switch (error) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return static_cast<DWORD>(error);
    }
}
} // namespace

extern "C" DWORD GetLastError(void) { return lastError; }
extern "C" void SetLastError(DWORD error) { lastError = error; }

namespace agent {
namespace platform {

void SetLastSocketError()
{
    const int error = errno;
    // A host name that does not resolve leaves no errno behind.
    SetLastError(error != 0 ? WinsockCode(error) : static_cast<DWORD>(WSAHOST_NOT_FOUND));
}

void SetLastSocketErrorOrReset()
{
    const DWORD code = WinsockCode(errno);
    SetLastError(code != 0 ? code : static_cast<DWORD>(WSAECONNRESET));
}

} // namespace platform
} // namespace agent
