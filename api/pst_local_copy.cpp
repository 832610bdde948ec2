// AgentGetPst2Local: every PST store the agent lists, copied into one local
// directory under the names NameStoreTargets gives them. The directory is
// held open for the copies, so each lands in it whatever happens to its
// path meanwhile.
#include "api/copy_file.h"
#include "api/pst_stores.h"

#include "protocol/wide_string.h"
#include "session/export_frame.h"

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
    // An existing directory is fine; any other trouble shows when it is
    // opened. A link at the directory's own name is never entered: the
    // copies would land wherever it leads.
    CreateDirectoryW(directory, nullptr);
    platform::LocalFolder folder;
    if (!stores.empty() && folder.Open(directory, false) != 0) {
        RecordLastAgentError();
        return 0;
    }

    std::vector<const WCHAR *> paths;
    for (const WideText &store : stores)
        paths.push_back(store.c_str());
    const std::vector<StoreTarget> targets = NameStoreTargets(directory, paths.data(), paths.size());
    bool allCopied = true;
    DWORD cause = 0;
    for (size_t i = 0; i < stores.size(); ++i) {
        if (targets[i].refused != 0) {
            SetLastError(targets[i].refused);
            RecordLastAgentError();
        } else if (CopyFromAgentInto(logon, paths[i], folder, targets[i].target + targets[i].nameAt)) {
            continue;
        }
        allCopied = false;
        cause = GetLastError(); // the copy has recorded it
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

extern "C" BOOL AGENTAPI AgentGetPstLocalNames(const WCHAR *const *storePaths, DWORD count, WCHAR *names,
                                                DWORD *errors)
{
    if (count != 0 && (storePaths == nullptr || names == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Guarded<BOOL>(0, [&]() -> BOOL {
        const std::vector<StoreName> named = NameStoreFiles(storePaths, count);
        DWORD cause = 0;
        for (DWORD i = 0; i < count; ++i) {
            WCHAR *block = names + static_cast<size_t>(i) * kStoreTargetChars;
            DWORD refused = named[i].refused;
            if (refused == 0 && named[i].name.size() > kStoreTargetChars - 1)
                refused = ERROR_FILENAME_EXCED_RANGE;
            block[0] = 0;
            if (refused == 0)
                CopyWide(block, kStoreTargetChars, named[i].name.c_str());
            if (errors != nullptr)
                errors[i] = refused;
            if (refused != 0)
                cause = refused;
        }
        if (cause != 0) {
            SetLastError(cause);
            return 0;
        }
        return 1;
    });
}
