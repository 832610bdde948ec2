// Path, attribute and file-handle requests, answered with what the local
// file system says in Win32 terms.
#include "session.h"

#include "attribute_store.h"
#include "file_info.h"
#include "protocol/handle_messages.h"
#include "protocol/path_messages.h"
#include "protocol/status_reply.h"
#include "win32_codes.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace refagent {

using namespace agent;

namespace {

constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kFileReadData = 0x1;
constexpr uint32_t kFileWriteData = 0x2;
constexpr uint32_t kFileAppendData = 0x4;
constexpr uint32_t kFlagBackupSemantics = 0x02000000u;
constexpr uint32_t kFlagOpenReparsePoint = 0x00200000u;
constexpr uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5;
// Reads up to this size go out in one gathered write; larger ones stream.
constexpr size_t kReadPiece = 4u << 20;

FILETIME ToFiletime(const FileTime &t)
{
    FILETIME out;
    out.dwLowDateTime = t.low;
    out.dwHighDateTime = t.high;
    return out;
}

FileTime FromFiletime(const FILETIME &t) { return FileTime{t.dwLowDateTime, t.dwHighDateTime}; }

// Once the folder holding a name has been found, a missing name is a
// missing file.
uint32_t NotFound(int error) { return error == ENOENT ? kErrorFileNotFound : Win32FromErrno(error); }

} // namespace

bool Session::HandlePathStatus(uint32_t opcode)
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodePathRequest(in, path))
        return false;
    MappedPath mapped;
    uint32_t status = 0;
    if (opcode == OpPathFileExists) {
        // A link exists in its own right, wherever it leads.
        Location at;
        struct stat st;
        status = Find(path, false, mapped, at);
        if (status == 0 && StatAt(at, st) != 0)
            status = NotFound(errno);
    } else {
        // Root tests are lexical, as the shell's are: nothing is looked up.
        mapped = MapWindowsPath(config_.drives, path);
        status = mapped.status;
        if (status == 0 && opcode == OpPathIsRoot && !mapped.IsRoot())
            status = kErrorBadPathname;
    }
    return channel_.SendStatus(opcode, status);
}

uint32_t Session::StatRequested(const std::u16string &path, FileInfo &info) const
{
    MappedPath mapped;
    Location at;
    uint32_t status = Find(path, false, mapped, at);
    if (status == 0) {
        const int error = Describe(mapped, at, info);
        status = error == 0 ? 0 : NotFound(error);
    }
    return status;
}

bool Session::HandleGetFileAttributes()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodePathRequest(in, path))
        return false;
    FileInfo info;
    protocol::GetFileAttributesReply reply;
    reply.status = StatRequested(path, info);
    reply.attributes = info.attributes;
    ACE_OutputCDR out = MakeOutputStream(16);
    return protocol::EncodeGetFileAttributesReply(out, reply) && channel_.SendReply(OpGetFileAttributes, out);
}

bool Session::HandleGetFileAttributesEx()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodePathRequest(in, path))
        return false;
    FileInfo info;
    protocol::GetFileAttributesExReply reply;
    reply.status = StatRequested(path, info);
    WIN32_FILE_ATTRIBUTE_DATA &d = reply.data;
    d.dwFileAttributes = info.attributes;
    d.ftCreationTime = ToFiletime(info.creation);
    d.ftLastAccessTime = ToFiletime(info.lastAccess);
    d.ftLastWriteTime = ToFiletime(info.lastWrite);
    d.nFileSizeLow = static_cast<uint32_t>(info.size);
    d.nFileSizeHigh = static_cast<uint32_t>(info.size >> 32);
    ACE_OutputCDR out = MakeOutputStream(64);
    return protocol::EncodeGetFileAttributesExReply(out, reply) && channel_.SendReply(OpGetFileAttributesEx, out);
}

