#include "session.h"

#include "credentials.h"
#include "refusal.h"
#include "protocol/user_data_messages.h"
#include "protocol/wide_string.h"
#include "win32_codes.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace refagent {

using namespace agent;

void OpenFile::Reset(int fd, bool readable, bool writable, bool directory, std::string name)
{
    Close();
    fd_ = fd;
    readable_ = readable;
    writable_ = writable;
    directory_ = directory;
    linkAttributes_ = 0;
    name_ = std::move(name);
}

int OpenFile::Close()
{
    if (fd_ < 0)
        return 0;
    const int r = ::close(fd_);
    fd_ = -1;
    return r == 0 ? 0 : errno;
}

Session::Session(const AgentConfig &config, ACE_SOCK_Stream &stream, int id, LogonThrottle &throttle,
                 std::string peer)
    : config_(config), channel_(stream), id_(id), throttle_(throttle), peer_(std::move(peer))
{
    channel_.SetSendStall(config_.readTimeout);
}

ReadLimits Session::NextRequestLimits() const
{
    ReadLimits limits;
    limits.stall = config_.readTimeout;
    if (loggedOn_) {
        limits.firstByte = config_.idleTimeout;
    } else {
        limits.maxPayload = kMaxPreLogonPayload;
        limits.deadline = logonDeadline_;
    }
    return limits;
}

void Session::Log(const char *format, ...) const
{
    if (!config_.verbose)
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "[conn %d] %s\n", id_, line);
}

void Session::Run()
{
    for (;;) {
        MessageHeader header;
        const WireChannel::Read r = channel_.ReadRequest(header, NextRequestLimits());
        if (r == WireChannel::Read::Closed) {
            Log("closed by the client");
            return;
        }
        if (r == WireChannel::Read::TimedOut) {
            Log("deadline passed: connection closed");
            return;
        }
        if (r == WireChannel::Read::Malformed) {
            Log("malformed request header: connection dropped");
            return;
        }
        Log("opcode %u, %u payload bytes", header.opcode, header.length);
        if (!Dispatch(header)) {
            Log("opcode %u: connection dropped", header.opcode);
            return;
        }
    }
}

uint32_t Session::Find(const std::u16string &path, bool followLast, MappedPath &mapped, Location &at) const
{
    mapped = MapWindowsPath(config_.drives, path);
    if (mapped.status != 0)
        return mapped.status;
    const int error = Locate(mapped.drive->rootFd(), mapped.parts, followLast, at);
    return error == 0 ? 0 : LocateStatus(error);
}

UniqueFd Session::OpenFolder(const std::u16string &path, MappedPath &mapped, uint32_t &status) const
{
    Location at;
    status = Find(path, true, mapped, at);
    if (status != 0)
        return UniqueFd();
    const int fd = OpenAt(at, O_PATH | O_DIRECTORY);
    if (fd < 0)
        status = -fd == ENOENT ? kErrorFileNotFound : -fd == ENOTDIR ? kErrorDirectory : Win32FromErrno(-fd);
    return UniqueFd(fd >= 0 ? fd : -1);
}

int Session::Describe(const MappedPath &mapped, const Location &at, FileInfo &info) const
{
    const int error = InfoAt(at.dir.get(), at.name, mapped.parts.empty() ? std::string() : mapped.parts.back(), info);
    if (error == 0)
        DescribeLink(mapped.drive->rootFd(), mapped.parts, info);
    return error;
}

bool Session::SendPathReply(uint32_t opcode, uint32_t status, const std::u16string &path)
{
    ACE_OutputCDR out = MakeOutputStream(kPayloadStreamSize);
    return protocol::EncodePathReply(out, status, path) && channel_.SendReply(opcode, out);
}

// Every opcode refused in the shape its client reads, so that a refusal
// never looks like a broken agent.
bool Session::Refuse(uint32_t opcode, uint32_t status)
{
    std::string bytes;
    if (!RefusalBytes(opcode, status, bytes))
        return false;
    return bytes.empty() || channel_.SendRaw(bytes.data(), bytes.size());
}

// A logon on a connection that is already a session (after a logout, or a
// second logon): throttled as the lobby throttles, the wait taken on this
// connection's own thread.
bool Session::HandleLogon()
{
    ACE_InputCDR in = channel_.PayloadStream();
    LogonRequest logon;
    if (!protocol::DecodeLogonRequest(in, logon))
        return false;
    loggedOn_ = CredentialsMatch(config_, logon);
    Log("logon %s (initial %u)", loggedOn_ ? "accepted" : "refused", static_cast<unsigned>(logon.initial));
    if (!loggedOn_) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        const LogonThrottle::Verdict verdict = throttle_.Failure(peer_, now);
        std::fprintf(stderr, "reference-agent: logon refused for user \"%s\" from %s (failure %u from this address)\n",
                     LoggableName(logon.user).c_str(), peer_.c_str(), verdict.failures);
        if (++failedLogons_ >= 5 || verdict.answerAt - now > config_.readTimeout)
            return false;
        std::this_thread::sleep_until(verdict.answerAt);
        logonDeadline_ = std::max(logonDeadline_, now + config_.logonTimeout);
    }
    return channel_.SendStatus(OpLogon, loggedOn_ ? 0 : kErrorLogonFailure);
}

bool Session::Dispatch(const MessageHeader &header)
{
    const uint32_t op = header.opcode;
    if (op == OpLogon)
        return HandleLogon();
    if (op == OpLogout) {
        file_.Close();
        if (loggedOn_)
            logonDeadline_ = std::chrono::steady_clock::now() + config_.logonTimeout;
        loggedOn_ = false;
        return channel_.SendStatus(op, 0);
    }
    if (!loggedOn_)
        return Refuse(op, kErrorNotLoggedOn);
    switch (op) {
    case OpPathFileExists:
    case OpPathIsRoot:
    case OpPathStripToRoot: return HandlePathStatus(op);
    case OpGetFileAttributes: return HandleGetFileAttributes();
    case OpGetFileAttributesEx: return HandleGetFileAttributesEx();
    case OpSetFileAttributes: return HandleSetFileAttributes();
    case OpCreateDirectory: return HandleCreateDirectory();
    case OpRemovePath: return HandleRemovePath();
    case OpMoveFile: return HandleMoveFile();
    case OpCreateFile: return HandleCreateFile();
    case OpReadFile:
    case OpReadFileAt: return HandleRead(op);
    case OpWriteFile: return HandleWrite();
    case OpSetFilePointer: return HandleSetFilePointer();
    case OpSetFileTime: return HandleSetFileTime();
    case OpGetFileInformation: return HandleGetFileInformation();
    case OpCloseHandle: return HandleCloseHandle();
    case OpFindFirst: return HandleFindFirst();
    case OpFindFirstDrive: return HandleFindFirstDrive();
    case OpGetDiskFreeSpace: return HandleGetDiskFreeSpace();
    case OpGetOSVersion: return HandleGetOSVersion();
    case OpGetPathList: return HandleGetPathList();
    case OpCancelPathList:
    case OpNextPathList: return true; // only meaningful inside a path list
    case OpGetFolderPath: return HandleGetFolderPath();
    case OpFirefox3Exists:
    case OpGetFirefox3BookmarkPath: return HandleFirefox(op);
    case OpGetIEFavoritePath: return HandleIEFavoritePath();
    case OpGetPstCount: return HandlePstCount();
    case OpGetPstList: return HandlePstList();
    case OpMergePst: return HandleMergePst();
    default: return channel_.SendStatus(op, kErrorInvalidFunction);
    }
}

} // namespace refagent
