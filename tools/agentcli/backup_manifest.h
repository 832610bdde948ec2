// Between a backup run and its manifest: what the listing and the run's
// report say becomes the manifest's entries and skips, and a check compares
// what the agent lists now with what the manifest kept.
#ifndef AGENTCLI_BACKUP_MANIFEST_H
#define AGENTCLI_BACKUP_MANIFEST_H

#include "backup_engine.h"
#include "manifest.h"

#include <string>
#include <vector>

namespace agentcli {

// Adds a listed folder or file below localRoot as it was listed. The root
// itself has no entry: a restore may put it anywhere.
void AddToManifest(Manifest &manifest, const FolderEntry &folder, const std::string &localRoot);
void AddToManifest(Manifest &manifest, const FileEntry &file, const std::string &localRoot);

// After the run: entries whose copy failed or was skipped leave the
// entries, and every skip and failure is recorded with its cause.
void SettleManifest(Manifest &manifest, const BackupReport &report);

// A check's findings against the manifest of the backup, one line each:
// entries whose kind, attributes or creation time differ from what the
// agent lists now, entries the manifest neither holds nor names as
// skipped, and entries it holds that the agent and the copy have both lost.
std::vector<std::string> CompareWithManifest(const Manifest &stored, const Manifest &listed,
                                             const std::string &localRoot);

} // namespace agentcli

#endif
