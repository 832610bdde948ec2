// Message header codec and the wire constants shared by every exchange.
#ifndef AGENT_FSS_UTIL_H
#define AGENT_FSS_UTIL_H

#include "platform/platform.h"

#include <ace/CDR_Stream.h>

#include <cstdint>

namespace agent {

enum MessageKind : uint16_t {
    Request = 1,
    Reply = 2,
};

enum Opcode : uint32_t {
    OpFindFirst = 1,
    OpLogon = 2,
    OpLogout = 3,
    OpCreateDirectory = 5,
    OpRemovePath = 6,
    OpGetFileAttributesEx = 7,
    OpCreateFile = 8,
    OpSetFilePointer = 9,
    OpReadFile = 10,
    OpWriteFile = 11,
    OpCloseHandle = 12,
    OpGetFolderPath = 13,
    OpGetFileAttributes = 14,
    OpFindFirstDrive = 15,
    OpMoveFile = 16,
    OpSetFileAttributes = 17,
    OpGetDiskFreeSpace = 18,
    OpGetOSVersion = 19,
    OpReadFileAt = 20,
    OpMergePst = 21,
    OpGetPstList = 22,
    OpGetFileInformation = 23,
    OpSetFileTime = 24,
    OpPathFileExists = 25,
    OpPathIsRoot = 26,
    OpPathStripToRoot = 27,
    OpGetPathList = 28,
    OpCancelPathList = 29,
    OpNextPathList = 30,
    OpFirefox3Exists = 31,
    OpGetFirefox3BookmarkPath = 32,
    OpGetIEFavoritePath = 33,
    OpGetPstCount = 34,
};

struct MessageHeader {
    uint16_t byteOrder = 1;
    uint16_t kind = 0;
    uint32_t opcode = 0;
    uint32_t length = 0;
};

constexpr size_t kHeaderSize = 12;
constexpr size_t kHeaderStreamSize = 20;
constexpr size_t kPayloadStreamSize = 512;
constexpr size_t kStringPayloadStreamSize = 268;
constexpr size_t kMemcpyTradeoff = 256;

// The largest reply payload or stream chunk accepted from an agent. Larger
// announcements are refused before anything is allocated, so a broken or
// hostile agent cannot make the library reserve gigabytes.
constexpr uint32_t kMaxPayloadLength = 64u * 1024u * 1024u;

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

// True for the reply shape whose raw data follows its 8-byte payload (a
// read): the exchange ends only after the data.
inline bool DataFollows(const MessageHeader &header)
{
    return header.kind == Reply && (header.opcode == OpReadFile || header.opcode == OpReadFileAt) &&
           header.length == 8;
}

bool WriteHeader(ACE_OutputCDR &out, uint16_t kind, uint32_t opcode, uint32_t length);
bool ReadHeader(ACE_InputCDR &in, MessageHeader &header);
int CheckReply(const MessageHeader &header, uint16_t kind, uint32_t opcode);
int CheckReplyLength(const MessageHeader &header, uint16_t kind, uint32_t opcode, uint32_t length);
bool ReadFileTime(ACE_InputCDR &in, FILETIME &time);

} // namespace agent

#endif
