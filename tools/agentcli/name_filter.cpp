#include "name_filter.h"

#include "local_files.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace agentcli {

namespace {

// A [...] class at pattern[p] (just after '['); advances p past ']'.
bool MatchClass(const std::string &pattern, size_t &p, char c)
{
    bool negate = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
    if (negate)
        ++p;
    bool matched = false;
    const size_t first = p;
    while (p < pattern.size() && (pattern[p] != ']' || p == first)) {
        if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']') {
            matched = matched || (c >= pattern[p] && c <= pattern[p + 2]);
            p += 3;
        } else {
            matched = matched || c == pattern[p];
            ++p;
        }
    }
    ++p; // the ']'
    return matched != negate;
}

bool Match(const std::string &pattern, size_t p, const std::string &text, size_t t)
{
    while (p < pattern.size()) {
        const char c = pattern[p];
        if (c == '*') {
            const bool any = p + 1 < pattern.size() && pattern[p + 1] == '*';
            p += any ? 2 : 1;
            for (size_t k = t; k <= text.size(); ++k) {
                if (Match(pattern, p, text, k))
                    return true;
                if (k < text.size() && text[k] == '/' && !any)
                    return false;
            }
            return false;
        }
        if (t >= text.size())
            return false;
        if (c == '?') {
            if (text[t] == '/')
                return false;
            ++p;
        } else if (c == '[' && pattern.find(']', p + 2) != std::string::npos) {
            ++p;
            if (text[t] == '/' || !MatchClass(pattern, p, text[t]))
                return false;
        } else {
            if (c == '\\' && p + 1 < pattern.size())
                ++p;
            if (pattern[p] != text[t])
                return false;
            ++p;
        }
        ++t;
    }
    return t == text.size();
}

} // namespace

bool GlobMatch(const std::string &pattern, const std::string &text) { return Match(pattern, 0, text, 0); }

void NameFilter::Add(bool include, const std::string &given)
{
    Rule rule{include, false, false, given};
    if (!rule.pattern.empty() && rule.pattern.back() == '/') {
        rule.folderOnly = true;
        rule.pattern.pop_back();
    }
    if (rule.pattern.find('/') != std::string::npos) {
        rule.wholePath = true;
        if (rule.pattern[0] == '/')
            rule.pattern.erase(0, 1);
    }
    if (!rule.pattern.empty())
        rules_.push_back(std::move(rule));
}

uint32_t NameFilter::AddFromFile(bool include, const std::string &path)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(OpenLocalForRead(path), &std::fclose);
    if (!file)
        return Win32FromErrno(errno, path);
    std::string line;
    for (int c = 0; c != EOF;) {
        c = std::fgetc(file.get());
        if (c != '\n' && c != EOF) {
            line += static_cast<char>(c);
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] != '#' && line[0] != ';')
            Add(include, line);
        line.clear();
    }
    return 0;
}

bool NameFilter::Excluded(const std::string &relative, bool folder) const
{
    const size_t slash = relative.rfind('/');
    const std::string name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    for (const Rule &rule : rules_) {
        if (rule.folderOnly && !folder)
            continue;
        if (GlobMatch(rule.pattern, rule.wholePath ? relative : name))
            return !rule.include;
    }
    return false;
}

} // namespace agentcli
