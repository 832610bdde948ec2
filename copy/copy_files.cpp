// The many-file copy, either way: the direction only chooses each item's
// one-file copy. Worker threads take items, large ones first and then in
// list order, each copy on connections of its own; no more run at once
// than the flight controller's target, which each small file's exchange
// time feeds. The calling thread only reports finished items to the host
// and watches the host's cancel flag, so a host sees its progress routine
// where it called; when only one copy may run at a time it copies itself
// and reports from each copy's progress.
#include "util/cancel_flag.h"
#include "copy/copy_files.h"

#include "copy/copy_file_ex.h"
#include "copy/copy_to_agent.h"
#include "copy/flight_control.h"
#include "protocol/wide_string.h"
#include "session/last_agent_error.h"
#include "transport/call_watch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace agent {
namespace copy_files {

namespace {

constexpr DWORD kConnectionRefused = 10061;
constexpr DWORD kConnectionReset = 10054;
// How often the calling thread looks at *cancel while nothing finishes.
constexpr auto kCancelPoll = std::chrono::milliseconds(20);

struct Finished {
    DWORD index;
    DWORD result;
    uint64_t bytes;
};

class Engine;

// One item's progress: its size, and the bytes it adds to the batch's
// count of bytes arrived.
struct ItemProgress {
    uint64_t size = 0;
    uint64_t seen = 0;
    std::atomic<uint64_t> *arrived;
    const std::atomic<bool> *keep; // the host said PROGRESS_STOP
    Engine *reporter = nullptr;    // the copy runs on the calling thread, which reports as it goes
};

// The last target of a logon's previous batch: a host that copies in
// batches does not start each one from the bottom. A logon address reused
// after a logoff only inherits a starting point.
std::mutex rememberedMutex;
std::map<const AgentLogon *, unsigned> remembered;

unsigned StartingTarget(const AgentLogon *logon, unsigned cap)
{
    std::lock_guard<std::mutex> lock(rememberedMutex);
    const auto it = remembered.find(logon);
    return std::min(cap, it != remembered.end() ? it->second : 4u);
}

void Remember(const AgentLogon *logon, unsigned target)
{
    std::lock_guard<std::mutex> lock(rememberedMutex);
    try {
        if (remembered.size() > 1024)
            remembered.clear();
        remembered[logon] = target;
    } catch (...) {
        // Only a starting point is lost.
    }
}

class Engine {
public:
    explicit Engine(const Batch &batch)
        : batch_(batch),
          control_(batch.cap, StartingTarget(batch.logon, batch.cap)),
          // One watch for the whole batch. The workers' waits look at the
          // copies' flag, which the calling thread raises when the host
          // can cancel; the calling thread copying alone looks at the
          // host's flag itself, as nobody else watches it meanwhile.
          shared_(batch.cancel != nullptr || batch.progress != nullptr ? &stopFlag_ : nullptr, batch.logon->speed),
          alone_(batch.cancel, batch.logon->speed)
    {
    }

    BOOL Run()
    {
        wanted_ = static_cast<unsigned>(std::min<uint64_t>(batch_.cap, batch_.count));
        if (wanted_ > 1) {
            LargeFirst();
            std::lock_guard<std::mutex> lock(mutex_);
            AddWorkers();
        }
        // One at a time (or no thread to be had): the calling thread copies,
        // reporting and watching *cancel from each copy's progress.
        if (threads_.empty()) {
            watch_ = &alone_;
            const CallWatch::Scope scope(watch_);
            onCallingThread_ = true;
            while (TakeAndCopy())
                Report();
        }
        Report(true);
        for (std::thread &t : threads_)
            t.join();
        Report();
        Remember(batch_.logon, control_.Target());

        for (DWORD i = 0; i < batch_.count; ++i)
            if (batch_.items[i].result != 0) {
                SetLastError(cancelled_ ? ERROR_REQUEST_ABORTED : batch_.items[i].result);
                return 0;
            }
        return 1;
    }

private:
    static DWORD AGENTAPI NoteBytes(ULONGLONG total, ULONGLONG copied, void *context)
    {
        auto *item = static_cast<ItemProgress *>(context);
        item->size = total;
        if (copied > item->seen) {
            item->arrived->fetch_add(copied - item->seen, std::memory_order_relaxed);
            item->seen = copied;
        }
        if (item->reporter != nullptr)
            item->reporter->Report();
        // A stop keeps the partial files of copies under way for a restart;
        // a copy that holds every byte is let finish.
        return item->keep->load(std::memory_order_relaxed) && copied < total ? PROGRESS_STOP : PROGRESS_CONTINUE;
    }

