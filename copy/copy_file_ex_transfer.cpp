// The chunk engine of AgentCopyFileFromAgentExW. The calling thread reads
// chunks on the handle the export opened; up to kConnections - 1 helper
// threads open the file again, each on a connection of its own, and take
// chunks from the same counter. Every chunk goes to the partial file at
// its own offset. Only the calling thread calls the host's progress
// routine and looks at *cancel, between its own chunks and while it waits
// for the helpers.
#include "copy/cancel_flag.h"
#include "copy/copy_file_ex.h"

#include "session/pending_handle.h"
#include "session/last_agent_error.h"

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
namespace copy_ex {

namespace {

// How often the calling thread looks at *cancel while no chunk completes.
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

class Engine {
public:
    explicit Engine(TransferPlan &plan)
        : plan_(plan),
          remaining_(plan.size - plan.start),
          chunks_(remaining_ == 0 ? 1 : (remaining_ - 1) / kChunkSize + 1),
          copied_(plan.start)
    {
    }

    TransferOutcome Run()
    {
        before_ = LastAgentError.load(std::memory_order_relaxed);
        const unsigned helpers = static_cast<unsigned>(std::min<uint64_t>(kConnections, chunks_) - 1);
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
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize + 1]);
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
        outcome.held = plan_.start + (firstMissing_ >= chunks_ ? remaining_ : firstMissing_ * kChunkSize);
        return outcome;
    }

private:
    // Takes chunks until none is left or the copy ends; `pump` on the
    // calling thread, which reports progress after each of its chunks.
    void Work(HANDLE remote, unsigned char *buffer, bool pump)
    {
        for (;;) {
            if (ended_.load(std::memory_order_acquire))
                return;
            const uint64_t index = next_.fetch_add(1);
            if (index >= chunks_)
                return;
            const uint64_t offset = plan_.start + index * kChunkSize;
            const DWORD length = static_cast<DWORD>(std::min<uint64_t>(kChunkSize, plan_.size - offset));
            const DWORD ask = index + 1 == chunks_ ? length + 1 : length;
            if (plan_.logon->bandwidth.Active() && !Pace(length, pump))
                return;
            DWORD got = 0;
            if (!AgentReadFilePosition(remote, buffer, ask, &got, static_cast<DWORD>(offset),
                                       static_cast<DWORD>(offset >> 32))) {
                End(Ending::Failed, GetLastError());
                return;
            }
            // Fewer bytes before the end: the file shrank; one byte past
            // it: the file grew. Either way the copy would not be the file.
            if (got != length) {
                End(Ending::Failed, ERROR_FILE_INVALID);
                return;
            }
            if (length > 0 && platform::WriteFileAt(plan_.local, buffer, length, offset) != 0) {
                End(Ending::Failed, GetLastError());
                return;
            }
            Completed(index, length);
            if (pump)
                Pump();
        }
    }

    // Waits for the logon's bandwidth limit to let `length` bytes come;
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
            std::unique_ptr<unsigned char[]> buffer(new unsigned char[kChunkSize + 1]);
            HANDLE remote = OpenAgain();
            if (remote != nullptr) {
                try {
                    Work(remote, buffer.get(), false);
                } catch (...) {
                    OutOfMemory(remote);
                }
                // Pooled when the close goes through, destroyed otherwise.
                AgentCloseHandle(plan_.logon, remote);
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
        if (ended_.load(std::memory_order_acquire) || next_.load() >= chunks_)
            return nullptr;
        HANDLE remote = AgentCreateFileW(plan_.logon, plan_.remotePath, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL);
        if (remote == nullptr) {
            DWORD recorded = GetLastError();
            LastAgentError.compare_exchange_strong(recorded, before_, std::memory_order_relaxed);
        }
        return remote;
    }

    // Ends the copy for an allocation failure on this thread. The handle it
    // worked on is given up, so that its close destroys the connection
    // rather than pooling it.
    void OutOfMemory(HANDLE remote)
    {
        NoteOutOfMemory();
        HandleUse use(remote, HandleKind::File);
        if (use.connection() != nullptr)
            use.connection()->Break();
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

} // namespace copy_ex
} // namespace agent
