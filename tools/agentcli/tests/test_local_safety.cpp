// agentcli backup's local writes against links another local user planted
// in the destination and against a crash at chosen points: nothing outside
// the destination is touched, no final name holds other bytes than the
// remote file's, and the next run completes the copy.
#include "confined_local.h"
#include "e2e_support.h"
#include "folder_scans.h"
#include "local_files.h"
#include "remote_copy.h"
#include "wide_text.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

e2e::RunResult Backup(uint16_t port, const std::string &mode, const std::string &dest)
{
    std::vector<std::string> args = {"backup", "C:\\", dest};
    if (!mode.empty())
        args.insert(args.begin() + 1, mode);
    return e2e::RunCli(port, args);
}

} // namespace

// Each row plants a link (or a pipe, which must not be waited on) in an
// existing destination before a backup (one that keeps unchanged files, or
// one that copies all again) runs into it.
TEST(LocalSafety, LinksPlantedInTheDestinationAreNeverWrittenThrough)
{
    const struct {
        const char *what;
        const char *at;     // under the destination
        bool partial;       // at the partial name of `at`
        bool hard;          // else a symbolic link
        const char *target; // under the folder outside; "" for the folder itself; null: a pipe
    } rows[] = {
        {"a folder is a link to a folder outside", "docs", false, false, ""},
        {"a nested folder is a link", "docs/deep", false, false, ""},
        {"a final name is a link to a file outside", "top.txt", false, false, "victim"},
        {"a final name is a hard link to a file outside", "docs/a.txt", false, true, "victim"},
        {"a partial name is a link to a file outside", "media/clip.bin", true, false, "victim"},
        {"a partial name is a hard link to a file outside", "top.txt", true, true, "victim"},
        {"a partial name is a pipe", "docs/a.txt", true, false, nullptr},
    };
    e2e::TempDir work;
    e2e::WriteFile(work / "served/top.txt", "top of the tree");
    e2e::WriteFile(work / "served/docs/a.txt", "document a");
    e2e::WriteFile(work / "served/docs/deep/b.txt", "document b");
    e2e::WriteFile(work / "served/media/clip.bin", e2e::PseudoRandomBytes(3u << 20, 5));
    e2e::AgentProcess agent(work / "served");
    for (const std::string mode : {"", "--ignore-times"}) {
        for (const auto &row : rows) {
            SCOPED_TRACE(std::string(row.what) + " " + mode);
            const std::string dest = work / "dest", outside = work / "outside";
            fs::remove_all(dest);
            fs::remove_all(outside);
            e2e::WriteFile(outside + "/victim", "precious bytes that must stay");
            e2e::WriteFile(outside + "/a.txt", "precious a");
            e2e::WriteFile(outside + "/b.txt", "precious b");
            const std::string at = row.partial ? agentcli::PartialName(dest + "/" + row.at) : dest + "/" + row.at;
            fs::create_directories(fs::path(at).parent_path());
            if (row.target == nullptr) {
                ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0);
            } else {
                const std::string target = *row.target ? outside + "/" + row.target : outside;
                ASSERT_EQ((row.hard ? ::link : ::symlink)(target.c_str(), at.c_str()), 0);
            }
            const auto before = e2e::Snapshot(outside);

            const e2e::RunResult r = Backup(agent.port(), mode, dest);
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_TRUE(e2e::Snapshot(outside) == before) << "something outside the destination changed";
            EXPECT_EQ(e2e::CompareTrees(work / "served", dest), "");
            for (const char *name : {"/docs", "/docs/deep", "/top.txt", "/docs/a.txt", "/media/clip.bin"})
                EXPECT_FALSE(fs::is_symlink(dest + name)) << name;
        }
    }
}

