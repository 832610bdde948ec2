#include "manifest.h"

#include "local_files.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace agentcli {

namespace {

constexpr char kMagic[] = "agentcli-manifest";
constexpr int kVersion = 1;
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t Fnv1a(const char *data, size_t size, uint64_t hash = kFnvOffset)
{
    for (size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= kFnvPrime;
    }
    return hash;
}

void AppendEscaped(std::string &out, const std::string &text)
{
    static const char hex[] = "0123456789abcdef";
    // Runs of characters that stand as they are go in one append: a
    // manifest holds every name of the tree.
    size_t plain = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c != '\\' && c >= 0x20 && c != 0x7f)
            continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    out.append(text, plain, text.size() - plain);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Unescape(const std::string &field, std::string &out)
{
    out.clear();
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        const char c = field[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false; // written escaped, so a raw one is damage
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 'x': {
            if (i + 2 >= field.size())
                return false;
            const int high = HexDigit(field[i + 1]), low = HexDigit(field[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    return true;
}

std::vector<std::string> SplitTabs(const std::string &line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        const size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

bool ParseUnsigned(const std::string &text, int base, uint64_t &value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t v = 0;
    for (const char c : text) {
        const int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0)
            return false;
        const uint64_t next = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (next / static_cast<uint64_t>(base) != v)
            return false; // overflow
        v = next;
    }
    value = v;
    return true;
}

std::string Hex(uint64_t value, int digits)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

std::string Refusal(size_t line, const std::string &what)
{
    return "line " + std::to_string(line) + ": " + what;
}

} // namespace

bool IsContainedPath(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return false;
    size_t at = 0;
    for (;;) {
        const size_t slash = path.find('/', at);
        const std::string name = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (name.empty() || name == "." || name == "..")
            return false;
        // A '\' would separate names on Windows and a ':' names a drive or
        // a stream there.
        if (name.find_first_of(std::string("\\:\0", 3)) != std::string::npos)
            return false;
        if (slash == std::string::npos)
            return true;
        at = slash + 1;
    }
}

std::string FormatManifest(const Manifest &manifest)
{
    std::string out;
    out.reserve(96 * (manifest.entries.size() + manifest.skipped.size()) + 128);
    out.append(kMagic).append("\t").append(std::to_string(kVersion)).append("\n");
    out += "root\t";
    AppendEscaped(out, manifest.remoteRoot);
    out += '\n';
    // Summed line by line as each is written: the sum's chain of multiplies
    // then overlaps the next line's formatting instead of following it all.
    uint64_t sum = Fnv1a(out.data(), out.size());
    for (const ManifestEntry &e : manifest.entries) {
        const size_t start = out.size();
        // The fixed fields go in as one piece.
        char fields[2 + 5 * 22];
        char *at = fields;
        *at++ = static_cast<char>(e.kind);
        *at++ = '\t';
        at = std::to_chars(at, fields + sizeof fields, e.attributes, 16).ptr;
        for (const uint64_t n : {e.created, e.lastWrite, e.lastAccess, e.size}) {
            *at++ = '\t';
            at = std::to_chars(at, fields + sizeof fields, n, 10).ptr;
        }
        *at++ = '\t';
        out.append(fields, at);
        AppendEscaped(out, e.path);
        out += '\n';
        sum = Fnv1a(out.data() + start, out.size() - start, sum);
    }
    for (const ManifestSkip &s : manifest.skipped) {
        const size_t start = out.size();
        out += "s\t";
        AppendEscaped(out, s.cause);
        out += '\t';
        AppendEscaped(out, s.path);
        out += '\n';
        sum = Fnv1a(out.data() + start, out.size() - start, sum);
    }
    out.append("end\t")
        .append(std::to_string(manifest.entries.size()))
        .append("\t")
        .append(std::to_string(manifest.skipped.size()))
        .append("\t")
        .append(Hex(sum, 16))
        .append("\n");
    return out;
}

ManifestRead ParseManifest(const std::string &bytes)
{
    ManifestRead read;
    // The end line first: nothing is believed before the checksum holds.
    if (bytes.empty() || bytes.back() != '\n') {
        read.error = bytes.empty() ? "empty" : "cut short (no end line)";
        return read;
    }
    const size_t endStart = bytes.rfind('\n', bytes.size() - 2);
    const size_t bodySize = endStart == std::string::npos ? 0 : endStart + 1;
    const std::vector<std::string> end = SplitTabs(bytes.substr(bodySize, bytes.size() - 1 - bodySize));
    uint64_t entryCount = 0, skipCount = 0, sum = 0;
    if (end.size() != 4 || end[0] != "end" || !ParseUnsigned(end[1], 10, entryCount) ||
        !ParseUnsigned(end[2], 10, skipCount) || end[3].size() != 16 || !ParseUnsigned(end[3], 16, sum)) {
        read.error = "cut short (no end line)";
        return read;
    }
    if (Fnv1a(bytes.data(), bodySize) != sum) {
        read.error = "damaged (checksum does not match)";
        return read;
    }
    size_t lineNumber = 0, at = 0;
    uint64_t entriesSeen = 0, skipsSeen = 0;
    std::string text;
    while (at < bodySize) {
        const size_t newline = bytes.find('\n', at);
        const std::vector<std::string> f = SplitTabs(bytes.substr(at, newline - at));
        at = newline + 1;
        ++lineNumber;
        if (lineNumber == 1) {
            uint64_t version = 0;
            if (f.size() != 2 || f[0] != kMagic || !ParseUnsigned(f[1], 10, version)) {
                read.error = "not a manifest";
                return read;
            }
            if (version != kVersion) {
                read.error = "version " + f[1] + " not understood (this agentcli reads version 1)";
                return read;
            }
            continue;
        }
        if (lineNumber == 2) {
            if (f.size() != 2 || f[0] != "root" || !Unescape(f[1], read.manifest.remoteRoot)) {
                read.error = Refusal(lineNumber, "no root line");
                return read;
            }
            continue;
        }
        if (f.size() == 3 && f[0] == "s") {
            ++skipsSeen;
            ManifestSkip skip;
            if (!Unescape(f[1], skip.cause) || !Unescape(f[2], skip.path))
                read.refused.push_back({lineNumber, "badly escaped text"});
            else
                read.manifest.skipped.push_back(std::move(skip));
            continue;
        }
        if (f.size() != 7 || f[0].size() != 1 || (f[0][0] != 'd' && f[0][0] != 'f' && f[0][0] != 'l')) {
            read.error = Refusal(lineNumber, "not a manifest record");
            return read;
        }
        ++entriesSeen;
        ManifestEntry e;
        e.kind = static_cast<ManifestKind>(f[0][0]);
        uint64_t attributes = 0;
        if (!ParseUnsigned(f[1], 16, attributes) || attributes > 0xFFFFFFFFull || !ParseUnsigned(f[2], 10, e.created) ||
            !ParseUnsigned(f[3], 10, e.lastWrite) || !ParseUnsigned(f[4], 10, e.lastAccess) ||
            !ParseUnsigned(f[5], 10, e.size)) {
            read.refused.push_back({lineNumber, "bad number"});
            continue;
        }
        e.attributes = static_cast<uint32_t>(attributes);
        if (!Unescape(f[6], e.path)) {
            read.refused.push_back({lineNumber, "badly escaped path"});
            continue;
        }
        if (!IsContainedPath(e.path)) {
            read.refused.push_back({lineNumber, "path leads outside the backup"});
            continue;
        }
        read.manifest.entries.push_back(std::move(e));
    }
    if (lineNumber < 2) {
        read.error = "not a manifest";
        return read;
    }
    if (entriesSeen != entryCount || skipsSeen != skipCount) {
        read.error = "the end line counts other records than the manifest holds";
        return read;
    }
    read.ok = true;
    return read;
}

namespace {

#ifdef _WIN32
uint32_t WriteDurably(const std::string &temp, const std::string &final, const std::string &bytes)
{
    std::wstring wideTemp, wideFinal;
    if (!ToWide(temp, wideTemp) || !ToWide(final, wideFinal))
        return 123; // ERROR_INVALID_NAME
    HANDLE file = ::CreateFileW(wideTemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    uint32_t error = 0;
    for (size_t at = 0; at < bytes.size() && error == 0;) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1u << 20));
        DWORD wrote = 0;
        if (!::WriteFile(file, bytes.data() + at, want, &wrote, nullptr))
            error = ::GetLastError();
        at += wrote;
    }
    if (error == 0 && !::FlushFileBuffers(file))
        error = ::GetLastError();
    ::CloseHandle(file);
    // MOVEFILE_WRITE_THROUGH returns once the rename itself is on the disk.
    if (error == 0 &&
        !::MoveFileExW(wideTemp.c_str(), wideFinal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = ::GetLastError();
    if (error != 0)
        ::DeleteFileW(wideTemp.c_str());
    return error;
}

#else
uint32_t WriteDurably(const std::string &temp, const std::string &final, const std::string &bytes)
{
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return Win32FromErrno(errno, temp);
    uint32_t error = 0;
    for (size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = Win32FromErrno(n < 0 ? errno : ENOSPC, temp);
            break;
        }
        at += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = Win32FromErrno(errno, temp);
    if (::close(fd) != 0 && error == 0)
        error = Win32FromErrno(errno, temp);
    if (error == 0 && ::rename(temp.c_str(), final.c_str()) != 0)
        error = Win32FromErrno(errno, final);
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    // The rename is durable once the folder that holds both names is.
    const size_t slash = final.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : final.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return Win32FromErrno(errno, folder);
    if (::fsync(dir) != 0)
        error = Win32FromErrno(errno, folder);
    ::close(dir);
    return error;
}

#endif

std::string JoinFolder(const std::string &folder, const std::string &name)
{
    if (folder.empty())
        return name;
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + name : folder + "/" + name;
}

} // namespace

uint32_t WriteManifestFile(const std::string &folder, const Manifest &manifest)
{
    const std::string final = JoinFolder(folder, kManifestName);
    return WriteDurably(final + ".agent-partial", final, FormatManifest(manifest));
}

ManifestRead ReadManifestFile(const std::string &folder, bool *missing)
{
    const std::string path = JoinFolder(folder, kManifestName);
    if (missing != nullptr)
        *missing = false;
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(OpenLocalForRead(path), &std::fclose);
    if (!file) {
        ManifestRead read;
        const int error = errno;
        if (error == ENOENT && missing != nullptr)
            *missing = true;
        read.error = error == ENOENT ? "no manifest" : std::string("cannot be read: ") + std::strerror(error);
        return read;
    }
    std::string bytes;
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        bytes.append(buffer, n);
    if (std::ferror(file.get())) {
        ManifestRead read;
        read.error = "cannot be read";
        return read;
    }
    return ParseManifest(bytes);
}

} // namespace agentcli
