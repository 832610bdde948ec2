// Builders for entry streams as an agent sends them: find-data records,
// drive records, search and path-list chunks.
#ifndef AGENT_TEST_ENTRIES_H
#define AGENT_TEST_ENTRIES_H

#include "wire.h"

#include <vector>

namespace fake {

struct FindEntry {
    uint32_t attributes = 0x20;
    uint32_t created[2] = {0x11111111, 0x01D00001};
    uint32_t accessed[2] = {0x22222222, 0x01D00002};
    uint32_t written[2] = {0x33333333, 0x01D00003};
    uint32_t sizeLow = 0;
    uint32_t sizeHigh = 0;
    WString name;
};

struct DriveEntry {
    uint32_t values[9] = {};
    WString text1;
    WString text2;
};

// Fields in wire order: attributes, three FILETIMEs, size low, size high, name.
Payload &AppendFindRecord(Payload &p, const FindEntry &e);
Payload &AppendDriveRecord(Payload &p, const DriveEntry &e);

// A search reply: header (length 1, so that entries follow), one chunk per
// entry with its length word in the content's order, then the end marker.
Bytes SearchStream(uint32_t opcode, const std::vector<Payload> &records, bool bigEndian = false);
Payload FindRecord(const FindEntry &e, bool bigEndian = false);
Payload DriveRecord(const DriveEntry &e, bool bigEndian = false);

// One path-list chunk: entries (path, record) back to back; the length
// word is little-endian whatever the content's order.
Payload PathListChunk(const std::vector<std::pair<WString, FindEntry>> &entries, bool bigEndian = false);

// A wide string of n code units: "n0001", "n0002"... cycling through letters.
WString LongName(size_t n);

} // namespace fake

#endif