bool Session::HandleSetFileAttributes()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::SetFileAttributesRequest request;
    if (!protocol::DecodeSetFileAttributesRequest(in, request))
        return false;
    const std::u16string &path = request.path;
    const uint32_t attributes = request.attributes;
    MappedPath mapped;
    Location at;
    uint32_t status = 0;
    if (config_.readOnly)
        status = kErrorWriteProtect;
    else
        status = Find(path, true, mapped, at);
    if (status == 0) {
        // An O_PATH descriptor pins the file itself; its mode is changed
        // through that, never through the name again.
        const int opened = OpenAt(at, O_PATH);
        const UniqueFd fd(opened >= 0 ? opened : -1);
        struct stat st;
        if (!fd.valid()) {
            status = NotFound(-opened);
        } else if (::fstat(fd.get(), &st) != 0) {
            status = Win32FromErrno(errno);
        } else if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            // The read-only bit is a file's owner write bit; the others go
            // to the store, written while the file is writable (a user
            // attribute of a read-only file cannot be changed by its owner).
            const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
            const bool regular = S_ISREG(st.st_mode);
            const bool readOnly = (attributes & kAttributeReadOnly) != 0;
            const mode_t mode = st.st_mode & 07777;
            int error = 0;
            if (regular && ::chmod(self.c_str(), mode | S_IWUSR) != 0)
                error = errno;
            if (error == 0)
                error = StoreAttributes(fd.get(), attributes);
            if (regular && ::chmod(self.c_str(), readOnly ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH) : mode | S_IWUSR) != 0 &&
                error == 0)
                error = errno;
            if (error != 0)
                status = Win32FromErrno(error);
        }
    }
    return channel_.SendStatus(OpSetFileAttributes, status);
}

bool Session::HandleCreateDirectory()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodePathRequest(in, path))
        return false;
    MappedPath mapped;
    Location at;
    uint32_t status = 0;
    if (config_.readOnly)
        status = kErrorWriteProtect;
    else
        status = Find(path, false, mapped, at);
    if (status == 0) {
        if (at.Self())
            status = kErrorAlreadyExists;
        else if (::mkdirat(at.dir.get(), at.name.c_str(), 0777) != 0)
            status = errno == ENOENT ? kErrorPathNotFound : Win32FromErrno(errno);
    }
    return channel_.SendStatus(OpCreateDirectory, status);
}

bool Session::HandleRemovePath()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodePathRequest(in, path))
        return false;
    MappedPath mapped;
    Location at;
    uint32_t status = 0;
    if (config_.readOnly)
        status = kErrorWriteProtect;
    else
        status = Find(path, false, mapped, at);
    if (status == 0) {
        // A link is removed itself, never what it points to.
        struct stat st;
        if (at.Self())
            status = kErrorAccessDenied;
        else if (StatAt(at, st) != 0)
            status = NotFound(errno);
        else if (::unlinkat(at.dir.get(), at.name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0)
            status = Win32FromErrno(errno);
    }
    return channel_.SendStatus(OpRemovePath, status);
}

bool Session::HandleMoveFile()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::MoveFileRequest request;
    if (!protocol::DecodeMoveFileRequest(in, request))
        return false;
    const std::u16string &source = request.source;
    const std::u16string &target = request.target;
    MappedPath fromPath, toPath;
    Location from, to;
    uint32_t status = 0;
    if (config_.readOnly)
        status = kErrorWriteProtect;
    else if ((status = Find(source, false, fromPath, from)) == 0)
        status = Find(target, false, toPath, to);
    if (status == 0) {
        if (from.Self() || to.Self()) {
            status = kErrorAccessDenied;
        } else if (::renameat2(from.dir.get(), from.name.c_str(), to.dir.get(), to.name.c_str(), RENAME_NOREPLACE) !=
                   0) {
            // MoveFile never replaces; NOREPLACE makes that one step.
            const int error = errno;
            status = error == EEXIST ? kErrorAlreadyExists : NotFound(error);
        }
    }
    return channel_.SendStatus(OpMoveFile, status);
}

// What an open request asks for, in local terms.
struct Session::OpenIntent {
    bool read = false, write = false;
    bool openExisting = false; // the disposition may open a file that exists
    bool openLink = false;     // the link itself, not its target
    uint32_t disposition = 0;
    uint32_t flags = 0;
};

bool Session::HandleCreateFile()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::CreateFileRequest request;
    if (!protocol::DecodeCreateFileRequest(in, request))
        return false;
    return channel_.SendStatus(OpCreateFile, OpenRequested(request));
}

