// Checks a past backup against the agent: lists the remote tree as the
// backup would, and compares every local copy's size and last-write time
// with the listing, or its bytes with the remote file's.
#ifndef AGENTCLI_BACKUP_VERIFY_H
#define AGENTCLI_BACKUP_VERIFY_H

#include "backup_engine.h"

namespace agentcli {

// report.files counts the files found equal, report.bytes their size;
// every difference is a failure ("missing", "size", "last-write time",
// "content"). Nothing local is changed.
BackupReport VerifyBackup(AGENT_LOGON logon, const BackupOptions &options, bool content, BackupProgress *progress);

} // namespace agentcli

#endif
