// AgentListTreeW against hostile listings from the fake agent: an endless
// folder, one that never stops having subfolders, an endlessly deep tree
// and a wide one. Whatever the agent sends, the walk holds a bounded number
// of folders and entries (counted by the walk itself), cuts what lies past
// its bounds and counts every cut; directory links are left out unless
// asked for, and a link back to the root is a loop.
#include "agent_test.h"
#include "entries.h"

#include "copy/tree_walk.h"
#include "protocol/opcodes.h"

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>

using fake::Bytes;
using fake::FindEntry;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

constexpr uint32_t kFolder = 0x10, kLink = 0x400;

WString PathIn(const Bytes &payload, size_t at)
{
    const uint32_t bytes = payload[at] | payload[at + 1] << 8 | payload[at + 2] << 16 | uint32_t(payload[at + 3]) << 24;
    WString out;
    for (size_t i = 0; i + 1 < bytes && at + 4 + i + 1 < payload.size(); i += 2)
        out.push_back(static_cast<WCHAR>(payload[at + 4 + i] | payload[at + 4 + i + 1] << 8));
    while (!out.empty() && out.back() == 0)
        out.pop_back();
    return out;
}

// Levels below C:\root.
size_t Depth(const WString &folder) { return std::count(folder.begin(), folder.end(), u'\\') - 1; }

FindEntry Named(const std::string &name, uint32_t attributes)
{
    FindEntry e;
    e.attributes = attributes;
    e.sizeLow = 10;
    e.name = fake::Utf16(name);
    return e;
}

using Tree = std::function<std::vector<FindEntry>(const WString &folder)>;

void ServeTree(fake::FakeAgent &agent, Tree tree)
{
    agent.Always(OpGetFileAttributesEx,
                 fake::Reply(OpGetFileAttributesEx,
                             Payload().u32(0).u32(kFolder).filetime(1, 2).filetime(3, 4).filetime(5, 6).u32(0).u32(0)));
    agent.On(OpFindFirst, [tree](const fake::Request &r, fake::Session &) {
        WString folder = PathIn(r.payload, 0);
        folder.resize(folder.size() - 2); // "\*"
        // As the reference agent lists a folder below a root.
        std::vector<Payload> records{fake::FindRecord(Named(".", kFolder)), fake::FindRecord(Named("..", kFolder))};
        for (const FindEntry &e : tree(folder))
            records.push_back(fake::FindRecord(e));
        return fake::Send(fake::SearchStream(OpFindFirst, records));
    });
}

struct Seen {
    AGENT_TREE_COUNTS counts = {};
    uint64_t calls = 0;
    uint64_t ends = 0;      // AGENT_TREE_FOLDER_END entries
    uint64_t stopAfter = 0; // 0: never
    static DWORD AGENTAPI Note(const AGENT_TREE_ENTRY *entry, void *context)
    {
        auto *self = static_cast<Seen *>(context);
        EXPECT_NE(entry->path, nullptr);
        self->ends += entry->kind == AGENT_TREE_FOLDER_END;
        return ++self->calls == self->stopAfter ? AGENT_TREE_STOP : AGENT_TREE_CONTINUE;
    }
};

struct Hostile {
    const char *name;
    Tree tree;
    unsigned maxDepth;
    size_t maxQueued;
    uint64_t stopAfter;
    BOOL result;
    size_t heldAtMost;
    // Checks on the totals.
    std::function<void(const AGENT_TREE_COUNTS &)> check;
};

class TreeListingTest : public fake::AgentTest {};

} // namespace

