// AgentCopyFilesToAgentW against the reference agent on loopback: a table
// of items in one call (results, remote bytes and times, what is left
// beside the targets, progress), several files in flight at once, the
// cancel, and the argument checks.
#include "agent_harness.h"
#include "agent_test.h"
#include "local_files.h"
#include "remote_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <fstream>
#include <mutex>
#include <sys/stat.h>

using namespace refagent_test;

namespace {

constexpr time_t kLocalSeconds = 1000000000; // 2001-09-09 01:46:40 UTC
constexpr uint64_t kLocalTicks = (uint64_t(kLocalSeconds) + 11644473600ull) * 10000000ull;

std::string Pattern(size_t n, unsigned seed)
{
    const fake::Bytes bytes = fake::Pattern(n, static_cast<uint8_t>(seed));
    return std::string(bytes.begin(), bytes.end());
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Progress calls as (index, result, itemBytes, bytesCopied); with `watch`,
// the most partial files seen at once in that folder at any call.
struct Calls {
    std::mutex mutex;
    std::vector<std::array<uint64_t, 4>> seen;
    std::string watch;
    size_t mostPartials = 0;
    BOOL *cancel = nullptr; // raised once `cancelAfter` items have finished
    size_t cancelAfter = 0, finished = 0;
    static DWORD AGENTAPI Note(DWORD index, DWORD result, ULONGLONG bytes, ULONGLONG total, void *context)
    {
        auto *self = static_cast<Calls *>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back({index, result, bytes, total});
        if (!self->watch.empty()) {
            const auto names = fake::NamesIn(self->watch);
            self->mostPartials = std::max<size_t>(
                self->mostPartials, std::count_if(names.begin(), names.end(), [](const std::string &n) {
                    return n.size() > 10 && n.compare(n.size() - 10, 10, ".agent-put") == 0;
                }));
        }
        if (index != AGENT_COPY_PROGRESS_BYTES && ++self->finished == self->cancelAfter)
            __atomic_store_n(self->cancel, 1, __ATOMIC_RELEASE);
        return PROGRESS_CONTINUE;
    }
};

class CopyFilesToAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::InstallTestAdapters();
        ASSERT_EQ(AgentInit(), 1);
        remote_.MakeDir("in");
        agent_ = std::make_unique<RunningAgent>(remote_.path(), 64);
        logon_ = AgentLogonW(u"127.0.0.1", agent_->port(), u"alice", u"s3cret");
        ASSERT_NE(logon_, nullptr) << GetLastError();
        ASSERT_EQ(AgentSetTimeouts(logon_, 5000, 10000), 1);
    }
    void TearDown() override
    {
        if (logon_ != nullptr)
            AgentLogoff(logon_);
    }
    // A local file with the fixed last-write time.
    void WriteLocal(const std::string &name, const std::string &content)
    {
        local_.Write(name, content);
        const struct timespec times[2] = {{kLocalSeconds, 0}, {kLocalSeconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (local_.path() + "/" + name).c_str(), times, 0), 0);
    }
    // An item from local `name` to C:\in\<name>; keeps the strings alive.
    AGENT_COPY_ITEM Item(const std::string &name, const std::string &remoteName)
    {
        locals_.push_back(name.empty() ? fake::WString() : fake::Utf16(local_.path() + "/" + name));
        remotes_.push_back(fake::Utf16("C:\\in\\" + remoteName));
        AGENT_COPY_ITEM item = {};
        item.localPath = locals_.back().c_str();
        item.remotePath = remotes_.back().c_str();
        item.result = 12345;
        return item;
    }
    std::string Remote(const std::string &name) const { return remote_.path() + "/in/" + name; }
    std::vector<std::string> RemoteNames() const { return fake::NamesIn(remote_.path() + "/in"); }

    ScratchDir local_, remote_;
    std::unique_ptr<RunningAgent> agent_;
    AGENT_LOGON logon_ = nullptr;
    std::deque<fake::WString> locals_, remotes_;
};

} // namespace

