// Writes the seed corpora of the fuzz targets: for every export a target
// drives, the conversation a well-behaved agent has with it, built from the
// same reply builders as the tests. Run it as `make_seeds DIR` to refresh
// fuzz/corpus/ (the output is checked in).
#include "entries.h"
#include "file_messages.h"
#include "messages.h"
#include "protocol/fss_util.h"
#include "scripted_agent.h"
#include "wire.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace agent;
using fake::Bytes;
using fake::Payload;

namespace {

std::string outDir;

const Bytes kLogon = fake::StatusReply(OpLogon, 0);
const Bytes kLogout = fake::StatusReply(OpLogout, 0);

using Replies = std::vector<Bytes>;

// Control bytes, then the replies joined with the separator.
void Write(const std::string &target, const std::string &name, uint8_t selector, uint8_t parameter,
           const Replies &replies)
{
    Bytes out{selector, parameter};
    for (size_t i = 0; i < replies.size(); ++i) {
        if (i > 0)
            out.insert(out.end(), fuzzing::kSeparator, fuzzing::kSeparator + sizeof fuzzing::kSeparator - 1);
        out.insert(out.end(), replies[i].begin(), replies[i].end());
    }
    const std::string dir = outDir + "/" + target;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/" + name, std::ios::binary).write(reinterpret_cast<const char *>(out.data()), out.size());
}

// Bytes that differ per seed and do not repeat at chunk boundaries.
Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(i * 31 + i / 251 + seed);
    return out;
}

Replies Twice(const Bytes &reply) { return {kLogon, reply, reply, kLogout}; }