    // Items known to span several chunks go first, largest first, and the
    // rest in list order. A large file started late is the batch's last
    // item for a long while, on a link the small files no longer fill;
    // started first, it fills the link while the small ones go beside it.
    // One at a time, list order costs nothing.
    void LargeFirst()
    {
        auto large = [this](DWORD i) {
            return (batch_.items[i].known & AGENT_COPY_ITEM_KNOWN) != 0 && batch_.items[i].size > chunks::kChunkSize;
        };
        try {
            for (DWORD i = 0; i < batch_.count; ++i)
                if (large(i))
                    order_.push_back(i);
            if (order_.empty())
                return;
            std::stable_sort(order_.begin(), order_.end(),
                             [this](DWORD a, DWORD b) { return batch_.items[a].size > batch_.items[b].size; });
            order_.reserve(batch_.count);
            for (DWORD i = 0; i < batch_.count; ++i)
                if (!large(i))
                    order_.push_back(i);
        } catch (...) {
            order_.clear(); // list order, same copy
        }
    }

    // Under mutex_: a worker for each slot the target opens, and no more
    // than items remain; the target starts low, and a thread per slot of
    // the cap would cost more than a small file's copy on loopback.
    void AddWorkers()
    {
        const size_t most = std::min<size_t>({wanted_, control_.Target(), batch_.count - next_ + active_});
        try {
            while (threads_.size() < most)
                threads_.emplace_back(&Engine::Worker, this);
        } catch (...) {
            // Fewer workers, same copy.
        }
    }

    void Worker()
    {
        const CallWatch::Scope scope(watch_);
        while (TakeAndCopy()) {
        }
    }

    // Copies the next item when the target allows one more in flight;
    // false when every item has been taken.
    bool TakeAndCopy()
    {
        DWORD index;
        unsigned inFlight;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            slot_.wait(lock, [&] { return next_ >= batch_.count || stop_ || active_ < control_.Target(); });
            if (next_ >= batch_.count)
                return false;
            index = order_.empty() ? next_ : order_[next_];
            ++next_;
            if (next_ >= batch_.count)
                slot_.notify_all(); // the others may leave
            if (stop_ || watch_->TimedOut() != 0) {
                Finish(index, stop_ ? ERROR_REQUEST_ABORTED : WSAETIMEDOUT, 0);
                return true;
            }
            inFlight = ++active_;
        }
        const auto start = std::chrono::steady_clock::now();
        uint64_t bytes = 0;
        unsigned exchanges = 0;
        const DWORD result = CopyItem(batch_.items[index], bytes, exchanges);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        std::lock_guard<std::mutex> lock(mutex_);
        --active_;
        const unsigned before = control_.Target();
        if (result == kConnectionRefused || result == kConnectionReset)
            control_.Refused(inFlight);
        else if (result == 0 && exchanges > 0)
            control_.Observe(seconds / exchanges, bytes, inFlight);
        // One waiting worker per free slot: waking them all on every file
        // costs more than the copy of a small one.
        if (control_.Target() > before) {
            if (!onCallingThread_)
                AddWorkers();
            slot_.notify_all();
        } else {
            slot_.notify_one();
        }
        Finish(index, result, result == 0 ? bytes : 0);
        return true;
    }

    // Under mutex_.
    void Finish(DWORD index, DWORD result, uint64_t bytes)
    {
        batch_.items[index].result = result;
        try {
            finished_.push_back({index, result, bytes});
        } catch (...) {
            // The host misses one progress call; the item's result stands.
        }
        ++done_;
        finishedSignal_.notify_one();
    }

    DWORD CopyItem(const AGENT_COPY_ITEM &item, uint64_t &bytes, unsigned &exchanges)
    {
        if (IsEmpty(item.remotePath) || IsEmpty(item.localPath))
            return ERROR_INVALID_PARAMETER;
        try {
            ItemProgress progress;
            progress.arrived = &arrived_;
            progress.keep = &keep_;
            progress.reporter = onCallingThread_ ? this : nullptr;
            const DWORD result = CopyItem(item, progress, exchanges);
            bytes = progress.size;
            return result;
        } catch (const std::bad_alloc &) {
            NoteOutOfMemory();
            return ERROR_NOT_ENOUGH_MEMORY;
        } catch (...) {
            return ERROR_INTERNAL_ERROR;
        }
    }

    DWORD CopyItem(const AGENT_COPY_ITEM &item, ItemProgress &progress, unsigned &exchanges)
    {
        // A cap of one: the host runs no other copy beside this one.
        const chunks::CopyCall call{batch_.logon, &NoteBytes, &progress, &stopFlag_, batch_.flags,
                                    batch_.cap > 1 ? chunks::kConnectionsBesideOthers : chunks::kConnections};
        return batch_.direction == Direction::ToAgent ? PutItem(call, item, progress.size, exchanges)
                                                      : GetItem(call, item, progress.size, exchanges);
    }

    // `bytes` is the item's size once its copy has said it.
    static DWORD GetItem(const chunks::CopyCall &call, const AGENT_COPY_ITEM &item, const uint64_t &bytes,
                         unsigned &exchanges)
    {
        copy_ex::RemoteVersion version;
        copy_ex::CopyRequest request{call, item.remotePath, nullptr, nullptr, nullptr};
        if (item.known & AGENT_COPY_ITEM_KNOWN) {
            version.size = item.size;
            version.lastWrite = item.lastWrite;
            request.known = &version;
        }
        unsigned roundTrips = 0;
        request.roundTrips = &roundTrips;
        if (copy_ex::CopyFile(request, item.localPath)) {
            // Open, the reads, the close; the information exchange too
            // when no listing gave the size. Only single-read files
            // measure one exchange's time.
            if (roundTrips != 0)
                exchanges = roundTrips;
            else if (bytes < copy_ex::kChunkSize)
                exchanges = request.known != nullptr ? 3 : 4;
            return 0;
        }
        DWORD cause = GetLastError();
        if (cause == ERROR_FILE_INVALID && request.known != nullptr) {
            // Changed since the listing: copied as it is now.
            request.known = nullptr;
            cause = copy_ex::CopyFile(request, item.localPath) ? 0 : GetLastError();
        }
        return cause;
    }

