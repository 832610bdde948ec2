#include "wildcard.h"

namespace refagent {

namespace {

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool Match(const std::u16string &p, const std::u16string &n)
{
    // Greedy with one back-track point: linear for the patterns people type,
    // never exponential.
    size_t pi = 0, ni = 0, star = std::u16string::npos, mark = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == u'?' || Fold(p[pi]) == Fold(n[ni]))) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == u'*') {
            star = pi++;
            mark = ni;
        } else if (star != std::u16string::npos) {
            pi = star + 1;
            ni = ++mark;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == u'*')
        ++pi;
    return pi == p.size();
}

} // namespace

bool HasWildcard(const std::u16string &pattern)
{
    return pattern.find_first_of(u"*?") != std::u16string::npos;
}

bool MatchWildcard(const std::u16string &pattern, const std::u16string &name)
{
    if (pattern == u"*" || pattern == u"*.*")
        return true;
    if (Match(pattern, name))
        return true;
    // As on Windows, "name.*" also finds "name" without an extension.
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, u".*") == 0 &&
        name.find(u'.') == std::u16string::npos)
        return Match(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

} // namespace refagent
