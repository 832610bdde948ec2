// AgentCopyFileFromAgentExW against a fake agent that serves one file whose
// bytes are a function of their offset, so sizes past 4 GiB cost nothing
// on the agent's side: sizes around the chunk size and the 4 GiB boundary,
// the requests on the wire, files that change under the copy, progress,
// stop, cancel and restart, and agents that go away.
#include "agent_test.h"
#include "copy_progress.h"
#include "file_messages.h"
#include "local_files.h"

#include "copy/copy_file_ex.h"
#include "protocol/fss_util.h"
#include "session/last_agent_error.h"

#include <atomic>
#include <chrono>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

using Progress = fake::CopyProgress;

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
    std::filesystem::path Out() const { return dir_.Native(u"out.bin"); }
    // The local file is `to` bytes long and its bytes [from, to) equal the remote ones.
    ::testing::AssertionResult Holds(uint64_t from, uint64_t to) const
    {
        if (std::filesystem::file_size(Out()) != to)
            return ::testing::AssertionFailure() << "size " << std::filesystem::file_size(Out());
        std::ifstream in(Out(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        for (uint64_t i = from; i < to; ++i)
            if (in.get() != ByteAt(i))
                return ::testing::AssertionFailure() << "differs at " << i;
        return ::testing::AssertionSuccess();
    }
    // Every connection the agent still sees is parked in the pool.
    bool NoConnectionLeaked() { return agent_.WaitUntil([&] { return agent_.Open() == Idle(); }); }
    void WriteTarget(const std::string &text) { std::ofstream(Out(), std::ios::binary) << text; }
    std::string Target() const
    {
        const Bytes bytes = dir_.Read(u"out.bin");
        return std::string(bytes.begin(), bytes.end());
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
    file_->readDelayMs = 30;
    for (uint64_t size : {uint64_t(0), uint64_t(1), C - 1, C, C + 1, 2 * C, 5 * C + 17}) {
        SCOPED_TRACE(size);
        Resize(size);
        file_->opens = 0;
        agent_.ClearRecords();
        Progress progress;
        ASSERT_EQ(Copy(0, &progress), 1) << GetLastError();
        EXPECT_TRUE(Holds(0, size));
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
        EXPECT_LE(agent_.CountOf(OpCreateFile), std::min<uint64_t>(chunks, copy_ex::kConnections));
        EXPECT_EQ(agent_.CountOf(OpCloseHandle), agent_.CountOf(OpCreateFile));
        // Each connection that read opened the file first, once, and closed it last;
        // with the reads delayed, helpers join before the chunks run out.
        std::map<int, std::vector<uint32_t>> byConnection;
        for (const fake::Request &r : agent_.Requests())
            if (r.opcode != OpLogon)
                byConnection[r.connection].push_back(r.opcode);
        unsigned reading = 0;
        for (const auto &[connection, ops] : byConnection) {
            if (std::count(ops.begin(), ops.end(), uint32_t(OpReadFileAt)) == 0)
                continue;
            ++reading;
            EXPECT_EQ(ops.front(), uint32_t(OpCreateFile)) << connection;
            EXPECT_EQ(ops.back(), uint32_t(OpCloseHandle)) << connection;
            EXPECT_EQ(std::count(ops.begin(), ops.end(), uint32_t(OpCreateFile)), 1) << connection;
        }
        EXPECT_GE(reading, chunks >= 6 ? 2u : 1u);

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
        EXPECT_LT(std::chrono::abs(std::filesystem::last_write_time(Out()) - expected), std::chrono::seconds(5));
        EXPECT_TRUE(NoConnectionLeaked());
    }
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
        EXPECT_TRUE(Holds(held, size));
        std::filesystem::remove(Out());
    }
}

// Every way a begun copy can fail leaves the target as it was, no partial
// file unless the copy is restartable, and no connection out of the pool;
// a restartable one then continues without reading its chunks again.
TEST_F(CopyFileExTest, AFailedOrCancelledCopyLeavesTheTargetAlone)
{
    const uint64_t size = 16 * C + 9, chunks = 17;
    BOOL flag = 0;
    const struct {
        const char *name;
        int shortRead, resizeAfter, dropRead;
        uint64_t resizeTo;
        DWORD answer; // to the second progress call
        BOOL raise;   // into the cancel flag, at the second progress call
        DWORD flags, error;
    } rows[] = {
        {"short read in the middle", 2, 0, 0, 0, PROGRESS_CONTINUE, 0, 0, ERROR_FILE_INVALID},
        {"grows", 0, 1, 0, size + 10, PROGRESS_CONTINUE, 0, 0, ERROR_FILE_INVALID},
        {"shrinks", 0, 1, 0, 2 * C + 1, PROGRESS_CONTINUE, 0, 0, ERROR_FILE_INVALID},
        {"grows by one byte at the end", 0, 1, 0, size + 1, PROGRESS_CONTINUE, 0, 0, ERROR_FILE_INVALID},
        {"PROGRESS_CANCEL", 0, 0, 0, 0, PROGRESS_CANCEL, 0, 0, ERROR_REQUEST_ABORTED},
        {"*cancel", 0, 0, 0, 0, PROGRESS_CONTINUE, 1, 0, ERROR_REQUEST_ABORTED},
        {"PROGRESS_CANCEL, restartable", 0, 0, 0, 0, PROGRESS_CANCEL, 0, COPY_FILE_RESTARTABLE,
         ERROR_REQUEST_ABORTED},
        {"agent dropped", 0, 0, 6, 0, PROGRESS_CONTINUE, 0, 0, WSAECONNRESET},
        {"agent dropped, restartable", 0, 0, 6, 0, PROGRESS_CONTINUE, 0, COPY_FILE_RESTARTABLE, WSAECONNRESET},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Resize(size);
        file_->reads = 0;
        file_->shortRead = row.shortRead;
        file_->resizeAfter = row.resizeAfter;
        file_->resizeTo = row.resizeTo;
        file_->dropRead = row.dropRead;
        // A cancel must find reads still to come, even when the calling
        // thread runs the progress routine late on a loaded machine.
        const bool cancels = row.answer != PROGRESS_CONTINUE || row.raise;
        file_->readDelayMs = cancels ? 20 : 0;
        flag = 0;
        WriteTarget("old");
        agent_.ClearRecords();
        LastAgentError = 0;
        Progress progress(2, row.answer, [&] { __atomic_store_n(&flag, row.raise, __ATOMIC_RELEASE); });
        EXPECT_EQ(Copy(row.flags, &progress, &flag), 0);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(AgentGetLastError(), row.error);
        EXPECT_LT(agent_.CountOf(OpReadFileAt), row.resizeAfter != 0 ? chunks + 1 : chunks);
        EXPECT_EQ(Target(), "old");
        const bool kept = row.dropRead != 0 && row.flags == COPY_FILE_RESTARTABLE;
        EXPECT_EQ(dir_.Exists(kPartial.c_str()), kept);
        EXPECT_EQ(dir_.Files().size(), kept ? 2u : 1u);
        EXPECT_TRUE(NoConnectionLeaked()); // a broken connection destroyed, the others pooled
        if (!kept)
            continue;
        // What the drop left held depends on which connection's read it
        // hit; none of it is read again.
        const uint64_t held = std::filesystem::file_size(dir_.Native(kPartial.c_str())) - agent::copy_ex::kRecordSize;
        file_->dropRead = 0;
        agent_.ClearRecords();
        ASSERT_EQ(Copy(row.flags), 1) << GetLastError();
        EXPECT_TRUE(Holds(0, size));
        EXPECT_EQ(agent_.CountOf(OpReadFileAt), chunks - held / C);
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
        Progress stop(3, PROGRESS_STOP);
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
        EXPECT_TRUE(Holds(0, c.size));
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"});
        // A continued copy reads nothing the partial file held and says so first.
        const uint64_t firstRead = Reads(agent_).front().first;
        EXPECT_EQ(firstRead > 0, c.continues);
        EXPECT_GE(firstRead, c.continues ? 3 * C : 0);
        EXPECT_EQ(resumed.calls.front().second > C, c.continues);
    }
}

TEST_F(CopyFileExTest, FurtherConnectionsRefusedLeaveTheCopyToTheFirstAndNoFailureBehind)
{
    Resize(4 * C);
    file_->laterOpenStatus = 71;
    LastAgentError = 0;
    ASSERT_EQ(Copy(), 1) << GetLastError();
    EXPECT_TRUE(Holds(0, 4 * C));
    EXPECT_EQ(AgentGetLastError(), 0u);
    EXPECT_TRUE(NoConnectionLeaked());
}

// Refused before any request: bad arguments (not the agent's failure, so
// AgentGetLastError keeps what it held), an existing target under
// COPY_FILE_FAIL_IF_EXISTS, a cancel flag raised before the call.
TEST_F(CopyFileExTest, RefusedCallsSendNothingAndTouchNothing)
{
    const fake::WString local = dir_.Path(u"out.bin"), empty;
    BOOL raised = 1;
    const struct {
        const char *name;
        std::function<BOOL()> call;
        DWORD error, recorded;
    } rows[] = {
        {"no logon",
         [&] { return AgentCopyFileFromAgentExW(nullptr, kRemote.c_str(), local.c_str(), nullptr, nullptr, nullptr, 0); },
         ERROR_INVALID_PARAMETER, 5},
        {"empty remote path",
         [&] { return AgentCopyFileFromAgentExW(logon_, empty.c_str(), local.c_str(), nullptr, nullptr, nullptr, 0); },
         ERROR_INVALID_PARAMETER, 5},
        {"no local path",
         [&] { return AgentCopyFileFromAgentExW(logon_, kRemote.c_str(), nullptr, nullptr, nullptr, nullptr, 0); },
         ERROR_INVALID_PARAMETER, 5},
        {"unknown flag", [&] { return Copy(0x4); }, ERROR_INVALID_PARAMETER, 5},
        {"flag beside the library's own", [&] { return Copy(0x40000000u); }, ERROR_INVALID_PARAMETER, 5},
        {"fail if exists", [&] { return Copy(COPY_FILE_FAIL_IF_EXISTS); }, ERROR_FILE_EXISTS, ERROR_FILE_EXISTS},
        {"cancel flag raised", [&] { return Copy(0, nullptr, &raised); }, ERROR_REQUEST_ABORTED, ERROR_REQUEST_ABORTED},
    };
    Resize(3 * C);
    WriteTarget("old");
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        LastAgentError = 5;
        EXPECT_EQ(row.call(), 0);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(AgentGetLastError(), row.recorded);
        EXPECT_TRUE(agent_.Requests().empty());
        EXPECT_EQ(Target(), "old");
        EXPECT_EQ(dir_.Files(), std::vector<std::string>{"out.bin"});
    }
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
    EXPECT_TRUE(Holds(0, 3 * C));
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
