// Golden bytes of searches, drives and system information. Each row is
// wire bytes written out by hand: they decode to the row's values, encode
// back to themselves (little-endian rows: every sender we have writes
// little-endian), and reach the library's export whole, byte by byte and
// split at every point through the loopback fake agent.
#include "agent_test.h"
#include "messages.h"
#include "protocol/search_messages.h"
#include "session/last_agent_error.h"

#include <cstring>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::InputOver;
using fake::W;
using fake::WString;

namespace {

// An entry-stream reply: the opening header (length 1: entries follow),
// the record twice, a chunk each, then the end marker.
Bytes StreamOf(uint32_t opcode, const Bytes &record, bool bigEndian)
{
    const Bytes chunk = fake::Chunk(fake::Payload(bigEndian).raw(record), bigEndian);
    return fake::Concat({fake::Header(2, opcode, 1, bigEndian), chunk, chunk, fake::EndChunk()});
}

Bytes ReplyOf(uint32_t opcode, const Bytes &payload, bool bigEndian)
{
    return fake::Concat({fake::Header(2, opcode, static_cast<uint32_t>(payload.size()), bigEndian), payload});
}

void ExpectFindData(const WIN32_FIND_DATAW &data, const FindRecord &r)
{
    EXPECT_EQ(data.dwFileAttributes, r.attributes);
    EXPECT_EQ(data.ftCreationTime.dwLowDateTime, r.creation.dwLowDateTime);
    EXPECT_EQ(data.ftCreationTime.dwHighDateTime, r.creation.dwHighDateTime);
    EXPECT_EQ(data.ftLastAccessTime.dwLowDateTime, r.lastAccess.dwLowDateTime);
    EXPECT_EQ(data.ftLastAccessTime.dwHighDateTime, r.lastAccess.dwHighDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, r.lastWrite.dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, r.lastWrite.dwHighDateTime);
    EXPECT_EQ(data.nFileSizeLow, r.sizeLow);
    EXPECT_EQ(data.nFileSizeHigh, r.sizeHigh);
    EXPECT_EQ(WString(data.cFileName), r.name);
    EXPECT_EQ(data.cAlternateFileName[0], 0);
    EXPECT_EQ(data.dwReserved0 | data.dwReserved1, 0u);
}

void ExpectDrive(const AgentDriveInfo &info, const DriveRecord &r)
{
    const DWORD values[] = {info.Value1, info.Value2, info.Value3, info.Value4, info.Value5,
                            info.Value6, info.Value7, info.Value8, info.Value9};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(values[i], r.values[i]) << "Value" << i + 1;
    EXPECT_EQ(WString(info.Text1), r.text1);
    EXPECT_EQ(WString(info.Text2), r.text2);
}

struct FindFirstRow {
    const char *label;
    const char *hex; // the request payload
    const char16_t *pattern;
    int32_t value;
};

const FindFirstRow kFindFirstRows[] = {
    {"default value", "08 00 00 00 43 00 3a 00 5c 00 2a 00 ff ff ff ff", u"C:\\*", -1},
    {"odd pattern, padding before the value", "06 00 00 00 61 00 62 00 2a 00 00 00 07 00 00 00", u"ab*", 7},
};

struct FindRow {
    const char *label;
    bool bigEndian;
    const char *hex; // one chunk's content
    FindRecord expected;
};

const FindRow kFindRows[] = {
    {"little-endian", false,
     "20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00"
     " 05 00 00 00 01 00 00 00 0a 00 00 00 61 00 2e 00 74 00 78 00 74 00",
     {0x20, {1, 2}, {3, 4}, {5, 6}, 5, 1, W(u"a.txt")}},
    {"big-endian", true,
     "00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06"
     " 00 00 00 05 00 00 00 01 00 00 00 0a 00 61 00 2e 00 74 00 78 00 74",
     {0x20, {1, 2}, {3, 4}, {5, 6}, 5, 1, W(u"a.txt")}},
    {"empty name, all bits", false,
     "10 00 00 00 ff ff ff ff ff ff ff 7f 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " fe ff ff ff ff ff ff ff 00 00 00 00",
     {0x10, {0xFFFFFFFFu, 0x7FFFFFFFu}, {0, 0}, {0, 0}, 0xFFFFFFFEu, 0xFFFFFFFFu, WString()}},
};

struct DriveRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    DriveRecord expected;
};

