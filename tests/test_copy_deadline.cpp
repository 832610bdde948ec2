// Every copy under an agent that drips its data replies (the logon's
// speed limit) or stalls them (a cancel from another thread).
#include "agent_test.h"
#include "file_messages.h"
#include "local_files.h"
#include "remote_files.h"

#include "copy/copy_to_agent.h"
#include "protocol/opcodes.h"

#include <chrono>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using fake::Bytes;
using fake::W;
using fake::WString;
using namespace agent;

constexpr size_t kSize = 24;
constexpr int kDripMs = 30; // a reply byte each, twice that for the short write reply
constexpr uint64_t kTicks = 126000000000000000ull;

enum Copy { FromAgentEx, FromAgentExRestartable, Plain, ToAgentEx, ManyFiles, ManyFilesAlone, kCopies };
const char *const kNames[] = {"CopyFileFromAgentExW", "CopyFileFromAgentExW restartable", "CopyFileFromAgent",
                              "CopyFileToAgentExW",   "CopyFilesFromAgentW",              "CopyFilesFromAgentW alone"};

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
        // The put's target is new; its partial file has the size written.
        const WString partial = copy_to::PartialName(W(u"C:\\put.bin").c_str());
        (*files_)[partial] = {Bytes(kSize), 0, kTicks, 0};
        agent_.On(OpGetFileAttributesEx, [partial](const fake::Request &r, fake::Session &) {
            if (r.raw() == fake::PathRequest(OpGetFileAttributesEx, partial))
                return fake::Send(fake::AttributeDataReply(fake::AttributeData(0x20, {}, {}, {}, kSize)));
            return fake::Send(fake::StatusReply(OpGetFileAttributesEx, 2));
        });
        for (uint32_t op : {OpSetFileTime, OpMoveFile, OpRemovePath})
            agent_.Always(op, fake::StatusReply(op, 0));
    }

    static uint32_t DataOpcode(Copy copy) { return copy == ToAgentEx ? OpWriteFile : OpReadFileAt; }

    void DripReplies(uint32_t opcode)
    {
        agent_.On(opcode, [this, opcode](const fake::Request &r, fake::Session &) {
            if (opcode == OpWriteFile)
                return Drip(fake::CountReply(OpWriteFile, 0, r.length), 2 * kDripMs);
            const size_t start = static_cast<size_t>(std::min<uint64_t>(fake::ReadAtOf(r).offset, kSize));
            return Drip(fake::DataReply(OpReadFileAt, 0, Bytes(content_.begin() + long(start), content_.end())),
                        kDripMs);
        });
    }

    BOOL Run(Copy copy, BOOL *cancel = nullptr)
    {
        const WString out = dir_.Path(u"out.bin"), a = W(u"C:\\a.bin");
        switch (copy) {
        case FromAgentEx:
        case FromAgentExRestartable:
            return AgentCopyFileFromAgentExW(logon_, a.c_str(), out.c_str(), nullptr, nullptr, cancel,
                                             copy == FromAgentExRestartable ? COPY_FILE_RESTARTABLE : 0);
        case Plain:
            return AgentCopyFileFromAgent(logon_, a.c_str(), out.c_str());
        case ToAgentEx:
            return AgentCopyFileToAgentExW(logon_, dir_.Path(u"put.bin").c_str(), W(u"C:\\put.bin").c_str(), nullptr,
                                           nullptr, cancel, 0);
        default: {
            const WString paths[6] = {a, W(u"C:\\b.bin"), W(u"C:\\c.bin"),
                                      dir_.Path(u"a.bin"), dir_.Path(u"b.bin"), dir_.Path(u"c.bin")};
            AGENT_COPY_ITEM items[3] = {};
            for (int i = 0; i < 3; ++i)
                items[i].remotePath = paths[i].c_str(), items[i].localPath = paths[i + 3].c_str();
            const BOOL result = AgentCopyFilesFromAgentW(logon_, items, 3, nullptr, nullptr, cancel, 0,
                                                         copy == ManyFiles ? 0 : 1);
            const DWORD cause = GetLastError();
            for (const AGENT_COPY_ITEM &item : items)
                EXPECT_EQ(item.result, result ? 0u : cause);
            SetLastError(cause);
            return result;
        }
        }
    }

    // The whole file where it belongs, or nothing but (restartable) the partial file.
    void ExpectOutcome(Copy copy, bool copied, bool partialKept)
    {
        if (copy == ToAgentEx) {
            EXPECT_EQ(agent_.CountOf(OpMoveFile), copied ? 1u : 0u);
        } else if (copied) {
            using Names = std::vector<std::string>;
            EXPECT_EQ(dir_.Files(),
                      (copy >= ManyFiles ? Names{"a.bin", "b.bin", "c.bin", "put.bin"} : Names{"out.bin", "put.bin"}));
            EXPECT_EQ(dir_.Read(copy >= ManyFiles ? u"c.bin" : u"out.bin"), content_);
        } else {
            EXPECT_EQ(dir_.Files().size(), partialKept ? 2u : 1u);
            EXPECT_FALSE(dir_.Exists(u"out.bin"));
        }
        for (const auto &entry : std::filesystem::directory_iterator(dir_.Native(u"put.bin").parent_path()))
            if (entry.path().filename() != "put.bin")
                std::filesystem::remove(entry.path());
    }

    const Bytes content_ = fake::Pattern(kSize, 9);
    std::shared_ptr<fake::RemoteFiles> files_ = std::make_shared<fake::RemoteFiles>();
    fake::TempDirectory dir_;
};

