// Outlook PST stores on the agent's machine: the exchanges shared by the
// store exports, and the naming of local copies.
#ifndef AGENT_API_PST_STORES_H
#define AGENT_API_PST_STORES_H

#include "filesystem/agent_connection.h"

#include <string>
#include <vector>

namespace agent {

// Code units in a composed local target, the terminator included.
constexpr size_t kStoreTargetChars = 260;

// Decodes a store list reply (no socket work): status, count, then per
// store its path and second text, each handed to `visit` as soon as it is
// read, so a list that breaks off still reports the stores before the
// break. 0 after the last store; -1 on a wrong header (connection broken),
// a non-zero status (the thread's last error) or a short payload (no new
// last error).
int DecodeStoreList(AgentConnection &connection, const MessageHeader &header, ACE_InputCDR &in,
                    AgentPstListCallback visit, void *context);

// The store list exchange on a Ready connection (ERROR_INVALID_ACCESS
// otherwise, nothing sent). 0 / -1.
int ListStores(AgentConnection &connection, AgentPstListCallback visit, void *context);

// Composes `directory`\<file name of storePath> into `target`. The file
// name is what follows the last '\' or '/' of the store's path. Returns 0,
// or the reason the store gets no local copy (nothing written past the
// buffer, and no cut-down name is ever produced):
//   ERROR_INVALID_NAME (123): the name is empty, "." or "..", holds a
//     drive or stream colon, a character Windows refuses in file names, ends
//     in a dot or space, or is a device name (CON, NUL, COM1...): such a
//     name would leave the directory or not name a plain file in it;
//   ERROR_FILENAME_EXCED_RANGE (206): directory, separator and name do not
//     fit in kStoreTargetChars - 1 characters.
// ERROR_INVALID_PARAMETER for an empty directory (the target would land in
// the root of the current drive).
DWORD ComposeStoreTarget(const WCHAR *directory, const WCHAR *storePath, WCHAR (&target)[kStoreTargetChars]);

// The two steps of ComposeStoreTarget: the store's file name inside its
// path (0, or ERROR_INVALID_NAME), and directory\name into target (0,
// ERROR_INVALID_PARAMETER or ERROR_FILENAME_EXCED_RANGE).
DWORD StoreFileName(const WCHAR *storePath, const WCHAR *&name, size_t &length);
DWORD ComposeTarget(const WCHAR *directory, const WCHAR *name, size_t nameLength,
                    WCHAR (&target)[kStoreTargetChars]);

// The local file names of a list of stores, in list order. Each store
// keeps its file name unless an earlier store of the list has the same one
// (compared as Windows compares file names); such a later store is named
// "<stem> (N)<extension>" with the smallest N from 2 that no other store's
// name takes. The same list always gives the same names. refused: 0 or
// ERROR_INVALID_NAME (then name is empty).
struct StoreName {
    std::basic_string<WCHAR> name;
    DWORD refused;
};
std::vector<StoreName> NameStoreFiles(const WCHAR *const *stores, size_t count);

// Those names composed into `directory` (refused also as ComposeTarget).
struct StoreTarget {
    WCHAR target[kStoreTargetChars];
    DWORD refused;
};
std::vector<StoreTarget> NameStoreTargets(const WCHAR *directory, const WCHAR *const *stores, size_t count);

} // namespace agent

#endif
