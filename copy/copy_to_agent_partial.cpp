// The remote names of AgentCopyFileToAgentExW, its positional write and
// the record that lets a restart continue a partial file on the agent.
#include "copy/copy_to_agent.h"

#include <algorithm>

namespace agent {
namespace copy_to {

namespace {

constexpr size_t kMaxName = 255;
constexpr size_t kMaxPath = 259;
constexpr DWORD kFromStart = 0; // FILE_BEGIN

constexpr restart::Mark kMark = {'A', 'g', 'P', 'u', 't', 'R', 'e', '1'};

WideText BesideName(const WCHAR *remotePath, const char *kind)
{
    const WideText path(remotePath);
    const size_t slash = path.find_last_of(WideText{'\\', '/'});
    const size_t nameAt = slash == WideText::npos ? 0 : slash + 1;
    WideText name = path.substr(nameAt);

    uint32_t hash = 2166136261u; // FNV-1a over the code units
    for (WCHAR c : name) {
        hash = (hash ^ (c & 0xFF)) * 16777619u;
        hash = (hash ^ (static_cast<uint16_t>(c) >> 8)) * 16777619u;
    }
    WideText suffix;
    suffix.push_back('~');
    static const char kHex[] = "0123456789abcdef";
    for (int shift = 28; shift >= 0; shift -= 4)
        suffix.push_back(static_cast<WCHAR>(kHex[(hash >> shift) & 0xF]));
    for (const char *p = kind; *p != 0; ++p)
        suffix.push_back(static_cast<WCHAR>(*p));

    size_t room = kMaxName - suffix.size();
    static const WCHAR kLongPrefix[] = {'\\', '\\', '?', '\\'};
    const bool longForm = path.compare(0, 4, kLongPrefix, 4) == 0;
    if (!longForm && path.size() <= kMaxPath)
        room = std::min(room, kMaxPath - suffix.size() > nameAt ? kMaxPath - suffix.size() - nameAt : size_t(1));
    room = std::max<size_t>(room, 1);
    if (name.size() > room) {
        name.resize(room);
        // Never end on the first half of a surrogate pair.
        if (!name.empty() && (name.back() & 0xFC00) == 0xD800)
            name.pop_back();
    }
    return path.substr(0, nameAt) + name + suffix;
}

} // namespace

WideText PartialName(const WCHAR *remotePath) { return BesideName(remotePath, ".agent-put"); }
WideText AsideName(const WCHAR *remotePath) { return BesideName(remotePath, ".agent-old"); }

int WriteRemoteAt(HANDLE remote, uint64_t *position, const void *data, DWORD size, uint64_t offset)
{
    if (*position != offset) {
        LARGE_INTEGER target;
        target.u.LowPart = static_cast<DWORD>(offset);
        target.u.HighPart = static_cast<LONG>(offset >> 32);
        LARGE_INTEGER reported = target;
        *position = UINT64_MAX;
        if (!AgentSetFilePointerEx(remote, target, &reported, kFromStart))
            return -1;
        // A write at another place than the one asked for would corrupt the
        // file without a trace.
        if ((static_cast<uint64_t>(static_cast<uint32_t>(reported.u.HighPart)) << 32 | reported.u.LowPart) != offset) {
            SetLastError(ERROR_INVALID_DATA);
            return -1;
        }
        *position = offset;
    }
    DWORD written = 0;
    if (!AgentWriteFile(remote, data, size, &written)) {
        *position = UINT64_MAX;
        return -1;
    }
    if (written != size) {
        *position = UINT64_MAX;
        SetLastError(ERROR_WRITE_FAULT);
        return -1;
    }
    *position = offset + size;
    return 0;
}

int ReadRestartRecord(HANDLE partial, const LocalVersion &version, uint64_t *held, uint64_t *length)
{
    *held = 0;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!AgentGetFileInformationByHandle(partial, &info))
        return -1;
    *length = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (*length < kRecordSize || *length > version.size)
        return 0;
    const uint64_t at = *length - kRecordSize;
    restart::Record record;
    DWORD got = 0;
    if (!AgentReadFilePosition(partial, record, kRecordSize, &got, static_cast<DWORD>(at),
                               static_cast<DWORD>(at >> 32)))
        return -1;
    const uint64_t claimed = restart::Held(record);
    // The record must lie past the bytes it counts and name this very
    // version.
    if (got != kRecordSize || claimed > at || !restart::Names(record, kMark, version))
        return 0;
    *held = claimed;
    return 0;
}

int WriteRestartRecord(HANDLE partial, const LocalVersion &version, uint64_t held, uint64_t length)
{
    if (version.size < kRecordSize) {
        SetLastError(ERROR_FILE_INVALID); // nothing worth keeping
        return -1;
    }
    // The record ends the file: after what it may already hold, and never
    // past the local size, where a restart could not cut it off again.
    held = std::min(held, version.size - kRecordSize);
    const uint64_t at = std::max(length, held + kRecordSize) - kRecordSize;
    restart::Record record;
    restart::Encode(record, kMark, version, held);
    uint64_t position = UINT64_MAX;
    return WriteRemoteAt(partial, &position, record, kRecordSize, at);
}

} // namespace copy_to
} // namespace agent
