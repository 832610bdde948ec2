#include "fuzz_round.h"

#include "platform/platform.h"
#include "test_seams.h"
#include "scripted_agent.h"

#include <ace/Log_Msg.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <sys/syscall.h>
#include <unistd.h>

namespace fuzzing {

namespace {

ScriptedAgent &Agent()
{
    // A fixed wired adapter, so the machine id is known and nothing looks
    // at (or sends to) the machine's real interfaces.
    static const agent::platform::TestAdapter adapters[] = {
        {"Fuzz Ethernet Adapter", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}, 6, {"127.0.0.1"}, {"255.0.0.0"}},
    };
    static const bool started = [] {
        agent::platform::SetAdapterListForTesting(adapters, 1);
        // Every broken header would be logged; the fuzzer makes millions.
        ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS);
        return AgentInit() == 1;
    }();
    Require(started, "AgentInit");
    static ScriptedAgent agent;
    return agent;
}

} // namespace

const std::string &Round::ScratchDir()
{
    // Removed when the process exits normally; a crash leaves it for a look.
    struct Dir {
        std::string path;
        Dir() : path(std::filesystem::temp_directory_path().string() + "/agent-fuzz-" + std::to_string(::getpid()))
        {
            std::filesystem::create_directories(path);
        }
        ~Dir()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const Dir dir;
    return dir.path;
}

Round::Round(const uint8_t *data, size_t size)
{
    ScriptedAgent &agent = Agent();
    if (size < 2)
        return;
    selector_ = data[0];
    parameter_ = data[1];
    agent.Begin(SplitReplies(data + 2, size - 2), static_cast<pid_t>(::syscall(SYS_gettid)));
    static const std::basic_string<WCHAR> host = Wide(u"127.0.0.1");
    static const std::basic_string<WCHAR> user = Wide(u"user");
    static const std::basic_string<WCHAR> password = Wide(u"secret");
    Arm();
    logon_ = AgentLogonW(host.c_str(), agent.port(), user.c_str(), password.c_str());
    if (logon_ == nullptr)
        RequireCause("AgentLogonW");
}

Round::~Round()
{
    if (logon_ != nullptr)
        Require(AgentLogoff(logon_) == 1, "AgentLogoff of a live logon");
    Agent().End();
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(ScratchDir(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

void Require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz check failed: %s (last error %u)\n", what, static_cast<unsigned>(GetLastError()));
    std::abort();
}

// A reply that fails its header test leaves whatever the thread held (the
// agent said nothing usable); the held value stands for "some earlier
// failure", so only an export that wipes the cause is caught.
const DWORD kHeldCause = 0x0BAD0000u;

void Arm() { SetLastError(kHeldCause); }

void RequireCause(const char *exportName)
{
    if (GetLastError() != 0)
        return;
    std::fprintf(stderr, "fuzz check failed: %s failed with last error 0\n", exportName);
    std::abort();
}

bool TerminatedWithin(const WCHAR *text, size_t units)
{
    for (size_t i = 0; i < units; ++i)
        if (text[i] == 0)
            return true;
    return false;
}

std::basic_string<WCHAR> Wide(const char16_t *text)
{
    std::basic_string<WCHAR> out;
    for (; *text != 0; ++text)
        out.push_back(static_cast<WCHAR>(*text));
    return out;
}

std::basic_string<WCHAR> Wide(const std::string &utf8)
{
    // The targets only pass ASCII paths.
    std::basic_string<WCHAR> out;
    for (unsigned char c : utf8)
        out.push_back(static_cast<WCHAR>(c));
    return out;
}

} // namespace fuzzing
