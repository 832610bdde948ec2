// Searches, drives, disk space, the OS version and path lists: the
// requests answered with entry streams or system figures.
#include "session.h"

#include "attribute_store.h"
#include "directory_walk.h"
#include "file_info.h"
#include "protocol/path_list_messages.h"
#include "protocol/search_messages.h"
#include "utf.h"
#include "wildcard.h"
#include "win32_codes.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <utility>

namespace refagent {

using namespace agent;

namespace {

constexpr size_t kPathListChunk = 32 * 1024;
constexpr size_t kKeptListEntries = 65536;

struct Geometry {
    uint32_t sectorsPerCluster = 0, bytesPerSector = 512, freeClusters = 0, totalClusters = 0;
    uint32_t serial = 0;
};

// statvfs figures in the old GetDiskFreeSpace shape; cluster counts that
// do not fit in 32 bits are capped, as Windows caps them.
int DiskGeometry(int fd, Geometry &g)
{
    struct statvfs vfs;
    if (::fstatvfs(fd, &vfs) != 0)
        return errno;
    const uint64_t cluster = std::max<uint64_t>(vfs.f_frsize, g.bytesPerSector);
    g.sectorsPerCluster = static_cast<uint32_t>(cluster / g.bytesPerSector);
    g.freeClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_bavail * vfs.f_frsize / cluster, 0xFFFFFFFFu));
    g.totalClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_blocks * vfs.f_frsize / cluster, 0xFFFFFFFFu));
    g.serial = static_cast<uint32_t>(vfs.f_fsid ^ (static_cast<uint64_t>(vfs.f_fsid) >> 32));
    return 0;
}

protocol::FindRecord ToFindRecord(const FileInfo &info, std::u16string name)
{
    protocol::FindRecord record;
    record.attributes = info.attributes;
    record.creation = {info.creation.low, info.creation.high};
    record.lastAccess = {info.lastAccess.low, info.lastAccess.high};
    record.lastWrite = {info.lastWrite.low, info.lastWrite.high};
    record.sizeLow = static_cast<uint32_t>(info.size);
    record.sizeHigh = static_cast<uint32_t>(info.size >> 32);
    record.name = std::move(name);
    return record;
}

struct Entry {
    std::u16string name;
    FileInfo info;
};

} // namespace

bool Session::HandleFindFirst()
{
    ACE_InputCDR in = channel_.PayloadStream();
    // The value is reserved: every search lists what the pattern matches.
    protocol::FindFirstRequest request;
    if (!protocol::DecodeFindFirstRequest(in, request))
        return false;
    const std::u16string &pattern = request.pattern;
    std::u16string directory, name;
    SplitPattern(pattern, directory, name);
    MappedPath dir;
    uint32_t status = 0;
    // Kept by the connection's thread from one search to the next: a large
    // folder's lists would otherwise have their memory mapped, touched and
    // given back to the system at every search.
    thread_local std::vector<Entry> entries;
    thread_local std::vector<std::string> names;
    entries.clear();
    names.clear();
    // Past a common folder's size they are given back after the search.
    struct Trim {
        ~Trim()
        {
            if (entries.capacity() > kKeptListEntries) {
                std::vector<Entry>().swap(entries);
                std::vector<std::string>().swap(names);
            }
        }
    } trim;
    const UniqueFd folder = name.empty() ? UniqueFd() : OpenFolder(directory, dir, status);
    if (folder.valid()) {
        if (!HasWildcard(name)) {
            std::string utf8;
            if (ToUtf8(name, utf8))
                names.push_back(utf8);
        } else if (const int error = ListDirectory(folder.get(), names)) {
            // The reply has no status word, so the search looks empty; an
            // open of the folder answers with the cause (5 when unreadable).
            Log("search of an unreadable folder: errno %d", error);
        } else if (!dir.IsRoot()) {
            // Like Windows, a folder below a root lists itself and its parent.
            names.insert(names.begin(), {".", ".."});
        }
        const int rootFd = dir.drive->rootFd();
        const AttributeFolder lookups(folder.get());
        entries.reserve(names.size());
        for (const std::string &n : names) {
            Entry e;
            if (!ToUtf16(n, e.name) || !MatchWildcard(name, e.name))
                continue;
            int error = 0;
            if (n == ".") {
                error = InfoAt(folder.get(), std::string(), n, e.info);
            } else if (n == "..") {
                const std::vector<std::string> up(dir.parts.begin(), dir.parts.end() - 1);
                const UniqueFd parent(std::max(OpenDirectoryBeneath(rootFd, up), -1));
                error = parent.valid() ? InfoAt(parent.get(), std::string(), n, e.info) : ENOENT;
            } else {
                // A link is listed as the reparse point it stands for, even
                // when it leads out: its name is inside, its target is not shown.
                error = InfoAt(folder.get(), n, n, e.info);
                if (error == 0 && e.info.symlink) {
                    std::vector<std::string> parts = dir.parts;
                    parts.push_back(n);
                    DescribeLink(rootFd, parts, e.info);
                }
            }
            if (error != 0)
                continue;
            if (n == "." || n == "..")
                e.info.attributes &= ~kAttributeHidden;
            entries.push_back(std::move(e));
        }
    }
    Log("search matched %zu entries", entries.size());
    if (!channel_.SendHeaderOnly(OpFindFirst, static_cast<uint32_t>(entries.size())))
        return false;
    if (entries.empty())
        return true;
    ChunkWriter chunks(channel_);
    for (Entry &e : entries) {
        ACE_OutputCDR record = MakeOutputStream(kPayloadStreamSize);
        // Each name is sent once: it moves into its record.
        if (!protocol::EncodeFindRecord(record, ToFindRecord(e.info, std::move(e.name))) || !chunks.Add(record))
            return false;
    }
    return chunks.End();
}

