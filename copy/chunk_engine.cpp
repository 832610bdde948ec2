#include "copy/chunk_engine.h"
#include "util/cancel_flag.h"

#include "session/last_agent_error.h"
#include "session/pending_handle.h"
#include "transport/call_watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace agent {
namespace chunks {

namespace {

// How often the calling thread looks at *cancel while no chunk completes.
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

class Engine {
public:
    Engine(Plan &plan, Mover &mover)
        : plan_(plan),
          mover_(mover),
          remaining_(plan.size - plan.start),
          chunks_(remaining_ == 0 ? (plan.emptyIsOneChunk ? 1 : 0) : (remaining_ - 1) / kChunkSize + 1),
          runs_((chunks_ + plan.runChunks - 1) / plan.runChunks),
          copied_(plan.start),
          watch_(CallWatch::Current())
    {
    }

    Outcome Run()
    {
        const CallWatch::Scope scope(Watched());
        before_ = LastAgentError.load(std::memory_order_relaxed);
        const uint64_t connections = std::max(1u, plan_.connections);
        const unsigned helpers = static_cast<unsigned>(std::min<uint64_t>(connections, std::max<uint64_t>(runs_, 1)) - 1);
        std::vector<std::thread> threads;
        try {
            threads.reserve(helpers);
            for (unsigned i = 0; i < helpers; ++i) {
                Enter();
                try {
                    threads.emplace_back(&Engine::Helper, this);
                } catch (...) {
                    Leave(); // fewer connections, same copy
                }
            }
        } catch (...) {
            // No room for the thread list: the calling thread copies alone.
        }
        try {
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[plan_.bufferSize]);
            Work(plan_.remote, buffer.get(), true);
        } catch (...) {
            OutOfMemory(plan_.remote);
        }
        WaitForHelpers();
        for (std::thread &t : threads)
            t.join();
        Pump();

        Outcome outcome;
        std::lock_guard<std::mutex> lock(mutex_);
        outcome.ending = ending_;
        outcome.cause = cause_;
        outcome.held = plan_.start + std::min(remaining_, firstMissing_ * kChunkSize);
        return outcome;
    }

private:
    // Takes runs of chunks until none is left or the copy ends; `pump` on
    // the calling thread, which reports progress after each of its chunks.
    void Work(HANDLE remote, unsigned char *buffer, bool pump)
    {
        Chunk chunk{remote, buffer, 0, 0, false, pump ? plan_.remotePosition : UINT64_MAX};
        for (;;) {
            const uint64_t run = next_.fetch_add(1);
            if (run >= runs_)
                return;
            const uint64_t end = std::min(chunks_, (run + 1) * plan_.runChunks);
            for (uint64_t index = run * plan_.runChunks; index < end; ++index) {
                if (ended_.load(std::memory_order_acquire))
                    return;
                // A call ended by its cancel or its deadline (the whole
                // many-file copy's, say) takes no further chunk.
                if (watch_.Active()) {
                    const DWORD cause = watch_.Verdict();
                    if (cause != 0) {
                        Failed(cause);
                        return;
                    }
                }
                chunk.offset = plan_.start + index * kChunkSize;
                chunk.length = static_cast<DWORD>(std::min<uint64_t>(kChunkSize, plan_.size - chunk.offset));
                chunk.last = index + 1 == chunks_;
                if (!mover_.Prepare(chunk)) {
                    End(Ending::Failed, GetLastError());
                    return;
                }
                if (plan_.logon->bandwidth.Active() && !Pace(chunk.length, pump))
                    return;
                if (!mover_.Move(chunk)) {
                    Failed(GetLastError());
                    return;
                }
                Completed(index, chunk.length);
                if (pump)
                    Pump();
            }
        }
    }

    // Waits for the logon's bandwidth limit to let `length` bytes pass;
    // false when the copy ended meanwhile. The calling thread keeps
    // reporting progress and looking at *cancel while it waits.
    bool Pace(DWORD length, bool pump)
    {
        return plan_.logon->bandwidth.Take(length, kCancelPoll, [this, pump] {
            if (pump)
                Pump();
            return ended_.load(std::memory_order_acquire);
        });
    }

    // A helper thread: its own handle on its own connection.
    void Helper()
    {
        const CallWatch::Scope scope(Watched());
        try {
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[plan_.bufferSize]);
            HANDLE remote = OpenAgain();
            if (remote != nullptr) {
                try {
                    Work(remote, buffer.get(), false);
                } catch (...) {
                    OutOfMemory(remote);
                }
                // Pooled when the close goes through, destroyed otherwise;
                // a failed close may have lost this handle's writes.
                SetLastError(0);
                if ((!AgentCloseHandle(plan_.logon, remote) || GetLastError() != 0) && plan_.closeChecked)
                    End(Ending::Failed, GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT);
            }
        } catch (...) {
            // No buffer: the others carry on without this helper.
        }
        Leave();
    }

