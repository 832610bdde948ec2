#include "wide_text.h"

#include "util/utf.h"

namespace agentcli {

std::string Narrow(const WCHAR *text)
{
    std::string out;
    if (text == nullptr)
        return out;
    size_t units = 0;
    while (text[units] != 0)
        ++units;
    agent::util::Utf16ToUtf8(text, units, out, agent::util::LoneSurrogate::Replace);
    return out;
}

bool Widen(const std::string &in, WString &out) { return agent::util::Utf8ToUtf16(in.data(), in.size(), out); }

WString WidenOrEmpty(const std::string &utf8)
{
    WString out;
    return Widen(utf8, out) ? out : WString();
}

} // namespace agentcli
