// The reference agent on the wire: the exact bytes it answers with, its
// refusals, and how it copes with broken or excess clients.
#include "agent_harness.h"
#include "file_messages.h"
#include "discovery_responder.h"
#include "messages.h"
#include "protocol/fss_util.h"
#include "protocol/mail_store_messages.h"
#include "protocol/path_list_messages.h"
#include "protocol/user_data_messages.h"
#include "win32_codes.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Dgram.h>
#include <ace/Time_Value.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace refagent_test;
using fake::Hex;
using fake::Payload;
using fake::RequestBytes;
using fake::BareRequest;
using namespace agent;
using namespace agent::protocol;

namespace {

class AgentWire : public ::testing::Test {
protected:
    void SetUp() override
    {
        tree_.Write("docs/a.txt", "hello");
        tree_.Write("docs/b.TXT", "");
        tree_.Write("docs/notes.md", "# notes");
        tree_.Write("docs/sub/deep.txt", std::string(10000, 'x'));
        ASSERT_EQ(::symlink("/etc", (tree_.path() + "/etc-link").c_str()), 0);
        agent_ = std::make_unique<RunningAgent>(tree_.path());
    }

    Bytes StringRequest(uint32_t op, const char16_t *text) { return fake::PathRequest(op, text); }
    uint32_t StatusOf(RawClient &c, const Bytes &request)
    {
        EXPECT_TRUE(c.Send(request));
        const ReplyMessage r = c.ReadReply();
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.kind, Reply);
        return r.payload.size() >= 4 ? U32(r.payload, 0) : 0xDEADBEEF;
    }

    ScratchDir tree_;
    std::unique_ptr<RunningAgent> agent_;
};

TEST_F(AgentWire, LogonAnswersExactBytesAndRefusesWrongCredentials)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.connected());
    ASSERT_TRUE(c.Send(fake::LogonRequest(u"alice", u"wrong", u"", u"H", true)));
    EXPECT_EQ(fake::ToHex(c.Read(16)), fake::ToHex(Hex("01 00 02 00 02 00 00 00 04 00 00 00 2e 05 00 00")));
    // Not logged on: requests are refused with ERROR_NOT_LOGGED_ON.
    EXPECT_EQ(StatusOf(c, StringRequest(OpGetFileAttributes, u"C:\\docs")), refagent::kErrorNotLoggedOn);
    EXPECT_EQ(StatusOf(c, fake::LogonRequest(u"mallory", u"s3cret", u"", u"H", false)), refagent::kErrorLogonFailure);
    // User names compare without case, as Windows compares them.
    ASSERT_TRUE(c.LogOn(u"ALICE", u"s3cret"));
    // Replies whose every byte is known, the logout's last.
    const std::pair<const char *, const char *> exact[] = {
        {"01 00 01 00 19 00 00 00 0a 00 00 00 06 00 00 00 43 00 3a 00 5c 00",
         "01 00 02 00 19 00 00 00 04 00 00 00 00 00 00 00"},
        // The path list of a missing folder is an empty stream.
        {"01 00 01 00 1c 00 00 00 10 00 00 00 0c 00 00 00 43 00 3a 00 5c 00 6d 00 69 00 73 00",
         "01 00 02 00 1c 00 00 00 00 00 00 00 00 00 00 00"},
        {"01 00 01 00 13 00 00 00 00 00 00 00", "01 00 02 00 13 00 00 00 04 00 00 00 06 01 b1 1d"},
        {"01 00 01 00 03 00 00 00 00 00 00 00", "01 00 02 00 03 00 00 00 04 00 00 00 00 00 00 00"},
    };
    for (const auto &[request, reply] : exact) {
        ASSERT_TRUE(c.Send(Hex(request)));
        EXPECT_EQ(fake::ToHex(c.Read(Hex(reply).size())), fake::ToHex(Hex(reply))) << request;
    }
}

