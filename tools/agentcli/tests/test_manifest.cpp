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
#include <tuple>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace agentcli;

namespace {

ManifestEntry Entry(const std::string &path, ManifestKind kind = ManifestKind::File, uint64_t size = 0)
{
    return {path, kind, 0x21, 132000000000000000ull, 133000000000000001ull, 133000000000000002ull, size};
}

auto Fields(const ManifestEntry &e)
{
    return std::tie(e.path, e.kind, e.attributes, e.created, e.lastWrite, e.lastAccess, e.size);
}

void ExpectSame(const Manifest &a, const Manifest &b)
{
    EXPECT_EQ(a.remoteRoot, b.remoteRoot);
    ASSERT_EQ(a.entries.size(), b.entries.size());
    for (size_t i = 0; i < a.entries.size(); ++i)
        EXPECT_TRUE(Fields(a.entries[i]) == Fields(b.entries[i])) << a.entries[i].path;
    ASSERT_EQ(a.skipped.size(), b.skipped.size());
    for (size_t i = 0; i < a.skipped.size(); ++i)
        EXPECT_TRUE(std::tie(a.skipped[i].path, a.skipped[i].cause) ==
                    std::tie(b.skipped[i].path, b.skipped[i].cause));
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
    ExpectSame(m, read.manifest);

    Manifest empty;
    const ManifestRead none = ParseManifest(FormatManifest(empty));
    ASSERT_TRUE(none.ok) << none.error;
    ExpectSame(empty, none.manifest);
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

TEST(Manifest, AReplacementIsWholeOrNotAtAll)
{
    e2e::TempDir dir;
    bool missing = false;
    EXPECT_FALSE(ReadManifestFile(dir.path(), &missing).ok);
    EXPECT_TRUE(missing);

    Manifest first = Awkward();
    ASSERT_EQ(WriteManifestFile(dir.path(), first), 0u);
    ManifestRead read = ReadManifestFile(dir.path(), &missing);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_FALSE(missing);
    ExpectSame(first, read.manifest);

    // A crash in the middle of a write leaves a partial temporary file; the
    // manifest read is still the previous one, and the next run replaces
    // both.
    const std::string temp = dir / (std::string(kManifestName) + ".agent-partial");
    e2e::WriteFile(temp, FormatManifest(first).substr(0, 100));
    read = ReadManifestFile(dir.path());
    ASSERT_TRUE(read.ok) << read.error;
    ExpectSame(first, read.manifest);
    Manifest second;
    second.remoteRoot = "D:\\other";
    second.entries = {Entry("only")};
    ASSERT_EQ(WriteManifestFile(dir.path(), second), 0u);
    ExpectSame(second, ReadManifestFile(dir.path()).manifest);
    EXPECT_FALSE(std::filesystem::exists(temp));

    // A write that cannot finish leaves the previous manifest as it was.
    std::filesystem::create_directory(temp);
    e2e::WriteFile(temp + "/keep", "x");
    EXPECT_NE(WriteManifestFile(dir.path(), first), 0u);
    ExpectSame(second, ReadManifestFile(dir.path()).manifest);

    // A damaged file on disk is refused with its cause.
    std::string bytes = e2e::ReadFile(dir / kManifestName);
    bytes[bytes.size() / 2] ^= 0x40;
    e2e::WriteFile(dir / kManifestName, bytes);
    read = ReadManifestFile(dir.path());
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.error, "damaged (checksum does not match)");
}

TEST(Manifest, AHundredThousandEntries)
{
    Manifest m;
    m.remoteRoot = "C:\\big";
    m.entries.reserve(100000);
    for (unsigned i = 0; i < 100000; ++i) {
        ManifestEntry e = Entry("folder " + std::to_string(i / 1000) + "/Datei näme " + std::to_string(i) + ".bin",
                                i % 1000 == 0 ? ManifestKind::Folder : ManifestKind::File, i * 7ull);
        e.attributes = i & 0x27;
        e.lastWrite += i;
        m.entries.push_back(std::move(e));
    }
    m.skipped.push_back({"link", "directory-link"});
    // Read back whole: no limit of the reader's cuts a large file short.
    e2e::TempDir dir;
    ASSERT_EQ(WriteManifestFile(dir.path(), m), 0u);
    const ManifestRead read = ReadManifestFile(dir.path());
    ASSERT_TRUE(read.ok) << read.error;
    ExpectSame(m, read.manifest);
}

e2e::RunResult Backup(uint16_t port, std::vector<std::string> args)
{
    args.insert(args.begin(), "backup");
    return e2e::RunCli(port, args);
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// A backup records what its copy cannot hold, keeps the manifest out of
// the agent's reach, and a check reads it back.
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

    e2e::RunResult r = Backup(agent.port(), {"C:\\", copy});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ManifestRead read = ReadManifestFile(copy);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(read.refused.empty());
    EXPECT_EQ(read.manifest.remoteRoot, "C:\\");
    // Kind; the directory, hidden (a dot name on this agent) and read-only
    // attributes; the copy's size and time.
    using Described = std::set<std::tuple<std::string, ManifestKind, uint32_t>>;
    const Described expected = {{"docs", ManifestKind::Folder, 0x10},
                                {"docs/.hidden", ManifestKind::File, 0x2},
                                {"docs/locked.txt", ManifestKind::File, 0x1},
                                {"docs/space and ünïcode.txt", ManifestKind::File, 0}};
    Described described;
    for (const ManifestEntry &e : read.manifest.entries) {
        described.insert({e.path, e.kind, e.attributes & 0x13});
        LocalStamp stamp;
        ASSERT_EQ(ReadLocalStamp(copy + "/" + e.path, stamp), 0u) << e.path;
        EXPECT_TRUE(e.kind == ManifestKind::Folder || (e.size == stamp.size && e.lastWrite == stamp.lastWrite))
            << e.path;
        EXPECT_NE(e.lastAccess, 0u) << e.path;
    }
    EXPECT_EQ(read.manifest.entries.size(), expected.size());
    EXPECT_TRUE(described == expected);
    auto skipsOf = [](const Manifest &m) {
        std::set<std::pair<std::string, std::string>> skipped;
        for (const ManifestSkip &s : m.skipped)
            skipped.insert({s.path, s.cause});
        return skipped;
    };
    const std::set<std::pair<std::string, std::string>> skips = {
        {"link", "directory-link"}, {".agent-manifest", "excluded"}, {"docs/out", "link-leads-out"}};
    EXPECT_EQ(skipsOf(read.manifest), skips);

    // A check right after finds nothing.
    r = Backup(agent.port(), {"--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(Contains(r.out + r.err, "MANIFEST") || Contains(r.out, "EXTRA") || Contains(r.err, "no manifest"))
        << r.out << r.err;

    // What only the manifest knows: an attribute changed on the agent, and a
    // file gone from the agent and from the copy.
    ASSERT_EQ(::chmod((served + "/docs/locked.txt").c_str(), 0644), 0);
    std::filesystem::remove(served + "/docs/.hidden");
    std::filesystem::remove(copy + "/docs/.hidden");
    r = Backup(agent.port(), {"--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, "MANIFEST docs/locked.txt: attributes 0x")) << r.out;
    EXPECT_TRUE(Contains(r.out, "MANIFEST docs/.hidden: in the manifest, gone from the agent and from the backup"))
        << r.out;

    // A damaged manifest fails the check with its cause, and the next run
    // replaces it. A file that run could not copy has no entry, only its
    // cause.
    std::string bytes = e2e::ReadFile(copy + "/.agent-manifest");
    bytes[bytes.size() / 3] ^= 0x04;
    e2e::WriteFile(copy + "/.agent-manifest", bytes);
    r = Backup(agent.port(), {"--verify", "C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    EXPECT_TRUE(Contains(r.err, "damaged (checksum does not match)")) << r.err;
    e2e::WriteFile(served + "/docs/tab\there", "the agent lists it and will not open it");
    r = Backup(agent.port(), {"C:\\", copy});
    EXPECT_EQ(r.status, 23) << r.out << r.err;
    read = ReadManifestFile(copy);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.manifest.entries.size(), expected.size() - 1);
    EXPECT_EQ(skipsOf(read.manifest).count({"docs/tab\there", "failed:123"}), 1u);
}

} // namespace
