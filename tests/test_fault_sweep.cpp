// Fault sweep: every main export is run once to count the sends, receives
// and allocations it makes, then again with the 1st, 2nd, ... Nth of each
// failed in turn. Each run must end without a crash or leak (the sanitizer
// build checks leaks), either failing with a cause or succeeding with the
// right result, and leave no broken connection behind: every connection the
// agent still sees open is pooled, and every pooled one is still in step.
// A call that an allocation failure made fail leaves none of the
// connections it held at that moment open, pooled or not.
#include "agent_test.h"
#include "file_messages.h"
#include "messages.h"
#include "entries.h"
#include "local_files.h"
#include "remote_files.h"

#include "copy/copy_to_agent.h"
#include "session/last_agent_error.h"
#include "test_seams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

using agent::platform::Fault;
using fake::AgentTest;
using fake::Bytes;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

// Every throwing allocation of the program passes the allocation fault
// point: the library's own and the standard library's. ACE allocates with
// nothrow new, and its CDR stream constructors dereference the null they
// get back (ACE_CDR::mb_align in ACE_OutputCDR's constructor), so those are
// left to succeed. The pairs below are malloc/free throughout, which GCC
// cannot see across them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
// Set by the test of failures reported through return codes: nothrow
// allocations of at least this size (a block gathering a large request,
// not ACE's small bookkeeping blocks) return null.
std::size_t failNothrowFrom = 0;
// The sweep's agent, and how many requests it had seen when the armed
// allocation failed: every exchange before the failure has been answered,
// so it is recorded by then.
const fake::FakeAgent *sweepAgent = nullptr;
std::size_t requestsAtFault = 0;
} // namespace
void *operator new(std::size_t size)
{
    if (agent::platform::FaultHit(Fault::Allocation)) {
        if (sweepAgent != nullptr)
            requestsAtFault = sweepAgent->RequestCount();
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return ::operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    if (failNothrowFrom != 0 && size >= failNothrowFrom)
        return nullptr;
    return std::malloc(size != 0 ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return ::operator new(size, tag); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }

namespace {

// Callbacks are AGENTAPI (stdcall in the DLL), which lambdas cannot be.
void AGENTAPI CountPath(const WCHAR *, const WIN32_FIND_DATAW *, void *seen) { ++*static_cast<int *>(seen); }
void AGENTAPI CountStore(const WCHAR *, const WCHAR *, void *seen) { ++*static_cast<int *>(seen); }

struct Export {
    const char *name;
    // Whether a failure is also copied into AgentGetLastError.
    bool recordsFailures;
    // Whether every lost send or receive fails the call. A copy that has
    // read and written everything succeeds even when the remote close is lost.
    bool everyLostMessageFails;
    // Runs the export (and closes whatever it opened); true only for a
    // success with the right result.
    std::function<bool()> call;
    // Further checks of a success, run after the faults are disarmed.
    std::function<bool()> check;
};

class FaultSweep : public AgentTest {
protected:
    void SetUp() override
    {
        AgentTest::SetUp();
        Script();
        sweepAgent = &agent_;
    }
    void TearDown() override
    {
        sweepAgent = nullptr;
        AgentTest::TearDown();
    }

    // An agent that answers every request of the sweep correctly.
    void Script()
    {
        fake::FindEntry entry;
        entry.name = W(u"entry.txt");
        entry.sizeLow = 77;
        fake::DriveEntry drive;
        drive.values[0] = 3;
        drive.text1 = W(u"C:\\");
        drive.text2 = W(u"system");
        agent_.Always(OpCreateDirectory, fake::StatusReply(OpCreateDirectory, 0));
        agent_.Always(OpMoveFile, fake::StatusReply(OpMoveFile, 0));
        agent_.Always(OpGetFileAttributesEx,
                      fake::AttributeDataReply(fake::AttributeData(0x20, {1, 2}, {3, 4}, {5, 6}, 1000)));
        agent_.Always(OpGetOSVersion, fake::OsVersionReply(0x0601B1DB));
        agent_.Always(OpGetDiskFreeSpace, fake::DiskSpaceReply(0, 8, 512, 1000, 4000));
        agent_.Always(OpGetFolderPath, fake::PathReply(OpGetFolderPath, 0, W(u"C:\\Users\\u\\Desktop")));
        agent_.Always(OpGetIEFavoritePath, fake::PathReply(OpGetIEFavoritePath, 0, W(u"C:\\Users\\u\\Favorites")));
        agent_.Always(OpGetPstCount, fake::PstCountReply(0, 2));
        agent_.Always(OpGetPstList, fake::PstListReply({{W(u"C:\\a.pst"), W(u"a")}, {W(u"C:\\b.pst"), W(u"b")}}));
        agent_.Always(OpFindFirst, fake::SearchStream(OpFindFirst, {fake::FindRecord(entry), fake::FindRecord(entry)}));
        agent_.Always(OpFindFirstDrive, fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(drive)}));
        const Bytes chunk = fake::Chunk(fake::PathListChunk({{W(u"C:\\x"), entry}, {W(u"C:\\x\\y"), entry}}));
        agent_.Always(OpGetPathList, fake::Concat({fake::Header(2, OpGetPathList, 0), chunk}));
        agent_.Always(OpNextPathList, fake::EndChunk());
        auto files = std::make_shared<fake::RemoteFiles>();
        (*files)[W(u"C:\\data.bin")].content = fake::Pattern(10000, 3);
        content_ = (*files)[W(u"C:\\data.bin")].content;
        // The put's partial file beside C:\data.bin takes writes of
        // exactly the 1000 bytes it is given.
        (*files)[copy_to::PartialName(remote_.c_str())].content = Bytes(1000);
        putContent_ = fake::Pattern(1000, 5);
        std::string native(putSource_.begin(), putSource_.end()); // ASCII
        std::replace(native.begin(), native.end(), '\\', '/');
        std::ofstream(native, std::ios::binary)
            .write(reinterpret_cast<const char *>(putContent_.data()), static_cast<std::streamsize>(putContent_.size()));
        putItem_.localPath = putSource_.c_str();
        putItem_.remotePath = remote_.c_str();
        agent_.Always(OpWriteFile, fake::Reply(OpWriteFile, Payload().u32(0).u32(1000)));
        agent_.Always(OpSetFileTime, fake::StatusReply(OpSetFileTime, 0));
        agent_.Always(OpRemovePath, fake::StatusReply(OpRemovePath, 0));
        fake::ServeFiles(agent_, files);
        agent_.Always(OpGetFileInformation,
                      fake::InformationReply(fake::FileInformation(0x20, {1, 0}, {2, 0}, {3, 0}, 10000, 7, 1, 9)));
    }

    // The calls allocate nothing on the test's side while faults are armed:
    // their arguments are made here, their results checked by `check`.
    std::vector<Export> Exports()
    {
        AGENT_LOGON l = logon_;
        return {
            {"AgentLogonW", true, true,
             [this] {
                 extra_ = AgentLogonW(host_.c_str(), agent_.port(), user_.c_str(), password_.c_str());
                 return extra_ != nullptr;
             },
             {}},
            {"AgentCreateDirectoryW", true, true, [this, l] { return AgentCreateDirectoryW(l, path_.c_str()) == 1; }, {}},
            {"AgentMoveFile", true, true, [this, l] { return AgentMoveFile(l, path_.c_str(), other_.c_str()) == 1; }, {}},
            {"AgentGetFileAttributesExW", true, true,
             [this, l] {
                 WIN32_FILE_ATTRIBUTE_DATA d = {};
                 return AgentGetFileAttributesExW(l, path_.c_str(), &d) == 1 && d.nFileSizeLow == 1000 &&
                        d.ftLastWriteTime.dwHighDateTime == 6;
             },
             {}},
            {"AgentCreateFileW, AgentReadFilePosition, AgentCloseHandle", true, true,
             [this, l] {
                 HANDLE file = AgentCreateFileW(l, remote_.c_str(), GENERIC_READ, 0, OPEN_EXISTING, 0);
                 if (file == nullptr)
                     return false;
                 char data[300] = {};
                 DWORD read = 0;
                 const bool ok = AgentReadFilePosition(file, data, sizeof data, &read, 5000, 0) == 1 &&
                                 read == sizeof data && std::memcmp(data, content_.data() + 5000, read) == 0;
                 const DWORD cause = GetLastError();
                 const bool closed = AgentCloseHandle(l, file) == 1;
                 if (!ok)
                     SetLastError(cause);
                 return ok && closed;
             },
             {}},
            {"AgentCopyFileFromAgent", true, false,
             [this, l] { return AgentCopyFileFromAgent(l, remote_.c_str(), copy_.c_str()) == 1; },
             [this] { return local_.Read(u"copy.bin") == content_; }},
            {"AgentCopyFileFromAgentExW", true, false,
             [this, l] {
                 return AgentCopyFileFromAgentExW(l, remote_.c_str(), copy_.c_str(), nullptr, nullptr, nullptr, 0) == 1;
             },
             [this] { return local_.Read(u"copy.bin") == content_; }},
            // A lost reply to the last removal of the replaced file still
            // leaves the new one in place: a success.
            {"AgentCopyFileToAgentExW", true, false,
             [this, l] {
                 return AgentCopyFileToAgentExW(l, putSource_.c_str(), remote_.c_str(), nullptr, nullptr, nullptr, 0) ==
                        1;
             },
             [this] {
                 const auto writes = agent_.RequestsOf(OpWriteFile);
                 return !writes.empty() && writes.back().payload == putContent_;
             }},
            // The same two copies with their waits watched (sliced, and
            // counting bytes): under a progress deadline, and with a cancel flag.
            {"AgentCopyFileFromAgentExW under a progress deadline", true, false,
             [this, l] {
                 AgentSetSpeedLimit(l, 1, 3600);
                 const bool ok =
                     AgentCopyFileFromAgentExW(l, remote_.c_str(), copy_.c_str(), nullptr, nullptr, nullptr, 0) == 1;
                 AgentSetSpeedLimit(l, 0, 0);
                 return ok;
             },
             [this] { return local_.Read(u"copy.bin") == content_; }},
            {"AgentCopyFileToAgentExW with a cancel flag", true, false,
             [this, l] {
                 return AgentCopyFileToAgentExW(l, putSource_.c_str(), remote_.c_str(), nullptr, nullptr, &noCancel_,
                                                0) == 1;
             },
             [this] {
                 const auto writes = agent_.RequestsOf(OpWriteFile);
                 return !writes.empty() && writes.back().payload == putContent_;
             }},
            // The same put as the one item of a many-file copy, which the
            // calling thread runs itself.
            {"AgentCopyFilesToAgentW", true, false,
             [this, l] {
                 putItem_.result = 12345;
                 return AgentCopyFilesToAgentW(l, &putItem_, 1, nullptr, nullptr, nullptr, 0, 0) == 1 &&
                        putItem_.result == 0;
             },
             [this] {
                 const auto writes = agent_.RequestsOf(OpWriteFile);
                 return !writes.empty() && writes.back().payload == putContent_;
             }},
            {"AgentFindFirstFileW, AgentFindNextFileW", true, true,
             [this, l] {
                 WIN32_FIND_DATAW d = {};
                 HANDLE search = AgentFindFirstFileW(l, path_.c_str(), &d);
                 if (search == nullptr)
                     return false;
                 bool ok = d.nFileSizeLow == 77 && AgentFindNextFileW(search, &d) == 1 && d.nFileSizeLow == 77;
                 ok = ok && AgentFindNextFileW(search, &d) == 0 && GetLastError() == ERROR_NO_MORE_FILES;
                 const DWORD cause = GetLastError();
                 AgentCloseHandle(l, search);
                 SetLastError(cause);
                 return ok;
             },
             {}},
            {"AgentFindFirstLogicalDriveW", true, true,
             [this, l] {
                 AgentDriveInfo info = {};
                 HANDLE drives = AgentFindFirstLogicalDriveW(l, &info);
                 if (drives == nullptr)
                     return false;
                 bool ok = info.Value1 == 3 && drive_ == info.Text1;
                 ok = ok && AgentFindNextLogicalDriveW(drives, &info) == 0 && GetLastError() == ERROR_NO_MORE_FILES;
                 const DWORD cause = GetLastError();
                 AgentCloseHandle(l, drives);
                 SetLastError(cause);
                 return ok;
             },
             {}},
            {"AgentGetDiskFreeSpace", false, true,
             [this, l] {
                 DWORD a = 0, b = 0, c = 0, d = 0;
                 return AgentGetDiskFreeSpace(l, drive_.c_str(), &a, &b, &c, &d) == 1 && d == 4000;
             },
             {}},
            {"AgentGetOSVersion", false, true, [l] { return AgentGetOSVersion(l) == 0x0601B1DBu; }, {}},
            {"AgentGetPathList", true, true,
             [this, l] {
                 int seen = 0;
                 return AgentGetPathList(l, path_.c_str(), CountPath, &seen) == 0 &&
                        GetLastError() == ERROR_NO_MORE_FILES && seen == 2;
             },
             {}},
            {"AgentGetFolderPathW", true, true,
             [this, l] {
                 WCHAR path[260];
                 return AgentGetFolderPathW(l, 0, 0, path) == 1 && desktop_ == path;
             },
             {}},
            {"AgentGetIEFavoritePath", true, true,
             [this, l] {
                 WCHAR path[260];
                 return AgentGetIEFavoritePath(l, path) == 1 && favorites_ == path;
             },
             {}},
            {"AgentGetAgentPstCount", true, true,
             [l] {
                 DWORD n = 0;
                 return AgentGetAgentPstCount(l, &n) == 1 && n == 2;
             },
             {}},
            {"AgentGetPSTList", false, true,
             [l] {
                 int seen = 0;
                 return AgentGetPSTList(l, CountStore, &seen) == 1 && seen == 2;
             },
             {}},
        };
    }

    // The connections (the agent's numbers) that sent a request since the
    // records were cleared and were still held by the call when the armed
    // allocation failed: all but those whose file was closed before, and
    // those a call first used afterwards (to clean up after the failure).
    std::set<int> ConnectionsHeldAtFault() const
    {
        const std::vector<fake::Request> requests = agent_.Requests();
        std::set<int> held, handedBack;
        for (size_t i = 0; i < requests.size() && i < requestsAtFault; ++i) {
            held.insert(requests[i].connection);
            if (requests[i].opcode == OpCloseHandle)
                handedBack.insert(requests[i].connection);
        }
        for (int c : handedBack)
            held.erase(c);
        return held;
    }

    void LogOffExtra()
    {
        if (extra_ != nullptr) {
            EXPECT_EQ(AgentLogoff(extra_), 1);
        }
        extra_ = nullptr;
    }

    AGENT_LOGON extra_ = nullptr;
    fake::TempDirectory local_;
    const WString host_ = W(u"127.0.0.1"), user_ = W(u"user"), password_ = W(u"secret");
    const WString path_ = W(u"C:\\x"), other_ = W(u"C:\\y"), drive_ = W(u"C:\\"), remote_ = W(u"C:\\data.bin");
    const WString desktop_ = W(u"C:\\Users\\u\\Desktop"), favorites_ = W(u"C:\\Users\\u\\Favorites");
    const WString copy_ = local_.Path(u"copy.bin");
    const WString putSource_ = local_.Path(u"put.bin");
    Bytes content_, putContent_;
    BOOL noCancel_ = 0;
    AGENT_COPY_ITEM putItem_ = {};
};

const char *KindName(Fault kind)
{
    switch (kind) {
    case Fault::Send: return "send";
    case Fault::Receive: return "receive";
    case Fault::Allocation: return "allocation";
    }
    return "?";
}

} // namespace

