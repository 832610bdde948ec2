#include "remote_copy.h"

#include <filesystem>
#include <fstream>
#include <vector>

namespace agentcli {

namespace fs = std::filesystem;

namespace {

constexpr DWORD kGenericRead = 0x80000000u;
constexpr DWORD kFileShareRead = 1;
constexpr DWORD kOpenExisting = 3;
constexpr DWORD kAttributeNormal = 0x80;
constexpr uint32_t kWriteFault = 29;

struct RemoteHandle {
    AGENT_LOGON logon;
    HANDLE handle;
    ~RemoteHandle()
    {
        if (handle != nullptr)
            AgentCloseHandle(logon, handle);
    }
};

} // namespace

std::string PartialName(const std::string &finalPath) { return finalPath + ".agentcli-partial"; }

CopyResult CopyRemoteFile(AGENT_LOGON logon, const std::basic_string<WCHAR> &remote, const std::string &localPath,
                          size_t chunkSize, std::atomic<uint64_t> *progress)
{
    CopyResult result;
    if (chunkSize == 0 || chunkSize > 0x7FFFFFFF)
        chunkSize = 1 << 20;
    RemoteHandle file{logon, AgentCreateFileW(logon, remote.c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                                              kAttributeNormal)};
    if (file.handle == nullptr) {
        result.error = GetLastError();
        result.where = "open";
        return result;
    }
    // Local names are UTF-8: as std::filesystem paths they reach Windows as
    // UTF-16, where fopen would read them in the ANSI code page.
    const fs::path partial = fs::u8path(PartialName(localPath));
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) {
        result.error = 5;
        result.where = "local create";
        return result;
    }
    std::vector<char> buffer(chunkSize);
    uint64_t offset = 0;
    for (;;) {
        DWORD got = 0;
        if (!AgentReadFilePosition(file.handle, buffer.data(), static_cast<DWORD>(chunkSize), &got,
                                   static_cast<DWORD>(offset), static_cast<DWORD>(offset >> 32))) {
            result.error = GetLastError();
            result.where = "read";
            break;
        }
        if (got == 0)
            break; // end of file
        if (!out.write(buffer.data(), got)) {
            result.error = kWriteFault;
            result.where = "local write";
            break;
        }
        offset += got;
        if (progress != nullptr)
            *progress += got;
    }
    out.close();
    if (result.error == 0 && out.fail()) {
        result.error = kWriteFault;
        result.where = "local write";
    }
    std::error_code ec;
    if (result.error == 0) {
        fs::rename(partial, fs::u8path(localPath), ec);
        if (ec) {
            result.error = 5;
            result.where = "rename";
        }
    }
    if (result.error != 0)
        fs::remove(partial, ec);
    result.bytes = offset;
    return result;
}

} // namespace agentcli
