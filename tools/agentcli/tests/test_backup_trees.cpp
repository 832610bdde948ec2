// agentcli backup over tree shapes that hold links (exact counts, skips with
// their causes, and a copy holding exactly the files reported), incremental
// re-runs, checks of a past backup, and local failures as Win32 codes.
#include "e2e_support.h"
#include "local_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace agentcli;
namespace fs = std::filesystem;

namespace {

void Link(const std::string &target, const std::string &at)
{
    fs::create_directories(fs::path(at).parent_path());
    ASSERT_EQ(::symlink(target.c_str(), at.c_str()), 0) << at;
}

struct Summary {
    long files = -1, folders = -1, unchanged = -1, skipped = -1, failed = -1;
    std::vector<std::string> skippedLines; // sorted "path: cause"
};

Summary ParseSummary(const std::string &out)
{
    Summary s;
    std::smatch m;
    const std::regex first(R"((\d+) files, (\d+) folders, .* (\d+) unchanged, (\d+) skipped, (\d+) failed)");
    if (std::regex_search(out, m, first)) {
        s.files = std::stol(m[1]);
        s.folders = std::stol(m[2]);
        s.unchanged = std::stol(m[3]);
        s.skipped = std::stol(m[4]);
        s.failed = std::stol(m[5]);
    }
    const std::regex skipped(R"(SKIPPED C:\\(.*))");
    for (std::sregex_iterator it(out.begin(), out.end(), skipped), end; it != end; ++it)
        s.skippedLines.push_back((*it)[1]);
    std::sort(s.skippedLines.begin(), s.skippedLines.end());
    return s;
}

const std::string kNotFollowed = ": directory link not followed", kLoop = ": loop (folder already copied)",
                  kLeadsOut = ": link leading out of the served folder", kNoTarget = ": link to nothing",
                  kBadName = ": name the local file system cannot hold";

struct TreeShape {
    const char *name;
    // Builds below `served`; `outside` is a folder the agent does not serve.
    std::function<void(const std::string &served, const std::string &outside)> build;
    bool followLinks;
    const char *below;   // the backup's root below C:\ ("" for the drive)
    long files, folders;
    std::vector<std::string> skipped;            // "path below C:\: cause"
    std::vector<std::pair<std::string, std::string>> copied; // local path <- served path whose bytes it holds
};

void Loops(const std::string &s, const std::string &)
{
    e2e::WriteFile(s + "/a/f1", "one");
    e2e::WriteFile(s + "/a/b/f2", "two");
    Link("..", s + "/a/b/up");     // back to a
    Link("../..", s + "/a/b/top"); // back to the root
    e2e::WriteFile(s + "/x/in-x", "x");
    e2e::WriteFile(s + "/y/in-y", "y");
    Link("../y", s + "/x/to-y"); // siblings pointing at each other
    Link("../x", s + "/y/to-x");
}

void Outward(const std::string &s, const std::string &o)
{
    e2e::WriteFile(o + "/secret.txt", "secret");
    e2e::WriteFile(o + "/dir/more.txt", "more");
    e2e::WriteFile(s + "/kept.txt", "kept");
    Link(o + "/secret.txt", s + "/out-file");
    Link(o + "/dir", s + "/out-dir");
    Link("../outside/secret.txt", s + "/relative-out"); // relative, still leaves
}

void FileLinks(const std::string &s, const std::string &)
{
    e2e::WriteFile(s + "/docs/real.bin", e2e::PseudoRandomBytes(300000, 4));
    Link("real.bin", s + "/docs/alias.bin");
    Link("../docs/real.bin", s + "/other/alias2.bin");
    Link("no-such-file", s + "/docs/dangling");
}

// 120 nested folders named d, then `leaf`.
std::string Deep120(const char *separator, const std::string &leaf)
{
    std::string p;
    for (int i = 0; i < 120; ++i)
        p += std::string("d") + separator;
    return p + leaf;
}

void Deep(const std::string &s, const std::string &)
{
    e2e::WriteFile(s + "/" + Deep120("/", "leaf.txt"), "bottom");
    Link("../../../..", s + "/" + Deep120("/", "up4")); // a loop at the bottom
}

void OutsideTheRoot(const std::string &s, const std::string &)
{
    e2e::WriteFile(s + "/backed/own.txt", "own");
    e2e::WriteFile(s + "/elsewhere/lib/x.txt", "x");
    Link("../elsewhere", s + "/backed/ext"); // inside the served folder, outside the backup root
    Link("..", s + "/elsewhere/lib/back"); // and a loop from there
}

void Names(const std::string &s, const std::string &)
{
    e2e::WriteFile(s + "/ok.txt", "ok");
    e2e::WriteFile(s + "/a:b", "a stream name on Windows");
    e2e::WriteFile(s + "/back\\slash", "a separator on Windows");
}

const std::vector<TreeShape> &Shapes()
{
    static const std::vector<TreeShape> shapes = {
        {"loops through .. and a sibling, not followed", Loops, false, "", 4, 5,
         {"a\\b\\top" + kNotFollowed, "a\\b\\up" + kNotFollowed, "x\\to-y" + kNotFollowed, "y\\to-x" + kNotFollowed},
         {{"a/f1", "a/f1"}, {"a/b/f2", "a/b/f2"}, {"x/in-x", "x/in-x"}, {"y/in-y", "y/in-y"}}},
        {"loops through .. and a sibling, followed", Loops, true, "", 4, 5,
         {"a\\b\\top" + kLoop, "a\\b\\up" + kLoop, "x\\to-y" + kLoop, "y\\to-x" + kLoop},
         {{"a/f1", "a/f1"}, {"a/b/f2", "a/b/f2"}, {"x/in-x", "x/in-x"}, {"y/in-y", "y/in-y"}}},
        {"links leading out", Outward, false, "", 1, 1,
         {"out-dir" + kLeadsOut, "out-file" + kLeadsOut, "relative-out" + kLeadsOut}, {{"kept.txt", "kept.txt"}}},
        {"links leading out, followed", Outward, true, "", 1, 1,
         {"out-dir" + kLeadsOut, "out-file" + kLeadsOut, "relative-out" + kLeadsOut}, {{"kept.txt", "kept.txt"}}},
        {"file links inside are files, a dangling one is skipped", FileLinks, false, "", 3, 3,
         {"docs\\dangling" + kNoTarget},
         {{"docs/real.bin", "docs/real.bin"}, {"docs/alias.bin", "docs/real.bin"},
          {"other/alias2.bin", "docs/real.bin"}}},
        {"names a local folder cannot hold", Names, false, "", 1, 1,
         {"a:b" + kBadName, "back\\slash" + kBadName}, {{"ok.txt", "ok.txt"}}},
        {"a deep tree with a loop at the bottom", Deep, true, "", 1, 121, {Deep120("\\", "up4") + kLoop},
         {{Deep120("/", "leaf.txt"), Deep120("/", "leaf.txt")}}},
        {"a link to a folder outside the backup root, followed", OutsideTheRoot, true, "backed", 2, 3,
         {"backed\\ext\\lib\\back" + kLoop}, {{"own.txt", "backed/own.txt"}, {"ext/lib/x.txt", "elsewhere/lib/x.txt"}}},
        {"a link to a folder outside the backup root, not followed", OutsideTheRoot, false, "backed", 1, 1,
         {"backed\\ext" + kNotFollowed}, {{"own.txt", "backed/own.txt"}}},
    };
    return shapes;
}

TEST(BackupTrees, EveryShapeEndsWithExactCountsAndAnExactCopy)
{
    for (const TreeShape &shape : Shapes()) {
        SCOPED_TRACE(shape.name);
        e2e::TempDir work;
        fs::create_directories(work / "served");
        shape.build(work / "served", work / "outside");
        e2e::AgentProcess agent(work / "served");
        const std::string below = shape.below;
        std::vector<std::string> args = {"backup", "--no-progress", "--list-skipped", "C:\\" + below,
                                         work / "copy"};
        if (shape.followLinks)
            args.insert(args.begin() + 1, "--follow-links");
        const e2e::RunResult r = e2e::RunCli(agent.port(), args);
        ASSERT_EQ(r.status, 0) << r.out << r.err; // ended in time, nothing failed
        const Summary s = ParseSummary(r.out);
        EXPECT_EQ(s.files, shape.files) << r.out;
        EXPECT_EQ(s.folders, shape.folders) << r.out;
        EXPECT_EQ(s.failed, 0) << r.out;
        EXPECT_EQ(s.skipped, static_cast<long>(shape.skipped.size())) << r.out;
        std::vector<std::string> expectedSkipped = shape.skipped;
        std::sort(expectedSkipped.begin(), expectedSkipped.end());
        EXPECT_EQ(s.skippedLines, expectedSkipped) << r.out;

        // The copy holds the reported files and nothing else.
        std::set<std::string> want;
        for (const auto &[local, source] : shape.copied) {
            want.insert(local);
            EXPECT_EQ(e2e::ReadFile(work / ("copy/" + local)), e2e::ReadFile(work / ("served/" + source))) << local;
        }
        std::set<std::string> have;
        for (const auto &[path, content] : e2e::Snapshot(work / "copy"))
            if (content != "<dir>")
                have.insert(path);
        EXPECT_EQ(have, want);
    }
}

TEST(BackupTrees, IncrementalRunsCopyOnlyWhatChangedAndChecksFindDifferences)
{
    e2e::TempDir work;
    e2e::MakeSampleTree(work / "served", 21, 1u << 20);
    e2e::AgentProcess agent(work / "served");
    const std::string copy = work / "copy";
    e2e::RunResult r = e2e::RunCli(agent.port(), {"backup", "--no-progress", "C:\\", copy});
    ASSERT_EQ(r.status, 0) << r.err;
    const long total = ParseSummary(r.out).files;
    ASSERT_GT(total, 10);

    // Unchanged files are left alone: same inode, nothing copied.
    struct stat before, after;
    ASSERT_EQ(::stat((copy + "/media/big.bin").c_str(), &before), 0);
    r = e2e::RunCli(agent.port(), {"backup", "--no-progress", "--incremental", "C:\\", copy});
    EXPECT_EQ(r.status, 0) << r.err;
    Summary s = ParseSummary(r.out);
    EXPECT_EQ(s.files, 0) << r.out;
    EXPECT_EQ(s.unchanged, total);
    ASSERT_EQ(::stat((copy + "/media/big.bin").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);

    // A changed size, a changed time with the same size, and a removed
    // local copy are copied again; nothing else is.
    e2e::WriteFile(work / "served/readme.txt", "now longer than before\n");
    const std::string sameSize = e2e::ReadFile(work / "served/docs/notes/a/b/c/deep.txt");
    e2e::WriteFile(work / "served/docs/notes/a/b/c/deep.txt", std::string(sameSize.size(), 'z'));
    const struct timespec later[2] = {{0, UTIME_OMIT}, {2000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (work / "served/docs/notes/a/b/c/deep.txt").c_str(), later, 0), 0);
    fs::remove(copy + "/many/file-7.txt");
    r = e2e::RunCli(agent.port(), {"backup", "--no-progress", "--incremental", "C:\\", copy});
    s = ParseSummary(r.out);
    EXPECT_EQ(s.files, 3) << r.out;
    EXPECT_EQ(s.unchanged, total - 3);
    EXPECT_EQ(e2e::CompareTrees(work / "served", copy), "");

    // Checks of the past backup: equal first; then a flipped byte (its time
    // kept) is seen only by the content check, a cut file by both.
    r = e2e::RunCli(agent.port(), {"backup", "--verify", "--no-progress", "C:\\", copy});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(std::to_string(total) + " files match"), std::string::npos) << r.out;
    std::string bytes = e2e::ReadFile(copy + "/media/odd-size.bin");
    bytes[bytes.size() / 2] ^= 1;
    struct stat odd;
    ASSERT_EQ(::stat((copy + "/media/odd-size.bin").c_str(), &odd), 0);
    e2e::WriteFile(copy + "/media/odd-size.bin", bytes);
    const struct timespec keep[2] = {{0, UTIME_OMIT}, odd.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, (copy + "/media/odd-size.bin").c_str(), keep, 0), 0);
    ASSERT_EQ(::truncate((copy + "/docs/report 2024.docx").c_str(), 10), 0);
    const std::string cut = "FAILED C:\\docs\\report 2024.docx (size (local 10, agent ",
                      flipped = "FAILED C:\\media\\odd-size.bin (content (differs within bytes";
    r = e2e::RunCli(agent.port(), {"backup", "--verify", "--no-progress", "C:\\", copy});
    EXPECT_EQ(r.status, 23);
    EXPECT_NE(r.err.find(cut), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(" 1 failed"), std::string::npos) << r.out;
    r = e2e::RunCli(agent.port(), {"backup", "--verify=content", "--no-progress", "C:\\", copy});
    EXPECT_EQ(r.status, 23);
    EXPECT_NE(r.err.find(cut), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(flipped), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(" 2 failed"), std::string::npos) << r.out;
}

TEST(LocalFailures, MapToTheWin32CodeOfTheCause)
{
    e2e::TempDir work;
    e2e::WriteFile(work / "file", "x");
    const struct {
        int error;
        std::string path;
        uint32_t expected;
    } cases[] = {
        {ENOENT, work / "nothing", kLocalFileNotFound}, {ENOENT, work / "no/dir/x", kLocalPathNotFound},
        {ENOTDIR, work / "file/x", kLocalPathNotFound}, {ENOSPC, "/dev/full", kLocalDiskFull},
        {EACCES, "", kLocalAccessDenied},               {EROFS, "", kLocalWriteProtect},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Win32FromErrno(c.error, c.path), c.expected) << c.path << ": " << c.error;

    // A file where a folder must go, and errors from std::filesystem.
    EXPECT_EQ(CreateLocalFolder(work / "file"), kLocalFileExists);
    EXPECT_EQ(CreateLocalFolder(work / "file/below"), kLocalPathNotFound);
    EXPECT_EQ(CreateLocalFolder(work / "new/folder"), 0u);
    std::error_code ec;
    fs::rename(work / "absent", work / "target", ec);
    EXPECT_EQ(Win32FromError(ec, work / "absent"), kLocalFileNotFound) << ec.message();
}

} // namespace
