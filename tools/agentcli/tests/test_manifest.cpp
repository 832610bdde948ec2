// The backup manifest: awkward names survive the round trip, a damaged or
// cut-short file is refused whole, an entry that could lead outside the
// backup is refused on its own, and a replacement never leaves a broken one.
#include "e2e_support.h"
#include "local_files.h"
#include "manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

using namespace agentcli;

namespace {

ManifestEntry Entry(const std::string &path, ManifestKind kind = ManifestKind::File, uint64_t size = 0)
{
    return {path, kind, 0x21, 132000000000000000ull, 133000000000000001ull, 133000000000000002ull, size};
}

// Every field of every record, for comparing manifests.
std::vector<std::string> Records(const Manifest &m)
{
    std::vector<std::string> out = {m.remoteRoot};
    for (const ManifestEntry &e : m.entries)
        out.push_back(std::string(1, static_cast<char>(e.kind)) + " " + std::to_string(e.attributes) + " " +
                      std::to_string(e.created) + " " + std::to_string(e.lastWrite) + " " +
                      std::to_string(e.lastAccess) + " " + std::to_string(e.size) + " " + e.path);
    for (const ManifestSkip &skip : m.skipped)
        out.push_back("s " + skip.cause + '\0' + skip.path);
    return out;
}

std::string Fnv1aHex(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : bytes)
        hash = (hash ^ c) * 1099511628211ull;
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(hash));
    return sum;
}

Manifest Awkward()
{
    Manifest m;
    m.remoteRoot = "C:\\Users\\Zoë\\back\\slash\\";
    for (const std::string &path :
         {std::string("plain.txt"), std::string("Grüße/日本語 テキスト.txt"), std::string("with space/and  two"),
          std::string("new\nline"), std::string("tab\there"), std::string("cr\rhere\x01\x1f\x7f"),
          std::string("percent %09 and x41"), std::string("end\ttabs\t"), std::string(" leading, trailing "),
          std::string("emoji 🎉/file"),
          std::string(40, 'a') + "/" + std::string(255, 'b') + "/" + std::string(4000, 'c')})
        m.entries.push_back(Entry(path));
    m.entries[1].kind = ManifestKind::Folder;
    m.entries[2].kind = ManifestKind::Link;
    m.entries.push_back({"extreme", ManifestKind::File, 0xFFFFFFFFu, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX});
    m.entries.push_back({"zero", ManifestKind::File, 0, 0, 0, 0, 0});
    // Skipped entries keep the agent's own spelling, whatever it is.
    m.skipped = {{"a:b", "unholdable-name"},
                 {"dir\\with\\backslashes", "directory-link"},
                 {"looks\\x41escaped\\t not a tab\\", "loop"},
                 {"line\nbreak\ttab", "cause with\ttab\\"},
                 {"", "excluded"}};
    return m;
}

TEST(Manifest, AwkwardNamesAndValuesSurviveTheRoundTrip)
{
    const Manifest m = Awkward();
    const std::string bytes = FormatManifest(m);
    // One record a line, whatever the names hold.
    EXPECT_EQ(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')),
              3 + m.entries.size() + m.skipped.size());
    const ManifestRead read = ParseManifest(bytes);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(read.refused.empty());
    EXPECT_EQ(Records(read.manifest), Records(m));
    const ManifestRead none = ParseManifest(FormatManifest(Manifest()));
    ASSERT_TRUE(none.ok) << none.error;
    EXPECT_EQ(Records(none.manifest), Records(Manifest()));
}

