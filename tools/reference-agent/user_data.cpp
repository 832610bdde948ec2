// Shell folders, browser bookmark locations and mail stores, looked up in
// the served tree under the configured user profile.
#include "session.h"

#include "directory_walk.h"
#include "utf.h"
#include "protocol/mail_store_messages.h"
#include "protocol/user_data_messages.h"
#include "win32_codes.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace refagent {

using namespace agent;

namespace {

constexpr uint32_t kCsidlFlagCreate = 0x8000;
constexpr size_t kMaxStores = 4096;

struct ShellFolder {
    uint32_t csidl;
    bool inProfile;          // else relative to the profile's drive root
    const char16_t *relative;
};

// The folders of a current Windows profile, by CSIDL number.
const ShellFolder kFolders[] = {
    {0x00, true, u"Desktop"},
    {0x02, true, u"AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs"},
    {0x05, true, u"Documents"},
    {0x06, true, u"Favorites"},
    {0x07, true, u"AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"},
    {0x08, true, u"AppData\\Roaming\\Microsoft\\Windows\\Recent"},
    {0x09, true, u"AppData\\Roaming\\Microsoft\\Windows\\SendTo"},
    {0x0b, true, u"AppData\\Roaming\\Microsoft\\Windows\\Start Menu"},
    {0x0d, true, u"Music"},
    {0x0e, true, u"Videos"},
    {0x10, true, u"Desktop"},
    {0x13, true, u"AppData\\Roaming\\Microsoft\\Windows\\Network Shortcuts"},
    {0x14, false, u"Windows\\Fonts"},
    {0x15, true, u"AppData\\Roaming\\Microsoft\\Windows\\Templates"},
    {0x19, false, u"Users\\Public\\Desktop"},
    {0x1a, true, u"AppData\\Roaming"},
    {0x1c, true, u"AppData\\Local"},
    {0x20, true, u"AppData\\Local\\Microsoft\\Windows\\INetCache"},
    {0x21, true, u"AppData\\Roaming\\Microsoft\\Windows\\Cookies"},
    {0x22, true, u"AppData\\Local\\Microsoft\\Windows\\History"},
    {0x23, false, u"ProgramData"},
    {0x24, false, u"Windows"},
    {0x25, false, u"Windows\\System32"},
    {0x26, false, u"Program Files"},
    {0x27, true, u"Pictures"},
    {0x28, true, u""},
    {0x2e, false, u"Users\\Public\\Documents"},
};

std::u16string Join(const std::u16string &base, const std::u16string &relative)
{
    if (relative.empty())
        return base;
    if (!base.empty() && base.back() == u'\\')
        return base + relative;
    return base + u"\\" + relative;
}

bool EndsWithPst(const std::string &name)
{
    if (name.size() < 4)
        return false;
    std::string tail = name.substr(name.size() - 4);
    std::transform(tail.begin(), tail.end(), tail.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return tail == ".pst";
}

} // namespace

bool Session::HandleGetFolderPath()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::GetFolderPathRequest request;
    if (!protocol::DecodeGetFolderPathRequest(in, request))
        return false;
    const uint32_t folder = request.folder, flag = request.flag;
    const ShellFolder *known = nullptr;
    for (const ShellFolder &f : kFolders)
        if (f.csidl == (folder & 0xFF) && (folder & ~(0xFFu | kCsidlFlagCreate)) == 0)
            known = &f;
    if (known == nullptr || flag > 1)
        return channel_.SendStatus(OpGetFolderPath, kErrorInvalidParameter);
    const std::u16string drive = config_.profile.substr(0, 2) + u"\\";
    const std::u16string path = Join(known->inProfile ? config_.profile : drive, known->relative);
    MappedPath mapped;
    Location at;
    uint32_t status = Find(path, false, mapped, at);
    if (status == 0 && (folder & kCsidlFlagCreate) && !config_.readOnly) {
        // Each level is made beneath the one before, links followed only
        // while they stay inside.
        std::vector<std::string> partial;
        for (const std::string &p : mapped.parts) {
            Location level;
            partial.push_back(p);
            if (Locate(mapped.drive->rootFd(), partial, false, level) != 0 ||
                ::mkdirat(level.dir.get(), level.name.c_str(), 0777) != 0) {
                if (errno != EEXIST)
                    break;
            }
        }
    }
    if (status == 0) {
        // The current path of a folder is only known when it exists; its
        // default path always is.
        uint32_t folderStatus = 0;
        MappedPath again;
        if (flag == 0 && !OpenFolder(path, again, folderStatus).valid())
            status = folderStatus == kErrorAccessDenied ? kErrorAccessDenied : kErrorFileNotFound;
    } else if (flag == 1 && status != kErrorAccessDenied) {
        status = 0;
    }
    return SendPathReply(OpGetFolderPath, status, path);
}

