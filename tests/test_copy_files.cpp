// AgentCopyFilesFromAgentW against a fake agent that serves files from
// memory by path: per-item results for a table of files, the exact
// exchanges a small listed file costs, when and on how many connections a
// large one goes, the in-flight cap, a cancel, and the argument checks of
// both directions; and each direction's one-round-trip burst for a small
// file, with each refusal in it.
#include "agent_test.h"
#include "file_messages.h"
#include "local_files.h"
#include "remote_files.h"
#include "test_names.h"
#include "test_seams.h"

#include "protocol/handle_messages.h"
#include "protocol/opcodes.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <thread>
#include <mutex>
#include <tuple>

namespace {

// The rows' literals as the items' text: WCHAR is char16_t here and a
// 16-bit wchar_t on Windows, the same code units either way.
const WCHAR *Wide(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }

constexpr uint64_t kTicks = (1000000000ull + 11644473600ull) * 10000000ull; // 2001-09-09 01:46:40 UTC

class CopyFilesTest : public fake::AgentTest {
protected:
    // Files are served as given; add them before the copy.
    void SetUp() override
    {
        AgentTest::SetUp();
        fake::ServeFiles(agent_, files_);
    }
    void Serve(const char16_t *remote, size_t size, uint8_t seed, uint32_t readStatus = 0, int delayMs = 0)
    {
        (*files_)[W(remote)] = {fake::Pattern(size, seed), readStatus, kTicks, delayMs};
    }
    // An item for `local` below the test folder ("" stays an empty path).
    AGENT_COPY_ITEM Item(const char16_t *remote, const WString &local, bool known = false, uint64_t listed = 0)
    {
        names_.push_back(dir_.Path(reinterpret_cast<const char16_t *>(local.c_str())));
        AGENT_COPY_ITEM item = {};
        item.remotePath = Wide(remote);
        item.localPath = local.empty() ? Wide(u"") : names_.back().c_str();
        item.known = known ? AGENT_COPY_ITEM_KNOWN : 0;
        item.size = listed;
        item.lastWrite = {uint32_t(kTicks), uint32_t(kTicks >> 32)};
        item.result = 12345;
        return item;
    }

    // The opcodes the agent received, logons and logouts aside; from one
    // connection only when given.
    std::vector<uint32_t> Opcodes(int connection = -1) const
    {
        std::vector<uint32_t> opcodes;
        for (const fake::Request &r : agent_.Requests())
            if (r.opcode != OpLogon && r.opcode != OpLogout && (connection < 0 || r.connection == connection))
                opcodes.push_back(r.opcode);
        return opcodes;
    }

