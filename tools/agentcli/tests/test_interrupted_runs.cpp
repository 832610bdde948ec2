// Runs that cannot finish: conditions that stop a backup early, each with
// one message naming its side and its own exit status; and signals, after
// which the next run continues the partial files instead of reading again.
#include "e2e_support.h"
#include "remote_copy.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr size_t kBig = 16u << 20;
constexpr int kSmallFiles = 300;

// One large file first in the listing, then many small ones; made once,
// served read-only by every run.
const std::string &Source()
{
    static const e2e::TempDir dir;
    static const bool made = [] {
        e2e::WriteFile(dir / "a-big.bin", e2e::PseudoRandomBytes(kBig, 5));
        for (int i = 0; i < kSmallFiles; ++i)
            e2e::WriteFile(dir / ("many/f" + std::to_string(i) + ".txt"), "small file " + std::to_string(i));
        return true;
    }();
    (void)made;
    return dir.path();
}

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
        e2e::AgentProcess agent(Source());
        const std::string mnt = work / "mnt", dest = mnt + "/copy";
        fs::create_directories(mnt);
        std::vector<std::string> argv =
            e2e::CliArgv(agent.port(), {"backup", "--jobs=1", "--timeout=2", "C:\\", dest});
        // The local conditions are made inside a mount namespace of the
        // run's own (tmpfs full or read-only) or by running as nobody.
        if (c.act == Act::SmallDisk || c.act == Act::ReadOnlyDisk) {
            if (e2e::Run({"/usr/bin/unshare", "-m", "mount", "-t", "tmpfs", "tmpfs", mnt}, {}, 20).status != 0)
                GTEST_SKIP() << "no mount namespaces here";
            std::string line = c.act == Act::SmallDisk ? "mount -t tmpfs -o size=4m tmpfs '" + mnt + "'"
                                                       : "mount -t tmpfs tmpfs '" + mnt + "' && mkdir '" + dest +
                                                             "' && mount -o remount,ro '" + mnt + "'";
            line += " && exec";
            for (const std::string &a : argv)
                line += " '" + a + "'";
            argv = {"/usr/bin/unshare", "-m", "/bin/sh", "-c", line};
        } else if (c.act == Act::DeniedFolder) {
            if (!e2e::CanRunAsNobody())
                GTEST_SKIP() << "cannot run as another user here";
            fs::permissions(work.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
            argv.insert(argv.begin(), e2e::kAsNobody.begin(), e2e::kAsNobody.end());
        }
        e2e::Child cli;
        ASSERT_TRUE(cli.Start(argv, work / "out", work / "err"));
        if (c.act == Act::KillAgent || c.act == Act::FreezeAgent) {
            // Once the copy is well on its way, so that the listing, which
            // runs beside it, is through on a loaded machine too: a kill
            // before it leaves fewer than three calls to fail.
            const std::string partial = agentcli::PartialName(dest + "/a-big.bin");
            ASSERT_TRUE(e2e::WaitUntil([&] {
                std::error_code ec;
                const auto held = fs::file_size(partial, ec);
                return fs::exists(dest + "/a-big.bin") || (!ec && held >= (4u << 20));
            }));
            if (c.act == Act::KillAgent)
                agent.Kill();
            else
                agent.Signal(SIGSTOP);
        }
        const auto start = std::chrono::steady_clock::now();
        const int status = cli.WaitFor(60);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (c.act == Act::FreezeAgent)
            agent.Signal(SIGCONT);
        const std::string err = e2e::ReadFile(work / "err");
        EXPECT_EQ(status, c.status) << err;
        EXPECT_LT(seconds, c.withinSeconds) << err;
        EXPECT_EQ(e2e::Count(err, c.says), 1u) << err;
        // One failure per connection that saw it, not one per file.
        EXPECT_LE(e2e::Count(err, "FAILED "), 4u) << err;
        EXPECT_EQ(e2e::Count(err, "terminate called"), 0u);
    }
}

enum class When { MidBigFile, DuringListing, AmongSmallFiles };