// The backup is killed at points along the way; whatever it left, no final
// name holds other bytes than the remote file, and the next run completes
// the copy and leaves no partial file.
TEST(LocalSafety, ABackupKilledAnywhereLeavesNoWrongBytesAndTheNextRunRecovers)
{
    e2e::TempDir work;
    const std::string served = work / "served", dest = work / "dest";
    for (int folder = 0; folder < 4; ++folder)
        for (int i = 0; i < 50; ++i)
            e2e::WriteFile(served + "/f" + std::to_string(folder) + "/s" + std::to_string(i) + ".dat",
                           e2e::PseudoRandomBytes(4096, static_cast<unsigned>(folder * 100 + i)));
    e2e::WriteFile(served + "/m-big.bin", e2e::PseudoRandomBytes(16u << 20, 77));
    const std::map<std::string, std::string> source = e2e::Snapshot(served);
    e2e::AgentProcess agent(served);

    const struct {
        const char *what;
        std::function<bool()> reached;
        const char *mode; // of the run that is killed
    } points[] = {
        {"as soon as it starts", [] { return true; }, ""},
        {"after the first file", [&] { return e2e::WholeFiles(dest) >= 1; }, "--ignore-times"},
        {"with the big file part-way",
         [&] { return e2e::SizeOf(agentcli::PartialName(dest + "/m-big.bin")) >= (4u << 20); }, ""},
        {"with half the small files", [&] { return e2e::WholeFiles(dest) >= 100; }, "--ignore-times"},
    };
    for (const auto &point : points) {
        SCOPED_TRACE(std::string(point.what) + " " + point.mode);
        fs::remove_all(dest);
        std::vector<std::string> args = {"backup", "--jobs", "2", "--bwlimit=32M", "C:\\", dest};
        if (*point.mode)
            args.insert(args.begin() + 1, point.mode);
        e2e::Child child;
        ASSERT_TRUE(child.Start(e2e::CliArgv(agent.port(), args), work / "out.txt", work / "err.txt"));
        if (!e2e::WaitUntil(point.reached, 60))
            std::printf("note: %s was not reached in time\n", point.what);
        child.Kill(9);
        const int status = child.Wait();
        if (status != 128 + 9)
            std::printf("note: the backup ended (%d) before it was killed %s\n", status, point.what);

        // A kill while the run tries the destination leaves its probe file:
        // not a copy, and not this test's concern.
        std::error_code ec;
        for (fs::directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename().string().rfind(".agentcli-probe", 0) == 0)
                fs::remove(it->path(), ec);
        // Whatever has a final name holds exactly the remote bytes.
        const auto left = fs::exists(dest) ? e2e::Snapshot(dest) : std::map<std::string, std::string>();
        for (const auto &[path, content] : left) {
            if (content == "<dir>" || agentcli::IsPartialName(fs::path(path).filename().string()))
                continue;
            const auto it = source.find(path);
            ASSERT_NE(it, source.end()) << path;
            EXPECT_TRUE(it->second == content) << path << " holds other bytes";
        }

        const e2e::RunResult again = Backup(agent.port(), "", dest);
        EXPECT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_EQ(e2e::CompareTrees(served, dest), "");
        EXPECT_TRUE(e2e::PartialFiles(dest).empty());
    }
}

// agentcli names partial files (for --delete, resumed counts and hints) by
// the library's rule: a copy the library stopped is found where agentcli
// looks for it, for names kept whole and names cut and hashed.
TEST(LocalSafety, PartialNamesAgreeWithTheLibrary)
{
    ASSERT_TRUE(AgentInit());
    e2e::TempDir work;
    e2e::WriteFile(work / "served/file.bin", e2e::PseudoRandomBytes(3000, 9));
    e2e::AgentProcess agent(work / "served");
    AGENT_LOGON logon = AgentLogonW(agentcli::WidenOrEmpty("127.0.0.1").c_str(), agent.port(),
                                    agentcli::WidenOrEmpty("alice").c_str(), agentcli::WidenOrEmpty("s3cret").c_str());
    ASSERT_NE(logon, nullptr);
    struct Stop {
        static DWORD AGENTAPI Call(ULONGLONG, ULONGLONG, void *) { return PROGRESS_STOP; }
    };
    const std::string threeByte = "\xe6\x97\xa5";
    std::string longUnicode;
    for (int i = 0; i < 84; ++i)
        longUnicode += threeByte;
    for (const std::string &name : {std::string("short.bin"), std::string(240, 'a'), std::string(241, 'b'),
                                    std::string(255, 'c'), longUnicode + "x", "z" + longUnicode}) {
        SCOPED_TRACE(name.size());
        const std::string local = work / name;
        EXPECT_EQ(AgentCopyFileFromAgentExW(logon, agentcli::WidenOrEmpty("C:\\file.bin").c_str(),
                                            agentcli::WidenOrEmpty(local).c_str(), &Stop::Call, nullptr, nullptr,
                                            COPY_FILE_RESTARTABLE),
                  0);
        const std::string partial = agentcli::PartialName(local);
        EXPECT_TRUE(fs::exists(partial)) << partial;
        EXPECT_TRUE(agentcli::IsPartialName(fs::path(partial).filename().string()));
        EXPECT_FALSE(agentcli::IsPartialName(name));
        fs::remove(partial);
    }
    EXPECT_TRUE(e2e::PartialFiles(work.path()).empty()) << "a partial file under another name";
    AgentLogoff(logon);
    AgentFini();
}

