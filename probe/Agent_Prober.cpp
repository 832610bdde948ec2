#include "probe/Agent_Prober.h"

#include "session/machine_identity.h"
#include "protocol/discovery_messages.h"
#include "probe/probe_reply.h"
#include "probe/probe_targets.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_errno.h>
#include <ace/OS_NS_sys_socket.h>
#include <ace/Thread_Manager.h>
#include <ace/Time_Value.h>

#include <cstdint>

namespace {

// How long one wait for a reply lasts before the receiver looks at the
// stop request again. Close normally wakes the receiver at once by shutting
// the socket's receive side; this bounds the wait where the platform
// ignores that for an unconnected datagram socket.
const ACE_Time_Value kReceiveSlice(0, 100 * 1000);

struct AdapterListFree {
    void operator()(IP_ADAPTER_INFO *list) const { HeapFree(GetProcessHeap(), 0, list); }
};

} // namespace

AgentProber::~AgentProber()
{
    Close();
}

int AgentProber::Open(u_short port, AgentProbeCallback callback, void *context)
{
    port_ = port;
    callback_ = callback;
    context_ = context;
    if (socket_.open(ACE_Addr::sap_any, PF_INET, 0, 0, nullptr) == -1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("Unable to open broadcast socket")));
        return -1;
    }
    // The receiver runs before the first probe leaves, so early answers
    // wait on the socket and are reported.
    if (ACE_Thread_Manager::instance()->spawn(&AgentProber::ReceiveLoop, this, THR_NEW_LWP | THR_JOINABLE,
                                              &threadId_) == -1) {
        ACE_ERROR((LM_ERROR, ACE_TEXT("Unable to spawn a thread for probing.\n")));
        return -1;
    }
    threadStarted_ = true;
    return SendProbes();
}

int AgentProber::SendProbes()
{
    std::unique_ptr<IP_ADAPTER_INFO, AdapterListFree> list(agent::GetAdapterList());
    if (list == nullptr)
        return -1;
    char hostName[agent::kHostNameBytes] = {};
    agent::ReadHostName(hostName);
    char machineId[agent::kMachineIdChars] = {};
    agent::ReadMachineIdText(machineId);

    bool sent = false;
    agent::ForEachProbeTarget(list.get(), [&](ACE_UINT32 broadcast, bool wireless) {
        char datagram[agent::protocol::kProbeDatagramBytes];
        const int length = agent::protocol::EncodeProbeRequest(datagram, wireless, hostName, machineId);
        // Always an explicit subnet address: the socket's own broadcast
        // send would go to every interface the system has.
        const ACE_INET_Addr to(port_, broadcast);
        if (socket_.send(datagram, static_cast<size_t>(length), to, 0) < 0)
            ACE_ERROR((LM_ERROR, ACE_TEXT("Unable to broadcast probe packet to port %u\n"), unsigned{port_}));
        else
            sent = true;
    });
    return sent ? 0 : -1;
}

void AgentProber::Close()
{
    stopping_.store(true);
    if (threadStarted_) {
        // Closing a datagram socket does not wake a receiver blocked on it
        // everywhere, and the descriptor must stay valid until the receiver
        // is gone (a closed number can be reused by another open at once).
        // So: flag the stop, wake the receiver, join, and only then close.
        ACE_OS::shutdown(socket_.get_handle(), ACE_SHUTDOWN_READ);
        ACE_Thread_Manager::instance()->join(threadId_);
        threadStarted_ = false;
    }
    socket_.close();
}

ACE_THR_FUNC_RETURN AgentProber::ReceiveLoop(void *prober)
{
    static_cast<AgentProber *>(prober)->ReceiveReplies();
    return (ACE_THR_FUNC_RETURN)(intptr_t)-1;
}

void AgentProber::ReceiveReplies()
{
    char buffer[agent::protocol::kProbeReplyBytes];
    for (;;) {
        ACE_INET_Addr from;
        const ssize_t received = socket_.recv(buffer, sizeof buffer - 1, from, 0, &kReceiveSlice);
        if (stopping_.load()) {
            ACE_OS::last_error(ECANCELED);
            break;
        }
        if (received < 0) {
            const int error = ACE_OS::last_error();
            if (error == ETIME || error == EINTR)
                continue;
            break;
        }
        buffer[received] = 0;
        const agent::protocol::ProbeReply reply = agent::protocol::DecodeProbeReply(buffer);
        const agent::ProbeName name = agent::DecodeProbeName(reply.name);
        callback_(reply.value, name.get(), from.get_ip_address(), context_);
    }
    ACE_ERROR((LM_ERROR, ACE_TEXT("%p\n"), ACE_TEXT("Unable to receive request from broadcast peer")));
}
