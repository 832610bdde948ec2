// ConfinedRoot on a Windows host: every folder below the root is checked
// to be a real folder (no symbolic link or junction) before it is used,
// and a link where a folder belongs is removed and replaced. Windows has
// no openat, so the check and the use are two steps; the library then
// refuses links at the partial and final names itself.
#include "confined_local.h"
#include "agent_stub.h"

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

} // namespace

ConfinedRoot::~ConfinedRoot() = default;
ConfinedRoot::Target::~Target() = default;

uint32_t ConfinedRoot::Open(const std::string &root)
{
    if (const uint32_t error = CreateLocalFolder(root))
        return error;
    root_ = root;
    handle_ = 0;
    return 0;
}

uint32_t ConfinedRoot::MakeFolder(const std::string &local) const
{
    std::wstring root, path;
    std::vector<std::wstring> parts;
    if (!ComponentsBelow(root_, local, root, parts))
        return kInvalidName;
    return Descend(root, parts, parts.size(), true, path);
}

uint32_t ConfinedRoot::Stamp(const std::string &local, LocalStamp &stamp) const
{
    stamp = LocalStamp();
    std::wstring root, path;
    std::vector<std::wstring> parts;
    if (!ComponentsBelow(root_, local, root, parts) || parts.empty())
        return kInvalidName;
    const uint32_t error = Descend(root, parts, parts.size() - 1, false, path);
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
    stamp.lastWrite = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                      data.ftLastWriteTime.dwLowDateTime;
    return 0;
}

uint32_t ConfinedRoot::Resolve(const std::string &local, Target &target) const
{
    std::wstring root, path;
    std::vector<std::wstring> parts;
    if (!ComponentsBelow(root_, local, root, parts) || parts.empty())
        return kInvalidName;
    if (const uint32_t error = Descend(root, parts, parts.size() - 1, false, path))
        return error;
    target.path_ = local;
    return 0;
}

} // namespace agentcli