TEST_F(CopyDeadlineTest, ADrippingAgentFailsTheCopyOnlyBelowTheSetRate)
{
    // The drip moves about 35 B/s for over a second a reply. Whether a
    // limit is set at all is the logon's, so those rows run for one copy.
    const struct Limit {
        DWORD bytesPerSecond, seconds;
        bool fails, everyCopy;
    } limits[] = {{0, 0, false, false}, {1000, 0, false, false}, {1000, 1, true, true}, {2, 1, false, true}};
    for (int c = 0; c < kCopies; ++c) {
        for (const Limit &limit : limits) {
            if (!limit.everyCopy && c != FromAgentEx)
                continue;
            SCOPED_TRACE(std::string(kNames[c]) + ": " + std::to_string(limit.bytesPerSecond) + " B/s over " +
                         std::to_string(limit.seconds) + " s");
            if (limit.bytesPerSecond != 0) {
                ASSERT_EQ(AgentSetSpeedLimit(logon_, limit.bytesPerSecond, limit.seconds), 1);
            }
            DripReplies(DataOpcode(Copy(c)));
            agent_.ClearRecords();
            const BOOL result = Run(Copy(c));
            const DWORD cause = GetLastError();
            EXPECT_EQ(result, limit.fails ? 0 : 1) << cause;
            if (limit.fails) {
                EXPECT_EQ(cause, DWORD(WSAETIMEDOUT));
                EXPECT_EQ(AgentGetLastError(), DWORD(WSAETIMEDOUT));
            }
            ExpectOutcome(Copy(c), !limit.fails, limit.fails && c == FromAgentExRestartable);
            EXPECT_EQ(AgentSetSpeedLimit(logon_, 0, 0), 1);
        }
    }
    EXPECT_EQ(AgentSetSpeedLimit(nullptr, 1, 1), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(CopyDeadlineTest, ACancelEndsACopyWhoseEveryWaitIsStalled)
{
    for (Copy copy : {FromAgentEx, ToAgentEx, ManyFiles, ManyFilesAlone}) {
        SCOPED_TRACE(kNames[copy]);
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
        EXPECT_LT(ended - raised, std::chrono::seconds(10));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(cause, DWORD(ERROR_REQUEST_ABORTED));
        ExpectOutcome(copy, false, false);
    }
}

} // namespace
