// --exclude/--include rules as rsync reads them: tried in the order given,
// the first that matches an entry decides, and an entry no rule matches is
// included. A pattern without '/' matches an entry's name at any depth; one
// with '/' (a leading '/' anchors it at the root) matches the path from the
// root; a trailing '/' matches folders only. '*' and '?' stay within one
// name, '**' crosses folders, [abc] is a class. An excluded folder is not
// descended.
#ifndef AGENTCLI_NAME_FILTER_H
#define AGENTCLI_NAME_FILTER_H

#include <cstdint>
#include <string>
#include <vector>

namespace agentcli {

bool GlobMatch(const std::string &pattern, const std::string &text);

class NameFilter {
public:
    void Add(bool include, const std::string &pattern);
    // One pattern a line; empty lines and lines starting with # or ; are
    // skipped. 0, or the Win32 code of the local failure.
    uint32_t AddFromFile(bool include, const std::string &path);
    // `relative`: the path below the root, names joined with '/'.
    bool Excluded(const std::string &relative, bool folder) const;
    bool Empty() const { return rules_.empty(); }

private:
    struct Rule {
        bool include;
        bool folderOnly;
        bool wholePath;
        std::string pattern;
    };
    std::vector<Rule> rules_;
};

} // namespace agentcli

#endif
