// AgentGetPst2Local: every PST store the agent lists, copied into one local
// directory under its own file name.
#include "api/pst_stores.h"

#include "filesystem/wide_string.h"
#include "logon/export_frame.h"

#include <string>
#include <vector>

using namespace agent;

namespace {

using WideText = std::basic_string<WCHAR>;

// Collects the store paths whole: a path cut to some buffer length would
// name another file on the agent and another file locally.
void AGENTAPI CollectStore(const WCHAR *path, const WCHAR * /*secondText*/, void *context)
{
    static_cast<std::vector<WideText> *>(context)->emplace_back(path);
}

WCHAR FoldCase(WCHAR c) { return c >= u'A' && c <= u'Z' ? static_cast<WCHAR>(c - u'A' + u'a') : c; }

// Windows file names compare without regard to case.
bool SameLocalName(const WideText &a, const WCHAR *b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i)
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    return i == a.size() && b[i] == 0;
}

BOOL CopyStoresToLocal(AgentLogon *logon, const WCHAR *directory)
{
    // Held until every copy has been attempted; each copy takes further
    // connections of the same logon.
    ConnectionHolder held(logon);
    if (held.get() == nullptr) {
        RecordLastAgentError();
        return 0;
    }
    std::vector<WideText> stores;
    if (ListStores(*held.get(), CollectStore, &stores) != 0) {
        RecordLastAgentError();
        return 0;
    }
    // An existing directory is fine; any other trouble shows in the copies.
    CreateDirectoryW(directory, nullptr);

    std::vector<WideText> written;
    bool allCopied = true;
    DWORD cause = 0;
    for (const WideText &store : stores) {
        WCHAR target[kStoreTargetChars];
        DWORD refused = ComposeStoreTarget(directory, store.c_str(), target);
        // Two stores with one file name: the first complete copy stays, the
        // later store is reported instead of silently replacing it.
        for (const WideText &done : written)
            if (refused == 0 && SameLocalName(done, target))
                refused = ERROR_FILE_EXISTS;
        if (refused != 0) {
            SetLastError(refused);
            RecordLastAgentError();
            allCopied = false;
            cause = refused;
            continue;
        }
        if (AgentCopyFileFromAgent(logon, store.c_str(), target))
            written.emplace_back(target);
        else {
            allCopied = false;
            cause = GetLastError(); // the copy has recorded it
        }
    }
    if (allCopied)
        return 1;
    // The last failure's cause, as AgentGetLastError has it.
    SetLastError(cause);
    return 0;
}

} // namespace

extern "C" BOOL AGENTAPI AgentGetPst2Local(AGENT_LOGON logon, const WCHAR *localDirectory)
{
    if (logon == nullptr || IsEmpty(localDirectory)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&] { return CopyStoresToLocal(logon, localDirectory); });
}