// A file resolved beside an earlier one shares its held folder only when
// both lie directly in one folder; whatever the pair, the file lands where
// its own path says, and never through a link planted after the folder
// was held.
TEST(LocalSafety, FilesOfOneFolderShareTheHeldFolderAndLandInIt)
{
    e2e::TempDir work;
    const std::string root = work / "dest";
    for (const char *folder : {"a/b", "ab"})
        fs::create_directories(root + "/" + folder);
    fs::create_directories(work / "outside");
    agentcli::ConfinedRoot dest;
    ASSERT_EQ(dest.Open(root), 0u);
    const struct {
        const char *beside, *file;
        bool shared;
    } rows[] = {
        {"a/y", "a/x", true},   {"a/y", "a/b/x", false}, {"a/y", "x", false},  {"x", "a/x", false},
        {"a/y", "ab/x", false}, {"ab/y", "a/x", false},  {"x", "y", true},     {nullptr, "a/x", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.beside != nullptr ? row.beside : "(failed)") + " then " + row.file);
        agentcli::ConfinedRoot::Target beside, target;
        if (row.beside != nullptr)
            ASSERT_EQ(dest.Resolve(root + "/" + row.beside, beside), 0u);
        else
            EXPECT_NE(dest.Resolve(root + "/missing/y", beside), 0u);
        ASSERT_EQ(dest.Resolve(root + "/" + row.file, target, &beside), 0u);
        const std::string &besidePath = beside.path(), &path = target.path();
        const size_t folderEnd = path.rfind('/') + 1;
        EXPECT_EQ(row.beside != nullptr && besidePath.compare(0, besidePath.rfind('/') + 1, path, 0, folderEnd) == 0,
                  row.shared);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0) << path;
        ::close(fd);
        EXPECT_TRUE(fs::is_regular_file(root + "/" + row.file));
        fs::remove(root + "/" + row.file);
    }
    // Names that are not plain entries of the folder are refused, shared or not.
    agentcli::ConfinedRoot::Target beside, target;
    ASSERT_EQ(dest.Resolve(root + "/a/y", beside), 0u);
    for (const char *bad : {"a/..", "a/.", "a/", "a//x"})
        EXPECT_NE(dest.Resolve(root + "/" + bad, target, &beside), 0u) << bad;
    // A link planted at the folder after it was held is not written through.
    fs::rename(root + "/a", root + "/a.moved");
    fs::create_directory_symlink(work / "outside", root + "/a");
    ASSERT_EQ(dest.Resolve(root + "/a/x", target, &beside), 0u);
    const int fd = ::open(target.path().c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(fs::is_empty(work / "outside"));
    EXPECT_TRUE(fs::is_regular_file(root + "/a.moved/x"));
}

// A folder read ahead settles a file as unchanged only when what it read
// there is a regular file of the listed size and time: a link, a folder,
// another size or time, a folder not read (yet, or at all: too large, a
// link, forgotten) leaves the file to be looked at as before.
TEST(LocalSafety, FolderScansSettleOnlyRegularFilesTheyReadUnchanged)
{
    e2e::TempDir work;
    const std::string root = work / "dest";
    e2e::WriteFile(root + "/f/same", "12345");
    e2e::WriteFile(root + "/f/link-target", "12345");
    fs::create_symlink(root + "/f/link-target", root + "/f/link");
    fs::create_directories(root + "/f/sub");
    fs::create_directories(work / "outside");
    e2e::WriteFile(work / "outside/same", "12345");
    fs::create_directory_symlink(work / "outside", root + "/planted");
    e2e::WriteFile(root + "/big/a", "1");
    e2e::WriteFile(root + "/big/b", "1");
    agentcli::ConfinedRoot dest;
    ASSERT_EQ(dest.Open(root), 0u);
    agentcli::LocalStamp same, link, sub;
    ASSERT_EQ(agentcli::ReadLocalStamp(root + "/f/same", same), 0u);
    ASSERT_EQ(agentcli::ReadLocalStamp(root + "/f/sub", sub), 0u);
    ASSERT_EQ(agentcli::ReadLocalStamp(root + "/f/link-target", link), 0u);
    std::vector<agentcli::LocalEntry> entries;
    EXPECT_EQ(dest.List(root + "/big", entries, 1), 111u);
    EXPECT_TRUE(entries.empty());

    agentcli::FolderScans scans(dest);
    for (const char *folder : {"/f", "/planted", "/missing", "/forgotten"})
        scans.Start(root + folder);
    scans.Forget(root + "/forgotten");
    // Settled at last once the folder has been read.
    for (int i = 0; i < 500 && !scans.Unchanged(root + "/f/same", same.size, same.lastWrite); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const struct {
        const char *path;
        uint64_t size, lastWrite;
        bool settled;
    } rows[] = {
        {"/f/same", same.size, same.lastWrite, true},
        {"/f/same", same.size + 1, same.lastWrite, false},
        {"/f/same", same.size, same.lastWrite + 1, false},
        {"/f/same", same.size, 0, false},
        {"/f/absent", same.size, same.lastWrite, false},
        {"/f/link", link.size, link.lastWrite, false},
        {"/f/sub", 0, sub.lastWrite, false},
        {"/planted/same", same.size, same.lastWrite, false},
        {"/missing/same", same.size, same.lastWrite, false},
        {"/forgotten/same", same.size, same.lastWrite, false},
        {"/unread/same", same.size, same.lastWrite, false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(scans.Unchanged(root + row.path, row.size, row.lastWrite), row.settled) << row.path;
    scans.Forget(root + "/f");
    EXPECT_FALSE(scans.Unchanged(root + "/f/same", same.size, same.lastWrite));
}