TEST_F(AgentWire, PathsLeavingTheRootAreAccessDenied)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    const char16_t *escapes[] = {u"C:\\..", u"C:\\docs\\..\\..\\etc", u"/etc/passwd", u"\\\\host\\share",
                                 u"C:\\etc-link\\passwd", u"C:\\etc-link\\"};
    for (const char16_t *path : escapes) {
        const bool throughLink = path[std::char_traits<char16_t>::length(path) - 1] == u'\\';
        for (uint32_t op : {OpGetFileAttributes, OpPathFileExists, OpGetFileAttributesEx, OpCreateDirectory,
                            OpRemovePath, OpGetDiskFreeSpace}) {
            if (throughLink && op != OpGetDiskFreeSpace)
                continue; // "C:\etc-link\" names the link itself for these
            EXPECT_EQ(StatusOf(c, StringRequest(op, path)), refagent::kErrorAccessDenied)
                << "opcode " << op;
        }
        EXPECT_EQ(StatusOf(c, fake::OpenRequest(path, 0x80000000u, 1, 3, 0x80)), refagent::kErrorAccessDenied);
    }
    // The link itself is inside: it is shown, and opening through it is refused.
    ASSERT_TRUE(c.Send(StringRequest(OpGetFileAttributes, u"C:\\etc-link")));
    const ReplyMessage link = c.ReadReply();
    ASSERT_EQ(link.length, 8u);
    EXPECT_EQ(fake::DecodedReply<GetFileAttributesReply>(link.payload, DecodeGetFileAttributesReply).attributes,
              refagent::kAttributeReparsePoint); // target hidden
    EXPECT_EQ(StatusOf(c, StringRequest(OpGetFileAttributes, u"Q:\\x")), refagent::kErrorPathNotFound);
    EXPECT_EQ(StatusOf(c, StringRequest(OpGetFileAttributes, u"C:\\docs\\none")), refagent::kErrorFileNotFound);
    EXPECT_EQ(StatusOf(c, StringRequest(OpGetFileAttributes, u"C:\\none\\none")), refagent::kErrorPathNotFound);
}

TEST_F(AgentWire, AttributeRecordsCarryTheLocalSizeAndKind)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    ASSERT_TRUE(c.Send(StringRequest(OpGetFileAttributesEx, u"C:\\docs\\sub\\deep.txt")));
    ReplyMessage r = c.ReadReply();
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.length, 40u); // status + 36-byte record
    const GetFileAttributesExReply record =
        fake::DecodedReply<GetFileAttributesExReply>(r.payload, DecodeGetFileAttributesExReply);
    EXPECT_EQ(record.status, 0u);
    EXPECT_EQ(record.data.dwFileAttributes, refagent::kAttributeArchive);
    EXPECT_EQ(record.data.nFileSizeLow, 10000u);
    EXPECT_EQ(record.data.nFileSizeHigh, 0u);
    struct stat st;
    ASSERT_EQ(::stat((tree_.path() + "/docs/sub/deep.txt").c_str(), &st), 0);
    const uint64_t write =
        uint64_t(record.data.ftLastWriteTime.dwHighDateTime) << 32 | record.data.ftLastWriteTime.dwLowDateTime;
    EXPECT_EQ(write / 10000000ull - 11644473600ull, static_cast<uint64_t>(st.st_mtime));

    ASSERT_TRUE(c.Send(StringRequest(OpGetFileAttributes, u"C:\\docs")));
    r = c.ReadReply();
    ASSERT_EQ(r.length, 8u);
    EXPECT_EQ(fake::DecodedReply<GetFileAttributesReply>(r.payload, DecodeGetFileAttributesReply).attributes,
              refagent::kAttributeDirectory);
}

TEST_F(AgentWire, UnknownOpcodesGetAStatusAndTheConnectionGoesOn)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    for (uint32_t op : {4u, 35u, 0u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(c.Send(RequestBytes(op, Payload().u32(7))));
        const ReplyMessage r = c.ReadReply();
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.opcode, op);
        EXPECT_EQ(r.kind, Reply);
        ASSERT_EQ(r.length, 4u);
        EXPECT_EQ(U32(r.payload, 0), refagent::kErrorInvalidFunction);
    }
    EXPECT_EQ(StatusOf(c, StringRequest(OpPathFileExists, u"C:\\docs")), 0u);
}

