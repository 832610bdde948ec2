#include "entries.h"

#include <algorithm>
#include <iterator>

#include "messages.h"
#include "protocol/path_list_messages.h"
#include "protocol/search_messages.h"

namespace fake {

namespace {

agent::protocol::FindRecord ToRecord(const FindEntry &e)
{
    agent::protocol::FindRecord r;
    r.attributes = e.attributes;
    r.creation = {e.created[0], e.created[1]};
    r.lastAccess = {e.accessed[0], e.accessed[1]};
    r.lastWrite = {e.written[0], e.written[1]};
    r.sizeLow = e.sizeLow;
    r.sizeHigh = e.sizeHigh;
    r.name = e.name;
    return r;
}

} // namespace

// Every record and entry starts with a u32, so it is encoded on its own
// and placed at the payload's next 4-byte boundary. The encoders write
// little-endian only: a big-endian sender's records are built by hand.
Payload &AppendFindRecord(Payload &p, const FindEntry &e)
{
    if (p.bigEndian())
        return p.u32(e.attributes)
            .filetime(e.created[0], e.created[1])
            .filetime(e.accessed[0], e.accessed[1])
            .filetime(e.written[0], e.written[1])
            .u32(e.sizeLow)
            .u32(e.sizeHigh)
            .wstr(e.name);
    const Payload record =
        Encoded([&](ACE_OutputCDR &out) { return agent::protocol::EncodeFindRecord(out, ToRecord(e)); });
    return p.align4().raw(record.bytes());
}

Payload &AppendDriveRecord(Payload &p, const DriveEntry &e)
{
    if (p.bigEndian()) {
        for (uint32_t v : e.values)
            p.u32(v);
        return p.wstr(e.text1).wstr(e.text2);
    }
    agent::protocol::DriveRecord drive;
    std::copy(std::begin(e.values), std::end(e.values), drive.values);
    drive.text1 = e.text1;
    drive.text2 = e.text2;
    const Payload record = Encoded([&](ACE_OutputCDR &out) { return agent::protocol::EncodeDriveRecord(out, drive); });
    return p.align4().raw(record.bytes());
}

Payload FindRecord(const FindEntry &e, bool bigEndian)
{
    Payload p(bigEndian);
    return AppendFindRecord(p, e);
}

Payload DriveRecord(const DriveEntry &e, bool bigEndian)
{
    Payload p(bigEndian);
    return AppendDriveRecord(p, e);
}

Bytes SearchStream(uint32_t opcode, const std::vector<Payload> &records, bool bigEndian)
{
    Bytes out = Header(2, opcode, 1, bigEndian);
    for (const Payload &r : records) {
        Bytes chunk = Chunk(r, bigEndian);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    Bytes end = EndChunk();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

Payload PathListChunk(const std::vector<std::pair<WString, FindEntry>> &entries, bool bigEndian)
{
    Payload p(bigEndian);
    for (const auto &e : entries) {
        if (bigEndian) {
            AppendFindRecord(p.wstr(e.first), e.second);
            continue;
        }
        const Payload entry = Encoded(
            [&](ACE_OutputCDR &out) { return agent::protocol::EncodePathListEntry(out, e.first, ToRecord(e.second)); });
        p.align4().raw(entry.bytes());
    }
    return p;
}

WString LongName(size_t n)
{
    WString out;
    for (size_t i = 0; i < n; ++i)
        out.push_back(static_cast<WCHAR>(u'a' + i % 26));
    return out;
}

} // namespace fake
