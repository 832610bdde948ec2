// The chunk engine of AgentCopyFileToAgentExW. The calling thread writes on
// the handle the copy opened; up to kConnections - 1 helper threads open
// the partial file again, each on a connection of its own, and take runs
// of chunks from the same counter. A chunk is read from the local file at
// its offset and written at the same offset on the agent. Only the calling
// thread calls the host's progress routine and looks at *cancel.
#include "copy/cancel_flag.h"
#include "session/handle_table.h"
#include "copy/copy_to_agent.h"

#include "session/last_agent_error.h"
#include "session/pending_handle.h"

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
namespace copy_to {

namespace {

// How often the calling thread looks at *cancel while no chunk completes.
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

class Engine {
public:
    explicit Engine(TransferPlan &plan)
        : plan_(plan),
          remaining_(plan.size - plan.start),
          chunks_(remaining_ == 0 ? 0 : (remaining_ - 1) / kChunkSize + 1),
          runs_((chunks_ + kRunChunks - 1) / kRunChunks),
          copied_(plan.start)
    {
    }

    TransferOutcome Run()
    {
        before_ = LastAgentError.load(std::memory_order_relaxed);
        const unsigned helpers = static_cast<unsigned>(std::min<uint64_t>(kConnections, std::max<uint64_t>(runs_, 1)) - 1);
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
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize]);
            Work(plan_.remote, buffer.get(), true);
        } catch (...) {
            OutOfMemory(plan_.remote);
        }
        WaitForHelpers();
        for (std::thread &t : threads)
            t.join();
        Pump();

        TransferOutcome outcome;
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
        uint64_t position = UINT64_MAX; // where this handle's file pointer is
        for (;;) {
            const uint64_t run = next_.fetch_add(1);
            if (run >= runs_)
                return;
            for (uint64_t index = run * kRunChunks; index < std::min(chunks_, (run + 1) * kRunChunks); ++index) {
                if (ended_.load(std::memory_order_acquire))
                    return;
                const uint64_t offset = plan_.start + index * kChunkSize;
                const DWORD length = static_cast<DWORD>(std::min<uint64_t>(kChunkSize, plan_.size - offset));
                DWORD got = 0;
                if (platform::ReadFileAt(plan_.local, buffer, length, offset, &got) != 0) {
                    End(Ending::Failed, GetLastError());
                    return;
                }
                // The local file shrank under the copy: the copy would not
                // be the file.
                if (got != length) {
                    End(Ending::Failed, ERROR_FILE_INVALID);
                    return;
                }
                if (plan_.logon->bandwidth.Active() && !Pace(length, pump))
                    return;
                if (WriteRemoteAt(remote, &position, buffer, length, offset) != 0) {
                    End(Ending::Failed, GetLastError());
                    return;
                }
                Completed(index, length);
                if (pump)
                    Pump();
            }
        }
    }

    // Waits for the logon's bandwidth limit to let `length` bytes go;
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
        try {
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize]);
            HANDLE remote = OpenAgain();
            if (remote != nullptr) {
                try {
                    Work(remote, buffer.get(), false);
                } catch (...) {
                    OutOfMemory(remote);
                }
                // A close that fails may have lost this handle's writes.
                SetLastError(0);
                if (!AgentCloseHandle(plan_.logon, remote) || GetLastError() != 0)
                    End(Ending::Failed, GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT);
            }
        } catch (...) {
            // No buffer: the others carry on without this helper.
        }
        Leave();
    }

    // Null when the file cannot be opened once more (the agent may limit
    // connections); the copy then goes on with fewer, and that failure does
    // not stay in AgentGetLastError.
    HANDLE OpenAgain()
    {
        if (ended_.load(std::memory_order_acquire) || next_.load() >= runs_)
            return nullptr;
        HANDLE remote =
            AgentCreateFileW(plan_.logon, plan_.partialPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, plan_.openFlags);
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
        changed_.notify_all();
    }

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

    TransferPlan &plan_;
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
    uint64_t firstMissing_ = 0;  // every chunk below it is written
    std::set<uint64_t> above_;   // written chunks above firstMissing_
    std::vector<DWORD> done_;    // lengths of chunks not yet reported

    // Calling thread only.
    std::vector<DWORD> reported_;
    uint64_t copied_;
};

} // namespace

TransferOutcome Transfer(TransferPlan &plan)
{
    Engine engine(plan);
    return engine.Run();
}

} // namespace copy_to
} // namespace agent
