// ConfinedRoot on a Windows host: every folder below the root is checked
// to be a real folder (no symbolic link or junction) before it is used,
// and a link where a folder belongs is removed and replaced. Windows has
// no openat, so the check and the use are two steps; the library then
// refuses links at the partial and final names itself.
#include "confined_local.h"
#include "agent_stub.h"
#include "remote_info.h"
#include "wide_text.h"

#include <algorithm>
#include <vector>

namespace agentcli {

namespace {

constexpr uint32_t kInvalidName = 123;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// The root and the components of `local` below it, as wide text.
bool ComponentsBelow(const std::string &root, const std::string &local, std::wstring &wideRoot,
                     std::vector<std::wstring> &parts)
{
    parts.clear();
    if (local.compare(0, root.size(), root) != 0 || !ToWide(root, wideRoot))
        return false;
    size_t at = root.size();
    if (at < local.size() && !root.empty() && !IsSeparator(root.back())) {
        if (!IsSeparator(local[at]))
            return false;
        ++at;
    }
    while (at < local.size()) {
        size_t end = at;
        while (end < local.size() && !IsSeparator(local[end]))
            ++end;
        std::wstring part;
        if (!ToWide(local.substr(at, end - at), part) || part.empty() || part == L"." || part == L"..")
            return false;
        parts.push_back(part);
        at = end + 1;
    }
    if (!wideRoot.empty() && wideRoot.back() != L'\\' && wideRoot.back() != L'/')
        wideRoot.push_back(L'\\');
    return true;
}

// Walks parts[0..count) below the root: each must be a real folder; with
// create, a missing one is made and a link replaced. The path reached.
uint32_t Descend(const std::wstring &root, const std::vector<std::wstring> &parts, size_t count, bool create,
                 std::wstring &path)
{
    path = root;
    for (size_t i = 0; i < count; ++i) {
        path += parts[i];
        DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            if (!create)
                return kLocalLinkRefused;
            // Removes the link itself, never what it leads to.
            const BOOL removed = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(path.c_str())
                                                                              : ::DeleteFileW(path.c_str());
            if (!removed)
                return kLocalLinkRefused;
            attributes = INVALID_FILE_ATTRIBUTES;
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            if (!create)
                return kLocalPathNotFound;
            if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
                return ::GetLastError();
        } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            return kLocalFileExists;
        }
        path += L'\\';
    }
    return 0;
}

// Splits `local` below the root and walks to the folder that holds it
// (`parent`) or the one it names, as Descend does: 0 with its path, or the
// cause (kInvalidName outside the root, or for the root where its parent
// is wanted).
uint32_t Reach(const std::string &rootText, const std::string &local, bool parent, bool create,
               std::vector<std::wstring> &parts, std::wstring &path)
{
    std::wstring root;
    if (!ComponentsBelow(rootText, local, root, parts) || (parent && parts.empty()))
        return kInvalidName;
    return Descend(root, parts, parent ? parts.size() - 1 : parts.size(), create, path);
}

} // namespace

ConfinedRoot::~ConfinedRoot() = default;
ConfinedRoot::Target::Held::~Held()
{
    if (handle != -1)
        ::CloseHandle(reinterpret_cast<HANDLE>(handle));
}

uint32_t ConfinedRoot::Open(const std::string &root)
{
    if (const uint32_t error = CreateLocalFolder(root))
        return error;
    root_ = root;
    handle_ = 0;
    return 0;
}

uint32_t ConfinedRoot::MakeFolder(const std::string &local, bool *made) const
{
    // Nothing here tells a folder made now from one found; a backup then
    // looks into each, as it must for one that was there.
    if (made != nullptr)
        *made = false;
    std::wstring path;
    std::vector<std::wstring> parts;
    return Reach(root_, local, false, true, parts, path);
}

uint32_t ConfinedRoot::Stamp(const std::string &local, LocalStamp &stamp) const
{
    stamp = LocalStamp();
    std::wstring path;
    std::vector<std::wstring> parts;
    const uint32_t error = Reach(root_, local, true, false, parts, path);
    if (error == kLocalPathNotFound)
        return 0;
    if (error != 0)
        return error;
    path += parts.back();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD cause = ::GetLastError();
        return cause == ERROR_FILE_NOT_FOUND || cause == ERROR_PATH_NOT_FOUND ? 0 : cause;
    }
    stamp.exists = true;
    stamp.regular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    stamp.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    stamp.lastWrite = FileTimeTicks(data.ftLastWriteTime);
    return 0;
}

// Nothing is held here, so each file's folders are checked again.
uint32_t ConfinedRoot::Resolve(const std::string &local, Target &target, const Target *) const
{
    std::wstring path;
    std::vector<std::wstring> parts;
    if (const uint32_t error = Reach(root_, local, true, false, parts, path))
        return error;
    target.path_ = local;
    return 0;
}

uint32_t ConfinedRoot::List(const std::string &local, std::vector<LocalEntry> &entries, size_t most) const
{
    entries.clear();
    std::wstring path;
    std::vector<std::wstring> parts;
    if (const uint32_t error = Reach(root_, local, false, false, parts, path))
        return error;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW((path + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? 0 : error;
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (entries.size() == most) {
            ::FindClose(find);
            entries.clear();
            return ERROR_BUFFER_OVERFLOW;
        }
        LocalEntry entry;
        entry.name = Narrow(name.c_str());
        const DWORD a = data.dwFileAttributes;
        entry.kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? LocalEntry::Kind::Link
                     : (a & FILE_ATTRIBUTE_DIRECTORY) != 0  ? LocalEntry::Kind::Folder
                                                            : LocalEntry::Kind::File;
        if (entry.kind == LocalEntry::Kind::File)
            entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        entry.lastWrite = FileTimeTicks(data.ftLastWriteTime);
        entries.push_back(std::move(entry));
    } while (::FindNextFileW(find, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(find);
    std::sort(entries.begin(), entries.end(),
              [](const LocalEntry &a, const LocalEntry &b) { return a.name < b.name; });
    return error == ERROR_NO_MORE_FILES ? 0 : error;
}

uint32_t ConfinedRoot::Hold(const std::string &local, Target &target, LocalStamp &stamp) const
{
    stamp = LocalStamp();
    std::wstring path;
    std::vector<std::wstring> parts;
    if (const uint32_t error = Reach(root_, local, true, false, parts, path))
        return error;
    path += parts.back();
    // The link itself, never its target; without delete sharing, nobody can
    // rename or replace the file while it is held.
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!::GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        ::CloseHandle(file);
        return link ? kLocalLinkRefused : kLocalAccessDenied;
    }
    stamp.exists = true;
    stamp.regular = true;
    stamp.size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp.lastWrite = FileTimeTicks(info.ftLastWriteTime);
    target.Keep(reinterpret_cast<intptr_t>(file));
    target.path_ = local;
    return 0;
}

} // namespace agentcli
