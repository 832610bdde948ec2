// What the library's copies do to the local file system when another local
// user can write to the destination (planted links, hard links and foreign
// partial files), partial names at the file-name limit, and the order of
// flushes and rename that makes a copy durable before it takes its name.
// POSIX only: links, file owners and the interposed fsync are POSIX's.
#ifndef _WIN32
#include "agent_test.h"
#include "copy_progress.h"
#include "file_messages.h"
#include "local_files.h"
#include "remote_files.h"
#include "test_names.h"

#include "copy/copy_file_ex.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

// ---- every fsync and rename of this process, in order ------------------

namespace {

std::mutex eventsLock;
std::vector<std::string> events;
bool recording = false;

void Note(const char *what)
{
    std::lock_guard<std::mutex> lock(eventsLock);
    if (recording)
        events.push_back(what);
}

// The flushes and renames made while `run` runs.
std::vector<std::string> Recorded(const std::function<void()> &run)
{
    {
        std::lock_guard<std::mutex> lock(eventsLock);
        events.clear();
        recording = true;
    }
    run();
    std::lock_guard<std::mutex> lock(eventsLock);
    recording = false;
    return events;
}

template <typename F> F Next(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

} // namespace

// A folder flush this slow lets every concurrent caller arrive while one runs.
static std::atomic<int> folderFlushMs{0};

extern "C" int fsync(int fd)
{
    struct stat st;
    const bool folder = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    Note(folder ? "flush folder" : "flush file");
    if (folder && folderFlushMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(folderFlushMs.load()));
    static auto real = Next<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int renameat(int from, const char *a, int to, const char *b)
{
    Note("rename");
    static auto real = Next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(from, a, to, b);
}

extern "C" int renameat2(int from, const char *a, int to, const char *b, unsigned flags)
{
    Note("rename");
    static auto real = Next<int (*)(int, const char *, int, const char *, unsigned)>("renameat2");
    return real(from, a, to, b, flags);
}

namespace {

const WString kRemote = W(u"C:\\Mail\\out.bin");
constexpr size_t kSize = 10000;

class LocalWrites : public fake::AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        content_ = fake::Pattern(kSize, 3);
        auto files = std::make_shared<fake::RemoteFiles>();
        (*files)[kRemote] = {content_, 0, 0};
        fake::ServeFiles(agent_, files);
        agent_.Always(OpGetFirefox3BookmarkPath,
                      fake::Reply(OpGetFirefox3BookmarkPath, Payload().u32(0).wstr(kRemote)));
        agent_.Always(OpGetPstList, fake::Reply(OpGetPstList, Payload().u32(0).u32(1).wstr(kRemote).wstr(W(u"x"))));
        ASSERT_TRUE(std::filesystem::create_directory(dir_.Native(u"dest")));
    }
    // The file system's path of a name below the test folder.
    std::string N(const WString &name) const { return dir_.Native(name.c_str()).u8string(); }

    // A victim outside the destination whose bytes would also pass for a
    // partial file of this very remote version, half copied with wrong
    // bytes: a restart that reopened it would finish it into the final name.
    void PlantVictim(const std::string &path)
    {
        HANDLE file = CreateFileW(fake::Utf16(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const Bytes wrong(kSize / 2, 'Z');
        ASSERT_EQ(platform::WriteFileAt(file, wrong.data(), static_cast<DWORD>(wrong.size()), 0), 0);
        copy_ex::RemoteVersion version;
        version.size = kSize;
        ASSERT_EQ(copy_ex::WriteRestartRecord(file, version, wrong.size()), 0);
        CloseHandle(file);
    }

    fake::TempDirectory dir_;
    Bytes content_;
};

} // namespace

TEST_F(LocalWrites, NothingPlantedInTheDestinationIsWrittenThrough)
{
    const std::string victim = N(u"outside/victim"), target = N(u"dest/out.bin");
    const WString partialName = copy_ex::PartialName(W(u"out.bin").c_str());
    const std::string partial = N(u"dest/" + partialName);
    const struct {
        const char *name;
        std::function<BOOL(const std::string &folder)> copy;
    } kinds[] = {
        {"ExW", [&](const std::string &f) { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), fake::Utf16(f + "/out.bin").c_str(), nullptr, nullptr, nullptr, 0); }},
        {"ExW restartable", [&](const std::string &f) { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), fake::Utf16(f + "/out.bin").c_str(), nullptr, nullptr, nullptr, COPY_FILE_RESTARTABLE); }},
        {"CopyFileFromAgent", [&](const std::string &f) { return AgentCopyFileFromAgent(logon_, kRemote.c_str(), fake::Utf16(f + "/out.bin").c_str()); }},
        {"Firefox3Bookmark", [&](const std::string &f) { return AgentGetFirefox3Bookmark(logon_, fake::Utf16(f + "/out.bin").c_str()); }},
        {"Pst2Local", [&](const std::string &f) { return AgentGetPst2Local(logon_, fake::Utf16(f).c_str()); }},
    };
    const struct {
        const char *name;
        std::function<int()> plant;
        bool linkedFolder; // a host's own path is followed as the host named it: Pst2Local only
    } plants[] = {
        {"link at the partial name", [&] { return symlink(victim.c_str(), partial.c_str()); }, false},
        {"link at the final name", [&] { return symlink(victim.c_str(), target.c_str()); }, false},
        {"hard link at the partial name", [&] { return link(victim.c_str(), partial.c_str()); }, false},
        {"partial file of another user", [&] { PlantVictim(partial); return chown(partial.c_str(), 65534, 65534); }, false},
        {"target folder is a link", [&] { return symlink(N(u"outside").c_str(), N(u"linked").c_str()); }, true},
    };
    for (const auto &kind : kinds) {
        for (const auto &plant : plants) {
            SCOPED_TRACE(std::string(kind.name) + ", " + plant.name);
            if (plant.linkedFolder && kind.name != std::string("Pst2Local"))
                continue;
            if (plant.name == std::string("partial file of another user") && geteuid() != 0)
                continue; // needs a file of another owner
            for (const char16_t *folder : {u"dest", u"outside", u"linked"})
                std::filesystem::remove_all(dir_.Native(folder));
            std::filesystem::create_directory(dir_.Native(u"dest"));
            std::filesystem::create_directory(dir_.Native(u"outside"));
            PlantVictim(victim);
            const Bytes precious = dir_.Read(u"outside/victim");
            // A name a remote listing may hold, beside the copy's target.
            std::filesystem::copy_file(victim, N(u"dest/out.bin.agent-partial"));
            ASSERT_EQ(plant.plant(), 0);

            const BOOL result = kind.copy(N(plant.linkedFolder ? u"linked" : u"dest"));
            EXPECT_EQ(dir_.Read(u"outside/victim"), precious) << "the victim outside was written";
            EXPECT_EQ(fake::NamesIn(dir_.Native(u"outside")), std::vector<std::string>{"victim"});
            EXPECT_EQ(dir_.Read(u"dest/out.bin.agent-partial"), precious);
            if (plant.linkedFolder) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(GetLastError(), DWORD(ERROR_CANT_RESOLVE_FILENAME));
                continue;
            }
            EXPECT_EQ(result, 1) << GetLastError();
            struct stat st;
            ASSERT_EQ(lstat(target.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
            EXPECT_EQ(dir_.Read(u"dest/out.bin"), content_) << "the final name holds other bytes";
            EXPECT_EQ(fake::NamesIn(dir_.Native(u"dest")), (std::vector<std::string>{"out.bin", "out.bin.agent-partial"}));
        }
    }
}

