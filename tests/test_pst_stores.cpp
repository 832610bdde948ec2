// PST store exports: count, list (one that breaks off included), merge
// requests byte for byte, local target names, and the copy of every store
// into a local directory while the list's connection stays taken.
#include "agent_test.h"
#include "messages.h"
#include "api/pst_stores.h"
#include "local_files.h"
#include "session/last_agent_error.h"
#include "remote_files.h"

#include <functional>
#include <utility>

using namespace agent;
using fake::AgentTest;
using fake::Bytes;
using fake::Hex;
using fake::Payload;
using fake::W;
using fake::WString;

namespace {

constexpr DWORD kStale = 4242;
constexpr DWORD kBadName = ERROR_INVALID_NAME;

Bytes StoreList(const std::vector<std::pair<WString, WString>> &stores, uint32_t announced)
{
    Payload p;
    p.u32(0).u32(announced);
    for (const auto &s : stores)
        p.wstr(s.first).wstr(s.second);
    return fake::Reply(OpGetPstList, p);
}

Bytes StoreList(const std::vector<std::pair<WString, WString>> &stores) { return fake::PstListReply(stores); }

struct Seen {
    std::vector<std::pair<WString, WString>> stores;
    std::vector<void *> contexts;
};

void AGENTAPI Record(const WCHAR *path, const WCHAR *second, void *context)
{
    auto *seen = static_cast<Seen *>(context);
    seen->stores.emplace_back(path, second);
    seen->contexts.push_back(context);
}

struct CountingContext {
    AGENT_LOGON logon;
    int counted;
};

void AGENTAPI CountStores(const WCHAR *, const WCHAR *, void *p)
{
    auto *c = static_cast<CountingContext *>(p);
    DWORD n = 0;
    if (AgentGetAgentPstCount(c->logon, &n) && n == 2)
        ++c->counted;
}

} // namespace

// ---- count ---------------------------------------------------------------

