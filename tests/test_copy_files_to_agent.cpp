// AgentCopyFilesToAgentW against the reference agent on loopback: a table
// of items in one call (results, remote bytes and times, progress, nothing
// left beside the targets), and several files in flight with a cancel.
#include "agent_harness.h"
#include "agent_test.h"
#include "local_files.h"
#include "remote_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <sys/stat.h>

using namespace refagent_test;

namespace {

constexpr time_t kSeconds = 1000000000; // the local files' time, 2001-09-09 01:46:40 UTC
constexpr uint64_t kTicks = (uint64_t(kSeconds) + 11644473600ull) * 10000000ull;

std::string Pattern(size_t n, unsigned seed)
{
    const fake::Bytes bytes = fake::Pattern(n, static_cast<uint8_t>(seed));
    return std::string(bytes.begin(), bytes.end());
}

// Per item, its progress calls and the size they gave; with `watch`, the
// most partial files seen there at once; raises *cancel after `cancelAfter` items.
struct Calls {
    std::vector<int> items = std::vector<int>(64);
    std::vector<uint64_t> sizes = std::vector<uint64_t>(64);
    uint64_t total = 0;
    std::string watch;
    size_t mostPartials = 0, finished = 0, cancelAfter = 0;
    BOOL cancel = 0;
    static DWORD AGENTAPI Note(DWORD index, DWORD, ULONGLONG bytes, ULONGLONG total, void *context)
    {
        auto *self = static_cast<Calls *>(context);
        EXPECT_GE(total, self->total);
        self->total = total;
        if (!self->watch.empty()) {
            const auto names = fake::NamesIn(self->watch);
            self->mostPartials = std::max<size_t>(self->mostPartials, std::count_if(names.begin(), names.end(), [](auto &n) {
                return n.find(".agent-put") != std::string::npos;
            }));
        }
        if (index != AGENT_COPY_PROGRESS_BYTES) {
            ++self->items.at(index);
            self->sizes.at(index) = bytes;
            if (++self->finished == self->cancelAfter)
                __atomic_store_n(&self->cancel, 1, __ATOMIC_RELEASE);
        }
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
    void TearDown() override { AgentLogoff(logon_); }
    // Local `name` (none when content is null) onto C:\in\<name>; an empty
    // name is an empty local path.
    AGENT_COPY_ITEM Item(const std::string &name, const std::string *content)
    {
        if (content != nullptr && !name.empty()) {
            local_.Write(name, *content);
            const struct timespec times[2] = {{kSeconds, 0}, {kSeconds, 0}};
            EXPECT_EQ(::utimensat(AT_FDCWD, (local_.path() + "/" + name).c_str(), times, 0), 0);
        }
        strings_.push_back(name.empty() ? fake::WString() : fake::Utf16(local_.path() + "/" + name));
        strings_.push_back(fake::Utf16("C:\\in\\" + (name.empty() ? "unnamed" : name)));
        return {strings_.back().c_str(), strings_[strings_.size() - 2].c_str(), 0, {}, 0, 12345};
    }
    std::string Remote(const std::string &name) const
    {
        std::ifstream in(remote_.path() + "/in/" + name, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) : "(none)";
    }
    time_t RemoteTime(const std::string &name) const
    {
        struct stat st = {};
        return ::stat((remote_.path() + "/in/" + name).c_str(), &st) == 0 ? st.st_mtim.tv_sec : 0;
    }

    ScratchDir local_, remote_;
    std::unique_ptr<RunningAgent> agent_;
    AGENT_LOGON logon_ = nullptr;
    std::deque<fake::WString> strings_;
};

} // namespace

// One call over every shape of item: each gets its own result and one
// progress call, and each target holds the new bytes with the local time,
// or what it held before. Then a fail-if-exists call over a new and an
// existing target.
TEST_F(CopyFilesToAgent, EveryItemGetsItsResultAndTheAgentHoldsOldOrNew)
{
    enum Listed { No, Right, Stale };
    const struct Row {
        const char *name;
        size_t size;        // local bytes (SIZE_MAX: no local file)
        const char *before; // the target's content first, or null
        Listed listed;
        DWORD result;
        bool vouched = false; // AGENT_COPY_ITEM_TARGET_ABSENT
    } rows[] = {
        {"new", 1000, nullptr, No, 0},
        {"empty", 0, nullptr, Right, 0},
        {"replaced", 5000, "old", Right, 0},
        {"chunks", (5u << 20) / 2 + 7, nullptr, No, 0}, // three writes
        {"stale", 300, "kept", Stale, ERROR_FILE_INVALID},
        {"missing", SIZE_MAX, "kept", No, ERROR_FILE_NOT_FOUND},
        {"", 10, nullptr, No, ERROR_INVALID_PARAMETER},
        {"readonly", 10, "kept", No, ERROR_ACCESS_DENIED},
        {"vouched", 700, nullptr, No, 0, true},
        {"vouched-wrongly", 800, "old", No, 0, true},   // replaced all the same
        {"vouched-readonly", 10, "kept", No, ERROR_ACCESS_DENIED, true},
    };
    std::vector<AGENT_COPY_ITEM> items;
    for (const Row &row : rows) {
        const std::string content = Pattern(row.size == SIZE_MAX ? 0 : row.size, unsigned(items.size()));
        items.push_back(Item(row.name, row.size == SIZE_MAX ? nullptr : &content));
        if (row.before != nullptr)
            remote_.Write(std::string("in/") + row.name, row.before);
        items.back().known = (row.listed != No ? AGENT_COPY_ITEM_KNOWN : 0) | (row.vouched ? AGENT_COPY_ITEM_TARGET_ABSENT : 0);
        items.back().size = row.size + (row.listed == Stale);
        items.back().lastWrite = {uint32_t(kTicks), uint32_t(kTicks >> 32)};
    }
    for (const char *name : {"readonly", "vouched-readonly"})
        ASSERT_EQ(::chmod((remote_.path() + "/in/" + name).c_str(), 0444), 0);
    Calls calls;
    ASSERT_EQ(AgentCopyFilesToAgentW(logon_, items.data(), DWORD(items.size()), &Calls::Note, &calls, nullptr, 0, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID)); // the first failed item in list order
    EXPECT_EQ(AgentGetLastError(), DWORD(ERROR_FILE_INVALID));
    uint64_t copied = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(items[i].result, row.result);
        EXPECT_EQ(calls.items[i], 1);
        EXPECT_EQ(calls.sizes[i], row.result == 0 ? row.size : 0);
        if (row.result == 0) {
            EXPECT_TRUE(Remote(row.name) == Pattern(row.size, unsigned(i))) << "content differs";
            EXPECT_EQ(RemoteTime(row.name), kSeconds);
            copied += row.size;
        } else if (row.name[0] != 0) {
            EXPECT_EQ(Remote(row.name), row.before != nullptr ? row.before : "(none)");
            copied += row.vouched ? row.size : 0; // sent before the move found the name taken
        }
    }
    EXPECT_EQ(calls.total, copied);
    const std::vector<std::string> targets = {"chunks", "empty",   "missing", "new",           "readonly",
                                              "replaced", "stale", "vouched", "vouched-readonly", "vouched-wrongly"};
    EXPECT_EQ(fake::NamesIn(remote_.path() + "/in"), targets); // no partial or aside name left

