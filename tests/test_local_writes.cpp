// What the library's copies do to the local file system, tried as another
// local user with write access to the destination would: links and
// hard-linked or foreign files planted at every partial name, final name
// and target folder; partial names at the file-name limit and beside
// remote names; and the order of flushes and rename that makes a copy
// durable before it takes its name.
// POSIX only: links, file owners and the interposed fsync are POSIX's.
#ifndef _WIN32
#include "agent_test.h"
#include "local_files.h"
#include "remote_files.h"

#include "copy/copy_file_ex.h"
#include "protocol/fss_util.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using fake::Bytes;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

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

template <typename F> F Next(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

} // namespace

extern "C" int fsync(int fd)
{
    struct stat st;
    Note(fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "flush folder" : "flush file");
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

std::string Narrow(const WString &w)
{
    std::string out;
    for (WCHAR c : w)
        out.push_back(static_cast<char>(c)); // the tests' names are ASCII
    return out;
}

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
        root_ = Narrow(dir_.Root());
        ASSERT_EQ(mkdir((root_ + "/dest").c_str(), 0777), 0);
        ASSERT_EQ(mkdir((root_ + "/outside").c_str(), 0777), 0);
    }

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

    Bytes Read(const std::string &path) const
    {
        Bytes out;
        FILE *f = fopen(path.c_str(), "rb");
        if (f == nullptr)
            return out;
        int c;
        while ((c = fgetc(f)) != EOF)
            out.push_back(static_cast<uint8_t>(c));
        fclose(f);
        return out;
    }

    std::vector<std::string> Names(const std::string &folder) const
    {
        std::vector<std::string> out;
        for (const auto &e : std::filesystem::directory_iterator(folder))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    fake::TempDirectory dir_;
    std::string root_;
    Bytes content_;
};

enum class Kind { Ex, ExRestartable, Plain, Firefox, Pst };
enum class Plant { LinkAtPartial, LinkAtFinal, HardLinkAtPartial, ForeignPartial, LinkedFolder };

const char *KindName(Kind k)
{
    static const char *const names[] = {"ExW", "ExW restartable", "CopyFileFromAgent", "Firefox3Bookmark",
                                        "Pst2Local"};
    return names[static_cast<int>(k)];
}

const char *PlantName(Plant p)
{
    static const char *const names[] = {"link at the partial name", "link at the final name",
                                        "hard link at the partial name", "partial file of another user",
                                        "target folder is a link"};
    return names[static_cast<int>(p)];
}

} // namespace

