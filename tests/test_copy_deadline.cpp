// The copies under an agent that drips its replies or stalls: the
// logon's progress deadline (AgentSetSpeedLimit) in both directions and
// for the many-file copy, off unless set; and a cancel raised from another
// thread while every wait of the copy is stalled with no time-out set.
#include "agent_test.h"
#include "file_messages.h"
#include "local_files.h"
#include "remote_files.h"

#include "copy/copy_to_agent.h"
#include "protocol/opcodes.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using fake::Bytes;
using fake::W;
using fake::WString;
using namespace agent;

constexpr size_t kSize = 24;      // one read (25 asked for) of 24 bytes
// One byte of a reply every 50 ms (about 20 B/s), 100 ms for the short
// reply to a write, so that every drip lasts about 2 s.
constexpr int kDripMs = 50;
constexpr uint64_t kTicks = 126000000000000000ull;

// The copies of the tables, each of the same small file.
enum class Copy { FromAgentEx, FromAgentExRestartable, Plain, ToAgentEx, ManyFiles, ManyFilesAlone };
const std::pair<Copy, const char *> kEveryCopy[] = {
    {Copy::FromAgentEx, "AgentCopyFileFromAgentExW"},
    {Copy::FromAgentExRestartable, "AgentCopyFileFromAgentExW, restartable"},
    {Copy::Plain, "AgentCopyFileFromAgent"},
    {Copy::ToAgentEx, "AgentCopyFileToAgentExW"},
    {Copy::ManyFiles, "AgentCopyFilesFromAgentW"},
    {Copy::ManyFilesAlone, "AgentCopyFilesFromAgentW, one at a time on the calling thread"},
};

// A reply sent one byte at a time.
fake::Action Drip(const Bytes &reply, int pauseMs)
{
    fake::Action action = fake::Send(Bytes(reply.begin(), reply.begin() + 1));
    for (size_t i = 1; i < reply.size(); ++i)
        action.ThenSend(Bytes{reply[i]}, pauseMs);
    return action;
}

class CopyDeadlineTest : public fake::AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        for (const char16_t *name : {u"C:\\a.bin", u"C:\\b.bin", u"C:\\c.bin"})
            (*files_)[W(name)] = {content_, 0, kTicks, 0};
        fake::ServeFiles(agent_, files_);
        std::ofstream(dir_.Native(u"put.bin"), std::ios::binary)
            .write(reinterpret_cast<const char *>(content_.data()), static_cast<std::streamsize>(content_.size()));
        // The put: a target that does not exist yet, writes taken whole, a
        // partial file that has the size written when asked after the close.
        const WString partial = copy_to::PartialName(W(u"C:\\put.bin").c_str());
        (*files_)[partial] = {Bytes(kSize), 0, kTicks, 0};
        agent_.On(OpGetFileAttributesEx, [partial](const fake::Request &r, fake::Session &) {
            if (r.raw() == fake::PathRequest(OpGetFileAttributesEx, partial))
                return fake::Send(fake::AttributeDataReply(fake::AttributeData(0x20, {}, {}, {}, kSize)));
            return fake::Send(fake::StatusReply(OpGetFileAttributesEx, 2));
        });
        agent_.On(OpWriteFile, [](const fake::Request &r, fake::Session &) {
            return fake::Send(fake::CountReply(OpWriteFile, 0, r.length));
        });
        agent_.Always(OpSetFileTime, fake::StatusReply(OpSetFileTime, 0));
        agent_.Always(OpMoveFile, fake::StatusReply(OpMoveFile, 0));
        agent_.Always(OpRemovePath, fake::StatusReply(OpRemovePath, 0));
    }

    // The opcode whose replies carry the copy's data, and so drip or stall.
    static uint32_t DataOpcode(Copy copy) { return copy == Copy::ToAgentEx ? OpWriteFile : OpReadFileAt; }

    // The replies to `opcode` drip, byte by byte.
    void DripReplies(uint32_t opcode)
    {
        agent_.On(opcode, [this, opcode](const fake::Request &r, fake::Session &) {
            if (opcode == OpWriteFile)
                return Drip(fake::CountReply(OpWriteFile, 0, r.length), 2 * kDripMs);
            const auto read = fake::ReadAtOf(r);
            const size_t start = static_cast<size_t>(std::min<uint64_t>(read.offset, content_.size()));
            const size_t n = std::min<size_t>(read.toRead, content_.size() - start);
            return Drip(fake::DataReply(OpReadFileAt, 0, Bytes(content_.begin() + long(start),
                                                                content_.begin() + long(start + n))),
                        kDripMs);
        });
    }

    // Runs the copy; its result, with `cancel` as the host's flag.
    BOOL Run(Copy copy, BOOL *cancel = nullptr)
    {
        const WString out = dir_.Path(u"out.bin");
        switch (copy) {
        case Copy::FromAgentEx:
        case Copy::FromAgentExRestartable:
            return AgentCopyFileFromAgentExW(logon_, W(u"C:\\a.bin").c_str(), out.c_str(), nullptr, nullptr, cancel,
                                             copy == Copy::FromAgentExRestartable ? COPY_FILE_RESTARTABLE : 0);
        case Copy::Plain:
            return AgentCopyFileFromAgent(logon_, W(u"C:\\a.bin").c_str(), out.c_str());
        case Copy::ToAgentEx:
            return AgentCopyFileToAgentExW(logon_, dir_.Path(u"put.bin").c_str(), W(u"C:\\put.bin").c_str(), nullptr,
                                           nullptr, cancel, 0);
        case Copy::ManyFiles:
        case Copy::ManyFilesAlone: {
            const WString remote[3] = {W(u"C:\\a.bin"), W(u"C:\\b.bin"), W(u"C:\\c.bin")};
            const WString local[3] = {dir_.Path(u"a.bin"), dir_.Path(u"b.bin"), dir_.Path(u"c.bin")};
            AGENT_COPY_ITEM items[3] = {};
            for (int i = 0; i < 3; ++i) {
                items[i].remotePath = remote[i].c_str();
                items[i].localPath = local[i].c_str();
            }
            const BOOL result =
                AgentCopyFilesFromAgentW(logon_, items, 3, nullptr, nullptr, cancel, 0, copy == Copy::ManyFiles ? 0 : 1);
            const DWORD cause = GetLastError();
            for (const AGENT_COPY_ITEM &item : items)
                EXPECT_EQ(item.result, result ? 0u : cause);
            SetLastError(cause);
            return result;
        }
        }
        return 0;
    }

    // What the copy left: the whole file where it belongs, or nothing but
    // (with `partialKept`) the partial file.
    void ExpectOutcome(Copy copy, bool copied, bool partialKept)
    {
        if (copy == Copy::ToAgentEx) {
            EXPECT_EQ(agent_.CountOf(OpMoveFile), copied ? 1u : 0u);
            return;
        }
        const std::vector<std::string> whole =
            copy >= Copy::ManyFiles ? std::vector<std::string>{"a.bin", "b.bin", "c.bin", "put.bin"}
                                    : std::vector<std::string>{"out.bin", "put.bin"};
        if (copied) {
            EXPECT_EQ(dir_.Files(), whole);
            EXPECT_EQ(dir_.Read(copy >= Copy::ManyFiles ? u"c.bin" : u"out.bin"), content_);
        } else {
            EXPECT_EQ(dir_.Files().size(), partialKept ? 2u : 1u);
            EXPECT_FALSE(dir_.Exists(u"out.bin"));
        }
    }

    const Bytes content_ = fake::Pattern(kSize, 9);
    std::shared_ptr<fake::RemoteFiles> files_ = std::make_shared<fake::RemoteFiles>();
    fake::TempDirectory dir_;
};

