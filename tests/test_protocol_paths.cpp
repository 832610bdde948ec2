// Golden bytes of the path and attribute messages, written out by hand
// from their layouts: each decodes to its values, encodes back to the same
// bytes, and each reply reaches the exports whole, byte by byte and cut at
// every point.
#include "agent_test.h"
#include "golden.h"
#include "protocol/path_messages.h"
#include "protocol/status_reply.h"

using namespace agent;
using namespace agent::protocol;
using fake::W;

namespace {

class ProtocolPaths : public fake::AgentTest {};

fake::WString U(const char16_t *s) { return W(s); }

WIN32_FILE_ATTRIBUTE_DATA Record()
{
    WIN32_FILE_ATTRIBUTE_DATA d{};
    d.dwFileAttributes = 0x20;
    d.ftCreationTime = {1, 2};
    d.ftLastAccessTime = {3, 4};
    d.ftLastWriteTime = {5, 6};
    d.nFileSizeLow = 1000;
    d.nFileSizeHigh = 7;
    return d;
}

void ExpectRecord(const WIN32_FILE_ATTRIBUTE_DATA &d)
{
    const WIN32_FILE_ATTRIBUTE_DATA want = Record();
    EXPECT_EQ(d.dwFileAttributes, want.dwFileAttributes);
    EXPECT_EQ(d.ftCreationTime.dwLowDateTime, 1u);
    EXPECT_EQ(d.ftCreationTime.dwHighDateTime, 2u);
    EXPECT_EQ(d.ftLastAccessTime.dwLowDateTime, 3u);
    EXPECT_EQ(d.ftLastAccessTime.dwHighDateTime, 4u);
    EXPECT_EQ(d.ftLastWriteTime.dwLowDateTime, 5u);
    EXPECT_EQ(d.ftLastWriteTime.dwHighDateTime, 6u);
    EXPECT_EQ(d.nFileSizeLow, 1000u);
    EXPECT_EQ(d.nFileSizeHigh, 7u);
}

fake::Decoded IsPath(const char16_t *path)
{
    return fake::Decodes(DecodePathRequest, [=](const WideText &got) { EXPECT_TRUE(got == U(path)); });
}

fake::Encoder Path(const char16_t *path)
{
    return [=](ACE_OutputCDR &out) { return EncodePathRequest(out, W(path).c_str()); };
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

TEST_F(ProtocolPaths, Requests)
{
    AGENT_LOGON logon = logon_;
    const fake::RequestRow rows[] = {
        {"path exists, C:\\", "01 00 01 00 19 00 00 00 0a 00 00 00  06 00 00 00 43 00 3a 00 5c 00", Path(u"C:\\"),
         IsPath(u"C:\\"), [=] { AgentPathFileExistsW(logon, W(u"C:\\").c_str()); }},
        {"is root", "01 00 01 00 1a 00 00 00 06 00 00 00  02 00 00 00 43 00", Path(u"C"), IsPath(u"C"),
         [=] { AgentPathIsRootW(logon, W(u"C").c_str()); }},
        {"strip to root", "01 00 01 00 1b 00 00 00 08 00 00 00  04 00 00 00 43 00 3a 00", Path(u"C:"), IsPath(u"C:"),
         [=] {
             fake::WString path = W(u"C:");
             AgentPathStripToRootW(logon, &path[0]);
         }},
        {"attributes", "01 00 01 00 0e 00 00 00 06 00 00 00  02 00 00 00 78 00", Path(u"x"), IsPath(u"x"),
         [=] { AgentGetFileAttributesW(logon, W(u"x").c_str()); }},
        {"attribute data", "01 00 01 00 07 00 00 00 06 00 00 00  02 00 00 00 79 00", Path(u"y"), IsPath(u"y"),
         [=] {
             WIN32_FILE_ATTRIBUTE_DATA d;
             AgentGetFileAttributesExW(logon, W(u"y").c_str(), &d);
         }},
        {"create directory", "01 00 01 00 05 00 00 00 08 00 00 00  04 00 00 00 64 00 e9 00", Path(u"d\u00e9"),
         IsPath(u"d\u00e9"), [=] { AgentCreateDirectoryW(logon, W(u"d\u00e9").c_str()); }},
        {"remove", "01 00 01 00 06 00 00 00 06 00 00 00  02 00 00 00 72 00", Path(u"r"), IsPath(u"r"),
         [=] { AgentRemovePath(logon, W(u"r").c_str()); }},
        {"empty path (the codec alone: exports refuse it)", "01 00 01 00 19 00 00 00 04 00 00 00  00 00 00 00",
         Path(u""), IsPath(u""), nullptr},
        {"path, big-endian sender", "00 01 00 01 00 00 00 19 00 00 00 08  00 00 00 04 00 43 00 3a", Path(u"C:"),
         IsPath(u"C:"), nullptr},
        // Two bytes of padding bring the attributes to a 4-byte boundary.
        {"set attributes", "01 00 01 00 11 00 00 00 0c 00 00 00  02 00 00 00 43 00 00 00 20 00 00 00",
         [](ACE_OutputCDR &out) { return EncodeSetFileAttributesRequest(out, W(u"C").c_str(), 0x20); },
         fake::Decodes(DecodeSetFileAttributesRequest, [](const SetFileAttributesRequest &r) {
             EXPECT_TRUE(r.path == U(u"C"));
             EXPECT_EQ(r.attributes, 0x20u);
         }),
         [=] { AgentSetFileAttributesW(logon, W(u"C").c_str(), 0x20); }},
        {"set attributes, big-endian sender", "00 01 00 01 00 00 00 11 00 00 00 0c  00 00 00 02 00 43 00 00 00 00 00 21",
         [](ACE_OutputCDR &out) { return EncodeSetFileAttributesRequest(out, W(u"C").c_str(), 0x21); },
         fake::Decodes(DecodeSetFileAttributesRequest, [](const SetFileAttributesRequest &r) {
             EXPECT_TRUE(r.path == U(u"C"));
             EXPECT_EQ(r.attributes, 0x21u);
         }),
         nullptr},
        {"move", "01 00 01 00 10 00 00 00 10 00 00 00  02 00 00 00 61 00 00 00 04 00 00 00 62 00 63 00",
         [](ACE_OutputCDR &out) { return EncodeMoveFileRequest(out, W(u"a").c_str(), W(u"bc").c_str()); },
         fake::Decodes(DecodeMoveFileRequest, [](const MoveFileRequest &r) {
             EXPECT_TRUE(r.source == U(u"a"));
             EXPECT_TRUE(r.target == U(u"bc"));
         }),
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
    auto attributes = [](uint32_t status, uint32_t value) {
        return [=](ACE_OutputCDR &out) { return EncodeGetFileAttributesReply(out, {status, value}); };
    };
    auto isAttributes = [](uint32_t status, uint32_t value) {
        return fake::Decodes(DecodeGetFileAttributesReply, [=](const GetFileAttributesReply &r) {
            EXPECT_EQ(r.status, status);
            if (status == 0) {
                EXPECT_EQ(r.attributes, value);
            }
        });
    };
    auto record = [](ACE_OutputCDR &out) { return EncodeGetFileAttributesExReply(out, {0, Record()}); };
    auto isRecord = fake::Decodes(DecodeGetFileAttributesExReply, [](const GetFileAttributesExReply &r) {
        EXPECT_EQ(r.status, 0u);
        ExpectRecord(r.data);
    });
    auto readRecord = [=] {
        WIN32_FILE_ATTRIBUTE_DATA d{};
        EXPECT_EQ(AgentGetFileAttributesExW(logon, path, &d), 1);
        ExpectRecord(d);
    };
    const fake::ReplyRow rows[] = {
        {"path exists", "01 00 02 00 19 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] { Expect(AgentPathFileExistsW(logon, path), 1, 0); }},
        {"path missing", "01 00 02 00 19 00 00 00 04 00 00 00  02 00 00 00", 0, fake::StatusOnly(2), fake::IsStatusOnly(2),
         [=] { Expect(AgentPathFileExistsW(logon, path), 0, 2); }},
        {"not a root, big-endian", "00 01 00 02 00 00 00 1a 00 00 00 04  00 00 00 a1", 0, fake::StatusOnly(161),
         fake::IsStatusOnly(161), [=] { Expect(AgentPathIsRootW(logon, path), 0, 161); }},
        {"stripped", "01 00 02 00 1b 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] {
             fake::WString buffer = W(u"C:\\x");
             Expect(AgentPathStripToRootW(logon, &buffer[0]), 1, 0);
             EXPECT_TRUE(buffer == W(u"C:\\x")) << "only the verdict comes back";
         }},
        {"attributes", "01 00 02 00 0e 00 00 00 08 00 00 00  00 00 00 00 10 00 00 00", 0, attributes(0, 0x10),
         isAttributes(0, 0x10), [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0x10}, 0); }},
        {"attributes, big-endian", "00 01 00 02 00 00 00 0e 00 00 00 08  00 00 00 00 00 00 08 20", 0,
         attributes(0, 0x820), isAttributes(0, 0x820),
         [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0x820}, 0); }},
        {"attributes refused", "01 00 02 00 0e 00 00 00 04 00 00 00  05 00 00 00", 0, attributes(5, 0),
         isAttributes(5, 0), [=] { Expect(AgentGetFileAttributesW(logon, path), DWORD{0xFFFFFFFF}, 5); }},
        // The size travels low part first.
        {"attribute data",
         "01 00 02 00 07 00 00 00 28 00 00 00  00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 "
         "04 00 00 00 05 00 00 00 06 00 00 00 e8 03 00 00 07 00 00 00",
         0, record, isRecord, readRecord},
        {"attribute data, big-endian",
         "00 01 00 02 00 00 00 07 00 00 00 28  00 00 00 00 00 00 00 20 00 00 00 01 00 00 00 02 00 00 00 03 "
         "00 00 00 04 00 00 00 05 00 00 00 06 00 00 03 e8 00 00 00 07",
         0, record, isRecord, readRecord},
        {"attribute data refused", "01 00 02 00 07 00 00 00 04 00 00 00  03 00 00 00", 0,
         [](ACE_OutputCDR &out) { return EncodeGetFileAttributesExReply(out, {3, Record()}); },
         [](ACE_InputCDR &in) {
             GetFileAttributesExReply r;
             r.data.nFileSizeLow = 99;
             ASSERT_TRUE(DecodeGetFileAttributesExReply(in, r));
             EXPECT_EQ(r.status, 3u);
             EXPECT_EQ(r.data.nFileSizeLow, 99u) << "a refusal carries no record";
         },
         [=] {
             WIN32_FILE_ATTRIBUTE_DATA d{};
             d.nFileSizeLow = 99;
             Expect(AgentGetFileAttributesExW(logon, path, &d), 0, 3);
             EXPECT_EQ(d.nFileSizeLow, 99u);
         }},
        {"attributes set", "01 00 02 00 11 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] { Expect(AgentSetFileAttributesW(logon, path, 0x20), 1, 0); }},
        {"directory exists", "01 00 02 00 05 00 00 00 04 00 00 00  b7 00 00 00", 0, fake::StatusOnly(183), fake::IsStatusOnly(183),
         [=] { Expect(AgentCreateDirectoryW(logon, path), 0, 183); }},
        {"removed, big-endian", "00 01 00 02 00 00 00 06 00 00 00 04  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] { Expect(AgentRemovePath(logon, path), 1, 0); }},
        {"moved", "01 00 02 00 10 00 00 00 04 00 00 00  00 00 00 00", 0, fake::StatusOnly(0), fake::IsStatusOnly(0),
         [=] { Expect(AgentMoveFile(logon, path, path), 1, 0); }},
    };
    for (const fake::ReplyRow &row : rows)
        fake::CheckReply(agent_, row);
}