uint32_t Session::OpenRequested(const protocol::CreateFileRequest &request)
{
    // Share modes have no local counterpart: every open shares everything.
    OpenIntent intent;
    intent.read = (request.access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
    intent.write = (request.access & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
    intent.disposition = request.disposition;
    intent.openExisting = request.disposition == kOpenExisting || request.disposition == kOpenAlways;
    intent.openLink = (request.flags & kFlagOpenReparsePoint) != 0;
    intent.flags = request.flags;
    if (file_.IsOpen())
        return kErrorTooManyOpenFiles;
    if (intent.disposition < kCreateNew || intent.disposition > kTruncateExisting ||
        (intent.disposition == kTruncateExisting && !intent.write))
        return kErrorInvalidParameter;
    if (config_.readOnly && (intent.write || !intent.openExisting))
        return kErrorWriteProtect;
    MappedPath mapped;
    Location at;
    const uint32_t status = Find(request.path, !intent.openLink, mapped, at);
    if (status != 0)
        return status;
    const std::string name = mapped.parts.empty() ? std::string() : mapped.parts.back();
    struct stat st;
    const bool exists = StatAt(at, st) == 0;
    if (exists && S_ISLNK(st.st_mode))
        return OpenLinkItself(intent, mapped, at, name);
    if (exists && S_ISDIR(st.st_mode))
        return OpenDirectory(intent, at, name);
    // Pipes and devices would block or never end; only plain files hold data.
    if (exists && !S_ISREG(st.st_mode))
        return kErrorAccessDenied;
    if (config_.readOnly && !exists)
        return kErrorFileNotFound;
    return OpenRegularFile(intent, at, name);
}

// Its record can be read, never data through it.
uint32_t Session::OpenLinkItself(const OpenIntent &intent, const MappedPath &mapped, const Location &at,
                                 const std::string &name)
{
    if (!intent.openLink || intent.write || !intent.openExisting)
        return kErrorAccessDenied;
    const int fd = OpenAt(at, O_PATH);
    if (fd < 0)
        return Win32FromErrno(-fd);
    file_.Reset(fd, false, false, false, name);
    FileInfo info;
    file_.MarkLink(Describe(mapped, at, info) == 0 ? info.attributes : kAttributeReparsePoint);
    return 0;
}

// Directories open only for backup semantics, and never for data.
uint32_t Session::OpenDirectory(const OpenIntent &intent, const Location &at, const std::string &name)
{
    if ((intent.flags & kFlagBackupSemantics) == 0 || intent.write || !intent.openExisting)
        return kErrorAccessDenied;
    const int fd = OpenAt(at, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -fd == ELOOP ? kErrorAccessDenied : Win32FromErrno(-fd);
    file_.Reset(fd, false, false, true, name);
    return 0;
}

uint32_t Session::OpenRegularFile(const OpenIntent &intent, const Location &at, const std::string &name)
{
    int oflags = O_NONBLOCK | (intent.read && intent.write ? O_RDWR : intent.write ? O_WRONLY : O_RDONLY);
    switch (intent.disposition) {
    case kCreateNew: oflags |= O_CREAT | O_EXCL; break;
    case kCreateAlways: oflags |= O_CREAT | O_TRUNC; break;
    case kOpenAlways: oflags |= config_.readOnly ? 0 : O_CREAT; break;
    case kTruncateExisting: oflags |= O_TRUNC; break;
    default: break;
    }
    const mode_t mode = (intent.flags & kAttributeReadOnly) ? 0444 : 0666;
    const int fd = OpenAt(at, oflags, mode);
    if (fd < 0) {
        // ELOOP: the name became a link since it was looked at.
        const int error = -fd;
        return error == EEXIST ? kErrorFileExists : error == ELOOP ? kErrorAccessDenied : NotFound(error);
    }
    UniqueFd opened(fd);
    // The name may have been replaced by a pipe since it was looked at.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return kErrorAccessDenied;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_.Reset(opened.Release(), intent.read, intent.write, false, name);
    return 0;
}

bool Session::HandleRead(uint32_t opcode)
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::ReadFileAtRequest request;
    if (opcode == OpReadFileAt) {
        if (!protocol::DecodeReadFileAtRequest(in, request))
            return false;
    } else {
        protocol::ReadFileRequest plain;
        if (!protocol::DecodeReadFileRequest(in, plain))
            return false;
        request.toRead = plain.toRead;
    }
    uint64_t count = 0;
    const uint32_t status = PrepareRead(opcode == OpReadFileAt, request, count);
    if (status != 0)
        return Refuse(opcode, status);
    return SendRead(opcode, count);
}

uint32_t Session::PrepareRead(bool atOffset, const protocol::ReadFileAtRequest &request, uint64_t &count)
{
    if (!file_.IsOpen())
        return kErrorInvalidHandle;
    if (file_.directory())
        return kErrorInvalidFunction;
    if (!file_.readable())
        return kErrorAccessDenied;
    const int fd = file_.fd();
    if (atOffset && (request.offset > static_cast<uint64_t>(INT64_MAX) ||
                     ::lseek(fd, static_cast<off_t>(request.offset), SEEK_SET) < 0))
        return kErrorNegativeSeek;
    struct stat st;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0 || ::fstat(fd, &st) != 0)
        return Win32FromErrno(errno);
    if (!S_ISREG(st.st_mode))
        count = std::min<uint64_t>(request.toRead, kReadPiece);
    else if (st.st_size > position)
        count = std::min<uint64_t>(request.toRead, static_cast<uint64_t>(st.st_size - position));
    else
        count = 0;
    return 0;
}

size_t Session::ReadPiece(size_t size, uint32_t &status)
{
    if (data_.size() < size)
        data_.resize(size);
    size_t got = 0;
    status = 0;
    while (got < size) {
        const ssize_t r = ::read(file_.fd(), data_.data() + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            status = r < 0 ? Win32FromErrno(errno) : 0;
            break;
        }
        got += static_cast<size_t>(r);
    }
    return got;
}

bool Session::SendRead(uint32_t opcode, uint64_t count)
{
    // The first piece is read before the reply is framed, so a small read
    // that fails can still report its error and the bytes it got.
    const size_t first = static_cast<size_t>(std::min<uint64_t>(count, kReadPiece));
    protocol::CountReply reply;
    const size_t got = ReadPiece(first, reply.status);
    const bool whole = got < first || count == first;
    // A large read promises its count up front; the file shrinking or
    // failing under it afterwards can only be told by dropping the
    // connection, never by padding the data.
    if (!whole)
        reply.status = 0;
    reply.count = static_cast<uint32_t>(whole ? got : count);
    ACE_OutputCDR out = MakeOutputStream(16);
    if (!protocol::EncodeCountReply(out, reply) || !channel_.SendReplyWithData(opcode, out, data_.data(), got))
        return false;
    return whole || StreamRest(count - got);
}

bool Session::StreamRest(uint64_t left)
{
    while (left > 0) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kReadPiece));
        uint32_t status = 0;
        if (ReadPiece(piece, status) != piece || !channel_.SendRaw(data_.data(), piece))
            return false;
        left -= piece;
    }
    return true;
}

