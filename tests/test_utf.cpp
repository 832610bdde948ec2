// The shared UTF-8 <-> UTF-16 conversion: exact bytes both ways, every
// kind of malformed input, both treatments of unpaired surrogates, and a
// round trip of every code point.
#include "util/utf.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <string>

using agent::util::LoneSurrogate;
using agent::util::Utf16ToUtf8;
using agent::util::Utf8ToUtf16;

TEST(Utf, ExactBytesBothWays)
{
    struct Case {
        std::u16string units;
        const char *hex; // UTF-8; LoneSurrogate::Replace's for unpaired surrogates
        bool paired;     // no unpaired surrogate: LoneSurrogate::Fail converts too, and so does the way back
    } cases[] = {
        {u"", "", true},
        {std::u16string(u"A\0\x7f", 3), "41 00 7f", true},
        {u"\u0080\u07ff", "c2 80 df bf", true},
        {u"\u0800\uffff\ud7ff\ue000", "e0 a0 80 ef bf bf ed 9f bf ee 80 80", true},
        {u"\U00010000\U0010ffff", "f0 90 80 80 f4 8f bf bf", true},
        {u"a\U0001F600b", "61 f0 9f 98 80 62", true},
        {std::u16string(1, char16_t(0xD800)), "ef bf bd", false},
        {std::u16string(1, char16_t(0xDC00)), "ef bf bd", false},
        {std::u16string{char16_t(0xD800), u'x'}, "ef bf bd 78", false},
        {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, "ef bf bd ef bf bd", false}, // reversed pair
        {std::u16string{u'a', char16_t(0xDBFF)}, "61 ef bf bd", false},                   // high at the end
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.hex);
        const fake::Bytes bytes = fake::Hex(c.hex);
        const std::string utf8(bytes.begin(), bytes.end());
        for (LoneSurrogate policy : {LoneSurrogate::Fail, LoneSurrogate::Replace}) {
            std::string narrow;
            const bool converts = c.paired || policy == LoneSurrogate::Replace;
            ASSERT_EQ(Utf16ToUtf8(c.units.data(), c.units.size(), narrow, policy), converts);
            if (converts) {
                EXPECT_EQ(narrow, utf8);
            }
        }
        if (c.paired) {
            std::u16string wide;
            ASSERT_TRUE(Utf8ToUtf16(utf8.data(), utf8.size(), wide));
            EXPECT_EQ(wide, c.units);
        }
    }
}

TEST(Utf, MalformedUtf8IsRefused)
{
    for (const char *hex : {
             "80",          // continuation without a lead
             "c3",          // cut short
             "e2 82",       // cut short
             "c3 41",       // not a continuation
             "c0 af",       // overlong
             "e0 80 af",    // overlong
             "f0 80 80 af", // overlong
             "ed a0 80",    // a surrogate
             "ed bf bf",    // a surrogate
             "f4 90 80 80", // beyond U+10FFFF
             "f8 88 80 80 80", "fe", "ff",
             "61 62 e2 82", // good text, then cut short
         }) {
        const fake::Bytes bytes = fake::Hex(hex);
        std::u16string wide;
        EXPECT_FALSE(Utf8ToUtf16(reinterpret_cast<const char *>(bytes.data()), bytes.size(), wide)) << hex;
    }
}

// Every scalar value survives UTF-16 -> UTF-8 -> UTF-16, with the UTF-8
// length its range gives.
TEST(Utf, EveryCodePointRoundTrips)
{
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        char16_t units[2];
        const int count = agent::util::EncodeUtf16(cp, units);
        std::string narrow;
        ASSERT_TRUE(Utf16ToUtf8(units, static_cast<size_t>(count), narrow, LoneSurrogate::Fail)) << cp;
        ASSERT_EQ(narrow.size(), cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u) << cp;
        std::u16string back;
        ASSERT_TRUE(Utf8ToUtf16(narrow.data(), narrow.size(), back)) << cp;
        ASSERT_EQ(back, std::u16string(units, static_cast<size_t>(count))) << cp;
    }
}
