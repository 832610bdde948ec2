// Golden bytes of the file-handle messages, written out by hand from their
// layouts: the library sends each request's bytes, which decode to its
// values; each reply is what the agent's encoder writes and reaches the
// handle exports whole, byte by byte and cut at every point (a read's raw
// data included).
#include "agent_test.h"
#include "file_messages.h"
#include "golden.h"

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolHandles : public fake::AgentTest {
protected:
    void SetUp() override
    {
        fake::AgentTest::SetUp();
        agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
    }
    // A call run on a freshly opened remote file, which it then closes: a
    // file of its own for each row, as an unanswered request closes its
    // connection.
    template <typename Use>
    std::function<void()> OnFile(Use use)
    {
        return [this, use] {
            HANDLE file = AgentCreateFileW(logon_, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80);
            ASSERT_NE(file, nullptr) << GetLastError();
            use(file);
            AgentCloseHandle(logon_, file);
        };
    }
};

const BY_HANDLE_FILE_INFORMATION kInformation =
    fake::FileInformation(0x20, {1, 2}, {3, 4}, {5, 6}, uint64_t{7} << 32 | 1000, 0xCAFE, 2, uint64_t{9} << 32 | 10);

LARGE_INTEGER Distance(int64_t value)
{
    LARGE_INTEGER d;
    d.QuadPart = value;
    return d;
}

} // namespace

TEST_F(ProtocolHandles, Requests)
{
    AGENT_LOGON logon = logon_;
    const FILETIME creation = {0x11, 0x12}, write = {0x31, 0x32};
    const fake::RequestRow rows[] = {
        // The four numbers in the reverse of the argument order, the path last.
        {"open", "01 00 01 00 08 00 00 00 1c 00 00 00  80 00 00 00 03 00 00 00 01 00 00 00 00 00 00 80 "
                 "08 00 00 00 43 00 3a 00 5c 00 61 00",
         {nullptr, fake::Is(DecodeCreateFileRequest, CreateFileRequest{0x80, 3, 1, 0x80000000u, W(u"C:\\a")})},
         [=] { AgentCloseHandle(logon, AgentCreateFileW(logon, W(u"C:\\a").c_str(), 0x80000000u, 1, 3, 0x80)); }},
        {"read 4096", "01 00 01 00 0a 00 00 00 04 00 00 00  00 10 00 00",
         fake::Of(EncodeReadFileRequest, DecodeReadFileRequest, {4096}), OnFile([](HANDLE f) {
             char buffer[4096];
             AgentReadFile(f, buffer, sizeof buffer, nullptr);
         })},
        {"read 100 at 4 GiB + 2", "01 00 01 00 14 00 00 00 0c 00 00 00  64 00 00 00 02 00 00 00 01 00 00 00",
         fake::Of(EncodeReadFileAtRequest, DecodeReadFileAtRequest, {100, 0x100000002ull}), OnFile([](HANDLE f) {
             char buffer[100];
             AgentReadFilePosition(f, buffer, sizeof buffer, nullptr, 2, 1);
         })},
        {"move by 1 from the current position", "01 00 01 00 09 00 00 00 0c 00 00 00  01 00 00 00 00 00 00 00 01 00 00 00",
         fake::Of(EncodeSetFilePointerRequest, DecodeSetFilePointerRequest, {1, 1}),
         OnFile([](HANDLE f) { AgentSetFilePointerEx(f, Distance(1), nullptr, 1); })},
        {"move back 2 from the end", "01 00 01 00 09 00 00 00 0c 00 00 00  fe ff ff ff ff ff ff ff 02 00 00 00",
         fake::Of(EncodeSetFilePointerRequest, DecodeSetFilePointerRequest, {-2, 2}),
         OnFile([](HANDLE f) { AgentSetFilePointerEx(f, Distance(-2), nullptr, 2); })},
        {"move, big-endian sender", "00 01 00 01 00 00 00 09 00 00 00 0c  00 00 00 05 00 00 00 01 00 00 00 00",
         fake::Of(EncodeSetFilePointerRequest, DecodeSetFilePointerRequest, {0x100000005ll, 0}), nullptr},
        {"times, the last access absent", "01 00 01 00 18 00 00 00 18 00 00 00  11 00 00 00 12 00 00 00 "
                                          "00 00 00 00 00 00 00 00 31 00 00 00 32 00 00 00",
         fake::Of(EncodeSetFileTimeRequest, DecodeSetFileTimeRequest, {creation, {0, 0}, write}),
         OnFile([&](HANDLE f) { AgentSetFileTime(f, &creation, nullptr, &write); })},
        {"information (bare)", "01 00 01 00 17 00 00 00 00 00 00 00", {}, OnFile([](HANDLE f) {
             BY_HANDLE_FILE_INFORMATION info;
             AgentGetFileInformationByHandle(f, &info);
         })},
        // Raw bytes, no CDR.
        {"write abc", "01 00 01 00 0b 00 00 00 03 00 00 00  61 62 63", {},
         OnFile([](HANDLE f) { AgentWriteFile(f, "abc", 3, nullptr); })},
        {"close (bare)", "01 00 01 00 0c 00 00 00 00 00 00 00", {},
         [=] { AgentCloseHandle(logon, AgentCreateFileW(logon, W(u"C:\\a").c_str(), 0x80000000u, 1, 3, 0x80)); }},
    };
    for (const fake::RequestRow &row : rows)
        fake::CheckRequest(agent_, row);
}

