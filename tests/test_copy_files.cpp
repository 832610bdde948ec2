// AgentCopyFilesFromAgentW against a fake agent that serves files from
// memory by path: per-item results for a table of files, the exact
// exchanges a small listed file costs, the in-flight cap, and a cancel.
#include "agent_test.h"
#include "local_files.h"

#include "protocol/opcodes.h"
#include "remote_files.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>

using fake::Bytes;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

// The rows' literals as the items' text: WCHAR is char16_t here and a
// 16-bit wchar_t on Windows, the same code units either way.
const WCHAR *Wide(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }

constexpr uint64_t kTicks = (1000000000ull + 11644473600ull) * 10000000ull;

uint32_t U32(const Bytes &b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

struct Served {
    Bytes content;
    uint32_t readStatus = 0;
};

// Files by path; each connection's open file is remembered per session.
// Reads may be delayed, and the number of files open at once is tracked.
class Files {
public:
    explicit Files(fake::FakeAgent &agent, int readDelayMs = 0)
    {
        agent.On(OpCreateFile, [this](const fake::Request &r, fake::Session &s) {
            std::lock_guard<std::mutex> lock(mutex_);
            const WString path = fake::OpenedPath(r);
            if (files_.count(path) == 0)
                return fake::Send(fake::StatusReply(OpCreateFile, 2));
            opened_[s.id] = path;
            maxOpen_ = std::max(maxOpen_, static_cast<int>(opened_.size()));
            return fake::Send(fake::StatusReply(OpCreateFile, 0));
        });
        agent.On(OpGetFileInformation, [this](const fake::Request &, fake::Session &s) {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t size = files_.at(opened_.at(s.id)).content.size();
            Payload p;
            p.u32(0).u32(0x20).filetime(1, 0).filetime(2, 0).filetime(uint32_t(kTicks), uint32_t(kTicks >> 32));
            p.u32(7).u32(uint32_t(size >> 32)).u32(uint32_t(size)).u32(1).u32(0).u32(9);
            return fake::Send(fake::Reply(OpGetFileInformation, p));
        });
        agent.On(OpReadFileAt, [this, readDelayMs](const fake::Request &r, fake::Session &s) {
            std::lock_guard<std::mutex> lock(mutex_);
            const Served &f = files_.at(opened_.at(s.id));
            if (f.readStatus != 0)
                return fake::Send(fake::Reply(OpReadFileAt, Payload().u32(f.readStatus).u32(0)));
            const uint64_t offset = U32(r.payload, 4) | uint64_t(U32(r.payload, 8)) << 32;
            const size_t start = std::min<size_t>(offset, f.content.size());
            const size_t n = std::min<size_t>(U32(r.payload, 0), f.content.size() - start);
            Bytes data(f.content.begin() + long(start), f.content.begin() + long(start + n));
            return fake::Send(fake::Concat({fake::Reply(OpReadFileAt, Payload().u32(0).u32(uint32_t(n))), data}))
                .After(readDelayMs);
        });
        agent.On(OpCloseHandle, [this](const fake::Request &, fake::Session &s) {
            std::lock_guard<std::mutex> lock(mutex_);
            opened_.erase(s.id);
            return fake::Send(fake::StatusReply(OpCloseHandle, 0));
        });
    }
    void Add(const char16_t *path, Served file)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        files_[W(path)] = std::move(file);
    }
    int MaxOpen()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return maxOpen_;
    }

private:
    std::mutex mutex_;
    std::map<WString, Served> files_;
    std::map<int, WString> opened_;
    int maxOpen_ = 0;
};

class CopyFilesTest : public fake::AgentTest {
protected:
    struct Row {
        const char16_t *remote;
        const char16_t *local;
        size_t served;      // bytes the agent holds (SIZE_MAX: no such file)
        uint32_t readStatus;
        bool known;
        uint64_t listed;    // the size the listing gave
        DWORD result;
    };

