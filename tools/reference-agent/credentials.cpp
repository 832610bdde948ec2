#include "credentials.h"

#include <cstdio>

namespace refagent {

bool CredentialsMatch(const AgentConfig &config, const LogonRequest &request)
{
    auto fold = [](std::u16string s) {
        for (char16_t &c : s)
            if (c >= u'A' && c <= u'Z')
                c = static_cast<char16_t>(c - u'A' + u'a');
        return s;
    };
    // Every character is looked at whatever the first difference, so the
    // answer's timing does not tell how much of a password was right.
    const std::u16string &want = config.password;
    const std::u16string &got = request.password;
    unsigned difference = want.size() == got.size() ? 0u : 1u;
    for (size_t i = 0; i < got.size(); ++i)
        difference |= static_cast<unsigned>(got[i] ^ (i < want.size() ? want[i] : 0));
    return fold(request.user) == fold(config.user) && difference == 0;
}

std::string LoggableName(const std::u16string &user)
{
    std::string out;
    for (char16_t c : user) {
        if (out.size() >= 64) {
            out += "...";
            break;
        }
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

} // namespace refagent
