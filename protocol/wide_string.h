// UTF-16 strings in CDR: u32 byte count (2 x code units, no terminator),
// then the code units in the stream's byte order. ACE's own wstring codec
// uses the platform wchar_t (4 bytes on Linux), so the wire form is written
// here on top of the stream's u32 and u16 primitives.
#ifndef AGENT_WIDE_STRING_H
#define AGENT_WIDE_STRING_H

#include "platform/platform.h"

#include <ace/CDR_Stream.h>

#include <cstddef>
#include <string>

namespace agent {

// Length in code units of a null-terminated string; 0 for null.
size_t WideLength(const WCHAR *s);
inline bool IsEmpty(const WCHAR *s) { return s == nullptr || s[0] == 0; }

// A null string encodes as the empty string.
bool WriteWideString(ACE_OutputCDR &out, const WCHAR *s);

// Decodes into a new NUL-terminated string from ACE_Allocator::instance();
// fails (out stays null) when the count is odd or exceeds the bytes left.
bool ReadWideString(ACE_InputCDR &in, WCHAR *&out);

// The agent's and the tests' form of a wire string: every code unit the
// count announces, embedded NULs included.
using WideText = std::basic_string<WCHAR>;
bool ReadWideString(ACE_InputCDR &in, WideText &out);
bool WriteWideString(ACE_OutputCDR &out, const WideText &s);

// Owns a string read by ReadWideString and frees it through the allocator.
class OwnedWideString {
public:
    OwnedWideString() = default;
    ~OwnedWideString();
    OwnedWideString(const OwnedWideString &) = delete;
    OwnedWideString &operator=(const OwnedWideString &) = delete;

    bool Read(ACE_InputCDR &in); // replaces the held string
    const WCHAR *get() const { return text_; }
    size_t length() const { return WideLength(text_); }

private:
    void Reset();
    WCHAR *text_ = nullptr;
};

// Copies at most capacity - 1 code units and a terminator, like lstrcpynW.
void CopyWide(WCHAR *dest, size_t capacity, const WCHAR *src);

// An owned copy made with ACE_OS::malloc (null for null), freed with ACE_OS::free.
WCHAR *DuplicateWide(const WCHAR *s);

} // namespace agent

#endif