TEST_F(LocalWrites, NothingPlantedInTheDestinationIsWrittenThrough)
{
    const std::string partialName = Narrow(copy_ex::PartialName(W(u"out.bin").c_str()));
    for (Kind kind : {Kind::Ex, Kind::ExRestartable, Kind::Plain, Kind::Firefox, Kind::Pst}) {
        for (Plant plant : {Plant::LinkAtPartial, Plant::LinkAtFinal, Plant::HardLinkAtPartial, Plant::ForeignPartial,
                            Plant::LinkedFolder}) {
            SCOPED_TRACE(std::string(KindName(kind)) + ", " + PlantName(plant));
            if (plant == Plant::LinkedFolder && kind != Kind::Pst)
                continue; // a host's own path is followed as the host named it
            if (plant == Plant::ForeignPartial && geteuid() != 0)
                continue; // needs a file of another owner
            std::filesystem::remove_all(root_ + "/dest");
            std::filesystem::remove_all(root_ + "/outside");
            ASSERT_EQ(mkdir((root_ + "/dest").c_str(), 0777), 0);
            ASSERT_EQ(mkdir((root_ + "/outside").c_str(), 0777), 0);
            const std::string victim = root_ + "/outside/victim";
            PlantVictim(victim);
            const Bytes precious = Read(victim);
            // A name a remote listing may hold, beside the copy's target.
            const std::string bystander = root_ + "/dest/out.bin.agent-partial";
            std::filesystem::copy_file(victim, bystander);

            std::string folder = root_ + "/dest";
            const std::string partial = folder + "/" + partialName, target = folder + "/out.bin";
            switch (plant) {
            case Plant::LinkAtPartial: ASSERT_EQ(symlink(victim.c_str(), partial.c_str()), 0); break;
            case Plant::LinkAtFinal: ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0); break;
            case Plant::HardLinkAtPartial: ASSERT_EQ(link(victim.c_str(), partial.c_str()), 0); break;
            case Plant::ForeignPartial:
                PlantVictim(partial);
                ASSERT_EQ(chown(partial.c_str(), 65534, 65534), 0);
                break;
            case Plant::LinkedFolder:
                folder = root_ + "/linked";
                ASSERT_EQ(symlink((root_ + "/outside").c_str(), folder.c_str()), 0);
                break;
            }

            const WString local = fake::Utf16(folder + "/out.bin");
            BOOL result = 0;
            switch (kind) {
            case Kind::Ex:
            case Kind::ExRestartable:
                result = AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(), nullptr, nullptr, nullptr,
                                                   kind == Kind::ExRestartable ? COPY_FILE_RESTARTABLE : 0);
                break;
            case Kind::Plain: result = AgentCopyFileFromAgent(logon_, kRemote.c_str(), local.c_str()); break;
            case Kind::Firefox: result = AgentGetFirefox3Bookmark(logon_, local.c_str()); break;
            case Kind::Pst: result = AgentGetPst2Local(logon_, fake::Utf16(folder).c_str()); break;
            }

            EXPECT_TRUE(Read(victim) == precious) << "the victim outside was written";
            EXPECT_EQ(Names(root_ + "/outside"), std::vector<std::string>{"victim"});
            EXPECT_TRUE(Read(bystander) == precious);
            if (plant == Plant::LinkedFolder) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(GetLastError(), DWORD(ERROR_CANT_RESOLVE_FILENAME));
                continue;
            }
            EXPECT_EQ(result, 1) << GetLastError();
            struct stat st;
            ASSERT_EQ(lstat(target.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_nlink, 1u);
            EXPECT_TRUE(Read(target) == content_) << "the final name holds other bytes";
            EXPECT_EQ(Names(root_ + "/dest"), (std::vector<std::string>{"out.bin", "out.bin.agent-partial"}));
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
        for (size_t i = 0; i < n; ++i)
            out += unit;
        return out;
    };
    const WString ascii = W(u"a"), threeBytes = W(u"\u65e5"), pair = W(u"\U0001F600");
    struct Case {
        const char *what;
        WString name;
    };
    const Case cases[] = {
        {"short", W(u"out.bin")},
        {"240 bytes, kept whole", repeat(ascii, 240)},
        {"241 bytes, cut", repeat(ascii, 241)},
        {"255 bytes", repeat(ascii, 255)},
        {"85 three-byte characters", repeat(threeBytes, 85)},
        {"63 four-byte pairs and 3 bytes", repeat(pair, 63) + W(u"abc")},
        {"pairs after one byte", W(u"x") + repeat(pair, 63)},
    };
    std::vector<WString> seen;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const WString partial = copy_ex::PartialName(c.name.c_str());
        EXPECT_EQ(partial, copy_ex::PartialName(c.name.c_str()));
        EXPECT_LE(platform::LocalNameUnits(partial.data(), partial.size()), platform::kMaxLocalNameUnits);
        EXPECT_EQ(partial.rfind(W(u".agent-partial"), 0), 0u);
        EXPECT_NE(partial.find(u':'), WString::npos);
        EXPECT_EQ(partial.find(u'/'), WString::npos);
        for (size_t i = 0; i < partial.size(); ++i) {
            const bool high = partial[i] >= 0xD800 && partial[i] < 0xDC00;
            const bool low = partial[i] >= 0xDC00 && partial[i] < 0xE000;
            EXPECT_FALSE(low && (i == 0 || !(partial[i - 1] >= 0xD800 && partial[i - 1] < 0xDC00)));
            EXPECT_FALSE(high && (i + 1 == partial.size() || !(partial[i + 1] >= 0xDC00 && partial[i + 1] < 0xE000)));
        }
        if (platform::LocalNameUnits(c.name.data(), c.name.size()) <= 240) {
            EXPECT_EQ(partial, W(u".agent-partial:") + c.name);
        }
        seen.push_back(partial);
    }
    // Two long names alike up to their last character.
    seen.push_back(copy_ex::PartialName((repeat(ascii, 254) + W(u"b")).c_str()));
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

// A final name of 242 to 255 bytes is copied, and a stopped copy of one
// is continued, not started over.
TEST_F(LocalWrites, FinalNamesUpToTheLimitAreCopiedAndRestarted)
{
    for (size_t length : {242u, 250u, 255u, 256u}) {
        SCOPED_TRACE(length);
        const WString name(length, u'n');
        const WString local = fake::Utf16(root_ + "/dest/") + name;
        struct Stop {
            static DWORD AGENTAPI Call(ULONGLONG, ULONGLONG, void *) { return PROGRESS_STOP; }
        };
        agent_.ClearRecords();
        const BOOL stopped = AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(), &Stop::Call, nullptr,
                                                       nullptr, COPY_FILE_RESTARTABLE);
        EXPECT_EQ(stopped, 0);
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
        EXPECT_EQ(reads[0].payload[4] | reads[0].payload[5] << 8, int(kSize)) << "restart read the file again";
        EXPECT_TRUE(Read(Narrow(local)) == content_);
        std::filesystem::remove(Narrow(local));
    }
}

