// The partial file of AgentCopyFileFromAgentExW and the record that lets a
// restart continue it.
//
// The record sits in the file itself, after the data, so the partial file
// and what it claims can never be separated: a copy that ends early cuts
// the file to the bytes it knows to be whole and appends the record; a
// restart reads it back and cuts it off again before adding data. A file
// without a whole record (a copy that crashed, any other file of that
// name) is started over.
#include "copy/copy_file_ex.h"

#include <cstring>

namespace agent {
namespace copy_ex {

namespace {

// Little-endian: held u64, remote size u64, last-write low u32 and high
// u32, then the mark last, so a record cut short is never taken as whole.
constexpr unsigned char kMark[8] = {'A', 'g', 'C', 'o', 'p', 'y', 'R', '1'};

void Put64(unsigned char *at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t Get64(const unsigned char *at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | at[i];
    return v;
}

void Encode(unsigned char (&record)[kRecordSize], const RemoteVersion &version, uint64_t held)
{
    Put64(record, held);
    Put64(record + 8, version.size);
    Put64(record + 16, static_cast<uint64_t>(version.lastWrite.dwHighDateTime) << 32 | version.lastWrite.dwLowDateTime);
    std::memcpy(record + 24, kMark, sizeof kMark);
}

} // namespace

WideText PartialName(const WCHAR *localPath)
{
    WideText name(localPath);
    for (const char *p = ".agent-partial"; *p != 0; ++p)
        name.push_back(static_cast<WCHAR>(*p));
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
    unsigned char record[kRecordSize];
    DWORD got = 0;
    if (platform::ReadFileAt(partial, record, kRecordSize, size - kRecordSize, &got) != 0)
        return -1;
    unsigned char expected[kRecordSize];
    const uint64_t claimed = Get64(record);
    // The record must sit right after the bytes it counts and name this
    // very version: same size, same last-write time.
    if (got != kRecordSize || claimed != size - kRecordSize || claimed > version.size)
        return 0;
    Encode(expected, version, claimed);
    if (std::memcmp(record, expected, kRecordSize) != 0)
        return 0;
    *held = claimed;
    return 0;
}

int WriteRestartRecord(HANDLE partial, const RemoteVersion &version, uint64_t held)
{
    unsigned char record[kRecordSize];
    Encode(record, version, held);
    if (platform::SetLocalFileSize(partial, held) != 0)
        return -1;
    return platform::WriteFileAt(partial, record, kRecordSize, held);
}

} // namespace copy_ex
} // namespace agent
