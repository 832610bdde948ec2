#include "file_messages.h"

#include "messages.h"

#include "protocol/logon_messages.h"
#include "protocol/opcodes.h"
#include "protocol/status_reply.h"

namespace fake {

using namespace agent::protocol;

Bytes AttributesReply(uint32_t status, uint32_t attributes)
{
    return ReplyOf(agent::OpGetFileAttributes, Writes(EncodeGetFileAttributesReply, {status, attributes}));
}

WIN32_FILE_ATTRIBUTE_DATA AttributeData(uint32_t attributes, FILETIME creation, FILETIME lastAccess,
                                        FILETIME lastWrite, uint64_t size)
{
    return {attributes, creation, lastAccess, lastWrite, DWORD(size >> 32), DWORD(size)};
}

BY_HANDLE_FILE_INFORMATION FileInformation(uint32_t attributes, FILETIME creation, FILETIME lastAccess,
                                           FILETIME lastWrite, uint64_t size, uint32_t serial, uint32_t links,
                                           uint64_t index)
{
    return {attributes, creation, lastAccess, lastWrite, serial, DWORD(size >> 32), DWORD(size), links,
            DWORD(index >> 32), DWORD(index)};
}

Bytes AttributeDataReply(const WIN32_FILE_ATTRIBUTE_DATA &data)
{
    return ReplyOf(agent::OpGetFileAttributesEx, Writes(EncodeGetFileAttributesExReply, {0, data}));
}

Bytes CountReply(uint32_t opcode, uint32_t status, uint32_t count, const Bytes &data)
{
    return Concat({ReplyOf(opcode, Writes(EncodeCountReply, {status, count})), data});
}

Bytes DataReply(uint32_t opcode, uint32_t status, const Bytes &data)
{
    return CountReply(opcode, status, static_cast<uint32_t>(data.size()), data);
}

Bytes PositionReply(uint64_t position)
{
    return ReplyOf(agent::OpSetFilePointer, Writes(EncodeSetFilePointerReply, {0, position}));
}

Bytes InformationReply(const BY_HANDLE_FILE_INFORMATION &info)
{
    return ReplyOf(agent::OpGetFileInformation, Writes(EncodeGetFileInformationReply, {0, info}));
}

Bytes PathRequest(uint32_t opcode, const WString &path)
{
    return RequestOf(opcode, [&](ACE_OutputCDR &out) { return EncodePathRequest(out, path.c_str()); });
}

Bytes SetAttributesRequest(const WString &path, uint32_t attributes)
{
    return RequestOf(agent::OpSetFileAttributes, [&](ACE_OutputCDR &out) {
        return EncodeSetFileAttributesRequest(out, path.c_str(), attributes);
    });
}

Bytes MoveRequest(const WString &source, const WString &target)
{
    return RequestOf(agent::OpMoveFile,
                     [&](ACE_OutputCDR &out) { return EncodeMoveFileRequest(out, source.c_str(), target.c_str()); });
}

Bytes OpenRequest(const WString &path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags)
{
    return RequestOf(agent::OpCreateFile, [&](ACE_OutputCDR &out) {
        return EncodeCreateFileRequest(out, path.c_str(), access, share, disposition, flags);
    });
}

Bytes LogonRequest(const WString &user, const WString &password, const WString &machineId,
                   const WString &computerName, bool initial)
{
    return RequestOf(agent::OpLogon, [&](ACE_OutputCDR &out) {
        return EncodeLogonRequest(out, user.c_str(), password.c_str(), machineId.c_str(), computerName.c_str(), initial);
    });
}

Bytes ReadRequest(uint32_t toRead) { return RequestOf(agent::OpReadFile, Writes(EncodeReadFileRequest, {toRead})); }

Bytes ReadAtRequest(uint32_t toRead, uint64_t offset)
{
    return RequestOf(agent::OpReadFileAt, Writes(EncodeReadFileAtRequest, {toRead, offset}));
}

Bytes FilePointerRequest(int64_t distance, uint32_t method)
{
    return RequestOf(agent::OpSetFilePointer, Writes(EncodeSetFilePointerRequest, {distance, method}));
}

Bytes FileTimeRequest(FILETIME creation, FILETIME lastAccess, FILETIME lastWrite)
{
    return RequestOf(agent::OpSetFileTime, Writes(EncodeSetFileTimeRequest, {creation, lastAccess, lastWrite}));
}

CreateFileRequest OpenOf(const Request &request)
{
    return DecodedPayload<CreateFileRequest>(request.payload, request.byteOrder != 1, DecodeCreateFileRequest);
}

ReadFileRequest ReadOf(const Request &request)
{
    return DecodedPayload<ReadFileRequest>(request.payload, request.byteOrder != 1, DecodeReadFileRequest);
}

ReadFileAtRequest ReadAtOf(const Request &request)
{
    return DecodedPayload<ReadFileAtRequest>(request.payload, request.byteOrder != 1, DecodeReadFileAtRequest);
}

SetFilePointerRequest FilePointerOf(const Request &request)
{
    return DecodedPayload<SetFilePointerRequest>(request.payload, request.byteOrder != 1, DecodeSetFilePointerRequest);
}

} // namespace fake
