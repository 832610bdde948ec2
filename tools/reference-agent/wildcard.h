// Windows file-name wildcards: '*' any run, '?' one character, compared
// without regard to ASCII case as Windows file systems compare names.
#ifndef REFAGENT_WILDCARD_H
#define REFAGENT_WILDCARD_H

#include <string>

namespace refagent {

bool MatchWildcard(const std::u16string &pattern, const std::u16string &name);
bool HasWildcard(const std::u16string &pattern);

} // namespace refagent

#endif