// Partial names stay within the 255-byte limit for every final name that
// fits it, never cut a character in two, are the same for the same name
// and differ for names that differ only past the cut; on POSIX they hold a
// ':' that no remote (Windows) name can have.
TEST(PartialNames, FitTheNameLimitAndCannotBeARemoteName)
{
    auto repeat = [](const WString &unit, size_t n) {
        WString out;
        while (n-- > 0)
            out += unit;
        return out;
    };
    const WString a = W(u"a"), pair = W(u"\U0001F600");
    const WString names[] = {
        W(u"out.bin"),
        repeat(a, 240),                    // kept whole
        repeat(a, 241),                    // cut
        repeat(a, 255),
        repeat(W(u"\u65e5"), 85),          // three-byte characters
        repeat(pair, 63) + W(u"abc"),      // four-byte pairs, then 3 bytes
        W(u"xyz") + repeat(pair, 63),      // pairs after 3 bytes: the cut's budget ends inside a pair
        repeat(a, 254) + W(u"b"),          // alike up to the last character
    };
    std::vector<WString> seen;
    for (const WString &name : names) {
        SCOPED_TRACE(name.size());
        const WString partial = copy_ex::PartialName(name.c_str());
        EXPECT_EQ(partial, copy_ex::PartialName(name.c_str()));
        EXPECT_LE(platform::LocalNameUnits(partial.data(), partial.size()), platform::kMaxLocalNameUnits);
        EXPECT_EQ(partial.rfind(W(u".agent-partial"), 0), 0u);
        EXPECT_NE(partial.find(u':'), WString::npos);
        EXPECT_EQ(partial.find(u'/'), WString::npos);
        auto high = [&](size_t i) { return i < partial.size() && partial[i] >= 0xD800 && partial[i] < 0xDC00; };
        auto low = [&](size_t i) { return i < partial.size() && partial[i] >= 0xDC00 && partial[i] < 0xE000; };
        for (size_t i = 0; i <= partial.size(); ++i)
            EXPECT_EQ(i > 0 && high(i - 1), low(i)) << "half a pair at " << i;
        if (platform::LocalNameUnits(name.data(), name.size()) <= 240) {
            EXPECT_EQ(partial, W(u".agent-partial:") + name);
        }
        seen.push_back(partial);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

// A final name of 242 to 255 bytes is copied, and a stopped copy of one
// is continued, not started over; a longer one is refused unread.
TEST_F(LocalWrites, FinalNamesUpToTheLimitAreCopiedAndRestarted)
{
    for (size_t length : {242u, 255u, 256u}) {
        SCOPED_TRACE(length);
        const WString name = u"dest/" + WString(length, u'n'), local = fake::Utf16(N(name));
        agent_.ClearRecords();
        fake::CopyProgress stop(1, PROGRESS_STOP);
        EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(), &fake::CopyProgress::Call, &stop,
                                            nullptr, COPY_FILE_RESTARTABLE),
                  0);
        if (length > 255) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
            EXPECT_EQ(agent_.CountOf(OpReadFileAt), 0u);
            continue;
        }
        EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
        agent_.ClearRecords();
        ASSERT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(), nullptr, nullptr, nullptr,
                                            COPY_FILE_RESTARTABLE),
                  1)
            << GetLastError();
        const auto reads = agent_.RequestsOf(OpReadFileAt);
        ASSERT_EQ(reads.size(), 1u);
        EXPECT_EQ(fake::ReadAtOf(reads[0]).offset, kSize) << "restart read the file again";
        EXPECT_EQ(dir_.Read(name.c_str()), content_);
    }
}

