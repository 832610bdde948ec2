// agentcli as a person runs it: subcommands against a reference agent,
// their output, exit statuses and error texts; discovery inside a network
// namespace of the test's own.
#include "backup_engine.h"
#include "cli_common.h"
#include "e2e_support.h"
#include "local_files.h"
#include "name_filter.h"
#include "name_set.h"
#include "progress_line.h"
#include "run_control.h"
#include "remote_copy.h"
#include "wide_text.h"
#include "win32_messages.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include <thread>
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
        e2e::WriteFile(work_ / ("source/" + kFirefox), "bookmarks");
        agent_ = std::make_unique<e2e::AgentProcess>(work_ / "source");
    }

    e2e::RunResult Cli_(std::vector<std::string> args, const std::string &password = "s3cret")
    {
        args.insert(args.begin(), AGENTCLI_PATH);
        return e2e::Run(args, {"AGENT_PORT=" + std::to_string(agent_->port()), "AGENT_USER=alice",
                               "AGENT_PASSWORD=" + password});
    }

    const std::string kFirefox = "Users/alice/AppData/Roaming/Mozilla/Firefox/Profiles/ab12.default/places.sqlite";
    e2e::TempDir work_;
    std::unique_ptr<e2e::AgentProcess> agent_;
};

// A named pipe is listed like a file but the agent refuses to open it
// (permissions would not stop a test that runs as root). Links out of the
// tree are listed as reparse points, refused when opened, and skipped: they
// are not failures.
TEST_F(Cli, BackupCopiesTheTreeAndReportsEveryFileItCouldNotCopy)
{
    ASSERT_EQ(::mkfifo((work_ / "source/docs/pipe").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/etc/hostname", (work_ / "source/docs/escape.txt").c_str()), 0);
    ASSERT_EQ(::symlink(work_.path().c_str(), (work_ / "source/docs/escape-dir").c_str()), 0);
    const e2e::RunResult r = Cli_({"backup", "--no-progress", "--jobs", "3", "C:\\", work_ / "copy"});
    EXPECT_EQ(r.status, 23);
    EXPECT_NE(r.err.find("FAILED C:\\docs\\pipe (copy): error 5 (Access is denied.)"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("54 files"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 skipped, 1 failed"), std::string::npos) << r.out;
    for (const char *name : {"pipe", "escape.txt", "escape-dir"})
        std::filesystem::remove(work_ / "source/docs/" + name);
    EXPECT_EQ(e2e::CompareTrees(work_ / "source", work_ / "copy"), "");
}

// What each command prints, or the cause of its failure on stderr (the
// local side blamed before the agent is asked), and its exit status.
TEST_F(Cli, CommandsPrintWhatTheAgentHoldsOrTheCauseAndExitWithItsStatus)
{
    const std::string missingFolder = work_ / "no/such/dir/x.bin", odd = work_ / "source/media/odd-size.bin";
    e2e::WriteFile(work_ / "password", "s3cret\n");
    // A partial file that is not a stopped copy of this file is started over.
    e2e::WriteFile(agentcli::PartialName(work_ / "odd2.bin"), std::string(40, 'x'));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> says; // on stdout when the command succeeds, else on stderr
        std::string password = "s3cret";
    } cases[] = {
        {{"ls", "C:\\docs"}, 0, {"----a          70001  ", "  report 2024.docx\n", "d----  "}},
        {{"ls", "C:\\Ünïcödé\\*.txt"}, 0, {"  日本語のファイル.txt\n", "\n2 entries\n"}},
        {{"stat", "C:\\media\\big.bin"}, 0, {"size:       2097152"}},
        {{"get", "C:\\media\\odd-size.bin", work_ / "odd.bin"}, 0, {}},
        {{"get", "--resume", "C:\\media\\odd-size.bin", work_ / "odd2.bin"}, 0, {}},
        {{"drives"}, 0, {"C:\\    "}},
        {{"df", "C:\\"}, 0, {"512 bytes/sector"}},
        {{"os"}, 0, {"OS version 0x1DB10106: 6.1 build 7601\n"}},
        {{"folders", "5", "6"}, 0, {"0x05  C:\\Users\\alice\\Documents\n", "0x06  C:\\Users\\alice\\Favorites\n"}},
        {{"bookmarks", "--get", work_ / "places.sqlite"}, 0,
         {"IE favorites:        C:\\Users\\alice\\Favorites\n",
          "Firefox 3 bookmarks: C:\\Users\\alice\\AppData\\Roaming\\Mozilla\\Firefox\\Profiles\\ab12.default\\places.sqlite\n"}},
        {{"pst", "list"}, 0, {"1 mail stores", "C:\\Users\\alice\\Documents\\mail\\box.pst  (box)"}},
        {{"folders", "0x27"}, 23, {"error 2 (The system cannot find the file specified.)"}}, // Pictures: not in the tree
        {{"os"}, 5, {"error 1326 (The user name or password is incorrect.)"}, "wrong"},
        {{"stat", "C:\\..\\x"}, 23, {"error 5 (Access is denied.)"}},
        {{"get", "C:\\missing.txt", work_ / "m.txt"}, 23, {"copying C:\\missing.txt: error 2 "}},
        {{"get", "C:\\media\\big.bin", missingFolder}, 11,
         {"local folder " + work_ / "no/such/dir" + " (for " + missingFolder + "): error 3 "}},
        {{"put", work_ / "missing.txt", "C:\\docs\\m.txt"}, 11, {"local file " + work_ / "missing.txt" + ": error 2 "}},
        {{"put", odd, "C:\\no-such-folder\\m.txt"}, 23, {"copying " + odd + ": error 3 "}},
        {{"ls", "C:\\no-such-folder"}, 23, {"error 2 "}},
        {{"backup", "C:\\no-such-folder", work_ / "x"}, 23, {"error 2 "}},
        // What a shell leaves of an unquoted C:\docs.
        {{"ls", "C:docs"}, 1, {"did the shell eat it? Quote the path ('C:\\docs')"}},
        {{"ls"}, 1, {"wrong number of arguments"}},
        {{"ls", "--bogus", "C:\\"}, 1, {"unknown option --bogus"}},
        {{"backup", "--jobs", "0", "C:\\", work_ / "x"}, 1, {"--jobs"}},
        {{"backup", "--chunk-size=4096", "C:\\", work_ / "x"}, 1, {"--verify=content only"}},
        {{"pst", "merge"}, 1, {}},
        {{"os", "--timeout", "soon"}, 1, {"--timeout"}},
        {{"os", "-v", "-q"}, 1, {"exclude each other"}},
        {{"backup", "--bwlimit=fast", "C:\\media", work_ / "out"}, 1, {"--bwlimit"}},
        {{"os", "--timeout=5"}, 0, {}},
        {{"os", "--speed-limit=slow"}, 1, {"--speed-limit"}},
        {{"os", "--speed-time=0"}, 1, {"--speed-time"}},
        {{"os", "--speed-limit=0", "--speed-time=5"}, 0, {}},
        // A password file wins over the environment.
        {{"os", "--password-file", work_ / "password"}, 0, {}, "wrong"},
        {{"os", "--password-file=" + work_ / "none"}, 11, {work_ / "none"}},
    };
    for (const Case &c : cases) {
        const e2e::RunResult r = Cli_(c.args, c.password);
        const std::string line = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << line << ": " << r.err;
        for (const std::string &says : c.says)
            EXPECT_NE((c.status == 0 ? r.out : r.err).find(says), std::string::npos) << line << ": " << r.out << r.err;
    }
    for (const char *copy : {"odd.bin", "odd2.bin"})
        EXPECT_TRUE(e2e::ReadFile(work_ / copy) == e2e::ReadFile(odd)) << copy;
    EXPECT_EQ(e2e::ReadFile(work_ / "places.sqlite"), "bookmarks");
    EXPECT_TRUE(e2e::PartialFiles(work_.path()).empty());
    EXPECT_FALSE(std::filesystem::exists(work_ / "m.txt"));
    EXPECT_FALSE(std::filesystem::exists(work_ / "out"));
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "os"}).status, 1); // no port anywhere
    // Nobody listening.
    agent_->Kill();
    const e2e::RunResult r = Cli_({"os"});
    EXPECT_EQ(r.status, 10);
    EXPECT_NE(r.err.find("error 10061 (No connection could be made"), std::string::npos) << r.err;
}

// Progress goes to stderr only, so the copies' own output stays clean: only
// redraws of the line, each after a carriage return, and the line cleared at
// the end.
TEST_F(Cli, CopiesShowProgressWhenAsked)
{
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
        ASSERT_FALSE(r.err.empty()) << command[0];
        EXPECT_EQ(r.err.back(), '\r') << command[0];
        for (size_t at = 0; at < r.err.size();) {
            const size_t next = std::min(r.err.find('\r', at + 1), r.err.size());
            const std::string piece = r.err.substr(at, next - at);
            EXPECT_TRUE(piece.find_first_not_of(" \r") == std::string::npos || piece.find(" files ") != std::string::npos)
                << command[0] << ": " << piece;
            at = next;
        }
    }
    EXPECT_TRUE(e2e::ReadFile(work_ / "big.bin") == e2e::ReadFile(work_ / "source/media/big.bin"));
    EXPECT_EQ(e2e::CompareTrees(work_ / "source/docs", work_ / "docs"), "");
}

