// Linked into every test program of the Windows build. Under Wine,
// GetAdaptersInfo returns the build machine's real interfaces, and a probe
// must never reach them: until a test installs its own (loopback) adapter
// list, the library sees none at all.
#include "test_seams.h"

namespace {
const agent::platform::TestAdapter kNoAdapters[1] = {};

struct NoRealAdapters {
    NoRealAdapters() { agent::platform::SetAdapterListForTesting(kNoAdapters, 0); }
} noRealAdapters;
} // namespace