    AGENT_COPY_ITEM Item(const Row &row)
    {
        names_.push_back(dir_.Path(row.local));
        AGENT_COPY_ITEM item = {};
        item.remotePath = Wide(row.remote);
        item.localPath = row.local[0] == 0 ? Wide(u"") : names_.back().c_str();
        item.known = row.known ? AGENT_COPY_ITEM_KNOWN : 0;
        item.size = row.listed;
        item.lastWrite = {uint32_t(kTicks), uint32_t(kTicks >> 32)};
        item.result = 12345;
        return item;
    }

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
    Files files(agent_);
    constexpr size_t kNone = SIZE_MAX;
    const size_t big = (5u << 20) / 2 + 3; // three chunks
    const Row rows[] = {
        // remote              local       served  read  known listed  result
        {u"C:\\empty",         u"empty",   0,      0,    true, 0,      0},
        {u"C:\\small",         u"small",   100,    0,    true, 100,    0},
        {u"C:\\mid",           u"mid",     5000,   0,    false, 0,     0},
        {u"C:\\big",           u"big",     big,    0,    true, big,    0},
        {u"C:\\grown",         u"grown",   300,    0,    true, 200,    0},  // changed since the listing
        {u"C:\\denied",        u"denied",  10,     5,    true, 10,     5},
        {u"C:\\missing",       u"missing", kNone,  0,    true, 1,      2},
        {u"C:\\other",         u"",        100,    0,    true, 100,    ERROR_INVALID_PARAMETER},
    };
    std::vector<AGENT_COPY_ITEM> items;
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row &row = rows[i];
        if (row.served != kNone)
            files.Add(row.remote, {fake::Pattern(row.served, uint8_t(i)), row.readStatus});
        items.push_back(Item(row));
    }
    Calls calls;
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 0), 0);
    EXPECT_EQ(GetLastError(), 5u); // the first failed item in list order
    EXPECT_EQ(AgentGetLastError(), 5u);

    uint64_t copied = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].result, rows[i].result);
        const bool named = rows[i].local[0] != 0;
        if (rows[i].result == 0) {
            EXPECT_EQ(dir_.Read(rows[i].local), fake::Pattern(rows[i].served, uint8_t(i)));
            copied += rows[i].served;
        } else if (named) {
            EXPECT_FALSE(dir_.Exists(rows[i].local));
        }
    }
    // Nothing but the copies: no partial file stays behind.
    EXPECT_EQ(dir_.Files(), (std::vector<std::string>{"big", "empty", "grown", "mid", "small"}));
    // One progress call per item (byte reports between them), the running
    // total rising and ending with every byte that arrived.
    std::vector<bool> reported(items.size());
    uint64_t last = 0;
    size_t itemCalls = 0;
    for (const auto &c : calls.seen) {
        EXPECT_GE(c[3], last);
        last = c[3];
        if (c[0] == AGENT_COPY_PROGRESS_BYTES)
            continue;
        ++itemCalls;
        reported.at(c[0]) = true;
        EXPECT_EQ(c[1], rows[c[0]].result);
        EXPECT_EQ(c[2], rows[c[0]].result == 0 ? rows[c[0]].served : 0);
    }
    EXPECT_EQ(itemCalls, items.size());
    EXPECT_EQ(std::count(reported.begin(), reported.end(), true), long(items.size()));
    // The grown file's first try (the listing's size) brought no byte.
    EXPECT_EQ(calls.seen.back()[3], copied);
}

