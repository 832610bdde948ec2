#include "probe/probe_reply.h"

#include <cstdint>

namespace agent {
namespace {

bool IsSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

const char *SkipSeparators(const char *p)
{
    while (IsSeparator(*p))
        ++p;
    return p;
}

// Reads a decimal number the way a 32-bit strtoul does (leading white
// space, optional sign, saturation at 0xFFFFFFFF), so that both targets
// report the same value. Returns where reading stopped: `text` itself when
// no digit stands there.
const char *ReadProbeNumber(const char *text, DWORD &value)
{
    const char *p = text;
    while (IsSpace(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    value = 0;
    if (!IsDigit(*p))
        return text;
    uint64_t number = 0;
    bool overflow = false;
    for (; IsDigit(*p); ++p) {
        if (overflow)
            continue;
        number = number * 10 + static_cast<unsigned>(*p - '0');
        overflow = number > 0xFFFFFFFFu;
    }
    if (overflow)
        value = 0xFFFFFFFFu;
    else
        value = negative ? static_cast<DWORD>(0u - static_cast<uint32_t>(number)) : static_cast<DWORD>(number);
    return p;
}

} // namespace

ProbeReply ParseProbeReply(const char *text)
{
    DWORD ignored = 0;
    const char *p = SkipSeparators(ReadProbeNumber(text, ignored));
    ProbeReply reply = {0, nullptr};
    const char *afterValue = ReadProbeNumber(p, reply.value);
    reply.name = SkipSeparators(afterValue);
    if (reply.name == afterValue)
        reply.value = 0;
    return reply;
}

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
