// Golden bytes of the path and attribute messages, written out by hand
// from their layouts: the library sends each request's bytes, which decode
// to its values; each reply is what the agent's encoder writes and reaches
// the exports whole, byte by byte and cut at every point.
#include "agent_test.h"
#include "file_messages.h"
#include "golden.h"

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolPaths : public fake::AgentTest {};

const WIN32_FILE_ATTRIBUTE_DATA kRecord = fake::AttributeData(0x20, {1, 2}, {3, 4}, {5, 6}, uint64_t{7} << 32 | 1000);

fake::Codec Path(const char16_t *path) { return {nullptr, fake::Is(DecodePathRequest, W(path))}; }

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

TEST_F(ProtocolPaths, Requests)
{
    AGENT_LOGON logon = logon_;
    const fake::RequestRow rows[] = {
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
    };
    for (const fake::RequestRow &row : rows)
        fake::CheckRequest(agent_, row);
}

TEST_F(ProtocolPaths, Replies)
{
    AGENT_LOGON logon = logon_;
    static const fake::WString kPath = W(u"C:\\");
    const WCHAR *path = kPath.c_str();
    auto attributes = [](uint32_t status, uint32_t v) { return fake::Writes(EncodeGetFileAttributesReply, {status, v}); };
    const fake::Encoder record = fake::Writes(EncodeGetFileAttributesExReply, {0, kRecord});
    auto readRecord = [=] {
        WIN32_FILE_ATTRIBUTE_DATA d{};
        EXPECT_EQ(AgentGetFileAttributesExW(logon, path, &d), 1);
        EXPECT_EQ(fake::BytesOf(d), fake::BytesOf(kRecord));
    };
    const fake::ReplyRow rows[] = {
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
    };
    for (const fake::ReplyRow &row : rows)
        fake::CheckReply(agent_, row);
}
