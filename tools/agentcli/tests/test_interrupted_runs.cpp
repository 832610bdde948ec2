// Runs that cannot finish: the conditions that stop a backup early (agent
// killed or frozen, destination full, read-only or denied) each end it
// with one message that names the side, few FAILED lines and their own exit
// status; a signal keeps the partial files, and the next run continues them
// instead of reading again what was whole.
#include "e2e_support.h"
#include "remote_copy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/wait.h>
#include <thread>

namespace {

constexpr size_t kBig = 64u << 20;
constexpr int kSmallFiles = 300;

// One large file first in the listing, then many small ones.
void MakeTree(const std::string &root)
{
    e2e::WriteFile(root + "/a-big.bin", e2e::PseudoRandomBytes(kBig, 5));
    for (int i = 0; i < kSmallFiles; ++i)
        e2e::WriteFile(root + "/many/f" + std::to_string(i) + ".txt", "small file " + std::to_string(i));
}

std::vector<std::string> Cli(uint16_t port, std::vector<std::string> args)
{
    args.insert(args.begin(), AGENTCLI_PATH);
    for (const std::string &o : {"--port=" + std::to_string(port), std::string("--user=alice"),
                                 std::string("--password=s3cret"), std::string("--no-progress")})
        args.push_back(o);
    return args;
}

bool WaitUntil(const std::function<bool()> &condition, int seconds = 30)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint64_t SizeOf(const std::string &path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    return ec ? 0 : size;
}

// The child's exit status, or -1 when it did not end in time (then killed).
int WaitExit(e2e::Child &child, int seconds)
{
    int status = 0;
    const bool ended = WaitUntil([&] { return ::waitpid(child.pid(), &status, WNOHANG) == child.pid(); }, seconds);
    if (!ended)
        return child.Wait(), -1;
    child.Forget();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool CanRun(const std::vector<std::string> &argv) { return e2e::Run(argv, {}, 20).status == 0; }

enum class Act { KillAgent, FreezeAgent, SmallDisk, ReadOnlyDisk, DeniedFolder };

TEST(FatalConditions, StopTheBackupAtOnceWithOneMessageAndTheirExitStatus)
{
    const struct {
        const char *name;
        Act act;
        int status;
        const char *says;
        int withinSeconds;
    } cases[] = {
        {"agent killed", Act::KillAgent, 12, "stopped: the agent is gone", 30},
        {"agent frozen", Act::FreezeAgent, 30, "stopped: the agent did not answer within the time-out", 12},
        {"destination full", Act::SmallDisk, 11, "local destination takes no more files: local ", 30},
        {"destination read-only", Act::ReadOnlyDisk, 11, "local destination ", 30},
        {"destination denied", Act::DeniedFolder, 11, "local destination ", 30},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempDir work;
        MakeTree(work / "source");
        e2e::AgentProcess agent(work / "source");
        const std::string dest = work / "mnt/copy";
        std::filesystem::create_directories(work / "mnt");
        std::vector<std::string> argv = Cli(agent.port(), {"backup", "--jobs=1", "--timeout=2", "C:\\", dest});
        // The local conditions are made inside a mount namespace of the
        // run's own (tmpfs full or read-only) or by running as nobody.
        const std::string quoted = [&] {
            std::string line;
            for (const std::string &a : argv)
                line += " '" + a + "'";
            return line;
        }();
        if (c.act == Act::SmallDisk || c.act == Act::ReadOnlyDisk) {
            if (!CanRun({"/usr/bin/unshare", "-m", "mount", "-t", "tmpfs", "tmpfs", work / "mnt"}))
                GTEST_SKIP() << "no mount namespaces here";
            const std::string mount = c.act == Act::SmallDisk
                                          ? "mount -t tmpfs -o size=4m tmpfs '" + work / "mnt" + "'"
                                          : "mount -t tmpfs tmpfs '" + work / "mnt" + "' && mkdir '" + dest +
                                                "' && mount -o remount,ro '" + work / "mnt" + "'";
            argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", mount + " && exec" + quoted};
        } else if (c.act == Act::DeniedFolder) {
            if (::geteuid() != 0 || !CanRun({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                             "/bin/true"}))
                GTEST_SKIP() << "cannot run as another user here";
            std::filesystem::permissions(work.path(), std::filesystem::perms::owner_all |
                                                          std::filesystem::perms::group_exec |
                                                          std::filesystem::perms::others_exec);
            argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        e2e::Child cli;
        ASSERT_TRUE(cli.Start(argv, work / "out", work / "err"));
        if (c.act == Act::KillAgent || c.act == Act::FreezeAgent) {
            // Once the copy is on its way.
            ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(agentcli::PartialName(dest + "/a-big.bin")) ||
                                               std::filesystem::exists(dest + "/a-big.bin"); }));
            if (c.act == Act::KillAgent)
                agent.Kill();
            else
                agent.Signal(SIGSTOP);
        }
        const auto start = std::chrono::steady_clock::now();
        const int status = WaitExit(cli, 60);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (c.act == Act::FreezeAgent)
            agent.Signal(SIGCONT);
        const std::string err = e2e::ReadFile(work / "err");
        EXPECT_EQ(status, c.status) << err;
        EXPECT_LT(seconds, c.withinSeconds) << err;
        EXPECT_EQ(Count(err, c.says), 1u) << err;
        // One failure per connection that saw it, not one per file.
        EXPECT_LE(Count(err, "FAILED "), 4u) << err;
        EXPECT_EQ(Count(err, "terminate called"), 0u);
    }
}

