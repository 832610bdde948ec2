// Local names of PST store copies: stores with one file name all keep a
// copy of their own, names compared as Windows compares them.
#include "agent_test.h"
#include "local_names/file_name_case.h"
#include "api/pst_stores.h"
#include "local_files.h"
#include "session/last_agent_error.h"
#include "remote_files.h"

#include <set>
#include <string>
#include <vector>

using namespace agent;
using fake::AgentTest;
using fake::Bytes;
using fake::Payload;
using fake::Utf16;
using fake::W;
using fake::WString;

namespace {

// Pairs Windows treats as one file name, and pairs it keeps apart.
TEST(FileNameCase, UpcasesAsWindowsComparesNames)
{
    const struct {
        char16_t lower, upper;
    } same[] = {{u'a', u'A'}, {u'z', u'Z'}, {u'\u00E4', u'\u00C4'}, {u'\u00FF', u'\u0178'},
                {u'\u0101', u'\u0100'}, {u'\u01C6', u'\u01C4'}, {u'\u03C9', u'\u03A9'}, {u'\u03C2', u'\u03A3'},
                {u'\u044F', u'\u042F'}, {u'\u0450', u'\u0400'}, {u'\u0561', u'\u0531'}, {u'\u1F80', u'\u1F88'},
                {u'\u24D0', u'\u24B6'}, {u'\uFF41', u'\uFF21'}, {u'\u0131', u'I'}};
    for (const auto &p : same) {
        SCOPED_TRACE(static_cast<unsigned>(p.lower));
        EXPECT_EQ(UpcaseFileNameUnit(p.lower), p.upper);
        EXPECT_EQ(UpcaseFileNameUnit(p.upper), p.upper);
    }
    // Unmapped: digits, punctuation, ß (no one-unit capital), ẞ, the Kelvin
    // sign (a capital already), CJK, surrogates, the last unit.
    for (char16_t c : {u'0', u'.', u'_', u'\u00DF', u'\u1E9E', u'\u212A', u'\u4E00', char16_t(0xD800),
                       char16_t(0xDC00), char16_t(0xFFFF), char16_t(0)})
        EXPECT_EQ(UpcaseFileNameUnit(c), c) << static_cast<unsigned>(c);
}

// Over the whole BMP: ASCII maps only a-z, upcasing is idempotent, and a
// unit maps at most once (no chains such as a -> b -> c).
TEST(FileNameCase, SweepOfTheBmp)
{
    size_t mapped = 0;
    for (uint32_t u = 0; u <= 0xFFFF; ++u) {
        const WCHAR c = static_cast<WCHAR>(u), up = UpcaseFileNameUnit(c);
        if (u < 0x80) {
            ASSERT_EQ(up, u >= 'a' && u <= 'z' ? c - 32 : c) << u;
        }
        ASSERT_EQ(UpcaseFileNameUnit(up), up) << u;
        mapped += up != c;
    }
    // Unicode's simple uppercase mapping has about 1,200 BMP entries.
    EXPECT_GT(mapped, 1000u);
    EXPECT_LT(mapped, 1400u);
}

struct NamingCase {
    std::vector<const char16_t *> stores;
    std::vector<const char16_t *> names; // file names in D:\B, "" for none
    std::vector<DWORD> refused;
};

TEST(StoreNaming, LaterStoresOfOneNameGetNumberedNames)
{
    const DWORD kBad = ERROR_INVALID_NAME;
    const NamingCase cases[] = {
        {{u"C:\\a\\outlook.pst", u"C:\\b\\outlook.pst", u"C:\\c\\outlook.pst"},
         {u"outlook.pst", u"outlook (2).pst", u"outlook (3).pst"}, {0, 0, 0}},
        // Case differences beyond ASCII collide; the first keeps its spelling.
        {{u"C:\\x\\\u00C4.pst", u"C:\\y\\\u00E4.pst", u"C:\\z\\OUTLOOK.PST", u"C:\\w\\outlook.pst"},
         {u"\u00C4.pst", u"\u00E4 (2).pst", u"OUTLOOK.PST", u"outlook (2).pst"}, {0, 0, 0, 0}},
        // A store already named like a numbered copy keeps its name.
        {{u"C:\\a\\mail.pst", u"C:\\b\\mail.pst", u"C:\\c\\mail (2).pst"},
         {u"mail.pst", u"mail (3).pst", u"mail (2).pst"}, {0, 0, 0}},
        {{u"C:\\a\\mail (2).pst", u"C:\\b\\mail.pst", u"C:\\c\\MAIL.pst", u"C:\\d\\mail (2).PST"},
         {u"mail (2).pst", u"mail.pst", u"MAIL (3).pst", u"mail (2) (2).PST"}, {0, 0, 0, 0}},
        // No extension, a leading dot, several dots; '/' separates too.
        {{u"C:\\a\\archive", u"C:/b/archive", u"C:\\a\\.pst", u"C:\\b\\.pst", u"x\\a.b.pst", u"y\\A.B.pst"},
         {u"archive", u"archive (2)", u".pst", u".pst (2)", u"a.b.pst", u"A.B (2).pst"}, {0, 0, 0, 0, 0, 0}},
        // Refused names take no name and push nothing aside.
        {{u"C:\\a\\..", u"C:\\a\\CON", u"C:\\a\\x.pst", u"C:\\b\\x.pst"}, {u"", u"", u"x.pst", u"x (2).pst"},
         {kBad, kBad, 0, 0}},
        {{}, {}, {}},
    };
    for (const NamingCase &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        std::vector<WString> stores;
        for (const char16_t *s : c.stores)
            stores.push_back(W(s));
        std::vector<const WCHAR *> paths;
        for (const WString &s : stores)
            paths.push_back(s.c_str());
        const std::vector<StoreTarget> named = NameStoreTargets(W(u"D:\\B").c_str(), paths.data(), paths.size());
        ASSERT_EQ(named.size(), c.names.size());

        // The export gives the same names, in the caller's buffers.
        std::vector<WCHAR> names(paths.size() * kStoreTargetChars + 1, 0x7777);
        std::vector<DWORD> errors(paths.size(), 0x7777);
        bool allNamed = true;
        for (size_t i = 0; i < named.size(); ++i) {
            SCOPED_TRACE(i);
            const WString expected = *c.names[i] ? W(u"D:\\B\\") + W(c.names[i]) : WString();
            EXPECT_EQ(WString(named[i].target), expected);
            EXPECT_EQ(named[i].refused, c.refused[i]);
            allNamed = allNamed && c.refused[i] == 0;
        }
        SetLastError(0);
        EXPECT_EQ(AgentGetPstLocalNames(paths.data(), static_cast<DWORD>(paths.size()), names.data(), errors.data()),
                  allNamed ? 1 : 0);
        EXPECT_EQ(GetLastError(), allNamed ? 0u : kBad);
        for (size_t i = 0; i < named.size(); ++i) {
            EXPECT_EQ(WString(&names[i * kStoreTargetChars]), W(c.names[i]));
            EXPECT_EQ(errors[i], c.refused[i]);
        }
        EXPECT_EQ(names.back(), 0x7777) << "written past the last block";
    }
}

// Many stores of one name (with a few already named like copies, and in
// other cases) each get their own name, numbered from 2 upwards in list
// order past the numbers that are taken.
TEST(StoreNaming, SixteenThousandStoresOfOneName)
{
    constexpr size_t kStores = 16000;
    std::vector<WString> stores;
    for (size_t i = 0; i < kStores; ++i)
        stores.push_back(W(i % 2 == 0 ? u"C:\\u\\outlook.pst" : u"C:\\v\\OUTLOOK.pst"));
    stores.push_back(W(u"C:\\w\\outlook (5).pst"));
    stores.push_back(W(u"C:\\w\\Outlook (9).PST"));
    std::vector<const WCHAR *> paths;
    for (const WString &s : stores)
        paths.push_back(s.c_str());
    const std::vector<StoreName> named = NameStoreFiles(paths.data(), paths.size());
    ASSERT_EQ(named.size(), stores.size());
    EXPECT_EQ(named[0].name, W(u"outlook.pst"));
    unsigned n = 2;
    std::set<WString> keys;
    for (size_t i = 0; i < named.size(); ++i) {
        ASSERT_EQ(named[i].refused, 0u) << i;
        ASSERT_TRUE(keys.insert(FileNameKey(named[i].name.data(), named[i].name.size())).second)
            << "two stores in one file at " << i;
        if (i == 0 || i >= kStores)
            continue;
        if (n == 5 || n == 9)
            ++n;
        const WString stem = W(i % 2 == 0 ? u"outlook" : u"OUTLOOK");
        ASSERT_EQ(named[i].name, stem + Utf16(" (" + std::to_string(n++) + ")") + W(u".pst")) << i;
    }
    EXPECT_EQ(named[kStores].name, W(u"outlook (5).pst"));
    EXPECT_EQ(named[kStores + 1].name, W(u"Outlook (9).PST"));
}

// A numbered name that no longer fits is refused, not cut.
TEST(StoreNaming, NumberedNameOverTheLimitIsRefused)
{
    const WString directory = W(u"D:\\") + WString(245, u'd'); // 248 characters
    const WString a = W(u"C:\\a\\name45.pst"), b = W(u"C:\\b\\name45.pst"); // 11 characters
    const WCHAR *paths[] = {a.c_str(), b.c_str()};
    const std::vector<StoreTarget> targets = NameStoreTargets(directory.c_str(), paths, 2);
    EXPECT_EQ(targets[0].refused, 0u);
    EXPECT_EQ(WString(targets[0].target), directory + W(u"\\name45.pst"));
    EXPECT_EQ(targets[1].refused, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(targets[1].target[0], 0);

    // The export's names stand alone: 259 characters fit, 260 do not.
    const WString fits = W(u"C:\\") + WString(251, u'n') + W(u".pst"), longer = W(u"C:\\") + WString(260, u'm');
    const WCHAR *alone[] = {fits.c_str(), fits.c_str(), longer.c_str()};
    WCHAR names[3 * kStoreTargetChars];
    DWORD errors[3];
    LastAgentError = 4242;
    EXPECT_EQ(AgentGetPstLocalNames(alone, 3, names, errors), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(errors[0], 0u);
    EXPECT_EQ(WString(names), WString(251, u'n') + W(u".pst"));
    EXPECT_EQ(errors[1], 0u);
    EXPECT_EQ(WString(names + kStoreTargetChars), WString(251, u'n') + W(u" (2).pst"));
    EXPECT_EQ(errors[2], static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(names[2 * kStoreTargetChars], 0);
    EXPECT_EQ(AgentGetLastError(), 4242u);

    SetLastError(0);
    EXPECT_EQ(AgentGetPstLocalNames(nullptr, 0, nullptr, nullptr), 1);
    EXPECT_EQ(AgentGetPstLocalNames(nullptr, 1, names, errors), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(AgentGetPstLocalNames(alone, 1, nullptr, errors), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

class PstSameNames : public AgentTest {
protected:
    fake::TempDirectory dir_;
};

// Every store of one name is copied whole into a file of its own.
TEST_F(PstSameNames, EveryStoreIsCopied)
{
    const std::vector<std::pair<WString, Bytes>> stores = {
        {W(u"C:\\Users\\a\\outlook.pst"), fake::Pattern(5000, 1)},
        {W(u"C:\\Users\\b\\Outlook.PST"), fake::Pattern(7000, 2)},
        {W(u"D:\\old\\\u00C4rchiv.pst"), fake::Pattern(300, 3)},
        {W(u"D:\\new\\\u00E4rchiv.pst"), fake::Pattern(400, 4)},
        {W(u"E:\\outlook.pst"), fake::Pattern(4096, 5)},
    };
    auto files = std::make_shared<fake::RemoteFiles>();
    Payload list;
    list.u32(0).u32(static_cast<uint32_t>(stores.size()));
    for (const auto &s : stores) {
        files->emplace(s.first, fake::RemoteFile{s.second, 0});
        list.wstr(s.first).wstr(W(u"x"));
    }
    fake::ServeFiles(agent_, files);
    agent_.Always(OpGetPstList, fake::Reply(OpGetPstList, list));

    ASSERT_EQ(AgentGetPst2Local(logon_, dir_.Path(u"S").c_str()), 1) << GetLastError();
    const char16_t *local[] = {u"S\\outlook.pst", u"S\\Outlook (2).PST", u"S\\\u00C4rchiv.pst",
                               u"S\\\u00E4rchiv (2).pst", u"S\\outlook (3).pst"};
    for (size_t i = 0; i < stores.size(); ++i)
        EXPECT_EQ(dir_.Read(local[i]), stores[i].second) << i;
    EXPECT_EQ(dir_.Files().size(), stores.size());
}

} // namespace
