// The reference agent under attack from loopback: a renaming client trying
// to steer opens out of the served tree, memory and slots held by clients
// that never log on, password guessing, names Windows cannot hold.
#include "agent_harness.h"
#include "file_messages.h"
#include "confined_path.h"
#include "protocol/fss_util.h"
#include "logon_throttle.h"
#include "win32_codes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace refagent_test;
using fake::Payload;
using fake::RequestBytes;
using fake::BareRequest;
using namespace agent;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSecret = "SECRET-OUTSIDE-THE-SERVED-TREE";

uint32_t Status(RawClient &c, const Bytes &request)
{
    if (!c.Send(request))
        return 0xDEADBEEF;
    const ReplyMessage r = c.ReadReply();
    return r.ok && r.payload.size() >= 4 ? U32(r.payload, 0) : 0xDEADBEEF;
}

Bytes Open(const char16_t *path, bool write)
{
    return fake::OpenRequest(path, write ? 0xC0000000u : 0x80000000u, 3, 3, 0x80);
}

size_t ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6));
    return 0;
}

void RaiseDescriptorLimit()
{
    struct rlimit limit;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_GE(limit.rlim_cur, 1200u) << "the test needs descriptors for 500 connections at both ends";
}

class Race : public ::testing::TestWithParam<refagent::Resolver> {
protected:
    void SetUp() override { refagent::SetResolver(GetParam()); }
    void TearDown() override { refagent::SetResolver(refagent::Resolver::Auto); }
};

// One client swaps C:\D and C:\E by renames while others open and read or
// write C:\D\L: D\L is a file inside, E\L a link to a file outside. No
// byte of the outside file may ever be read or overwritten.
TEST_P(Race, RenamingFoldersNeverLeadsAnOpenOutside)
{
    ScratchDir outside, tree;
    outside.Write("secret.txt", kSecret);
    tree.Write("D/L", "inside");
    tree.MakeDir("E");
    ASSERT_EQ(::symlink((outside.path() + "/secret.txt").c_str(), (tree.path() + "/E/L").c_str()), 0);
    RunningAgent agent(tree.path());

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, leaks{0}, renames{0}, failures{0};
    std::thread renamer([&] {
        RawClient c(agent.port());
        if (!c.LogOn()) {
            ++failures;
            return;
        }
        const std::pair<const char16_t *, const char16_t *> steps[] = {
            {u"C:\\D", u"C:\\T"}, {u"C:\\E", u"C:\\D"}, {u"C:\\T", u"C:\\E"}};
        while (!stop)
            for (const auto &[from, to] : steps)
                if (Status(c, fake::MoveRequest(from, to)) == 0)
                    ++renames;
    });
    auto reader = [&](bool write) {
        RawClient c(agent.port());
        if (!c.LogOn()) {
            ++failures;
            return;
        }
        while (!stop) {
            if (Status(c, Open(u"C:\\D\\L", write)) != 0)
                continue;
            if (write) {
                c.Send(fake::Concat({fake::Header(Request, OpWriteFile, 6), fake::Hex("4f 56 45 52 2d 57")}));
                c.ReadReply();
            }
            c.Send(fake::ReadAtRequest(4096, 0));
            const Bytes head = c.Read(20);
            const Bytes data = head.size() == 20 ? c.Read(U32(head, 16)) : Bytes();
            const std::string text(data.begin(), data.end());
            if (text.find("SECRET") != std::string::npos)
                ++leaks;
            ++reads;
            if (Status(c, BareRequest(OpCloseHandle)) != 0)
                ++failures;
        }
    };
    std::thread r1(reader, false), r2(reader, false), w1(reader, true);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    renamer.join();
    r1.join();
    r2.join();
    w1.join();
    EXPECT_EQ(failures, 0);
    EXPECT_GT(renames, 30) << "the race was not run";
    EXPECT_GT(reads, 30) << "the race was not run";
    EXPECT_EQ(leaks, 0);
    std::ifstream secret(outside.path() + "/secret.txt");
    std::string content((std::istreambuf_iterator<char>(secret)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, kSecret);
}

INSTANTIATE_TEST_SUITE_P(BothResolvers, Race, ::testing::Values(refagent::Resolver::Openat2, refagent::Resolver::Walk));

TEST(Starvation, RealClientsAreServedWhile500SilentConnectionsAreHeld)
{
    RaiseDescriptorLimit();
    ScratchDir tree;
    tree.Write("f.txt", "x");
    RunningAgent agent(tree.path(), [](refagent::AgentConfig &c) { c.maxConnections = 16; });
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 500; ++i) {
        silent.push_back(std::make_unique<RawClient>(agent.port()));
        ASSERT_TRUE(silent.back()->connected()) << i;
        if (i % 2 == 0) {
            ASSERT_TRUE(silent.back()->Send(fake::Hex("01 00 01 00 02 00"))); // half a header
        }
    }
    const Clock::time_point held = Clock::now();
    // More real clients than session slots, one after another.
    for (int i = 0; i < 20; ++i) {
        RawClient c(agent.port());
        ASSERT_TRUE(c.LogOn()) << "client " << i;
        EXPECT_EQ(Status(c, fake::PathRequest(OpPathFileExists, u"C:\\f.txt")), 0u);
    }
    // The silent ones got no answer; they are closed at the logon deadline.
    if (Clock::now() - held < std::chrono::seconds(8)) {
        EXPECT_TRUE(silent.back()->Silent(0));
    }
    EXPECT_TRUE(silent.front()->ClosedByPeer(15000));
}

