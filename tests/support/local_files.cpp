#include "local_files.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace fake {

namespace {

std::string Utf8(const char16_t *text)
{
    std::string out;
    for (const char16_t *p = text; *p != 0; ++p) {
        const char32_t c = *p;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace

TempDirectory::TempDirectory()
{
    static std::atomic<unsigned> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                          ("agent_stub_test_" + std::to_string(stamp) + "_" +
                                           std::to_string(serial++));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            root_ = candidate;
            return;
        }
    }
    throw std::runtime_error("no temporary directory");
}

TempDirectory::~TempDirectory()
{
    std::error_code error;
    std::filesystem::remove_all(root_, error);
}

WString TempDirectory::Root() const { return Utf16(root_.u8string()); }

WString TempDirectory::Path(const char16_t *name) const { return Root() + W(u"\\") + W(name); }

std::filesystem::path TempDirectory::Native(const char16_t *name) const
{
    std::string relative = Utf8(name);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return root_ / std::filesystem::u8path(relative);
}

bool TempDirectory::Exists(const char16_t *name) const
{
    std::error_code error;
    return std::filesystem::exists(Native(name), error);
}

Bytes TempDirectory::Read(const char16_t *name) const
{
    std::ifstream in(Native(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> TempDirectory::Files() const
{
    std::vector<std::string> out;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root_))
        if (entry.is_regular_file())
            out.push_back(entry.path().lexically_relative(root_).generic_u8string());
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> NamesIn(const std::filesystem::path &folder)
{
    std::vector<std::string> out;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        out.push_back(entry.path().filename().u8string());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace fake
