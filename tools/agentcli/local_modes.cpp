#include "local_modes.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace agentcli {
namespace {

bool IsOctal(const std::string &text)
{
    if (text.empty() || text.size() > 4)
        return false;
    for (char c : text)
        if (c < '0' || c > '7')
            return false;
    return true;
}

// One item applied to a mode as chmod applies it to a file or a folder.
bool ApplyItem(const std::string &item, bool folder, unsigned &mode)
{
    if (IsOctal(item)) {
        mode = static_cast<unsigned>(std::stoul(item, nullptr, 8));
        return true;
    }
    size_t i = 0;
    unsigned who = 0;
    for (; i < item.size() && std::string("ugoa").find(item[i]) != std::string::npos; ++i)
        who |= item[i] == 'u' ? 0700u : item[i] == 'g' ? 0070u : item[i] == 'o' ? 0007u : 0777u;
    if (who == 0)
        who = 0777;
    if (i == item.size())
        return false;
    while (i < item.size()) {
        const char op = item[i++];
        if (op != '+' && op != '-' && op != '=')
            return false;
        unsigned bits = 0;
        for (; i < item.size() && std::string("+-=").find(item[i]) == std::string::npos; ++i) {
            switch (item[i]) {
            case 'r': bits |= 0444; break;
            case 'w': bits |= 0222; break;
            case 'x': bits |= 0111; break;
            case 'X':
                if (folder || (mode & 0111) != 0)
                    bits |= 0111;
                break;
            default: return false; // s, t and copies from u/g/o cannot come from a mask
            }
        }
        bits &= who;
        if (op == '+')
            mode |= bits;
        else if (op == '-')
            mode &= ~bits;
        else
            mode = (mode & ~who) | bits;
    }
    return true;
}

} // namespace

bool CreationMaskForChmod(const std::string &value, unsigned &mask, std::string &error)
{
    unsigned file = 0600, folder = 0700;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        std::string item = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma == std::string::npos ? value.size() + 1 : comma + 1;
        bool toFiles = true, toFolders = true;
        if (!item.empty() && (item[0] == 'D' || item[0] == 'F')) {
            toFiles = item[0] == 'F';
            toFolders = item[0] == 'D';
            item.erase(0, 1);
        }
        if (item.empty() || (toFiles && !ApplyItem(item, false, file)) || (toFolders && !ApplyItem(item, true, folder))) {
            error = "--chmod: \"" + item + "\" is not a mode (644, D755, go+rX, u=rwX,go=rX...)";
            return false;
        }
    }
    if (file > 0777 || folder > 0777 || (folder & 0666) != file) {
        error = "--chmod: files would get other permissions than their folders beyond the x bits, "
                "which agentcli cannot give them (try go+rX, g+rX or D755,F644)";
        return false;
    }
    mask = 0777 & ~folder;
    return true;
}

void SetCreationMask(unsigned mask)
{
#ifndef _WIN32
    ::umask(static_cast<mode_t>(mask));
#else
    (void)mask;
#endif
}

} // namespace agentcli
