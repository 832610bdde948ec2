// Header codec and the UTF-16 CDR string codec, byte for byte.
#include "protocol/fss_util.h"
#include "protocol/wide_string.h"
#include "wire.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <sstream>

using namespace agent;
using fake::Bytes;
using fake::Hex;
using fake::W;

namespace {

Bytes StreamBytes(ACE_OutputCDR &out)
{
    out.consolidate();
    const char *p = out.begin()->rd_ptr();
    return Bytes(p, p + out.total_length());
}

// The input side of the wire: a payload at an 8-aligned address.
struct AlignedInput {
    explicit AlignedInput(const Bytes &bytes, int order = ACE_CDR::BYTE_ORDER_LITTLE_ENDIAN)
        : block(bytes.size() + ACE_CDR::MAX_ALIGNMENT)
    {
        ACE_CDR::mb_align(&block);
        std::copy(bytes.begin(), bytes.end(), block.wr_ptr());
        in = std::make_unique<ACE_InputCDR>(block.rd_ptr(), bytes.size(), order, 1, 2);
    }
    ACE_Message_Block block;
    std::unique_ptr<ACE_InputCDR> in;
};

// Captures what ACE logs on this thread.
struct LogCapture {
    LogCapture()
    {
        ACE_LOG_MSG->msg_ostream(&text, 0);
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::OSTREAM);
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);
    }
    ~LogCapture()
    {
        ACE_LOG_MSG->clr_flags(ACE_Log_Msg::OSTREAM);
        ACE_LOG_MSG->set_flags(ACE_Log_Msg::STDERR);
        ACE_LOG_MSG->msg_ostream(nullptr, 0);
    }
    std::ostringstream text;
};

} // namespace

TEST(Header, RequestHeadersAreLittleEndianWithFlagOne)
{
    struct Case {
        uint32_t opcode, length;
        const char *bytes;
    } cases[] = {
        {OpLogout, 0, "01 00 01 00 03 00 00 00 00 00 00 00"},
        {OpPathFileExists, 10, "01 00 01 00 19 00 00 00 0a 00 00 00"},
        {OpWriteFile, 0x01020304, "01 00 01 00 0b 00 00 00 04 03 02 01"},
    };
    for (const Case &c : cases) {
        ACE_OutputCDR out = MakeOutputStream(kHeaderStreamSize);
        ASSERT_TRUE(WriteHeader(out, Request, c.opcode, c.length));
        EXPECT_EQ(fake::ToHex(StreamBytes(out)), fake::ToHex(Hex(c.bytes))) << c.opcode;
    }
}

TEST(Header, FlagDecidesByteOrderOfTheRest)
{
    struct Case {
        const char *bytes;
        uint16_t flag, kind;
        uint32_t opcode, length;
    } cases[] = {
        {"01 00 02 00 19 00 00 00 04 00 00 00", 1, 2, 25, 4},
        {"00 01 00 02 00 00 00 19 00 00 00 04", 256, 2, 25, 4}, // big-endian sender
        {"00 00 00 02 00 00 00 07 00 00 01 00", 0, 2, 7, 256},   // 0 also means swap
        {"02 00 00 02 00 00 00 07 00 00 00 08", 2, 2, 7, 8},
    };
    for (const Case &c : cases) {
        AlignedInput input(Hex(c.bytes));
        MessageHeader h;
        ASSERT_TRUE(ReadHeader(*input.in, h)) << c.bytes;
        EXPECT_EQ(h.byteOrder, c.flag) << c.bytes;
        EXPECT_EQ(h.kind, c.kind) << c.bytes;
        EXPECT_EQ(h.opcode, c.opcode) << c.bytes;
        EXPECT_EQ(h.length, c.length) << c.bytes;
    }
}

TEST(Header, ShortHeaderFailsAndIsLogged)
{
    LogCapture log;
    AlignedInput input(Hex("01 00 02 00 19 00"));
    MessageHeader h;
    EXPECT_FALSE(ReadHeader(*input.in, h));
    EXPECT_NE(log.text.str().find("Unable to read message header"), std::string::npos) << log.text.str();
}