TEST_F(TreeListingTest, HostileListingsStayBounded)
{
    const size_t waiting = tree::kWaitingEntries;
    const Hostile rows[] = {
        {"endless folder of files",
         [](const WString &) {
             std::vector<FindEntry> out;
             for (int i = 0; i < 60000; ++i)
                 out.push_back(Named("f" + std::to_string(i), 0x20));
             return out;
         },
         0, 0, 50000, 0, waiting + 1,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_GE(c.files, 49000u);
             EXPECT_LT(c.files, 50000u);
         }},
        {"endless folder of folders",
         [](const WString &folder) {
             std::vector<FindEntry> out;
             if (Depth(folder) == 0)
                 for (int i = 0; i < 20000; ++i)
                     out.push_back(Named("d" + std::to_string(i), kFolder));
             return out;
         },
         0, 500, 0, 1, 500 + waiting + 1,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_GT(c.skipped[AGENT_SKIP_TOO_MANY], 0u);
             EXPECT_EQ(c.folders + c.skipped[AGENT_SKIP_TOO_MANY], 20001u); // each one listed or cut
         }},
        {"endlessly deep",
         [](const WString &) { return std::vector<FindEntry>{Named("d", kFolder), Named("f", 0x20)}; },
         40, 0, 0, 1, waiting + 2,
         [](const AGENT_TREE_COUNTS &c) {
             EXPECT_EQ(c.folders, 41u);
             EXPECT_EQ(c.files, 41u);
             EXPECT_EQ(c.skipped[AGENT_SKIP_TOO_DEEP], 1u);
         }},
        {"wide",
         [](const WString &folder) {
             std::vector<FindEntry> out;
             for (int i = 0; i < 32; ++i)
                 out.push_back(Named("d" + std::to_string(i), kFolder));
             out.push_back(Named("l", kFolder | kLink));
             (void)folder;
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
    for (const Hostile &row : rows) {
        SCOPED_TRACE(row.name);
        ServeTree(agent_, row.tree);
        Seen seen;
        seen.stopAfter = row.stopAfter;
        tree::Walk walk;
        walk.logon = logon_;
        const WString root = W(u"C:\\root");
        walk.root = root.c_str();
        if (row.maxDepth != 0)
            walk.maxDepth = row.maxDepth;
        if (row.maxQueued != 0)
            walk.maxQueued = row.maxQueued;
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
// opening each folder (volume serial and file index by path).
TEST_F(TreeListingTest, LinksAreSkippedOrFollowedAndLoopsFound)
{
    // C:\root: sub (folder), back (link to root), out (link the agent refuses), a file.
    ServeTree(agent_, [](const WString &folder) {
        if (folder == W(u"C:\\root"))
            return std::vector<FindEntry>{Named("sub", kFolder), Named("back", kFolder | kLink),
                                          Named("out", kFolder | kLink), Named("a", 0x20)};
        if (folder == W(u"C:\\root\\sub"))
            return std::vector<FindEntry>{Named("b", 0x20)};
        return std::vector<FindEntry>{};
    });
    auto opened = std::make_shared<std::map<int, WString>>();
    auto lock = std::make_shared<std::mutex>();
    agent_.On(OpCreateFile, [opened, lock](const fake::Request &r, fake::Session &s) {
        const WString path = PathIn(r.payload, 16);
        if (path == W(u"C:\\root\\out"))
            return fake::Send(fake::StatusReply(OpCreateFile, 5));
        std::lock_guard<std::mutex> g(*lock);
        (*opened)[s.id] = path;
        return fake::Send(fake::StatusReply(OpCreateFile, 0));
    });
    agent_.On(OpGetFileInformation, [opened, lock](const fake::Request &, fake::Session &s) {
        std::lock_guard<std::mutex> g(*lock);
        const WString path = (*opened)[s.id];
        // "back" is the root itself.
        const uint32_t index = path == W(u"C:\\root\\sub") ? 2 : 1;
        Payload p;
        p.u32(0).u32(kFolder).filetime(1, 0).filetime(2, 0).filetime(3, 0);
        p.u32(7).u32(0).u32(0).u32(1).u32(0).u32(index);
        return fake::Send(fake::Reply(OpGetFileInformation, p));
    });
    agent_.On(OpCloseHandle, [](const fake::Request &, fake::Session &) {
        return fake::Send(fake::StatusReply(OpCloseHandle, 0));
    });

    const struct {
        DWORD flags;
        uint64_t folders, files, directoryLinks, loops, leadsOut;
    } cases[] = {
        {0, 2, 2, 2, 0, 0},
        {AGENT_TREE_FOLLOW_LINKS, 2, 2, 0, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        Seen seen;
        AGENT_TREE_COUNTS counts;
        ASSERT_EQ(AgentListTreeW(logon_, AGENT_TEXT("C:\\root"), c.flags, 0, 0, 0, &Seen::Note, &seen, &counts), 1)
            << GetLastError();
        EXPECT_EQ(counts.folders, c.folders);
        EXPECT_EQ(counts.files, c.files);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_DIRECTORY_LINK], c.directoryLinks);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_LOOP], c.loops);
        EXPECT_EQ(counts.skipped[AGENT_SKIP_LINK_LEADS_OUT], c.leadsOut);
        EXPECT_EQ(counts.failures, 0u);
        EXPECT_EQ(seen.ends, c.folders); // every listed folder ends once
    }
    EXPECT_EQ(AgentListTreeW(logon_, AGENT_TEXT("C:\\root"), 0x80, 0, 0, 0, &Seen::Note, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// A folder below the root comes with what its parent's listing said of it
// (a backup's manifest keeps its attributes and times); the root has none.
TEST_F(TreeListingTest, FoldersCarryTheirParentsFindData)
{
    auto stamped = [](const std::string &name, uint32_t attributes, uint32_t seed) {
        FindEntry e = Named(name, attributes);
        e.created[0] = seed + 1;
        e.accessed[0] = seed + 2;
        e.written[0] = seed + 3;
        return e;
    };
    const FindEntry sub = stamped("sub", kFolder | 0x2, 100), deeper = stamped("deeper", kFolder | 0x1, 200);
    ServeTree(agent_, [&](const WString &folder) {
        if (folder == W(u"C:\\root"))
            return std::vector<FindEntry>{sub, Named("a", 0x20)};
        if (folder == W(u"C:\\root\\sub"))
            return std::vector<FindEntry>{deeper, Named("b", 0x20)};
        return std::vector<FindEntry>{Named("c", 0x20)};
    });
    struct Folders {
        std::map<WString, WIN32_FIND_DATAW> listed;
        std::vector<WString> bare; // folders handed over without find data
        static DWORD AGENTAPI Note(const AGENT_TREE_ENTRY *entry, void *context)
        {
            auto *self = static_cast<Folders *>(context);
            if (entry->kind != AGENT_TREE_FOLDER)
                return AGENT_TREE_CONTINUE;
            if (entry->findData == nullptr)
                self->bare.push_back(entry->path);
            else
                self->listed[entry->path] = *entry->findData;
            return AGENT_TREE_CONTINUE;
        }
    } seen;
    ASSERT_EQ(AgentListTreeW(logon_, AGENT_TEXT("C:\\root"), 0, 0, 0, 0, &Folders::Note, &seen, nullptr), 1) << GetLastError();
    EXPECT_EQ(seen.bare, std::vector<WString>{W(u"C:\\root")});
    const std::pair<WString, const FindEntry *> expected[] = {{W(u"C:\\root\\sub"), &sub},
                                                              {W(u"C:\\root\\sub\\deeper"), &deeper}};
    ASSERT_EQ(seen.listed.size(), 2u);
    for (const auto &[path, want] : expected) {
        SCOPED_TRACE(want == &sub ? "sub" : "deeper");
        ASSERT_EQ(seen.listed.count(path), 1u);
        const WIN32_FIND_DATAW &got = seen.listed[path];
        EXPECT_EQ(got.dwFileAttributes, want->attributes);
        EXPECT_EQ(got.ftCreationTime.dwLowDateTime, want->created[0]);
        EXPECT_EQ(got.ftCreationTime.dwHighDateTime, want->created[1]);
        EXPECT_EQ(got.ftLastAccessTime.dwLowDateTime, want->accessed[0]);
        EXPECT_EQ(got.ftLastWriteTime.dwLowDateTime, want->written[0]);
        EXPECT_EQ(got.ftLastWriteTime.dwHighDateTime, want->written[1]);
        EXPECT_EQ(WString(got.cFileName), want->name);
    }
}
