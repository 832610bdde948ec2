// Copy throughput from a fake agent on loopback: AgentCopyFileFromAgent
// (4096-byte chunks, a read and a pointer move per chunk) against plain
// sequential AgentReadFile calls with large buffers, over the same file.
//
//   copy_bench [MiB]   (default 64)
#include "agent_test.h"
#include "file_server.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Report(const char *what, double bytes, size_t exchanges, double seconds)
{
    std::printf("%-34s %8.1f MB/s %10.0f exchanges/s  (%zu exchanges, %.3f s)\n", what, bytes / 1e6 / seconds,
                exchanges / seconds, exchanges, seconds);
}

} // namespace

int main(int argc, char **argv)
{
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 64;
    const size_t size = mib * 1024 * 1024;
    fake::InstallTestAdapters();
    if (!AgentInit())
        return 1;
    int status = 0;
    {
        fake::FakeAgent agent;
        auto content = std::make_shared<const fake::Bytes>(fake::PatternBytes(size));
        fake::ServeFile(agent, content);
        AGENT_LOGON logon = AgentLogonW(fake::W(u"127.0.0.1").c_str(), agent.port(), fake::W(u"bench").c_str(),
                                        fake::W(u"").c_str());
        if (logon == nullptr) {
            std::fprintf(stderr, "logon failed: %u\n", static_cast<unsigned>(GetLastError()));
            return 1;
        }
        const std::filesystem::path localPath =
            std::filesystem::temp_directory_path() / ("agent_copy_bench_" + std::to_string(mib) + ".bin");
        const std::string local = localPath.u8string();
        std::printf("file of %zu MiB from a fake agent on loopback\n", mib);

        agent.ClearRecords();
        auto start = std::chrono::steady_clock::now();
        const BOOL copied = AgentCopyFileFromAgent(logon, fake::W(u"C:\\big.bin").c_str(), fake::Utf16(local).c_str());
        const double copySeconds = Seconds(std::chrono::steady_clock::now() - start);
        const size_t copyExchanges = agent.Requests().size();
        std::ifstream in(localPath, std::ios::binary);
        const fake::Bytes result((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        std::error_code ignored;
        std::filesystem::remove(localPath, ignored);
        if (!copied || result != *content) {
            std::fprintf(stderr, "copy failed or differs (result %d, error %u)\n", copied,
                         static_cast<unsigned>(AgentGetLastError()));
            status = 1;
        } else {
            Report("AgentCopyFileFromAgent (4 KiB)", double(size), copyExchanges, copySeconds);
        }

        for (DWORD chunk : {4096u, 65536u, 1048576u}) {
            HANDLE h = AgentCreateFileW(logon, fake::W(u"C:\\big.bin").c_str(), GENERIC_READ, 1, 3, 0x80);
            if (h == nullptr) {
                status = 1;
                break;
            }
            std::vector<unsigned char> buffer(chunk);
            agent.ClearRecords();
            size_t total = 0;
            DWORD n = 0;
            start = std::chrono::steady_clock::now();
            while (AgentReadFile(h, buffer.data(), chunk, &n) && n > 0)
                total += n;
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            const size_t exchanges = agent.Requests().size();
            AgentCloseHandle(logon, h);
            if (total != size) {
                status = 1;
                continue;
            }
            char label[64];
            std::snprintf(label, sizeof label, "AgentReadFile (%u KiB)", static_cast<unsigned>(chunk / 1024));
            Report(label, double(size), exchanges, seconds);
        }
        AgentLogoff(logon);
    }
    AgentFini();
    return status;
}