// One call with every shape of item; each gets its own result, and each
// target holds the new bytes and the local time, or what it held before.
TEST_F(CopyFilesToAgent, EveryItemGetsItsResultAndTheAgentHoldsOldOrNew)
{
    constexpr const char *kNone = nullptr;
    enum Known { Unlisted, Listed, ListedStale };
    const struct Row {
        const char *name;
        size_t size;          // local bytes (SIZE_MAX: no local file)
        const char *before;   // the target's content first, or none
        Known known;
        DWORD result;
    } rows[] = {
        {"new", 1000, kNone, Unlisted, 0},
        {"empty", 0, kNone, Listed, 0},
        {"replaced", 5000, "old contents", Listed, 0},
        {"chunks", (5u << 20) / 2 + 7, kNone, Unlisted, 0}, // three writes
        {"stale", 300, "kept", ListedStale, ERROR_FILE_INVALID},
        {"missing", SIZE_MAX, "kept too", Unlisted, ERROR_FILE_NOT_FOUND},
        {"", 10, kNone, Unlisted, ERROR_INVALID_PARAMETER},
        {"readonly", 10, "read-only", Unlisted, ERROR_ACCESS_DENIED},
    };
    std::vector<AGENT_COPY_ITEM> items;
    for (const Row &row : rows) {
        const std::string name = row.name[0] != 0 ? row.name : "unnamed";
        if (row.size != SIZE_MAX)
            WriteLocal(name, Pattern(row.size, unsigned(items.size())));
        if (row.before != kNone)
            remote_.Write("in/" + name, row.before);
        items.push_back(Item(row.name, name));
        if (row.known != Unlisted) {
            items.back().known = AGENT_COPY_ITEM_KNOWN;
            items.back().size = row.size + (row.known == ListedStale ? 1 : 0);
            items.back().lastWrite = {uint32_t(kLocalTicks), uint32_t(kLocalTicks >> 32)};
        }
    }
    ASSERT_EQ(::chmod(Remote("readonly").c_str(), 0444), 0);
    Calls calls;
    ASSERT_EQ(AgentCopyFilesToAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID)); // the first failed item in list order
    EXPECT_EQ(AgentGetLastError(), DWORD(ERROR_FILE_INVALID));

    uint64_t copied = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(items[i].result, row.result);
        const std::string name = row.name[0] != 0 ? row.name : "unnamed";
        struct stat st;
        const bool present = ::stat(Remote(name).c_str(), &st) == 0;
        if (row.result == 0) {
            EXPECT_TRUE(ReadAll(Remote(name)) == Pattern(row.size, unsigned(i))) << "content differs";
            EXPECT_TRUE(present && st.st_mtim.tv_sec == kLocalSeconds);
            copied += row.size;
        } else if (row.before != kNone) {
            EXPECT_EQ(ReadAll(Remote(name)), row.before);
        } else {
            EXPECT_FALSE(present);
        }
    }
    // Only the targets: no partial or aside name is left.
    EXPECT_EQ(RemoteNames(), (std::vector<std::string>{"chunks", "empty", "missing", "new", "readonly", "replaced",
                                                       "stale"}));
    // One call per item with its result and size, the running total never
    // falling and ending at every byte written.
    std::vector<int> reported(items.size());
    uint64_t last = 0;
    for (const auto &c : calls.seen) {
        EXPECT_GE(c[3], last);
        last = c[3];
        if (c[0] == AGENT_COPY_PROGRESS_BYTES)
            continue;
        ++reported.at(c[0]);
        EXPECT_EQ(c[1], rows[c[0]].result);
        EXPECT_EQ(c[2], rows[c[0]].result == 0 ? rows[c[0]].size : 0);
    }
    EXPECT_EQ(reported, std::vector<int>(items.size(), 1));
    EXPECT_EQ(last, copied);

    // With COPY_FILE_FAIL_IF_EXISTS a present target stays, a new one lands.
    WriteLocal("fresh", "fresh bytes");
    std::vector<AGENT_COPY_ITEM> again = {Item("new", "replaced"), Item("fresh", "fresh")};
    EXPECT_EQ(AgentCopyFilesToAgentW(logon_, again.data(), 2, nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS, 0),
              0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(again[0].result, DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(again[1].result, 0u);
    EXPECT_TRUE(ReadAll(Remote("replaced")) == Pattern(5000, 2));
    EXPECT_EQ(ReadAll(Remote("fresh")), "fresh bytes");
}

// Under a bandwidth limit (its first burst of four files spent) every copy
// waits for its write, so the files the controller lets fly at once all
// have their partial files on the agent together; a cancel raised after
// six finished items leaves the rest undone and only whole files behind.
TEST_F(CopyFilesToAgent, SeveralFlyAtOnceAndACancelLeavesOnlyWholeFiles)
{
    constexpr size_t kFiles = 24, kSize = 64 * 1024;
    std::vector<AGENT_COPY_ITEM> items;
    for (size_t i = 0; i < kFiles; ++i) {
        const std::string name = "f" + std::to_string(i);
        WriteLocal(name, Pattern(kSize, unsigned(i)));
        items.push_back(Item(name, name));
    }
    ASSERT_EQ(AgentSetBandwidthLimit(logon_, 4 * kSize), 1); // a file every 250 ms after the burst
    Calls calls;
    calls.watch = remote_.path() + "/in";
    BOOL cancel = 0;
    calls.cancel = &cancel;
    calls.cancelAfter = 6;
    ASSERT_EQ(AgentCopyFilesToAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, &cancel, 0, 8),
              0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_GE(calls.mostPartials, 2u);
    EXPECT_LE(calls.mostPartials, 8u);

    size_t done = 0;
    for (size_t i = 0; i < kFiles; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "f" + std::to_string(i);
        if (items[i].result == 0) {
            ++done;
            EXPECT_TRUE(ReadAll(Remote(name)) == Pattern(kSize, unsigned(i)));
        } else {
            EXPECT_EQ(items[i].result, DWORD(ERROR_REQUEST_ABORTED));
        }
    }
    EXPECT_GE(done, calls.cancelAfter);
    EXPECT_LT(done, kFiles);
    EXPECT_EQ(RemoteNames().size(), done); // no partial file stays behind
}

TEST_F(CopyFilesToAgent, ArgumentsAreCheckedBeforeAnythingIsTouched)
{
    WriteLocal("f", "x");
    AGENT_COPY_ITEM item = Item("f", "f");
    const struct {
        AGENT_LOGON logon;
        AGENT_COPY_ITEM *items;
        DWORD flags;
    } cases[] = {{nullptr, &item, 0}, {logon_, nullptr, 0}, {logon_, &item, 0x80}};
    for (const auto &c : cases) {
        SetLastError(0);
        EXPECT_EQ(AgentCopyFilesToAgentW(c.logon, c.items, 1, nullptr, nullptr, nullptr, c.flags, 0), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(item.result, 12345u);
    EXPECT_EQ(AgentCopyFilesToAgentW(logon_, nullptr, 0, nullptr, nullptr, nullptr, 0, 0), 1);
    EXPECT_TRUE(RemoteNames().empty());
}