// put sends a file into a remote folder under the local name, or onto a
// remote path replacing what is there. --bwlimit reaches the library's
// limit: a 2 MiB file at 1 MiB/s is its first chunk at once and the second a
// second later (a lower bound only).
TEST_F(Cli, PutSendsOneFileBackPacedByBwlimit)
{
    const std::string big = work_ / "source/media/big.bin";
    const auto start = std::chrono::steady_clock::now();
    const e2e::RunResult paced = Cli_({"put", "--bwlimit", "1024", big, "C:\\docs"});
    EXPECT_EQ(paced.status, 0) << paced.err;
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_TRUE(e2e::ReadFile(work_ / "source/docs/big.bin") == e2e::ReadFile(big));
    EXPECT_EQ(paced.out, big + " -> C:\\docs\\big.bin (2097152 bytes)\n");
    e2e::WriteFile(work_ / "note.txt", "replaced");
    const e2e::RunResult r = Cli_({"put", "--resume", work_ / "note.txt", "C:\\media\\odd-size.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(e2e::ReadFile(work_ / "source/media/odd-size.bin"), "replaced");
}

// Every command's help names its exit statuses, and the copies accept
// --no-progress; --version names the library's version.
TEST(CliUsage, EveryCommandHasHelpWithTheExitStatuses)
{
    for (const std::string command : {"probe", "ls", "stat", "get", "put", "backup", "drives", "df", "os", "folders",
                                      "bookmarks", "pst"}) {
        const bool copies = command == "get" || command == "put" || command == "backup" || command == "pst";
        const e2e::RunResult r =
            e2e::Run(copies ? std::vector<std::string>{AGENTCLI_PATH, command, "--no-progress", "-h"}
                            : std::vector<std::string>{AGENTCLI_PATH, command, "-h"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.rfind("usage: agentcli " + command, 0), 0u) << command << ": " << r.out;
        EXPECT_NE(r.out.find("  23  partial"), std::string::npos) << command;
        if (command == "backup") {
            EXPECT_NE(r.out.find("--bwlimit=RATE"), std::string::npos);
        }
    }
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "--help"}).status, 0);
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH}).status, 1);
    EXPECT_EQ(e2e::Run({AGENTCLI_PATH, "frobnicate"}).status, 1);
    const e2e::RunResult v = e2e::Run({AGENTCLI_PATH, "--version"});
    EXPECT_EQ(v.status, 0);
    const std::string version = std::to_string(AGENT_STUB_VERSION_MAJOR) + "." +
                                std::to_string(AGENT_STUB_VERSION_MINOR) + "." +
                                std::to_string(AGENT_STUB_VERSION_PATCH);
    EXPECT_NE(v.out.find("agent_stub library " + version + ")"), std::string::npos) << v.out;
}