TEST_F(FaultSweep, EveryNthSendReceiveAndAllocationOfEveryExport)
{
    size_t runs = 0;
    for (const Export &e : Exports()) {
        for (Fault kind : {Fault::Send, Fault::Receive, Fault::Allocation}) {
            agent::platform::StartFaults(kind, 0);
            bool clean = e.call();
            const unsigned reached = agent::platform::FaultEvents(kind);
            agent::platform::StopFaults();
            clean = clean && (!e.check || e.check());
            LogOffExtra();
            ASSERT_TRUE(clean) << e.name << " fails without any fault: " << GetLastError();
            if (kind != Fault::Allocation) {
                EXPECT_GT(reached, 0u) << e.name << " never reached the " << KindName(kind) << " fault point";
            }
            for (unsigned n = 1; n <= reached; ++n) {
                SCOPED_TRACE(std::string(e.name) + ": " + KindName(kind) + " " + std::to_string(n) + " of " +
                             std::to_string(reached));
                if (std::getenv("FAULT_SWEEP_VERBOSE") != nullptr)
                    std::fprintf(stderr, "%s: %s %u of %u\n", e.name, KindName(kind), n, reached);
                agent::LastAgentError = 0;
                SetLastError(0);
                agent_.ClearRecords();
                requestsAtFault = 0;
                agent::platform::StartFaults(kind, n);
                bool ok = e.call();
                agent::platform::StopFaults();
                const DWORD cause = GetLastError();
                const std::set<int> held = ConnectionsHeldAtFault();
                if (ok && e.check) {
                    EXPECT_TRUE(e.check()) << "a success with a wrong result";
                }
                LogOffExtra();
                if (!ok) {
                    EXPECT_NE(cause, 0u);
                    if (e.recordsFailures) {
                        EXPECT_NE(AgentGetLastError(), 0u);
                    }
                    // Whatever the call held when memory ran out is destroyed.
                    if (kind == Fault::Allocation) {
                        for (int c : held)
                            EXPECT_TRUE(agent_.WaitUntil([&] { return !agent_.IsOpen(c); }))
                                << "connection " << c << " of the failed call is still open";
                    }
                }
                // A failed send or receive always fails the call: nothing
                // the library does stands in for a lost message.
                if (kind != Fault::Allocation && e.everyLostMessageFails) {
                    EXPECT_FALSE(ok);
                }
                ExpectOnlySoundConnectionsPooled();
                ++runs;
            }
        }
    }
    EXPECT_GT(runs, 100u);
    std::printf("fault sweep: %zu faulted runs\n", runs);
}

// An allocation failure that a call only reports through its return code.
// ACE's streams allocate without throwing, and the one such failure they
// survive (ACE crashes when a stream cannot grow) is gathering a request
// of many pieces into one block before it is sent. The call fails with 8
// and the connection it held is destroyed, although nothing was sent on
// it.
TEST_F(FaultSweep, AllocationFailureReportedByReturnCode)
{
    // About 60 KB of payload grown in blocks of at most 32 KiB; only the
    // 64 KiB block that gathers them is refused.
    const DWORD count = 5000;
    const WString name = W(u"n");
    std::vector<const WCHAR *> names(count, name.c_str());
    std::vector<DWORD> values(count, 1);
    ASSERT_EQ(Idle(), 1); // the call takes this one
    failNothrowFrom = 48 * 1024;
    const BOOL ok = AgentMergePST(logon_, path_.c_str(), path_.c_str(), path_.c_str(), names.data(), values.data(), count);
    failNothrowFrom = 0;
    const DWORD cause = GetLastError();
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(cause, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Idle(), 0) << "the connection of the failed call was pooled";
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; })) << agent_.Open() << " still open";
}
