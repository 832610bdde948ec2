// Golden bytes of the logon, path and file-handle messages, written out by
// hand from their layouts. Each request decodes to its values and is what
// the library sends (what the encoder writes, for the logons the library
// sends with this PC's name, compared in test_connection); each reply is
// what the agent's encoder writes and reaches the exports whole, byte by
// byte and cut at every point (a read's raw data included).
#include "agent_test.h"
#include "file_messages.h"
#include "golden.h"

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolGolden : public fake::AgentTest {
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

const WIN32_FILE_ATTRIBUTE_DATA kRecord = fake::AttributeData(0x20, {1, 2}, {3, 4}, {5, 6}, uint64_t{7} << 32 | 1000);
const BY_HANDLE_FILE_INFORMATION kInformation =
    fake::FileInformation(0x20, {1, 2}, {3, 4}, {5, 6}, uint64_t{7} << 32 | 1000, 0xCAFE, 2, uint64_t{9} << 32 | 10);

LARGE_INTEGER Distance(int64_t value)
{
    LARGE_INTEGER d;
    d.QuadPart = value;
    return d;
}

fake::Codec Path(const char16_t *path) { return {nullptr, fake::Is(DecodePathRequest, W(path))}; }

fake::Codec Logon(const char16_t *user, const char16_t *password, const char16_t *machine, const char16_t *computer,
                  bool initial)
{
    return {[=](ACE_OutputCDR &out) {
                return EncodeLogonRequest(out, W(user).c_str(), W(password).c_str(), W(machine).c_str(),
                                          W(computer).c_str(), initial);
            },
            fake::Is(DecodeLogonRequest, LogonRequest{W(user), W(password), W(machine), W(computer), initial})};
}

// The export's result and last error.
template <typename Result>
void Expect(Result got, Result want, DWORD error)
{
    const DWORD cause = GetLastError();
    EXPECT_EQ(got, want);
    if (error != 0) {
        EXPECT_EQ(cause, error);
    }
}

} // namespace