TEST(Starvation, NothingSizableIsTakenBeforeLogonOrOnAnAnnouncementAlone)
{
    ScratchDir tree;
    RunningAgent agent(tree.path(), 32);
    // Before a logon a request of more than 4 KiB closes the connection
    // at once; a logon with long names still fits.
    for (uint32_t length : {4097u, 1u << 20, kMaxPayloadLength}) {
        RawClient c(agent.port());
        ASSERT_TRUE(c.Send(fake::Header(Request, OpLogon, length)));
        EXPECT_TRUE(c.ClosedByPeer()) << length;
    }
    RawClient longNames(agent.port());
    const std::u16string name(900, u'n');
    EXPECT_EQ(Status(longNames, fake::LogonRequest(u"alice", u"s3cret", name, name, true)), 0u);

    // After logon, announcing 64 MiB and sending a few bytes reserves only
    // what arrived: 16 such connections would have cost 1 GiB.
    const size_t before = ResidentKiB();
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 16; ++i) {
        clients.push_back(std::make_unique<RawClient>(agent.port()));
        ASSERT_TRUE(clients.back()->LogOn());
        ASSERT_TRUE(clients.back()->Send(fake::Concat({fake::Header(Request, OpWriteFile, kMaxPayloadLength),
                                                       Bytes(1000, 0x55)})));
    }
    EXPECT_TRUE(clients.back()->Silent(300));
    EXPECT_LT(ResidentKiB(), before + 64 * 1024) << "resident KiB before: " << before;
}

TEST(Deadlines, SilentStalledAndIdleConnectionsAreClosedAsConfigured)
{
    ScratchDir tree;
    struct Case {
        const char *what;
        int idleSeconds;
        bool logOn;
        Bytes then;
        bool closed;
    } cases[] = {
        {"never logs on", 0, false, Bytes(), true},
        {"half a logon", 0, false, fake::Hex("01 00 01 00 02 00 00 00 40 00 00 00 aa"), true},
        {"stalls inside a request", 0, true, fake::Hex("01 00 01 00 19 00 00 00 40 00 00 00 aa"), true},
        {"idle past --idle-timeout", 1, true, Bytes(), true},
        {"idle without an idle limit", 0, true, Bytes(), false},
    };
    for (const Case &c : cases) {
        RunningAgent agent(tree.path(), [&](refagent::AgentConfig &config) {
            config.logonTimeout = std::chrono::seconds(1);
            config.readTimeout = std::chrono::seconds(1);
            config.idleTimeout = std::chrono::seconds(c.idleSeconds);
        });
        RawClient client(agent.port());
        if (c.logOn) {
            ASSERT_TRUE(client.LogOn()) << c.what;
        }
        if (!c.then.empty()) {
            ASSERT_TRUE(client.Send(c.then));
        }
        if (c.closed) {
            EXPECT_TRUE(client.ClosedByPeer(6000)) << c.what;
        } else {
            EXPECT_TRUE(client.Silent(2500)) << c.what;
        }
    }
}