TEST_F(AgentWire, MalformedRequestsCloseOnlyTheirConnection)
{
    RawClient healthy(agent_->port());
    ASSERT_TRUE(healthy.LogOn());
    const std::vector<Bytes> broken = {
        fake::Header(Reply, OpPathFileExists, 0),                                   // a reply sent as request
        fake::Header(Request, OpWriteFile, kMaxPayloadLength + 1),                 // above the bound
        RequestBytes(OpPathFileExists, Payload().u32(100)),                        // string longer than payload
        RequestBytes(OpCreateFile, Payload().u32(0).u32(3)),                       // fields missing
        RequestBytes(OpMergePst, Payload().wstr(u"a").wstr(u"b").wstr(u"c").u32(1000000)), // count beyond payload
    };
    for (const Bytes &request : broken) {
        RawClient c(agent_->port());
        ASSERT_TRUE(c.LogOn());
        ASSERT_TRUE(c.Send(request));
        EXPECT_TRUE(c.ClosedByPeer()) << fake::ToHex(Bytes(request.begin(), request.begin() + 12));
    }
    // A logon that cannot be decoded is malformed too.
    RawClient c(agent_->port());
    ASSERT_TRUE(c.Send(RequestBytes(OpLogon, Payload().wstr(u"alice"))));
    EXPECT_TRUE(c.ClosedByPeer());
    EXPECT_EQ(StatusOf(healthy, StringRequest(OpPathFileExists, u"C:\\docs\\a.txt")), 0u);
}

// Decodes a search's entry stream into names.
std::vector<std::u16string> ReadSearch(RawClient &c, uint32_t &headerLength)
{
    std::vector<std::u16string> names;
    const Bytes h = c.Read(12);
    EXPECT_EQ(h.size(), 12u);
    if (h.size() != 12)
        return names;
    EXPECT_EQ(U32(h, 4), uint32_t(OpFindFirst));
    headerLength = U32(h, 8);
    if (headerLength == 0)
        return names;
    for (;;) {
        const Bytes n = c.Read(4);
        if (n.size() != 4 || U32(n, 0) == 0)
            break;
        const Bytes chunk = c.Read(U32(n, 0));
        ACE_InputCDR in = fake::InputOver(chunk, false);
        WIN32_FIND_DATAW data;
        EXPECT_TRUE(protocol::DecodeFindRecord(in, data));
        EXPECT_EQ(in.length(), 0u);
        names.push_back(data.cFileName);
    }
    return names;
}

TEST_F(AgentWire, SearchesStreamOneRecordPerChunkAndHonourWildcards)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    uint32_t length = 0;
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\docs\\*.txt", -1)));
    EXPECT_EQ(ReadSearch(c, length), (std::vector<std::u16string>{u"a.txt", u"b.TXT"}));
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\docs\\*", -1)));
    EXPECT_EQ(ReadSearch(c, length),
              (std::vector<std::u16string>{u".", u"..", u"a.txt", u"b.TXT", u"notes.md", u"sub"}));
    // The drive root has no "." or ".."; a link out of the tree is listed by its name.
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\*", -1)));
    EXPECT_EQ(ReadSearch(c, length), (std::vector<std::u16string>{u"docs", u"etc-link"}));
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\docs\\?.md", -1)));
    EXPECT_TRUE(ReadSearch(c, length).empty());
    EXPECT_EQ(length, 0u); // no entries: a bare header
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\..\\*", -1)));
    EXPECT_TRUE(ReadSearch(c, length).empty());
    EXPECT_EQ(length, 0u);
}

// Every record of a path list: Windows path -> attributes.
std::map<std::u16string, uint32_t> ReadPathList(RawClient &c, const char16_t *path)
{
    std::map<std::u16string, uint32_t> entries;
    EXPECT_TRUE(c.Send(fake::PathListRequest(path)));
    if (c.Read(12).size() != 12)
        return entries;
    for (;;) {
        const Bytes n = c.Read(4);
        if (n.size() != 4 || U32(n, 0) == 0)
            break;
        const Bytes chunk = c.Read(U32(n, 0));
        ACE_InputCDR in = fake::InputOver(chunk, false);
        OwnedWideString full;
        WIN32_FIND_DATAW data;
        protocol::PathListEntry entry;
        while ((entry = protocol::DecodePathListEntry(in, full, data)) == protocol::PathListEntry::Decoded)
            entries[full.get()] = data.dwFileAttributes;
        EXPECT_EQ(entry, protocol::PathListEntry::NoPath);
        EXPECT_EQ(in.length(), 0u);
        c.Send(BareRequest(OpNextPathList));
    }
    return entries;
}