    // From a handler: what the client has sent on `connection` beyond the
    // request being answered, once that is at least `bytes` (or after 2 s).
    size_t SentAhead(int connection, size_t bytes) const
    {
        for (int i = 0; i < 400 && agent_.Waiting(connection) < bytes; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return agent_.Waiting(connection);
    }

    std::shared_ptr<fake::RemoteFiles> files_ = std::make_shared<fake::RemoteFiles>();
    fake::TempDirectory dir_;
    std::deque<WString> names_;
};

// Progress calls as (index, result, itemBytes, bytesCopied).
struct Calls {
    std::mutex mutex;
    std::vector<std::array<uint64_t, 4>> seen;
    DWORD answer = PROGRESS_CONTINUE;
    static DWORD AGENTAPI Note(DWORD index, DWORD result, ULONGLONG bytes, ULONGLONG total, void *context)
    {
        auto *self = static_cast<Calls *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back({index, result, bytes, total});
        return self->answer;
    }
};

} // namespace

TEST_F(CopyFilesTest, EveryItemGetsItsOwnResultAndTheCopiesAreWhole)
{
    constexpr size_t kNone = SIZE_MAX;
    const size_t big = (5u << 20) / 2 + 3; // three chunks
    const struct Row {
        const char16_t *remote, *local;
        size_t served; // bytes the agent holds (kNone: no such file)
        uint32_t readStatus;
        bool known;
        uint64_t listed; // the size the listing gave
        DWORD result;
    } rows[] = {
        {u"C:\\empty",   u"empty",   0,     0, true,  0,   0},
        {u"C:\\small",   u"small",   100,   0, true,  100, 0},
        {u"C:\\mid",     u"mid",     5000,  0, false, 0,   0},
        {u"C:\\big",     u"big",     big,   0, true,  big, 0},
        {u"C:\\grown",   u"grown",   300,   0, true,  200, 0}, // changed since the listing
        {u"C:\\denied",  u"denied",  10,    5, true,  10,  5},
        {u"C:\\missing", u"missing", kNone, 0, true,  1,   2},
        {u"C:\\other",   u"",        100,   0, true,  100, ERROR_INVALID_PARAMETER},
    };
    std::vector<AGENT_COPY_ITEM> items;
    for (const Row &row : rows) {
        if (row.served != kNone)
            Serve(row.remote, row.served, uint8_t(items.size()), row.readStatus);
        items.push_back(Item(row.remote, W(row.local), row.known, row.listed));
    }
    Calls calls;
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 0), 0);
    EXPECT_EQ(GetLastError(), 5u); // the first failed item in list order
    EXPECT_EQ(AgentGetLastError(), 5u);

    uint64_t copied = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].result, rows[i].result);
        if (rows[i].result == 0) {
            EXPECT_EQ(dir_.Read(rows[i].local), fake::Pattern(rows[i].served, uint8_t(i)));
            copied += rows[i].served;
        }
    }
    // Nothing but the copies: no partial file stays behind.
    EXPECT_EQ(dir_.Files(), (std::vector<std::string>{"big", "empty", "grown", "mid", "small"}));
    // One progress call per item (byte reports between them), the running
    // total rising and ending with every byte that arrived.
    std::vector<int> reported(items.size());
    uint64_t last = 0;
    for (const auto &c : calls.seen) {
        EXPECT_GE(c[3], last);
        last = c[3];
        if (c[0] == AGENT_COPY_PROGRESS_BYTES)
            continue;
        ++reported.at(c[0]);
        EXPECT_EQ(c[1], rows[c[0]].result);
        EXPECT_EQ(c[2], rows[c[0]].result == 0 ? rows[c[0]].served : 0);
    }
    EXPECT_EQ(reported, std::vector<int>(items.size(), 1));
    // The grown file's first try (the listing's size) brought no byte.
    EXPECT_EQ(last, copied);
}

// Never more files open at once than the cap, yet more than one (an open's
// request to its close's, as the agent saw them).
TEST_F(CopyFilesTest, TheCapBoundsFilesInFlight)
{
    Serve(u"C:\\f", 64, 1, 0, 20);
    std::vector<AGENT_COPY_ITEM> items;
    for (char16_t i = 0; i < 24; ++i)
        items.push_back(Item(u"C:\\f", WString(1, WCHAR(u'a' + i)), true, 64));
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), nullptr, nullptr, nullptr, 0, 3), 1)
        << GetLastError();
    int open = 0, most = 0;
    for (const fake::Request &r : agent_.Requests()) {
        open += r.opcode == OpCreateFile ? 1 : r.opcode == OpCloseHandle ? -1 : 0;
        most = std::max(most, open);
    }
    EXPECT_LE(most, 3);
    EXPECT_GE(most, 2);
    EXPECT_EQ(dir_.Files().size(), items.size());
}

