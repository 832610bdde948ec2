// Exchanges through the connection's own buffers: no allocation per call
// once a connection has been used, requests byte-exact however the buffer
// was used before, replies read ahead in one receive, and bytes beyond a
// reply treated as the protocol violation they are.
#include "agent_test.h"
#include "file_messages.h"
#include "messages.h"
#include "file_server.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

using namespace agent;
using fake::Bytes;
using fake::Payload;
using fake::W;

// Counts the calling thread's heap allocations while a test asks for it.
// Only where the C library's own entry points can be reached (glibc) and
// no sanitizer (ASan, TSan) owns malloc.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define AGENT_COUNTS_ALLOCATIONS 1
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
namespace {
thread_local bool counting = false;
thread_local size_t allocations = 0;
} // namespace
extern "C" void *malloc(size_t n)
{
    if (counting)
        ++allocations;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size)
{
    if (counting)
        ++allocations;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n)
{
    if (counting)
        ++allocations;
    return __libc_realloc(p, n);
}
#endif

namespace {

class LeanExchangeTest : public fake::AgentTest {
protected:
    // Every one-exchange request the table below makes is answered.
    void AnswerAll()
    {
        for (uint32_t op : {OpPathFileExists, OpSetFileAttributes, OpCreateDirectory, OpRemovePath, OpMoveFile,
                            OpSetFileTime})
            agent_.Always(op, fake::StatusReply(op, 0));
        agent_.Always(OpGetFileAttributes, fake::AttributesReply(0, 0x20));
        agent_.Always(OpGetFileAttributesEx, fake::AttributeDataReply(fake::AttributeData(0x20, {1, 2}, {3, 4}, {5, 6}, 7)));
        agent_.Always(OpGetDiskFreeSpace, fake::DiskSpaceReply(0, 8, 512, 9, 10));
        agent_.Always(OpGetOSVersion, fake::OsVersionReply(0x1DB10106));
        agent_.Always(OpWriteFile, fake::CountReply(OpWriteFile, 0, 16));
        BY_HANDLE_FILE_INFORMATION info{};
        info.nFileIndexLow = 12;
        agent_.Always(OpGetFileInformation, fake::InformationReply(info));
    }
};

struct NamedCall {
    const char *name;
    std::function<bool()> call;
};

TEST_F(LeanExchangeTest, OneExchangeCallsAllocateNothingAfterFirstUse)
{
#ifndef AGENT_COUNTS_ALLOCATIONS
    GTEST_SKIP() << "allocations are counted only with glibc and without a sanitizer that owns malloc";
#else
    AnswerAll();
    fake::ServeFile(agent_, std::make_shared<const Bytes>(fake::PatternBytes(64 * 1024)));
    const fake::WString path = W(u"C:\\dir\\file.txt"), odd = W(u"C:\\ab");
    HANDLE file = AgentCreateFileW(logon_, path.c_str(), 0x80000000u, 1, 3, 0);
    ASSERT_NE(file, nullptr) << GetLastError();
    char data[4096];
    const FILETIME time = {1, 2};
    const NamedCall calls[] = {
        {"PathFileExists", [&] { return AgentPathFileExistsW(logon_, path.c_str()) == 1; }},
        {"GetFileAttributes", [&] { return AgentGetFileAttributesW(logon_, path.c_str()) == 0x20; }},
        {"GetFileAttributesEx", [&] {
             WIN32_FILE_ATTRIBUTE_DATA a;
             return AgentGetFileAttributesExW(logon_, path.c_str(), &a) == 1 && a.nFileSizeLow == 7;
         }},
        {"SetFileAttributes", [&] { return AgentSetFileAttributesW(logon_, odd.c_str(), 0x20) == 1; }},
        {"CreateDirectory", [&] { return AgentCreateDirectoryW(logon_, path.c_str()) == 1; }},
        {"RemovePath", [&] { return AgentRemovePath(logon_, path.c_str()) == 1; }},
        {"MoveFile", [&] { return AgentMoveFile(logon_, path.c_str(), odd.c_str()) == 1; }},
        {"GetDiskFreeSpace", [&] {
             DWORD a = 0, b = 0, c = 0, d = 0;
             return AgentGetDiskFreeSpace(logon_, path.c_str(), &a, &b, &c, &d) == 1 && b == 512;
         }},
        {"GetOSVersion", [&] { return AgentGetOSVersion(logon_) == 0x1DB10106u; }},
        {"ReadFile", [&] {
             DWORD read = 0;
             return AgentReadFile(file, data, 100, &read) == 1 && read == 100;
         }},
        {"ReadFilePosition", [&] {
             DWORD read = 0;
             return AgentReadFilePosition(file, data, sizeof data, &read, 100, 0) == 1 && read == sizeof data;
         }},
        {"SetFilePointerEx", [&] {
             LARGE_INTEGER to = {}, now = {};
             return AgentSetFilePointerEx(file, to, &now, 0) == 1;
         }},
        {"WriteFile", [&] {
             DWORD written = 0;
             return AgentWriteFile(file, data, 16, &written) == 1 && written == 16;
         }},
        {"GetFileInformationByHandle", [&] {
             BY_HANDLE_FILE_INFORMATION info;
             return AgentGetFileInformationByHandle(file, &info) == 1 && info.nFileIndexLow == 12;
         }},
        {"SetFileTime", [&] { return AgentSetFileTime(file, &time, &time, &time) == 1; }},
    };
    // The counter sees allocations made through the C++ library (so an
    // export that allocates cannot pass unseen).
    allocations = 0;
    counting = true;
    { const std::string probe(64 + sizeof calls, 'x'); }
    counting = false;
    ASSERT_GE(allocations, 1u);
    for (const NamedCall &c : calls) {
        ASSERT_TRUE(c.call()) << c.name << " " << GetLastError(); // the connection's first use
        allocations = 0;
        counting = true;
        bool ok = true;
        for (int i = 0; i < 20; ++i)
            ok = c.call() && ok;
        counting = false;
        EXPECT_TRUE(ok) << c.name;
        EXPECT_EQ(allocations, 0u) << c.name;
    }
    EXPECT_EQ(AgentCloseHandle(logon_, file), 1);
#endif
}

// Requests of every size, one after the other on one connection: each is
// byte for byte what a fresh stream would give, padding zero although the
// buffer held longer requests before, and one that outgrows the buffer
// goes out whole.
TEST_F(LeanExchangeTest, RequestsAreExactWhateverCameBefore)
{
    AnswerAll();
    const size_t lengths[] = {300, 1, 2, 3, 4, 5, 1019, 1020, 1021, 2030, 2031, 2040, 5000, 7, 9, 2};
    const uint32_t attributes = 0x80;
    for (size_t n : lengths) {
        // Filled with a code unit whose bytes are never zero.
        const fake::WString path = W(u"C:\\") + fake::WString(n, u'\x4A4A');
        agent_.ClearRecords();
        ASSERT_EQ(AgentSetFileAttributesW(logon_, path.c_str(), attributes), 1) << n;
        ASSERT_EQ(AgentCreateDirectoryW(logon_, path.c_str()), 1) << n;
        const auto set = agent_.RequestsOf(OpSetFileAttributes);
        const auto made = agent_.RequestsOf(OpCreateDirectory);
        ASSERT_EQ(set.size(), 1u);
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(set[0].raw(), fake::SetAttributesRequest(path, attributes))
            << n;
        EXPECT_EQ(made[0].raw(), fake::PathRequest(OpCreateDirectory, path)) << n;
    }
    EXPECT_EQ(agent_.Accepted(), 1); // all on the one pooled connection
}

// A read reply and its data split into two writes at every position, for
// data that fit the receive buffer and data that do not: the caller gets
// exactly the data and the file stays open.
TEST_F(LeanExchangeTest, ReadDataSplitAnywhereArrivesWhole)
{
    agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
    agent_.Always(OpCloseHandle, fake::StatusReply(OpCloseHandle, 0));
    HANDLE file = AgentCreateFileW(logon_, W(u"C:\\f").c_str(), 0x80000000u, 1, 3, 0);
    ASSERT_NE(file, nullptr);
    for (size_t size : {size_t(1), size_t(37), size_t(30000)}) {
        const Bytes data = fake::PatternBytes(size);
        const Bytes reply =
            fake::DataReply(OpReadFileAt, 0, data);
        // Every split of the short replies; for the long one, the splits
        // around the header, the payload and the buffer's end.
        std::vector<size_t> splits;
        for (size_t at = 1; at < reply.size(); ++at)
            if (reply.size() < 100 || at < 40 || (at > 20400 && at < 20520) || at % 997 == 0)
                splits.push_back(at);
        for (size_t at : splits) {
            agent_.Queue(OpReadFileAt, fake::Send(Bytes(reply.begin(), reply.begin() + at))
                                           .ThenSend(Bytes(reply.begin() + at, reply.end()), 1));
            std::vector<char> out(size + 8, 0x11);
            DWORD read = 0;
            ASSERT_EQ(AgentReadFilePosition(file, out.data(), static_cast<DWORD>(size + 8), &read, 0, 0), 1)
                << size << " split " << at << " error " << GetLastError();
            ASSERT_EQ(read, size);
            ASSERT_EQ(0, std::memcmp(out.data(), data.data(), size)) << size << " split " << at;
        }
    }
    EXPECT_EQ(AgentCloseHandle(logon_, file), 1);
    EXPECT_EQ(agent_.CountOf(OpCloseHandle), 1u); // still open after every read
}

// Bytes the agent sends beyond a reply, found in the same receive: the call
// keeps the result its reply gave, but the connection is never reused (it
// would take them for the next reply).
TEST_F(LeanExchangeTest, BytesBeyondTheReplyRetireTheConnection)
{
    const Bytes exists = fake::StatusReply(OpPathFileExists, 0);
    const Bytes attributes = fake::AttributesReply(0, 0x20);
    struct Case {
        const char *name;
        Bytes reply;
        bool attributeCall;
        int idleAfter;
    } cases[] = {
        {"clean status", exists, false, 1},
        {"status and junk", fake::Concat({exists, fake::Hex("de ad be ef")}), false, 0},
        {"status and one byte", fake::Concat({exists, fake::Hex("00")}), false, 0},
        {"clean attributes", attributes, true, 1},
        {"a second reply", fake::Concat({attributes, attributes}), true, 0},
    };
    const fake::WString path = W(u"C:\\x");
    for (const Case &c : cases) {
        // A fresh logon: one pooled connection that has seen nothing yet.
        AgentLogoff(logon_);
        logon_ = LogOn();
        ASSERT_NE(logon_, nullptr);
        ASSERT_EQ(Idle(), 1);
        if (c.attributeCall) {
            agent_.Queue(OpGetFileAttributes, fake::Send(c.reply));
            EXPECT_EQ(AgentGetFileAttributesW(logon_, path.c_str()), 0x20u) << c.name;
        } else {
            agent_.Queue(OpPathFileExists, fake::Send(c.reply));
            EXPECT_EQ(AgentPathFileExistsW(logon_, path.c_str()), 1) << c.name;
        }
        EXPECT_EQ(Idle(), c.idleAfter) << c.name;
    }

    // On a file handle: data and then more. The read stands; the handle's
    // connection is done with, so the next call is refused without a send.
    agent_.Always(OpCreateFile, fake::StatusReply(OpCreateFile, 0));
    HANDLE file = AgentCreateFileW(logon_, path.c_str(), 0x80000000u, 1, 3, 0);
    ASSERT_NE(file, nullptr);
    agent_.Queue(OpReadFileAt, fake::Send(fake::CountReply(OpReadFileAt, 0, 3, fake::Hex("61 62 63 64"))));
    char out[8] = {};
    DWORD read = 0;
    EXPECT_EQ(AgentReadFilePosition(file, out, sizeof out, &read, 0, 0), 1);
    EXPECT_EQ(std::string(out, read), "abc");
    EXPECT_EQ(AgentReadFilePosition(file, out, sizeof out, &read, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    EXPECT_EQ(agent_.CountOf(OpReadFileAt), 1u);
    EXPECT_EQ(AgentCloseHandle(logon_, file), 1);
}

} // namespace
