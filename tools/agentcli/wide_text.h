// UTF-8 (the terminal, local names) <-> the library's UTF-16 WCHAR strings.
#ifndef AGENTCLI_WIDE_TEXT_H
#define AGENTCLI_WIDE_TEXT_H

#include "agent_stub.h"

#include <string>

namespace agentcli {

using WString = std::basic_string<WCHAR>;

// Unpaired surrogates become U+FFFD on the way out; invalid UTF-8 on the
// way in makes Widen fail.
std::string Narrow(const WCHAR *text);
inline std::string Narrow(const WString &text) { return Narrow(text.c_str()); }
bool Widen(const std::string &utf8, WString &out);
WString WidenOrEmpty(const std::string &utf8);
// Upper case code unit by code unit, as Windows compares names; invalid
// UTF-8 comes back as it is.
WString UpperCased(WString text);
std::string UpperCased(const std::string &utf8);

} // namespace agentcli

#endif
