// AgentInit, AgentFini, AgentLogonW, AgentLogoff, AgentSetTimeouts,
// AgentSetDefaultTimeouts, AgentSetBandwidthLimit, AgentSetSpeedLimit,
// AgentGetLastError.
#include "session/agent_logon.h"
#include "session/export_frame.h"
#include "session/last_agent_error.h"

#include <ace/Init_ACE.h>

#include <memory>
#include <new>
#include <vector>

namespace agent {
std::atomic<DWORD> LastAgentError{0};
}

using namespace agent;

extern "C" {

BOOL AGENTAPI AgentInit(void)
{
    return Guarded<BOOL>(0, [] { return ACE::init() >= 0 ? 1 : 0; }, Record::Never);
}

BOOL AGENTAPI AgentFini(void)
{
    return Guarded<BOOL>(0, [] { return ACE::fini() >= 0 ? 1 : 0; }, Record::Never);
}

AGENT_LOGON AGENTAPI AgentLogonW(const WCHAR *host, DWORD port, const WCHAR *user, const WCHAR *password)
{
    return Guarded<AGENT_LOGON>(nullptr, [&]() -> AGENT_LOGON {
        // Owned until it is proven, so that no failure (an exception
        // included) leaves a half-made logon behind.
        std::unique_ptr<AgentLogon> logon(new AgentLogon());
        std::vector<char> hostText;
        if (host != nullptr) {
            const int size = WideCharToMultiByte(CP_UTF8, 0, host, -1, nullptr, 0, nullptr, nullptr);
            if (size > 0) {
                hostText.resize(static_cast<size_t>(size));
                if (WideCharToMultiByte(CP_UTF8, 0, host, -1, hostText.data(), size, nullptr, nullptr) <= 0)
                    hostText.clear();
            }
        }
        if (logon->OpenLogon(port, hostText.empty() ? nullptr : hostText.data(), user, password) == 0)
            return logon.release();
        const DWORD error = GetLastError();
        logon.reset();
        SetLastError(error);
        return nullptr;
    });
}

BOOL AGENTAPI AgentLogoff(AGENT_LOGON logon)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] {
        delete logon;
        return 1;
    }, Record::Never);
}

BOOL AGENTAPI AgentSetTimeouts(AGENT_LOGON logon, DWORD connectMs, DWORD ioMs)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] {
        logon->SetTimeouts(connectMs, ioMs);
        return 1;
    }, Record::Never);
}

BOOL AGENTAPI AgentSetDefaultTimeouts(DWORD connectMs, DWORD ioMs)
{
    AgentLogon::SetDefaultTimeouts(connectMs, ioMs);
    return 1;
}

BOOL AGENTAPI AgentSetBandwidthLimit(AGENT_LOGON logon, DWORD bytesPerSecond)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] {
        logon->bandwidth.Set(bytesPerSecond);
        return 1;
    }, Record::Never);
}

BOOL AGENTAPI AgentSetSpeedLimit(AGENT_LOGON logon, DWORD bytesPerSecond, DWORD seconds)
{
    if (logon == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Either 0 turns it off; a copy takes both values when it starts.
    const bool on = bytesPerSecond != 0 && seconds != 0;
    logon->speed.seconds.store(0, std::memory_order_relaxed);
    logon->speed.bytesPerSecond.store(on ? bytesPerSecond : 0, std::memory_order_relaxed);
    logon->speed.seconds.store(on ? seconds : 0, std::memory_order_relaxed);
    return 1;
}

DWORD AGENTAPI AgentGetLastError(void) { return LastAgentError.load(std::memory_order_relaxed); }

} // extern "C"
