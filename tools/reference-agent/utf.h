// UTF-16 (the wire and Windows names) <-> UTF-8 (local file names).
#ifndef REFAGENT_UTF_H
#define REFAGENT_UTF_H

#include <string>

namespace refagent {

// False for an unpaired surrogate: such a name has no local spelling.
bool ToUtf8(const std::u16string &in, std::string &out);
// False for bytes that are not UTF-8 (a local name the wire cannot carry).
bool ToUtf16(const std::string &in, std::u16string &out);

} // namespace refagent

#endif
