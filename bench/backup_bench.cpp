// Backup throughput against the reference agent on loopback: MiB/s and
// files/s of agentcli's backup engine for a large file and for many small
// ones, by number of parallel copies and chunk size, beside the library's
// own AgentCopyFileFromAgent for the large file.
#include "agent_server.h"
#include "backup_engine.h"
#include "wide_text.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using namespace agentcli;

namespace {

void WriteRandom(const fs::path &path, size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(rng());
    std::ofstream(path, std::ios::binary) << data;
}

double Run(AGENT_LOGON logon, const std::string &remote, const fs::path &local, unsigned jobs, size_t chunk,
           BackupReport &report)
{
    fs::remove_all(local);
    BackupOptions options;
    options.remoteRoot = WidenOrEmpty(remote);
    options.localRoot = local.string();
    options.jobs = jobs;
    options.chunkSize = chunk;
    report = RunBackup(logon, options, nullptr);
    return report.seconds;
}

} // namespace

int main(int argc, char **argv)
{
    const size_t largeMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const size_t smallFiles = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    const fs::path work = fs::temp_directory_path() / ("backup-bench-" + std::to_string(::getpid()));
    fs::create_directories(work / "served/large");
    fs::create_directories(work / "served/small");
    WriteRandom(work / "served/large/large.bin", largeMiB << 20, 1);
    for (size_t i = 0; i < smallFiles; ++i)
        WriteRandom(work / "served/small" / ("f" + std::to_string(i)), 16 * 1024, static_cast<unsigned>(i));

    refagent::AgentConfig config;
    std::string error;
    config.drives.Add('C', (work / "served").string(), error);
    config.user = u"bench";
    config.password = u"bench";
    config.profile = u"C:\\Users\\bench";
    refagent::AgentServer server(config);
    if (!server.Open(error)) {
        std::fprintf(stderr, "backup_bench: %s\n", error.c_str());
        return 1;
    }
    std::thread serving([&] { server.Run(); });
    AgentInit();
    AGENT_LOGON logon = AgentLogonW(WidenOrEmpty("127.0.0.1").c_str(), server.Port(), WidenOrEmpty("bench").c_str(),
                                    WidenOrEmpty("bench").c_str());
    if (logon == nullptr) {
        std::fprintf(stderr, "backup_bench: logon failed with %u\n", GetLastError());
        return 1;
    }
    std::printf("backup against the reference agent on loopback (%zu MiB file; %zu files of 16 KiB)\n", largeMiB,
                smallFiles);
    std::printf("%-34s %6s %10s %10s %10s\n", "case", "jobs", "chunk", "MiB/s", "files/s");
    for (size_t chunk : {size_t(64) << 10, size_t(1) << 20, size_t(4) << 20}) {
        BackupReport r;
        const double s = Run(logon, "C:\\large", work / "out", 1, chunk, r);
        std::printf("%-34s %6u %10zu %10.1f %10s%s\n", "one large file", 1u, chunk, r.bytes / 1048576.0 / s, "-",
                    r.failures.empty() ? "" : "  (failures!)");
    }
    for (unsigned jobs : {1u, 2u, 4u, 8u}) {
        BackupReport r;
        const double s = Run(logon, "C:\\small", work / "out", jobs, 1 << 20, r);
        std::printf("%-34s %6u %10d %10.1f %10.0f%s\n", "many small files", jobs, 1 << 20, r.bytes / 1048576.0 / s,
                    r.files / s, r.failures.empty() ? "" : "  (failures!)");
    }
    {
        fs::remove_all(work / "out");
        fs::create_directories(work / "out");
        const auto start = std::chrono::steady_clock::now();
        const BOOL ok = AgentCopyFileFromAgent(logon, WidenOrEmpty("C:\\large\\large.bin").c_str(),
                                               WidenOrEmpty((work / "out/large.bin").string()).c_str());
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-34s %6u %10d %10.1f %10s%s\n", "AgentCopyFileFromAgent, large", 1u, 4096,
                    (largeMiB << 20) / 1048576.0 / s, "-", ok ? "" : "  (failed!)");
    }
    AgentLogoff(logon);
    AgentFini();
    server.Stop();
    serving.join();
    fs::remove_all(work);
    return 0;
}
