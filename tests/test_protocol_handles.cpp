// Golden bytes of the file-handle messages, written out by hand from their
// layouts: each decodes to its values, encodes back to the same bytes, and
// each reply reaches the handle exports whole, byte by byte and cut at
// every point (a read's raw data included).
#include "agent_test.h"
#include "golden.h"
#include "protocol/handle_messages.h"
#include "protocol/status_reply.h"

#include <cstring>

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolHandles : public fake::AgentTest {
protected:
    void SetUp() override
    {
        fake::AgentTest::SetUp();
        agent_.On(OpCreateFile, [](const fake::Request &, fake::Session &) {
            return fake::Send(fake::StatusReply(OpCreateFile, 0));
        });
        agent_.On(OpCloseHandle, [](const fake::Request &, fake::Session &) {
            return fake::Send(fake::StatusReply(OpCloseHandle, 0));
        });
    }
    // Runs `use` on a freshly opened remote file, then closes it.
    template <typename Use>
    void WithFile(Use &&use)
    {
        HANDLE file = AgentCreateFileW(logon_, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80);
        ASSERT_NE(file, nullptr) << GetLastError();
        use(file);
        AgentCloseHandle(logon_, file);
    }
};

BY_HANDLE_FILE_INFORMATION Information()
{
    BY_HANDLE_FILE_INFORMATION i{};
    i.dwFileAttributes = 0x20;
    i.ftCreationTime = {1, 2};
    i.ftLastAccessTime = {3, 4};
    i.ftLastWriteTime = {5, 6};
    i.dwVolumeSerialNumber = 0xCAFE;
    i.nFileSizeHigh = 7;
    i.nFileSizeLow = 1000;
    i.nNumberOfLinks = 2;
    i.nFileIndexHigh = 9;
    i.nFileIndexLow = 10;
    return i;
}

void ExpectInformation(const BY_HANDLE_FILE_INFORMATION &got)
{
    const BY_HANDLE_FILE_INFORMATION want = Information();
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0);
}

fake::Encoder Count(uint32_t status, uint32_t count)
{
    return [=](ACE_OutputCDR &out) { return EncodeCountReply(out, {status, count}); };
}

fake::Decoded IsCount(uint32_t status, uint32_t count)
{
    return fake::Decodes(DecodeCountReply, [=](const CountReply &r) {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.count, count);
    });
}

fake::Decoded IsFilePointer(int64_t distance, uint32_t method)
{
    return fake::Decodes(DecodeSetFilePointerRequest, [=](const SetFilePointerRequest &r) {
        EXPECT_EQ(r.distance, distance);
        EXPECT_EQ(r.method, method);
    });
}

fake::Decoded Bare()
{
    return [](ACE_InputCDR &in) { EXPECT_EQ(in.length(), 0u); };
}

LARGE_INTEGER Distance(int64_t value)
{
    LARGE_INTEGER d;
    d.u.LowPart = static_cast<DWORD>(value);
    d.u.HighPart = static_cast<LONG>(static_cast<uint64_t>(value) >> 32);
    return d;
}

int64_t ValueOf(const LARGE_INTEGER &position)
{
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(position.u.HighPart)) << 32 |
                                position.u.LowPart);
}

} // namespace