TEST(Header, FileTimeIsWrittenOnlyWhole)
{
    AlignedInput whole(Hex("01 02 03 04 05 06 07 08"));
    FILETIME t = {0xAAAAAAAA, 0xBBBBBBBB};
    ASSERT_TRUE(ReadFileTime(*whole.in, t));
    EXPECT_EQ(t.dwLowDateTime, 0x04030201u);
    EXPECT_EQ(t.dwHighDateTime, 0x08070605u);

    AlignedInput half(Hex("01 02 03 04 05 06"));
    t = {0xAAAAAAAA, 0xBBBBBBBB};
    EXPECT_FALSE(ReadFileTime(*half.in, t));
    EXPECT_EQ(t.dwLowDateTime, 0xAAAAAAAAu);
    EXPECT_EQ(t.dwHighDateTime, 0xBBBBBBBBu);
}

TEST(WideString, Encodings)
{
    const fake::WString pair = {0xD83D, 0xDE00}; // one character outside the BMP
    const fake::WString ab = W(u"ab");
    const fake::WString root = W(u"C:\\");
    const fake::WString empty;
    const std::pair<const WCHAR *, const char *> table[] = {
        {nullptr, "00 00 00 00"},
        {empty.c_str(), "00 00 00 00"},
        {ab.c_str(), "04 00 00 00 61 00 62 00"},
        {root.c_str(), "06 00 00 00 43 00 3a 00 5c 00"},
        {pair.c_str(), "04 00 00 00 3d d8 00 de"},
    };
    for (const auto &row : table) {
        ACE_OutputCDR out = MakeOutputStream(kStringPayloadStreamSize);
        ASSERT_TRUE(WriteWideString(out, row.first));
        EXPECT_EQ(fake::ToHex(StreamBytes(out)), fake::ToHex(Hex(row.second)));
    }
}

TEST(WideString, AlignmentAfterOddLengthCountsFromPayloadStart)
{
    ACE_OutputCDR out = MakeOutputStream(kPayloadStreamSize);
    ASSERT_TRUE(WriteWideString(out, W(u"C").c_str()));
    ASSERT_TRUE(out.write_ulong(0x20));
    // The two padding bytes go out as zeros, never as leftover memory.
    EXPECT_EQ(fake::ToHex(StreamBytes(out)), "02 00 00 00 43 00 00 00 20 00 00 00");
}

TEST(WideString, DecodesBothByteOrdersAndSurrogatesUntouched)
{
    AlignedInput little(Hex("06 00 00 00 3d d8 00 de 41 00"));
    OwnedWideString a;
    ASSERT_TRUE(a.Read(*little.in));
    EXPECT_EQ(fake::WString(a.get()), (fake::WString{0xD83D, 0xDE00, u'A'}));

    AlignedInput big(Hex("00 00 00 04 00 61 00 62"), ACE_CDR::BYTE_ORDER_BIG_ENDIAN);
    OwnedWideString b;
    ASSERT_TRUE(b.Read(*big.in));
    EXPECT_EQ(fake::WString(b.get()), W(u"ab"));

    AlignedInput empty(Hex("00 00 00 00"));
    OwnedWideString c;
    ASSERT_TRUE(c.Read(*empty.in));
    ASSERT_NE(c.get(), nullptr);
    EXPECT_EQ(c.length(), 0u);
}

TEST(WideString, MalformedCountsFail)
{
    const char *cases[] = {
        "08 00 00 00 61 00 62 00",       // count beyond the payload
        "03 00 00 00 61 00 62",          // odd byte count
        "ff ff ff ff 61 00",             // absurd count
        "04 00",                         // count itself cut off
    };
    for (const char *c : cases) {
        AlignedInput input(Hex(c));
        OwnedWideString s;
        EXPECT_FALSE(s.Read(*input.in)) << c;
        EXPECT_EQ(s.get(), nullptr) << c;
    }
}

TEST(WideString, BoundedCopyAlwaysTerminates)
{
    WCHAR buffer[4] = {9, 9, 9, 9};
    CopyWide(buffer, 4, W(u"abcdef").c_str());
    EXPECT_EQ(fake::WString(buffer), W(u"abc"));
    WCHAR guard[3] = {9, 9, 9};
    CopyWide(guard, 1, W(u"abc").c_str());
    EXPECT_EQ(guard[0], 0);
    EXPECT_EQ(guard[1], 9);
}
