// Every byte the library sends or receives on a connection passes here.
#include "platform/platform.h"

#include <ace/ACE.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/Time_Value.h>

#include <cerrno>
#include <cstring>
#ifndef _WIN32
#include <sys/socket.h>
#endif

namespace agent {
namespace platform {

int SendGathered(ACE_HANDLE handle, const iovec *parts, int count, size_t *sent)
{
    *sent = 0;
#ifdef MSG_NOSIGNAL
    // writev would raise SIGPIPE on a closed peer and end the host process.
    iovec local[8];
    if (count > 8)
        return -1;
    std::memcpy(local, parts, sizeof(iovec) * count);
    iovec *next = local;
    int left = count;
    while (left > 0) {
        msghdr message = {};
        message.msg_iov = next;
        message.msg_iovlen = left;
        ssize_t n = ::sendmsg(handle, &message, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // The socket blocks, so "would block" means SO_SNDTIMEO ran out.
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                errno = ETIMEDOUT;
            return -1;
        }
        if (n == 0) {
            errno = ECONNRESET;
            return -1;
        }
        *sent += static_cast<size_t>(n);
        SkipSent(next, left, static_cast<size_t>(n));
    }
    return 0;
#else
    ssize_t n = ACE::sendv_n(handle, parts, count, nullptr, sent);
    return n < 0 ? -1 : 0;
#endif
}

ssize_t ReceiveSome(ACE_HANDLE handle, void *buffer, size_t length)
{
    // ACE_OS::recv leaves the Windows Sockets code in errno on Windows.
    const ssize_t n = ACE_OS::recv(handle, static_cast<char *>(buffer), length, 0);
#ifndef _WIN32
    // The socket blocks, so "would block" means SO_RCVTIMEO ran out;
    // Winsock reports WSAETIMEDOUT itself.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        errno = ETIMEDOUT;
#endif
    return n;
}

bool NothingToRead(ACE_HANDLE handle)
{
#ifndef _WIN32
    // One non-blocking peek costs less than a zero-wait poll, and this runs
    // before every reuse of a pooled connection.
    char byte;
    for (;;) {
        const ssize_t n = ::recv(handle, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
#else
    // handle_read_ready: 1 readable (bytes or the peer's close); the zero
    // wait running out is -1 with ETIME in this ACE (0 in its documentation);
    // any other -1 is a broken socket.
    errno = 0;
    const int rc = ACE::handle_read_ready(handle, &ACE_Time_Value::zero);
    return rc == 0 || (rc == -1 && errno == ETIME);
#endif
}

int WaitSocket(ACE_HANDLE handle, bool write, DWORD milliseconds)
{
    ACE_Time_Value limit;
    limit.msec(static_cast<long>(milliseconds));
    errno = 0;
    const int rc = write ? ACE::handle_write_ready(handle, &limit) : ACE::handle_read_ready(handle, &limit);
    if (rc > 0)
        return 1;
    // ACE reports the wait running out as -1 with ETIME.
    return rc == 0 || errno == ETIME ? 0 : -1;
}

#ifndef _WIN32
ssize_t SendSome(ACE_HANDLE handle, const iovec *parts, int count)
{
    msghdr message = {};
    message.msg_iov = const_cast<iovec *>(parts);
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = ::sendmsg(handle, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EAGAIN)
        errno = EWOULDBLOCK;
    return n;
}
#endif

} // namespace platform
} // namespace agent