// With more than one in flight, a large listed file is taken first and read
// on two connections, leaving the others to the small files; with a cap of
// one the list's order holds and it gets the Ex copy's four.
TEST_F(CopyFilesTest, ALargeListedFileGoesFirstOnTwoConnectionsUnlessAlone)
{
    const size_t big = (7u << 20) / 2; // four chunks
    // Slow small reads: on a loaded machine the large file's worker may
    // start late, but not by a whole small file's copy.
    Serve(u"C:\\small", 10, 1, 0, 100);
    Serve(u"C:\\big", big, 2, 0, 20); // slow reads: every helper finds a chunk left
    for (const auto &[cap, firstOpen, opens] : {std::tuple<DWORD, size_t, size_t>{2, 1, 2}, {1, 6, 4}}) {
        SCOPED_TRACE(cap);
        agent_.ClearRecords();
        const WString tag = W(cap == 1 ? u"1-" : u"2-");
        std::vector<AGENT_COPY_ITEM> items;
        for (char16_t i = 0; i < 6; ++i)
            items.push_back(Item(u"C:\\small", tag + WString(1, WCHAR(u'a' + i)), true, 10));
        items.push_back(Item(u"C:\\big", tag + W(u"big"), true, big));
        ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), nullptr, nullptr, nullptr, 0, cap),
                  1) << GetLastError();
        // Where the large file's first open falls among the opens (at most
        // this far), and how many connections opened it.
        const auto creates = agent_.RequestsOf(OpCreateFile);
        std::vector<size_t> at;
        for (size_t i = 0; i < creates.size(); ++i)
            if (fake::OpenOf(creates[i]).path == W(u"C:\\big"))
                at.push_back(i);
        ASSERT_FALSE(at.empty());
        EXPECT_LE(at.front(), firstOpen);
        EXPECT_EQ(at.size(), opens);
        EXPECT_EQ(dir_.Read(reinterpret_cast<const char16_t *>((tag + W(u"big")).c_str())), fake::Pattern(big, 2));
    }
}

// A cancel from the progress routine: items not started get 1235 and leave
// nothing behind; the call ends with 1235.
TEST_F(CopyFilesTest, CancelLeavesTheRestUndone)
{
    Serve(u"C:\\f", 10, 1, 0, 5);
    std::vector<AGENT_COPY_ITEM> items;
    for (char16_t i = 0; i < 40; ++i)
        items.push_back(Item(u"C:\\f", WString(1, WCHAR(u'A' + i))));
    Calls calls;
    calls.answer = PROGRESS_CANCEL;
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(calls.seen.size(), 1u);
    const size_t undone = std::count_if(items.begin(), items.end(),
                                        [](const AGENT_COPY_ITEM &item) { return item.result == ERROR_REQUEST_ABORTED; });
    EXPECT_GE(undone, items.size() - 4);
    EXPECT_EQ(dir_.Files().size(), items.size() - undone);
    EXPECT_LE(agent_.CountOf(OpCreateFile), items.size() - undone + 2);
}

TEST_F(CopyFilesTest, ArgumentsAreCheckedBeforeAnythingIsTouched)
{
    AGENT_COPY_ITEM item = Item(u"C:\\f", W(u"f"));
    const struct {
        AGENT_LOGON logon;
        AGENT_COPY_ITEM *items;
        DWORD flags;
    } cases[] = {{nullptr, &item, 0}, {logon_, nullptr, 0}, {logon_, &item, 0x80}};
    for (auto copy : {&AgentCopyFilesFromAgentW, &AgentCopyFilesToAgentW}) {
        for (const auto &c : cases) {
            SetLastError(0);
            EXPECT_EQ(copy(c.logon, c.items, 1, nullptr, nullptr, nullptr, c.flags, 0), 0);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        }
        EXPECT_EQ(item.result, 12345u);
        EXPECT_EQ(copy(logon_, nullptr, 0, nullptr, nullptr, nullptr, 0, 0), 1);
    }
    EXPECT_EQ(agent_.CountOf(OpCreateFile) + agent_.CountOf(OpGetFileAttributesEx), 0u);
}