// A signal during a large file: the copy stops the way that keeps its
// partial file, the run says how to continue, and the next run does.
TEST(Interruptions, KeepThePartialFileAndTheNextRunContinuesIt)
{
    const struct {
        const char *name;
        int signal;
        std::vector<std::string> first, again;
        const char *hint;
    } cases[] = {
        {"get --resume, SIGINT", SIGINT, {"get", "--resume", "C:\\a-big.bin"}, {"get", "--resume", "C:\\a-big.bin"},
         "run again with get --resume"},
        {"get, SIGTERM", SIGTERM, {"get", "C:\\a-big.bin"}, {"get", "--resume", "C:\\a-big.bin"},
         "run again with get --resume"},
        {"backup, SIGINT", SIGINT, {"backup", "--jobs=2", "C:\\"}, {"backup", "--incremental", "C:\\"},
         "run the same backup again"},
        {"backup --incremental, SIGTERM", SIGTERM, {"backup", "--incremental", "C:\\"},
         {"backup", "C:\\"}, "run the same backup again"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempDir work;
        MakeTree(work / "source");
        e2e::AgentProcess agent(work / "source");
        const bool get = c.first[0] == "get";
        const std::string dest = get ? work / "big.bin" : work / "copy";
        const std::string big = get ? dest : dest + "/a-big.bin";
        std::vector<std::string> first = c.first, again = c.again;
        // Paced, so that the signal finds the copy in its middle however
        // fast or loaded the machine is.
        first.insert(first.begin() + 1, "--bwlimit=8M");
        first.push_back(dest);
        again.push_back(dest);
        e2e::Child cli;
        ASSERT_TRUE(cli.Start(Cli(agent.port(), first), work / "out", work / "err"));
        // The agent is held still while the signal arrives, so the copy is
        // caught in the middle whatever the machine's speed.
        ASSERT_TRUE(WaitUntil([&] { return SizeOf(agentcli::PartialName(big)) >= (2u << 20); }));
        agent.Signal(SIGSTOP);
        cli.Kill(c.signal);
        agent.Signal(SIGCONT);
        const int status = WaitExit(cli, 60);
        const std::string err = e2e::ReadFile(work / "err");
        EXPECT_EQ(status, 20) << err;
        EXPECT_NE(err.find(c.hint), std::string::npos) << err;
        EXPECT_FALSE(std::filesystem::exists(big));
        // The partial file holds whole bytes and a 32-byte restart record.
        const uint64_t partial = SizeOf(agentcli::PartialName(big));
        ASSERT_GT(partial, 32u) << err;
        ASSERT_LT(partial, kBig + 32u);
        // A mark in the kept part survives only if the next run continues
        // the file rather than reading it again.
        std::string bytes = e2e::ReadFile(agentcli::PartialName(big));
        bytes[0] = static_cast<char>(bytes[0] ^ 0x5A);
        e2e::WriteFile(agentcli::PartialName(big), bytes);
        const e2e::RunResult r = e2e::Run(Cli(agent.port(), again));
        EXPECT_EQ(r.status, 0) << r.err;
        std::string expected = e2e::ReadFile(work / "source/a-big.bin");
        expected[0] = static_cast<char>(expected[0] ^ 0x5A);
        EXPECT_TRUE(e2e::ReadFile(big) == expected) << "the kept part was read again";
        // Only what was transferred counts as transferred.
        if (get) {
            EXPECT_NE(r.out.find(" of them kept from the partial file)"), std::string::npos) << r.out;
        }
        if (!get) {
            EXPECT_EQ(std::filesystem::file_size(dest + "/many/f7.txt"), std::string("small file 7").size());
        }
    }
}

} // namespace

