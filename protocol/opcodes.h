// The wire's vocabulary: message kinds, operation codes, the header and
// the bounds every exchange shares. Each message family's payloads are
// encoded and decoded in its own file beside this one.
#ifndef AGENT_PROTOCOL_OPCODES_H
#define AGENT_PROTOCOL_OPCODES_H

#include <cstddef>
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

} // namespace agent

#endif