TEST_F(ProtocolHandles, Replies)
{
    const fake::Encoder information = fake::Writes(EncodeGetFileInformationReply, {0, kInformation});
    const auto readInformation = OnFile([](HANDLE f) {
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_EQ(AgentGetFileInformationByHandle(f, &info), 1);
        EXPECT_EQ(fake::BytesOf(info), fake::BytesOf(kInformation));
    });
    const fake::Encoder position = fake::Writes(EncodeSetFilePointerReply, {0, 0x100000010ull});
    const auto readPosition = OnFile([](HANDLE f) {
        LARGE_INTEGER at{};
        EXPECT_EQ(AgentSetFilePointerEx(f, Distance(0x10), &at, 0), 1);
        EXPECT_EQ(at.QuadPart, 0x100000010ll);
    });
    auto count = [](uint32_t status, uint32_t n) { return fake::Writes(EncodeCountReply, {status, n}); };
    // The raw data follow the 8-byte payload, uncounted by its length.
    auto read = [this](uint32_t status, const std::string &data, bool atOffset) {
        return OnFile([=](HANDLE f) {
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
            ASSERT_EQ(got, data.size());
            EXPECT_EQ(std::string(buffer, got), data);
        });
    };
    const fake::ReplyRow rows[] = {
        {"opened", "01 00 02 00 08 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), OnFile([](HANDLE) {})},
        {"open refused, big-endian", "00 01 00 02 00 00 00 08 00 00 00 04  00 00 00 20", fake::Status(32), [this] {
             EXPECT_EQ(AgentCreateFileW(logon_, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80), nullptr);
             EXPECT_EQ(GetLastError(), 32u);
         }},
        {"read abc", "01 00 02 00 0a 00 00 00 08 00 00 00  00 00 00 00 03 00 00 00  61 62 63", count(0, 3),
         read(0, "abc", false)},
        {"read refused, the data still taken", "01 00 02 00 0a 00 00 00 08 00 00 00  05 00 00 00 02 00 00 00  78 79",
         count(5, 2), read(5, "xy", false)},
        {"read at, big-endian", "00 01 00 02 00 00 00 14 00 00 00 08  00 00 00 00 00 00 00 02  68 69", count(0, 2),
         read(0, "hi", true)},
        {"read at end of file", "01 00 02 00 14 00 00 00 08 00 00 00  00 00 00 00 00 00 00 00", count(0, 0),
         read(0, "", true)},
        {"written", "01 00 02 00 0b 00 00 00 08 00 00 00  00 00 00 00 02 00 00 00", count(0, 2),
         OnFile([](HANDLE f) {
             DWORD written = 0;
             EXPECT_EQ(AgentWriteFile(f, "abc", 3, &written), 1);
             EXPECT_EQ(written, 2u);
         })},
        {"position", "01 00 02 00 09 00 00 00 0c 00 00 00  00 00 00 00 10 00 00 00 01 00 00 00", position,
         readPosition},
        {"position, big-endian", "00 01 00 02 00 00 00 09 00 00 00 0c  00 00 00 00 00 00 00 10 00 00 00 01",
         position, readPosition},
        // A refusal carries no position.
        {"move refused", "01 00 02 00 09 00 00 00 04 00 00 00  83 00 00 00",
         fake::Writes(EncodeSetFilePointerReply, {131, 5}), OnFile([](HANDLE f) {
             EXPECT_EQ(AgentSetFilePointerEx(f, Distance(-1), nullptr, 0), 0);
             EXPECT_EQ(GetLastError(), 131u);
         })},
        // Size and index travel high part first.
        {"information",
         "01 00 02 00 17 00 00 00 38 00 00 00  00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
         "04 00 00 00 05 00 00 00 06 00 00 00 fe ca 00 00 07 00 00 00 e8 03 00 00 02 00 00 00 09 00 00 00 "
         "0a 00 00 00",
         information, readInformation},
        {"information, big-endian",
         "00 01 00 02 00 00 00 17 00 00 00 38  00 00 00 00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 "
         "00 00 00 04 00 00 00 05 00 00 00 06 00 00 ca fe 00 00 00 07 00 00 03 e8 00 00 00 02 00 00 00 09 "
         "00 00 00 0a",
         information, readInformation},
        {"times set", "01 00 02 00 18 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0),
         OnFile([](HANDLE f) { EXPECT_EQ(AgentSetFileTime(f, nullptr, nullptr, nullptr), 1); })},
        {"closed", "01 00 02 00 0c 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), [this] {
             HANDLE f = AgentCreateFileW(logon_, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0x80);
             ASSERT_NE(f, nullptr);
             EXPECT_EQ(AgentCloseHandle(logon_, f), 1);
         }},
    };
    for (const fake::ReplyRow &row : rows)
        fake::CheckReply(agent_, row);
}
