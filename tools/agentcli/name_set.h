// The names listed in one folder, each kept once, for the check that no
// two entries land on one local name. Their units sit side by side in one
// buffer and a table of slots (open addressing) points into it, so a name
// costs no allocation of its own: a backup checks every name it lists.
#ifndef AGENTCLI_NAME_SET_H
#define AGENTCLI_NAME_SET_H

#include "wide_text.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace agentcli {

class NameSet {
public:
    // True when `name` was not there yet, and now is.
    bool Insert(std::basic_string_view<WCHAR> name)
    {
        if ((count_ + 1) * 4 > slots_.size() * 3)
            Grow();
        const uint32_t hash = static_cast<uint32_t>(std::hash<std::basic_string_view<WCHAR>>{}(name));
        const size_t mask = slots_.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot &slot = slots_[i];
            if (!slot.used) {
                slot = Slot{hash, static_cast<uint32_t>(units_.size()), static_cast<uint32_t>(name.size()), true};
                units_.append(name.data(), name.size());
                ++count_;
                return true;
            }
            if (slot.hash == hash && slot.length == name.size() &&
                units_.compare(slot.offset, slot.length, name.data(), name.size()) == 0)
                return false;
        }
    }

    size_t size() const { return count_; }

private:
    struct Slot {
        uint32_t hash = 0;
        uint32_t offset = 0; // into units_; a folder's names stay far below 4 G units
        uint32_t length = 0;
        bool used = false;
    };

    void Grow()
    {
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2);
        old.swap(slots_);
        const size_t mask = slots_.size() - 1;
        for (const Slot &slot : old) {
            if (!slot.used)
                continue;
            size_t i = slot.hash & mask;
            while (slots_[i].used)
                i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_; // a power of two of them, at most three quarters used
    WString units_;
    size_t count_ = 0;
};

} // namespace agentcli

#endif
