// The path and file-handle messages as the tests' fake agent sends and
// reads them, encoded and decoded by the protocol codecs. Replies that
// must be malformed are still built by hand where they are used.
#ifndef AGENT_TEST_FILE_MESSAGES_H
#define AGENT_TEST_FILE_MESSAGES_H

#include "fake_agent.h"
#include "messages.h"
#include "protocol/handle_messages.h"
#include "protocol/path_messages.h"

#include <ace/CDR_Stream.h>

namespace fake {

// Replies.
Bytes AttributesReply(uint32_t status, uint32_t attributes = 0);
WIN32_FILE_ATTRIBUTE_DATA AttributeData(uint32_t attributes, FILETIME creation, FILETIME lastAccess,
                                        FILETIME lastWrite, uint64_t size);
Bytes AttributeDataReply(const WIN32_FILE_ATTRIBUTE_DATA &data);
BY_HANDLE_FILE_INFORMATION FileInformation(uint32_t attributes, FILETIME creation, FILETIME lastAccess,
                                           FILETIME lastWrite, uint64_t size, uint32_t serial, uint32_t links,
                                           uint64_t index);
// A read's reply (status, count) followed by its raw data; also the
// write's reply, without data.
Bytes CountReply(uint32_t opcode, uint32_t status, uint32_t count, const Bytes &data = {});
Bytes DataReply(uint32_t opcode, uint32_t status, const Bytes &data);
Bytes PositionReply(uint64_t position);
Bytes InformationReply(const BY_HANDLE_FILE_INFORMATION &info);

// Requests, as the library sends them.
Bytes LogonRequest(const WString &user, const WString &password, const WString &machineId,
                   const WString &computerName, bool initial);
Bytes PathRequest(uint32_t opcode, const WString &path);
Bytes SetAttributesRequest(const WString &path, uint32_t attributes);
Bytes MoveRequest(const WString &source, const WString &target);
Bytes OpenRequest(const WString &path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags);
Bytes ReadRequest(uint32_t toRead);
Bytes ReadAtRequest(uint32_t toRead, uint64_t offset);
Bytes FilePointerRequest(int64_t distance, uint32_t method);
Bytes FileTimeRequest(FILETIME creation, FILETIME lastAccess, FILETIME lastWrite);

// Requests as the agent reads them; a payload that does not decode gives
// the default values.
agent::protocol::CreateFileRequest OpenOf(const Request &request);
agent::protocol::ReadFileRequest ReadOf(const Request &request);
agent::protocol::ReadFileAtRequest ReadAtOf(const Request &request);
agent::protocol::SetFilePointerRequest FilePointerOf(const Request &request);

// A payload decoded by `decode`; the message's default values when it
// does not decode.
template <typename Message, typename Decode>
Message DecodedPayload(const Bytes &payload, bool bigEndian, Decode &&decode)
{
    ACE_InputCDR in = InputOver(payload, bigEndian);
    Message message;
    if (!decode(in, message))
        return Message();
    return message;
}

// The same for a reply payload (little-endian).
template <typename Message, typename Decode>
Message DecodedReply(const Bytes &payload, Decode &&decode)
{
    return DecodedPayload<Message>(payload, false, decode);
}

} // namespace fake

#endif