// The data and time reach the disk before the rename, the folder's entry
// after it; AGENT_COPY_FILE_NO_FLUSH skips both and nothing else.
TEST_F(LocalWrites, CopiesFlushTheFileBeforeTheRenameAndTheFolderAfter)
{
    const std::vector<std::string> durable = {"flush file", "rename", "flush folder"};
    struct Case {
        const char *what;
        std::function<BOOL(const WString &)> copy;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"ExW", [&](const WString &l) { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), l.c_str(), nullptr, nullptr, nullptr, 0); }, durable},
        {"ExW fail if exists", [&](const WString &l) { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), l.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS); }, durable},
        {"ExW no flush", [&](const WString &l) { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), l.c_str(), nullptr, nullptr, nullptr, AGENT_COPY_FILE_NO_FLUSH | COPY_FILE_RESTARTABLE); }, {"rename"}},
        {"CopyFileFromAgent", [&](const WString &l) { return AgentCopyFileFromAgent(logon_, kRemote.c_str(), l.c_str()); }, durable},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const WString local = fake::Utf16(root_ + "/dest/" + c.what);
        {
            std::lock_guard<std::mutex> lock(eventsLock);
            events.clear();
            recording = true;
        }
        const BOOL result = c.copy(local);
        std::lock_guard<std::mutex> lock(eventsLock);
        recording = false;
        EXPECT_EQ(result, 1);
        EXPECT_EQ(events, c.expected);
        EXPECT_TRUE(Read(Narrow(local)) == content_);
    }
    // A caller copying a batch into one folder flushes the folder once.
    {
        platform::LocalFolder folder;
        ASSERT_EQ(folder.Open(fake::Utf16(root_ + "/dest").c_str(), false), 0);
        copy_ex::RemoteVersion version;
        version.size = 3;
        std::unique_lock<std::mutex> lock(eventsLock);
        events.clear();
        recording = true;
        lock.unlock();
        for (const char16_t *name : {u"batch1", u"batch2"}) {
            copy_ex::PartialFile partial(folder, name, 0);
            ASSERT_EQ(partial.Open(version), 0);
            ASSERT_EQ(platform::WriteFileAt(partial.handle(), "abc", 3, 0), 0);
            ASSERT_EQ(partial.Finish(version, copy_ex::PartialFile::FolderFlush::ByCaller), 0);
        }
        EXPECT_EQ(platform::FlushLocalFolder(folder), 0);
        lock.lock();
        recording = false;
        EXPECT_EQ(events, (std::vector<std::string>{"flush file", "rename", "flush file", "rename", "flush folder"}));
        EXPECT_TRUE(Read(root_ + "/dest/batch2") == (Bytes{'a', 'b', 'c'}));
    }
    // Flags beside the library's own stay refused.
    EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), fake::Utf16(root_ + "/dest/x").c_str(), nullptr,
                                        nullptr, nullptr, 0x40000000u),
              0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

// Copies finishing in one folder at once share its flushes: every caller
// returns only after a flush that began after it asked, and none is lost.
TEST_F(LocalWrites, ConcurrentFolderFlushesAreSharedAndAllComplete)
{
    constexpr int kThreads = 8;
    std::vector<std::unique_ptr<platform::LocalFolder>> folders;
    for (int i = 0; i < kThreads; ++i) {
        folders.push_back(std::make_unique<platform::LocalFolder>());
        ASSERT_EQ(folders.back()->Open(fake::Utf16(root_ + "/dest").c_str(), false), 0);
    }
    {
        std::lock_guard<std::mutex> lock(eventsLock);
        events.clear();
        recording = true;
    }
    std::atomic<int> ready{0}, failed{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready < kThreads)
                std::this_thread::yield();
            if (platform::FlushLocalFolder(*folders[i]) != 0)
                ++failed;
        });
    for (std::thread &t : threads)
        t.join();
    std::lock_guard<std::mutex> lock(eventsLock);
    recording = false;
    EXPECT_EQ(failed, 0);
    EXPECT_GE(events.size(), 1u);
    EXPECT_LE(events.size(), size_t(kThreads));
    for (const std::string &e : events)
        EXPECT_EQ(e, "flush folder");
}

#endif // !_WIN32
