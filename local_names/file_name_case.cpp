// The upcase table lookup behind file name comparison.
#include "local_names/file_name_case.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace agent {

namespace {

// Every stride-th code point from first to last upcases to itself + delta.
struct UpcaseRun {
    uint16_t first;
    uint16_t last;
    int32_t delta;
    uint8_t stride;
};

const UpcaseRun kUpcaseRuns[] = {
#include "local_names/upcase_table.inc"
};

} // namespace

WCHAR UpcaseFileNameUnit(WCHAR c)
{
    const uint16_t unit = static_cast<uint16_t>(c);
    // The last run starting at or before the unit is the only one that can hold it.
    const UpcaseRun *next = std::upper_bound(std::begin(kUpcaseRuns), std::end(kUpcaseRuns), unit,
                                             [](uint16_t u, const UpcaseRun &run) { return u < run.first; });
    if (next == std::begin(kUpcaseRuns))
        return c;
    const UpcaseRun &run = *(next - 1);
    if (unit > run.last || (unit - run.first) % run.stride != 0)
        return c;
    return static_cast<WCHAR>(unit + run.delta);
}

std::basic_string<WCHAR> FileNameKey(const WCHAR *name, size_t length)
{
    std::basic_string<WCHAR> key(name, length);
    for (WCHAR &c : key)
        c = UpcaseFileNameUnit(c);
    return key;
}

} // namespace agent
