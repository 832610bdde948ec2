// Requests sent back to back on one connection, in one write, their
// replies read in turn (an agent answers a connection's requests one by
// one, in order): the first failure among them is the burst's cause, and
// a reply that does not come whole, or requests only half sent, end the
// connection.
#ifndef AGENT_TRANSPORT_REPLY_BURST_H
#define AGENT_TRANSPORT_REPLY_BURST_H

#include "transport/agent_connection.h"

namespace agent {

class ReplyBurst {
public:
    // The requests go out together, at Send.
    explicit ReplyBurst(AgentConnection &connection) : c_(connection) { c_.HoldSends(); }

    // Once every request is made: sends them in one write, and readies the
    // connection for their `replies`. 0 / -1 as a send.
    int Send(unsigned replies)
    {
        c_.ExpectReplies(replies);
        return c_.SendHeld();
    }
    // Keeps `status` when no failure came before it.
    void Note(DWORD status)
    {
        if (cause_ == 0)
            cause_ = status;
    }
    // A request that could not go, or a reply that did not come whole: the
    // connection is given up. The burst's cause.
    DWORD Lost()
    {
        c_.Break();
        Note(GetLastError() != 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA));
        return cause_;
    }
    DWORD cause() const { return cause_; }

private:
    AgentConnection &c_;
    DWORD cause_ = 0;
};

} // namespace agent

#endif