bool Session::HandleFindFirstDrive()
{
    std::vector<DriveRoot> drives = config_.drives.Roots();
    std::sort(drives.begin(), drives.end(), [](const DriveRoot &a, const DriveRoot &b) { return a.letter < b.letter; });
    if (!channel_.SendHeaderOnly(OpFindFirstDrive, static_cast<uint32_t>(drives.size())))
        return false;
    ChunkWriter chunks(channel_);
    for (const DriveRoot &d : drives) {
        Geometry g;
        DiskGeometry(d.rootFd(), g);
        std::u16string root = std::u16string(1, static_cast<char16_t>(d.letter)) + u":\\";
        std::u16string label;
        const std::string base = d.localRoot.substr(d.localRoot.find_last_of('/') + 1);
        if (!ToUtf16(base.empty() ? std::string("ROOT") : base, label))
            label = u"LOCAL";
        // Drive type DRIVE_FIXED, volume serial number, longest file name,
        // flags (case-sensitive, case-preserving, Unicode names), the
        // geometry and the drive number; the root path and the volume label.
        const protocol::DriveRecord drive = {{3, g.serial, 255, 0x7, g.bytesPerSector, g.sectorsPerCluster,
                                              g.freeClusters, g.totalClusters, static_cast<uint32_t>(d.letter - 'A')},
                                             root,
                                             label};
        ACE_OutputCDR record = MakeOutputStream(kPayloadStreamSize);
        if (!protocol::EncodeDriveRecord(record, drive) || !chunks.Add(record))
            return false;
    }
    return chunks.End();
}

bool Session::HandleGetDiskFreeSpace()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodeGetDiskFreeSpaceRequest(in, path))
        return false;
    MappedPath mapped;
    Location at;
    Geometry g;
    uint32_t status = Find(path, true, mapped, at);
    if (status == 0) {
        const int fd = OpenAt(at, O_PATH);
        const UniqueFd owned(fd >= 0 ? fd : -1);
        const int error = fd < 0 ? -fd : DiskGeometry(fd, g);
        status = error == 0 ? 0 : error == ENOENT ? kErrorFileNotFound : Win32FromErrno(error);
    }
    ACE_OutputCDR out = MakeOutputStream(32);
    return protocol::EncodeGetDiskFreeSpaceReply(
               out, {status, g.sectorsPerCluster, g.bytesPerSector, g.freeClusters, g.totalClusters}) &&
           channel_.SendReply(OpGetDiskFreeSpace, out);
}

bool Session::HandleGetOSVersion()
{
    ACE_OutputCDR out = MakeOutputStream(16);
    return protocol::EncodeGetOSVersionReply(out, config_.osVersion) && channel_.SendReply(OpGetOSVersion, out);
}

bool Session::HandleGetPathList()
{
    ACE_InputCDR in = channel_.PayloadStream();
    std::u16string path;
    if (!protocol::DecodeGetPathListRequest(in, path))
        return false;
    MappedPath root;
    uint32_t status = 0;
    const UniqueFd folder = OpenFolder(path, root, status);
    const bool listable = folder.valid();
    // The stream has no status word: a path that cannot be listed is an empty list.
    if (!channel_.SendHeaderOnly(OpGetPathList, 0))
        return false;
    bool connectionOk = true;
    bool cancelled = false;
    size_t total = 0;
    std::unique_ptr<ACE_OutputCDR> chunk;
    // Sends the chunk and waits for the client's go-ahead before the next.
    auto sendChunk = [&]() {
        if (!chunk)
            return true;
        if (chunk->consolidate() != 0)
            return false;
        const size_t n = chunk->total_length();
        unsigned char length[4];
        protocol::EncodePathListChunkLength(length, static_cast<uint32_t>(n));
        if (!channel_.SendRaw(length, 4) || !channel_.SendRaw(chunk->begin()->rd_ptr(), n))
            return false;
        chunk.reset();
        MessageHeader next;
        if (channel_.ReadRequest(next, NextRequestLimits()) != WireChannel::Read::Ok)
            return false;
        if (next.opcode == OpCancelPathList) {
            cancelled = true;
            return true;
        }
        return next.opcode == OpNextPathList; // anything else breaks the stream
    };
    if (listable) {
        const int rootFd = root.drive->rootFd();
        WalkTree(folder.get(), root.parts, [&](const std::vector<std::string> &parts, int dirfd, const struct stat &) {
            Entry e;
            std::u16string windowsPath;
            if (InfoAt(dirfd, parts.back(), parts.back(), e.info) != 0 ||
                !ToWindowsPath(root.drive->letter, parts, windowsPath) || !ToUtf16(parts.back(), e.name))
                return true;
            DescribeLink(rootFd, parts, e.info);
            if (!chunk) {
                chunk = std::make_unique<ACE_OutputCDR>(kPathListChunk + 1024, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN,
                                                        nullptr, nullptr, nullptr, kMemcpyTradeoff, 1, 2);
            }
            if (!protocol::EncodePathListEntry(*chunk, windowsPath, ToFindRecord(e.info, std::move(e.name)))) {
                connectionOk = false;
                return false;
            }
            ++total;
            if (chunk->total_length() >= kPathListChunk) {
                connectionOk = sendChunk();
                return connectionOk && !cancelled;
            }
            return true;
        });
        if (connectionOk && !cancelled)
            connectionOk = sendChunk();
    }
    Log("path list: %zu entries%s", total, cancelled ? " (cancelled)" : "");
    if (!connectionOk)
        return false;
    unsigned char end[4];
    protocol::EncodePathListChunkLength(end, 0);
    return channel_.SendRaw(end, sizeof end);
}

} // namespace refagent