TEST(Deadlines, AClientThatStopsReadingALargeReplyIsLetGo)
{
    // Far more than loopback's socket buffers hold, so the agent's send
    // waits on the client.
    constexpr size_t kSize = 48u << 20;
    ScratchDir tree;
    tree.Write("big.bin", std::string(kSize, 'b'));
    RunningAgent agent(tree.path(), [](refagent::AgentConfig &config) {
        config.readTimeout = std::chrono::seconds(1); // also bounds each wait to send
        config.idleTimeout = std::chrono::seconds(0);
    });
    RawClient client(agent.port());
    ASSERT_TRUE(client.LogOn());
    ASSERT_EQ(Status(client, Open(u"C:\\big.bin", false)), 0u);
    ASSERT_TRUE(client.Send(fake::ReadAtRequest(static_cast<uint32_t>(kSize), 0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    // Given up on: what was already buffered arrives, then the close, well
    // short of the whole reply (header, status, count, data).
    const Bytes rest = client.Read(kSize + 20, 10000);
    EXPECT_LT(rest.size(), kSize);
    EXPECT_TRUE(client.ClosedByPeer(2000));
}

TEST(LogonThrottling, DefaultScheduleMakesAHundredGuessesTakeMinutes)
{
    const refagent::ThrottleSchedule schedule;
    std::chrono::milliseconds total{0};
    for (unsigned n = 1; n <= 100; ++n)
        total += refagent::DelayAfter(n, schedule);
    EXPECT_EQ(refagent::DelayAfter(1, schedule).count(), 200);
    EXPECT_EQ(refagent::DelayAfter(2, schedule).count(), 400);
    EXPECT_EQ(refagent::DelayAfter(60, schedule).count(), 5000);
    EXPECT_EQ(refagent::DelayAfter(1000000, schedule).count(), 5000);
    EXPECT_GE(total.count(), 400000);

    // Answers to one address are spaced by the delay however many arrive at
    // once; another address has its own count.
    refagent::LogonThrottle throttle(schedule);
    const Clock::time_point t0 = Clock::now();
    Clock::time_point last = t0;
    for (int i = 0; i < 10; ++i) {
        const auto verdict = throttle.Failure("10.0.0.1", t0);
        EXPECT_GE(verdict.answerAt - last, refagent::DelayAfter(verdict.failures, schedule));
        last = verdict.answerAt;
    }
    EXPECT_EQ(throttle.Failure("10.0.0.2", t0).answerAt - t0, schedule.first);
    // A source is forgotten after a quiet spell.
    EXPECT_EQ(throttle.Failure("10.0.0.1", t0 + schedule.memory + std::chrono::seconds(1)).failures, 1u);
}

TEST(LogonThrottling, GuessesGetSlowWhileACorrectLogonIsAnsweredAtOnce)
{
    ScratchDir tree;
    RunningAgent agent(tree.path(), [](refagent::AgentConfig &c) {
        c.throttle.first = std::chrono::milliseconds(100);
        c.throttle.max = std::chrono::milliseconds(1600);
    });
    auto guess = [](RawClient &c) {
        return c.Send(fake::LogonRequest(u"alice", u"guess", u"", u"H", true));
    };
    // Eight guesses on four connections at once are answered one delay
    // apart: 0.1 + 0.2 + 0.4 + 0.8 + 4 x 1.6 s at the least.
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> guessers;
    std::atomic<int> refused{0};
    for (int i = 0; i < 4; ++i)
        guessers.emplace_back([&] {
            RawClient c(agent.port());
            for (int k = 0; k < 2; ++k)
                if (guess(c) && U32(c.ReadReply(10000).payload, 0) == refagent::kErrorLogonFailure)
                    ++refused;
        });
    for (std::thread &t : guessers)
        t.join();
    EXPECT_EQ(refused, 8);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(7900));

    // With the next wrong answer 1.6 s away, a correct logon from another
    // client goes through first.
    RawClient guesser(agent.port());
    ASSERT_TRUE(guess(guesser));
    RawClient user(agent.port());
    EXPECT_TRUE(user.LogOn());
    EXPECT_TRUE(guesser.Silent(0));
    EXPECT_EQ(U32(guesser.ReadReply(10000).payload, 0), refagent::kErrorLogonFailure);

    // A handful of failures on one connection closes it.
    RunningAgent quick(tree.path(), [](refagent::AgentConfig &c) {
        c.throttle.first = c.throttle.max = std::chrono::milliseconds(1);
    });
    RawClient persistent(quick.port());
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(guess(persistent));
        EXPECT_EQ(U32(persistent.ReadReply().payload, 0), refagent::kErrorLogonFailure);
    }
    EXPECT_TRUE(persistent.ClosedByPeer());
}

TEST(Names, CharactersAWindowsPathCannotHoldAreRefusedWith123)
{
    ScratchDir tree;
    tree.Write("docs/a.txt", "hello");
    RunningAgent agent(tree.path());
    RawClient c(agent.port());
    ASSERT_TRUE(c.LogOn());
    const std::u16string bad[] = {
        std::u16string(u"C:\\docs\\a.txt\0.exe", 18), // would name a.txt if cut at the NUL
        std::u16string(u"C:\\docs\0", 8),
        u"C:\\docs\\a<b", u"C:\\docs\\a>b", u"C:\\docs\\a\"b", u"C:\\docs\\a|b", u"C:\\docs\\a?b", u"C:\\docs\\a*b",
        u"C:\\docs\\a:b", u"C:\\docs\\a\x01", u"C:\\docs\\tab\there", u"C:\\docs\\\xD800x", u"C:\\docs\\x\xDC00",
    };
    for (const std::u16string &path : bad) {
        Payload p;
        p.u32(static_cast<uint32_t>(path.size() * 2));
        for (char16_t unit : path)
            p.u16(unit);
        for (uint32_t op : {OpGetFileAttributes, OpPathFileExists, OpCreateDirectory, OpRemovePath})
            EXPECT_EQ(Status(c, RequestBytes(op, p)), refagent::kErrorInvalidName)
                << "opcode " << op << ", " << path.size() << " units";
    }
    EXPECT_EQ(Status(c, fake::PathRequest(OpPathFileExists, u"C:\\docs\\a.txt")), 0u);
}

} // namespace
