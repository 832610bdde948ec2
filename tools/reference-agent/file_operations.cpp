// Path, attribute and file-handle requests, answered with what the local
// file system says in Win32 terms.
#include "session.h"

#include "attribute_store.h"
#include "file_info.h"
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

void WriteTime(ACE_OutputCDR &out, const FileTime &t)
{
    out.write_ulong(t.low);
    out.write_ulong(t.high);
}

// Once the folder holding a name has been found, a missing name is a
// missing file.
uint32_t NotFound(int error) { return error == ENOENT ? kErrorFileNotFound : Win32FromErrno(error); }

} // namespace

bool Session::HandlePathStatus(uint32_t opcode)
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!ReadString(in, path))
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
    if (!ReadString(in, path))
        return false;
    FileInfo info;
    const uint32_t status = StatRequested(path, info);
    ACE_OutputCDR out = MakeOutputStream(16);
    out.write_ulong(status);
    if (status == 0)
        out.write_ulong(info.attributes);
    return channel_.SendReply(OpGetFileAttributes, out);
}

bool Session::HandleGetFileAttributesEx()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!ReadString(in, path))
        return false;
    FileInfo info;
    const uint32_t status = StatRequested(path, info);
    ACE_OutputCDR out = MakeOutputStream(64);
    out.write_ulong(status);
    if (status == 0) {
        out.write_ulong(info.attributes);
        WriteTime(out, info.creation);
        WriteTime(out, info.lastAccess);
        WriteTime(out, info.lastWrite);
        out.write_ulong(static_cast<uint32_t>(info.size)); // low part first here
        out.write_ulong(static_cast<uint32_t>(info.size >> 32));
    }
    return channel_.SendReply(OpGetFileAttributesEx, out);
}

bool Session::HandleSetFileAttributes()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    ACE_CDR::ULong attributes = 0;
    if (!ReadString(in, path) || !in.read_ulong(attributes))
        return false;
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
    if (!ReadString(in, path))
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
    if (!ReadString(in, path))
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
    std::u16string source, target;
    if (!ReadString(in, source) || !ReadString(in, target))
        return false;
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

