#include "protocol/find_data.h"

#include "protocol/fss_util.h"
#include "protocol/wide_string.h"

#include <cstring>

namespace agent {

bool ReadFindData(ACE_InputCDR &in, WIN32_FIND_DATAW &data)
{
    std::memset(&data, 0, sizeof data);
    ACE_CDR::ULong attributes = 0;
    if (!in.read_ulong(attributes))
        return false;
    data.dwFileAttributes = attributes;
    if (!ReadFileTime(in, data.ftCreationTime) || !ReadFileTime(in, data.ftLastAccessTime) ||
        !ReadFileTime(in, data.ftLastWriteTime))
        return false;
    // The wire carries the low word first, the reverse of the record's order.
    ACE_CDR::ULong low = 0;
    if (!in.read_ulong(low))
        return false;
    data.nFileSizeLow = low;
    ACE_CDR::ULong high = 0;
    if (!in.read_ulong(high))
        return false;
    data.nFileSizeHigh = high;
    OwnedWideString name;
    if (!name.Read(in))
        return false;
    CopyWide(data.cFileName, sizeof data.cFileName / sizeof data.cFileName[0], name.get());
    return true;
}

} // namespace agent
