// A progress routine for the single-file copies in both directions: it
// records every (total, copied) call and answers one of them from a script.
#ifndef AGENT_TEST_COPY_PROGRESS_H
#define AGENT_TEST_COPY_PROGRESS_H

#include "agent_stub.h"

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace fake {

struct CopyProgress {
    explicit CopyProgress(size_t at = 0, DWORD answer = PROGRESS_CONTINUE, std::function<void()> act = {})
        : answerAt(at), answer(answer), act(std::move(act))
    {
    }
    std::vector<std::pair<uint64_t, uint64_t>> calls;
    size_t answerAt; // 1-based call that gets `answer`, after `act` has run
    DWORD answer;
    std::function<void()> act;
    static DWORD AGENTAPI Call(ULONGLONG total, ULONGLONG copied, void *context)
    {
        auto *self = static_cast<CopyProgress *>(context);
        self->calls.emplace_back(total, copied);
        if (self->calls.size() != self->answerAt)
            return PROGRESS_CONTINUE;
        if (self->act)
            self->act();
        return self->answer;
    }
};

} // namespace fake

#endif
