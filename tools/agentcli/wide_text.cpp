#include "wide_text.h"

#include <cwctype>

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

WString UpperCased(WString text)
{
    for (WCHAR &c : text)
        c = static_cast<WCHAR>(std::towupper(static_cast<wint_t>(c)));
    return text;
}

std::string UpperCased(const std::string &utf8)
{
    WString wide;
    return Widen(utf8, wide) ? Narrow(UpperCased(std::move(wide))) : utf8;
}

} // namespace agentcli
