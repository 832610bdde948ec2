// The record a partial file kept for a restart ends with: how many of its
// first bytes are whole, and the version of the source they came from.
// Little-endian: held u64, source size u64, last-write low u32 and high
// u32, then an 8-byte mark last, so a record cut short is never taken as
// whole.
#ifndef AGENT_COPY_RESTART_RECORD_H
#define AGENT_COPY_RESTART_RECORD_H

#include "platform/platform.h"

#include <cstdint>
#include <cstring>

namespace agent {

// A source file as it was when a copy started.
struct FileVersion {
    uint64_t size = 0;
    FILETIME lastWrite = {0, 0}; // zero: unknown
};

namespace restart {

constexpr uint32_t kRecordSize = 32;
using Record = unsigned char[kRecordSize];
using Mark = unsigned char[8];

inline void Put64(unsigned char *at, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<unsigned char>(v >> (8 * i));
}

inline uint64_t Get64(const unsigned char *at)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | at[i];
    return v;
}

inline void Encode(Record &record, const Mark &mark, const FileVersion &version, uint64_t held)
{
    Put64(record, held);
    Put64(record + 8, version.size);
    Put64(record + 16, static_cast<uint64_t>(version.lastWrite.dwHighDateTime) << 32 | version.lastWrite.dwLowDateTime);
    std::memcpy(record + 24, mark, sizeof mark);
}

// The count of whole bytes the record claims.
inline uint64_t Held(const Record &record) { return Get64(record); }

// The record is whole and names `version`: same size, same last-write time.
inline bool Names(const Record &record, const Mark &mark, const FileVersion &version)
{
    Record expected;
    Encode(expected, mark, version, Held(record));
    return std::memcmp(record, expected, kRecordSize) == 0;
}

} // namespace restart
} // namespace agent

#endif