// A file that one write holds goes onto the agent in one round trip: its
// partial file's create, write, time, close and size check leave on one
// connection in one write before the first answer, and only then does the
// move follow.
// Each refusal in the burst is the item's result, the partial file goes
// unless the agent refused to make it, nothing takes the target's name,
// and a connection left out of step is not pooled.
TEST_F(CopyFilesTest, ASmallPutGoesAtOnceAndEachRefusalEndsItCleanly)
{
    const fake::Bytes content = fake::Pattern(5, 9);
    {
        std::ofstream out(dir_.Native(u"src"), std::ios::binary);
        out.write(reinterpret_cast<const char *>(content.data()), std::streamsize(content.size()));
    }
    const struct Row {
        const char *name;
        uint32_t open, write, written, close;
        uint64_t landed;
        DWORD result;
        bool pooled;
    } rows[] = {
        {"whole", 0, 0, 5, 0, 5, 0, true},
        {"open refused", 5, 0, 5, 0, 5, 5, false},
        {"write refused", 0, 112, 0, 0, 0, 112, true},
        {"short write", 0, 0, 3, 0, 3, ERROR_WRITE_FAULT, true},
        {"close refused", 0, 0, 5, 32, 5, 32, false},
        {"size differs", 0, 0, 5, 0, 4, ERROR_FILE_INVALID, true},
    };
    agent_.Always(OpSetFileTime, fake::StatusReply(OpSetFileTime, 0));
    agent_.Always(OpRemovePath, fake::StatusReply(OpRemovePath, 0));
    agent_.Always(OpMoveFile, fake::StatusReply(OpMoveFile, 0));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        size_t waiting = 0;
        agent_.On(OpCreateFile, [&](const fake::Request &r, fake::Session &) {
            // The rest of the burst (write, time, close: 77 bytes and more)
            // is on its way without this answer.
            waiting = SentAhead(r.connection, 77);
            return fake::Send(fake::StatusReply(OpCreateFile, row.open));
        });
        agent_.Always(OpWriteFile, fake::CountReply(OpWriteFile, row.write, row.written));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, row.close));
        agent_.Always(OpGetFileAttributesEx, fake::AttributeDataReply(fake::AttributeData(0x20, {}, {}, {}, row.landed)));
        agent_.ClearRecords();
        AGENT_COPY_ITEM item = Item(u"C:\\in\\f", W(u"src"));
        item.known = AGENT_COPY_ITEM_TARGET_ABSENT;
        platform::StartFaults(platform::Fault::Send, 0); // one item: copied on this thread
        EXPECT_EQ(AgentCopyFilesToAgentW(logon_, &item, 1, nullptr, nullptr, nullptr, 0, 0), row.result == 0);
        const unsigned sends = platform::FaultEvents(platform::Fault::Send);
        platform::StopFaults();
        EXPECT_EQ(item.result, row.result);

        const fake::Request open = agent_.RequestsOf(OpCreateFile).at(0);
        std::vector<uint32_t> burst = Opcodes(open.connection);
        burst.resize(std::min<size_t>(burst.size(), 5));
        EXPECT_EQ(burst, (std::vector<uint32_t>{OpCreateFile, OpWriteFile, OpSetFileTime, OpCloseHandle,
                                                OpGetFileAttributesEx}));
        EXPECT_GE(waiting, 77u);
        const auto created = fake::OpenOf(open);
        EXPECT_EQ(created.disposition, DWORD(CREATE_ALWAYS));
        EXPECT_NE(created.path.find(W(u".agent-put")), WString::npos);
        EXPECT_EQ(agent_.RequestsOf(OpWriteFile).at(0).payload, content);
        const auto times = fake::DecodedPayload<agent::protocol::SetFileTimeRequest>(
            agent_.RequestsOf(OpSetFileTime).at(0).payload, false, agent::protocol::DecodeSetFileTimeRequest);
        EXPECT_TRUE(times.lastWrite.dwHighDateTime != 0 && (times.creation.dwHighDateTime | times.lastAccess.dwHighDateTime) == 0);
        const auto removes = agent_.RequestsOf(OpRemovePath);
        EXPECT_EQ(removes.size(), row.result != 0 && row.open == 0 ? 1u : 0u);
        if (!removes.empty()) {
            EXPECT_EQ(removes[0].raw(), fake::PathRequest(OpRemovePath, created.path));
        }
        EXPECT_EQ(agent_.CountOf(OpMoveFile), row.result == 0 ? 1u : 0u);
        // The five in one write; the move, a removal or a new connection's
        // logon in one each.
        EXPECT_EQ(sends, agent_.Requests().size() - 4);
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.IsOpen(open.connection) == row.pooled; }));
        ExpectOnlySoundConnectionsPooled();
    }
}

