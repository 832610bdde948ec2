// The two files a copy works on, each closed when the copy leaves unless
// closed before: a local file (CloseHandle) and a remote file handle
// (AgentCloseHandle, which pools or destroys its connection).
#ifndef AGENT_COPY_HANDLES_H
#define AGENT_COPY_HANDLES_H

#include "session/agent_logon.h"
#include "session/last_agent_error.h"
#include "session/pending_handle.h"
#include "platform/platform.h"

#include <exception>

namespace agent {

class LocalFile {
public:
    explicit LocalFile(HANDLE handle) : handle_(handle) {}
    ~LocalFile()
    {
        const KeptLastError cause;
        Close();
    }
    LocalFile(const LocalFile &) = delete;
    LocalFile &operator=(const LocalFile &) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // False when the close failed: the last buffered bytes may be lost.
    bool Close()
    {
        if (!valid())
            return true;
        HANDLE h = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != 0;
    }

private:
    HANDLE handle_;
};

class RemoteFile {
public:
    RemoteFile(AgentLogon *logon, HANDLE handle)
        : logon_(logon), handle_(handle), outOfMemoryMark_(OutOfMemoryEvents())
    {
    }
    ~RemoteFile()
    {
        const KeptLastError cause;
        Close();
    }
    RemoteFile(const RemoteFile &) = delete;
    RemoteFile &operator=(const RemoteFile &) = delete;

    HANDLE get() const { return handle_; }
    // Closes the handle held before.
    void Reset(HANDLE handle)
    {
        Close();
        handle_ = handle;
        outOfMemoryMark_ = OutOfMemoryEvents();
    }
    // The copy's result, and its cause, do not depend on the close.
    void Close()
    {
        const KeptLastError cause;
        CloseReportingCause();
    }
    // AgentCloseHandle's result and last error (1 when nothing is open):
    // for a copy whose data are not safe until the agent closed the file.
    BOOL CloseReportingCause()
    {
        if (handle_ == nullptr)
            return 1;
        HANDLE h = handle_;
        handle_ = nullptr;
        // Memory that ran out while the file was open (an exception
        // unwinding the copy, or a local step that reported it) may have
        // left the connection half way through something: it is destroyed,
        // not pooled.
        if (std::uncaught_exceptions() > 0 || OutOfMemoryEvents() != outOfMemoryMark_) {
            HandleUse use(h, HandleKind::File);
            if (use.connection() != nullptr)
                use.connection()->Break();
        }
        return AgentCloseHandle(logon_, h);
    }

private:
    AgentLogon *logon_;
    HANDLE handle_;
    unsigned outOfMemoryMark_;
};

} // namespace agent

#endif
