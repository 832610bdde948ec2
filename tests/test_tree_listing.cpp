// AgentListTreeW against hostile listings from the fake agent: an endless
// folder, one that never stops having subfolders, an endlessly deep tree
// and a wide one. Whatever the agent sends, the walk holds a bounded number
// of folders and entries (counted by the walk itself), cuts what lies past
// its bounds and counts every cut; directory links are left out unless
// asked for, and a link back to the root is a loop.
#include "agent_test.h"
#include "entries.h"
#include "file_messages.h"
#include "test_names.h"

#include "copy/tree_walk.h"
#include "protocol/opcodes.h"
#include "protocol/search_messages.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>

using fake::FindEntry;

namespace {

constexpr uint32_t kFolder = 0x10, kLink = 0x400;

// Levels below C:\root.
size_t Depth(const WString &folder) { return std::count(folder.begin(), folder.end(), u'\\') - 1; }

FindEntry Named(const std::string &name, uint32_t attributes, uint32_t stamp = 0)
{
    FindEntry e;
    e.attributes = attributes;
    e.sizeLow = 10;
    e.name = fake::Utf16(name);
    e.created[0] += stamp;
    e.accessed[0] += stamp;
    e.written[1] += stamp;
    return e;
}

std::vector<FindEntry> Numbered(const char *prefix, int n, uint32_t attributes)
{
    std::vector<FindEntry> out;
    for (int i = 0; i < n; ++i)
        out.push_back(Named(prefix + std::to_string(i), attributes));
    return out;
}

using Tree = std::function<std::vector<FindEntry>(const WString &folder)>;

void ServeTree(fake::FakeAgent &agent, Tree tree)
{
    agent.Always(OpGetFileAttributesEx,
                 fake::Reply(OpGetFileAttributesEx,
                             Payload().u32(0).u32(kFolder).filetime(1, 2).filetime(3, 4).filetime(5, 6).u32(0).u32(0)));
    agent.On(OpFindFirst, [tree](const fake::Request &r, fake::Session &) {
        WString folder = fake::DecodedReply<protocol::FindFirstRequest>(r.payload, protocol::DecodeFindFirstRequest).pattern;
        folder.resize(folder.size() - 2); // "\*"
        // As the reference agent lists a folder below a root.
        std::vector<Payload> records{fake::FindRecord(Named(".", kFolder)), fake::FindRecord(Named("..", kFolder))};
        for (const FindEntry &e : tree(folder))
            records.push_back(fake::FindRecord(e));
        return fake::Send(fake::SearchStream(OpFindFirst, records));
    });
}

struct Seen {
    uint64_t calls = 0;
    uint64_t ends = 0;      // AGENT_TREE_FOLDER_END entries
    uint64_t stopAfter = 0; // 0: never
    bool keepFolders = false;
    std::map<WString, WIN32_FIND_DATAW> listed; // folders with their parent's record
    std::vector<WString> bare;                  // folders handed over without one
    static DWORD AGENTAPI Note(const AGENT_TREE_ENTRY *entry, void *context)
    {
        auto *self = static_cast<Seen *>(context);
        EXPECT_NE(entry->path, nullptr);
        self->ends += entry->kind == AGENT_TREE_FOLDER_END;
        if (self->keepFolders && entry->kind == AGENT_TREE_FOLDER) {
            if (entry->findData == nullptr)
                self->bare.push_back(entry->path);
            else
                self->listed[entry->path] = *entry->findData;
        }
        return ++self->calls == self->stopAfter ? AGENT_TREE_STOP : AGENT_TREE_CONTINUE;
    }
};

class TreeListingTest : public fake::AgentTest {};

} // namespace