    const std::string fresh = "fresh";
    std::vector<AGENT_COPY_ITEM> again = {Item("new", nullptr), Item("fresh", &fresh)};
    again[0].remotePath = items[2].remotePath; // "replaced"
    EXPECT_EQ(AgentCopyFilesToAgentW(logon_, again.data(), 2, nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS, 0), 0);
    EXPECT_EQ(again[0].result, DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(again[1].result, 0u);
    EXPECT_TRUE(Remote("replaced") == Pattern(5000, 2));
    EXPECT_EQ(Remote("fresh"), fresh);
}

// Under a bandwidth limit (its first burst of four files spent) each copy
// waits for its write, so the files flying at once all have their partial
// files on the agent together; a cancel raised after six finished items
// leaves the rest undone and only whole files behind.
TEST_F(CopyFilesToAgent, SeveralFlyAtOnceAndACancelLeavesOnlyWholeFiles)
{
    constexpr size_t kFiles = 24, kSize = 64 * 1024;
    std::vector<AGENT_COPY_ITEM> items;
    for (size_t i = 0; i < kFiles; ++i) {
        const std::string content = Pattern(kSize, unsigned(i));
        items.push_back(Item("f" + std::to_string(i), &content));
    }
    ASSERT_EQ(AgentSetBandwidthLimit(logon_, 4 * kSize), 1); // a file every 250 ms after the burst
    Calls calls;
    calls.watch = remote_.path() + "/in";
    calls.cancelAfter = 6;
    ASSERT_EQ(AgentCopyFilesToAgentW(logon_, items.data(), DWORD(kFiles), &Calls::Note, &calls, &calls.cancel, 0, 8), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_GE(calls.mostPartials, 2u);
    EXPECT_LE(calls.mostPartials, 8u);
    size_t done = 0;
    for (size_t i = 0; i < kFiles; ++i) {
        SCOPED_TRACE(i);
        const std::string name = "f" + std::to_string(i);
        if (items[i].result == 0) {
            EXPECT_TRUE(Remote(name) == Pattern(kSize, unsigned(i))) << "content differs";
            ++done;
        } else {
            EXPECT_EQ(items[i].result, DWORD(ERROR_REQUEST_ABORTED));
            EXPECT_EQ(Remote(name), "(none)");
        }
    }
    EXPECT_GE(done, calls.cancelAfter);
    EXPECT_LT(done, kFiles);
    EXPECT_EQ(fake::NamesIn(remote_.path() + "/in").size(), done); // no partial file stays behind
}