const DriveRow kDriveRows[] = {
    {"little-endian", false,
     "01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00 08 00 00 00"
     " 09 00 00 00 06 00 00 00 43 00 3a 00 5c 00 00 00 04 00 00 00 4f 00 53 00",
     {{1, 2, 3, 4, 5, 6, 7, 8, 9}, W(u"C:\\"), W(u"OS")}},
    {"big-endian", true,
     "00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00 08"
     " 00 00 00 09 00 00 00 06 00 43 00 3a 00 5c 00 00 00 00 00 04 00 4f 00 53",
     {{1, 2, 3, 4, 5, 6, 7, 8, 9}, W(u"C:\\"), W(u"OS")}},
};

struct DiskRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    GetDiskFreeSpaceReply expected;
    bool canonical; // what the encoder writes for these values
};

const DiskRow kDiskRows[] = {
    {"success", false, "00 00 00 00 08 00 00 00 00 02 00 00 e8 03 00 00 a0 0f 00 00", {0, 8, 512, 1000, 4000}, true},
    {"success, big-endian", true, "00 00 00 00 00 00 00 08 00 00 02 00 00 00 03 e8 00 00 0f a0",
     {0, 8, 512, 1000, 4000}, false},
    {"agent error", false, "05 00 00 00", {5, 0, 0, 0, 0}, true},
    {"agent error, big-endian", true, "00 00 00 05", {5, 0, 0, 0, 0}, false},
    {"success with a short payload gives zeros", false, "00 00 00 00 08 00 00 00", {0, 0, 0, 0, 0}, false},
};

struct VersionRow {
    const char *label;
    bool bigEndian;
    const char *hex;
    uint32_t version;
};

const VersionRow kVersionRows[] = {
    {"little-endian", false, "db b1 01 06", 0x0601B1DBu},
    {"big-endian", true, "06 01 b1 db", 0x0601B1DBu},
};

} // namespace

