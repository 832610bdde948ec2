// The local side of a copy, the same on POSIX and Windows hosts: file
// stamps, last-write times, terminals, and the Win32 code for a local
// failure. The platform calls live in local_files_posix.cpp and
// local_files_windows.cpp; the rest is shared (local_files.cpp).
#ifndef AGENTCLI_LOCAL_FILES_H
#define AGENTCLI_LOCAL_FILES_H

#include "util/win32_codes.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <system_error>
#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace agentcli {

// Win32 codes agentcli reports for local failures.
constexpr uint32_t kLocalFileNotFound = agent::util::kErrorFileNotFound;
constexpr uint32_t kLocalPathNotFound = agent::util::kErrorPathNotFound;
constexpr uint32_t kLocalAccessDenied = agent::util::kErrorAccessDenied;
constexpr uint32_t kLocalWriteProtect = agent::util::kErrorWriteProtect;
constexpr uint32_t kLocalWriteFault = agent::util::kErrorWriteFault;
constexpr uint32_t kLocalFileExists = agent::util::kErrorFileExists;
constexpr uint32_t kLocalDiskFull = agent::util::kErrorDiskFull;

// The Win32 code for a C library error met on `path`. ENOENT is 2 when the
// folder that would hold `path` exists and 3 when it does not, as Windows
// tells a missing file from a missing folder.
uint32_t Win32FromErrno(int error, const std::string &path);
// The same for an error from std::filesystem or the platform.
uint32_t Win32FromError(const std::error_code &error, const std::string &path);
// A platform code (errno on POSIX, already Win32 on Windows) as Win32.
uint32_t Win32FromSystemCode(int code, const std::string &path);

// Creates a folder and its parents. 0, or the Win32 code: 80 when a file
// stands where the folder should be.
uint32_t CreateLocalFolder(const std::string &path);

// What a backup compares: size and last-write time as FILETIME ticks
// (100 ns since 1601, UTC).
struct LocalStamp {
    bool exists = false;
    bool regular = false;
    uint64_t size = 0;
    uint64_t lastWrite = 0;
};

// 0, also for a missing file (exists false); else the Win32 code.
uint32_t ReadLocalStamp(const std::string &path, LocalStamp &stamp);

// True when this host's file system can hold a file of this (UTF-8) name.
bool LocalNameAllowed(const std::string &name);
// True when names that differ only in case are one file here (Windows).
bool LocalNamesIgnoreCase();

bool IsTerminal(std::FILE *stream);
// The terminal's width in columns, or 0 when `stream` is not one.
int TerminalColumns(std::FILE *stream);

// True when `path` names a local folder (wide calls on Windows).
bool IsLocalFolder(const std::string &path);
// Opens a local file for reading by its UTF-8 name; null with errno set.
std::FILE *OpenLocalForRead(const std::string &path);
// 0 when a new file can be created in `folder`, else the Win32 code. With
// `flushSeconds`, the probe file also gets a block written and flushed to
// the disk, and *flushSeconds says how long the flush took (-1 when it
// could not tell).
uint32_t ProbeLocalFolder(const std::string &folder, double *flushSeconds = nullptr);

#ifndef _WIN32
// The stamp of a file whose stat result is `st`.
void StampFromStat(const struct stat &st, LocalStamp &stamp);
#else
// A UTF-8 local path as the system's wide text; false for invalid UTF-8.
bool ToWide(const std::string &utf8, std::wstring &out);
#endif

constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull; // 1970-01-01 in FILETIME ticks

} // namespace agentcli

#endif
