// The library's many-file copy of a whole remote tree, as a host would run
// it: AgentListTreeW for the listing, local folders made as they come,
// then one AgentCopyFilesFromAgentW over every file with the listed sizes
// and times. For bench/run.sh --network.
//
//   manyfile_bench --host H --port P --user U --password W --remote 'C:\dir'
//                  --local DIR [--no-flush] [--cap N]
//
// Prints files, bytes and seconds; exit status 0 when every file arrived.
#include "agent_stub.h"
#include "util/utf.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Text = std::basic_string<WCHAR>;

Text Wide(const std::string &ascii) { return Text(ascii.begin(), ascii.end()); }

std::string Narrow(const Text &text)
{
    std::string out;
    agent::util::Utf16ToUtf8(text.data(), text.size(), out, agent::util::LoneSurrogate::Replace);
    return out;
}

struct Listing {
    Text root;
    std::string local;
    std::vector<Text> remotes;
    std::vector<Text> locals;
    std::vector<AGENT_COPY_ITEM> items;
    bool failed = false;

    // The local path of a remote one below the root ('/' for '\').
    Text WideLocalOf(const WCHAR *path) const
    {
        Text rel(path + root.size());
        while (!rel.empty() && rel[0] == '\\')
            rel.erase(0, 1);
        for (WCHAR &c : rel)
            if (c == '\\')
                c = '/';
        return rel.empty() ? Wide(local) : Wide(local) + Wide("/") + rel;
    }
    std::string LocalOf(const WCHAR *path) const { return Narrow(WideLocalOf(path)); }

    static DWORD AGENTAPI Entry(const AGENT_TREE_ENTRY *entry, void *context)
    {
        auto *self = static_cast<Listing *>(context);
        std::error_code ec;
        switch (entry->kind) {
        case AGENT_TREE_FOLDER:
            std::filesystem::create_directories(self->LocalOf(entry->path), ec);
            self->failed |= static_cast<bool>(ec);
            break;
        case AGENT_TREE_FILE: {
            const WIN32_FIND_DATAW &data = *entry->findData;
            AGENT_COPY_ITEM item = {};
            item.size = static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
            item.lastWrite = data.ftLastWriteTime;
            item.known = (data.dwFileAttributes & 0x400) != 0 ? 0 : AGENT_COPY_ITEM_KNOWN;
            self->remotes.push_back(entry->path);
            self->locals.push_back(self->WideLocalOf(entry->path));
            self->items.push_back(item);
            break;
        }
        case AGENT_TREE_FAILED: self->failed = true; break;
        default: break;
        }
        return AGENT_TREE_CONTINUE;
    }
};

} // namespace

int main(int argc, char **argv)
{
    std::string host = "127.0.0.1", user, password, remote, local;
    int port = 0;
    DWORD flags = 0, cap = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--host") host = v, ++i;
        else if (a == "--port") port = std::atoi(v), ++i;
        else if (a == "--user") user = v, ++i;
        else if (a == "--password") password = v, ++i;
        else if (a == "--remote") remote = v, ++i;
        else if (a == "--local") local = v, ++i;
        else if (a == "--cap") cap = static_cast<DWORD>(std::atoi(v)), ++i;
        else if (a == "--no-flush") flags |= AGENT_COPY_FILE_NO_FLUSH;
        else {
            std::fprintf(stderr, "manyfile_bench: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (port == 0 || remote.empty() || local.empty()) {
        std::fprintf(stderr, "usage: manyfile_bench --port P --remote PATH --local DIR [--host H] [--user U] "
                             "[--password W] [--no-flush] [--cap N]\n");
        return 2;
    }
    AgentInit();
    AGENT_LOGON logon = AgentLogonW(Wide(host).c_str(), static_cast<DWORD>(port), Wide(user).c_str(),
                                    Wide(password).c_str());
    if (logon == nullptr) {
        std::fprintf(stderr, "manyfile_bench: logon failed: %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    Listing listing;
    listing.root = Wide(remote);
    listing.local = local;
    const BOOL listed = AgentListTreeW(logon, listing.root.c_str(), 0, 0, 0, 0, &Listing::Entry, &listing, nullptr);
    const double listedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (size_t i = 0; i < listing.items.size(); ++i) {
        listing.items[i].remotePath = listing.remotes[i].c_str();
        listing.items[i].localPath = listing.locals[i].c_str();
    }
    const BOOL copied = listed && AgentCopyFilesFromAgentW(logon, listing.items.data(),
                                                           static_cast<DWORD>(listing.items.size()), nullptr,
                                                           nullptr, nullptr, flags, cap);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unsigned long long bytes = 0;
    for (const AGENT_COPY_ITEM &item : listing.items)
        bytes += item.result == 0 ? item.size : 0;
    std::printf("files\t%zu\nbytes\t%llu\nseconds\t%.3f\nlisted after\t%.3f\n", listing.items.size(), bytes,
                seconds, listedAfter);
    const bool ok = listed && copied && !listing.failed;
    if (!ok)
        std::fprintf(stderr, "manyfile_bench: %s failed: %u\n", listed ? "copy" : "listing",
                     static_cast<unsigned>(GetLastError()));
    AgentLogoff(logon);
    AgentFini();
    return ok ? 0 : 1;
}