bool Session::HandleCreateFile()
{
    ACE_InputCDR in = channel_.PayloadStream();
    ACE_CDR::ULong flags = 0, disposition = 0, share = 0, access = 0;
    std::u16string path;
    if (!in.read_ulong(flags) || !in.read_ulong(disposition) || !in.read_ulong(share) || !in.read_ulong(access) ||
        !ReadString(in, path))
        return false;
    // Share modes have no local counterpart: every open shares everything.
    const bool read = (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
    const bool write = (access & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
    const bool openExisting = disposition == kOpenExisting || disposition == kOpenAlways;
    if (file_.IsOpen())
        return channel_.SendStatus(OpCreateFile, kErrorTooManyOpenFiles);
    if (disposition < kCreateNew || disposition > kTruncateExisting || (disposition == kTruncateExisting && !write))
        return channel_.SendStatus(OpCreateFile, kErrorInvalidParameter);
    if (config_.readOnly && (write || !openExisting))
        return channel_.SendStatus(OpCreateFile, kErrorWriteProtect);
    MappedPath mapped;
    Location at;
    const bool openLink = (flags & kFlagOpenReparsePoint) != 0;
    uint32_t status = Find(path, !openLink, mapped, at);
    if (status != 0)
        return channel_.SendStatus(OpCreateFile, status);
    const std::string name = mapped.parts.empty() ? std::string() : mapped.parts.back();

    struct stat st;
    const bool exists = StatAt(at, st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        // The link itself: its record can be read, never data through it.
        if (!openLink || write || !openExisting)
            return channel_.SendStatus(OpCreateFile, kErrorAccessDenied);
        FileInfo info;
        const int fd = OpenAt(at, O_PATH);
        if (fd < 0)
            return channel_.SendStatus(OpCreateFile, Win32FromErrno(-fd));
        file_.Reset(fd, false, false, false, name);
        if (Describe(mapped, at, info) == 0)
            file_.MarkLink(info.attributes);
        else
            file_.MarkLink(kAttributeReparsePoint);
        return channel_.SendStatus(OpCreateFile, 0);
    }
    if (exists && S_ISDIR(st.st_mode)) {
        // Directories open only for backup semantics, and never for data.
        if ((flags & kFlagBackupSemantics) == 0 || write || !openExisting)
            return channel_.SendStatus(OpCreateFile, kErrorAccessDenied);
        const int fd = OpenAt(at, O_RDONLY | O_DIRECTORY);
        if (fd < 0)
            return channel_.SendStatus(OpCreateFile, -fd == ELOOP ? kErrorAccessDenied : Win32FromErrno(-fd));
        file_.Reset(fd, false, false, true, name);
        return channel_.SendStatus(OpCreateFile, 0);
    }
    // Pipes and devices would block or never end; only plain files hold data.
    if (exists && !S_ISREG(st.st_mode))
        return channel_.SendStatus(OpCreateFile, kErrorAccessDenied);
    if (config_.readOnly && !exists)
        return channel_.SendStatus(OpCreateFile, kErrorFileNotFound);
    int oflags = O_NONBLOCK | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    switch (disposition) {
    case kCreateNew: oflags |= O_CREAT | O_EXCL; break;
    case kCreateAlways: oflags |= O_CREAT | O_TRUNC; break;
    case kOpenAlways: oflags |= config_.readOnly ? 0 : O_CREAT; break;
    case kTruncateExisting: oflags |= O_TRUNC; break;
    default: break;
    }
    const mode_t mode = (flags & kAttributeReadOnly) ? 0444 : 0666;
    const int fd = OpenAt(at, oflags, mode);
    if (fd < 0) {
        // ELOOP: the name became a link since it was looked at.
        const int error = -fd;
        status = error == EEXIST ? kErrorFileExists : error == ELOOP ? kErrorAccessDenied : NotFound(error);
        return channel_.SendStatus(OpCreateFile, status);
    }
    UniqueFd opened(fd);
    // The name may have been replaced by a pipe since it was looked at.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return channel_.SendStatus(OpCreateFile, kErrorAccessDenied);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file_.Reset(opened.Release(), read, write, false, name);
    return channel_.SendStatus(OpCreateFile, 0);
}

bool Session::HandleRead(uint32_t opcode)
{
    ACE_InputCDR in = channel_.PayloadStream();
    ACE_CDR::ULong toRead = 0, offsetLow = 0, offsetHigh = 0;
    if (!in.read_ulong(toRead))
        return false;
    if (opcode == OpReadFileAt && (!in.read_ulong(offsetLow) || !in.read_ulong(offsetHigh)))
        return false;
    if (!file_.IsOpen())
        return Refuse(opcode, kErrorInvalidHandle);
    if (file_.directory())
        return Refuse(opcode, kErrorInvalidFunction);
    if (!file_.readable())
        return Refuse(opcode, kErrorAccessDenied);
    const int fd = file_.fd();
    if (opcode == OpReadFileAt) {
        const uint64_t offset = static_cast<uint64_t>(offsetHigh) << 32 | offsetLow;
        if (offset > static_cast<uint64_t>(INT64_MAX) || ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
            return Refuse(opcode, kErrorNegativeSeek);
    }
    struct stat st;
    const off_t position = ::lseek(fd, 0, SEEK_CUR);
    if (position < 0 || ::fstat(fd, &st) != 0)
        return Refuse(opcode, Win32FromErrno(errno));
    uint64_t count = 0;
    if (S_ISREG(st.st_mode))
        count = st.st_size > position ? std::min<uint64_t>(toRead, static_cast<uint64_t>(st.st_size - position)) : 0;
    else
        count = std::min<uint64_t>(toRead, kReadPiece);

    // The first piece is read before the reply is framed, so a small read
    // that fails can still report its error and the bytes it got.
    const size_t first = static_cast<size_t>(std::min<uint64_t>(count, kReadPiece));
    if (data_.size() < first)
        data_.resize(first);
    size_t got = 0;
    uint32_t status = 0;
    while (got < first) {
        const ssize_t r = ::read(fd, data_.data() + got, first - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            status = r < 0 ? Win32FromErrno(errno) : 0;
            break;
        }
        got += static_cast<size_t>(r);
    }
    if (got < first || count == first) {
        ACE_OutputCDR out = MakeOutputStream(16);
        out.write_ulong(status);
        out.write_ulong(static_cast<uint32_t>(got));
        return channel_.SendReplyWithData(opcode, out, data_.data(), got);
    }
    // A large read promises its count up front; the file shrinking or
    // failing under it afterwards can only be told by dropping the
    // connection, never by padding the data.
    ACE_OutputCDR out = MakeOutputStream(16);
    out.write_ulong(0);
    out.write_ulong(static_cast<uint32_t>(count));
    if (!channel_.SendReplyWithData(opcode, out, data_.data(), got))
        return false;
    uint64_t sent = got;
    while (sent < count) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(count - sent, kReadPiece));
        size_t have = 0;
        while (have < piece) {
            const ssize_t r = ::read(fd, data_.data() + have, piece - have);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            have += static_cast<size_t>(r);
        }
        if (!channel_.SendRaw(data_.data(), have))
            return false;
        sent += have;
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
    out.write_ulong(status);
    out.write_ulong(static_cast<uint32_t>(written));
    return channel_.SendReply(OpWriteFile, out);
}

bool Session::HandleSetFilePointer()
{
    ACE_InputCDR in = channel_.PayloadStream();
    ACE_CDR::ULong low = 0, high = 0, method = 0;
    if (!in.read_ulong(low) || !in.read_ulong(high) || !in.read_ulong(method))
        return false;
    if (!file_.IsOpen())
        return channel_.SendStatus(OpSetFilePointer, kErrorInvalidHandle);
    if (method > 2)
        return channel_.SendStatus(OpSetFilePointer, kErrorInvalidParameter);
    const int64_t distance = static_cast<int64_t>(static_cast<uint64_t>(high) << 32 | low);
    int64_t base = 0;
    if (method == 1) {
        base = ::lseek(file_.fd(), 0, SEEK_CUR);
    } else if (method == 2) {
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
    out.write_ulong(0);
    out.write_ulong(static_cast<uint32_t>(position));
    out.write_ulong(static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32));
    return channel_.SendReply(OpSetFilePointer, out);
}

bool Session::HandleSetFileTime()
{
    ACE_InputCDR in = channel_.PayloadStream();
    FileTime t[3];
    for (FileTime &ft : t)
        if (!in.read_ulong(ft.low) || !in.read_ulong(ft.high))
            return false;
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
    ACE_OutputCDR out = MakeOutputStream(64);
    out.write_ulong(0);
    out.write_ulong(info.attributes);
    WriteTime(out, info.creation);
    WriteTime(out, info.lastAccess);
    WriteTime(out, info.lastWrite);
    out.write_ulong(VolumeSerial(info.device)); // with the index, tells folders apart across links
    out.write_ulong(static_cast<uint32_t>(info.size >> 32)); // high part first here
    out.write_ulong(static_cast<uint32_t>(info.size));
    out.write_ulong(info.links);
    out.write_ulong(static_cast<uint32_t>(info.index >> 32));
    out.write_ulong(static_cast<uint32_t>(info.index));
    return channel_.SendReply(OpGetFileInformation, out);
}

bool Session::HandleCloseHandle()
{
    if (!file_.IsOpen())
        return channel_.SendStatus(OpCloseHandle, kErrorInvalidHandle);
    const int error = file_.Close();
    return channel_.SendStatus(OpCloseHandle, error == 0 ? 0 : Win32FromErrno(error));
}

} // namespace refagent
