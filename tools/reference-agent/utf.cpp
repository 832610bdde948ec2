#include "utf.h"

#include "util/utf.h"

namespace refagent {

bool ToUtf8(const std::u16string &in, std::string &out)
{
    return agent::util::Utf16ToUtf8(in.data(), in.size(), out, agent::util::LoneSurrogate::Fail);
}

bool ToUtf16(const std::string &in, std::u16string &out) { return agent::util::Utf8ToUtf16(in.data(), in.size(), out); }

} // namespace refagent
