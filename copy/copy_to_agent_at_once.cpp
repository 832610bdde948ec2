// A file that one write holds, into its partial file in one round trip.
// Each of the seven exchanges of such a put waits a whole round trip
// while it moves a few bytes; on a link of a few milliseconds that, not
// the data, is what a restore of many small files waits for. The agent
// answers a connection's requests strictly one by one and in order, so
// the requests that do not depend on an answer go out back to back and
// the answers are read in turn; the move into place waits for them, so a
// file only takes its name once its size has been seen on the agent.
#include "copy/copy_to_agent.h"

#include "protocol/handle_messages.h"
#include "protocol/path_messages.h"
#include "protocol/status_reply.h"
#include "session/export_frame.h"
#include "transport/reply_burst.h"

namespace agent {
namespace copy_to {

namespace {

// The burst on one connection. 0 when the partial file holds `size`
// bytes, closed, with its time; `created` false only when the agent said
// it did not make the file.
DWORD FillBurst(AgentConnection &c, const WCHAR *partialPath, const unsigned char *data, DWORD size,
                const FILETIME &lastWrite, bool &created)
{
    ReplyBurst burst(c);
    // A zero time is one the local file system does not know.
    const bool timed = lastWrite.dwLowDateTime != 0 || lastWrite.dwHighDateTime != 0;
    protocol::SetFileTimeRequest times;
    times.lastWrite = lastWrite;
    // From the first byte sent the agent may have made the file.
    created = true;
    if (c.SendEncoded(OpCreateFile, [&](ACE_OutputCDR &out) {
            return protocol::EncodeCreateFileRequest(out, partialPath, GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS,
                                                     FILE_ATTRIBUTE_NORMAL);
        }) != 0 ||
        (size > 0 && c.SendDataRequest(OpWriteFile, data, size) != 0) ||
        (timed && c.SendEncoded(OpSetFileTime, [&](ACE_OutputCDR &out) {
             return protocol::EncodeSetFileTimeRequest(out, times);
         }) != 0) ||
        c.SendBareRequest(OpCloseHandle) != 0 ||
        c.SendEncoded(OpGetFileAttributesEx,
                      [&](ACE_OutputCDR &out) { return protocol::EncodePathRequest(out, partialPath); }) != 0 ||
        burst.Send(3 + (size > 0 ? 1 : 0) + (timed ? 1 : 0)) != 0)
        return burst.Lost();

    uint32_t status = 0;
    if (c.ReceiveStatus(OpCreateFile, status) != 0)
        return burst.Lost();
    created = status == 0;
    burst.Note(status);
    if (size > 0) {
        MessageHeader header;
        protocol::CountReply written;
        ACE_InputCDR *in = c.Receive(ReplyShape::Exact(OpWriteFile, protocol::kCountReplyLength), header);
        if (in == nullptr || !protocol::DecodeCountReply(*in, written))
            return burst.Lost();
        burst.Note(written.status);
        burst.Note(written.count != size ? ERROR_WRITE_FAULT : 0);
    }
    if (timed) {
        if (c.ReceiveStatus(OpSetFileTime, status) != 0)
            return burst.Lost();
        burst.Note(status);
    }
    if (c.ReceiveStatus(OpCloseHandle, status) != 0)
        return burst.Lost();
    // A file the agent may still hold open leaves with its connection.
    const bool closed = status == 0;
    burst.Note(status);
    MessageHeader header;
    ACE_InputCDR *in = c.Receive(ReplyShape::Minimum(OpGetFileAttributesEx, 4), header);
    if (in == nullptr)
        return burst.Lost();
    protocol::GetFileAttributesExReply landed;
    const bool decoded = protocol::DecodeGetFileAttributesExReply(*in, landed);
    if (landed.status != 0 || !decoded)
        burst.Note(landed.status != 0 ? landed.status : static_cast<DWORD>(ERROR_INVALID_DATA));
    else if ((static_cast<uint64_t>(landed.data.nFileSizeHigh) << 32 | landed.data.nFileSizeLow) != size)
        burst.Note(ERROR_FILE_INVALID);
    // What an agent makes of the requests after a refused open is its
    // own affair: that connection is not used again.
    if (!created || !closed)
        c.Break();
    return burst.cause();
}

} // namespace

DWORD FillPartialAtOnce(AgentLogon *logon, const WCHAR *partialPath, const unsigned char *data, DWORD size,
                        const FILETIME &lastWrite, bool &created)
{
    created = false;
    return CauseOnPooledConnection(
        logon, [&](AgentConnection &c) { return FillBurst(c, partialPath, data, size, lastWrite, created); });
}

} // namespace copy_to
} // namespace agent