bool Session::HandleFirefox(uint32_t opcode)
{
    // Firefox 3 keeps its bookmarks in places.sqlite of a profile folder;
    // a "default" profile is preferred, as Firefox prefers it.
    const std::u16string profiles = Join(config_.profile, u"AppData\\Roaming\\Mozilla\\Firefox\\Profiles");
    MappedPath mapped;
    uint32_t status = 0;
    std::u16string found;
    const UniqueFd folder = OpenFolder(profiles, mapped, status);
    if (folder.valid()) {
        std::vector<std::string> names;
        ListDirectory(folder.get(), names);
        std::stable_partition(names.begin(), names.end(),
                              [](const std::string &n) { return n.find(".default") != std::string::npos; });
        for (const std::string &n : names) {
            std::u16string name;
            MappedPath candidate;
            Location at;
            struct stat st;
            if (!ToUtf16(n, name))
                continue;
            const std::u16string places = Join(Join(profiles, name), u"places.sqlite");
            if (Find(places, true, candidate, at) == 0 && StatAt(at, st) == 0 && S_ISREG(st.st_mode)) {
                found = places;
                break;
            }
        }
    }
    status = found.empty() ? kErrorFileNotFound : 0;
    if (opcode == OpFirefox3Exists)
        return channel_.SendStatus(opcode, status);
    return SendPathReply(opcode, status, found);
}

bool Session::HandleIEFavoritePath()
{
    const std::u16string path = Join(config_.profile, u"Favorites");
    MappedPath mapped;
    uint32_t status = 0;
    if (!OpenFolder(path, mapped, status).valid() && status != kErrorAccessDenied)
        status = kErrorFileNotFound;
    return SendPathReply(OpGetIEFavoritePath, status, path);
}

namespace {

// Every .pst file of the served drives, in drive and path order.
std::vector<protocol::PstStore> FindStores(const DriveMap &drives)
{
    std::vector<protocol::PstStore> stores;
    std::vector<DriveRoot> roots = drives.Roots();
    std::sort(roots.begin(), roots.end(), [](const DriveRoot &a, const DriveRoot &b) { return a.letter < b.letter; });
    for (const DriveRoot &d : roots) {
        WalkTree(d.rootFd(), {}, [&](const std::vector<std::string> &parts, int, const struct stat &entry) {
            // A link to a store counts when it stays inside the drive.
            Location at;
            struct stat st;
            if (S_ISDIR(entry.st_mode) || !EndsWithPst(parts.back()) || Locate(d.rootFd(), parts, true, at) != 0 ||
                StatAt(at, st) != 0 || !S_ISREG(st.st_mode))
                return true;
            // The second text: the store's display name.
            protocol::PstStore s;
            const std::string &name = parts.back();
            if (ToWindowsPath(d.letter, parts, s.path) && ToUtf16(name.substr(0, name.size() - 4), s.secondText))
                stores.push_back(std::move(s));
            return stores.size() < kMaxStores;
        });
    }
    return stores;
}

} // namespace

bool Session::HandlePstCount()
{
    const std::vector<protocol::PstStore> stores = FindStores(config_.drives);
    ACE_OutputCDR out = MakeOutputStream(16);
    return protocol::EncodeGetPstCountReply(out, {0, static_cast<uint32_t>(stores.size())}) &&
           channel_.SendReply(OpGetPstCount, out);
}

bool Session::HandlePstList()
{
    const std::vector<protocol::PstStore> stores = FindStores(config_.drives);
    ACE_OutputCDR out = MakeOutputStream(kPayloadStreamSize);
    return protocol::EncodeGetPstListReply(out, 0, stores) && channel_.SendReply(OpGetPstList, out);
}

bool Session::HandleMergePst()
{
    ACE_InputCDR in = channel_.PayloadStream();
    protocol::MergePstRequest request;
    if (!protocol::DecodeMergePstRequest(in, request))
        return false;
    // The reference agent keeps no mail: the request is acknowledged only.
    Log("merge request with %zu items acknowledged", request.items.size());
    return channel_.SendStatus(OpMergePst, 0);
}

} // namespace refagent
