// Drive enumeration: record decoding in both byte orders, bounded texts,
// records cut off mid-field, and the connection's fate at close.
#include "agent_test.h"
#include "entries.h"

#include "session/last_agent_error.h"

#include <cstring>

using fake::AgentTest;
using fake::Bytes;
using fake::DriveEntry;
using fake::Payload;
using fake::W;
using fake::WString;
using namespace agent;

namespace {

DriveEntry Drive(uint32_t seed, const char16_t *text1, const char16_t *text2)
{
    DriveEntry d;
    for (uint32_t i = 0; i < 9; ++i)
        d.values[i] = seed * 100 + i + 1;
    d.text1 = W(text1);
    d.text2 = W(text2);
    return d;
}

void ExpectValues(const AgentDriveInfo &info, const DriveEntry &d)
{
    const DWORD got[] = {info.Value1, info.Value2, info.Value3, info.Value4, info.Value5,
                         info.Value6, info.Value7, info.Value8, info.Value9};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(got[i], d.values[i]) << "Value" << i + 1;
}

void ExpectDrive(const AgentDriveInfo &info, const DriveEntry &d)
{
    ExpectValues(info, d);
    EXPECT_EQ(WString(info.Text1), d.text1);
    EXPECT_EQ(WString(info.Text2), d.text2);
}

AgentDriveInfo Stale()
{
    AgentDriveInfo info;
    std::memset(&info, 0x5A, sizeof info);
    info.Text1[260] = 0;
    info.Text2[260] = 0;
    return info;
}

} // namespace

TEST_F(AgentTest, NoDrives)
{
    for (const Bytes &reply : {fake::Header(2, OpFindFirstDrive, 0),
                               fake::Concat({fake::Header(2, OpFindFirstDrive, 9), fake::EndChunk()})}) {
        agent_.Queue(OpFindFirstDrive, fake::Send(reply));
        LastAgentError = 0;
        AgentDriveInfo info;
        EXPECT_EQ(AgentFindFirstLogicalDriveW(logon_, &info), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(AgentGetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_EQ(Idle(), 1);
    }
    LastAgentError = 4242;
    AgentDriveInfo info;
    EXPECT_EQ(AgentFindFirstLogicalDriveW(nullptr, &info), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentFindFirstLogicalDriveW(logon_, nullptr), nullptr);
    EXPECT_EQ(AgentFindNextLogicalDriveW(nullptr, &info), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(AgentGetLastError(), 4242u);
}

TEST_F(AgentTest, LongDriveTextsAreCutToTheirFields)
{
    const size_t lengths[] = {259, 260, 261, 300};
    for (size_t n : lengths) {
        SCOPED_TRACE(n);
        DriveEntry d = Drive(4, u"", u"");
        d.text1 = fake::LongName(n);
        d.text2 = fake::LongName(n + 7);
        agent_.Queue(OpFindFirstDrive, fake::Send(fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(d)})));
        AgentDriveInfo info = Stale();
        HANDLE handle = AgentFindFirstLogicalDriveW(logon_, &info);
        ASSERT_NE(handle, nullptr);
        ExpectValues(info, d);
        EXPECT_EQ(WString(info.Text1), d.text1.substr(0, 260));
        EXPECT_EQ(WString(info.Text2), d.text2.substr(0, 260));
        // The fields after each text are the record's, not text spilling over.
        EXPECT_EQ(info.Value3, d.values[2]);
        EXPECT_EQ(info.Value6, d.values[5]);
        EXPECT_EQ(AgentCloseHandle(logon_, handle), 1);
    }
}

// A record is not cleared: the fields read before the fault hold the new
// record, the rest keep what the caller had.
TEST_F(AgentTest, DriveRecordCutOffMidField)
{
    const DriveEntry first = Drive(1, u"C:\\", u"NTFS");
    const DriveEntry next = Drive(2, u"D:\\", u"FAT32");
    const Bytes full = fake::DriveRecord(next).bytes();
    // 9 values (36 bytes), Text1 count at 36, "D:\" at 40..45, pad, Text2 count at 48, text from 52.
    struct Case {
        size_t at;
        int valuesRead;
        bool text1Read;
    } cases[] = {{2, 0, false}, {13, 3, false}, {36, 9, false}, {42, 9, false}, {50, 9, true}, {58, 9, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.at);
        Payload damaged;
        damaged.raw(Bytes(full.begin(), full.begin() + c.at));
        agent_.Queue(OpFindFirstDrive,
                     fake::Send(fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(first), damaged,
                                                                      fake::DriveRecord(next)})));
        AgentDriveInfo info;
        HANDLE handle = AgentFindFirstLogicalDriveW(logon_, &info);
        ASSERT_NE(handle, nullptr);
        LastAgentError = 0;
        EXPECT_EQ(AgentFindNextLogicalDriveW(handle, &info), 0);
        EXPECT_EQ(GetLastError(), 13u);
        EXPECT_EQ(AgentGetLastError(), 13u);
        const DWORD got[] = {info.Value1, info.Value2, info.Value3, info.Value4, info.Value5,
                             info.Value6, info.Value7, info.Value8, info.Value9};
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(got[i], i < c.valuesRead ? next.values[i] : first.values[i]) << "Value" << i + 1;
        EXPECT_EQ(WString(info.Text1), c.text1Read ? next.text1 : first.text1);
        EXPECT_EQ(WString(info.Text2), first.text2);
        // The enumeration goes on with the next chunk.
        ASSERT_EQ(AgentFindNextLogicalDriveW(handle, &info), 1);
        ExpectDrive(info, next);
        EXPECT_EQ(AgentCloseHandle(logon_, handle), 1);
        EXPECT_EQ(Idle(), 0); // closed before its end marker
        EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
        PoolConnections(1);
    }
}

TEST_F(AgentTest, DriveHandleIsNotASearchHandle)
{
    agent_.Queue(OpFindFirstDrive, fake::Send(fake::SearchStream(OpFindFirstDrive,
                                                                 {fake::DriveRecord(Drive(1, u"C:\\", u"x"))})));
    AgentDriveInfo info;
    HANDLE handle = AgentFindFirstLogicalDriveW(logon_, &info);
    ASSERT_NE(handle, nullptr);
    WIN32_FIND_DATAW data;
    EXPECT_EQ(AgentFindNextFileW(handle, &data), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ACCESS));
    // Nothing was consumed: the drive stream is intact.
    EXPECT_EQ(AgentFindNextLogicalDriveW(handle, &info), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(AgentCloseHandle(logon_, handle), 1);
    EXPECT_EQ(Idle(), 1);
}

TEST_F(AgentTest, DriveReplyForAnotherOpcodeDropsTheConnection)
{
    agent_.Queue(OpFindFirstDrive, fake::Send(fake::Header(2, OpFindFirst, 0)));
    AgentDriveInfo info;
    EXPECT_EQ(AgentFindFirstLogicalDriveW(logon_, &info), nullptr);
    EXPECT_EQ(Idle(), 0);
    EXPECT_TRUE(agent_.WaitUntil([&] { return agent_.Open() == 0; }));
}