TEST_F(CopyDeadlineTest, ADrippingAgentFailsTheCopyOnlyBelowTheSetRate)
{
    // A drip of about 20 B/s (headers included) for about 2 s a reply.
    const struct Limit {
        const char *name;
        DWORD bytesPerSecond, seconds;
        bool fails;
    } limits[] = {
        {"no deadline, the library's default", 0, 0, false},
        {"1000 B/s over 1 s", 1000, 1, true},
        {"a rate without a time is none", 1000, 0, false},
        {"2 B/s over 2 s, which the drip beats", 2, 2, false},
    };
    for (const auto &[copy, name] : kEveryCopy) {
        for (const Limit &limit : limits) {
            SCOPED_TRACE(std::string(name) + ": " + limit.name);
            if (limit.bytesPerSecond != 0 || limit.seconds != 0) {
                ASSERT_EQ(AgentSetSpeedLimit(logon_, limit.bytesPerSecond, limit.seconds), 1);
            }
            DripReplies(DataOpcode(copy));
            agent_.ClearRecords();
            const Clock::time_point start = Clock::now();
            const BOOL result = Run(copy);
            const DWORD cause = GetLastError();
            if (limit.fails) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(cause, DWORD(WSAETIMEDOUT));
                EXPECT_EQ(AgentGetLastError(), DWORD(WSAETIMEDOUT));
                // Well before the drips would have ended (on a loaded machine too).
                EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));
            } else {
                EXPECT_EQ(result, 1) << cause;
            }
            ExpectOutcome(copy, !limit.fails, limit.fails && copy == Copy::FromAgentExRestartable);
            EXPECT_EQ(AgentSetSpeedLimit(logon_, 0, 0), 1);
            for (const auto &entry : std::filesystem::directory_iterator(dir_.Native(u"put.bin").parent_path()))
                if (entry.path().filename() != "put.bin")
                    std::filesystem::remove(entry.path());
        }
    }
    EXPECT_EQ(AgentSetSpeedLimit(nullptr, 1, 1), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CopyDeadlineTest, ACancelEndsACopyWhoseEveryWaitIsStalled)
{
    for (const auto &[copy, name] : kEveryCopy) {
        if (copy == Copy::FromAgentExRestartable || copy == Copy::Plain)
            continue; // the same wait as the first row; no cancel flag
        SCOPED_TRACE(name);
        // No time-outs are set: only the cancel can end these waits.
        agent_.On(DataOpcode(copy), [](const fake::Request &, fake::Session &) { return fake::Nothing(); });
        agent_.ClearRecords();
        BOOL cancel = 0;
        Clock::time_point raised;
        std::thread host([&] {
            agent_.WaitUntil([&] { return agent_.CountOf(DataOpcode(copy)) > 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            raised = Clock::now();
            __atomic_store_n(&cancel, 1, __ATOMIC_RELEASE);
        });
        const BOOL result = Run(copy, &cancel);
        const Clock::time_point ended = Clock::now();
        const DWORD cause = GetLastError();
        host.join();
        EXPECT_EQ(result, 0);
        EXPECT_EQ(cause, DWORD(ERROR_REQUEST_ABORTED));
        EXPECT_LT(ended - raised, std::chrono::seconds(10));
        ExpectOutcome(copy, false, false);
    }
}

} // namespace