TEST_F(AgentTest, PstCountFailuresWriteZeroAndRecordTheCause)
{
    struct Case {
        const char *what;
        fake::Action answer;
        DWORD error;
        bool pooled;
    } cases[] = {
        {"agent status", fake::Send(fake::Reply(OpGetPstCount, Payload().u32(1).u32(7))), 1, true},
        {"status without a count", fake::Send(fake::StatusReply(OpGetPstCount, 0)), fake::HeldLastError(kStale), true},
        {"count of all ones", fake::Send(fake::Reply(OpGetPstCount, Payload().u32(0).u32(0xFFFFFFFFu))),
         static_cast<DWORD>(ERROR_INVALID_DATA), true},
        {"reply to another opcode", fake::Send(fake::Reply(OpGetPstList, Payload().u32(0).u32(1))), fake::HeldLastError(kStale),
         false},
        {"connection dropped", fake::CloseNow(), 10054, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        agent_.Queue(OpGetPstCount, c.answer);
        DWORD count = 99;
        SetLastError(kStale);
        EXPECT_EQ(AgentGetAgentPstCount(logon_, &count), 0);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(AgentGetLastError(), c.error);
        EXPECT_EQ(Idle(), c.pooled ? 1 : 0);
        agent_.Queue(OpGetPstCount, fake::Send(fake::PstCountReply(0, 2)));
        ASSERT_EQ(AgentGetAgentPstCount(logon_, &count), 1);
        EXPECT_EQ(count, 2u);
    }
}

// ---- list ------------------------------------------------------------------

TEST_F(AgentTest, PstListReportsEveryStoreInOrder)
{
    const std::vector<std::pair<WString, WString>> stores = {
        {W(u"C:\\Mail\\outlook.pst"), W(u"Personal Folders")},
        {W(u"D:\\Archive\\archive.pst"), W(u"")},
        {W(u"E:\\x.pst"), W(u"Odd")},
    };
    agent_.Always(OpGetPstList, StoreList(stores));
    Seen seen;
    LastAgentError = kStale;
    ASSERT_EQ(AgentGetPSTList(logon_, Record, &seen), 1);
    EXPECT_EQ(seen.stores, stores);
    EXPECT_EQ(seen.contexts, std::vector<void *>(3, &seen));
    ASSERT_EQ(agent_.CountOf(OpGetPstList), 1u);
    EXPECT_EQ(fake::ToHex(agent_.RequestsOf(OpGetPstList)[0].raw()), "01 00 01 00 16 00 00 00 00 00 00 00");
    EXPECT_EQ(Idle(), 1);
    EXPECT_EQ(AgentGetLastError(), kStale);
}

// Stores read before the break are reported; the call fails without
// touching AgentGetLastError's value or inventing a cause.
TEST_F(AgentTest, PstListThatBreaksOffPartWay)
{
    const std::vector<std::pair<WString, WString>> two = {{W(u"C:\\a.pst"), W(u"A")}, {W(u"C:\\b.pst"), W(u"B")}};
    struct Case {
        const char *what;
        Bytes reply;
        size_t reported;
    } cases[] = {
        {"three announced, two sent", StoreList(two, 3), 2},
        {"second text missing", fake::Reply(OpGetPstList, Payload().u32(0).u32(1).wstr(u"C:\\a.pst")), 0},
        {"status alone", fake::StatusReply(OpGetPstList, 0), 0},
        {"count beyond any payload", fake::Reply(OpGetPstList, Payload().u32(0).u32(0xFFFFFFFFu)), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        agent_.Queue(OpGetPstList, fake::Send(c.reply));
        Seen seen;
        LastAgentError = kStale;
        SetLastError(1234);
        EXPECT_EQ(AgentGetPSTList(logon_, Record, &seen), 0);
        ASSERT_EQ(seen.stores.size(), c.reported);
        for (size_t i = 0; i < c.reported; ++i)
            EXPECT_EQ(seen.stores[i], two[i]);
        EXPECT_EQ(GetLastError(), fake::HeldLastError(1234u));
        EXPECT_EQ(AgentGetLastError(), kStale);
        EXPECT_EQ(Idle(), 1) << "the connection stays usable";
    }
}

TEST_F(AgentTest, PstListFailuresNeverWriteLastAgentError)
{
    LastAgentError = kStale;
    Seen seen;
    agent_.Queue(OpGetPstList, fake::Send(fake::StatusReply(OpGetPstList, 5)));
    EXPECT_EQ(AgentGetPSTList(logon_, Record, &seen), 0);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(Idle(), 1);

    agent_.Queue(OpGetPstList, fake::Send(fake::Reply(OpGetPstCount, Payload().u32(0).u32(0))));
    EXPECT_EQ(AgentGetPSTList(logon_, Record, &seen), 0);
    EXPECT_EQ(Idle(), 0) << "a reply to another opcode ends the connection";

    agent_.Queue(OpGetPstList, fake::CloseNow());
    EXPECT_EQ(AgentGetPSTList(logon_, Record, &seen), 0);
    EXPECT_EQ(GetLastError(), 10054u);

    // The callback is checked on the connection taken; nothing is sent.
    agent_.ClearRecords();
    EXPECT_EQ(AgentGetPSTList(logon_, nullptr, &seen), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetPSTList(nullptr, Record, &seen), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(agent_.CountOf(OpGetPstList), 0u);

    EXPECT_TRUE(seen.stores.empty());
    EXPECT_EQ(AgentGetLastError(), kStale);
}

TEST_F(AgentTest, EmptyPstListMakesNoCallback)
{
    agent_.Always(OpGetPstList, StoreList({}));
    Seen seen;
    EXPECT_EQ(AgentGetPSTList(logon_, Record, &seen), 1);
    EXPECT_TRUE(seen.stores.empty());
}

// A callback may use the logon: its calls take further connections.
TEST_F(AgentTest, PstListCallbackMayCallOtherExports)
{
    agent_.Always(OpGetPstList, StoreList({{W(u"C:\\a.pst"), W(u"")}, {W(u"C:\\b.pst"), W(u"")}}));
    agent_.Always(OpGetPstCount, fake::PstCountReply(0, 2));
    CountingContext context{logon_, 0};
    ASSERT_EQ(AgentGetPSTList(logon_, CountStores, &context), 1);
    EXPECT_EQ(context.counted, 2);
    EXPECT_EQ(agent_.Accepted(), 2);
    EXPECT_EQ(Idle(), 2);
    for (const auto &r : agent_.RequestsOf(OpGetPstCount))
        EXPECT_NE(r.connection, agent_.RequestsOf(OpGetPstList)[0].connection);
}

// ---- merge -----------------------------------------------------------------

TEST_F(AgentTest, MergeRequestIsByteExact)
{
    agent_.Always(OpMergePst, fake::StatusReply(OpMergePst, 0));
    const WString first = W(u"AB"), second = W(u"CDEF"), third = W(u"GH"), name = W(u"n1");
    const WCHAR *names[] = {name.c_str(), nullptr};
    const DWORD values[] = {7, 0x01020304};
    ASSERT_EQ(AgentMergePST(logon_, first.c_str(), second.c_str(), third.c_str(), names, values, 2), 1);
    ASSERT_EQ(agent_.CountOf(OpMergePst), 1u);
    EXPECT_EQ(fake::ToHex(agent_.RequestsOf(OpMergePst)[0].raw()),
              fake::ToHex(Hex("01 00 01 00 15 00 00 00 34 00 00 00"
                              " 04 00 00 00 41 00 42 00"
                              " 08 00 00 00 43 00 44 00 45 00 46 00"
                              " 04 00 00 00 47 00 48 00"
                              " 02 00 00 00"
                              " 04 00 00 00 6e 00 31 00 07 00 00 00"
                              " 00 00 00 00 04 03 02 01")));
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, MergeArgumentErrorsSendNothing)
{
    const WString text = W(u"t"), empty;
    const WCHAR *names[] = {text.c_str()};
    const DWORD values[] = {1};
    struct Case {
        const char *what;
        std::function<BOOL()> call;
    } cases[] = {
        {"null logon", [&] { return AgentMergePST(nullptr, text.c_str(), text.c_str(), text.c_str(), names, values, 1); }},
        {"null first", [&] { return AgentMergePST(logon_, nullptr, text.c_str(), text.c_str(), names, values, 1); }},
        {"empty second", [&] { return AgentMergePST(logon_, text.c_str(), empty.c_str(), text.c_str(), names, values, 1); }},
        {"null second", [&] { return AgentMergePST(logon_, text.c_str(), nullptr, text.c_str(), names, values, 1); }},
        {"empty third", [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), empty.c_str(), names, values, 1); }},
        {"null third", [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), nullptr, names, values, 1); }},
        {"null names", [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), text.c_str(), nullptr, values, 1); }},
        {"null values", [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), text.c_str(), names, nullptr, 1); }},
        {"no items", [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), text.c_str(), names, values, 0); }},
    };
    LastAgentError = kStale;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(AgentGetLastError(), kStale);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, MergeFailuresNeverWriteLastAgentError)
{
    const WString text = W(u"t");
    const WCHAR *names[] = {text.c_str()};
    const DWORD values[] = {1};
    auto merge = [&] { return AgentMergePST(logon_, text.c_str(), text.c_str(), text.c_str(), names, values, 1); };
    LastAgentError = kStale;
    // The status is read whatever the reply header says.
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpGetPstList, 0)));
    EXPECT_EQ(merge(), 1);
    agent_.Queue(OpMergePst, fake::Send(fake::StatusReply(OpMergePst, 5)));
    EXPECT_EQ(merge(), 0);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(Idle(), 1);
    agent_.Queue(OpMergePst, fake::CloseNow());
    EXPECT_EQ(merge(), 0);
    EXPECT_EQ(GetLastError(), 10054u);
    EXPECT_EQ(Idle(), 0);
    EXPECT_EQ(AgentGetLastError(), kStale);
}

