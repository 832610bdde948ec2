// Send and receive faults injected from outside the library: test programs
// define sendmsg and recv themselves, so the library's calls (and ACE's)
// come here first; the real calls are found with dlsym(RTLD_NEXT).
// Peeks are not counted: they only ask whether a pooled connection is
// still quiet, and carry no message.
#include "test_seams.h"

#include <cerrno>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/types.h>

namespace {

template <typename Function>
Function Real(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    using SendMessage = ssize_t (*)(int, const struct msghdr *, int);
    static const SendMessage real = Real<SendMessage>("sendmsg");
    if (agent::platform::FaultHit(agent::platform::Fault::Send)) {
        errno = ECONNRESET;
        return -1;
    }
    return real(fd, message, flags);
}

extern "C" ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    using Receive = ssize_t (*)(int, void *, size_t, int);
    static const Receive real = Real<Receive>("recv");
    if ((flags & MSG_PEEK) == 0 && agent::platform::FaultHit(agent::platform::Fault::Receive)) {
        errno = ECONNRESET;
        return -1;
    }
    return real(fd, buffer, length, flags);
}
