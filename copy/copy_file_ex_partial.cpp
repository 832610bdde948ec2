// The partial file of AgentCopyFileFromAgentExW and the record that lets a
// restart continue it.
//
// The record sits in the file itself, after the data, so the partial file
// and what it claims can never be separated: a copy that ends early cuts
// the file to the bytes it knows to be whole and appends the record; a
// restart reads it back and cuts it off again before adding data. A file
// without a whole record (a copy that crashed, any other file of that
// name) is started over.
//
// The partial file sits beside the final name under a name of its own
// (PartialName), is created and reopened without following links, and
// takes the final name only by a rename once complete and on the disk.
#include "copy/copy_file_ex.h"

namespace agent {
namespace copy_ex {

namespace {

constexpr restart::Mark kMark = {'A', 'g', 'C', 'o', 'p', 'y', 'R', '1'};

// Whole final names and cut ones get different prefixes, so the partial
// names of two different final names never meet.
#ifdef _WIN32
constexpr char kWholePrefix[] = ".agent-partial-";
constexpr char kCutPrefix[] = ".agent-partial#-";
#else
constexpr char kWholePrefix[] = ".agent-partial:";
constexpr char kCutPrefix[] = ".agent-partial#:";
#endif
constexpr size_t kHashDigits = 16;

void Append(WideText &to, const char *ascii)
{
    for (; *ascii != 0; ++ascii)
        to.push_back(static_cast<WCHAR>(*ascii));
}

// FNV-1a over the name's code units.
uint64_t NameHash(const WCHAR *name, size_t length)
{
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<uint16_t>(name[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c < 0xDC00; }

} // namespace

WideText PartialName(const WCHAR *finalName)
{
    size_t length = 0;
    while (finalName[length] != 0)
        ++length;
    const size_t wholePrefix = sizeof kWholePrefix - 1;
    WideText name;
    if (wholePrefix + platform::LocalNameUnits(finalName, length) <= platform::kMaxLocalNameUnits) {
        Append(name, kWholePrefix);
        name.append(finalName, length);
        return name;
    }
    // As much of the name as fits before '.' and the hash.
    const size_t budget = platform::kMaxLocalNameUnits - (sizeof kCutPrefix - 1) - 1 - kHashDigits;
    size_t cut = 0;
    for (;;) {
        const size_t step = IsHighSurrogate(finalName[cut]) && cut + 1 < length ? 2 : 1;
        if (platform::LocalNameUnits(finalName, cut + step) > budget)
            break;
        cut += step;
    }
    Append(name, kCutPrefix);
    name.append(finalName, cut);
    name.push_back(u'.');
    const uint64_t hash = NameHash(finalName, length);
    for (int shift = 60; shift >= 0; shift -= 4)
        name.push_back(static_cast<WCHAR>("0123456789abcdef"[(hash >> shift) & 0xF]));
    return name;
}

int ReadRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t *held)
{
    *held = 0;
    uint64_t size = 0;
    if (platform::GetLocalFileSize(partial, &size) != 0)
        return -1;
    if (size < kRecordSize)
        return 0;
    restart::Record record;
    DWORD got = 0;
    if (platform::ReadFileAt(partial, record, kRecordSize, size - kRecordSize, &got) != 0)
        return -1;
    const uint64_t claimed = restart::Held(record);
    // The record must sit right after the bytes it counts and name this
    // very version.
    if (got != kRecordSize || claimed != size - kRecordSize || claimed > version.size ||
        !restart::Names(record, kMark, version))
        return 0;
    *held = claimed;
    return 0;
}

int WriteRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t held)
{
    restart::Record record;
    restart::Encode(record, kMark, version, held);
    if (platform::SetLocalFileSize(partial, held) != 0)
        return -1;
    return platform::WriteFileAt(partial, record, kRecordSize, held);
}

PartialFile::PartialFile(const platform::LocalFolder &folder, const WCHAR *finalName, DWORD flags)
    : folder_(folder), finalName_(finalName), flags_(flags)
{
}

PartialFile::~PartialFile() { Remove(); }

HANDLE PartialFile::handle() const { return file_; }

int PartialFile::Open(const RemoteVersion &version)
{
    size_t length = 0;
    while (finalName_[length] != 0)
        ++length;
    if (platform::LocalNameUnits(finalName_, length) > platform::kMaxLocalNameUnits) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return -1;
    }
    name_ = PartialName(finalName_);
    held_ = 0;
    if ((flags_ & COPY_FILE_RESTARTABLE) != 0) {
        // Most copies find no partial file to continue: creating it is
        // tried first, so they do not pay a failed open for the look.
        file_ = platform::CreateNewFileIn(folder_, name_.c_str());
        if (file_ != INVALID_HANDLE_VALUE) {
            created_ = true;
            return 0;
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            return -1;
        file_ = platform::ReopenOwnFileIn(folder_, name_.c_str());
        if (file_ == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
            return -1;
        if (file_ != INVALID_HANDLE_VALUE) {
            created_ = true;
            if (ReadRestartRecord(file_, version, &held_) != 0 || platform::SetLocalFileSize(file_, held_) != 0) {
                const DWORD cause = GetLastError();
                Remove();
                SetLastError(cause);
                return -1;
            }
            return 0;
        }
    }
    file_ = platform::CreateFreshFileIn(folder_, name_.c_str());
    if (file_ == INVALID_HANDLE_VALUE)
        return -1;
    created_ = true;
    return 0;
}

int PartialFile::Finish(const RemoteVersion &version, FolderFlush folderFlush)
{
    const bool flush = (flags_ & AGENT_COPY_FILE_NO_FLUSH) == 0;
    const FILETIME &written = version.lastWrite;
    bool done = (written.dwLowDateTime == 0 && written.dwHighDateTime == 0) ||
                platform::SetLocalLastWriteTime(file_, written) == 0;
    done = done && (!flush || platform::FlushLocalFile(file_) == 0);
    // A file that cannot be closed may not hold what was written.
    HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    done = CloseHandle(file) != 0 && done;
    done = done && platform::MoveFileIn(folder_, name_.c_str(), finalName_,
                                        (flags_ & COPY_FILE_FAIL_IF_EXISTS) == 0) == 0;
    if (!done) {
        const DWORD cause = GetLastError();
        Remove();
        SetLastError(cause);
        return -1;
    }
    created_ = false;
    // The final name now holds the whole file whatever happens to this
    // flush: a power loss can only bring back the earlier entry, never a
    // name with missing bytes.
    if (flush && folderFlush == FolderFlush::Now) {
        const DWORD before = GetLastError();
        platform::FlushLocalFolder(folder_);
        SetLastError(before);
    }
    return 0;
}

void PartialFile::Abandon(Ending ending, const RemoteVersion &version, uint64_t held)
{
    const DWORD cause = GetLastError();
    const bool keep =
        ending == Ending::Stopped || (ending == Ending::Failed && (flags_ & COPY_FILE_RESTARTABLE) != 0);
    if (keep && file_ != INVALID_HANDLE_VALUE && WriteRestartRecord(file_, version, held) == 0) {
        HANDLE file = file_;
        file_ = INVALID_HANDLE_VALUE;
        if (CloseHandle(file))
            created_ = false;
    }
    Remove();
    SetLastError(cause);
}

void PartialFile::Remove()
{
    if (file_ != INVALID_HANDLE_VALUE)
        CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (created_)
        platform::DeleteFileIn(folder_, name_.c_str());
    created_ = false;
}

} // namespace copy_ex
} // namespace agent