// ---- local target names ----------------------------------------------------

TEST(StoreTarget, NamesAPlainFileInsideTheDirectory)
{
    struct Case {
        const char16_t *directory;
        const char16_t *store;
        DWORD result;
        const char16_t *target;
    } cases[] = {
        {u"D:\\Backup", u"C:\\Mail\\outlook.pst", 0, u"D:\\Backup\\outlook.pst"},
        {u"D:\\Backup\\", u"C:\\Mail\\outlook.pst", 0, u"D:\\Backup\\outlook.pst"},
        {u"D:\\Backup", u"outlook.pst", 0, u"D:\\Backup\\outlook.pst"},
        {u"D:\\Backup", u"C:\\Mail/../../Windows/evil.pst", 0, u"D:\\Backup\\evil.pst"},
        {u"D:\\Backup", u"\\\\server\\share\\COM10.pst", 0, u"D:\\Backup\\COM10.pst"},
        {u"D:\\Backup", u"C:\\Mail\\..", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\.", kBadName, u""},
        {u"D:\\Backup", u"..", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\", kBadName, u""},
        {u"D:\\Backup", u"", kBadName, u""},
        {u"D:\\Backup", u"C:evil.pst", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\a.pst:hidden", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\a?.pst", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\a\x0001.pst", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\a.pst.", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\a.pst ", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\CON", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\nul.pst", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\Com1.pst", kBadName, u""},
        {u"D:\\Backup", u"C:\\Mail\\lpt9 .x", kBadName, u""},
        {u"", u"C:\\Mail\\outlook.pst", static_cast<DWORD>(ERROR_INVALID_PARAMETER), u""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        WCHAR target[kStoreTargetChars];
        target[0] = 0x7777;
        EXPECT_EQ(ComposeStoreTarget(W(c.directory).c_str(), W(c.store).c_str(), target), c.result);
        EXPECT_EQ(WString(target), W(c.target));
    }
}

// 259 characters fit; one more is refused rather than cut into another name.
TEST(StoreTarget, RefusesTargetsThatDoNotFit)
{
    const WString name = W(u"12345678"); // 8 characters
    for (size_t dirLength : {249u, 250u, 251u, 258u, 259u, 400u}) {
        for (bool trailing : {false, true}) {
            WString dir = W(u"D:") + WString(dirLength - 2 - (trailing ? 1 : 0), u'x') + (trailing ? W(u"\\") : W(u""));
            ASSERT_EQ(dir.size(), dirLength);
            const size_t needed = dirLength + (trailing ? 0 : 1) + name.size();
            SCOPED_TRACE(std::to_string(dirLength) + (trailing ? " with backslash" : ""));
            struct {
                WCHAR target[kStoreTargetChars];
                WCHAR guard[8];
            } out;
            std::fill(std::begin(out.target), std::end(out.target), WCHAR(0x7777));
            std::fill(std::begin(out.guard), std::end(out.guard), WCHAR(0x7777));
            const DWORD result = ComposeStoreTarget(dir.c_str(), (W(u"C:\\m\\") + name).c_str(), out.target);
            if (needed <= 259) {
                EXPECT_EQ(result, 0u);
                EXPECT_EQ(WString(out.target), dir + (trailing ? W(u"") : W(u"\\")) + name);
            } else {
                EXPECT_EQ(result, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
                EXPECT_EQ(out.target[0], 0);
            }
            for (WCHAR g : out.guard)
                ASSERT_EQ(g, 0x7777);
        }
    }
}

// ---- copy to local -----------------------------------------------------------

class PstToLocal : public AgentTest {
protected:
    void Serve(const std::vector<std::pair<WString, fake::RemoteFile>> &stores)
    {
        auto files = std::make_shared<fake::RemoteFiles>();
        std::vector<std::pair<WString, WString>> listed;
        for (const auto &s : stores) {
            files->emplace(s.first, s.second);
            listed.emplace_back(s.first, W(u"second text"));
        }
        fake::ServeFiles(agent_, files);
        agent_.Always(OpGetPstList, StoreList(listed));
    }
    std::vector<WString> Opened() const
    {
        std::vector<WString> out;
        for (const auto &r : agent_.RequestsOf(OpCreateFile))
            out.push_back(fake::OpenedPath(r));
        return out;
    }
    fake::TempDirectory dir_;
};

TEST_F(PstToLocal, CopiesEveryStoreWhileHoldingTheListConnection)
{
    const Bytes outlook = fake::Pattern(5000, 1), archive = fake::Pattern(8192, 2);
    Serve({{W(u"C:\\Mail\\outlook.pst"), {outlook, 0}}, {W(u"D:\\Archive\\archive.pst"), {archive, 0}}});
    const WString target = dir_.Path(u"Backup");
    ASSERT_EQ(AgentGetPst2Local(logon_, target.c_str()), 1) << GetLastError();
    EXPECT_EQ(dir_.Files(), (std::vector<std::string>{"Backup/archive.pst", "Backup/outlook.pst"}));
    EXPECT_EQ(dir_.Read(u"Backup\\outlook.pst"), outlook);
    EXPECT_EQ(dir_.Read(u"Backup\\archive.pst"), archive);

    EXPECT_EQ(Opened(), (std::vector<WString>{W(u"C:\\Mail\\outlook.pst"), W(u"D:\\Archive\\archive.pst")}));
    const int listed = agent_.RequestsOf(OpGetPstList)[0].connection;
    for (const auto &r : agent_.RequestsOf(OpCreateFile))
        EXPECT_NE(r.connection, listed);
    // The list's connection, plus the copy's held one and its file's; the
    // second copy reuses those two.
    EXPECT_EQ(agent_.Accepted(), 3);
    EXPECT_EQ(Idle(), 3);
}

TEST_F(PstToLocal, EmptyListStillCreatesTheDirectory)
{
    Serve({});
    ASSERT_EQ(AgentGetPst2Local(logon_, (dir_.Path(u"Empty") + W(u"\\")).c_str()), 1);
    EXPECT_TRUE(dir_.Exists(u"Empty"));
    EXPECT_TRUE(dir_.Files().empty());
}

// Every store is attempted; any that could not be copied whole makes the
// result 0 with the last failure's cause. Unsafe names and targets too
// long are never opened or written; a second store of one name gets a
// name of its own.
TEST_F(PstToLocal, StoresThatCannotBeCopiedAreReported)
{
    const Bytes first = fake::Pattern(300, 1), later = fake::Pattern(400, 2), ok = fake::Pattern(10, 3);
    Serve({
        {W(u"C:\\Mail\\.."), {fake::Pattern(5, 9), 0}},
        {W(u"C:\\a\\same.pst"), {first, 0}},
        {W(u"C:\\gone.pst"), {fake::Pattern(5, 9), 2}},
        {W(u"C:\\b\\SAME.pst"), {later, 0}},
        {W(u"C:\\x\\../escape.pst"), {ok, 0}},
    });
    LastAgentError = 0;
    const WString target = dir_.Path(u"B");
    EXPECT_EQ(AgentGetPst2Local(logon_, target.c_str()), 0);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_EQ(AgentGetLastError(), 2u);
    EXPECT_EQ(Opened(), (std::vector<WString>{W(u"C:\\a\\same.pst"), W(u"C:\\gone.pst"), W(u"C:\\b\\SAME.pst"),
                                              W(u"C:\\x\\../escape.pst")}));
    EXPECT_EQ(dir_.Read(u"B\\same.pst"), first) << "a later store of the same name replaced it";
    EXPECT_EQ(dir_.Read(u"B\\SAME (2).pst"), later);
    EXPECT_EQ(dir_.Read(u"B\\escape.pst"), ok);
    EXPECT_FALSE(dir_.Exists(u"escape.pst"));
    EXPECT_EQ(Idle(), 3);
}

TEST_F(PstToLocal, LongPathsAreUsedWholeAndOverlongTargetsSkipped)
{
    const WString longRemote = W(u"C:\\") + WString(300, u'd') + W(u"\\long.pst");
    Serve({{longRemote, {fake::Pattern(20, 4), 0}}});
    ASSERT_EQ(AgentGetPst2Local(logon_, dir_.Path(u"L").c_str()), 1);
    EXPECT_EQ(Opened(), std::vector<WString>{longRemote});
    EXPECT_EQ(dir_.Read(u"L\\long.pst"), fake::Pattern(20, 4));

    // A directory that leaves no room for the name: nothing is copied.
    agent_.ClearRecords();
    const WString deep = dir_.Path(u"") + WString(259 - dir_.Path(u"").size() - 4, u'y');
    LastAgentError = 0;
    EXPECT_EQ(AgentGetPst2Local(logon_, deep.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_TRUE(Opened().empty());
}

TEST_F(PstToLocal, NoListNoDirectoryNoCopy)
{
    agent_.Always(OpGetPstList, StoreList({{W(u"C:\\a.pst"), W(u"")}}, 2));
    fake::ServeFiles(agent_, std::make_shared<fake::RemoteFiles>());
    LastAgentError = 0;
    SetLastError(1234);
    EXPECT_EQ(AgentGetPst2Local(logon_, dir_.Path(u"N").c_str()), 0);
    EXPECT_EQ(AgentGetLastError(), fake::HeldLastError(1234u)) << "the failure is recorded with what the thread held";
    EXPECT_FALSE(dir_.Exists(u"N"));
    EXPECT_TRUE(Opened().empty());

    agent_.Always(OpGetPstList, fake::StatusReply(OpGetPstList, 21));
    EXPECT_EQ(AgentGetPst2Local(logon_, dir_.Path(u"N").c_str()), 0);
    EXPECT_EQ(GetLastError(), 21u);
    EXPECT_EQ(AgentGetLastError(), 21u);
    EXPECT_FALSE(dir_.Exists(u"N"));
}

TEST_F(PstToLocal, ArgumentErrorsTakeNoConnection)
{
    LastAgentError = kStale;
    const WString empty;
    EXPECT_EQ(AgentGetPst2Local(nullptr, dir_.Path(u"x").c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetPst2Local(logon_, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetPst2Local(logon_, empty.c_str()), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD count = 5;
    EXPECT_EQ(AgentGetAgentPstCount(nullptr, &count), 0);
    EXPECT_EQ(AgentGetAgentPstCount(logon_, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(AgentGetLastError(), kStale);
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(agent_.Accepted(), 1);
}