TEST_F(AgentWire, LinksAreShownAsReparsePointsAndNeverLeadOut)
{
    tree_.Write("data/file.txt", "abc");
    tree_.Write("data/sub/inner.txt", "in");
    const std::pair<const char *, const char *> links[] = {
        {"file.txt", "data/filelink"}, {"/etc", "data/out"},       {"../..", "data/out2"},
        {"gone", "data/dangling"},     {"..", "data/sub/up"},      {"../..", "data/sub/top"},
    };
    for (const auto &[target, name] : links)
        ASSERT_EQ(::symlink(target, (tree_.path() + "/" + name).c_str()), 0) << name;
    using refagent::kAttributeArchive;
    using refagent::kAttributeDirectory;
    using refagent::kAttributeReparsePoint;
    const std::map<std::u16string, uint32_t> expected = {
        {u"C:\\data\\file.txt", kAttributeArchive},
        {u"C:\\data\\sub", kAttributeDirectory},
        {u"C:\\data\\sub\\inner.txt", kAttributeArchive},
        {u"C:\\data\\filelink", kAttributeReparsePoint | kAttributeArchive},
        {u"C:\\data\\out", kAttributeReparsePoint},
        {u"C:\\data\\out2", kAttributeReparsePoint},
        {u"C:\\data\\dangling", kAttributeReparsePoint},
        {u"C:\\data\\sub\\up", kAttributeReparsePoint | kAttributeDirectory},
        {u"C:\\data\\sub\\top", kAttributeReparsePoint | kAttributeDirectory},
    };
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    // Attribute replies, search records and the path list agree, and the
    // list ends without entering a link (up and top loop back).
    for (const auto &[path, attributes] : expected) {
        ASSERT_TRUE(c.Send(StringRequest(OpGetFileAttributes, path.c_str())));
        const ReplyMessage r = c.ReadReply();
        ASSERT_EQ(r.length, 8u);
        EXPECT_EQ(fake::DecodedReply<GetFileAttributesReply>(r.payload, DecodeGetFileAttributesReply).attributes,
                  attributes)
            << std::string(path.begin(), path.end());
    }
    EXPECT_EQ(ReadPathList(c, u"C:\\data"), expected);
    ASSERT_TRUE(c.Send(fake::FindFirstRequest(u"C:\\data\\sub\\*", 0)));
    uint32_t length = 0;
    EXPECT_EQ(ReadSearch(c, length), (std::vector<std::u16string>{u".", u"..", u"inner.txt", u"top", u"up"}));

    // Opening or descending through a link that leads out is refused;
    // links inside lead where they point.
    auto open = [&](const char16_t *path, uint32_t flags) {
        return StatusOf(c, fake::OpenRequest(path, 0x80000000u, 1, 3, flags));
    };
    for (const char16_t *path : {u"C:\\data\\out", u"C:\\data\\out\\passwd", u"C:\\data\\out2\\x", u"C:\\data\\dangling"})
        EXPECT_NE(open(path, 0x80), 0u) << std::string(path, path + 10);
    EXPECT_EQ(open(u"C:\\data\\out\\passwd", 0x80), refagent::kErrorAccessDenied);
    EXPECT_EQ(open(u"C:\\data\\out", 0x80), refagent::kErrorAccessDenied);
    ASSERT_EQ(open(u"C:\\data\\sub\\up\\filelink", 0x80), 0u);
    ASSERT_TRUE(c.Send(fake::ReadRequest(100)));
    EXPECT_EQ(fake::ToHex(c.Read(23)),
              fake::ToHex(Hex("01 00 02 00 0a 00 00 00 08 00 00 00 00 00 00 00 03 00 00 00 61 62 63")));
    EXPECT_EQ(StatusOf(c, BareRequest(OpCloseHandle)), 0u);

    // A folder is known by its volume serial number and file index however
    // it is reached, on any connection; the link itself is a reparse point.
    auto identity = [&](RawClient &client, const char16_t *path, uint32_t flags) {
        std::vector<uint32_t> id;
        EXPECT_EQ(StatusOf(client, fake::OpenRequest(path, 0x80000000u, 1, 3, flags)), 0u)
            << std::string(path, path + 10);
        EXPECT_TRUE(client.Send(BareRequest(OpGetFileInformation)));
        const ReplyMessage r = client.ReadReply();
        EXPECT_EQ(r.length, 56u);
        if (r.length == 56) {
            const BY_HANDLE_FILE_INFORMATION info =
                fake::DecodedReply<GetFileInformationReply>(r.payload, DecodeGetFileInformationReply).info;
            id = {info.dwFileAttributes, info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
        }
        EXPECT_EQ(StatusOf(client, BareRequest(OpCloseHandle)), 0u);
        return id; // attributes, serial, index high, index low
    };
    const uint32_t backup = 0x02000000u, openLink = 0x00200000u;
    RawClient other(agent_->port());
    ASSERT_TRUE(other.LogOn());
    const std::vector<uint32_t> sub = identity(c, u"C:\\data\\sub", backup);
    ASSERT_EQ(sub.size(), 4u);
    EXPECT_EQ(sub[0], kAttributeDirectory);
    EXPECT_EQ(identity(other, u"C:\\data\\sub\\up\\sub", backup), sub);
    EXPECT_EQ(identity(c, u"C:\\data\\sub\\top\\data\\sub", backup), sub);
    const std::vector<uint32_t> data = identity(c, u"C:\\data\\sub\\up", backup);
    EXPECT_EQ(data, identity(other, u"C:\\data", backup));
    EXPECT_EQ(data[1], sub[1]);
    EXPECT_NE(std::make_pair(data[2], data[3]), std::make_pair(sub[2], sub[3]));
    const std::vector<uint32_t> link = identity(c, u"C:\\data\\sub\\up", backup | openLink);
    ASSERT_EQ(link.size(), 4u);
    EXPECT_EQ(link[0], kAttributeReparsePoint | kAttributeDirectory);
    EXPECT_NE(std::make_pair(link[2], link[3]), std::make_pair(data[2], data[3]));
}

TEST_F(AgentWire, FileReadsCarryRawDataAfterAnEightBytePayload)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    const Bytes open = fake::OpenRequest(u"C:\\docs\\a.txt", 0x80000000u, 1, 3, 0x80);
    EXPECT_EQ(StatusOf(c, open), 0u);
    // A second open on the same connection is refused; the first stays.
    EXPECT_EQ(StatusOf(c, open), refagent::kErrorTooManyOpenFiles);
    ASSERT_TRUE(c.Send(fake::ReadAtRequest(4096, 1)));
    EXPECT_EQ(fake::ToHex(c.Read(24)),
              fake::ToHex(Hex("01 00 02 00 14 00 00 00 08 00 00 00 00 00 00 00 04 00 00 00 65 6c 6c 6f")));
    // The read moved the pointer to the end: the next plain read is empty.
    ASSERT_TRUE(c.Send(fake::ReadRequest(4096)));
    EXPECT_EQ(fake::ToHex(c.Read(20)), fake::ToHex(Hex("01 00 02 00 0a 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00")));
    ASSERT_TRUE(c.Send(fake::FilePointerRequest(-2, 2)));
    ReplyMessage r = c.ReadReply();
    ASSERT_EQ(r.length, 12u);
    EXPECT_EQ(fake::DecodedReply<SetFilePointerReply>(r.payload, DecodeSetFilePointerReply).position, 3u); // 5 - 2
    // Writing to a file opened for reading only is refused in the write shape.
    ASSERT_TRUE(c.Send(fake::Concat({fake::Header(Request, OpWriteFile, 3), Hex("61 62 63")})));
    EXPECT_EQ(fake::ToHex(c.Read(20)), fake::ToHex(Hex("01 00 02 00 0b 00 00 00 08 00 00 00 05 00 00 00 00 00 00 00")));
    ASSERT_TRUE(c.Send(BareRequest(OpGetFileInformation)));
    r = c.ReadReply();
    ASSERT_EQ(r.length, 56u);
    const BY_HANDLE_FILE_INFORMATION info =
        fake::DecodedReply<GetFileInformationReply>(r.payload, DecodeGetFileInformationReply).info;
    EXPECT_EQ(info.nFileSizeHigh, 0u);
    EXPECT_EQ(info.nFileSizeLow, 5u);
    EXPECT_EQ(info.nNumberOfLinks, 1u);
    EXPECT_EQ(StatusOf(c, BareRequest(OpCloseHandle)), 0u);
    EXPECT_EQ(StatusOf(c, BareRequest(OpCloseHandle)), refagent::kErrorInvalidHandle);
    ASSERT_TRUE(c.Send(fake::ReadRequest(16)));
    EXPECT_EQ(fake::ToHex(c.Read(20)), fake::ToHex(Hex("01 00 02 00 0a 00 00 00 08 00 00 00 06 00 00 00 00 00 00 00")));
}

