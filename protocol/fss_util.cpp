#include "protocol/fss_util.h"

#include <ace/Log_Msg.h>
#include <ace/Malloc_Allocator.h>

#include <cstring>

namespace agent {

namespace {

class ZeroFilling : public ACE_New_Allocator {
public:
    void *malloc(size_t bytes) override
    {
        void *block = ACE_New_Allocator::malloc(bytes);
        if (block != nullptr)
            std::memset(block, 0, bytes);
        return block;
    }
};

} // namespace

ACE_Allocator *ZeroFilledAllocator()
{
    static ZeroFilling allocator;
    return &allocator;
}

BorrowedInput::BorrowedInput()
    : ACE_InputCDR(static_cast<const char *>(nullptr), 0, ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN, 1, 2)
{
}

void BorrowedInput::Over(const char *data, size_t length, int byteOrder)
{
    // The block was made over borrowed memory (DONT_DELETE), so re-basing
    // it frees nothing and allocates nothing.
    start_.base(const_cast<char *>(data), length, ACE_Message_Block::DONT_DELETE);
    start_.wr_ptr(length);
    reset_byte_order(byteOrder);
    good_bit_ = true;
}

namespace {
void PutLittleEndian32(char *out, uint32_t value)
{
    out[0] = static_cast<char>(value & 0xFF);
    out[1] = static_cast<char>((value >> 8) & 0xFF);
    out[2] = static_cast<char>((value >> 16) & 0xFF);
    out[3] = static_cast<char>(value >> 24);
}
} // namespace

void PutRequestHeader(char *out, uint32_t opcode, uint32_t length)
{
    PutLittleEndian32(out, 1u | (static_cast<uint32_t>(Request) << 16));
    PutLittleEndian32(out + 4, opcode);
    PutLittleEndian32(out + 8, length);
}

bool WriteHeader(ACE_OutputCDR &out, uint16_t kind, uint32_t opcode, uint32_t length)
{
    if (out.write_ushort(1) && out.write_ushort(kind) && out.write_ulong(opcode) && out.write_ulong(length))
        return true;
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("Unable to write message header")));
    return false;
}

bool ReadHeader(ACE_InputCDR &in, MessageHeader &header)
{
    // The flag is always read little-endian: a big-endian sender's 1 reads
    // as 256 and turns swapping on for everything after it.
    in.reset_byte_order(ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN);
    ACE_CDR::UShort order = 0;
    if (in.read_ushort(order)) {
        in.reset_byte_order(ByteOrderOf(order));
        ACE_CDR::UShort kind = 0;
        ACE_CDR::ULong opcode = 0;
        ACE_CDR::ULong length = 0;
        if (in.read_ushort(kind) && in.read_ulong(opcode) && in.read_ulong(length)) {
            header.byteOrder = order;
            header.kind = kind;
            header.opcode = opcode;
            header.length = length;
            return true;
        }
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("Unable to read message header")));
    return false;
}

bool WriteFileTime(ACE_OutputCDR &out, const FILETIME &time)
{
    return out.write_ulong(time.dwLowDateTime) && out.write_ulong(time.dwHighDateTime);
}

bool ReadFileTime(ACE_InputCDR &in, FILETIME &time)
{
    ACE_CDR::ULong low = 0;
    ACE_CDR::ULong high = 0;
    if (!in.read_ulong(low) || !in.read_ulong(high))
        return false;
    time.dwLowDateTime = low;
    time.dwHighDateTime = high;
    return true;
}

} // namespace agent