TEST_F(TreeListingTest, HostileListingsStayBounded)
{
    // Queued, a batch being delivered, and each search's batch not yet queued.
    const size_t waiting = 2 * tree::kWaitingEntries + tree::kDefaultSearches * tree::kBatchEntries;
    const struct {
        const char *name;
        Tree tree;
        unsigned maxDepth;
        size_t maxQueued;
        uint64_t stopAfter;
        BOOL result;
        size_t heldAtMost;
        std::function<void(const AGENT_TREE_COUNTS &)> check;
    } rows[] = {
        {"endless folder of files", [](const WString &) { return Numbered("f", 60000, 0x20); },
         0, 0, 50000, 0, waiting + 1,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_GE(c.files, 49000u);
             EXPECT_LT(c.files, 50000u);
         }},
        {"endless folder of folders",
         [](const WString &folder) { return Depth(folder) == 0 ? Numbered("d", 20000, kFolder) : std::vector<FindEntry>{}; },
         0, 500, 0, 1, 500 + waiting + 1,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_GT(c.skipped[AGENT_SKIP_TOO_MANY], 0u);
             EXPECT_EQ(c.folders + c.skipped[AGENT_SKIP_TOO_MANY], 20001u); // each one listed or cut
         }},
        {"endlessly deep", [](const WString &) { return std::vector<FindEntry>{Named("d", kFolder), Named("f", 0x20)}; },
         40, 0, 0, 1, waiting + 2,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_EQ(c.folders, 41u);
             EXPECT_EQ(c.files, 41u);
             EXPECT_EQ(c.skipped[AGENT_SKIP_TOO_DEEP], 1u);
         }},
        {"wide",
         [](const WString &) {
             std::vector<FindEntry> out = Numbered("d", 32, kFolder);
             out.push_back(Named("l", kFolder | kLink));
             return out;
         },
         // Each search in flight may have put its 32 folders on each level.
         2, 0, 0, 1, tree::kDefaultSearches * 2 * 33 + waiting + 1,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_EQ(c.folders, 1u + 32 + 32 * 32);
             EXPECT_EQ(c.skipped[AGENT_SKIP_TOO_DEEP], 32u * 32 * 32);
             EXPECT_EQ(c.skipped[AGENT_SKIP_DIRECTORY_LINK], 1u + 32 + 32 * 32);
             EXPECT_EQ(c.failures, 0u);
         }},
    };
    const WString root = W(u"C:\\root");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ServeTree(agent_, row.tree);
        Seen seen;
        seen.stopAfter = row.stopAfter;
        tree::Walk walk;
        walk.logon = logon_;
        walk.root = root.c_str();
        walk.maxDepth = row.maxDepth != 0 ? row.maxDepth : walk.maxDepth;
        walk.maxQueued = row.maxQueued != 0 ? row.maxQueued : walk.maxQueued;
        walk.callback = &Seen::Note;
        walk.context = &seen;
        AGENT_TREE_COUNTS counts;
        size_t held = 0;
        EXPECT_EQ(tree::ListTree(walk, &counts, &held), row.result);
        if (!row.result) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_CANCELLED));
        }
        EXPECT_LE(held, row.heldAtMost);
        EXPECT_GT(held, 0u);
        row.check(counts);
        // Every connection comes back or is closed: none is left enumerating.
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == Idle(); }));
    }
}