bool Session::HandleWrite()
{
    if (!file_.IsOpen())
        return Refuse(OpWriteFile, kErrorInvalidHandle);
    if (file_.directory())
        return Refuse(OpWriteFile, kErrorInvalidFunction);
    if (!file_.writable())
        return Refuse(OpWriteFile, kErrorAccessDenied);
    const char *data = channel_.Payload();
    const size_t length = channel_.PayloadLength();
    size_t written = 0;
    uint32_t status = 0;
    while (written < length) {
        const ssize_t r = ::write(file_.fd(), data + written, length - written);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            status = r < 0 ? Win32FromErrno(errno) : kErrorDiskFull;
            break;
        }
        written += static_cast<size_t>(r);
    }
    ACE_OutputCDR out = MakeOutputStream(16);
    return protocol::EncodeCountReply(out, protocol::CountReply{status, static_cast<uint32_t>(written)}) &&
           channel_.SendReply(OpWriteFile, out);
}

bool Session::HandleSetFilePointer()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::SetFilePointerRequest request;
    if (!protocol::DecodeSetFilePointerRequest(in, request))
        return false;
    if (!file_.IsOpen())
        return channel_.SendStatus(OpSetFilePointer, kErrorInvalidHandle);
    if (request.method > 2)
        return channel_.SendStatus(OpSetFilePointer, kErrorInvalidParameter);
    const int64_t distance = request.distance;
    int64_t base = 0;
    if (request.method == 1) {
        base = ::lseek(file_.fd(), 0, SEEK_CUR);
    } else if (request.method == 2) {
        struct stat st;
        base = ::fstat(file_.fd(), &st) == 0 ? st.st_size : -1;
    }
    if (base < 0)
        return channel_.SendStatus(OpSetFilePointer, Win32FromErrno(errno));
    if ((distance < 0 && base + distance < 0) || (distance > 0 && base > INT64_MAX - distance))
        return channel_.SendStatus(OpSetFilePointer, kErrorNegativeSeek);
    const off_t position = ::lseek(file_.fd(), static_cast<off_t>(base + distance), SEEK_SET);
    if (position < 0)
        return channel_.SendStatus(OpSetFilePointer, Win32FromErrno(errno));
    ACE_OutputCDR out = MakeOutputStream(16);
    return protocol::EncodeSetFilePointerReply(out, protocol::SetFilePointerReply{0, static_cast<uint64_t>(position)}) &&
           channel_.SendReply(OpSetFilePointer, out);
}

