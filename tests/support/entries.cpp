#include "entries.h"

namespace fake {

// Written out field by field rather than through the codecs, so that the
// library's decoders meet bytes that nothing of theirs produced.
Payload &AppendFindRecord(Payload &p, const FindEntry &e)
{
    return p.u32(e.attributes)
        .filetime(e.created[0], e.created[1])
        .filetime(e.accessed[0], e.accessed[1])
        .filetime(e.written[0], e.written[1])
        .u32(e.sizeLow)
        .u32(e.sizeHigh)
        .wstr(e.name);
}

Payload &AppendDriveRecord(Payload &p, const DriveEntry &e)
{
    for (uint32_t v : e.values)
        p.u32(v);
    return p.wstr(e.text1).wstr(e.text2);
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
    for (const auto &e : entries)
        AppendFindRecord(p.wstr(e.first), e.second);
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
