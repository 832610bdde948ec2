// AgentCopyFileFromAgentExW against a fake agent that serves one file whose
// bytes are a function of their offset, so sizes past 4 GiB cost nothing
// on the agent's side: sizes around the chunk size and the 4 GiB boundary,
// the requests on the wire, files that change under the copy, progress,
// stop, cancel and restart, and agents that go away.
#include "agent_test.h"
#include "file_messages.h"
#include "local_files.h"

#include "copy/copy_file_ex.h"
#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <atomic>
#include <chrono>
#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using fake::Bytes;
using fake::W;
using namespace agent;

namespace {

constexpr uint64_t C = copy_ex::kChunkSize;
constexpr uint64_t G4 = uint64_t(1) << 32;
const fake::WString kRemote = W(u"C:\\data\\big.bin");
// The test folder's helpers take char16_t names on every platform.
const std::u16string kPartial = [] {
    const copy_ex::WideText name = copy_ex::PartialName(W(u"out.bin").c_str());
    return std::u16string(name.begin(), name.end());
}();
// 2001-09-09 01:46:40 UTC
constexpr uint64_t kWriteTicks = (1000000000ull + 11644473600ull) * 10000000ull;

uint8_t ByteAt(uint64_t offset) { return static_cast<uint8_t>((offset * 2654435761u) >> 11 ^ offset >> 32); }


// The served file. `size` is what reads see, `reported` what the
// information reply says; a script may change either between reads.
struct ServedFile {
    std::atomic<uint64_t> size{0};
    std::atomic<uint64_t> reported{0};
    std::atomic<uint64_t> writeTicks{kWriteTicks};
    std::atomic<int> reads{0};
    int shortRead = 0;          // 1-based read that returns half of what is due
    int dropRead = 0;           // 1-based read answered by closing the connection
    int resizeAfter = 0;        // after that many reads the file is resizeTo bytes
    int readDelayMs = 0;
    uint64_t resizeTo = 0;
    uint32_t laterOpenStatus = 0; // refuses every open after the first
    std::atomic<int> opens{0};
};

void Serve(fake::FakeAgent &agent, std::shared_ptr<ServedFile> file)
{
    agent.On(OpCreateFile, [file](const fake::Request &, fake::Session &) {
        const bool later = file->opens++ > 0;
        return fake::Send(fake::StatusReply(OpCreateFile, later ? file->laterOpenStatus : 0));
    });
    agent.On(OpGetFileInformation, [file](const fake::Request &, fake::Session &) {
        const uint64_t size = file->reported, ticks = file->writeTicks;
        BY_HANDLE_FILE_INFORMATION info{};
        info.dwFileAttributes = 0x20;
        info.ftCreationTime = {1, 0};
        info.ftLastAccessTime = {2, 0};
        info.ftLastWriteTime = {uint32_t(ticks), uint32_t(ticks >> 32)};
        info.dwVolumeSerialNumber = 7;
        info.nFileSizeHigh = uint32_t(size >> 32);
        info.nFileSizeLow = uint32_t(size);
        info.nNumberOfLinks = 1;
        info.nFileIndexLow = 9;
        return fake::Send(fake::InformationReply(info));
    });
    agent.On(OpReadFileAt, [file](const fake::Request &r, fake::Session &) {
        const int n = ++file->reads;
        if (n == file->dropRead)
            return fake::CloseNow();
        if (file->resizeAfter > 0 && n > file->resizeAfter)
            file->size = file->resizeTo;
        const agent::protocol::ReadFileAtRequest read = fake::ReadAtOf(r);
        const uint64_t offset = read.offset, size = file->size;
        uint64_t count = offset < size ? std::min<uint64_t>(read.toRead, size - offset) : 0;
        if (n == file->shortRead)
            count /= 2;
        Bytes data;
        for (uint64_t i = 0; i < count; ++i)
            data.push_back(ByteAt(offset + i));
        return fake::Send(fake::DataReply(OpReadFileAt, 0, data)).After(file->readDelayMs);
    });
    agent.On(OpCloseHandle, [](const fake::Request &, fake::Session &) { return fake::Send(fake::StatusReply(OpCloseHandle, 0)); });
}

// Records every progress call and answers from a script.
struct Progress {
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    size_t answerAt = 0; // 1-based call that gets `answer`
    DWORD answer = PROGRESS_CONTINUE;
    BOOL *raise = nullptr; // set to TRUE on call answerAt instead
    static DWORD AGENTAPI Call(ULONGLONG total, ULONGLONG copied, void *context)
    {
        auto *self = static_cast<Progress *>(context);
        self->calls.emplace_back(total, copied);
        if (self->calls.size() != self->answerAt)
            return PROGRESS_CONTINUE;
        if (self->raise != nullptr)
            *self->raise = 1;
        return self->answer;
    }
};

class CopyFileExTest : public fake::AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        file_ = std::make_shared<ServedFile>();
        Serve(agent_, file_);
    }
    void Resize(uint64_t size) { file_->size = file_->reported = size; }
    BOOL Copy(DWORD flags = 0, Progress *progress = nullptr, BOOL *cancel = nullptr)
    {
        return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), dir_.Path(u"out.bin").c_str(),
                                         progress != nullptr ? &Progress::Call : nullptr, progress, cancel, flags);
    }
    std::filesystem::path Local(const char *name) const
    {
        const fake::WString root = dir_.Root();
        return std::filesystem::u8path(std::string(root.begin(), root.end())) / name; // ASCII
    }
    // The local file's bytes [from, to) equal the remote ones.
    ::testing::AssertionResult Holds(const char *name, uint64_t from, uint64_t to) const
    {
        std::ifstream in(Local(name), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        for (uint64_t i = from; i < to; ++i)
            if (in.get() != ByteAt(i))
                return ::testing::AssertionFailure() << name << " differs at " << i;
        return ::testing::AssertionSuccess();
    }
    // Every connection the agent still sees is parked in the pool.
    bool NoConnectionLeaked() { return agent_.WaitUntil([&] { return agent_.Open() == Idle(); }); }
    void WriteTarget(const std::string &text) { std::ofstream(Local("out.bin"), std::ios::binary) << text; }
    std::string Target() const
    {
        std::ifstream in(Local("out.bin"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fake::TempDirectory dir_;
    std::shared_ptr<ServedFile> file_;
};

// Every read on the wire, as (offset, asked), sorted.
std::vector<std::pair<uint64_t, uint32_t>> Reads(const fake::FakeAgent &agent)
{
    std::vector<std::pair<uint64_t, uint32_t>> out;
    for (const fake::Request &r : agent.RequestsOf(OpReadFileAt))
    {
        const agent::protocol::ReadFileAtRequest read = fake::ReadAtOf(r);
        out.emplace_back(read.offset, read.toRead);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST_F(CopyFileExTest, CopiesEverySizeInChunksAtTheirOffsetsWithTheRemoteTime)
{
    for (uint64_t size : {uint64_t(0), uint64_t(1), C - 1, C, C + 1, 2 * C, 5 * C + 17}) {
        SCOPED_TRACE(size);
        Resize(size);
        file_->opens = 0;
        agent_.ClearRecords();
        Progress progress;
        ASSERT_EQ(Copy(0, &progress), 1) << GetLastError();
        EXPECT_EQ(std::filesystem::file_size(Local("out.bin")), size);
        EXPECT_TRUE(Holds("out.bin", 0, size));
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"}); // no partial file left

        // Every chunk read once at its offset, the last asking one byte more.
        const uint64_t chunks = size == 0 ? 1 : (size + C - 1) / C;
        const auto reads = Reads(agent_);
        ASSERT_EQ(reads.size(), chunks);
        for (uint64_t i = 0; i < chunks; ++i) {
            EXPECT_EQ(reads[i].first, i * C);
            EXPECT_EQ(reads[i].second, i + 1 < chunks ? C : size - i * C + 1);
        }
        // The chunk at offset 0, whichever connection's request came first.
        const auto requests = agent_.RequestsOf(OpReadFileAt);
        const auto first = *std::find_if(requests.begin(), requests.end(), [](const fake::Request &r) {
            return fake::ReadAtOf(r).offset == 0;
        });
        EXPECT_EQ(first.raw(), fake::ReadAtRequest(reads.front().second, 0));
        EXPECT_EQ(agent_.RequestsOf(OpGetFileInformation).at(0).raw(), fake::BareRequest(OpGetFileInformation));
        EXPECT_GE(agent_.CountOf(OpCreateFile), 1u);
        EXPECT_LE(agent_.CountOf(OpCreateFile), std::min<uint64_t>(chunks, copy_ex::kConnections));
        EXPECT_EQ(agent_.CountOf(OpCloseHandle), agent_.CountOf(OpCreateFile));

        // One call per chunk, rising, then one more with everything.
        ASSERT_EQ(progress.calls.size(), chunks + 1);
        for (size_t i = 0; i < progress.calls.size(); ++i) {
            EXPECT_EQ(progress.calls[i].first, size);
            if (i > 0) {
                EXPECT_GE(progress.calls[i].second, progress.calls[i - 1].second);
            }
        }
        EXPECT_EQ(progress.calls.back().second, size);

        // The remote last-write time, against a clock that is the file system's own.
        const auto now = std::filesystem::file_time_type::clock::now();
        const auto remote = std::chrono::system_clock::time_point(std::chrono::seconds(1000000000));
        const auto expected = now + std::chrono::duration_cast<std::filesystem::file_time_type::duration>(
                                        remote - std::chrono::system_clock::now());
        EXPECT_LT(std::chrono::abs(std::filesystem::last_write_time(Local("out.bin")) - expected), std::chrono::seconds(5));
        EXPECT_TRUE(NoConnectionLeaked());
    }
}

TEST_F(CopyFileExTest, ChunksAreReadOnSeveralConnectionsEachOpeningTheFileFirst)
{
    Resize(8 * C);
    file_->readDelayMs = 30; // every helper is connected before the chunks run out
    ASSERT_EQ(Copy(), 1) << GetLastError();
    EXPECT_TRUE(Holds("out.bin", 0, 8 * C));
    std::map<int, std::vector<uint32_t>> byConnection;
    for (const fake::Request &r : agent_.Requests())
        if (r.opcode != OpLogon)
            byConnection[r.connection].push_back(r.opcode);
    int reading = 0;
    for (const auto &entry : byConnection) {
        const std::vector<uint32_t> &ops = entry.second;
        if (std::count(ops.begin(), ops.end(), uint32_t(OpReadFileAt)) == 0)
            continue;
        ++reading;
        // open [information] read... close, nothing else on that connection
        EXPECT_EQ(ops.front(), uint32_t(OpCreateFile));
        EXPECT_EQ(ops.back(), uint32_t(OpCloseHandle));
        EXPECT_EQ(std::count(ops.begin(), ops.end(), uint32_t(OpCreateFile)), 1);
    }
    EXPECT_GE(reading, 2);
    EXPECT_TRUE(NoConnectionLeaked());
}

TEST_F(CopyFileExTest, OffsetsCrossTheFourGigabyteBoundaryWhenAPartialFileIsContinued)
{
    // A stopped copy's partial file of 4 GiB - 2 chunks (sparse) is continued.
    for (uint64_t size : {G4 - 1, G4, G4 + 1, G4 + C + 3}) {
        SCOPED_TRACE(size);
        Resize(size);
        agent_.ClearRecords();
        const uint64_t held = G4 - 2 * C;
        {
            HANDLE partial = CreateFileW(dir_.Path(kPartial.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(partial, INVALID_HANDLE_VALUE);
            copy_ex::RemoteVersion version;
            version.size = size;
            version.lastWrite = {uint32_t(kWriteTicks), uint32_t(kWriteTicks >> 32)};
            ASSERT_EQ(copy_ex::WriteRestartRecord(partial, version, held), 0);
            CloseHandle(partial);
        }
        ASSERT_EQ(Copy(COPY_FILE_RESTARTABLE), 1) << GetLastError();
        const auto reads = Reads(agent_);
        ASSERT_EQ(reads.size(), (size - held + C - 1) / C);
        for (size_t i = 0; i < reads.size(); ++i)
            EXPECT_EQ(reads[i].first, held + i * C);
        // The chunk at 4 GiB carries the offset as low 0, high 1.
        if (size > G4) {
            const uint32_t ask = size - G4 <= C ? uint32_t(size - G4 + 1) : uint32_t(C);
            const Bytes wanted = fake::ReadAtRequest(ask, 0x100000000ull);
            bool seen = false;
            for (const fake::Request &r : agent_.RequestsOf(OpReadFileAt))
                seen = seen || r.raw() == wanted;
            EXPECT_TRUE(seen);
        }
        EXPECT_EQ(std::filesystem::file_size(Local("out.bin")), size);
        EXPECT_TRUE(Holds("out.bin", held, size));
        std::filesystem::remove(Local("out.bin"));
    }
}

TEST_F(CopyFileExTest, AFileThatChangesUnderTheCopyOrReadsShortFailsAndLeavesTheTargetAlone)
{
    struct Case {
        const char *name;
        int shortRead, resizeAfter;
        uint64_t resizeTo;
    };
    const uint64_t size = 6 * C + 5;
    for (const Case &c : {Case{"short read in the middle", 2, 0, 0}, Case{"grows", 0, 1, size + 10},
                          Case{"shrinks", 0, 1, 2 * C + 1}, Case{"grows by one byte at the end", 0, 1, size + 1}}) {
        SCOPED_TRACE(c.name);
        Resize(size);
        file_->reads = 0;
        file_->shortRead = c.shortRead;
        file_->resizeAfter = c.resizeAfter;
        file_->resizeTo = c.resizeTo;
        WriteTarget("old");
        LastAgentError = 0;
        EXPECT_EQ(Copy(), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_INVALID));
        EXPECT_EQ(AgentGetLastError(), DWORD(ERROR_FILE_INVALID));
        EXPECT_EQ(Target(), "old");
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"});
        EXPECT_TRUE(NoConnectionLeaked());
    }
}

TEST_F(CopyFileExTest, StopKeepsThePartialFileAndARestartContinuesOnlyTheSameRemoteVersion)
{
    struct Case {
        const char *name;
        uint64_t size;    // at the restart
        uint64_t ticks;   // at the restart
        bool continues;
    };
    const uint64_t size = 8 * C + 3;
    for (const Case &c : {Case{"unchanged", size, kWriteTicks, true}, Case{"written since", size, kWriteTicks + 1, false},
                          Case{"other size", size + 1, kWriteTicks, false}}) {
        SCOPED_TRACE(c.name);
        Resize(size);
        file_->writeTicks = kWriteTicks;
        WriteTarget("old");
        Progress stop;
        stop.answerAt = 3;
        stop.answer = PROGRESS_STOP;
        EXPECT_EQ(Copy(0, &stop), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
        EXPECT_EQ(stop.calls.size(), 3u); // none after the stop
        EXPECT_EQ(Target(), "old");
        ASSERT_TRUE(dir_.Exists(kPartial.c_str()));

        Resize(c.size);
        file_->writeTicks = c.ticks;
        agent_.ClearRecords();
        Progress resumed;
        ASSERT_EQ(Copy(COPY_FILE_RESTARTABLE, &resumed), 1) << GetLastError();
        EXPECT_TRUE(Holds("out.bin", 0, c.size));
        EXPECT_EQ(std::filesystem::file_size(Local("out.bin")), c.size);
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"});
        // A continued copy reads nothing the partial file held and says so first.
        const uint64_t firstRead = Reads(agent_).front().first;
        EXPECT_EQ(firstRead > 0, c.continues);
        EXPECT_GE(firstRead, c.continues ? 3 * C : 0);
        EXPECT_EQ(resumed.calls.front().second > C, c.continues);
    }
}

TEST_F(CopyFileExTest, CancelAndTheCancelFlagRemoveThePartialFile)
{
    Resize(32 * C);
    BOOL flag = 0;
    struct Case {
        const char *name;
        DWORD answer;
        BOOL *raise;
        DWORD flags;
    };
    for (const Case &c : {Case{"PROGRESS_CANCEL", PROGRESS_CANCEL, nullptr, 0},
                          Case{"*cancel", PROGRESS_CONTINUE, &flag, 0},
                          Case{"PROGRESS_CANCEL of a restartable copy", PROGRESS_CANCEL, nullptr, COPY_FILE_RESTARTABLE}}) {
        SCOPED_TRACE(c.name);
        flag = 0;
        WriteTarget("old");
        Progress progress;
        progress.answerAt = 2;
        progress.answer = c.answer;
        progress.raise = c.raise;
        EXPECT_EQ(Copy(c.flags, &progress, &flag), 0);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
        EXPECT_EQ(AgentGetLastError(), DWORD(ERROR_REQUEST_ABORTED));
        EXPECT_LT(agent_.CountOf(OpReadFileAt), 32u);
        EXPECT_EQ(Target(), "old");
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"});
        EXPECT_TRUE(NoConnectionLeaked());
        agent_.ClearRecords();
    }
    // Raised before the call: nothing is sent at all.
    flag = 1;
    EXPECT_EQ(Copy(0, nullptr, &flag), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_TRUE(agent_.Requests().empty());
}

TEST_F(CopyFileExTest, FailIfExistsRefusesAnExistingTargetBeforeAnyRequest)
{
    Resize(3 * C);
    WriteTarget("old");
    EXPECT_EQ(Copy(COPY_FILE_FAIL_IF_EXISTS), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_EQ(Target(), "old");
    std::filesystem::remove(Local("out.bin"));
    EXPECT_EQ(Copy(COPY_FILE_FAIL_IF_EXISTS), 1) << GetLastError();
    EXPECT_TRUE(Holds("out.bin", 0, 3 * C));
}

TEST_F(CopyFileExTest, AnAgentDroppedMidCopyLeavesTheTargetAloneAndARestartableCopyContinues)
{
    for (DWORD flags : {DWORD(0), DWORD(COPY_FILE_RESTARTABLE)}) {
        SCOPED_TRACE(flags);
        Resize(12 * C + 9);
        file_->reads = 0;
        file_->dropRead = 6;
        WriteTarget("old");
        EXPECT_EQ(Copy(flags), 0);
        EXPECT_EQ(GetLastError(), DWORD(WSAECONNRESET));
        EXPECT_EQ(Target(), "old");
        EXPECT_TRUE(NoConnectionLeaked()); // the broken connection destroyed, the others pooled
        EXPECT_EQ(dir_.Exists(kPartial.c_str()), flags != 0);
        if (flags == 0)
            continue;
        file_->dropRead = 0;
        agent_.ClearRecords();
        ASSERT_EQ(Copy(flags), 1) << GetLastError();
        EXPECT_TRUE(Holds("out.bin", 0, 12 * C + 9));
        EXPECT_LT(agent_.CountOf(OpReadFileAt), 13u); // the chunks the partial held are not read again
    }
}

TEST_F(CopyFileExTest, FurtherConnectionsRefusedLeaveTheCopyToTheFirstAndNoFailureBehind)
{
    Resize(4 * C);
    file_->laterOpenStatus = 71;
    LastAgentError = 0;
    ASSERT_EQ(Copy(), 1) << GetLastError();
    EXPECT_TRUE(Holds("out.bin", 0, 4 * C));
    EXPECT_EQ(AgentGetLastError(), 0u);
    EXPECT_TRUE(NoConnectionLeaked());
}

TEST_F(CopyFileExTest, ArgumentsAreCheckedBeforeAnythingIsTouched)
{
    const fake::WString local = dir_.Path(u"out.bin"), empty;
    LastAgentError = 5;
    EXPECT_EQ(AgentCopyFileFromAgentExW(nullptr, kRemote.c_str(), local.c_str(), nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, empty.c_str(), local.c_str(), nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), nullptr, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), local.c_str(), nullptr, nullptr, nullptr, 0x4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 5u);
    EXPECT_TRUE(agent_.Requests().empty());
    EXPECT_TRUE(dir_.Files().empty());
}

// The logon's limit paces the chunks of every connection together: 3 MiB at
// 1 MiB/s is one chunk at once, then two seconds more, whatever the number
// of helpers (a lower bound only: a slow machine may take longer). A cancel
// raised while a chunk waits ends the copy without waiting it out.
TEST_F(CopyFileExTest, ABandwidthLimitPacesEveryConnectionAndACancelEndsTheWait)
{
    Resize(3 * C);
    ASSERT_EQ(AgentSetBandwidthLimit(logon_, 1u << 20), 1);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Copy(), 1) << GetLastError();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_TRUE(Holds("out.bin", 0, 3 * C));
    EXPECT_EQ(Reads(agent_).size(), 3u);
    EXPECT_TRUE(NoConnectionLeaked());

    // 64 KiB/s: the second chunk would wait 15 s.
    ASSERT_EQ(AgentSetBandwidthLimit(logon_, 64u << 10), 1);
    BOOL cancel = 0;
    std::thread raiser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        __atomic_store_n(&cancel, 1, __ATOMIC_RELEASE);
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), dir_.Path(u"slow.bin").c_str(), nullptr, nullptr,
                                        &cancel, 0),
              0);
    const DWORD cause = GetLastError(); // before the join, which may reset it on Windows
    raiser.join();
    EXPECT_EQ(cause, DWORD(ERROR_REQUEST_ABORTED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(NoConnectionLeaked());
}
