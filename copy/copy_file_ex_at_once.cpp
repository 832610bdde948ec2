// A listed file that one read holds, from the agent in one round trip:
// its open, the read of one byte more than the listed size and the close
// go out back to back on one connection, and the answers are read in turn
// (the agent answers a connection's requests one by one, in order). On a
// link of a few milliseconds the three round trips, not the bytes, are
// what a backup of many small files waits for.
#include "copy/copy_file_ex.h"

#include "protocol/handle_messages.h"
#include "protocol/status_reply.h"
#include "session/export_frame.h"
#include "transport/reply_burst.h"

namespace agent {
namespace copy_ex {

namespace {

// The burst on one connection. 0 when `data` holds exactly `size` bytes.
DWORD ReadBurst(AgentConnection &c, const WCHAR *remotePath, unsigned char *data, DWORD size)
{
    ReplyBurst burst(c);
    protocol::ReadFileAtRequest read;
    read.toRead = size + 1;
    if (c.SendEncoded(OpCreateFile, [&](ACE_OutputCDR &out) {
            return protocol::EncodeCreateFileRequest(out, remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                                     FILE_ATTRIBUTE_NORMAL);
        }) != 0 ||
        c.SendEncoded(OpReadFileAt, [&](ACE_OutputCDR &out) { return protocol::EncodeReadFileAtRequest(out, read); }) !=
            0 ||
        c.SendBareRequest(OpCloseHandle) != 0 || burst.Send(3) != 0)
        return burst.Lost();
    uint32_t status = 0;
    if (c.ReceiveStatus(OpCreateFile, status) != 0)
        return burst.Lost();
    const bool opened = status == 0;
    burst.Note(status);
    MessageHeader header;
    protocol::CountReply got;
    ACE_InputCDR *in = c.Receive(ReplyShape::WithData(OpReadFileAt, protocol::kCountReplyLength), header);
    if (in == nullptr || !protocol::DecodeCountReply(*in, got))
        return burst.Lost();
    // More than was asked for cannot be taken, nor the stream kept in step.
    if (got.count > read.toRead) {
        SetLastError(ERROR_INVALID_DATA);
        return burst.Lost();
    }
    if (c.ReceiveData(data, got.count) != 0)
        return burst.Lost();
    burst.Note(got.status);
    // One byte more than listed: the file grew; fewer: it shrank.
    burst.Note(got.count != size ? ERROR_FILE_INVALID : 0);
    if (c.ReceiveStatus(OpCloseHandle, status) != 0)
        return burst.Lost();
    const bool closed = status == 0;
    burst.Note(status);
    // What an agent makes of a read and close after a refused open is its
    // own affair, and a file it may still hold open goes with the
    // connection: neither is used again.
    if (!opened || !closed)
        c.Break();
    return burst.cause();
}

} // namespace

DWORD ReadRemoteAtOnce(AgentLogon *logon, const WCHAR *remotePath, unsigned char *data, DWORD size)
{
    return CauseOnPooledConnection(logon, [&](AgentConnection &c) { return ReadBurst(c, remotePath, data, size); });
}

} // namespace copy_ex
} // namespace agent