TEST(Manifest, GoldenBytes)
{
    Manifest m;
    m.remoteRoot = "C:\\data";
    m.entries = {Entry("a b\tc", ManifestKind::Folder), Entry("a b\tc/d\\e", ManifestKind::File, 5)};
    m.skipped = {{"x\ny", "loop"}};
    const std::string body = "agentcli-manifest\t1\n"
                             "root\tC:\\\\data\n"
                             "d\t21\t132000000000000000\t133000000000000001\t133000000000000002\t0\ta b\\tc\n"
                             "f\t21\t132000000000000000\t133000000000000001\t133000000000000002\t5\ta b\\tc/d\\\\e\n"
                             "s\tloop\tx\\ny\n";
    const std::string bytes = FormatManifest(m);
    ASSERT_EQ(bytes.substr(0, body.size()), body);
    // FNV-1a 64 of the body, computed independently of the writer.
    EXPECT_EQ(bytes.substr(body.size()), "end\t2\t1\t" + Fnv1aHex(body) + "\n");
}

TEST(Manifest, DamagedOrCutShortIsRefusedWhole)
{
    const std::string good = FormatManifest(Awkward());
    ASSERT_TRUE(ParseManifest(good).ok);
    // Every way of cutting it short, and every single-bit change.
    for (size_t n = 0; n < good.size(); ++n) {
        const ManifestRead read = ParseManifest(good.substr(0, n));
        ASSERT_FALSE(read.ok) << "cut at " << n;
        ASSERT_FALSE(read.error.empty());
        ASSERT_TRUE(read.manifest.entries.empty()) << "cut at " << n;
    }
    for (size_t i = 0; i < good.size(); ++i) {
        std::string bad = good;
        bad[i] = static_cast<char>(bad[i] ^ 0x01);
        ASSERT_FALSE(ParseManifest(bad).ok) << "byte " << i << " changed";
    }

    // The causes a person reads, with a checksum that holds where it must.
    auto resealed = [](const std::string &body) { return body + "end\t0\t0\t" + Fnv1aHex(body) + "\n"; };
    const struct {
        std::string bytes;
        std::string error;
    } cases[] = {
        {"", "empty"},
        {good.substr(0, good.size() / 2), "cut short (no end line)"},
        {good.substr(0, good.size() - 1), "cut short (no end line)"},
        {"x" + good.substr(1), "damaged (checksum does not match)"},
        {resealed("agentcli-manifest\t2\nroot\tC:\n"), "version 2 not understood (this agentcli reads version 1)"},
        {resealed("some other file\nroot\tC:\n"), "not a manifest"},
        {resealed("agentcli-manifest\t1\n"), "not a manifest"},
        {resealed("agentcli-manifest\t1\nroot\tC:\nq\t1\n"), "line 3: not a manifest record"},
        {resealed("agentcli-manifest\t1\nroot\tC:\ns\tloop\tx\n"),
         "the end line counts other records than the manifest holds"},
    };
    for (const auto &c : cases) {
        const ManifestRead read = ParseManifest(c.bytes);
        EXPECT_FALSE(read.ok) << c.error;
        EXPECT_EQ(read.error, c.error);
    }
}

TEST(Manifest, EntriesLeadingOutsideTheBackupAreRefusedOneByOne)
{
    const struct {
        std::string path;
        bool contained;
    } paths[] = {
        {"a", true},           {"a/b/c", true},      {"..a/b..", true},   {"a b/.hidden", true},
        {"../x", false},       {"..", false},        {".", false},        {"a/../../b", false},
        {"a/..", false},       {"./a", false},       {"/etc/shadow", false}, {"C:/Windows", false},
        {"C:x", false},        {"c:", false},        {"a\\..\\..\\b", false}, {"\\\\server\\share", false},
        {"a//b", false},       {"a/", false},        {"", false},         {std::string("a\0b", 3), false},
        {"file:stream", false},
    };
    Manifest m;
    for (const auto &p : paths)
        m.entries.push_back(Entry(p.path));
    // The writer does not judge: a manifest edited by hand, checksum and
    // all, reaches the reader as this one does.
    const ManifestRead read = ParseManifest(FormatManifest(m));
    ASSERT_TRUE(read.ok) << read.error;
    std::vector<std::string> accepted;
    for (const ManifestEntry &e : read.manifest.entries)
        accepted.push_back(e.path);
    std::vector<std::string> expected;
    std::vector<size_t> refusedLines;
    for (size_t i = 0; i < std::size(paths); ++i) {
        EXPECT_EQ(IsContainedPath(paths[i].path), paths[i].contained) << paths[i].path;
        if (paths[i].contained)
            expected.push_back(paths[i].path);
        else
            refusedLines.push_back(i + 3); // after the version and root lines
    }
    EXPECT_EQ(accepted, expected);
    ASSERT_EQ(read.refused.size(), refusedLines.size());
    for (size_t i = 0; i < refusedLines.size(); ++i) {
        EXPECT_EQ(read.refused[i].line, refusedLines[i]);
        EXPECT_EQ(read.refused[i].reason, "path leads outside the backup");
    }
}