// rsync's habits: unchanged files kept by default, -q silent, a dry run that
// writes nothing, filters, --delete that removes only what the agent no
// longer has (a link out as a link), and a check naming local leftovers.
TEST_F(Cli, BackupFollowsRsyncConventions)
{
    const std::string copy = work_ / "copy";
    e2e::RunResult r = Cli_({"backup", "--no-progress", "C:\\docs", copy});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto first = e2e::Snapshot(copy);
    r = Cli_({"backup", "-q", "C:\\docs", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "-q printed on success";
    r = Cli_({"backup", "--no-progress", "--ignore-times", "C:\\docs", copy});
    EXPECT_EQ(r.out.find(": 0 files, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 0 unchanged"), std::string::npos) << r.out;

    // The agent gains a file and loses one; the copy has a leftover of its
    // own, an excluded local file and a link out.
    e2e::WriteFile(work_ / "source/docs/new.txt", "new");
    const std::string gone = first.begin()->first; // sorted: some entry of the first copy
    std::filesystem::remove_all(work_ / ("source/docs/" + gone));
    e2e::WriteFile(copy + "/stale/old.txt", "old");
    e2e::WriteFile(copy + "/notes.keep", "mine");
    e2e::WriteFile(work_ / "outside/precious.txt", "keep me");
    ASSERT_EQ(::symlink((work_ / "outside").c_str(), (copy + "/link").c_str()), 0);
    const auto before = e2e::Snapshot(copy);
    const std::string manifest = e2e::ReadFile(copy + "/.agent-manifest");
    r = Cli_({"backup", "-n", "--delete", "--exclude=*.keep", "C:\\docs", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find(".agent-manifest"), std::string::npos) << "--delete would remove the manifest";
    for (const std::string &line : std::vector<std::string>{"would copy C:\\docs\\new.txt\n", "would delete stale\n",
                                                             "would delete link\n", "would delete " + gone + "\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(r.out.find("notes.keep"), std::string::npos) << r.out;
    EXPECT_EQ(e2e::Snapshot(copy), before) << "a dry run wrote something";
    EXPECT_TRUE(e2e::ReadFile(copy + "/.agent-manifest") == manifest) << "a dry run wrote a manifest";

    r = Cli_({"backup", "--verify", "C:\\docs", copy});
    EXPECT_NE(r.out.find("EXTRA stale: not on the agent"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("FAILED C:\\docs\\new.txt (missing)"), std::string::npos) << r.err;

    r = Cli_({"backup", "--no-progress", "--delete", "--exclude=*.keep", "--exclude", "new.txt", "C:\\docs", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("excluded: 1"), std::string::npos) << r.out;
    for (const std::string &removed : {std::string("new.txt"), std::string("stale"), std::string("link"), gone})
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(copy + "/" + removed))) << removed;
    EXPECT_EQ(e2e::ReadFile(copy + "/notes.keep"), "mine");
    EXPECT_EQ(e2e::ReadFile(work_ / "outside/precious.txt"), "keep me");
}

// A folder the agent cannot read (another owner's, mode 700) is a failure
// with its cause, never an empty folder: ls and backup both say so.
TEST(CliUnreadable, AFolderTheAgentCannotReadIsReportedNotEmpty)
{
    if (!e2e::CanRunAsNobody())
        GTEST_SKIP() << "the agent cannot run as another user here";
    e2e::TempDir work;
    e2e::WriteFile(work / "source/open/a.txt", "a");
    e2e::WriteFile(work / "source/secret/b.txt", "b");
    namespace fs = std::filesystem;
    const auto open = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec;
    for (const std::string &p : {work.path(), work / "source", work / "source/open", work / "source/open/a.txt"})
        fs::permissions(p, open);
    fs::permissions(work / "source/secret", fs::perms::owner_all);
    e2e::AgentProcess agent(work / "source", {}, e2e::kAsNobody);
    e2e::RunResult r = e2e::RunCli(agent.port(), {"ls", "C:\\secret"});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_NE(r.err.find("listing C:\\secret: error 5 "), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("0 entries"), std::string::npos);
    r = e2e::RunCli(agent.port(), {"backup", "C:\\", work / "copy"});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_NE(r.err.find("FAILED C:\\secret (list): error 5 "), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(", 1 failed"), std::string::npos) << r.out;
    EXPECT_EQ(e2e::ReadFile(work / "copy/open/a.txt"), "a");
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
        "'" AGENTCLI_PATH "' probe --discovery-port 47123 --wait-ms 600 --sweeps 3\n"
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
}

// The collision check's name set agrees with a plain set through many
// growths: names from a small alphabet of every length up to 6 units (the
// empty one included), many met again, each insert answered as a set would.
TEST(CliPieces, NameSetAnswersAsASetDoes)
{
    NameSet names;
    std::set<WString> reference;
    uint32_t state = 12345;
    for (int i = 0; i < 60000; ++i) {
        state = state * 1103515245u + 12345u;
        WString name(state >> 28 & 7, u'a');
        for (size_t k = 0; k < name.size(); ++k)
            name[k] = static_cast<WCHAR>(u'a' + (state >> (k * 3 % 24) & 3) + (k == 2 ? 0xE0 : 0));
        ASSERT_EQ(names.Insert(name), reference.insert(name).second) << i;
    }
    EXPECT_EQ(names.size(), reference.size());
    EXPECT_GT(reference.size(), 1000u);
}

// The destination's probe times a flush when asked (the backup's choice
// of batches rests on it) and leaves nothing behind either way.
TEST(CliPieces, TheDestinationProbeTimesAFlushAndLeavesNothing)
{
    const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / "agentcli-probe-test";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    double seconds = -2;
    EXPECT_EQ(ProbeLocalFolder(folder.string(), &seconds), 0u);
    EXPECT_GE(seconds, 0.0);
    EXPECT_EQ(ProbeLocalFolder(folder.string()), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    seconds = -2;
    EXPECT_EQ(ProbeLocalFolder((folder / "missing").string(), &seconds), kLocalPathNotFound);
    EXPECT_EQ(seconds, -1.0);
    std::filesystem::remove_all(folder);
}

// Stores of one file name (in other folders, or differing in case beyond
// ASCII) each get a local file, and pst get names them as the library does.
TEST_F(Cli, PstGetKeepsEveryStoreOfOneName)
{
    for (const auto &[path, content] : std::map<std::string, std::string>{
             {"a/outlook.pst", "first"}, {"b/OUTLOOK.pst", "second"}, {"c/\xc3\xa4rchiv.pst", "third"},
             {"d/\xc3\x84rchiv.pst", "fourth"}})
        e2e::WriteFile(work_ / ("source/" + path), content);
    const e2e::RunResult r = Cli_({"pst", "get", work_ / "cli"});
    EXPECT_EQ(r.status, 0) << r.err;
    AGENT_LOGON logon = AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), agent_->port(), WidenOrEmpty("alice").c_str(),
                                    WidenOrEmpty("s3cret").c_str());
    ASSERT_NE(logon, nullptr);
    EXPECT_EQ(AgentGetPst2Local(logon, WidenOrEmpty(work_ / "library").c_str()), 1) << GetLastError();
    AgentLogoff(logon);

    const auto copied = e2e::Snapshot(work_ / "cli");
    EXPECT_EQ(copied, e2e::Snapshot(work_ / "library"));
    std::multiset<std::string> contents;
    for (const auto &c : copied)
        contents.insert(c.second);
    EXPECT_EQ(contents, (std::multiset<std::string>{"file:first", "file:second", "file:third", "file:fourth",
                                                    "file:!BDN-store"}));
}

// How command lines are read: --opt=value and --opt value alike, short
// flags, repeatable options kept in order, and what is refused.
TEST(CliPieces, OptionParsing)
{
    const Command *backup = nullptr;
    for (const Command &c : Commands())
        if (std::string(c.name) == "backup")
            backup = &c;
    ASSERT_NE(backup, nullptr);
    const struct {
        std::vector<std::string> argv;
        bool ok;
        std::string jobs;                 // --jobs as read
        std::vector<std::string> flags;   // all of them set
        std::vector<std::string> ordered; // name=value of the value options, in order
    } cases[] = {
        {{"--jobs", "3", "A", "B"}, true, "3", {}, {"--jobs=3"}},
        {{"--jobs=3", "A", "B"}, true, "3", {}, {"--jobs=3"}},
        {{"--port=7000", "--user=a=b", "A", "B"}, true, "", {}, {"--port=7000", "--user=a=b"}},
        {{"-n", "-v", "A", "B"}, true, "", {"--dry-run", "--verbose"}, {}},
        {{"-q", "--verify=content", "A", "B"}, true, "", {"--quiet", "--verify=content"}, {}},
        {{"--exclude=*.tmp", "--include", "keep/", "--exclude", "*", "A", "B"}, true, "", {},
         {"--exclude=*.tmp", "--include=keep/", "--exclude=*"}},
        {{"--", "-odd-name", "B"}, true, "", {}, {}},
        {{"--jobs"}, false, "", {}, {}},
        {{"--jobs=", "A", "B"}, true, "", {}, {"--jobs="}}, // refused later as a number
        {{"--bogus=1", "A", "B"}, false, "", {}, {}},
        {{"-x", "A", "B"}, false, "", {}, {}},
        {{"--dry-run=yes", "A", "B"}, false, "", {}, {}},
        {{"-v", "-q", "A", "B"}, false, "", {}, {}},
        {{"A"}, false, "", {}, {}},
        {{"-h"}, true, "", {"--help"}, {}},
    };
    for (const auto &c : cases) {
        Args args;
        std::string error;
        const std::string line = ::testing::PrintToString(c.argv);
        ASSERT_EQ(ParseArgs(c.argv, *backup, args, error), c.ok) << line << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << line;
            continue;
        }
        EXPECT_EQ(args.Value("--jobs"), c.jobs) << line;
        for (const std::string &f : c.flags)
            EXPECT_TRUE(args.Has(f)) << line << " " << f;
        std::vector<std::string> ordered;
        for (const auto &[name, value] : args.ordered)
            ordered.push_back(name + "=" + value);
        EXPECT_EQ(ordered, c.ordered) << line;
    }
}

// --bwlimit's rates as rsync reads them, and what is refused.
TEST(CliPieces, BandwidthRates)
{
    const struct {
        const char *text;
        bool ok;
        uint32_t bytes;
    } cases[] = {
        {"0", true, 0},          {"0M", true, 0},           {"100", true, 102400},  {"100k", true, 102400},
        {"100KiB", true, 102400}, {"100KB", true, 100000},   {"1.5M", true, 1572864}, {"2m", true, 2097152},
        {"1MB", true, 1000000},   {"3G", true, 3221225472u}, {"1GB", true, 1000000000}, {"512B", true, 512},
        {".5", true, 512},        {"4G", false, 0},          {"5000000", false, 0},   {"0.5B", false, 0},
        {"", false, 0},           {"M", false, 0},           {"-1", false, 0},        {"1.2.3", false, 0},
        {"10X", false, 0},        {"10 K", false, 0},        {".", false, 0},         {"1e3", false, 0},
    };
    for (const auto &c : cases) {
        uint32_t bytes = 7;
        EXPECT_EQ(ParseByteRate(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

TEST(CliPieces, ExcludeAndIncludeRulesDecideInOrder)
{
    NameFilter filter;
    filter.Add(true, "keep.tmp");
    filter.Add(false, "*.tmp");
    filter.Add(false, "/build/");
    filter.Add(false, "cache/");
    filter.Add(false, "docs/**/draft-?.txt");
    filter.Add(false, "[0-9]*.log");
    const struct {
        const char *path;
        bool folder, excluded;
    } cases[] = {
        {"a.tmp", false, true},          {"deep/er/a.tmp", false, true},  {"keep.tmp", false, false},
        {"deep/keep.tmp", false, false}, {"a.tmpx", false, false},        {"build", true, true},
        {"build", false, false},         {"src/build", true, false},      {"cache", true, true},
        {"x/cache", true, true},         {"cache", false, false},         {"docs/a/b/draft-1.txt", false, true},
        {"docs/draft-1.txt", false, false}, {"docs/a/draft-12.txt", false, false}, {"7days.log", false, true},
        {"days.log", false, false},      {"readme", false, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(filter.Excluded(c.path, c.folder), c.excluded) << c.path << (c.folder ? "/" : "");
    const struct {
        const char *glob, *text;
        bool match;
    } globs[] = {{"a*b", "ab", true},   {"a*b", "a/b", false}, {"a**b", "a/x/b", true}, {"[!a]x", "bx", true},
                 {"[!a]x", "ax", false}, {"\\*", "*", true},   {"\\*", "a", false}};
    for (const auto &g : globs)
        EXPECT_EQ(GlobMatch(g.glob, g.text), g.match) << g.glob << " " << g.text;
}

TEST(CliPieces, ExitStatusOfEachCause)
{
    const struct {
        uint32_t code;
        Side side;
        int status;
    } cases[] = {
        {0, Side::Remote, 0},        {2, Side::Remote, 23},       {5, Side::Remote, 23},
        {5, Side::Local, 11},        {112, Side::Local, 11},      {1326, Side::Remote, 5},
        {10061, Side::Remote, 10},   {11001, Side::Remote, 10},   {10054, Side::Remote, 12},
        {13, Side::Remote, 12},      {10040, Side::Remote, 12},   {10060, Side::Remote, 30},
        {1235, Side::Remote, 20},    {1006, Side::Remote, 23},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ExitCodeFor(c.code, c.side), c.status) << c.code;
    EXPECT_NE(std::string(Win32Message(1006)), "unknown error");
    EXPECT_EQ(Printable("a\x1b[31mb\tc"), "a\\x1B[31mb\\x09c");
}

// A run's stop decisions: three connection failures in a row, one
// time-out, a full local disk; repeats of one code printed only so often.
TEST(CliPieces, RunControlStopsOnTheRightFailures)
{
    std::vector<std::string> printed;
    RunControl gone([&](const std::string &l) { printed.push_back(l); });
    EXPECT_FALSE(gone.Failed({"C:\\a", 10054, "copy"}));
    gone.Copied("C:\\b"); // the agent answered in between: the count starts over
    EXPECT_FALSE(gone.Failed({"C:\\c", 10061, "copy"}));
    EXPECT_FALSE(gone.Failed({"C:\\d", 10061, "copy"}));
    EXPECT_TRUE(gone.Failed({"C:\\e", 10061, "copy"}));
    EXPECT_EQ(gone.StopExitCode(), 12);
    EXPECT_NE(gone.StopMessage().find("remote C:\\e"), std::string::npos) << gone.StopMessage();
    EXPECT_EQ(printed.size(), 4u);

    RunControl frozen;
    EXPECT_TRUE(frozen.Failed({"C:\\a", 10060, "copy"}));
    EXPECT_EQ(frozen.StopExitCode(), 30);

    RunControl full;
    EXPECT_TRUE(full.Failed({"C:\\a", 112, "copy"}, "/nonexistent-dir/a"));
    EXPECT_EQ(full.StopExitCode(), 11);
    EXPECT_NE(full.StopMessage().find("local /nonexistent-dir"), std::string::npos) << full.StopMessage();

    printed.clear();
    RunControl many([&](const std::string &l) { printed.push_back(l); });
    for (int i = 0; i < 25; ++i)
        EXPECT_FALSE(many.Failed({"C:\\f" + std::to_string(i), 5, "copy"}));
    EXPECT_EQ(printed.size(), RunControl::kLinesPerCause);
    EXPECT_EQ(many.Suppressed().at(5), 25 - RunControl::kLinesPerCause);
    EXPECT_FALSE(many.Stopped());
}

// The progress line at every width from a tiny to a wide terminal: never
// longer than the width allows (it would wrap and stack), always the
// percentage first, the time left where it fits.
TEST(CliPieces, ProgressLineFitsEveryWidth)
{
    for (int columns = 8; columns <= 160; ++columns) {
        const std::string line = RenderProgress(12, 340, 700u << 20, 2800ull << 20, 10.0, columns);
        EXPECT_LE(line.size(), static_cast<size_t>(columns - 1)) << columns;
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(line.rfind(" 25%", 0), 0u) << columns << ": " << line;
        if (columns >= 40) {
            // 2100 MiB left at 70 MiB/s.
            EXPECT_NE(line.find("ETA 0:30"), std::string::npos) << columns << ": " << line;
        }
        if (columns >= 120) {
            EXPECT_NE(line.find("12/340 files"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(RenderProgress(0, 0, 0, 0, 0, 40).find('%'), std::string::npos); // no total, no percentage
    // Bytes a partial file already held count as done, not as speed.
    const std::string resumed = RenderProgress(0, 1, 600u << 20, 1000u << 20, 10.0, 80, 500u << 20);
    EXPECT_EQ(resumed.rfind(" 60%", 0), 0u) << resumed;
    EXPECT_NE(resumed.find("10.0 MiB/s"), std::string::npos) << resumed;
}

} // namespace
