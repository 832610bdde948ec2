#include "remote_copy.h"

#include "local_files.h"
#include "run_control.h"
#include "wide_text.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;
constexpr uint64_t kRestartRecordSize = 32;

// Turns the library's running total into additions to the caller's counter.
struct Counter {
    std::atomic<uint64_t> *total;
    std::atomic<uint64_t> *resumedTotal;
    uint64_t held = 0; // what a partial file held before the copy, if it is continued
    uint64_t seen = 0;
    uint64_t size = 0;
    uint64_t resumed = 0;
    bool first = true;

    static DWORD AGENTAPI Progress(ULONGLONG totalBytes, ULONGLONG bytesCopied, void *context)
    {
        auto *self = static_cast<Counter *>(context);
        self->size = totalBytes;
        // A continued copy reports its first chunk on top of what the
        // partial file held; one started over reports the chunk alone.
        if (self->first) {
            self->first = false;
            if (self->held != 0 && bytesCopied > self->held) {
                self->resumed = self->held;
                if (self->resumedTotal != nullptr)
                    *self->resumedTotal += self->held;
            }
        }
        if (self->total != nullptr && bytesCopied > self->seen)
            *self->total += bytesCopied - self->seen;
        if (bytesCopied > self->seen)
            self->seen = bytesCopied;
        // A signal stops the copy the way that keeps its partial file and
        // restart record, so the next run continues it.
        // A copy that holds every byte is let finish.
        return InterruptSignal() != 0 && bytesCopied < totalBytes ? PROGRESS_STOP : PROGRESS_CONTINUE;
    }
};

#ifdef _WIN32
constexpr char kWholePrefix[] = ".agent-partial-";
constexpr char kCutPrefix[] = ".agent-partial#-";
constexpr char kPathSeparators[] = "/\\";
#else
constexpr char kWholePrefix[] = ".agent-partial:";
constexpr char kCutPrefix[] = ".agent-partial#:";
constexpr char kPathSeparators[] = "/";
#endif
constexpr size_t kMaxNameUnits = 255;

CopyResult Failure(uint32_t error, const char *where)
{
    CopyResult result;
    result.error = error;
    result.where = where;
    return result;
}

// What one character of a name costs against the file system's limit:
// UTF-8 bytes on POSIX, UTF-16 code units on Windows.
size_t Units(const WString &name, size_t at, size_t *width)
{
    const WCHAR c = name[at];
    const bool pair = c >= 0xD800 && c < 0xDC00 && at + 1 < name.size() && name[at + 1] >= 0xDC00 &&
                      name[at + 1] < 0xE000;
    *width = pair ? 2 : 1;
#ifdef _WIN32
    return *width;
#else
    return pair ? 4 : c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
#endif
}

} // namespace

// The library's partial name and restart record
// (copy/copy_file_ex_partial.cpp), restated here, and only here, because
// agentcli sees the library only through its exports.
std::string PartialName(const std::string &finalPath)
{
    const size_t slash = finalPath.find_last_of(kPathSeparators);
    const std::string folder = slash == std::string::npos ? std::string() : finalPath.substr(0, slash + 1);
    const std::string name = finalPath.substr(folder.size());
    WString wide;
    if (!Widen(name, wide))
        return folder + kWholePrefix + name;
    size_t units = 0, width = 0;
    for (size_t i = 0; i < wide.size(); i += width)
        units += Units(wide, i, &width);
    if (sizeof kWholePrefix - 1 + units <= kMaxNameUnits)
        return folder + kWholePrefix + name;
    const size_t budget = kMaxNameUnits - (sizeof kCutPrefix - 1) - 1 - 16;
    size_t cut = 0;
    for (units = 0;; cut += width) {
        const size_t cost = Units(wide, cut, &width);
        if (units + cost > budget)
            break;
        units += cost;
    }
    uint64_t hash = 14695981039346656037ull;
    for (WCHAR c : wide) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    std::string out = folder + kCutPrefix + Narrow(wide.substr(0, cut)) + ".";
    for (int shift = 60; shift >= 0; shift -= 4)
        out.push_back("0123456789abcdef"[(hash >> shift) & 0xF]);
    return out;
}