namespace {

// Whole files only: a stopped copy's partial file does not count.
size_t FilesIn(const std::string &folder)
{
    std::error_code ec;
    size_t n = 0;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        n += !agentcli::IsPartialName(it->path().filename().string());
    return n;
}

// A signal before the listing is through, or among many small files: the
// run stops with 20 and the next one copies only what was not whole.
TEST(Interruptions, DuringTheListingOrAmongSmallFilesTheNextRunFinishesTheRest)
{
    const struct {
        const char *name;
        bool listing; // else among the small files
    } cases[] = {{"during the listing", true}, {"among small files", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempDir work;
        MakeTree(work / "source");
        e2e::AgentProcess agent(work / "source");
        const std::string dest = work / "copy";
        e2e::Child cli;
        if (c.listing)
            agent.Signal(SIGSTOP); // the logon and the listing wait on it
        ASSERT_TRUE(cli.Start(Cli(agent.port(), {"backup", "--jobs=4", "C:\\", dest}), work / "out", work / "err"));
        if (c.listing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        } else {
            ASSERT_TRUE(WaitUntil([&] { return FilesIn(dest + "/many") >= 50; }));
            agent.Signal(SIGSTOP);
        }
        cli.Kill(SIGINT);
        agent.Signal(SIGCONT);
        const int status = WaitExit(cli, 60);
        const std::string err = e2e::ReadFile(work / "err");
        EXPECT_EQ(status, 20) << err;
        EXPECT_NE(err.find("interrupted by signal 2"), std::string::npos) << err;
        const size_t whole = FilesIn(dest + "/many") + (std::filesystem::exists(dest + "/a-big.bin") ? 1 : 0);
        EXPECT_LT(whole, static_cast<size_t>(kSmallFiles)) << "the run went on after the signal";
        // A stopped run writes no manifest: it would describe files not copied.
        EXPECT_FALSE(std::filesystem::exists(dest + "/.agent-manifest"));
        const e2e::RunResult r = e2e::Run(Cli(agent.port(), {"backup", "C:\\", dest}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(std::filesystem::exists(dest + "/.agent-manifest"));
        // Every small file that was whole is kept, not copied again.
        EXPECT_NE(r.out.find(" " + std::to_string(whole) + " unchanged"), std::string::npos) << whole << r.out;
        EXPECT_EQ(e2e::CompareTrees(work / "source", dest), "");
    }
}

} // namespace
