// Golden payloads of the search, drive, path-list, system-information,
// shell-folder, browser and mail-store families. Each row is wire bytes
// written out by hand: a request's are what the library sends and decode to
// its values; a reply's are what the agent's encoder writes (little-endian
// rows: every sender we have writes little-endian) and reach the export
// whole, byte by byte and split at every point through the loopback fake
// agent. A path-list chunk's length word is little-endian whatever its
// content's order.
#include "agent_test.h"
#include "golden.h"
#include "protocol/path_list_messages.h"
#include "session/last_agent_error.h"

#include <cstring>
#include <functional>
#include <utility>
#include <vector>

using namespace agent;
using namespace agent::protocol;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::W;

namespace {

// An entry-stream reply: the opening header (length 1: entries follow),
// the record twice, a chunk each, then the end marker.
Bytes StreamOf(uint32_t opcode, const Bytes &record, bool bigEndian)
{
    const Bytes chunk = fake::Chunk(fake::Payload(bigEndian).raw(record), bigEndian);
    return fake::Concat({fake::Header(2, opcode, 1, bigEndian), chunk, chunk, fake::EndChunk()});
}

void ExpectDrive(const AgentDriveInfo &info, const DriveRecord &r)
{
    const DWORD values[] = {info.Value1, info.Value2, info.Value3, info.Value4, info.Value5,
                            info.Value6, info.Value7, info.Value8, info.Value9};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(values[i], r.values[i]) << "Value" << i + 1;
    EXPECT_EQ(fake::WString(info.Text1), r.text1);
    EXPECT_EQ(fake::WString(info.Text2), r.text2);
}

// An entry search over a stream of the record twice: both records, then
// ERROR_NO_MORE_FILES in both last errors, then past the end nothing more;
// the handle closes and its connection is pooled again.
template <typename First, typename Next, typename Check>
void TwoThenEnd(AGENT_LOGON logon, First first, Next next, Check check)
{
    HANDLE search = first();
    ASSERT_NE(search, nullptr);
    check();
    ASSERT_EQ(next(search), 1);
    check();
    LastAgentError = 0;
    EXPECT_EQ(next(search), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(next(search), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(AgentCloseHandle(logon, search), 1);
    EXPECT_EQ(IdleConnections(logon), 1);
}

const fake::PayloadRow<FindFirstRequest> kFindFirstRows[] = {
    {"default value", false, "08 00 00 00 43 00 3a 00 5c 00 2a 00 ff ff ff ff", {W(u"C:\\*"), -1}},
    {"odd pattern, padding before the value", false,
     "06 00 00 00 61 00 62 00 2a 00 00 00 07 00 00 00", {W(u"ab*"), 7}},
};

const fake::PayloadRow<FindRecord> kFindRows[] = {
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
     {0x10, {0xFFFFFFFFu, 0x7FFFFFFFu}, {0, 0}, {0, 0}, 0xFFFFFFFEu, 0xFFFFFFFFu, fake::WString()}},
};

const fake::PayloadRow<DriveRecord> kDriveRows[] = {
    {"little-endian", false,
     "01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00 08 00 00 00"
     " 09 00 00 00 06 00 00 00 43 00 3a 00 5c 00 00 00 04 00 00 00 4f 00 53 00",
     {{1, 2, 3, 4, 5, 6, 7, 8, 9}, W(u"C:\\"), W(u"OS")}},
    {"big-endian", true,
     "00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00 07 00 00 00 08"
     " 00 00 00 09 00 00 00 06 00 43 00 3a 00 5c 00 00 00 00 00 04 00 4f 00 53",
     {{1, 2, 3, 4, 5, 6, 7, 8, 9}, W(u"C:\\"), W(u"OS")}},
};

const fake::PayloadRow<GetDiskFreeSpaceReply> kDiskRows[] = {
    {"success", false, "00 00 00 00 08 00 00 00 00 02 00 00 e8 03 00 00 a0 0f 00 00", {0, 8, 512, 1000, 4000}},
    {"success, big-endian", true, "00 00 00 00 00 00 00 08 00 00 02 00 00 00 03 e8 00 00 0f a0",
     {0, 8, 512, 1000, 4000}},
    {"agent error", false, "05 00 00 00", {5, 0, 0, 0, 0}},
    {"agent error, big-endian", true, "00 00 00 05", {5, 0, 0, 0, 0}},
    {"success with a short payload gives zeros", false, "00 00 00 00 08 00 00 00", {0, 0, 0, 0, 0}, false},
};

const fake::PayloadRow<uint32_t> kVersionRows[] = {
    {"little-endian", false, "db b1 01 06", 0x0601B1DBu},
    {"big-endian", true, "06 01 b1 db", 0x0601B1DBu},
};

} // namespace

TEST_F(AgentTest, SearchFamilyGoldenBytes)
{
    WIN32_FIND_DATAW data;
    for (const auto &row : kFindFirstRows) {
        SCOPED_TRACE(row.label);
        const FindFirstRequest &e = row.expected;
        agent_.Queue(OpFindFirst, fake::Send(fake::Header(2, OpFindFirst, 0)));
        fake::CheckRequest(agent_, fake::RequestBytes(OpFindFirst, fake::Payload().raw(Hex(row.hex))),
                           {nullptr, fake::Is(DecodeFindFirstRequest, e)}, [&] {
                               EXPECT_EQ(AgentFindFirstFile2W(logon_, e.pattern.c_str(), e.value, &data), nullptr);
                           });
    }

    for (const auto &row : kFindRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        fake::CheckPayload(wire, row.bigEndian, {fake::Writes(EncodeFindRecord, row.expected), nullptr});
        fake::CheckDeliveries(agent_, OpFindFirst, StreamOf(OpFindFirst, wire, row.bigEndian), [&] {
            TwoThenEnd(logon_, [&] { return AgentFindFirstFileW(logon_, W(u"C:\\*").c_str(), &data); },
                       [&](HANDLE h) {
                           std::memset(&data, 0x55, sizeof data);
                           return AgentFindNextFileW(h, &data);
                       },
                       [&] { fake::ExpectFindData(data, row.expected); });
        });
    }

    for (const auto &row : kDriveRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        AgentDriveInfo info = {};
        fake::CheckPayload(wire, row.bigEndian, {fake::Writes(EncodeDriveRecord, row.expected), nullptr});
        fake::CheckDeliveries(agent_, OpFindFirstDrive, StreamOf(OpFindFirstDrive, wire, row.bigEndian), [&] {
            TwoThenEnd(logon_, [&] { return AgentFindFirstLogicalDriveW(logon_, &(info = AgentDriveInfo{})); },
                       [&](HANDLE h) { return AgentFindNextLogicalDriveW(h, &(info = AgentDriveInfo{})); },
                       [&] { ExpectDrive(info, row.expected); });
        });
    }

    const Bytes diskRequest = Hex("06 00 00 00 43 00 3a 00 5c 00");
    fake::CheckPayload(diskRequest, false, {nullptr, fake::Is(DecodeGetDiskFreeSpaceRequest, W(u"C:\\"))});
    for (const auto &row : kDiskRows) {
        const GetDiskFreeSpaceReply &e = row.expected;
        fake::CheckReply(agent_, OpGetDiskFreeSpace, row, fake::Writes(EncodeGetDiskFreeSpaceReply, e), [&] {
            DWORD v[4] = {7, 7, 7, 7};
            const BOOL ok = AgentGetDiskFreeSpace(logon_, W(u"C:\\").c_str(), &v[0], &v[1], &v[2], &v[3]);
            EXPECT_EQ(std::make_tuple(ok, GetLastError(), v[0], v[1], v[2], v[3]),
                      std::make_tuple(e.status == 0 ? 1 : 0, e.status, e.sectorsPerCluster, e.bytesPerSector,
                                      e.freeClusters, e.totalClusters));
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetDiskFreeSpace).back().payload, diskRequest);
    }

    for (const auto &row : kVersionRows) {
        fake::CheckPayload(Hex(row.hex), row.bigEndian, {nullptr, fake::Is(DecodeGetOSVersionReply, row.expected)});
        fake::CheckReply(agent_, OpGetOSVersion, row,
                         [&](ACE_OutputCDR &out) { return EncodeGetOSVersionReply(out, row.expected); },
                         [&] { EXPECT_EQ(AgentGetOSVersion(logon_), row.expected); });
        EXPECT_EQ(agent_.RequestsOf(OpGetOSVersion).back().raw(), Hex("01 00 01 00 13 00 00 00 00 00 00 00"));
    }
}

namespace {

using Entries = std::vector<std::pair<fake::WString, FindRecord>>;

const Entries kTwoEntries = {
    {W(u"C:\\a"), {0x10, {0, 0}, {0, 0}, {0, 0}, 0, 0, W(u"a")}},
    {W(u"C:\\a\\b.txt"), {0x20, {1, 2}, {3, 4}, {5, 6}, 7, 0, W(u"b.txt")}},
};

// Each chunk is 0x82 bytes, its length word "82 00 00 00".
const fake::PayloadRow<Entries> kChunkRows[] = {
    {"little-endian", false,
     "08 00 00 00 43 00 3a 00 5c 00 61 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 61 00 00 00"
     " 14 00 00 00 43 00 3a 00 5c 00 61 00 5c 00 62 00 2e 00 74 00 78 00 74 00"
     " 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06 00 00 00"
     " 07 00 00 00 00 00 00 00 0a 00 00 00 62 00 2e 00 74 00 78 00 74 00",
     kTwoEntries},
    {"big-endian content, little-endian length", true,
     "00 00 00 08 00 43 00 3a 00 5c 00 61 00 00 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
     " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 61 00 00"
     " 00 00 00 14 00 43 00 3a 00 5c 00 61 00 5c 00 62 00 2e 00 74 00 78 00 74"
     " 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00 05 00 00 00 06"
     " 00 00 00 07 00 00 00 00 00 00 00 0a 00 62 00 2e 00 74 00 78 00 74",
     kTwoEntries},
};

struct Listed {
    std::vector<fake::WString> paths;
    std::vector<WIN32_FIND_DATAW> records;
};

void AGENTAPI Collect(const WCHAR *path, const WIN32_FIND_DATAW *data, void *context)
{
    auto *listed = static_cast<Listed *>(context);
    listed->paths.emplace_back(path);
    listed->records.push_back(*data);
}

} // namespace

TEST_F(AgentTest, PathListFamilyGoldenBytes)
{
    const Bytes request = Hex("08 00 00 00 43 00 3a 00 5c 00 61 00");
    fake::CheckPayload(request, false, {nullptr, fake::Is(DecodeGetPathListRequest, W(u"C:\\a"))});
    EXPECT_EQ(fake::Encoded([](ACE_OutputCDR &out) { return EncodeGetPathListRequest(out, nullptr); }).bytes(),
              Hex("00 00 00 00"));

    const Bytes length = Hex("82 00 00 00");
    for (const auto &row : kChunkRows) {
        SCOPED_TRACE(row.label);
        const Bytes wire = Hex(row.hex);
        unsigned char word[4];
        EncodePathListChunkLength(word, static_cast<uint32_t>(wire.size()));
        EXPECT_EQ(Bytes(word, word + 4), length);
        fake::CheckPayload(wire, row.bigEndian,
                           {[&](ACE_OutputCDR &out) {
                                for (const auto &e : row.expected)
                                    if (!EncodePathListEntry(out, e.first, e.second))
                                        return false;
                                return true;
                            },
                            nullptr});

        // The same chunk again after the first acknowledgement, the end
        // marker after the second.
        const Bytes reply = fake::Concat({fake::Header(2, OpGetPathList, 0, row.bigEndian), length, wire});
        fake::CheckDeliveries(agent_, OpGetPathList, reply, [&] {
            agent_.Queue(OpNextPathList, fake::Send(fake::Concat({length, wire})));
            agent_.Queue(OpNextPathList, fake::Send(fake::EndChunk()));
            Listed listed;
            EXPECT_EQ(AgentGetPathList(logon_, W(u"C:\\a").c_str(), Collect, &listed), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
            ASSERT_EQ(listed.paths.size(), 2 * row.expected.size());
            for (size_t i = 0; i < listed.paths.size(); ++i) {
                EXPECT_EQ(listed.paths[i], row.expected[i % row.expected.size()].first);
                fake::ExpectFindData(listed.records[i], row.expected[i % row.expected.size()].second);
            }
            EXPECT_EQ(Idle(), 1);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPathList).back().payload, request);
        EXPECT_EQ(agent_.RequestsOf(OpNextPathList).back().raw(), Hex("01 00 01 00 1e 00 00 00 00 00 00 00"));
    }
}

namespace {

// A reply's status and path, as the export hands them out.
using StatusPath = std::pair<uint32_t, fake::WString>;

const fake::PayloadRow<StatusPath> kPathRows[] = {
    {"path", false, "00 00 00 00 0c 00 00 00 43 00 3a 00 5c 00 46 00 61 00 76 00", {0, W(u"C:\\Fav")}},
    {"path, big-endian", true, "00 00 00 00 00 00 00 0c 00 43 00 3a 00 5c 00 46 00 61 00 76", {0, W(u"C:\\Fav")}},
    {"empty path", false, "00 00 00 00 00 00 00 00", {0, W(u"")}},
    {"agent error", false, "02 00 00 00", {2, W(u"")}},
    {"agent error, big-endian", true, "00 00 00 02", {2, W(u"")}},
};

// The exports that read a status-and-path reply, by opcode.
const std::pair<uint32_t, std::function<BOOL(AGENT_LOGON, WCHAR *)>> kPathExports[] = {
    {OpGetFolderPath, [](AGENT_LOGON l, WCHAR *buffer) { return AgentGetFolderPathW(l, 5, 1, buffer); }},
    {OpGetFirefox3BookmarkPath, AgentGetFirefox3BookmarkPath},
    {OpGetIEFavoritePath, AgentGetIEFavoritePath},
};

} // namespace

TEST_F(AgentTest, UserDataFamilyGoldenBytes)
{
    const Bytes folderRequest = Hex("05 00 00 00 01 00 00 00");
    fake::CheckPayload(folderRequest, false, {nullptr, fake::Is(DecodeGetFolderPathRequest, {5, 1})});

    for (const auto &row : kPathRows) {
        const uint32_t status = row.expected.first;
        const fake::Encoder encode = [&](ACE_OutputCDR &o) { return EncodePathReply(o, status, row.expected.second); };
        for (const auto &e : kPathExports) {
            SCOPED_TRACE(e.first);
            fake::CheckReply(agent_, e.first, row, encode, [&] {
                WCHAR buffer[260];
                buffer[0] = 'x';
                SetLastError(0);
                const BOOL ok = e.second(logon_, buffer);
                EXPECT_EQ(StatusPath(GetLastError(), buffer), row.expected);
                EXPECT_EQ(ok, status == 0 ? 1 : 0);
            });
            const Bytes payload = e.first == OpGetFolderPath ? folderRequest : Bytes();
            EXPECT_EQ(agent_.RequestsOf(e.first).back().raw(),
                      fake::Concat({fake::Header(1, e.first, static_cast<uint32_t>(payload.size())), payload}));
        }
        // A refusal alone is also the whole answer to OpFirefox3Exists.
        if (status != 0) {
            fake::CheckReply(agent_, OpFirefox3Exists, row, fake::Status(status), [&] {
                EXPECT_EQ(AgentFirefox3Exists(logon_), 0);
                EXPECT_EQ(GetLastError(), status);
            });
        }
    }
    agent_.Queue(OpFirefox3Exists, fake::Send(Hex("01 00 02 00 1f 00 00 00 04 00 00 00 00 00 00 00")));
    EXPECT_EQ(AgentFirefox3Exists(logon_), 1);
    EXPECT_EQ(agent_.RequestsOf(OpFirefox3Exists).back().raw(), Hex("01 00 01 00 1f 00 00 00 00 00 00 00"));
}

namespace {

const fake::PayloadRow<GetPstCountReply> kCountRows[] = {
    {"count", false, "00 00 00 00 03 00 00 00", {0, 3}},
    {"count, big-endian", true, "00 00 00 00 00 00 00 03", {0, 3}},
    {"agent error", false, "05 00 00 00", {5, 0}},
};

// A list reply's status and the stores it carries.
using Listing = std::pair<uint32_t, std::vector<std::pair<fake::WString, fake::WString>>>;

const Listing kTwoStores = {0, {{W(u"C:\\a.pst"), W(u"a")}, {W(u"D:\\m\\b.pst"), W(u"b")}}};

const fake::PayloadRow<Listing> kListRows[] = {
    {"two stores", false,
     "00 00 00 00 02 00 00 00 10 00 00 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 61 00 00 00 14 00 00 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74 00"
     " 02 00 00 00 62 00",
     kTwoStores},
    {"two stores, big-endian", true,
     "00 00 00 00 00 00 00 02 00 00 00 10 00 43 00 3a 00 5c 00 61 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 61 00 00 00 00 00 14 00 44 00 3a 00 5c 00 6d 00 5c 00 62 00 2e 00 70 00 73 00 74"
     " 00 00 00 02 00 62",
     kTwoStores},
    {"no stores", false, "00 00 00 00 00 00 00 00", {0, {}}},
    {"agent error", false, "05 00 00 00", {5, {}}},
};

void AGENTAPI CollectStore(const WCHAR *path, const WCHAR *second, void *context)
{
    static_cast<Listing *>(context)->second.emplace_back(path, second);
}

} // namespace

TEST_F(AgentTest, MailStoreFamilyGoldenBytes)
{
    // Three texts, two items; padding after every odd-length string.
    const Bytes merge = Hex("02 00 00 00 61 00 00 00 04 00 00 00 62 00 63 00 02 00 00 00 64 00 00 00"
                            " 02 00 00 00 02 00 00 00 6e 00 00 00 09 00 00 00 04 00 00 00 78 00 79 00 10 00 00 00");
    const MergePstRequest r = {W(u"a"), W(u"bc"), W(u"d"), {{W(u"n"), 9}, {W(u"xy"), 0x10}}};
    fake::CheckPayload(merge, false, {nullptr, fake::Is(DecodeMergePstRequest, r)});
    const WCHAR *names[] = {r.items[0].first.c_str(), r.items[1].first.c_str()};
    const DWORD values[] = {9, 0x10};
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpMergePst, 0)));
    EXPECT_EQ(AgentMergePST(logon_, r.first.c_str(), r.second.c_str(), r.third.c_str(), names, values, 2), 1);
    ASSERT_EQ(agent_.RequestsOf(OpMergePst).size(), 1u);
    EXPECT_EQ(agent_.RequestsOf(OpMergePst)[0].payload, merge);

    for (const auto &row : kCountRows) {
        fake::CheckReply(agent_, OpGetPstCount, row, fake::Writes(EncodeGetPstCountReply, row.expected), [&] {
            DWORD count = 77;
            SetLastError(0);
            const BOOL ok = AgentGetAgentPstCount(logon_, &count);
            EXPECT_EQ(std::make_tuple(ok, GetLastError(), count),
                      std::make_tuple(row.expected.status == 0 ? 1 : 0, row.expected.status, row.expected.count));
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstCount).back().raw(), Hex("01 00 01 00 22 00 00 00 00 00 00 00"));
    }

    for (const auto &row : kListRows) {
        std::vector<PstStore> stores;
        for (const auto &store : row.expected.second)
            stores.push_back({store.first, store.second});
        const fake::Encoder encode = [&](ACE_OutputCDR &out) {
            return EncodeGetPstListReply(out, row.expected.first, stores);
        };
        fake::CheckReply(agent_, OpGetPstList, row, encode, [&] {
            Listing listed;
            SetLastError(0);
            const BOOL ok = AgentGetPSTList(logon_, CollectStore, &listed);
            listed.first = GetLastError();
            EXPECT_EQ(listed, row.expected);
            EXPECT_EQ(ok, row.expected.first == 0 ? 1 : 0);
        });
        EXPECT_EQ(agent_.RequestsOf(OpGetPstList).back().raw(), Hex("01 00 01 00 16 00 00 00 00 00 00 00"));
    }
}