// Links: left out by default; followed on request, after the real folders,
// and one leading back to the root is a loop. Folder identities come from
// opening each folder (volume serial and file index by path). A folder
// below the root comes with what its parent's listing said of it (a
// backup's manifest keeps its attributes and times); the root has none.
TEST_F(TreeListingTest, LinksAreSkippedOrFollowedLoopsFoundAndFoldersCarryTheirFindData)
{
    // C:\root: sub, back (link to root), out (link the agent refuses), a file; sub: deeper and a file.
    const FindEntry sub = Named("sub", kFolder | 0x2, 100), deeper = Named("deeper", kFolder | 0x1, 200);
    ServeTree(agent_, [&](const WString &folder) {
        if (folder == W(u"C:\\root"))
            return std::vector<FindEntry>{sub, Named("back", kFolder | kLink), Named("out", kFolder | kLink),
                                          Named("a", 0x20)};
        if (folder == W(u"C:\\root\\sub"))
            return std::vector<FindEntry>{deeper, Named("b", 0x20)};
        return std::vector<FindEntry>{};
    });
    agent_.On(OpCreateFile, [](const fake::Request &r, fake::Session &s) {
        const WString path = fake::OpenOf(r).path;
        // "back" is the root itself; every other folder has its own index.
        s.values["index"] = path == W(u"C:\\root\\back") ? W(u"C:\\root").size() : path.size();
        return fake::Send(fake::StatusReply(OpCreateFile, path == W(u"C:\\root\\out") ? 5 : 0));
    });
    agent_.On(OpGetFileInformation, [](const fake::Request &, fake::Session &s) {
        BY_HANDLE_FILE_INFORMATION info{};
        info.dwFileAttributes = kFolder;
        info.dwVolumeSerialNumber = 7;
        info.nFileIndexLow = uint32_t(s.values["index"]);
        return fake::Send(fake::InformationReply(info));
    });
    agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));

    const struct {
        DWORD flags;
        uint64_t directoryLinks, loops, leadsOut;
    } cases[] = {{0, 2, 0, 0}, {AGENT_TREE_FOLLOW_LINKS, 0, 1, 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        Seen seen;
        seen.keepFolders = true;
        AGENT_TREE_COUNTS counts;
        ASSERT_EQ(AgentListTreeW(logon_, AGENT_TEXT("C:\\root"), c.flags, 0, 0, 0, &Seen::Note, &seen, &counts), 1)
            << GetLastError();
        EXPECT_EQ(counts.folders, 3u);
        EXPECT_EQ(counts.files, 2u);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_DIRECTORY_LINK], c.directoryLinks);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_LOOP], c.loops);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_LINK_LEADS_OUT], c.leadsOut);
        EXPECT_EQ(counts.failures, 0u);
        EXPECT_EQ(seen.ends, 3u); // every listed folder ends once

        EXPECT_EQ(seen.bare, std::vector<WString>{W(u"C:\\root")});
        ASSERT_EQ(seen.listed.size(), 2u);
        for (const auto &[path, want] : {std::make_pair(W(u"C:\\root\\sub"), sub),
                                         std::make_pair(W(u"C:\\root\\sub\\deeper"), deeper)}) {
            const WIN32_FIND_DATAW &got = seen.listed[path];
            EXPECT_EQ(got.dwFileAttributes, want.attributes);
            EXPECT_EQ(got.ftCreationTime.dwLowDateTime, want.created[0]);
            EXPECT_EQ(got.ftCreationTime.dwHighDateTime, want.created[1]);
            EXPECT_EQ(got.ftLastAccessTime.dwLowDateTime, want.accessed[0]);
            EXPECT_EQ(got.ftLastWriteTime.dwLowDateTime, want.written[0]);
            EXPECT_EQ(got.ftLastWriteTime.dwHighDateTime, want.written[1]);
            EXPECT_EQ(WString(got.cFileName), want.name);
        }
    }
    EXPECT_EQ(AgentListTreeW(logon_, AGENT_TEXT("C:\\root"), 0x80, 0, 0, 0, &Seen::Note, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// A search's entries that have arrived reach the callback while the agent
// is still sending the rest: none waits for a batch to fill. The agent
// sends two files, pauses, then the third and the end; the callback tells
// the test when it has seen the first two, which must be before the pause
// ends.
TEST_F(TreeListingTest, EntriesThatArrivedAreDeliveredWhileTheAgentPauses)
{
    constexpr int kPauseMs = 1500;
    agent_.Always(OpGetFileAttributesEx,
                  fake::Reply(OpGetFileAttributesEx,
                              Payload().u32(0).u32(kFolder).filetime(1, 2).filetime(3, 4).filetime(5, 6).u32(0).u32(0)));
    agent_.On(OpFindFirst, [](const fake::Request &, fake::Session &) {
        Bytes first = fake::Header(2, OpFindFirst, 1);
        for (const char *name : {"a", "b"}) {
            const Bytes chunk = fake::Chunk(fake::FindRecord(Named(name, 0x20)));
            first.insert(first.end(), chunk.begin(), chunk.end());
        }
        Bytes rest = fake::Chunk(fake::FindRecord(Named("c", 0x20)));
        const Bytes end = fake::EndChunk();
        rest.insert(rest.end(), end.begin(), end.end());
        return fake::Send(first).ThenSend(rest, kPauseMs);
    });
    struct Arrivals {
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
        std::vector<long> filesAtMs;
        static DWORD AGENTAPI Note(const AGENT_TREE_ENTRY *entry, void *context)
        {
            auto *self = static_cast<Arrivals *>(context);
            if (entry->kind == AGENT_TREE_FILE)
                self->filesAtMs.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                std::chrono::steady_clock::now() - self->start)
                                                                .count()));
            return AGENT_TREE_CONTINUE;
        }
    } arrivals;
    const WString root = W(u"C:\\root");
    tree::Walk walk;
    walk.logon = logon_;
    walk.root = root.c_str();
    walk.callback = &Arrivals::Note;
    walk.context = &arrivals;
    AGENT_TREE_COUNTS counts;
    ASSERT_EQ(tree::ListTree(walk, &counts), 1);
    ASSERT_EQ(arrivals.filesAtMs.size(), 3u);
    // Well before the pause ends, however slow the machine.
    EXPECT_LT(arrivals.filesAtMs[1], kPauseMs * 2 / 3);
    EXPECT_GE(arrivals.filesAtMs[2], kPauseMs * 2 / 3);
}
