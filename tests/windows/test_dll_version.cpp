// agent_stub.dll's version resource, read the way Explorer's properties
// dialog reads it, carries the version of the header hosts compile against.
#include "agent_stub.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring VersionText(int major, int minor, int patch)
{
    return std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(patch);
}

TEST(DllVersion, ResourceCarriesTheHeaderVersion)
{
    HMODULE module = ::LoadLibraryA("agent_stub.dll");
    ASSERT_NE(module, nullptr) << ::GetLastError();
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(module, path, MAX_PATH), 0u);
    ::FreeLibrary(module);

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_GT(size, 0u) << "no version resource: " << ::GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(::GetFileVersionInfoW(path, 0, size, info.data()));

    void *value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", &value, &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    for (DWORD ms : {fixed->dwFileVersionMS, fixed->dwProductVersionMS}) {
        EXPECT_EQ(HIWORD(ms), AGENT_STUB_VERSION_MAJOR);
        EXPECT_EQ(LOWORD(ms), AGENT_STUB_VERSION_MINOR);
    }
    for (DWORD ls : {fixed->dwFileVersionLS, fixed->dwProductVersionLS}) {
        EXPECT_EQ(HIWORD(ls), AGENT_STUB_VERSION_PATCH);
        EXPECT_EQ(LOWORD(ls), 0);
    }
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    const std::wstring version =
        VersionText(AGENT_STUB_VERSION_MAJOR, AGENT_STUB_VERSION_MINOR, AGENT_STUB_VERSION_PATCH);
    const struct {
        const wchar_t *key;
        std::wstring expected;
    } strings[] = {{L"\\StringFileInfo\\040904B0\\FileVersion", version},
                   {L"\\StringFileInfo\\040904B0\\ProductVersion", version},
                   {L"\\StringFileInfo\\040904B0\\OriginalFilename", L"agent_stub.dll"}};
    for (const auto &s : strings) {
        ASSERT_TRUE(::VerQueryValueW(info.data(), s.key, &value, &length)) << std::string(s.key, s.key + wcslen(s.key));
        EXPECT_EQ(std::wstring(static_cast<const wchar_t *>(value)), s.expected);
    }
}

} // namespace