// A listed file that one read holds comes in one round trip: its open, a
// read of size + 1 bytes that proves the size, and its close leave on one
// connection in one write before the first answer, and the copy gets the listed time.
// Each refusal is the item's result and leaves no local file; a
// connection left out of step is not pooled.
TEST_F(CopyFilesTest, ASmallListedGetGoesAtOnceAndEachRefusalEndsItCleanly)
{
    const struct Row {
        const char *name;
        size_t size; // listed
        uint32_t open, read;
        size_t count; // bytes the agent sends
        uint32_t close;
        DWORD result;
        bool pooled;
    } rows[] = {
        {"empty", 0, 0, 0, 0, 0, 0, true},
        {"one byte", 1, 0, 0, 1, 0, 0, true},
        {"70000 bytes", 70000, 0, 0, 70000, 0, 0, true},
        {"open refused", 7, 2, 6, 0, 6, 2, false},
        {"read refused", 7, 0, 33, 0, 0, 33, true},
        {"close refused", 7, 0, 0, 7, 5, 5, false},
        {"more than asked", 7, 0, 0, 9, 0, ERROR_INVALID_DATA, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        size_t waiting = 0;
        agent_.On(OpCreateFile, [&](const fake::Request &r, fake::Session &) {
            // The read and the close (36 bytes) are on their way without
            // this answer.
            waiting = SentAhead(r.connection, 36);
            return fake::Send(fake::StatusReply(OpCreateFile, row.open));
        });
        agent_.Always(OpReadFileAt,
                      fake::CountReply(OpReadFileAt, row.read, uint32_t(row.count), fake::Pattern(row.count, 4)));
        agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, row.close));
        agent_.ClearRecords();
        const WString name = W(u"g-") + fake::Utf16(row.name);
        AGENT_COPY_ITEM item = Item(u"C:\\g", name, true, row.size);
        platform::StartFaults(platform::Fault::Send, 0); // one item: copied on this thread
        EXPECT_EQ(AgentCopyFilesFromAgentW(logon_, &item, 1, nullptr, nullptr, nullptr, 0, 0), row.result == 0);
        const unsigned sends = platform::FaultEvents(platform::Fault::Send);
        platform::StopFaults();
        EXPECT_EQ(item.result, row.result);
        std::vector<uint32_t> opcodes = Opcodes();
        const int connection = agent_.RequestsOf(OpCreateFile).at(0).connection;
        // A connection the client gives up may go before the agent reads on.
        const size_t unread = !row.pooled && opcodes.size() == 2 ? 1 : 0;
        if (unread != 0)
            opcodes.push_back(OpCloseHandle);
        EXPECT_EQ(opcodes, (std::vector<uint32_t>{OpCreateFile, OpReadFileAt, OpCloseHandle}));
        // The three in one write; a new connection's logon in one of its own.
        EXPECT_EQ(sends, agent_.Requests().size() + unread - 2);
        EXPECT_EQ(fake::ReadAtOf(agent_.RequestsOf(OpReadFileAt).at(0)).toRead, row.size + 1);
        EXPECT_GE(waiting, 36u);
        const auto local = reinterpret_cast<const char16_t *>(name.c_str());
        EXPECT_EQ(dir_.Read(local), row.result == 0 ? fake::Pattern(row.size, 4) : fake::Bytes());
        EXPECT_EQ(dir_.Files().size(), size_t(std::count_if(rows, &row + 1, [](const Row &r) { return r.result == 0; })));
        if (row.result == 0) {
            using namespace std::chrono;
            const auto age = system_clock::now() - system_clock::time_point(seconds(1000000000));
            const auto written = std::filesystem::file_time_type::clock::now() - std::filesystem::last_write_time(dir_.Native(local));
            EXPECT_LT(abs(duration_cast<seconds>(written) - duration_cast<seconds>(age)), seconds(5));
        }
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.IsOpen(connection) == row.pooled; }));
        ExpectOnlySoundConnectionsPooled();
    }
}
