// agentcli as a person runs it: subcommands against a reference agent,
// their output, exit statuses and error texts; discovery inside a network
// namespace of the test's own.
#include "backup_engine.h"
#include "e2e_support.h"
#include "remote_copy.h"
#include "wide_text.h"
#include "win32_messages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace agentcli;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        e2e::MakeSampleTree(work_ / "source", 3, 2u << 20);
        e2e::WriteFile(work_ / "source/Users/alice/Documents/mail/box.pst", "!BDN-store");
        e2e::WriteFile(work_ / "source/Users/alice/Favorites/x.url", "[InternetShortcut]");
        agent_ = std::make_unique<e2e::AgentProcess>(work_ / "source");
    }

    e2e::RunResult Cli_(std::vector<std::string> args, const std::string &password = "s3cret")
    {
        args.insert(args.begin(), AGENTCLI_PATH);
        return e2e::Run(args, {"AGENT_PORT=" + std::to_string(agent_->port()), "AGENT_USER=alice",
                               "AGENT_PASSWORD=" + password});
    }

    e2e::TempDir work_;
    std::unique_ptr<e2e::AgentProcess> agent_;
};

TEST_F(Cli, BackupCopiesTheTreeAndPrintsASummary)
{
    const e2e::RunResult r = Cli_({"backup", "--no-progress", "--jobs", "3", "C:\\", work_ / "copy"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("53 files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0 failed"), std::string::npos) << r.out;
    EXPECT_EQ(e2e::CompareTrees(work_ / "source", work_ / "copy"), "");
    // Progress is drawn when asked for, on stderr only.
    const e2e::RunResult again = Cli_({"backup", "--progress", "C:\\docs", work_ / "docs"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(e2e::CompareTrees(work_ / "source/docs", work_ / "docs"), "");
}

TEST_F(Cli, BackupReportsEveryFileItCouldNotCopyAndExitsNonZero)
{
    // A named pipe is listed like a file but the agent refuses to open it
    // (permissions would not stop a test that runs as root). Links out of
    // the tree are listed as reparse points, refused when opened, and
    // skipped: they are not failures.
    ASSERT_EQ(::mkfifo((work_ / "source/docs/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/etc/hostname", (work_ / "source/docs/escape.txt").c_str()), 0);
    ASSERT_EQ(::symlink(work_.path().c_str(), (work_ / "source/docs/escape-dir").c_str()), 0);
    const e2e::RunResult r = Cli_({"backup", "--no-progress", "C:\\", work_ / "copy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("FAILED C:\\docs\\pipe (copy): error 5 (Access is denied.)"), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("2 skipped, 1 failed"), std::string::npos) << r.out;
    EXPECT_FALSE(std::filesystem::exists(work_ / "copy/docs/pipe"));
    EXPECT_FALSE(std::filesystem::exists(work_ / "copy/docs/escape.txt"));
    EXPECT_FALSE(std::filesystem::exists(work_ / "copy/docs/escape-dir"));
    EXPECT_TRUE(std::filesystem::exists(work_ / "copy/docs/report 2024.docx"));
}

TEST_F(Cli, LookingAtFilesDrivesAndTheSystem)
{
    e2e::RunResult r = Cli_({"ls", "C:\\docs"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("70001  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("report 2024.docx"), std::string::npos);
    EXPECT_NE(r.out.find("d----"), std::string::npos);
    r = Cli_({"ls", "C:\\Ünïcödé\\*.txt"});
    EXPECT_NE(r.out.find("日本語のファイル.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 entries"), std::string::npos);
    r = Cli_({"stat", "C:\\media\\big.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("size:       2097152"), std::string::npos) << r.out;
    r = Cli_({"get", "C:\\media\\odd-size.bin", work_ / "odd.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(work_ / "odd.bin"), e2e::ReadFile(work_ / "source/media/odd-size.bin"));
    // A partial file that is not a stopped copy of this file is started over.
    e2e::WriteFile(work_ / "odd2.bin.agent-partial", std::string(40, 'x'));
    r = Cli_({"get", "--resume", "C:\\media\\odd-size.bin", work_ / "odd2.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(work_ / "odd2.bin"), e2e::ReadFile(work_ / "source/media/odd-size.bin"));
    EXPECT_FALSE(std::filesystem::exists(work_ / "odd2.bin.agent-partial"));
    r = Cli_({"drives"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("C:\\ ", 0), 0u) << r.out;
    r = Cli_({"df", "C:\\"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("512 bytes/sector"), std::string::npos) << r.out;
    r = Cli_({"os"});
    EXPECT_EQ(r.out, "OS version 0x1DB10106: 6.1 build 7601\n");
}

TEST_F(Cli, CopiesShowProgressWhenAskedAndVersionIsTheLibrarys)
{
    // Progress goes to stderr only, so the copies' own output stays clean.
    const std::vector<std::vector<std::string>> commands = {
        {"get", "--progress", "C:\\media\\big.bin", work_ / "big.bin"},
        {"put", "--progress", work_ / "source/media/big.bin", "C:\\big-again.bin"},
        {"pst", "get", "--progress", work_ / "stores"},
        {"backup", "--progress", "C:\\docs", work_ / "docs"},
    };
    for (const auto &command : commands) {
        const e2e::RunResult r = Cli_(command);
        EXPECT_EQ(r.status, 0) << command[0] << ": " << r.err;
        EXPECT_EQ(r.out.find('\r'), std::string::npos) << command[0];
        // Only redraws of the line, each after a carriage return, and the
        // line cleared at the end.
        ASSERT_FALSE(r.err.empty()) << command[0];
        EXPECT_EQ(r.err.back(), '\r') << command[0];
        for (size_t at = 0; at < r.err.size();) {
            const size_t next = std::min(r.err.find('\r', at + 1), r.err.size());
            const std::string piece = r.err.substr(at, next - at);
            EXPECT_TRUE(piece.find_first_not_of(" \r") == std::string::npos || piece.find(" files ") != std::string::npos)
                << command[0] << ": " << piece;
            at = next;
        }
        const e2e::RunResult quiet = Cli_({command[0], "--no-progress", "--help"});
        EXPECT_EQ(quiet.status, 0) << command[0];
    }
    EXPECT_EQ(e2e::ReadFile(work_ / "big.bin"), e2e::ReadFile(work_ / "source/media/big.bin"));
    const e2e::RunResult v = e2e::Run({AGENTCLI_PATH, "--version"});
    EXPECT_EQ(v.status, 0);
    const std::string version = std::to_string(AGENT_STUB_VERSION_MAJOR) + "." +
                                std::to_string(AGENT_STUB_VERSION_MINOR) + "." +
                                std::to_string(AGENT_STUB_VERSION_PATCH);
    EXPECT_NE(v.out.find("agent_stub library " + version + ")"), std::string::npos) << v.out;
}

TEST_F(Cli, UserDataCommands)
{
    e2e::RunResult r = Cli_({"folders", "5", "6"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("C:\\Users\\alice\\Documents"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("C:\\Users\\alice\\Favorites"), std::string::npos);
    r = Cli_({"folders", "0x27"}); // Pictures: not in the tree
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 2 (The system cannot find the file specified.)"), std::string::npos) << r.err;
    r = Cli_({"bookmarks"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("IE favorites:        C:\\Users\\alice\\Favorites"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Firefox 3 bookmarks: none (error 2)"), std::string::npos);
    r = Cli_({"pst", "list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1 mail stores"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("C:\\Users\\alice\\Documents\\mail\\box.pst  (box)"), std::string::npos);
    r = Cli_({"pst", "get", work_ / "stores"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(work_ / "stores/box.pst"), "!BDN-store");
}

// put mirrors get: into a remote folder under the local name or onto a
// remote path (replacing what is there), with the local last-write time;
// a failure exits 1 and leaves the remote side as it was.
TEST_F(Cli, PutSendsOneFileBackAndLeavesNothingHalfDone)
{
    const std::string big = work_ / "source/media/big.bin";
    e2e::RunResult r = Cli_({"put", big, "C:\\docs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, big + " -> C:\\docs\\big.bin (2097152 bytes)\n");
    EXPECT_TRUE(e2e::ReadFile(work_ / "source/docs/big.bin") == e2e::ReadFile(big));
    struct stat from, to;
    ASSERT_EQ(::stat(big.c_str(), &from), 0);
    ASSERT_EQ(::stat((work_ / "source/docs/big.bin").c_str(), &to), 0);
    EXPECT_EQ(to.st_mtim.tv_sec, from.st_mtim.tv_sec);
    EXPECT_EQ(to.st_mtim.tv_nsec / 100, from.st_mtim.tv_nsec / 100);

    e2e::WriteFile(work_ / "note.txt", "replaced");
    r = Cli_({"put", "--resume", work_ / "note.txt", "C:\\media\\odd-size.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(work_ / "source/media/odd-size.bin"), "replaced");

    const auto before = e2e::Snapshot(work_ / "source");
    r = Cli_({"put", work_ / "missing.txt", "C:\\docs\\m.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 2 "), std::string::npos) << r.err;
    r = Cli_({"put", work_ / "note.txt", "C:\\no-such-folder\\m.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 3 "), std::string::npos) << r.err;
    EXPECT_TRUE(e2e::Snapshot(work_ / "source") == before);
    EXPECT_EQ(Cli_({"put", work_ / "note.txt"}).status, 2);
}

TEST_F(Cli, FailuresPrintTheWin32CodeAndItsMeaning)
{
    e2e::RunResult r = Cli_({"os"}, "wrong");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 1326 (The user name or password is incorrect.)"), std::string::npos) << r.err;
    r = Cli_({"stat", "C:\\..\\x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 5 (Access is denied.)"), std::string::npos) << r.err;
    r = Cli_({"get", "C:\\missing.txt", work_ / "m.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 2 "), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(work_ / "m.txt"));
    EXPECT_FALSE(std::filesystem::exists(work_ / "m.txt.agent-partial"));
    r = Cli_({"ls", "C:\\no-such-folder"});
    EXPECT_EQ(r.status, 1);
    r = Cli_({"backup", "C:\\no-such-folder", work_ / "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 2"), std::string::npos) << r.err;
    // Nobody listening.
    agent_->Kill();
    r = Cli_({"os"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("error 10061 (No connection could be made"), std::string::npos) << r.err;
}

TEST_F(Cli, EveryCommandHasHelpAndUsageErrorsExitTwo)
{
    for (const char *command : {"probe", "ls", "stat", "get", "put", "backup", "drives", "df", "os", "folders", "bookmarks",
                                "pst"}) {
        const e2e::RunResult r = e2e::Run({AGENTCLI_PATH, command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind(std::string("usage: agentcli ") + command, 0), 0u) << command << ": " << r.out;
    }
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "--help"}).status, 0);
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH}).status, 2);
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "frobnicate"}).status, 2);
    EXPECT_EQ(Cli_({"ls"}).status, 2);
    EXPECT_EQ(Cli_({"ls", "--bogus", "C:\\"}).status, 2);
    EXPECT_EQ(Cli_({"backup", "--jobs", "0", "C:\\", work_ / "x"}).status, 2);
    EXPECT_EQ(Cli_({"pst", "merge"}).status, 2);
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "os"}).status, 2); // no port anywhere
    EXPECT_EQ(Cli_({"os", "--timeout", "soon"}).status, 2);
    EXPECT_EQ(Cli_({"os", "--timeout", "5"}).status, 0);
}

// Discovery broadcasts go to every adapter's subnet, so the probe runs in
// a network namespace of its own with a dummy adapter, never on the host's.
TEST(CliProbe, FindsTheReferenceAgentInsideANetworkNamespace)
{
    if (e2e::Run({"/usr/bin/unshare", "-n", "true"}).status != 0)
        GTEST_SKIP() << "no network namespaces here";
    e2e::TempDir work;
    e2e::WriteFile(work / "source/a.txt", "a");
    const std::string script =
        "set -e\n"
        "ip link set lo up\n"
        "ip link add probe0 type bridge\n"
        "ip addr add 10.203.0.1/24 dev probe0\n"
        "ip link set probe0 up\n"
        "'" REFERENCE_AGENT_PATH "' --user alice --password s3cret --port-file '" + work.path() +
        "/port' --discovery-port 47123 --discovery-any-source --name PROBE-TEST '" + work.path() +
        "/source' >/dev/null 2>&1 &\n"
        "agent=$!\n"
        "for i in $(seq 100); do [ -s '" + work.path() + "/port' ] && break; sleep 0.05; done\n"
        "set +e\n"
        "'" AGENTCLI_PATH "' probe --discovery-port 47123 --wait-ms 1500 --sweeps 3\n"
        "status=$?\n"
        "kill $agent; wait $agent 2>/dev/null\n"
        "exit $status\n";
    e2e::WriteFile(work / "probe.sh", script);
    const e2e::RunResult r = e2e::Run({"/usr/bin/unshare", "-n", "/bin/sh", work / "probe.sh"}, {}, 60);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string port = e2e::ReadFile(work / "port");
    ASSERT_FALSE(port.empty());
    EXPECT_EQ(r.out, "10.203.0.1  value " + std::to_string(std::atoi(port.c_str())) + "  PROBE-TEST\n");
}

TEST(CliPieces, TextConversionsAndErrorTexts)
{
    WString w;
    ASSERT_TRUE(Widen("a\xc3\xa9\xf0\x9f\x98\x80", w));
    EXPECT_EQ(w.size(), 4u); // a, é, and a surrogate pair
    EXPECT_EQ(Narrow(w), "a\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_FALSE(Widen("\xc3", w));
    EXPECT_FALSE(Widen("\xe0\x80\x80", w)); // overlong
    EXPECT_FALSE(Widen("\xed\xa0\x80", w)); // surrogate
    const WCHAR lone[] = {0xD800, 'x', 0};
    EXPECT_EQ(Narrow(lone), "\xef\xbf\xbdx");

    EXPECT_EQ(DescribeError(5), "error 5 (Access is denied.)");
    EXPECT_EQ(DescribeError(424242), "error 424242 (unknown error)");

    for (const char *bad : {"", ".", "..", "a/b", "a\\b", "c:d"})
        EXPECT_FALSE(IsSafeName(WidenOrEmpty(bad))) << bad;
    EXPECT_TRUE(IsSafeName(WidenOrEmpty("ok name.txt")));
    EXPECT_EQ(PartialName("/x/y.bin"), "/x/y.bin.agent-partial");
}

// Stores of one file name (in other folders, or differing in case beyond
// ASCII) each get a local file, and pst get names them as the library does.
TEST_F(Cli, PstGetKeepsEveryStoreOfOneName)
{
    const std::map<std::string, std::string> stores = {
        {"a/outlook.pst", "first"}, {"b/OUTLOOK.pst", "second"}, {"c/\xc3\xa4rchiv.pst", "third"},
        {"d/\xc3\x84rchiv.pst", "fourth"}};
    for (const auto &s : stores)
        e2e::WriteFile(work_ / ("source/" + s.first), s.second);
    const e2e::RunResult r = Cli_({"pst", "get", work_ / "cli"});
    EXPECT_EQ(r.status, 0) << r.err;

    AGENT_LOGON logon = AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), agent_->port(), WidenOrEmpty("alice").c_str(),
                                    WidenOrEmpty("s3cret").c_str());
    ASSERT_NE(logon, nullptr);
    EXPECT_EQ(AgentGetPst2Local(logon, WidenOrEmpty(work_ / "library").c_str()), 1) << GetLastError();
    AgentLogoff(logon);

    // Each file holds the store it is named after, a later store of one
    // name under "<stem> (2).pst"; the listing order decides which is later.
    const auto copied = e2e::Snapshot(work_ / "cli");
    EXPECT_EQ(copied, e2e::Snapshot(work_ / "library"));
    EXPECT_EQ(copied.size(), 5u);
    size_t renamed = 0;
    for (const auto &c : copied) {
        std::string name = c.first;
        const size_t mark = name.find(" (2)");
        if (mark != std::string::npos) {
            name.erase(mark, 4);
            ++renamed;
        }
        std::string expected = "!BDN-store";
        for (const auto &s : stores)
            if (s.first.substr(2) == name)
                expected = s.second;
        EXPECT_EQ(c.second, "file:" + expected) << c.first; // Snapshot's form of a file
    }
    EXPECT_EQ(renamed, 2u);
}

} // namespace