// A listed small file costs exactly open, one read of size + 1, close.
TEST_F(CopyFilesTest, ASmallListedFileIsOpenOneReadClose)
{
    Files files(agent_);
    for (size_t size : {size_t(0), size_t(1), size_t(70000)}) {
        SCOPED_TRACE(size);
        files.Add(u"C:\\f", {fake::Pattern(size, 3), 0});
        agent_.ClearRecords();
        AGENT_COPY_ITEM item = Item({u"C:\\f", u"f", size, 0, true, size, 0});
        ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, &item, 1, nullptr, nullptr, nullptr, 0, 0), 1) << GetLastError();
        std::vector<uint32_t> opcodes;
        for (const fake::Request &r : agent_.Requests())
            if (r.opcode != OpLogon && r.opcode != OpLogout)
                opcodes.push_back(r.opcode);
        EXPECT_EQ(opcodes, (std::vector<uint32_t>{OpCreateFile, OpReadFileAt, OpCloseHandle}));
        EXPECT_EQ(U32(agent_.RequestsOf(OpReadFileAt).at(0).payload, 0), size + 1);
        EXPECT_EQ(dir_.Read(u"f"), fake::Pattern(size, 3));
        // The listing's time, with nothing asked of the agent.
        const WString root = dir_.Root();
        const auto written = std::filesystem::last_write_time(std::filesystem::u8path(std::string(root.begin(), root.end())) / "f");
        const auto expected = std::filesystem::file_time_type::clock::now() +
                              std::chrono::duration_cast<std::filesystem::file_time_type::duration>(
                                  std::chrono::system_clock::time_point(std::chrono::seconds(1000000000)) -
                                  std::chrono::system_clock::now());
        EXPECT_LT(std::chrono::abs(written - expected), std::chrono::seconds(5));
    }
}

// Never more files open at once than the cap, yet more than one.
TEST_F(CopyFilesTest, TheCapBoundsFilesInFlight)
{
    Files files(agent_, 20);
    files.Add(u"C:\\f", {fake::Pattern(64, 1), 0});
    std::vector<AGENT_COPY_ITEM> items;
    for (size_t i = 0; i < 24; ++i) {
        AGENT_COPY_ITEM item = Item({u"C:\\f", u"unused", 64, 0, true, 64, 0});
        names_.push_back(dir_.Path(u"x") + WString(1, char16_t(u'a' + i)));
        item.localPath = names_.back().c_str();
        items.push_back(item);
    }
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), nullptr, nullptr, nullptr, 0, 3), 1)
        << GetLastError();
    EXPECT_LE(files.MaxOpen(), 3);
    EXPECT_GE(files.MaxOpen(), 2);
    EXPECT_EQ(dir_.Files().size(), items.size());
}

// A cancel from the progress routine: items not started get 1235 and leave
// nothing behind; the call ends with 1235.
TEST_F(CopyFilesTest, CancelLeavesTheRestUndone)
{
    Files files(agent_, 5);
    files.Add(u"C:\\f", {fake::Pattern(10, 1), 0});
    std::vector<AGENT_COPY_ITEM> items;
    for (size_t i = 0; i < 40; ++i) {
        names_.push_back(dir_.Path(u"y") + WString(1, char16_t(u'A' + i)));
        AGENT_COPY_ITEM item = {};
        item.remotePath = Wide(u"C:\\f");
        item.localPath = names_.back().c_str();
        items.push_back(item);
    }
    Calls calls;
    calls.answer = PROGRESS_CANCEL;
    ASSERT_EQ(AgentCopyFilesFromAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 2), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_EQ(calls.seen.size(), 1u);
    size_t undone = 0;
    for (const AGENT_COPY_ITEM &item : items)
        undone += item.result == ERROR_REQUEST_ABORTED;
    EXPECT_GE(undone, items.size() - 4);
    EXPECT_EQ(dir_.Files().size(), items.size() - undone);
    EXPECT_LE(agent_.CountOf(OpCreateFile), items.size() - undone + 2);
}

TEST_F(CopyFilesTest, ArgumentsAreCheckedBeforeAnythingIsTouched)
{
    AGENT_COPY_ITEM item = {};
    item.remotePath = Wide(u"C:\\f");
    item.localPath = Wide(u"f");
    item.result = 7;
    const struct {
        AGENT_LOGON logon;
        AGENT_COPY_ITEM *items;
        DWORD count, flags;
    } cases[] = {{nullptr, &item, 1, 0}, {logon_, nullptr, 1, 0}, {logon_, &item, 1, 0x80}};
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(AgentCopyFilesFromAgentW(c.logon, c.items, c.count, nullptr, nullptr, nullptr, c.flags, 0), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(item.result, 7u);
    EXPECT_EQ(AgentCopyFilesFromAgentW(logon_, nullptr, 0, nullptr, nullptr, nullptr, 0, 0), 1);
    EXPECT_EQ(agent_.CountOf(OpCreateFile), 0u);
}
