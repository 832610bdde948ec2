// Copy throughput. Against a fake agent on loopback (the default):
// AgentCopyFileFromAgent (4096-byte chunks, a read and a pointer move per
// chunk), AgentCopyFileFromAgentExW (plain, and "watched": with a cancel
// flag and a progress deadline), and plain sequential AgentReadFile
// calls with large buffers, over the same file.
//
//   copy_bench [MiB]   (default 64)
//
// Against a running agent, one remote file copied into a local folder by
// both exports, rounds interleaved, the median of each printed as
// "<figure>\t<value>\t<unit>" lines (copy_256MiB, copy_ex_256MiB in MB/s):
//
//   copy_bench --host H --port P --user U --password W --remote PATH --local DIR [--rounds N]
#include "agent_test.h"
#include "file_server.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

// FNV-1a over the file, so that two copies can be compared without both
// being on disk at once.
uint64_t Fingerprint(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    uint64_t h = 1469598103934665603ull;
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            h = (h ^ static_cast<unsigned char>(block[static_cast<size_t>(i)])) * 1099511628211ull;
        if (!in)
            break;
    }
    return h;
}

// "256MiB" for whole MiB, else the byte count.
std::string SizeLabel(uint64_t size)
{
    return size % (1u << 20) == 0 && size > 0 ? std::to_string(size >> 20) + "MiB" : std::to_string(size) + "B";
}

int Usage()
{
    std::fprintf(stderr, "usage: copy_bench [MiB]\n"
                         "       copy_bench --host H --port P --user U --password W --remote PATH --local DIR"
                         " [--rounds N]\n");
    return 2;
}

// Both copy exports against a running agent, rounds interleaved.
int AgainstAgent(const std::map<std::string, std::string> &options)
{
    for (const char *required : {"--host", "--port", "--user", "--password", "--remote", "--local"})
        if (options.count(required) == 0)
            return Usage();
    const int rounds = options.count("--rounds") ? std::max(1, std::atoi(options.at("--rounds").c_str())) : 3;
    const fake::WString remote = fake::Utf16(options.at("--remote"));
    const std::filesystem::path dir = std::filesystem::u8path(options.at("--local"));
    const std::filesystem::path legacyPath = dir / "copy_bench_legacy.bin", exPath = dir / "copy_bench_ex.bin";
    if (!AgentInit())
        return 1;
    AGENT_LOGON logon = AgentLogonW(fake::Utf16(options.at("--host")).c_str(),
                                    static_cast<DWORD>(std::atol(options.at("--port").c_str())),
                                    fake::Utf16(options.at("--user")).c_str(),
                                    fake::Utf16(options.at("--password")).c_str());
    if (logon == nullptr) {
        std::fprintf(stderr, "logon failed: %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    int status = 0;
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!AgentGetFileAttributesExW(logon, remote.c_str(), &data)) {
        std::fprintf(stderr, "%s: error %u\n", options.at("--remote").c_str(), static_cast<unsigned>(GetLastError()));
        status = 1;
    }
    const uint64_t size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    std::vector<double> legacy, ex;
    for (int round = 0; round < rounds && status == 0; ++round) {
        uint64_t fingerprints[2] = {};
        for (bool extended : {false, true}) {
            const std::filesystem::path &path = extended ? exPath : legacyPath;
            const fake::WString local = fake::Utf16(path.u8string());
            const auto start = std::chrono::steady_clock::now();
            const BOOL copied = extended ? AgentCopyFileFromAgentExW(logon, remote.c_str(), local.c_str(), nullptr,
                                                                     nullptr, nullptr, 0)
                                         : AgentCopyFileFromAgent(logon, remote.c_str(), local.c_str());
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            std::error_code ec;
            if (!copied || std::filesystem::file_size(path, ec) != size) {
                std::fprintf(stderr, "%s failed: error %u\n",
                             extended ? "AgentCopyFileFromAgentExW" : "AgentCopyFileFromAgent",
                             static_cast<unsigned>(AgentGetLastError()));
                status = 1;
                break;
            }
            (extended ? ex : legacy).push_back(double(size) / 1e6 / seconds);
            // Each copy is gone before the next starts, so that both start
            // from the same state of the local file system.
            fingerprints[extended] = Fingerprint(path);
            std::filesystem::remove(path, ec);
        }
        if (status == 0 && fingerprints[0] != fingerprints[1]) {
            std::fprintf(stderr, "the two copies differ\n");
            status = 1;
        }
    }
    if (status == 0) {
        auto median = [](std::vector<double> v) {
            std::sort(v.begin(), v.end());
            return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
        };
        const std::string label = SizeLabel(size);
        std::printf("copy_%s\t%.1f\tMB/s\n", label.c_str(), median(legacy));
        std::printf("copy_ex_%s\t%.1f\tMB/s\n", label.c_str(), median(ex));
    }
    AgentLogoff(logon);
    AgentFini();
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0) {
        std::map<std::string, std::string> options;
        for (int i = 1; i < argc; i += 2) {
            if (i + 1 >= argc || std::strncmp(argv[i], "--", 2) != 0)
                return Usage();
            options[argv[i]] = argv[i + 1];
        }
        return AgainstAgent(options);
    }
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
        // The size AgentCopyFileFromAgentExW asks for first.
        agent.On(23, [size](const fake::Request &, fake::Session &) {
            fake::Payload p;
            p.u32(0).u32(0x20).filetime(0, 0).filetime(0, 0).filetime(0, 0).u32(0);
            p.u32(static_cast<uint32_t>(uint64_t(size) >> 32)).u32(static_cast<uint32_t>(size)).u32(1).u32(0).u32(0);
            return fake::Send(fake::Reply(23, p));
        });
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

        // Plain, then with a cancel flag and agentcli's progress deadline,
        // under which every wait of the copy wakes in slices.
        for (const bool watched : {false, true}) {
            BOOL cancel = 0;
            AgentSetSpeedLimit(logon, watched ? 1024 : 0, watched ? 60 : 0);
            agent.ClearRecords();
            start = std::chrono::steady_clock::now();
            const BOOL copiedEx =
                AgentCopyFileFromAgentExW(logon, fake::W(u"C:\\big.bin").c_str(), fake::Utf16(local).c_str(), nullptr,
                                          nullptr, watched ? &cancel : nullptr, 0);
            const double exSeconds = Seconds(std::chrono::steady_clock::now() - start);
            const size_t exExchanges = agent.Requests().size();
            std::ifstream exIn(localPath, std::ios::binary);
            const fake::Bytes exResult((std::istreambuf_iterator<char>(exIn)), std::istreambuf_iterator<char>());
            exIn.close();
            std::filesystem::remove(localPath, ignored);
            if (!copiedEx || exResult != *content) {
                std::fprintf(stderr, "ExW copy failed or differs (error %u)\n",
                             static_cast<unsigned>(AgentGetLastError()));
                status = 1;
            } else {
                Report(watched ? "AgentCopyFileFromAgentExW (watched)" : "AgentCopyFileFromAgentExW", double(size),
                       exExchanges, exSeconds);
            }
        }
        AgentSetSpeedLimit(logon, 0, 0);

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