bool Session::HandleSetFileTime()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::SetFileTimeRequest request;
    if (!protocol::DecodeSetFileTimeRequest(in, request))
        return false;
    const FileTime t[3] = {FromFiletime(request.creation), FromFiletime(request.lastAccess),
                           FromFiletime(request.lastWrite)};
    if (!file_.IsOpen())
        return channel_.SendStatus(OpSetFileTime, kErrorInvalidHandle);
    if (config_.readOnly)
        return channel_.SendStatus(OpSetFileTime, kErrorWriteProtect);
    // Creation times cannot be set locally; a zero time leaves a time as it is.
    struct timespec times[2];
    if (!FromFileTime(t[1], times[0]))
        times[0].tv_nsec = UTIME_OMIT;
    if (!FromFileTime(t[2], times[1]))
        times[1].tv_nsec = UTIME_OMIT;
    const uint32_t status = ::futimens(file_.fd(), times) == 0 ? 0 : Win32FromErrno(errno);
    return channel_.SendStatus(OpSetFileTime, status);
}

bool Session::HandleGetFileInformation()
{
    if (!file_.IsOpen())
        return channel_.SendStatus(OpGetFileInformation, kErrorInvalidHandle);
    FileInfo info;
    const int error = StatDescriptor(file_.fd(), file_.name(), info);
    if (error != 0)
        return channel_.SendStatus(OpGetFileInformation, Win32FromErrno(error));
    if (file_.linkAttributes() != 0)
        info.attributes = file_.linkAttributes();
    protocol::GetFileInformationReply reply;
    BY_HANDLE_FILE_INFORMATION &r = reply.info;
    r.dwFileAttributes = info.attributes;
    r.ftCreationTime = ToFiletime(info.creation);
    r.ftLastAccessTime = ToFiletime(info.lastAccess);
    r.ftLastWriteTime = ToFiletime(info.lastWrite);
    r.dwVolumeSerialNumber = VolumeSerial(info.device); // with the index, tells folders apart across links
    r.nFileSizeHigh = static_cast<uint32_t>(info.size >> 32);
    r.nFileSizeLow = static_cast<uint32_t>(info.size);
    r.nNumberOfLinks = info.links;
    r.nFileIndexHigh = static_cast<uint32_t>(info.index >> 32);
    r.nFileIndexLow = static_cast<uint32_t>(info.index);
    ACE_OutputCDR out = MakeOutputStream(64);
    return protocol::EncodeGetFileInformationReply(out, reply) && channel_.SendReply(OpGetFileInformation, out);
}

bool Session::HandleCloseHandle()
{
    if (!file_.IsOpen())
        return channel_.SendStatus(OpCloseHandle, kErrorInvalidHandle);
    const int error = file_.Close();
    return channel_.SendStatus(OpCloseHandle, error == 0 ? 0 : Win32FromErrno(error));
}

} // namespace refagent