TEST_F(ProtocolHandles, Requests)
{
    AGENT_LOGON logon = logon_;
    // A file of its own for each row: an unanswered request closes its connection.
    auto onFile = [this](auto use) { return [this, use] { WithFile(use); }; };
    const FILETIME creation = {0x11, 0x12}, write = {0x31, 0x32};
    const fake::RequestRow rows[] = {
        // The four numbers in the reverse of the argument order, the path last.
        {"open", "01 00 01 00 08 00 00 00 1c 00 00 00  80 00 00 00 03 00 00 00 01 00 00 00 00 00 00 80 "
                 "08 00 00 00 43 00 3a 00 5c 00 61 00",
         [](ACE_OutputCDR &out) { return EncodeCreateFileRequest(out, W(u"C:\\a").c_str(), 0x80000000u, 1, 3, 0x80); },
         fake::Decodes(DecodeCreateFileRequest, [](const CreateFileRequest &r) {
             EXPECT_EQ(r.flags, 0x80u);
             EXPECT_EQ(r.disposition, 3u);
             EXPECT_EQ(r.share, 1u);
             EXPECT_EQ(r.access, 0x80000000u);
             EXPECT_TRUE(r.path == W(u"C:\\a"));
         }),
         [=] { AgentCloseHandle(logon, AgentCreateFileW(logon, W(u"C:\\a").c_str(), 0x80000000u, 1, 3, 0x80)); }},
        {"read 4096", "01 00 01 00 0a 00 00 00 04 00 00 00  00 10 00 00",
         [](ACE_OutputCDR &out) { return EncodeReadFileRequest(out, {4096}); },
         fake::Decodes(DecodeReadFileRequest, [](const ReadFileRequest &r) { EXPECT_EQ(r.toRead, 4096u); }),
         onFile([](HANDLE f) {
             char buffer[4096];
             AgentReadFile(f, buffer, sizeof buffer, nullptr);
         })},
        {"read 100 at 4 GiB + 2", "01 00 01 00 14 00 00 00 0c 00 00 00  64 00 00 00 02 00 00 00 01 00 00 00",
         [](ACE_OutputCDR &out) { return EncodeReadFileAtRequest(out, {100, 0x100000002ull}); },
         fake::Decodes(DecodeReadFileAtRequest, [](const ReadFileAtRequest &r) {
             EXPECT_EQ(r.toRead, 100u);
             EXPECT_EQ(r.offset, 0x100000002ull);
         }),
         onFile([](HANDLE f) {
             char buffer[100];
             AgentReadFilePosition(f, buffer, sizeof buffer, nullptr, 2, 1);
         })},
        {"move by 1 from the current position", "01 00 01 00 09 00 00 00 0c 00 00 00  01 00 00 00 00 00 00 00 01 00 00 00",
         [](ACE_OutputCDR &out) { return EncodeSetFilePointerRequest(out, {1, 1}); }, IsFilePointer(1, 1),
         onFile([](HANDLE f) { AgentSetFilePointerEx(f, Distance(1), nullptr, 1); })},
        {"move back 2 from the end", "01 00 01 00 09 00 00 00 0c 00 00 00  fe ff ff ff ff ff ff ff 02 00 00 00",
         [](ACE_OutputCDR &out) { return EncodeSetFilePointerRequest(out, {-2, 2}); }, IsFilePointer(-2, 2),
         onFile([](HANDLE f) { AgentSetFilePointerEx(f, Distance(-2), nullptr, 2); })},
        {"move, big-endian sender", "00 01 00 01 00 00 00 09 00 00 00 0c  00 00 00 05 00 00 00 01 00 00 00 00",
         [](ACE_OutputCDR &out) { return EncodeSetFilePointerRequest(out, {0x100000005ll, 0}); },
         IsFilePointer(0x100000005ll, 0), nullptr},
        {"times, the last access absent", "01 00 01 00 18 00 00 00 18 00 00 00  11 00 00 00 12 00 00 00 "
                                          "00 00 00 00 00 00 00 00 31 00 00 00 32 00 00 00",
         [&](ACE_OutputCDR &out) { return EncodeSetFileTimeRequest(out, {creation, {0, 0}, write}); },
         fake::Decodes(DecodeSetFileTimeRequest, [](const SetFileTimeRequest &r) {
             EXPECT_EQ(r.creation.dwLowDateTime, 0x11u);
             EXPECT_EQ(r.creation.dwHighDateTime, 0x12u);
             EXPECT_EQ(r.lastAccess.dwLowDateTime | r.lastAccess.dwHighDateTime, 0u);
             EXPECT_EQ(r.lastWrite.dwLowDateTime, 0x31u);
             EXPECT_EQ(r.lastWrite.dwHighDateTime, 0x32u);
         }),
         onFile([&](HANDLE f) { AgentSetFileTime(f, &creation, nullptr, &write); })},
        {"information (bare)", "01 00 01 00 17 00 00 00 00 00 00 00", [](ACE_OutputCDR &) { return true; }, Bare(),
         onFile([](HANDLE f) {
             BY_HANDLE_FILE_INFORMATION info;
             AgentGetFileInformationByHandle(f, &info);
         })},
        // Raw bytes, no CDR: the codec has nothing to say about them.
        {"write abc", "01 00 01 00 0b 00 00 00 03 00 00 00  61 62 63",
         [](ACE_OutputCDR &out) { return out.write_octet_array(reinterpret_cast<const ACE_CDR::Octet *>("abc"), 3); },
         [](ACE_InputCDR &in) { EXPECT_EQ(std::string(in.rd_ptr(), in.length()), "abc"); in.skip_bytes(3); },
         onFile([](HANDLE f) { AgentWriteFile(f, "abc", 3, nullptr); })},
        {"close (bare)", "01 00 01 00 0c 00 00 00 00 00 00 00", [](ACE_OutputCDR &) { return true; }, Bare(),
         [=] { AgentCloseHandle(logon, AgentCreateFileW(logon, W(u"C:\\a").c_str(), 0x80000000u, 1, 3, 0x80)); }},
    };
    for (const fake::RequestRow &row : rows)
        fake::CheckRequest(agent_, row);
}

