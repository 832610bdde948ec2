// Message header codec and the CDR stream conventions shared by every
// exchange.
#ifndef AGENT_FSS_UTIL_H
#define AGENT_FSS_UTIL_H

#include "platform/platform.h"
#include "protocol/opcodes.h"

#include <ace/CDR_Stream.h>

#include <cstdint>

namespace agent {

// Allocates zero-filled stream buffers, so that the alignment padding
// CDR skips over goes out as zeros rather than leftover process memory.
ACE_Allocator *ZeroFilledAllocator();

// An output stream with the wire's parameters: little-endian, GIOP 1.2.
inline ACE_OutputCDR MakeOutputStream(size_t initialSize)
{
    return ACE_OutputCDR(initialSize, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, ZeroFilledAllocator(), nullptr, nullptr,
                         kMemcpyTradeoff, 1, 2);
}

// Byte order of a wire flag: 1 is little-endian, anything else big-endian.
inline int ByteOrderOf(uint32_t flag)
{
    return flag == 1 ? ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN : ACE_CDR::BYTE_ORDER_BIG_ENDIAN;
}

// An input stream that is pointed at bytes it does not own, again and
// again, without allocating: the connection decodes every reply through one.
class BorrowedInput : public ACE_InputCDR {
public:
    BorrowedInput();
    // Reads `length` bytes at `data` (aligned as the payload's first byte
    // must be) in `byteOrder`; the bytes must outlive the reads.
    void Over(const char *data, size_t length, int byteOrder);
};

// A request header at `out` (12 bytes): the byte-order flag 1, kind Request.
void PutRequestHeader(char *out, uint32_t opcode, uint32_t length);

bool WriteHeader(ACE_OutputCDR &out, uint16_t kind, uint32_t opcode, uint32_t length);
bool ReadHeader(ACE_InputCDR &in, MessageHeader &header);

// One u32 into a field of any 32-bit type (DWORD is not ACE's ULong on
// every target); the field is written only when the word was there.
template <typename Word>
bool ReadWord(ACE_InputCDR &in, Word &field)
{
    static_assert(sizeof(Word) == sizeof(ACE_CDR::ULong), "a 32-bit field");
    ACE_CDR::ULong value = 0;
    if (!in.read_ulong(value))
        return false;
    field = static_cast<Word>(value);
    return true;
}

// A FILETIME as two u32, low part first.
bool WriteFileTime(ACE_OutputCDR &out, const FILETIME &time);
bool ReadFileTime(ACE_InputCDR &in, FILETIME &time);

} // namespace agent

#endif
