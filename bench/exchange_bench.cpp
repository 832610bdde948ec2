// One-exchange exports against a running agent: wall time per call on each
// thread, the client's CPU time per call (user + system of this process),
// and the tail of single calls (median, 99th percentile, slowest), which
// shows an agent that stalls some connections while it serves many.
//
//   exchange_bench --port P [--host H] [--user U] [--password W] [--path PATH]
//                  [--export exists|attributes|attributes-ex] [--calls N] [--threads T]
//
// Prints tab-separated lines: figure, value, unit.
#include "agent_stub.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::u16string Widen(const std::string &text) { return std::u16string(text.begin(), text.end()); }

double CpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

struct Options {
    std::string host = "127.0.0.1", user = "bench", password = "bench", path = "C:\\", exportName = "exists";
    unsigned port = 0;
    long calls = 20000;
    int threads = 1;
};

bool Parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--host") o.host = value;
        else if (key == "--port") o.port = static_cast<unsigned>(std::atoi(value.c_str()));
        else if (key == "--user") o.user = value;
        else if (key == "--password") o.password = value;
        else if (key == "--path") o.path = value;
        else if (key == "--export") o.exportName = value;
        else if (key == "--calls") o.calls = std::atol(value.c_str());
        else if (key == "--threads") o.threads = std::atoi(value.c_str());
        else return false;
    }
    return argc % 2 == 1 && o.port != 0 && o.calls > 0 && o.threads > 0 && o.threads <= 256;
}

// One call of each export; true when it did what the agent was asked.
bool Exists(AGENT_LOGON logon, const WCHAR *path) { return AgentPathFileExistsW(logon, path) == 1; }
bool Attributes(AGENT_LOGON logon, const WCHAR *path) { return AgentGetFileAttributesW(logon, path) != 0xFFFFFFFFu; }
bool AttributesEx(AGENT_LOGON logon, const WCHAR *path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    return AgentGetFileAttributesExW(logon, path, &data) == 1;
}

// The export, chosen once so that the timed loop holds nothing but calls.
using Call = bool (*)(AGENT_LOGON, const WCHAR *);
Call ChooseCall(const std::string &name)
{
    return name == "exists" ? Exists : name == "attributes" ? Attributes : name == "attributes-ex" ? AttributesEx : nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const Call call = Parse(argc, argv, o) ? ChooseCall(o.exportName) : nullptr;
    if (call == nullptr) {
        std::fprintf(stderr, "usage: exchange_bench --port P [--host H] [--user U] [--password W] [--path PATH]\n"
                             "       [--export exists|attributes|attributes-ex] [--calls N] [--threads T]\n");
        return 2;
    }
    AgentInit();
    const std::u16string host = Widen(o.host), user = Widen(o.user), password = Widen(o.password),
                         path = Widen(o.path);
    AGENT_LOGON logon = AgentLogonW(host.c_str(), o.port, user.c_str(), password.c_str());
    if (logon == nullptr) {
        std::fprintf(stderr, "exchange_bench: logon failed: %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    // Every thread's connection is opened and used once before the clock starts.
    std::vector<int> failures(o.threads, 0);
    std::vector<std::vector<double>> times(o.threads);
    auto runAll = [&](long calls) {
        std::vector<std::thread> threads;
        for (int t = 0; t < o.threads; ++t)
            threads.emplace_back([&, t] {
                // Kept on the thread until the end: neighbouring vectors'
                // headers share a cache line, which every call would bounce
                // between the cores.
                std::vector<double> mine;
                mine.reserve(static_cast<size_t>(calls));
                int failed = 0;
                for (long i = 0; i < calls; ++i) {
                    const auto begin = std::chrono::steady_clock::now();
                    if (!call(logon, path.c_str()))
                        ++failed;
                    mine.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
                }
                failures[t] += failed;
                times[t] = std::move(mine);
            });
        for (std::thread &thread : threads)
            thread.join();
    };
    runAll(std::max(1L, o.calls / 20));
    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    runAll(o.calls);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    AgentLogoff(logon);
    AgentFini();
    long failed = 0;
    for (int f : failures)
        failed += f;
    if (failed != 0) {
        std::fprintf(stderr, "exchange_bench: %ld calls failed (last error %u)\n", failed,
                     static_cast<unsigned>(AgentGetLastError()));
        return 1;
    }
    const double total = static_cast<double>(o.calls) * o.threads;
    std::vector<double> all;
    for (const std::vector<double> &t : times)
        all.insert(all.end(), t.begin(), t.end());
    std::sort(all.begin(), all.end());
    std::printf("round trip\t%.2f\tus\n", wall / o.calls * 1e6);
    std::printf("median call\t%.2f\tus\n", all[all.size() / 2] * 1e6);
    std::printf("p99 call\t%.2f\tus\n", all[all.size() * 99 / 100] * 1e6);
    std::printf("slowest call\t%.2f\tus\n", all.back() * 1e6);
    std::printf("calls per second\t%.0f\t1/s\n", total / wall);
    std::printf("client cpu per call\t%.2f\tus\n", cpu / total * 1e6);
    return 0;
}