TEST_F(ProtocolHandles, Replies)
{
    AGENT_LOGON logon = logon_;
    auto onFile = [this](auto use) { return [this, use] { WithFile(use); }; };
    auto information = [](ACE_OutputCDR &out) { return EncodeGetFileInformationReply(out, {0, Information()}); };
    auto isInformation = fake::Decodes(DecodeGetFileInformationReply, [](const GetFileInformationReply &r) {
        EXPECT_EQ(r.status, 0u);
        ExpectInformation(r.info);
    });
    auto readInformation = onFile([](HANDLE f) {
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_EQ(AgentGetFileInformationByHandle(f, &info), 1);
        ExpectInformation(info);
    });
    auto position = [](ACE_OutputCDR &out) { return EncodeSetFilePointerReply(out, {0, 0x100000010ull}); };
    auto isPosition = fake::Decodes(DecodeSetFilePointerReply, [](const SetFilePointerReply &r) {
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.position, 0x100000010ull);
    });
    auto readPosition = onFile([](HANDLE f) {
        LARGE_INTEGER at{};
        EXPECT_EQ(AgentSetFilePointerEx(f, Distance(0x10), &at, 0), 1);
        EXPECT_EQ(ValueOf(at), 0x100000010ll);
    });
    // The raw data follow the 8-byte payload, uncounted by its length.
    auto read = [](uint32_t status, const std::string &data, bool atOffset) {
        return [=](HANDLE f) {
            char buffer[16] = {};
            DWORD got = 99;
            SetLastError(0);
            const BOOL ok = atOffset ? AgentReadFilePosition(f, buffer, sizeof buffer, &got, 0, 0)
                                     : AgentReadFile(f, buffer, sizeof buffer, &got);
            const DWORD cause = GetLastError();
            EXPECT_EQ(ok, status == 0 ? 1 : 0);
            if (status != 0) {
                EXPECT_EQ(cause, status);
            }
            EXPECT_EQ(got, data.size());
            EXPECT_EQ(std::string(buffer, got), data);
        };
    };
    const fake::ReplyRow rows[] = {
        {"opened", "01 00 02 00 08 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] {
             HANDLE f = AgentCreateFileW(logon, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80);
             EXPECT_NE(f, nullptr);
             AgentCloseHandle(logon, f);
         }},
        {"open refused, big-endian", "00 01 00 02 00 00 00 08 00 00 00 04  00 00 00 20", 0, fake::StatusOnly(32),
         fake::IsStatusOnly(32), [=] {
             EXPECT_EQ(AgentCreateFileW(logon, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80), nullptr);
             EXPECT_EQ(GetLastError(), 32u);
         }},
        {"read abc", "01 00 02 00 0a 00 00 00 08 00 00 00  00 00 00 00 03 00 00 00  61 62 63", 3, Count(0, 3),
         IsCount(0, 3), onFile(read(0, "abc", false))},
        {"read refused, the data still taken", "01 00 02 00 0a 00 00 00 08 00 00 00  05 00 00 00 02 00 00 00  78 79",
         2, Count(5, 2), IsCount(5, 2), onFile(read(5, "xy", false))},
        {"read at, big-endian", "00 01 00 02 00 00 00 14 00 00 00 08  00 00 00 00 00 00 00 02  68 69", 2,
         Count(0, 2), IsCount(0, 2), onFile(read(0, "hi", true))},
        {"read at end of file", "01 00 02 00 14 00 00 00 08 00 00 00  00 00 00 00 00 00 00 00", 0, Count(0, 0),
         IsCount(0, 0), onFile(read(0, "", true))},
        {"written", "01 00 02 00 0b 00 00 00 08 00 00 00  00 00 00 00 02 00 00 00", 0, Count(0, 2), IsCount(0, 2),
         onFile([](HANDLE f) {
             DWORD written = 0;
             EXPECT_EQ(AgentWriteFile(f, "abc", 3, &written), 1);
             EXPECT_EQ(written, 2u);
         })},
        {"position", "01 00 02 00 09 00 00 00 0c 00 00 00  00 00 00 00 10 00 00 00 01 00 00 00", 0, position,
         isPosition, readPosition},
        {"position, big-endian", "00 01 00 02 00 00 00 09 00 00 00 0c  00 00 00 00 00 00 00 10 00 00 00 01", 0,
         position, isPosition, readPosition},
        {"move refused", "01 00 02 00 09 00 00 00 04 00 00 00  83 00 00 00", 0,
         [](ACE_OutputCDR &out) { return EncodeSetFilePointerReply(out, {131, 5}); },
         fake::Decodes(DecodeSetFilePointerReply, [](const SetFilePointerReply &r) { EXPECT_EQ(r.status, 131u); }),
         onFile([](HANDLE f) {
             EXPECT_EQ(AgentSetFilePointerEx(f, Distance(-1), nullptr, 0), 0);
             EXPECT_EQ(GetLastError(), 131u);
         })},
        // Size and index travel high part first.
        {"information",
         "01 00 02 00 17 00 00 00 38 00 00 00  00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
         "04 00 00 00 05 00 00 00 06 00 00 00 fe ca 00 00 07 00 00 00 e8 03 00 00 02 00 00 00 09 00 00 00 "
         "0a 00 00 00",
         0, information, isInformation, readInformation},
        {"information, big-endian",
         "00 01 00 02 00 00 00 17 00 00 00 38  00 00 00 00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 "
         "00 00 00 04 00 00 00 05 00 00 00 06 00 00 ca fe 00 00 00 07 00 00 03 e8 00 00 00 02 00 00 00 09 "
         "00 00 00 0a",
         0, information, isInformation, readInformation},
        {"times set", "01 00 02 00 18 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         onFile([](HANDLE f) { EXPECT_EQ(AgentSetFileTime(f, nullptr, nullptr, nullptr), 1); })},
        {"closed", "01 00 02 00 0c 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0), [=] {
             HANDLE f = AgentCreateFileW(logon, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80);
             ASSERT_NE(f, nullptr);
             EXPECT_EQ(AgentCloseHandle(logon, f), 1);
         }},
    };
    for (const fake::ReplyRow &row : rows)
        fake::CheckReply(agent_, row);
}