TEST_F(ProtocolGolden, Requests)
{
    AGENT_LOGON logon = logon_;
    const FILETIME creation = {0x11, 0x12}, write = {0x31, 0x32};
    const fake::RequestRow rows[] = {
        {"logon, padding after each odd string",
         "01 00 01 00 02 00 00 00 1f 00 00 00  04 00 00 00 61 00 62 00 02 00 00 00 70 00 00 00 "
         "02 00 00 00 31 00 00 00 02 00 00 00 48 00 01",
         Logon(u"ab", u"p", u"1", u"H", true), nullptr},
        {"logon, empty password and identity",
         "01 00 01 00 02 00 00 00 15 00 00 00  02 00 00 00 75 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         Logon(u"u", u"", u"", u"", false), nullptr},
        {"logon, big-endian sender",
         "00 01 00 01 00 00 00 02 00 00 00 15  00 00 00 02 00 61 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01",
         Logon(u"a", u"", u"", u"", true), nullptr},
        {"logout (bare)", "01 00 01 00 03 00 00 00 00 00 00 00", {}, [this] {
             AGENT_LOGON second = LogOn();
             ASSERT_NE(second, nullptr);
             AgentLogoff(second);
         }},
        {"path exists, C:\\", "01 00 01 00 19 00 00 00 0a 00 00 00  06 00 00 00 43 00 3a 00 5c 00", Path(u"C:\\"),
         [=] { AgentPathFileExistsW(logon, W(u"C:\\").c_str()); }},
        {"is root", "01 00 01 00 1a 00 00 00 06 00 00 00  02 00 00 00 43 00", Path(u"C"),
         [=] { AgentPathIsRootW(logon, W(u"C").c_str()); }},
        {"strip to root", "01 00 01 00 1b 00 00 00 08 00 00 00  04 00 00 00 43 00 3a 00", Path(u"C:"), [=] {
             fake::WString path = W(u"C:");
             AgentPathStripToRootW(logon, &path[0]);
         }},
        {"attributes", "01 00 01 00 0e 00 00 00 06 00 00 00  02 00 00 00 78 00", Path(u"x"),
         [=] { AgentGetFileAttributesW(logon, W(u"x").c_str()); }},
        {"attribute data", "01 00 01 00 07 00 00 00 06 00 00 00  02 00 00 00 79 00", Path(u"y"), [=] {
             WIN32_FILE_ATTRIBUTE_DATA d;
             AgentGetFileAttributesExW(logon, W(u"y").c_str(), &d);
         }},
        {"create directory", "01 00 01 00 05 00 00 00 08 00 00 00  04 00 00 00 64 00 e9 00", Path(u"d\u00e9"),
         [=] { AgentCreateDirectoryW(logon, W(u"d\u00e9").c_str()); }},
        {"remove", "01 00 01 00 06 00 00 00 06 00 00 00  02 00 00 00 72 00", Path(u"r"),
         [=] { AgentRemovePath(logon, W(u"r").c_str()); }},
        {"empty path (the codec alone: exports refuse it)", "01 00 01 00 19 00 00 00 04 00 00 00  00 00 00 00",
         Path(u""), nullptr},
        {"path, big-endian sender", "00 01 00 01 00 00 00 19 00 00 00 08  00 00 00 04 00 43 00 3a", Path(u"C:"),
         nullptr},
        // Two bytes of padding bring the attributes to a 4-byte boundary.
        {"set attributes", "01 00 01 00 11 00 00 00 0c 00 00 00  02 00 00 00 43 00 00 00 20 00 00 00",
         {nullptr, fake::Is(DecodeSetFileAttributesRequest, SetFileAttributesRequest{W(u"C"), 0x20})},
         [=] { AgentSetFileAttributesW(logon, W(u"C").c_str(), 0x20); }},
        {"set attributes, big-endian sender", "00 01 00 01 00 00 00 11 00 00 00 0c  00 00 00 02 00 43 00 00 00 00 00 21",
         {nullptr, fake::Is(DecodeSetFileAttributesRequest, SetFileAttributesRequest{W(u"C"), 0x21})}, nullptr},
        {"move", "01 00 01 00 10 00 00 00 10 00 00 00  02 00 00 00 61 00 00 00 04 00 00 00 62 00 63 00",
         {nullptr, fake::Is(DecodeMoveFileRequest, MoveFileRequest{W(u"a"), W(u"bc")})},
         [=] { AgentMoveFile(logon, W(u"a").c_str(), W(u"bc").c_str()); }},
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

TEST_F(ProtocolGolden, Replies)
{
    AGENT_LOGON logon = logon_;
    static const fake::WString kPath = W(u"C:\\");
    const WCHAR *path = kPath.c_str();
    auto logOn = [this](DWORD refused) {
        return [=] {
            SetLastError(0);
            AGENT_LOGON other = LogOn();
            EXPECT_EQ(other == nullptr ? GetLastError() : 0u, refused);
            AgentLogoff(other);
        };
    };
    // A logout's status reaches no caller (AgentLogoff succeeds either
    // way): the reply is read whole, however it arrives, and the
    // connection let go.
    auto logOut = [this] {
        const int connection = agent_.Accepted();
        AGENT_LOGON other = LogOn();
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(AgentLogoff(other), 1);
        EXPECT_TRUE(agent_.WaitUntil([&] { return !agent_.IsOpen(connection); }));
    };
    auto attributes = [](uint32_t status, uint32_t v) { return fake::Writes(EncodeGetFileAttributesReply, {status, v}); };
    const fake::Encoder record = fake::Writes(EncodeGetFileAttributesExReply, {0, kRecord});
    auto readRecord = [=] {
        WIN32_FILE_ATTRIBUTE_DATA d{};
        EXPECT_EQ(AgentGetFileAttributesExW(logon, path, &d), 1);
        EXPECT_EQ(fake::HexOf(d), fake::HexOf(kRecord));
    };
    const fake::Encoder information = fake::Writes(EncodeGetFileInformationReply, {0, kInformation});
    const auto readInformation = OnFile([](HANDLE f) {
        BY_HANDLE_FILE_INFORMATION info{};
        EXPECT_EQ(AgentGetFileInformationByHandle(f, &info), 1);
        EXPECT_EQ(fake::HexOf(info), fake::HexOf(kInformation));
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
            Expect(atOffset ? AgentReadFilePosition(f, buffer, sizeof buffer, &got, 0, 0)
                            : AgentReadFile(f, buffer, sizeof buffer, &got),
                   BOOL(status == 0), status);
            ASSERT_EQ(got, data.size());
            EXPECT_EQ(std::string(buffer, got), data);
        });
    };
    const fake::ReplyRow rows[] = {
        {"logon accepted", "01 00 02 00 02 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), logOn(0)},
        {"logon refused", "01 00 02 00 02 00 00 00 04 00 00 00  2e 05 00 00", fake::Status(1326), logOn(1326)},
        {"logon refused, big-endian", "00 01 00 02 00 00 00 02 00 00 00 04  00 00 05 2e", fake::Status(1326),
         logOn(1326)},
        // No field of the header is tested: kind 1 and opcode 99 pass.
        {"logon accepted whatever the header says", "01 00 01 00 63 00 00 00 04 00 00 00  00 00 00 00",
         fake::Status(0), logOn(0), OpLogon},
        {"logout accepted", "01 00 02 00 03 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), logOut},
        {"logout refused, big-endian", "00 01 00 02 00 00 00 03 00 00 00 04  00 00 00 05", fake::Status(5), logOut},
        {"path exists", "01 00 02 00 19 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0),
         [=] { Expect(AgentPathFileExistsW(logon, path), 1, 0); }},
        {"path missing", "01 00 02 00 19 00 00 00 04 00 00 00  02 00 00 00", fake::Status(2),
         [=] { Expect(AgentPathFileExistsW(logon, path), 0, 2); }},
        {"not a root, big-endian", "00 01 00 02 00 00 00 1a 00 00 00 04  00 00 00 a1", fake::Status(161),
         [=] { Expect(AgentPathIsRootW(logon, path), 0, 161); }},
        {"stripped", "01 00 02 00 1b 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0), [=] {
             fake::WString buffer = W(u"C:\\x");
             Expect(AgentPathStripToRootW(logon, &buffer[0]), 1, 0);
             EXPECT_TRUE(buffer == W(u"C:\\x")) << "only the verdict comes back";
         }},
        {"attributes", "01 00 02 00 0e 00 00 00 08 00 00 00  00 00 00 00 10 00 00 00", attributes(0, 0x10),
         [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0x10}, 0); }},
        {"attributes, big-endian", "00 01 00 02 00 00 00 0e 00 00 00 08  00 00 00 00 00 00 08 20",
         attributes(0, 0x820), [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0x820}, 0); }},
        {"attributes refused", "01 00 02 00 0e 00 00 00 04 00 00 00  05 00 00 00", attributes(5, 0),
         [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0xFFFFFFFF}, 5); }},
        // The size travels low part first.
        {"attribute data",
         "01 00 02 00 07 00 00 00 28 00 00 00  00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
         "04 00 00 00 05 00 00 00 06 00 00 00 e8 03 00 00 07 00 00 00",
         record, readRecord},
        {"attribute data, big-endian",
         "00 01 00 02 00 00 00 07 00 00 00 28  00 00 00 00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 "
         "00 00 00 04 00 00 00 05 00 00 00 06 00 00 03 e8 00 00 00 07",
         record, readRecord},
        // A refusal carries no record: the export leaves it alone.
        {"attribute data refused", "01 00 02 00 07 00 00 00 04 00 00 00  03 00 00 00",
         fake::Writes(EncodeGetFileAttributesExReply, {3, kRecord}), [=] {
             WIN32_FILE_ATTRIBUTE_DATA d{};
             d.nFileSizeLow = 99;
             Expect(AgentGetFileAttributesExW(logon, path, &d), 0, 3);
             EXPECT_EQ(d.nFileSizeLow, 99u);
         }},
        {"attributes set", "01 00 02 00 11 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0),
         [=] { Expect(AgentSetFileAttributesW(logon, path, 0x20), 1, 0); }},
        {"directory exists", "01 00 02 00 05 00 00 00 04 00 00 00  b7 00 00 00", fake::Status(183),
         [=] { Expect(AgentCreateDirectoryW(logon, path), 0, 183); }},
        {"removed, big-endian", "00 01 00 02 00 00 00 06 00 00 00 04  00 00 00 00", fake::Status(0),
         [=] { Expect(AgentRemovePath(logon, path), 1, 0); }},
        {"moved", "01 00 02 00 10 00 00 00 04 00 00 00  00 00 00 00", fake::Status(0),
         [=] { Expect(AgentMoveFile(logon, path, path), 1, 0); }},
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
