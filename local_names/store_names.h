// Local file names for copies of the agent's PST stores: plain names inside
// one chosen folder, never two stores in one file.
#ifndef AGENT_LOCAL_NAMES_STORE_NAMES_H
#define AGENT_LOCAL_NAMES_STORE_NAMES_H

#include "platform/platform.h"

#include <string>
#include <vector>

namespace agent {

// Code units in a composed local target, the terminator included.
constexpr size_t kStoreTargetChars = 260;

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
    size_t nameAt; // where the plain file name starts in target
};
std::vector<StoreTarget> NameStoreTargets(const WCHAR *directory, const WCHAR *const *stores, size_t count);

} // namespace agent

#endif
