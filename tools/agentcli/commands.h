// The subcommands, one function each.
#ifndef AGENTCLI_COMMANDS_H
#define AGENTCLI_COMMANDS_H

#include "cli_common.h"

namespace agentcli {

int RunProbe(const Args &args, AGENT_LOGON logon);
int RunLs(const Args &args, AGENT_LOGON logon);
int RunStat(const Args &args, AGENT_LOGON logon);
int RunGet(const Args &args, AGENT_LOGON logon);
int RunPut(const Args &args, AGENT_LOGON logon);
int RunBackup(const Args &args, AGENT_LOGON logon);
int RunRestore(const Args &args, AGENT_LOGON logon);
int RunDrives(const Args &args, AGENT_LOGON logon);
int RunDf(const Args &args, AGENT_LOGON logon);
int RunOs(const Args &args, AGENT_LOGON logon);
int RunFolders(const Args &args, AGENT_LOGON logon);
int RunBookmarks(const Args &args, AGENT_LOGON logon);
int RunPst(const Args &args, AGENT_LOGON logon);

} // namespace agentcli

#endif
