// drives, df, os: the agent machine's volumes and version.
#include "cli_common.h"
#include "commands.h"

#include <cstdio>
#include <cstring>

namespace agentcli {

namespace {
constexpr uint32_t kNoMoreFiles = 18;
// DWORD is unsigned long on Windows, unsigned int elsewhere: print as %u.
unsigned U(DWORD value) { return static_cast<unsigned>(value); }
}

int RunDrives(const Args &, AGENT_LOGON logon)
{
    AgentDriveInfo info;
    std::memset(&info, 0, sizeof info);
    HANDLE drives = AgentFindFirstLogicalDriveW(logon, &info);
    if (drives == nullptr) {
        const uint32_t error = GetLastError();
        if (error == kNoMoreFiles) {
            std::printf("(no drives)\n");
            return kExitOk;
        }
        return Fail("listing drives", error);
    }
    uint32_t error = 0;
    for (;;) {
        // The values are the agent's own; they are shown as sent.
        std::printf("%-6s %-20s values %u %u %u %u %u %u %u %u %u\n", Narrow(info.Text1).c_str(),
                    Narrow(info.Text2).c_str(), U(info.Value1), U(info.Value2), U(info.Value3), U(info.Value4),
                    U(info.Value5), U(info.Value6), U(info.Value7), U(info.Value8), U(info.Value9));
        std::memset(&info, 0, sizeof info);
        if (!AgentFindNextLogicalDriveW(drives, &info)) {
            error = GetLastError();
            break;
        }
    }
    AgentCloseHandle(logon, drives);
    return error == kNoMoreFiles ? kExitOk : Fail("drive list broke off", error);
}

int RunDf(const Args &args, AGENT_LOGON logon)
{
    WString path;
    if (!RemotePath(args.positional[0], path))
        return kExitUsage;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!AgentGetDiskFreeSpace(logon, path.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                               &totalClusters))
        return Fail("disk space of " + args.positional[0], GetLastError());
    const uint64_t cluster = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    std::printf("%s: %s free of %s (%u sectors/cluster, %u bytes/sector, %u free clusters, %u clusters)\n",
                args.positional[0].c_str(), FormatBytes(cluster * freeClusters).c_str(),
                FormatBytes(cluster * totalClusters).c_str(), U(sectorsPerCluster), U(bytesPerSector), U(freeClusters),
                U(totalClusters));
    return kExitOk;
}

int RunOs(const Args &, AGENT_LOGON logon)
{
    SetLastError(0);
    const DWORD version = AgentGetOSVersion(logon);
    if (version == 0 || version == 0xFFFFFFFFu) {
        const uint32_t error = GetLastError();
        return Fail("reading the OS version", error != 0 ? error : 1359);
    }
    // Shown in the GetVersion() layout as well as raw.
    std::printf("OS version 0x%08X: %u.%u build %u\n", U(version), U(version & 0xFF), U((version >> 8) & 0xFF),
                U((version >> 16) & 0x7FFF));
    return kExitOk;
}

} // namespace agentcli
