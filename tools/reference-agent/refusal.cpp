#include "refusal.h"

#include "protocol/fss_util.h"

namespace refagent {

using namespace agent;

namespace {

std::string Framed(uint32_t opcode, uint32_t length, std::initializer_list<uint32_t> words)
{
    ACE_OutputCDR out = MakeOutputStream(kHeaderStreamSize + 16);
    WriteHeader(out, Reply, opcode, length);
    for (uint32_t w : words)
        out.write_ulong(w);
    out.consolidate();
    return std::string(out.begin()->rd_ptr(), out.total_length());
}

} // namespace

std::string StatusBytes(uint32_t opcode, uint32_t status) { return Framed(opcode, 4, {status}); }

bool RefusalBytes(uint32_t opcode, uint32_t status, std::string &bytes)
{
    bytes.clear();
    switch (opcode) {
    case OpFindFirst:
    case OpFindFirstDrive: bytes = Framed(opcode, 0, {}); return true; // no entries
    case OpGetPathList: bytes = Framed(opcode, 0, {0}); return true;   // the end marker at once
    case OpGetOSVersion: return false;
    case OpCancelPathList:
    case OpNextPathList: return true; // never answered
    case OpReadFile:
    case OpReadFileAt:
    case OpWriteFile: bytes = Framed(opcode, 8, {status, 0}); return true;
    default: bytes = StatusBytes(opcode, status); return true;
    }
}

} // namespace refagent
