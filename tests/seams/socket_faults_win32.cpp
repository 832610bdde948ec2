// Windows has no symbol interposition, so Windows test programs link this
// object in place of the library's platform/socket_send.cpp: the same code
// under other names, with a fault point in front of the send and the
// receive. The shipped DLL is built from the untouched file.
#define SendGathered SendGatheredUnfaulted
#define ReceiveSome ReceiveSomeUnfaulted
#include "platform/socket_send.cpp"
#undef SendGathered
#undef ReceiveSome

#include "test_seams.h"

namespace agent {
namespace platform {

int SendGathered(ACE_HANDLE handle, const iovec *parts, int count, size_t *sent)
{
    if (FaultHit(Fault::Send)) {
        *sent = 0;
        errno = WSAECONNRESET;
        return -1;
    }
    return SendGatheredUnfaulted(handle, parts, count, sent);
}

ssize_t ReceiveSome(ACE_HANDLE handle, void *buffer, size_t length)
{
    if (FaultHit(Fault::Receive)) {
        errno = WSAECONNRESET;
        return -1;
    }
    return ReceiveSomeUnfaulted(handle, buffer, length);
}

} // namespace platform
} // namespace agent