// The data and time reach the disk before the rename, the folder's entry
// after it; AGENT_COPY_FILE_NO_FLUSH skips both and nothing else. A caller
// copying a batch into one folder flushes the folder once.
TEST_F(LocalWrites, CopiesFlushTheFileBeforeTheRenameAndTheFolderAfter)
{
    const std::vector<std::string> durable = {"flush file", "rename", "flush folder"};
    const struct {
        const char16_t *name;
        DWORD flags; // ~0u: AgentCopyFileFromAgent
        std::vector<std::string> expected;
    } cases[] = {
        {u"dest/ExW", 0, durable},
        {u"dest/ExW fail if exists", COPY_FILE_FAIL_IF_EXISTS, durable},
        {u"dest/ExW no flush", AGENT_COPY_FILE_NO_FLUSH | COPY_FILE_RESTARTABLE, {"rename"}},
        {u"dest/CopyFileFromAgent", ~0u, durable},
    };
    for (const auto &c : cases) {
        const WString local = fake::Utf16(N(c.name));
        BOOL result = 0;
        EXPECT_EQ(Recorded([&] {
                      result = c.flags == ~0u ? AgentCopyFileFromAgent(logon_, kRemote.c_str(), local.c_str())
                                              : AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(),
                                                                          nullptr, nullptr, nullptr, c.flags);
                  }),
                  c.expected)
            << N(c.name);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(dir_.Read(c.name), content_);
    }
    platform::LocalFolder folder;
    ASSERT_EQ(folder.Open(fake::Utf16(N(u"dest")).c_str(), false), 0);
    copy_ex::RemoteVersion version;
    version.size = 3;
    EXPECT_EQ(Recorded([&] {
                  for (const char16_t *name : {u"batch1", u"batch2"}) {
                      copy_ex::PartialFile partial(folder, name, 0);
                      ASSERT_EQ(partial.Open(version), 0);
                      ASSERT_EQ(platform::WriteFileAt(partial.handle(), "abc", 3, 0), 0);
                      ASSERT_EQ(partial.Finish(version, copy_ex::PartialFile::FolderFlush::ByCaller), 0);
                  }
                  EXPECT_EQ(platform::FlushLocalFolder(folder), 0);
              }),
              (std::vector<std::string>{"flush file", "rename", "flush file", "rename", "flush folder"}));
    EXPECT_EQ(dir_.Read(u"dest/batch2"), (Bytes{'a', 'b', 'c'}));
}

// Copies finishing in one folder at once share its flushes: callers that
// arrive while one runs are all covered by the next, and every one returns.
TEST_F(LocalWrites, ConcurrentFolderFlushesAreSharedAndAllComplete)
{
    constexpr int kThreads = 8;
    std::vector<platform::LocalFolder> folders(kThreads);
    for (platform::LocalFolder &folder : folders)
        ASSERT_EQ(folder.Open(fake::Utf16(N(u"dest")).c_str(), false), 0);
    std::atomic<int> ready{0}, failed{0};
    folderFlushMs = 200;
    const std::vector<std::string> flushes = Recorded([&] {
        std::vector<std::thread> threads;
        for (platform::LocalFolder &folder : folders)
            threads.emplace_back([&] {
                for (++ready; ready < kThreads;)
                    std::this_thread::yield();
                failed += platform::FlushLocalFolder(folder) != 0;
            });
        for (std::thread &t : threads)
            t.join();
    });
    folderFlushMs = 0;
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(std::count(flushes.begin(), flushes.end(), "flush folder"), long(flushes.size()));
    // One flush, then one for all that waited (a third for a thread the
    // scheduler held back); one each would be kThreads.
    EXPECT_GE(flushes.size(), 1u);
    EXPECT_LE(flushes.size(), 3u);
}

#endif // !_WIN32
