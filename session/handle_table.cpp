#include "session/handle_table.h"

#include "session/last_agent_error.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <new>

namespace agent {

namespace {

// The low 16 bits of a handle are its slot number plus one, so that no
// handle is null and none is INVALID_HANDLE_VALUE; the bits above hold the
// slot's generation (16 of them in a 32-bit process).
constexpr unsigned kIndexBits = 16;
constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;
constexpr uint32_t kMaxSlots = 0xFFFE;
constexpr uintptr_t kGenerationMask = sizeof(uintptr_t) >= 8 ? uintptr_t(0xFFFFFFFFu) : uintptr_t(0xFFFFu);

struct Slot {
    // Held by the one call working on the handle (lock order: use, then
    // the table's lock).
    std::mutex use;
    // The rest is guarded by the table's lock.
    uint32_t generation = 0;
    bool live = false;
    bool orphaned = false;
    HandleKind kind = HandleKind::Any;
    const ::AgentLogon *logon = nullptr;
    AgentConnection *connection = nullptr;
};

struct Decoded {
    uint32_t index = 0;
    uint32_t generation = 0;
};

bool Decode(HANDLE handle, Decoded &out)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t low = value & kIndexMask;
    const uintptr_t high = value >> kIndexBits;
    if (low == 0 || low > kMaxSlots || high > kGenerationMask)
        return false;
    out.index = static_cast<uint32_t>(low - 1);
    out.generation = static_cast<uint32_t>(high);
    return true;
}

HANDLE Encode(uint32_t index, uint32_t generation)
{
    return reinterpret_cast<HANDLE>((uintptr_t(generation) & kGenerationMask) << kIndexBits | (uintptr_t(index) + 1));
}

class HandleTable {
public:
    HANDLE Enter(AgentConnection *connection, HandleKind kind, const ::AgentLogon *logon)
    {
        std::lock_guard<std::mutex> guard(lock_);
        uint32_t index = 0;
        // The slot freed longest ago is used first, so that a stale handle
        // meets a new generation as late as possible.
        if (!free_.empty()) {
            index = free_.front();
            free_.pop_front();
        } else {
            if (slots_.size() >= kMaxSlots)
                return nullptr;
            slots_.emplace_back(); // a deque never moves its elements
            index = static_cast<uint32_t>(slots_.size() - 1);
        }
        Slot &slot = slots_[index];
        slot.live = true;
        slot.orphaned = false;
        slot.kind = kind;
        slot.logon = logon;
        slot.connection = connection;
        return Encode(index, slot.generation);
    }

    // The slot a handle names, while it is live and of `kind`; null
    // otherwise. Caller holds lock_.
    Slot *Find(HANDLE handle, HandleKind kind)
    {
        Decoded at;
        if (!Decode(handle, at) || at.index >= slots_.size())
            return nullptr;
        Slot &slot = slots_[at.index];
        if (!slot.live || slot.generation != at.generation || (kind != HandleKind::Any && slot.kind != kind))
            return nullptr;
        return &slot;
    }

    // Takes the use lock of the slot `handle` names and checks again under
    // it: the handle may have been closed while this thread waited. The
    // slot's connection, which only the use lock's holder changes, comes
    // out of the same check.
    Slot *Lock(HANDLE handle, HandleKind kind, AgentConnection **connection = nullptr)
    {
        Slot *slot = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            slot = Find(handle, kind);
        }
        if (slot == nullptr)
            return nullptr;
        slot->use.lock();
        std::lock_guard<std::mutex> guard(lock_);
        if (Find(handle, kind) != slot) {
            slot->use.unlock();
            return nullptr;
        }
        if (connection != nullptr)
            *connection = slot->connection;
        return slot;
    }

    AgentConnection *Take(HANDLE handle, const ::AgentLogon *logon, bool &orphaned)
    {
        Slot *slot = Lock(handle, HandleKind::Any);
        if (slot == nullptr)
            return nullptr;
        AgentConnection *connection = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (slot->logon == logon) {
                connection = slot->connection;
                orphaned = slot->orphaned;
                slot->live = false;
                slot->connection = nullptr;
                slot->logon = nullptr;
                slot->generation = static_cast<uint32_t>((slot->generation + 1) & kGenerationMask);
                const uint32_t index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) & kIndexMask) - 1;
                try {
                    free_.push_back(index);
                } catch (const std::bad_alloc &) {
                    // The slot is lost for reuse, nothing else.
                }
            }
        }
        slot->use.unlock();
        return connection;
    }

    void Orphan(const ::AgentLogon *logon)
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (Slot &slot : slots_)
            if (slot.live && slot.logon == logon)
                slot.orphaned = true;
    }

private:
    std::mutex lock_;
    std::deque<Slot> slots_;
    std::deque<uint32_t> free_;
};

// Never destroyed: handles may be used from threads that outlive static
// destruction.
HandleTable &Table()
{
    static HandleTable *table = new HandleTable();
    return *table;
}

} // namespace

HANDLE EnterHandle(AgentConnection *connection, HandleKind kind, const ::AgentLogon *logon)
{
    HANDLE handle = nullptr;
    try {
        handle = Table().Enter(connection, kind, logon);
    } catch (const std::bad_alloc &) {
        handle = nullptr;
    }
    if (handle == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
}

HandleUse::HandleUse(HANDLE handle, HandleKind kind)
{
    Slot *slot = Table().Lock(handle, kind, &connection_);
    if (slot == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return;
    }
    slot_ = slot;
}

HandleUse::~HandleUse()
{
    if (slot_ == nullptr)
        return;
    const KeptLastError cause;
    static_cast<Slot *>(slot_)->use.unlock();
}

AgentConnection *TakeHandle(HANDLE handle, const ::AgentLogon *logon, bool &orphaned)
{
    orphaned = false;
    AgentConnection *connection = Table().Take(handle, logon, orphaned);
    if (connection == nullptr)
        SetLastError(ERROR_INVALID_HANDLE);
    return connection;
}

void OrphanHandles(const ::AgentLogon *logon) { Table().Orphan(logon); }

} // namespace agent