// A signal in the middle of the large file, before the listing is through
// or among the small files: the run stops with 20, keeps its partial file,
// says how to continue, and the next run continues the partial file and
// copies only what was not whole.
TEST(Interruptions, KeepWhatWasCopiedAndTheNextRunContinuesIt)
{
    const struct {
        const char *name;
        When when;
        int signal;
        std::vector<std::string> first, again;
        const char *hint;
    } cases[] = {
        // Paced, so that the signal finds the large file in its middle.
        {"get --resume, SIGINT", When::MidBigFile, SIGINT, {"get", "--resume", "--bwlimit=8M", "C:\\a-big.bin"},
         {"get", "--resume", "C:\\a-big.bin"}, "run again with get --resume"},
        {"get, SIGTERM", When::MidBigFile, SIGTERM, {"get", "--bwlimit=8M", "C:\\a-big.bin"},
         {"get", "--resume", "C:\\a-big.bin"}, "run again with get --resume"},
        {"backup, SIGINT", When::MidBigFile, SIGINT, {"backup", "--jobs=2", "--bwlimit=8M", "C:\\"},
         {"backup", "--incremental", "C:\\"}, "run the same backup again"},
        {"backup, SIGINT during the listing", When::DuringListing, SIGINT, {"backup", "--jobs=4", "C:\\"},
         {"backup", "C:\\"}, "run the same backup again"},
        {"backup, SIGTERM among small files", When::AmongSmallFiles, SIGTERM, {"backup", "--jobs=4", "C:\\"},
         {"backup", "C:\\"}, "run the same backup again"},
    };
    const std::string source = e2e::ReadFile(Source() + "/a-big.bin");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::TempDir work;
        e2e::AgentProcess agent(Source());
        const bool get = c.first[0] == "get";
        const std::string dest = get ? work / "big.bin" : work / "copy";
        const std::string big = get ? dest : dest + "/a-big.bin", partial = agentcli::PartialName(big);
        std::vector<std::string> first = c.first, again = c.again;
        first.push_back(dest);
        again.push_back(dest);
        if (c.when == When::DuringListing)
            agent.Signal(SIGSTOP); // the logon and the listing wait on it
        e2e::Child cli;
        ASSERT_TRUE(cli.Start(e2e::CliArgv(agent.port(), first), work / "out", work / "err"));
        if (c.when == When::MidBigFile)
            ASSERT_TRUE(e2e::WaitUntil([&] { return e2e::SizeOf(partial) >= (2u << 20); }));
        else if (c.when == When::AmongSmallFiles)
            ASSERT_TRUE(e2e::WaitUntil([&] { return e2e::WholeFiles(dest + "/many") >= 50; }));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // The agent is held still while the signal arrives, so the run is
        // caught where the row says whatever the machine's speed.
        agent.Signal(SIGSTOP);
        cli.Kill(c.signal);
        agent.Signal(SIGCONT);
        const int status = cli.WaitFor(60);
        const std::string err = e2e::ReadFile(work / "err");
        EXPECT_EQ(status, 20) << err;
        EXPECT_NE(err.find("interrupted by signal " + std::to_string(c.signal)), std::string::npos) << err;
        EXPECT_NE(err.find(c.hint), std::string::npos) << err;

        // The partial file holds whole bytes and a 32-byte restart record. A
        // mark in its kept part survives only if the next run continues the
        // file rather than reading it again.
        std::string expected = source;
        if (c.when == When::MidBigFile) {
            EXPECT_FALSE(fs::exists(big));
            ASSERT_GT(e2e::SizeOf(partial), 32u) << err;
            ASSERT_LT(e2e::SizeOf(partial), kBig + 32u);
        }
        if (e2e::SizeOf(partial) > 32) {
            std::string bytes = e2e::ReadFile(partial);
            bytes[0] = static_cast<char>(bytes[0] ^ 0x5A);
            e2e::WriteFile(partial, bytes);
            expected[0] = static_cast<char>(expected[0] ^ 0x5A);
        }
        const size_t whole = get ? 0 : e2e::WholeFiles(dest + "/many") + fs::exists(big);
        if (!get) {
            EXPECT_LE(whole, static_cast<size_t>(kSmallFiles)) << "the run went on after the signal";
            // A stopped run writes no manifest: it would describe files not copied.
            EXPECT_FALSE(fs::exists(dest + "/.agent-manifest"));
        }

        const e2e::RunResult r = e2e::RunCli(agent.port(), again);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(e2e::ReadFile(big) == expected) << "the kept part was read again";
        if (get) {
            // Only what was transferred counts as transferred.
            EXPECT_NE(r.out.find(" of them kept from the partial file)"), std::string::npos) << r.out;
            continue;
        }
        // Every small file that was whole is kept, not copied again.
        EXPECT_NE(r.out.find(" " + std::to_string(whole) + " unchanged"), std::string::npos) << whole << r.out;
        EXPECT_TRUE(fs::exists(dest + "/.agent-manifest"));
        e2e::WriteFile(big, source);
        EXPECT_EQ(e2e::CompareTrees(Source(), dest), "");
    }
}

} // namespace
