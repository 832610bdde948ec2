// The naming rule that AgentGetPst2Local and AgentGetPstLocalNames follow:
// two stores with one file name (in different folders on the agent, or
// differing only in case) must not end up in one local file.
#include "local_names/file_name_case.h"
#include "local_names/store_names.h"

#include "protocol/wide_string.h"

#include <map>
#include <set>
#include <string>

namespace agent {

namespace {

using WideText = std::basic_string<WCHAR>;

WideText Key(const WideText &name) { return FileNameKey(name.data(), name.size()); }

// "<stem> (n)<extension>"; a leading dot starts no extension.
WideText NumberedName(const WideText &name, unsigned n)
{
    const size_t dot = name.rfind(static_cast<WCHAR>('.'));
    const size_t split = dot == WideText::npos || dot == 0 ? name.size() : dot;
    WideText numbered = name.substr(0, split);
    for (char c : " (" + std::to_string(n) + ")")
        numbered += static_cast<WCHAR>(c);
    return numbered + name.substr(split);
}

} // namespace

std::vector<StoreName> NameStoreFiles(const WCHAR *const *stores, size_t count)
{
    std::vector<StoreName> out(count);
    std::set<WideText> taken;
    std::vector<size_t> renamed;
    // Every name's first store keeps it, so a store named "a (2).pst" is
    // never pushed aside by a renamed "a.pst".
    for (size_t i = 0; i < count; ++i) {
        const WCHAR *name = nullptr;
        size_t length = 0;
        out[i].refused = StoreFileName(stores[i], name, length);
        if (out[i].refused != 0)
            continue;
        out[i].name.assign(name, length);
        if (!taken.insert(Key(out[i].name)).second)
            renamed.push_back(i);
    }
    // The numbers below a name's next one are all taken and stay taken, so
    // each search starts there: every taken name is passed over at most
    // once per name it numbers, not once per renamed store.
    std::map<WideText, unsigned> nextNumber;
    for (size_t i : renamed) {
        unsigned &next = nextNumber.emplace(Key(out[i].name), 2u).first->second;
        for (unsigned n = next;; ++n) {
            WideText candidate = NumberedName(out[i].name, n);
            if (taken.insert(Key(candidate)).second) {
                out[i].name = std::move(candidate);
                next = n + 1;
                break;
            }
        }
    }
    return out;
}

std::vector<StoreTarget> NameStoreTargets(const WCHAR *directory, const WCHAR *const *stores, size_t count)
{
    const std::vector<StoreName> names = NameStoreFiles(stores, count);
    std::vector<StoreTarget> out(count);
    for (size_t i = 0; i < count; ++i) {
        out[i].target[0] = 0;
        out[i].refused = names[i].refused;
        if (out[i].refused == 0)
            out[i].refused = ComposeTarget(directory, names[i].name.data(), names[i].name.size(), out[i].target);
        out[i].nameAt = out[i].refused == 0 ? WideLength(out[i].target) - names[i].name.size() : 0;
    }
    return out;
}

} // namespace agent
