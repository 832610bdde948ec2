// Golden-byte checks of the protocol codecs: a message written out by hand
// is decoded, encoded back, and delivered to the library in every way a
// socket may cut it.
#ifndef AGENT_TEST_GOLDEN_H
#define AGENT_TEST_GOLDEN_H

#include "fake_agent.h"
#include "protocol/handle_messages.h"
#include "protocol/logon_messages.h"
#include "protocol/mail_store_messages.h"
#include "protocol/path_messages.h"
#include "protocol/search_messages.h"
#include "protocol/status_reply.h"
#include "protocol/user_data_messages.h"
#include "wire.h"

#include <ace/CDR_Stream.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

namespace fake {

// Decodes a payload and compares the values with the expected ones.
using Decoded = std::function<void(ACE_InputCDR &)>;

// What a row's payload must be: `encode` writes exactly its bytes (null
// where the encoder writes other bytes for these values: a short or padded
// row), `decoded` checks what it decodes to, every byte used.
struct Codec {
    Encoder encode;
    Decoded decoded;
};

// Each record's fields, so that a decoded value and the row's compare (and
// print) field by field.
inline uint64_t Ticks(const FILETIME &t) { return uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime; }
inline auto Fields(const agent::protocol::StatusReply &r) { return std::make_tuple(r.status); }
inline auto Fields(const agent::protocol::CountReply &r) { return std::make_tuple(r.status, r.count); }
inline auto Fields(const agent::protocol::ReadFileRequest &r) { return std::make_tuple(r.toRead); }
inline auto Fields(const agent::protocol::ReadFileAtRequest &r) { return std::make_tuple(r.toRead, r.offset); }
inline auto Fields(const agent::protocol::SetFilePointerRequest &r) { return std::make_tuple(r.distance, r.method); }
inline auto Fields(const agent::protocol::SetFilePointerReply &r) { return std::make_tuple(r.status, r.position); }
inline auto Fields(const agent::protocol::SetFileTimeRequest &r)
{
    return std::make_tuple(Ticks(r.creation), Ticks(r.lastAccess), Ticks(r.lastWrite));
}
inline auto Fields(const BY_HANDLE_FILE_INFORMATION &i)
{
    return std::make_tuple(i.dwFileAttributes, Ticks(i.ftCreationTime), Ticks(i.ftLastAccessTime),
                           Ticks(i.ftLastWriteTime), i.dwVolumeSerialNumber, i.nFileSizeHigh, i.nFileSizeLow,
                           i.nNumberOfLinks, i.nFileIndexHigh, i.nFileIndexLow);
}
inline auto Fields(const agent::protocol::GetFileInformationReply &r)
{
    return std::tuple_cat(std::make_tuple(r.status), Fields(r.info));
}
inline auto Fields(const WIN32_FILE_ATTRIBUTE_DATA &d)
{
    return std::make_tuple(d.dwFileAttributes, Ticks(d.ftCreationTime), Ticks(d.ftLastAccessTime),
                           Ticks(d.ftLastWriteTime), d.nFileSizeLow, d.nFileSizeHigh);
}
inline auto Fields(const agent::protocol::GetFileAttributesReply &r) { return std::make_tuple(r.status, r.attributes); }
inline auto Fields(const agent::protocol::GetFileAttributesExReply &r)
{
    return std::tuple_cat(std::make_tuple(r.status), Fields(r.data));
}
inline auto Fields(const agent::protocol::CreateFileRequest &r)
{
    return std::make_tuple(r.flags, r.disposition, r.share, r.access, r.path);
}
inline auto Fields(const agent::protocol::SetFileAttributesRequest &r) { return std::make_tuple(r.path, r.attributes); }
inline auto Fields(const agent::protocol::MoveFileRequest &r) { return std::make_tuple(r.source, r.target); }
inline auto Fields(const agent::protocol::LogonRequest &r)
{
    return std::make_tuple(r.user, r.password, r.machineId, r.computerName, r.initial);
}
inline auto Fields(const agent::protocol::FindFirstRequest &r) { return std::make_tuple(r.pattern, r.value); }
inline auto Fields(const agent::protocol::GetDiskFreeSpaceReply &r)
{
    return std::make_tuple(r.status, r.sectorsPerCluster, r.bytesPerSector, r.freeClusters, r.totalClusters);
}
inline auto Fields(const agent::protocol::GetPstCountReply &r) { return std::make_tuple(r.status, r.count); }
inline auto Fields(const agent::protocol::MergePstRequest &r)
{
    return std::make_tuple(r.first, r.second, r.third, r.items);
}
inline auto Fields(const agent::protocol::GetFolderPathRequest &r) { return std::make_tuple(r.folder, r.flag); }
inline auto Fields(const agent::WideText &t) { return std::make_tuple(t); }
inline auto Fields(const uint32_t &v) { return std::make_tuple(v); }

// The payload decodes through `decode` to a message equal to `want`.
template <typename Message>
Decoded Is(bool (*decode)(ACE_InputCDR &, Message &), const Message &want)
{
    return [=](ACE_InputCDR &in) {
        Message got{};
        ASSERT_TRUE(decode(in, got));
        EXPECT_EQ(Fields(got), Fields(want));
    };
}

// The codec of a message whose encoder takes it whole.
template <typename Message>
Codec Of(bool (*encode)(ACE_OutputCDR &, const Message &), bool (*decode)(ACE_InputCDR &, Message &),
         const Message &value)
{
    return {[=](ACE_OutputCDR &out) { return encode(out, value); }, Is(decode, value)};
}

// A status reply, and a message of no payload.
Codec StatusOnly(uint32_t status);
Codec Bare();

// The payload of `message` (apart from its header) checked against `codec`.
void CheckCodec(const Bytes &message, const Codec &codec);
void CheckPayload(const Bytes &payload, bool bigEndian, const Codec &codec);

// Every delivery of `message` (whole, byte by byte, split at every point)
// queued for `opcode`, and `call` run once for each.
void CheckDeliveries(FakeAgent &agent, uint32_t opcode, const Bytes &message, const std::function<void()> &call);

// A row of a family's table of payloads: the bytes written out by hand (in
// the given byte order) and the values they carry.
template <typename Values>
struct PayloadRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    Values expected;
    bool canonical = true; // what the encoder writes for these values
};

// A request: the codec as above, and (when `send` is set) the library's
// request is exactly these bytes.
struct RequestRow {
    const char *name;
    std::string hex; // header and payload
    Codec codec;
    std::function<void()> send; // makes the library send it; its outcome is not looked at
};
void CheckRequest(FakeAgent &agent, const RequestRow &row);

// A reply: the codec as above, then every delivery of the message queued
// for its opcode and `call` run once for each, checking what the library
// made of it.
struct ReplyRow {
    const char *name;
    std::string hex; // header, payload and any raw data after it
    size_t trailing; // raw bytes after the payload
    Codec codec;
    std::function<void()> call;
    uint32_t queueFor = 0; // the request it answers, when not the header's opcode
};
void CheckReply(FakeAgent &agent, const ReplyRow &row);

// A reply of `opcode` around a payload row (the header in its byte order).
Bytes ReplyAround(uint32_t opcode, const Bytes &payload, bool bigEndian);

// Every field of a find-data record as the library hands it out.
void ExpectFindData(const WIN32_FIND_DATAW &data, const agent::protocol::FindRecord &r);

} // namespace fake

#endif
