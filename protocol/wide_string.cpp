#include "protocol/wide_string.h"

#include <ace/Malloc_Base.h>
#include <ace/OS_Memory.h>

#include <cstring>

namespace agent {

size_t WideLength(const WCHAR *s)
{
    size_t n = 0;
    if (s != nullptr)
        while (s[n] != 0)
            ++n;
    return n;
}

bool WriteWideString(ACE_OutputCDR &out, const WCHAR *s)
{
    const size_t units = WideLength(s);
    if (units > 0x7FFFFFFFu / 2)
        return false;
    if (!out.write_ulong(static_cast<ACE_CDR::ULong>(units * 2)))
        return false;
    if (units == 0)
        return true;
    static_assert(sizeof(WCHAR) == sizeof(ACE_CDR::UShort), "UTF-16 code units");
    return out.write_ushort_array(reinterpret_cast<const ACE_CDR::UShort *>(s),
                                  static_cast<ACE_CDR::ULong>(units));
}

bool ReadWideString(ACE_InputCDR &in, WCHAR *&out)
{
    out = nullptr;
    ACE_CDR::ULong bytes = 0;
    if (!in.read_ulong(bytes))
        return false;
    // Code units are 2-aligned after the u32, so the bytes left bound the count.
    if (bytes % 2 != 0 || bytes > in.length())
        return false;
    const size_t units = bytes / 2;
    auto *text = static_cast<WCHAR *>(ACE_Allocator::instance()->malloc((units + 1) * sizeof(WCHAR)));
    if (text == nullptr)
        return false;
    if (units > 0 &&
        !in.read_ushort_array(reinterpret_cast<ACE_CDR::UShort *>(text), static_cast<ACE_CDR::ULong>(units))) {
        ACE_Allocator::instance()->free(text);
        return false;
    }
    text[units] = 0;
    out = text;
    return true;
}

bool ReadWideString(ACE_InputCDR &in, WideText &out)
{
    ACE_CDR::ULong bytes = 0;
    if (!in.read_ulong(bytes) || bytes % 2 != 0 || bytes > in.length())
        return false;
    out.resize(bytes / 2);
    return out.empty() || in.read_ushort_array(reinterpret_cast<ACE_CDR::UShort *>(&out[0]),
                                               static_cast<ACE_CDR::ULong>(out.size()));
}

bool WriteWideString(ACE_OutputCDR &out, const WideText &s)
{
    if (s.size() > 0x7FFFFFFFu / 2 || !out.write_ulong(static_cast<ACE_CDR::ULong>(s.size() * 2)))
        return false;
    return s.empty() || out.write_ushort_array(reinterpret_cast<const ACE_CDR::UShort *>(s.data()),
                                               static_cast<ACE_CDR::ULong>(s.size()));
}

OwnedWideString::~OwnedWideString() { Reset(); }

void OwnedWideString::Reset()
{
    if (text_ != nullptr)
        ACE_Allocator::instance()->free(text_);
    text_ = nullptr;
}

bool OwnedWideString::Read(ACE_InputCDR &in)
{
    Reset();
    return ReadWideString(in, text_);
}

void CopyWide(WCHAR *dest, size_t capacity, const WCHAR *src)
{
    if (dest == nullptr || capacity == 0)
        return;
    if (src == nullptr) {
        dest[0] = 0;
        return;
    }
    lstrcpynW(dest, src, capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(capacity));
}

WCHAR *DuplicateWide(const WCHAR *s)
{
    if (s == nullptr)
        return nullptr;
    const size_t bytes = (WideLength(s) + 1) * sizeof(WCHAR);
    auto *copy = static_cast<WCHAR *>(ACE_OS::malloc(bytes));
    if (copy != nullptr)
        std::memcpy(copy, s, bytes);
    return copy;
}

} // namespace agent
