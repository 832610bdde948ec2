#include "session.h"

#include "filesystem/wide_string.h"
#include "win32_codes.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

bool ReadString(ACE_InputCDR &in, std::u16string &out)
{
    // Every code unit the count announces, embedded NULs included: a name
    // cut short at one would open another file than the client named.
    ACE_CDR::ULong bytes = 0;
    if (!in.read_ulong(bytes) || bytes % 2 != 0 || bytes > in.length())
        return false;
    out.resize(bytes / 2);
    for (char16_t &c : out) {
        ACE_CDR::UShort unit = 0;
        if (!in.read_ushort(unit))
            return false;
        c = static_cast<char16_t>(unit);
    }
    return true;
}

Session::Session(const AgentConfig &config, ACE_SOCK_Stream &stream, int id)
    : config_(config), channel_(stream), id_(id)
{
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
        const WireChannel::Read r = channel_.ReadRequest(header);
        if (r == WireChannel::Read::Closed) {
            Log("closed by the client");
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
    out.write_ulong(status);
    if (status == 0)
        WriteWideString(out, path.c_str());
    return channel_.SendReply(opcode, out);
}

// Every opcode refused in the shape its client reads, so that a refusal
// never looks like a broken agent.
bool Session::Refuse(uint32_t opcode, uint32_t status)
{
    switch (opcode) {
    case OpFindFirst:
    case OpFindFirstDrive:
        return channel_.SendHeaderOnly(opcode, 0); // no entries
    case OpGetPathList: {
        if (!channel_.SendHeaderOnly(opcode, 0))
            return false;
        const uint32_t end = 0;
        return channel_.SendRaw(&end, sizeof end);
    }
    case OpGetOSVersion:
        return false; // no status word to carry a refusal
    case OpCancelPathList:
    case OpNextPathList:
        return true; // never answered
    case OpReadFile:
    case OpReadFileAt:
    case OpWriteFile: {
        ACE_OutputCDR out = MakeOutputStream(16);
        out.write_ulong(status);
        out.write_ulong(0);
        return channel_.SendReply(opcode, out);
    }
    default:
        return channel_.SendStatus(opcode, status);
    }
}

bool Session::HandleLogon()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string user, password, machineId, computerName;
    ACE_CDR::Octet initial = 0;
    if (!ReadString(in, user) || !ReadString(in, password) || !ReadString(in, machineId) ||
        !ReadString(in, computerName) || !in.read_octet(initial))
        return false;
    // Windows compares user names without regard to case, passwords exactly.
    auto fold = [](std::u16string s) {
        for (char16_t &c : s)
            if (c >= u'A' && c <= u'Z')
                c = static_cast<char16_t>(c - u'A' + u'a');
        return s;
    };
    loggedOn_ = fold(user) == fold(config_.user) && password == config_.password;
    Log("logon %s (initial %u)", loggedOn_ ? "accepted" : "refused", static_cast<unsigned>(initial));
    return channel_.SendStatus(OpLogon, loggedOn_ ? 0 : kErrorLogonFailure);
}

bool Session::Dispatch(const MessageHeader &header)
{
    const uint32_t op = header.opcode;
    if (op == OpLogon)
        return HandleLogon();
    if (op == OpLogout) {
        file_.Close();
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
