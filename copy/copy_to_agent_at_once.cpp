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

namespace agent {
namespace copy_to {

namespace {

class Burst {
public:
    Burst(AgentConnection &connection, const WCHAR *partialPath) : c_(connection), partialPath_(partialPath) {}

    // Sends the requests; false when one could not go (the cause in the
    // thread's last error).
    bool Send(const unsigned char *data, DWORD size, const FILETIME &lastWrite)
    {
        if (c_.SendEncoded(OpCreateFile, [&](ACE_OutputCDR &out) {
                return protocol::EncodeCreateFileRequest(out, partialPath_, GENERIC_READ | GENERIC_WRITE,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS,
                                                         FILE_ATTRIBUTE_NORMAL);
            }) != 0)
            return false;
        ++sent_;
        if (size > 0) {
            if (c_.SendDataRequest(OpWriteFile, data, size) != 0)
                return false;
            ++sent_;
        }
        // A zero time is one the local file system does not know.
        timed_ = lastWrite.dwLowDateTime != 0 || lastWrite.dwHighDateTime != 0;
        if (timed_) {
            protocol::SetFileTimeRequest times;
            times.lastWrite = lastWrite;
            if (c_.SendEncoded(OpSetFileTime, [&](ACE_OutputCDR &out) {
                    return protocol::EncodeSetFileTimeRequest(out, times);
                }) != 0)
                return false;
            ++sent_;
        }
        if (c_.SendBareRequest(OpCloseHandle) != 0)
            return false;
        ++sent_;
        if (c_.SendEncoded(OpGetFileAttributesEx,
                           [&](ACE_OutputCDR &out) { return protocol::EncodePathRequest(out, partialPath_); }) != 0)
            return false;
        ++sent_;
        return true;
    }

    // Reads every answer in turn, as the one-by-one exchanges would read
    // them, keeping the first failure. 0 when the partial file holds
    // `size` bytes, closed, with its time.
    DWORD Receive(DWORD size, bool &created)
    {
        c_.ExpectReplies(sent_);
        uint32_t status = 0;
        if (c_.ReceiveStatus(OpCreateFile, status) != 0)
            return Lost();
        created = status == 0;
        Note(status);
        if (size > 0) {
            MessageHeader header;
            protocol::CountReply written;
            ACE_InputCDR *in = c_.Receive(ReplyShape::Exact(OpWriteFile, protocol::kCountReplyLength), header);
            if (in == nullptr || !protocol::DecodeCountReply(*in, written))
                return Lost();
            Note(written.status);
            Note(written.count != size ? ERROR_WRITE_FAULT : 0);
        }
        if (timed_) {
            if (c_.ReceiveStatus(OpSetFileTime, status) != 0)
                return Lost();
            Note(status);
        }
        if (c_.ReceiveStatus(OpCloseHandle, status) != 0)
            return Lost();
        // A file the agent may still hold open leaves with its connection.
        const bool closed = status == 0;
        Note(status);
        MessageHeader header;
        ACE_InputCDR *in = c_.Receive(ReplyShape::Minimum(OpGetFileAttributesEx, 4), header);
        if (in == nullptr)
            return Lost();
        protocol::GetFileAttributesExReply landed;
        const bool decoded = protocol::DecodeGetFileAttributesExReply(*in, landed);
        if (landed.status != 0 || !decoded)
            Note(landed.status != 0 ? landed.status : static_cast<DWORD>(ERROR_INVALID_DATA));
        else if ((static_cast<uint64_t>(landed.data.nFileSizeHigh) << 32 | landed.data.nFileSizeLow) != size)
            Note(ERROR_FILE_INVALID);
        // What an agent makes of the requests after a refused open is its
        // own affair: that connection is not used again.
        if (!created || !closed)
            c_.Break();
        return cause_;
    }

private:
    void Note(DWORD cause)
    {
        if (cause_ == 0)
            cause_ = cause;
    }

    // A reply that did not come whole: the connection is broken; the
    // first cause noted before stands.
    DWORD Lost()
    {
        c_.Break();
        Note(GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA));
        return cause_;
    }

    AgentConnection &c_;
    const WCHAR *partialPath_;
    unsigned sent_ = 0;
    bool timed_ = false;
    DWORD cause_ = 0;
};

} // namespace

DWORD FillPartialAtOnce(AgentLogon *logon, const WCHAR *partialPath, const unsigned char *data, DWORD size,
                        const FILETIME &lastWrite, bool &created)
{
    created = false;
    ConnectionHolder held(logon);
    if (held.get() == nullptr)
        return GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA);
    AgentConnection &connection = *held;
    if (connection.state != Ready)
        return ERROR_INVALID_ACCESS;
    Burst burst(connection, partialPath);
    // From the first byte sent the agent may have made the file.
    created = true;
    DWORD cause = 0;
    if (!burst.Send(data, size, lastWrite)) {
        cause = GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_WRITE_FAULT);
        connection.Break(); // requests half sent, answers unread
    } else {
        cause = burst.Receive(size, created);
    }
    held.ReleaseAfterReturn();
    return cause;
}

} // namespace copy_to
} // namespace agent
