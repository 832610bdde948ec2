#include "probe/probe_reply.h"

namespace agent {

void HeapBlockFree::operator()(WCHAR *block) const
{
    HeapFree(GetProcessHeap(), 0, block);
}

ProbeName DecodeProbeName(const char *utf8)
{
    const int units = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (units <= 0)
        return nullptr;
    ProbeName name(static_cast<WCHAR *>(HeapAlloc(GetProcessHeap(), 0, static_cast<size_t>(units) * sizeof(WCHAR))));
    if (name == nullptr)
        return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, utf8, -1, name.get(), units) != units)
        return nullptr;
    return name;
}

} // namespace agent