    // Null when the file cannot be opened once more (the agent may limit
    // connections); the copy then goes on with fewer. That failure is not
    // the copy's, so it does not stay in AgentGetLastError: each failed open
    // puts back what was there before any helper started, whatever order
    // the helpers fail in.
    HANDLE OpenAgain()
    {
        if (ended_.load(std::memory_order_acquire) || next_.load() >= runs_)
            return nullptr;
        HANDLE remote = AgentCreateFileW(plan_.logon, plan_.reopenPath, plan_.reopenAccess, plan_.reopenShare,
                                         OPEN_EXISTING, plan_.reopenAttributes);
        if (remote == nullptr) {
            DWORD recorded = GetLastError();
            LastAgentError.compare_exchange_strong(recorded, before_, std::memory_order_relaxed);
        }
        return remote;
    }

    // Ends the copy for an allocation failure on this thread; the handle's
    // connection is given up rather than pooled.
    void OutOfMemory(HANDLE remote)
    {
        NoteOutOfMemory();
        {
            HandleUse use(remote, HandleKind::File);
            if (use.connection() != nullptr)
                use.connection()->Break();
        }
        End(Ending::Failed, ERROR_NOT_ENOUGH_MEMORY);
    }

    void Enter()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++running_;
    }

    void Leave()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        changed_.notify_all();
    }

    void Completed(uint64_t index, DWORD length)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index == firstMissing_) {
            ++firstMissing_;
            while (!above_.empty() && *above_.begin() == firstMissing_) {
                above_.erase(above_.begin());
                ++firstMissing_;
            }
        } else {
            above_.insert(index);
        }
        done_.push_back(length);
        changed_.notify_all();
    }

    // The first ending wins; every thread stops taking chunks.
    void End(Ending ending, DWORD cause)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ending_ == Ending::Complete) {
            ending_ = ending;
            cause_ = cause;
        }
        ended_.store(true, std::memory_order_release);
        // Wakes the threads of this copy that wait on the agent.
        watch_.Stop();
        changed_.notify_all();
    }

    // A wait or a chunk ended by a cancel (the host's flag, or the
    // copies' flag of a many-file copy) is the cancel.
    void Failed(DWORD cause)
    {
        End(cause == ERROR_REQUEST_ABORTED ? Ending::Cancelled : Ending::Failed, cause);
    }

    // This copy's part of the call's watch, when the call has one.
    CallWatch *Watched() { return watch_.Active() ? &watch_ : nullptr; }

    void WaitForHelpers()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (running_ > 0) {
            changed_.wait_for(lock, kCancelPoll);
            lock.unlock();
            Pump();
            lock.lock();
        }
    }

    // Calling thread only: one progress call per completed chunk, then a
    // look at *cancel.
    void Pump()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reported_.swap(done_);
        }
        for (DWORD length : reported_) {
            copied_ += length;
            if (plan_.progress == nullptr || plan_.quiet || ended_.load(std::memory_order_acquire))
                continue;
            switch (plan_.progress(plan_.size, copied_, plan_.context)) {
            case PROGRESS_CANCEL: End(Ending::Cancelled, ERROR_REQUEST_ABORTED); break;
            case PROGRESS_STOP: End(Ending::Stopped, ERROR_REQUEST_ABORTED); break;
            case PROGRESS_QUIET: plan_.quiet = true; break;
            default: break; // PROGRESS_CONTINUE, and anything else alike
            }
        }
        reported_.clear();
        if (CancelRaised(plan_.cancel))
            End(Ending::Cancelled, ERROR_REQUEST_ABORTED);
    }

    Plan &plan_;
    Mover &mover_;
    const uint64_t remaining_;
    const uint64_t chunks_;
    const uint64_t runs_;
    std::atomic<uint64_t> next_{0};
    std::atomic<bool> ended_{false};
    DWORD before_ = 0; // AgentGetLastError's value when the transfer began

    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;            // helper threads not yet finished
    Ending ending_ = Ending::Complete;
    DWORD cause_ = 0;
    uint64_t firstMissing_ = 0;  // every chunk below it is in place
    std::set<uint64_t> above_;   // chunks in place above firstMissing_
    std::vector<DWORD> done_;    // lengths of chunks not yet reported

    // Calling thread only.
    std::vector<DWORD> reported_;
    uint64_t copied_;

    CallWatch watch_;
};

} // namespace

Outcome Run(Plan &plan, Mover &mover)
{
    Engine engine(plan, mover);
    return engine.Run();
}

Ending ConfirmEnd(const Plan &plan)
{
    if (plan.progress != nullptr && !plan.quiet) {
        const DWORD answer = plan.progress(plan.size, plan.size, plan.context);
        if (answer == PROGRESS_CANCEL)
            return Ending::Cancelled;
        if (answer == PROGRESS_STOP)
            return Ending::Stopped;
    }
    return CancelRaised(plan.cancel) ? Ending::Cancelled : Ending::Complete;
}

} // namespace chunks
} // namespace agent