TEST_F(AgentTest, SearchFamilyGoldenBytes)
{
    for (const FindFirstRow &row : kFindFirstRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        EXPECT_EQ(fake::EncodedBytes([&](ACE_OutputCDR &out) {
                      return EncodeFindFirstRequest(out, W(row.pattern).c_str(), row.value);
                  }),
                  wire);
        ACE_InputCDR in = InputOver(wire, false);
        FindFirstRequest request;
        ASSERT_TRUE(DecodeFindFirstRequest(in, request));
        EXPECT_EQ(request.pattern, W(row.pattern));
        EXPECT_EQ(request.value, row.value);
        // The library sends exactly these bytes behind its header.
        agent_.Queue(OpFindFirst, fake::Send(fake::Header(2, OpFindFirst, 0)));
        WIN32_FIND_DATAW data;
        EXPECT_EQ(AgentFindFirstFile2W(logon_, W(row.pattern).c_str(), row.value, &data), nullptr);
        const std::vector<fake::Request> sent = agent_.RequestsOf(OpFindFirst);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().raw(), fake::Concat({fake::Header(1, OpFindFirst, static_cast<uint32_t>(wire.size())),
                                                   wire}));
    }

    for (const FindRow &row : kFindRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        ACE_InputCDR in = InputOver(wire, row.bigEndian);
        WIN32_FIND_DATAW data;
        std::memset(&data, 0x55, sizeof data);
        ASSERT_TRUE(DecodeFindRecord(in, data));
        ExpectFindData(data, row.expected);
        EXPECT_EQ(in.length(), 0u);
        if (!row.bigEndian) {
            EXPECT_EQ(fake::EncodedBytes([&](ACE_OutputCDR &out) { return EncodeFindRecord(out, row.expected); }),
                      wire);
        }
        for (const auto &delivery : fake::Deliveries(StreamOf(OpFindFirst, wire, row.bigEndian))) {
            SCOPED_TRACE(delivery.first);
            agent_.Queue(OpFindFirst, delivery.second);
            HANDLE search = AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), &data);
            ASSERT_NE(search, nullptr);
            ExpectFindData(data, row.expected);
            std::memset(&data, 0x55, sizeof data);
            ASSERT_EQ(AgentFindNextFileW(search, &data), 1);
            ExpectFindData(data, row.expected);
            LastAgentError = 0;
            EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            // Past the end the search reads nothing more.
            EXPECT_EQ(AgentFindNextFileW(search, &data), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
            EXPECT_EQ(AgentCloseHandle(logon_, search), 1);
            EXPECT_EQ(Idle(), 1);
        }
    }

    for (const DriveRow &row : kDriveRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        ACE_InputCDR in = InputOver(wire, row.bigEndian);
        AgentDriveInfo info = {};
        ASSERT_TRUE(DecodeDriveRecord(in, info));
        ExpectDrive(info, row.expected);
        EXPECT_EQ(in.length(), 0u);
        if (!row.bigEndian) {
            EXPECT_EQ(fake::EncodedBytes([&](ACE_OutputCDR &out) { return EncodeDriveRecord(out, row.expected); }),
                      wire);
        }
        for (const auto &delivery : fake::Deliveries(StreamOf(OpFindFirstDrive, wire, row.bigEndian))) {
            SCOPED_TRACE(delivery.first);
            agent_.Queue(OpFindFirstDrive, delivery.second);
            info = AgentDriveInfo{};
            HANDLE drives = AgentFindFirstLogicalDriveW(logon_, &info);
            ASSERT_NE(drives, nullptr);
            ExpectDrive(info, row.expected);
            info = AgentDriveInfo{};
            ASSERT_EQ(AgentFindNextLogicalDriveW(drives, &info), 1);
            ExpectDrive(info, row.expected);
            LastAgentError = 0;
            EXPECT_EQ(AgentFindNextLogicalDriveW(drives, &info), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            EXPECT_EQ(AgentFindNextLogicalDriveW(drives, &info), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
            EXPECT_EQ(AgentCloseHandle(logon_, drives), 1);
            EXPECT_EQ(Idle(), 1);
        }
    }

    const Bytes diskRequest = Hex("06 00 00 00 43 00 3a 00 5c 00");
    EXPECT_EQ(fake::EncodedBytes([](ACE_OutputCDR &out) {
                  return EncodeGetDiskFreeSpaceRequest(out, W(u"C:\\").c_str());
              }),
              diskRequest);
    {
        ACE_InputCDR in = InputOver(diskRequest, false);
        WideText path;
        ASSERT_TRUE(DecodeGetDiskFreeSpaceRequest(in, path));
        EXPECT_EQ(path, W(u"C:\\"));
    }
    for (const DiskRow &row : kDiskRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        ACE_InputCDR in = InputOver(wire, row.bigEndian);
        GetDiskFreeSpaceReply reply;
        ASSERT_TRUE(DecodeGetDiskFreeSpaceReply(in, reply));
        const GetDiskFreeSpaceReply &e = row.expected;
        EXPECT_EQ(reply.status, e.status);
        EXPECT_EQ(reply.sectorsPerCluster, e.sectorsPerCluster);
        EXPECT_EQ(reply.bytesPerSector, e.bytesPerSector);
        EXPECT_EQ(reply.freeClusters, e.freeClusters);
        EXPECT_EQ(reply.totalClusters, e.totalClusters);
        if (row.canonical) {
            EXPECT_EQ(fake::EncodedBytes([&](ACE_OutputCDR &out) { return EncodeGetDiskFreeSpaceReply(out, e); }),
                      wire);
        }
        for (const auto &delivery : fake::Deliveries(ReplyOf(OpGetDiskFreeSpace, wire, row.bigEndian))) {
            SCOPED_TRACE(delivery.first);
            agent_.Queue(OpGetDiskFreeSpace, delivery.second);
            DWORD v[4] = {7, 7, 7, 7};
            EXPECT_EQ(AgentGetDiskFreeSpace(logon_, W(u"C:\\").c_str(), &v[0], &v[1], &v[2], &v[3]),
                      e.status == 0 ? 1 : 0);
            EXPECT_EQ(GetLastError(), e.status);
            EXPECT_EQ(v[0], e.sectorsPerCluster);
            EXPECT_EQ(v[1], e.bytesPerSector);
            EXPECT_EQ(v[2], e.freeClusters);
            EXPECT_EQ(v[3], e.totalClusters);
        }
        const std::vector<fake::Request> sent = agent_.RequestsOf(OpGetDiskFreeSpace);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().payload, diskRequest);
    }

    for (const VersionRow &row : kVersionRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        ACE_InputCDR in = InputOver(wire, row.bigEndian);
        uint32_t version = 0;
        ASSERT_TRUE(DecodeGetOSVersionReply(in, version));
        EXPECT_EQ(version, row.version);
        if (!row.bigEndian) {
            EXPECT_EQ(fake::EncodedBytes([&](ACE_OutputCDR &out) { return EncodeGetOSVersionReply(out, row.version); }),
                      wire);
        }
        for (const auto &delivery : fake::Deliveries(ReplyOf(OpGetOSVersion, wire, row.bigEndian))) {
            SCOPED_TRACE(delivery.first);
            agent_.Queue(OpGetOSVersion, delivery.second);
            EXPECT_EQ(AgentGetOSVersion(logon_), row.version);
        }
        EXPECT_EQ(agent_.RequestsOf(OpGetOSVersion).back().raw(), Hex("01 00 01 00 13 00 00 00 00 00 00 00"));
    }
}