Replies Join(std::initializer_list<Replies> parts)
{
    Replies out;
    for (const Replies &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

using fake::DataReply;

Bytes Position(uint64_t at) { return fake::PositionReply(at); }

// What AgentCopyFileFromAgent's own connection is asked: its logon, the
// open, reads of `content` in 4096-byte chunks at offsets each followed by
// the pointer move, then the close.
Replies CopyConversation(const Bytes &content)
{
    Replies out{kLogon, fake::StatusReply(OpCreateFile, 0)};
    size_t at = 0;
    for (;;) {
        const size_t n = std::min<size_t>(4096, content.size() - at);
        Bytes piece(content.begin() + static_cast<long>(at), content.begin() + static_cast<long>(at + n));
        at += n;
        out.push_back(DataReply(OpReadFileAt, 0, piece));
        out.push_back(Position(at));
        if (n < 4096)
            break;
    }
    out.push_back(fake::StatusReply(OpCloseHandle, 0));
    return out;
}

void ExchangeSeeds()
{
    const fake::WString path = fake::W(u"C:\\Users\\alice\\Documents");
    const Bytes attributes = fake::AttributeDataReply(fake::AttributeData(0x20, {1, 2}, {3, 4}, {5, 6}, 1000));
    const struct {
        const char *name;
        uint8_t selector;
        Bytes reply;
    } seeds[] = {
        {"path-exists", 0, fake::StatusReply(OpPathFileExists, 0)},
        {"path-exists-refused", 0, fake::StatusReply(OpPathFileExists, 2)},
        {"is-root", 1, fake::StatusReply(OpPathIsRoot, 0)},
        {"strip-to-root", 2, fake::StatusReply(OpPathStripToRoot, 0)},
        {"attributes", 3, fake::AttributesReply(0, 0x10)},
        {"attributes-ex", 4, attributes},
        // ACE writes only in the host's byte order: a big-endian agent is written out by hand.
        {"attributes-ex-big-endian", 4,
         fake::Reply(OpGetFileAttributesEx, Payload(true).u32(0).u32(0x20).filetime(1, 2).filetime(3, 4).filetime(5, 6).u32(7).u32(0))},
        {"set-attributes", 5, fake::StatusReply(OpSetFileAttributes, 0)},
        {"create-directory", 6, fake::StatusReply(OpCreateDirectory, 0)},
        {"remove", 7, fake::StatusReply(OpRemovePath, 5)},
        {"move", 8, fake::StatusReply(OpMoveFile, 0)},
        {"disk-space", 9, fake::DiskSpaceReply(0, 8, 512, 1000, 4000)},
        {"os-version", 10, fake::OsVersionReply(0x1DB10106)},
        {"folder-path", 11, fake::PathReply(OpGetFolderPath, 0, path)},
        {"folder-path-long", 11, fake::PathReply(OpGetFolderPath, 0, fake::LongName(300))},
        {"firefox-exists", 12, fake::StatusReply(OpGetFirefox3BookmarkPath, 0)},
        {"firefox-path", 13, fake::PathReply(OpGetFirefox3BookmarkPath, 0, fake::W(u"C:\\p\\places.sqlite"))},
        {"favorites-path", 14, fake::Reply(OpGetIEFavoritePath, Payload(true).u32(0).wstr(u"C:\\Users\\a\\Favorites"))},
        {"pst-count", 15, fake::PstCountReply(0, 3)},
        {"merge", 16, fake::StatusReply(OpMergePst, 0)},
    };
    for (const auto &seed : seeds)
        Write("exchange", seed.name, seed.selector, 7, Twice(seed.reply));
    Write("exchange", "logon-refused", 0, 0, {fake::StatusReply(OpLogon, 1326)});
    // A broken reply destroys the connection; the second call logs on anew.
    Write("exchange", "second-connection", 3, 0,
          {kLogon, fake::Header(2, OpGetFileAttributes, 0), kLogon,
           fake::AttributesReply(0, 0x10), kLogout});
}

void FileSeeds()
{
    const Bytes small = Pattern(100, 1);
    const Bytes chunked = Pattern(4096 + 300, 2);
    Write("files", "reads", 0, 2,
          {kLogon, fake::StatusReply(OpCreateFile, 0), DataReply(OpReadFile, 0, Pattern(75, 3)),
           DataReply(OpReadFile, 0, Pattern(10, 4)), DataReply(OpReadFile, 0, {}), DataReply(OpReadFile, 38, {}),
           fake::StatusReply(OpCloseHandle, 0), kLogout});
    const BY_HANDLE_FILE_INFORMATION info = fake::FileInformation(0x20, {1, 2}, {3, 4}, {5, 6}, 1000, 0xABCD, 2,
                                                                  uint64_t{7} << 32 | 8);
    Write("files", "handle-calls", 1, 1,
          {kLogon, fake::StatusReply(OpCreateFile, 0), fake::InformationReply(info),
           DataReply(OpReadFileAt, 0, Pattern(38, 5)), Position(1), fake::StatusReply(OpSetFileTime, 0),
           fake::CountReply(OpWriteFile, 0, 38), fake::StatusReply(OpCloseHandle, 0), kLogout});
    // The copy holds the logon's connection and opens the file on a second.
    Write("files", "copy-small", 2, 0, Join({{kLogon}, CopyConversation(small), {kLogout, kLogout}}));
    Write("files", "copy-chunks", 2, 0, Join({{kLogon}, CopyConversation(chunked), {kLogout, kLogout}}));
    Write("files", "copy-refused", 2, 0, {kLogon, kLogon, fake::StatusReply(OpCreateFile, 2), kLogout, kLogout});
    // The bookmark copy asks for the path on its own connection, then copies.
    Write("files", "firefox-bookmark", 3, 0,
          Join({{kLogon, fake::PathReply(OpGetFirefox3BookmarkPath, 0, fake::W(u"C:\\p\\places.sqlite")), kLogon},
                CopyConversation(small), {kLogout, kLogout, kLogout}}));
    Write("files", "pst-local", 4, 0,
          Join({{kLogon,
                 fake::PstListReply({{fake::W(u"C:\\mail\\outlook.pst"), fake::W(u"outlook")}}),
                 kLogon},
                CopyConversation(small), {kLogout, kLogout, kLogout}}));
}

void EnumerationSeeds()
{
    fake::FindEntry a, b;
    a.name = fake::W(u"alpha.txt");
    b.name = fake::W(u"folder");
    b.attributes = 0x10;
    // A search's entries all follow its one reply; its end frees the connection.
    Write("enumeration", "search", 0, 0,
          {kLogon, fake::SearchStream(OpFindFirst, {fake::FindRecord(a), fake::FindRecord(b)}), kLogout});
    Write("enumeration", "search-big-endian", 1, 3,
          {kLogon, fake::SearchStream(OpFindFirst, {fake::FindRecord(a, true)}, true), kLogout});
    fake::DriveEntry c;
    c.values[0] = 3;
    c.values[8] = 2;
    c.text1 = fake::W(u"C:\\");
    c.text2 = fake::W(u"System");
    Write("enumeration", "drives", 2, 0,
          {kLogon, fake::SearchStream(OpFindFirstDrive, {fake::DriveRecord(c), fake::DriveRecord(c)}), kLogout});
    // A path list's chunks each answer an acknowledgement.
    const Bytes chunk1 = fake::Chunk(fake::PathListChunk({{fake::W(u"C:\\a\\alpha.txt"), a}, {fake::W(u"C:\\a\\folder"), b}}));
    const Bytes chunk2 = fake::Chunk(fake::PathListChunk({{fake::W(u"C:\\a\\folder\\x"), a}}));
    Write("enumeration", "path-list", 3, 0,
          {kLogon, fake::Concat({fake::Header(2, OpGetPathList, 0), chunk1}), chunk2, fake::EndChunk(), kLogout});
    Write("enumeration", "path-list-stopped", 3, 2,
          {kLogon, fake::Concat({fake::Header(2, OpGetPathList, 0), chunk1}), {}, kLogout});
    Write("enumeration", "pst-list", 4, 0,
          {kLogon,
           fake::PstListReply({{fake::W(u"C:\\mail\\a.pst"), fake::W(u"a")}, {fake::W(u"D:\\b.pst"), fake::W(u"b")}}),
           kLogout});
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
        return 2;
    }
    outDir = argv[1];
    ExchangeSeeds();
    FileSeeds();
    EnumerationSeeds();
    return 0;
}