TEST_F(AgentWire, WritesCreateAndFillFilesAndTimesCanBeSet)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    const Bytes create = fake::OpenRequest(u"C:\\docs\\new.bin", 0x40000000u, 0, 1 /* CREATE_NEW */, 0x80);
    EXPECT_EQ(StatusOf(c, create), 0u);
    ASSERT_TRUE(c.Send(fake::Concat({fake::Header(Request, OpWriteFile, 3), Hex("61 62 63")})));
    EXPECT_EQ(fake::ToHex(c.Read(20)), fake::ToHex(Hex("01 00 02 00 0b 00 00 00 08 00 00 00 00 00 00 00 03 00 00 00")));
    // 2001-09-09 01:46:40 UTC as a FILETIME.
    const uint64_t ft = (1000000000ull + 11644473600ull) * 10000000ull;
    const FILETIME time = {uint32_t(ft), uint32_t(ft >> 32)};
    EXPECT_EQ(StatusOf(c, fake::FileTimeRequest({0, 0}, time, time)), 0u);
    EXPECT_EQ(StatusOf(c, BareRequest(OpCloseHandle)), 0u);
    struct stat st;
    ASSERT_EQ(::stat((tree_.path() + "/docs/new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(StatusOf(c, create), refagent::kErrorFileExists);
    EXPECT_EQ(StatusOf(c, StringRequest(OpCreateDirectory, u"C:\\docs")), refagent::kErrorAlreadyExists);
    EXPECT_EQ(StatusOf(c, StringRequest(OpRemovePath, u"C:\\docs\\sub")), refagent::kErrorDirNotEmpty);
    EXPECT_EQ(StatusOf(c, fake::MoveRequest(u"C:\\docs\\new.bin", u"C:\\docs\\a.txt")),
              refagent::kErrorAlreadyExists);
    EXPECT_EQ(StatusOf(c, fake::MoveRequest(u"C:\\docs\\new.bin", u"C:\\moved.bin")), 0u);
    EXPECT_EQ(StatusOf(c, StringRequest(OpRemovePath, u"C:\\moved.bin")), 0u);
    EXPECT_EQ(StatusOf(c, StringRequest(OpRemovePath, u"C:\\")), refagent::kErrorAccessDenied);
}

TEST_F(AgentWire, PathListWaitsForEachAcknowledgementAndHonoursCancel)
{
    // Enough entries for several chunks.
    for (int i = 0; i < 1500; ++i)
        tree_.Write("many/file-with-a-rather-long-name-" + std::to_string(i) + ".dat", "");
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    ASSERT_TRUE(c.Send(StringRequest(OpGetPathList, u"C:\\many")));
    const Bytes h = c.Read(12);
    ASSERT_EQ(h.size(), 12u);
    EXPECT_EQ(U32(h, 4), uint32_t(OpGetPathList));
    Bytes n = c.Read(4);
    ASSERT_EQ(n.size(), 4u);
    ASSERT_GT(U32(n, 0), 0u);
    const Bytes chunk = c.Read(U32(n, 0));
    PayloadReader r(chunk);
    std::u16string path, name;
    uint32_t v;
    ASSERT_TRUE(r.wstr(path));
    for (int i = 0; i < 9; ++i)
        ASSERT_TRUE(r.u32(v));
    ASSERT_TRUE(r.wstr(name));
    EXPECT_EQ(path, u"C:\\many\\" + name);
    // Nothing more until the client acknowledges.
    EXPECT_TRUE(c.Silent(300));
    ASSERT_TRUE(c.Send(BareRequest(OpNextPathList)));
    n = c.Read(4);
    ASSERT_EQ(n.size(), 4u);
    ASSERT_GT(U32(n, 0), 0u);
    ASSERT_EQ(c.Read(U32(n, 0)).size(), U32(n, 0));
    // A cancel instead of the acknowledgement ends the stream at once.
    ASSERT_TRUE(c.Send(BareRequest(OpCancelPathList)));
    EXPECT_EQ(fake::ToHex(c.Read(4)), "00 00 00 00");
    EXPECT_EQ(StatusOf(c, StringRequest(OpPathFileExists, u"C:\\many")), 0u);
}

TEST_F(AgentWire, SystemFiguresHaveTheirShapes)
{
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    ASSERT_TRUE(c.Send(StringRequest(OpGetDiskFreeSpace, u"C:\\docs")));
    ReplyMessage r = c.ReadReply();
    ASSERT_EQ(r.length, 20u);
    ACE_InputCDR space = fake::InputOver(r.payload, false);
    protocol::GetDiskFreeSpaceReply figures;
    ASSERT_TRUE(protocol::DecodeGetDiskFreeSpaceReply(space, figures));
    EXPECT_EQ(figures.status, 0u);
    EXPECT_GE(figures.sectorsPerCluster, 1u);
    EXPECT_EQ(figures.bytesPerSector, 512u);
    EXPECT_GE(figures.totalClusters, figures.freeClusters);
    ASSERT_TRUE(c.Send(BareRequest(OpFindFirstDrive)));
    const Bytes h = c.Read(12);
    ASSERT_EQ(U32(h, 8), 1u);
    const Bytes n = c.Read(4);
    const Bytes chunk = c.Read(U32(n, 0));
    ACE_InputCDR drive = fake::InputOver(chunk, false);
    AgentDriveInfo info = {};
    ASSERT_TRUE(protocol::DecodeDriveRecord(drive, info));
    EXPECT_EQ(drive.length(), 0u);
    EXPECT_EQ(std::u16string(info.Text1), u"C:\\");
    EXPECT_EQ(info.Value1, 3u); // fixed drive
    EXPECT_EQ(info.Value9, 2u); // drive number of C:
    EXPECT_EQ(fake::ToHex(c.Read(4)), "00 00 00 00");
}

TEST_F(AgentWire, UserDataIsFoundUnderTheProfile)
{
    tree_.Write("Users/alice/AppData/Roaming/Mozilla/Firefox/Profiles/x1.other/prefs.js", "");
    tree_.Write("Users/alice/AppData/Roaming/Mozilla/Firefox/Profiles/k2.default/places.sqlite", "SQLite");
    tree_.Write("Users/alice/Favorites/site.url", "[InternetShortcut]");
    tree_.Write("Users/alice/Documents/Outlook Files/mail.pst", "!BDN");
    tree_.Write("archive/OLD.PST", "!BDN");
    RawClient c(agent_->port());
    ASSERT_TRUE(c.LogOn());
    EXPECT_EQ(StatusOf(c, BareRequest(OpFirefox3Exists)), 0u);
    auto path = [&](const Bytes &request) {
        EXPECT_TRUE(c.Send(request));
        const ReplyMessage r = c.ReadReply();
        ACE_InputCDR in = fake::InputOver(r.payload, false);
        protocol::PathReply reply;
        EXPECT_TRUE(protocol::DecodePathReply(in, reply));
        const uint32_t status = reply.status;
        return status == 0 ? std::u16string(reply.path.get())
                           : u"error " + std::u16string(1, char16_t(u'0' + status % 10));
    };
    EXPECT_EQ(path(BareRequest(OpGetFirefox3BookmarkPath)),
              u"C:\\Users\\alice\\AppData\\Roaming\\Mozilla\\Firefox\\Profiles\\k2.default\\places.sqlite");
    EXPECT_EQ(path(BareRequest(OpGetIEFavoritePath)), u"C:\\Users\\alice\\Favorites");
    EXPECT_EQ(path(fake::FolderPathRequest(0x05, 0)), u"C:\\Users\\alice\\Documents");
    EXPECT_EQ(path(fake::FolderPathRequest(0x27, 0)), u"error 2"); // Pictures missing
    EXPECT_EQ(path(fake::FolderPathRequest(0x27, 1)), u"C:\\Users\\alice\\Pictures");
    EXPECT_EQ(path(fake::FolderPathRequest(0x24, 1)), u"C:\\Windows");
    EXPECT_EQ(path(fake::FolderPathRequest(0x05, 2)), u"error 7"); // 87

    ASSERT_TRUE(c.Send(BareRequest(OpGetPstCount)));
    ReplyMessage r = c.ReadReply();
    ASSERT_EQ(r.length, 8u);
    ACE_InputCDR countIn = fake::InputOver(r.payload, false);
    protocol::GetPstCountReply counted;
    ASSERT_TRUE(protocol::DecodeGetPstCountReply(countIn, counted));
    EXPECT_EQ(counted.count, 2u);
    ASSERT_TRUE(c.Send(BareRequest(OpGetPstList)));
    r = c.ReadReply();
    ACE_InputCDR list = fake::InputOver(r.payload, false);
    protocol::GetPstListReply listed;
    ASSERT_TRUE(protocol::DecodeGetPstListReply(list, listed));
    EXPECT_EQ(listed.status, 0u);
    ASSERT_EQ(listed.count, 2u);
    OwnedWideString p1, n1, p2, n2;
    ASSERT_TRUE(protocol::DecodePstStore(list, p1, n1) && protocol::DecodePstStore(list, p2, n2));
    EXPECT_EQ(std::u16string(p1.get()), u"C:\\Users\\alice\\Documents\\Outlook Files\\mail.pst");
    EXPECT_EQ(std::u16string(n1.get()), u"mail");
    EXPECT_EQ(std::u16string(p2.get()), u"C:\\archive\\OLD.PST");
    EXPECT_EQ(list.length(), 0u);
    const WCHAR *names[] = {u"Inbox", u"Sent"};
    const DWORD values[] = {1, 0};
    const Payload merge = fake::Encoded([&](ACE_OutputCDR &out) {
        return protocol::EncodeMergePstRequest(out, u"", u"C:\\a.pst", u"C:\\b.pst", names, values, 2);
    });
    EXPECT_EQ(StatusOf(c, RequestBytes(OpMergePst, merge)), 0u);
}

TEST_F(AgentWire, ReadOnlyAgentRefusesChangesWithWriteProtect)
{
    RunningAgent readOnly(tree_.path(), 4, true);
    RawClient c(readOnly.port());
    ASSERT_TRUE(c.LogOn());
    EXPECT_EQ(StatusOf(c, StringRequest(OpCreateDirectory, u"C:\\new")), refagent::kErrorWriteProtect);
    EXPECT_EQ(StatusOf(c, StringRequest(OpRemovePath, u"C:\\docs\\a.txt")), refagent::kErrorWriteProtect);
    EXPECT_EQ(StatusOf(c, fake::OpenRequest(u"C:\\docs\\a.txt", 0x40000000u, 0, 2, 0x80)), refagent::kErrorWriteProtect);
    struct stat st;
    ASSERT_EQ(::stat((tree_.path() + "/docs/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5);
}

TEST_F(AgentWire, ConnectionsBeyondTheCapAreTurnedAwayAtLogon)
{
    RunningAgent small(tree_.path(), 2);
    auto a = std::make_unique<RawClient>(small.port());
    RawClient b(small.port());
    ASSERT_TRUE(a->LogOn());
    ASSERT_TRUE(b.LogOn());
    {
        RawClient c(small.port());
        ASSERT_TRUE(c.Send(fake::LogonRequest(u"alice", u"s3cret", u"", u"H", false)));
        EXPECT_EQ(fake::ToHex(c.Read(16)), fake::ToHex(Hex("01 00 02 00 02 00 00 00 04 00 00 00 47 00 00 00")));
        EXPECT_TRUE(c.ClosedByPeer());
    }
    // Once a slot is free, a new client is served again.
    a.reset();
    bool served = false;
    for (int i = 0; i < 50 && !served; ++i) {
        RawClient d(small.port());
        served = d.LogOn();
        if (!served)
            ::usleep(100 * 1000);
    }
    EXPECT_TRUE(served);
}

TEST(DiscoveryResponder, AnswersLoopbackProbesWithPortAndName)
{
    EXPECT_EQ(refagent::DiscoveryReply(4321, "PC-1"), "1,4321,PC-1");
    ACE_SOCK_Dgram probe;
    ASSERT_EQ(probe.open(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1")), 0);
    // Find a free UDP port by binding one and letting it go.
    ACE_INET_Addr local;
    ACE_SOCK_Dgram spare;
    ASSERT_EQ(spare.open(ACE_INET_Addr(static_cast<u_short>(0), "127.0.0.1")), 0);
    spare.get_local_addr(local);
    const uint16_t port = local.get_port_number();
    spare.close();
    refagent::DiscoveryResponder responder;
    std::string error;
    ASSERT_TRUE(responder.Start(port, 4321, "PC-1", false, error)) << error;
    const char text[] = "0,0,HOST,000000000000000000000000";
    ASSERT_GT(probe.send(text, sizeof text - 1, ACE_INET_Addr(port, "127.0.0.1")), 0);
    char reply[512] = {};
    ACE_INET_Addr from;
    ACE_Time_Value timeout(5);
    const ssize_t n = probe.recv(reply, sizeof reply - 1, from, 0, &timeout);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(reply, static_cast<size_t>(n)), "1,4321,PC-1");
    // The count goes up once the send has returned, which may be just after the reply arrived.
    for (int i = 0; i < 200 && responder.Answered() == 0; ++i)
        ::usleep(10 * 1000);
    EXPECT_EQ(responder.Answered(), 1u);
    // Datagrams that are not probes get no answer.
    ASSERT_GT(probe.send("hello", 5, ACE_INET_Addr(port, "127.0.0.1")), 0);
    ACE_Time_Value shortWait(0, 300 * 1000);
    EXPECT_LT(probe.recv(reply, sizeof reply - 1, from, 0, &shortWait), 0);
    responder.Stop();
    probe.close();
}

} // namespace