bool IsPartialName(const std::string &name)
{
    return name.compare(0, sizeof kWholePrefix - 1, kWholePrefix) == 0 ||
           name.compare(0, sizeof kCutPrefix - 1, kCutPrefix) == 0;
}

// The last bytes of a regular file, read without following a link at its
// name or waiting on a pipe planted there: false when there is no such
// file or it is shorter.
static bool ReadTail(const std::string &path, unsigned char (&tail)[kRestartRecordSize], uint64_t &length)
{
#ifdef _WIN32
    std::wstring wide;
    if (!ToWide(path, wide))
        return false;
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    const uint64_t size = ::GetFileInformationByHandle(file, &info)
                              ? (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow
                              : 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(size - sizeof tail);
    at.OffsetHigh = static_cast<DWORD>((size - sizeof tail) >> 32);
    DWORD read = 0;
    const bool ok = (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
                    size >= sizeof tail && ::ReadFile(file, tail, sizeof tail, &read, &at) && read == sizeof tail;
    ::CloseHandle(file);
    length = ok ? size : 0;
    return ok;
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= static_cast<off_t>(sizeof tail) &&
              ::pread(fd, tail, sizeof tail, st.st_size - static_cast<off_t>(sizeof tail)) ==
                  static_cast<ssize_t>(sizeof tail);
    length = ok ? static_cast<uint64_t>(st.st_size) : 0;
    ::close(fd);
    return ok;
#endif
}

// The restart record (the last 32 bytes: held, size, last-write time,
// little endian) must name the same size and time.
uint64_t ResumableBytes(const std::string &local, uint64_t size, uint64_t lastWrite)
{
    unsigned char record[kRestartRecordSize];
    uint64_t length = 0;
    if (!ReadTail(PartialName(local), record, length) || length <= kRestartRecordSize)
        return 0;
    auto u64 = [&](int at) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = v << 8 | record[at + i];
        return v;
    };
    const uint64_t held = u64(0);
    return held == length - kRestartRecordSize && u64(8) == size && u64(16) == lastWrite
               ? held
               : 0;
}

CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          std::atomic<uint64_t> *progress, CopyMode mode, std::atomic<uint64_t> *resumed,
                          bool flush)
{
    WString local;
    if (!Widen(localPath, local))
        return Failure(kInvalidName, "local path");
    Counter counter{progress, resumed};
    // A partial file ends in a 32-byte restart record after the bytes it holds.
    LocalStamp partial;
    if (mode == CopyMode::Restartable && ReadLocalStamp(PartialName(localPath), partial) == 0 && partial.exists &&
        partial.size > kRestartRecordSize)
        counter.held = partial.size - kRestartRecordSize;
    const DWORD flags =
        (mode == CopyMode::Restartable ? COPY_FILE_RESTARTABLE : 0) | (flush ? 0 : AGENT_COPY_FILE_NO_FLUSH);
    if (!AgentCopyFileFromAgentExW(logon, remote.c_str(), local.c_str(), &Counter::Progress, &counter, nullptr,
                                   flags))
        return Failure(GetLastError(), "copy");
    CopyResult result;
    result.bytes = counter.size;
    result.resumed = counter.resumed;
    return result;
}

CopyResult PutLocalFile(AGENT_LOGON logon, const std::string &localPath, const std::basic_string<WCHAR> &remote,
                        std::atomic<uint64_t> *progress, CopyMode mode)
{
    WString local;
    if (!Widen(localPath, local))
        return Failure(kInvalidName, "local path");
    Counter counter{progress, nullptr};
    const DWORD flags = mode == CopyMode::Restartable ? COPY_FILE_RESTARTABLE : 0;
    if (!AgentCopyFileToAgentExW(logon, local.c_str(), remote.c_str(), &Counter::Progress, &counter, nullptr, flags))
        return Failure(GetLastError(), "copy");
    CopyResult result;
    result.bytes = counter.size;
    return result;
}

} // namespace agentcli
