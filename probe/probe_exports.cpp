// AgentOpenProbe, AgentDoProbe, AgentCloseProbe.
#include "session/export_frame.h"
#include "probe/Agent_Prober.h"

#include <memory>

using agent::Guarded;

AGENT_PROBER AGENTAPI AgentOpenProbe(WORD port, AgentProbeCallback callback, void *context)
{
    return Guarded<AGENT_PROBER>(nullptr, [&]() -> AGENT_PROBER {
        if (port == 0 || callback == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        // Owned until the first sweep has succeeded; a failed open stops
        // its thread and closes its socket on the way out.
        std::unique_ptr<AgentProber> prober(new AgentProber());
        if (prober->Open(port, callback, context) != 0)
            return nullptr;
        return prober.release();
    }, agent::Record::Never);
}

BOOL AGENTAPI AgentDoProbe(AGENT_PROBER prober)
{
    return Guarded<BOOL>(0, [&]() -> BOOL {
        if (prober == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return prober->SendProbes() == 0 ? 1 : 0;
    }, agent::Record::Never);
}

BOOL AGENTAPI AgentCloseProbe(AGENT_PROBER prober)
{
    return Guarded<BOOL>(0, [&]() -> BOOL {
        if (prober == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        delete prober;
        return 1;
    }, agent::Record::Never);
}
