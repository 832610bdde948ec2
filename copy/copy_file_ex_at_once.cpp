// A listed file that one read holds, from the agent in one round trip:
// its open, the read of one byte more than the listed size and the close
// go out back to back on one connection, and the answers are read in turn
// (the agent answers a connection's requests one by one, in order). On a
// link of a few milliseconds the three round trips, not the bytes, are
// what a backup of many small files waits for.
#include "copy/copy_file_ex.h"

#include "protocol/handle_messages.h"
#include "protocol/status_reply.h"

namespace agent {
namespace copy_ex {

namespace {

// The burst on one connection. 0 when `data` holds exactly `size` bytes.
DWORD ReadBurst(AgentConnection &c, const WCHAR *remotePath, unsigned char *data, DWORD size)
{
    protocol::ReadFileAtRequest read;
    read.toRead = size + 1;
    if (c.SendEncoded(OpCreateFile, [&](ACE_OutputCDR &out) {
            return protocol::EncodeCreateFileRequest(out, remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                                     FILE_ATTRIBUTE_NORMAL);
        }) != 0 ||
        c.SendEncoded(OpReadFileAt, [&](ACE_OutputCDR &out) { return protocol::EncodeReadFileAtRequest(out, read); }) !=
            0 ||
        c.SendBareRequest(OpCloseHandle) != 0) {
        c.Break(); // requests half sent, answers unread
        return GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
    }
    c.ExpectReplies(3);
    DWORD cause = 0;
    auto note = [&cause](DWORD status) {
        if (cause == 0)
            cause = status;
    };
    auto lost = [&] {
        c.Break();
        note(GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA));
        return cause;
    };
    uint32_t status = 0;
    if (c.ReceiveStatus(OpCreateFile, status) != 0)
        return lost();
    const bool opened = status == 0;
    note(status);
    MessageHeader header;
    protocol::CountReply got;
    ACE_InputCDR *in = c.Receive(ReplyShape::WithData(OpReadFileAt, protocol::kCountReplyLength), header);
    if (in == nullptr || !protocol::DecodeCountReply(*in, got))
        return lost();
    // More than was asked for cannot be taken, nor the stream kept in step.
    if (got.count > read.toRead) {
        SetLastError(ERROR_INVALID_DATA);
        return lost();
    }
    if (c.ReceiveData(data, got.count) != 0)
        return lost();
    note(got.status);
    // One byte more than listed: the file grew; fewer: it shrank.
    note(got.count != size ? ERROR_FILE_INVALID : 0);
    if (c.ReceiveStatus(OpCloseHandle, status) != 0)
        return lost();
    const bool closed = status == 0;
    note(status);
    // What an agent makes of a read and close after a refused open is its
    // own affair, and a file it may still hold open goes with the
    // connection: neither is used again.
    if (!opened || !closed)
        c.Break();
    return cause;
}

} // namespace

DWORD ReadRemoteAtOnce(AgentLogon *logon, const WCHAR *remotePath, unsigned char *data, DWORD size)
{
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA);
    if (held.get()->state != Ready)
        return ERROR_INVALID_ACCESS;
    const DWORD cause = ReadBurst(*held, remotePath, data, size);
    held.ReleaseAfterReturn();
    return cause;
}

} // namespace copy_ex
} // namespace agent
