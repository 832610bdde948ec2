// probe: which agents answer a discovery broadcast.
#include "cli_common.h"
#include "commands.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace agentcli {

namespace {

struct Answers {
    std::mutex mutex;
    std::set<std::tuple<DWORD, DWORD, std::string>> seen; // address, value, name
};

void AGENTAPI OnAnswer(DWORD value, const WCHAR *name, DWORD address, void *context)
{
    auto *answers = static_cast<Answers *>(context);
    std::lock_guard<std::mutex> lock(answers->mutex);
    answers->seen.emplace(address, value, name != nullptr ? Narrow(name) : std::string());
}

} // namespace

int RunProbe(const Args &args, AGENT_LOGON)
{
    unsigned long port = 0, waitMs = 0, sweeps = 0;
    if (!ParseNumber(args.Value("--discovery-port"), 1, 65535, port))
        return UsageError("probe wants --discovery-port N");
    if (!ParseNumber(args.Value("--wait-ms", "1000"), 0, 60000, waitMs))
        return UsageError("--wait-ms wants milliseconds up to 60000");
    if (!ParseNumber(args.Value("--sweeps", "2"), 1, 10, sweeps))
        return UsageError("--sweeps wants a number from 1 to 10");
    Answers answers;
    SetLastError(0);
    AGENT_PROBER prober = AgentOpenProbe(static_cast<WORD>(port), &OnAnswer, &answers);
    if (prober == nullptr)
        return Fail("no probe could be sent (no network adapter with an IPv4 address?)", GetLastError());
    // Datagrams get lost: a few sweeps spread over the waiting time.
    for (unsigned long i = 0; i < sweeps; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs / sweeps));
        if (i + 1 < sweeps)
            AgentDoProbe(prober);
    }
    AgentCloseProbe(prober);
    std::lock_guard<std::mutex> lock(answers.mutex);
    for (const auto &[address, value, name] : answers.seen)
        std::printf("%u.%u.%u.%u  value %u  %s\n", static_cast<unsigned>(address >> 24),
                    static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                    static_cast<unsigned>(address & 0xFF), static_cast<unsigned>(value), name.c_str());
    if (answers.seen.empty()) {
        std::fprintf(stderr, "agentcli: no agent answered on UDP port %lu\n", port);
        return kExitUnreachable;
    }
    return kExitOk;
}

} // namespace agentcli