// A crash in the middle of a write leaves a partial temporary file: the
// manifest read is still the previous one, and the next write replaces both.
// A write that cannot finish leaves the previous manifest as it was. The
// second manifest is large: no limit of the reader's cuts it short.
TEST(Manifest, AReplacementIsWholeOrNotAtAll)
{
    e2e::TempDir dir;
    bool missing = false;
    EXPECT_FALSE(ReadManifestFile(dir.path(), &missing).ok);
    EXPECT_TRUE(missing);

    const Manifest first = Awkward();
    ASSERT_EQ(WriteManifestFile(dir.path(), first), 0u);
    ManifestRead read = ReadManifestFile(dir.path(), &missing);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_FALSE(missing);
    EXPECT_EQ(Records(read.manifest), Records(first));

    const std::string temp = dir / (std::string(kManifestName) + ".agent-partial");
    e2e::WriteFile(temp, FormatManifest(first).substr(0, 100));
    EXPECT_EQ(Records(ReadManifestFile(dir.path()).manifest), Records(first));
    Manifest second;
    second.remoteRoot = "C:\\big";
    for (unsigned i = 0; i < 100000; ++i) {
        second.entries.push_back(Entry("folder " + std::to_string(i / 1000) + "/Datei näme " + std::to_string(i) + ".bin",
                                       i % 1000 == 0 ? ManifestKind::Folder : ManifestKind::File, i * 7ull));
        second.entries.back().attributes = i & 0x27;
        second.entries.back().lastWrite += i;
    }
    ASSERT_EQ(WriteManifestFile(dir.path(), second), 0u);
    read = ReadManifestFile(dir.path());
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(Records(read.manifest) == Records(second));
    EXPECT_FALSE(std::filesystem::exists(temp));

    std::filesystem::create_directory(temp);
    e2e::WriteFile(temp + "/keep", "x");
    std::string bytes = e2e::ReadFile(dir / kManifestName);
    EXPECT_NE(WriteManifestFile(dir.path(), first), 0u);
    EXPECT_TRUE(e2e::ReadFile(dir / kManifestName) == bytes);

    // A damaged file on disk is refused with its cause.
    bytes[bytes.size() / 2] ^= 0x40;
    e2e::WriteFile(dir / kManifestName, bytes);
    read = ReadManifestFile(dir.path());
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, "damaged (checksum does not match)");
}

// The manifest's entries as (path, kind, directory/hidden/read-only
// attributes) and its skips as (path, cause).
std::pair<std::set<std::tuple<std::string, ManifestKind, uint32_t>>, std::set<std::pair<std::string, std::string>>>
Described(const Manifest &m)
{
    std::pair<std::set<std::tuple<std::string, ManifestKind, uint32_t>>, std::set<std::pair<std::string, std::string>>> d;
    for (const ManifestEntry &e : m.entries)
        d.first.insert({e.path, e.kind, e.attributes & 0x13});
    for (const ManifestSkip &s : m.skipped)
        d.second.insert({s.path, s.cause});
    return d;
}