    // A listed size and time are the local file's as the caller saw it:
    // the put takes that version or none (1006), since what goes back onto
    // the agent is what the caller decided to restore.
    static DWORD PutItem(const chunks::CopyCall &call, const AGENT_COPY_ITEM &item, const uint64_t &bytes,
                         unsigned &exchanges)
    {
        copy_to::LocalVersion expected;
        copy_to::CopyRequest request{call, item.localPath, item.remotePath};
        if (item.known & AGENT_COPY_ITEM_KNOWN) {
            expected.size = item.size;
            expected.lastWrite = item.lastWrite;
            request.expected = &expected;
        }
        request.targetAbsent = (item.known & AGENT_COPY_ITEM_TARGET_ABSENT) != 0;
        unsigned roundTrips = 0;
        request.roundTrips = &roundTrips;
        if (!copy_to::CopyToAgent(request))
            return GetLastError();
        if (roundTrips != 0)
            exchanges = roundTrips;
        else if (bytes < copy_to::kChunkSize)
            exchanges = copy_to::kSmallPutExchanges - (request.targetAbsent ? copy_to::kLookExchanges : 0);
        return 0;
    }

    // Calling thread: progress for every finished item, and the host's
    // cancel passed on to the copies. With `untilDone`, until every item
    // has finished.
    void Report(bool untilDone = false)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            bool told = false;
            while (!finished_.empty()) {
                const Finished f = finished_.front();
                finished_.pop_front();
                if (batch_.progress == nullptr || quiet_ || stop_)
                    continue;
                told = true;
                Tell(lock, f.index, f.result, f.bytes);
            }
            // Bytes of items under way, when no item finished meanwhile.
            if (!told && batch_.progress != nullptr && !quiet_ && !stop_ &&
                arrived_.load(std::memory_order_relaxed) != toldArrived_)
                Tell(lock, AGENT_COPY_PROGRESS_BYTES, 0, 0);
            if (CancelRaised(batch_.cancel))
                Stop();
            if (!untilDone || done_ >= batch_.count)
                return;
            finishedSignal_.wait_for(lock, kCancelPoll);
        }
    }

    // One progress call, outside the lock.
    void Tell(std::unique_lock<std::mutex> &lock, DWORD index, DWORD result, uint64_t bytes)
    {
        toldArrived_ = arrived_.load(std::memory_order_relaxed);
        const uint64_t arrived = toldArrived_;
        lock.unlock();
        const DWORD answer = batch_.progress(index, result, bytes, arrived, batch_.context);
        lock.lock();
        if (answer == PROGRESS_STOP) {
            keep_.store(true, std::memory_order_relaxed);
            Stop(false);
        } else if (answer == PROGRESS_CANCEL) {
            Stop();
        } else if (answer == PROGRESS_QUIET) {
            quiet_ = true;
        }
    }

    // Under mutex_: items not started get 1235; copies under way see their
    // cancel flag set, or with `cancel` false end as stopped (their
    // progress says PROGRESS_STOP).
    void Stop(bool cancel = true)
    {
        stop_ = cancelled_ = true;
        if (cancel)
            __atomic_store_n(&stopFlag_, 1, __ATOMIC_RELEASE);
        slot_.notify_all();
    }

    const Batch &batch_;
    std::mutex mutex_;
    std::condition_variable slot_;           // workers: a slot under the target
    std::condition_variable finishedSignal_; // the calling thread: an item finished
    FlightControl control_;
    DWORD next_ = 0;
    std::vector<DWORD> order_; // the order items are taken in, when not the list's
    DWORD done_ = 0;
    unsigned active_ = 0;
    bool stop_ = false;
    bool cancelled_ = false;
    bool quiet_ = false;
    std::deque<Finished> finished_;
    std::atomic<uint64_t> arrived_{0}; // bytes arrived, items under way included
    uint64_t toldArrived_ = 0;
    BOOL stopFlag_ = 0; // the copies' cancel flag
    std::atomic<bool> keep_{false};
    bool onCallingThread_ = false;
    unsigned wanted_ = 0;              // workers at most
    std::vector<std::thread> threads_; // grows under mutex_ as the target does
    CallWatch shared_;
    CallWatch alone_;
    CallWatch *watch_ = &shared_; // the one in use; set before any copy starts
};

} // namespace

BOOL CopyFiles(const Batch &batch)
{
    Engine engine(batch);
    return engine.Run();
}

} // namespace copy_files
} // namespace agent
