#include "path_mapping.h"

#include "utf.h"
#include "win32_codes.h"

#include <cerrno>
#include <fcntl.h>
#include <climits>
#include <cstdlib>
#include <memory>
#include <sys/stat.h>

namespace refagent {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// Characters Windows refuses in a file name (separators are split off before).
bool IsReservedNameChar(char16_t c)
{
    return c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

std::string Canonical(const std::string &path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

} // namespace

bool DriveMap::Add(char letter, const std::string &directory, std::string &error)
{
    if (!IsLetter(static_cast<char16_t>(letter))) {
        error = std::string("not a drive letter: ") + letter;
        return false;
    }
    const char upper = static_cast<char>(Upper(static_cast<char16_t>(letter)));
    if (Find(static_cast<char16_t>(upper)) != nullptr) {
        error = std::string("drive ") + upper + ": is mapped twice";
        return false;
    }
    struct stat st;
    const std::string root = Canonical(directory);
    if (root.empty() || ::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "not a directory: " + directory;
        return false;
    }
    AddResolved(upper, root);
    return true;
}

void DriveMap::AddResolved(char letter, const std::string &root)
{
    DriveRoot drive;
    drive.letter = static_cast<char>(Upper(static_cast<char16_t>(letter)));
    drive.localRoot = root.size() > 1 && root.back() == '/' ? root.substr(0, root.size() - 1) : root;
    drive.root = std::make_shared<UniqueFd>(::open(drive.localRoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    roots_.push_back(drive);
}

const DriveRoot *DriveMap::Find(char16_t letter) const
{
    for (const DriveRoot &d : roots_)
        if (static_cast<char16_t>(d.letter) == Upper(letter))
            return &d;
    return nullptr;
}

MappedPath MapWindowsPath(const DriveMap &drives, const std::u16string &input)
{
    MappedPath result;
    std::u16string path = input;
    // The long-path prefix names the same path; its UNC form is still UNC.
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
        IsSeparator(path[3]))
        path = path.substr(4);
    if (path.size() < 2 || !IsLetter(path[0]) || path[1] != u':') {
        result.status = kErrorAccessDenied;
        return result;
    }
    if (path.size() > 2 && !IsSeparator(path[2])) {
        result.status = kErrorInvalidName; // drive-relative "C:x"
        return result;
    }
    result.drive = drives.Find(path[0]);
    if (result.drive == nullptr) {
        result.status = kErrorPathNotFound;
        return result;
    }
    size_t at = 2;
    while (at < path.size()) {
        while (at < path.size() && IsSeparator(path[at]))
            ++at;
        size_t end = at;
        while (end < path.size() && !IsSeparator(path[end]))
            ++end;
        if (end == at)
            break;
        const std::u16string part = path.substr(at, end - at);
        at = end;
        if (part == u".")
            continue;
        if (part == u"..") {
            result.status = kErrorAccessDenied;
            result.parts.clear();
            return result;
        }
        std::string utf8;
        bool valid = ToUtf8(part, utf8);
        for (char16_t c : part)
            valid = valid && !IsReservedNameChar(c);
        if (!valid) {
            result.status = kErrorInvalidName;
            result.parts.clear();
            return result;
        }
        result.parts.push_back(utf8);
    }
    result.local = result.drive->localRoot;
    for (const std::string &p : result.parts) {
        if (result.local.empty() || result.local.back() != '/')
            result.local += '/';
        result.local += p;
    }
    return result;
}

bool IsInside(const std::string &root, const std::string &canonical)
{
    if (root == "/")
        return !canonical.empty() && canonical[0] == '/';
    return canonical == root ||
           (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
            canonical[root.size()] == '/');
}

bool ToWindowsPath(char letter, const std::vector<std::string> &parts, std::u16string &out)
{
    out.clear();
    out += static_cast<char16_t>(letter);
    out += u":\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        std::u16string part;
        if (!ToUtf16(parts[i], part))
            return false;
        if (i > 0)
            out += u'\\';
        out += part;
    }
    return true;
}

void SplitPattern(const std::u16string &pattern, std::u16string &directory, std::u16string &name)
{
    size_t slash = std::u16string::npos;
    for (size_t i = 0; i < pattern.size(); ++i)
        if (IsSeparator(pattern[i]))
            slash = i;
    if (slash == std::u16string::npos) {
        // "C:*.txt" searches the drive's root; anything else has no directory.
        if (pattern.size() >= 2 && pattern[1] == u':') {
            directory = pattern.substr(0, 2) + u"\\";
            name = pattern.substr(2);
        } else {
            directory.clear();
            name = pattern;
        }
        return;
    }
    directory = pattern.substr(0, slash + 1);
    name = pattern.substr(slash + 1);
}

} // namespace refagent