// A backup records what its copy cannot hold (hidden is a dot name on this
// agent), keeps the manifest out of the agent's reach, and a check reads it
// back.
TEST(ManifestBackup, RecordsWhatTheCopyCannotHoldAndTheCheckUsesIt)
{
    e2e::TempDir work;
    const std::string served = work / "served", copy = work / "copy";
    e2e::WriteFile(served + "/docs/.hidden", "h");
    e2e::WriteFile(served + "/docs/locked.txt", "read-only");
    e2e::WriteFile(served + "/docs/space and ünïcode.txt", "t");
    e2e::WriteFile(served + "/.agent-manifest", "the agent's own file of that name");
    ASSERT_EQ(::chmod((served + "/docs/locked.txt").c_str(), 0444), 0);
    ASSERT_EQ(::symlink("docs", (served + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("/etc/hostname", (served + "/docs/out").c_str()), 0); // listed as a file, skipped
    e2e::AgentProcess agent(served);

    e2e::RunResult r = e2e::RunCli(agent.port(), {"backup", "C:\\", copy});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ManifestRead read = ReadManifestFile(copy);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(read.refused.empty());
    EXPECT_EQ(read.manifest.remoteRoot, "C:\\");
    const auto described = Described(read.manifest);
    EXPECT_EQ(described.first, (std::set<std::tuple<std::string, ManifestKind, uint32_t>>{
                                   {"docs", ManifestKind::Folder, 0x10},
                                   {"docs/.hidden", ManifestKind::File, 0x2},
                                   {"docs/locked.txt", ManifestKind::File, 0x1},
                                   {"docs/space and ünïcode.txt", ManifestKind::File, 0}}));
    EXPECT_EQ(described.second, (std::set<std::pair<std::string, std::string>>{
                                    {"link", "directory-link"}, {".agent-manifest", "excluded"}, {"docs/out", "link-leads-out"}}));
    for (const ManifestEntry &e : read.manifest.entries) {
        LocalStamp stamp;
        ASSERT_EQ(ReadLocalStamp(copy + "/" + e.path, stamp), 0u) << e.path;
        EXPECT_TRUE(e.kind == ManifestKind::Folder || (e.size == stamp.size && e.lastWrite == stamp.lastWrite)) << e.path;
        EXPECT_NE(e.lastAccess, 0u) << e.path;
    }

    // A check right after finds nothing; then what only the manifest knows:
    // an attribute changed on the agent, and a file gone from both sides.
    r = e2e::RunCli(agent.port(), {"backup", "--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("MANIFEST"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("EXTRA"), std::string::npos) << r.out;
    ASSERT_EQ(::chmod((served + "/docs/locked.txt").c_str(), 0644), 0);
    std::filesystem::remove(served + "/docs/.hidden");
    std::filesystem::remove(copy + "/docs/.hidden");
    r = e2e::RunCli(agent.port(), {"backup", "--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_NE(r.out.find("MANIFEST docs/locked.txt: attributes 0x"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("MANIFEST docs/.hidden: in the manifest, gone from the agent and from the backup"),
              std::string::npos) << r.out;

    // A damaged manifest fails the check with its cause, and the next run
    // replaces it; a file that run could not copy has no entry, only its cause.
    std::string bytes = e2e::ReadFile(copy + "/.agent-manifest");
    bytes[bytes.size() / 3] ^= 0x04;
    e2e::WriteFile(copy + "/.agent-manifest", bytes);
    r = e2e::RunCli(agent.port(), {"backup", "--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_NE(r.err.find("damaged (checksum does not match)"), std::string::npos) << r.err;
    e2e::WriteFile(served + "/docs/tab\there", "the agent lists it and will not open it");
    r = e2e::RunCli(agent.port(), {"backup", "C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    read = ReadManifestFile(copy);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.manifest.entries.size(), 3u);
    EXPECT_EQ(Described(read.manifest).second.count({"docs/tab\there", "failed:123"}), 1u);
}

} // namespace
