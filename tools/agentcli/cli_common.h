// What every agentcli subcommand shares: its arguments, the logon, and
// the way failures are reported (Win32 code with its meaning, non-zero exit).
#ifndef AGENTCLI_CLI_COMMON_H
#define AGENTCLI_CLI_COMMON_H

#include "agent_stub.h"
#include "run_control.h"
#include "wide_text.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace agentcli {

class NameFilter;

struct Args {
    std::map<std::string, std::string> values; // --name value or --name=value: the last one given
    std::vector<std::pair<std::string, std::string>> ordered; // every value option, in command-line order
    std::set<std::string> flags;               // --name
    std::vector<std::string> positional;
    bool Has(const std::string &flag) const { return flags.count(flag) != 0; }
    std::string Value(const std::string &name, const std::string &fallback = "") const;
    bool Verbose() const { return Has("--verbose"); }
    bool Quiet() const { return Has("--quiet"); }
};

struct Command {
    const char *name;
    const char *summary;
    const char *usage;        // the --help text after "usage: agentcli "
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    bool needsLogon;
    size_t minPositional, maxPositional;
    int (*run)(const Args &args, AGENT_LOGON logon);
};

const std::vector<Command> &Commands();

// --host/--port/--user/--password..., which every command but probe takes.
extern const char kConnectionHelp[];
const std::set<std::string> &ConnectionOptions();
// The exit statuses, for --help.
extern const char kExitStatusHelp[];

bool ParseArgs(const std::vector<std::string> &argv, const Command &command, Args &args, std::string &error);

// Logs on with the connection options (environment AGENT_HOST, AGENT_PORT,
// AGENT_USER, AGENT_PASSWORD fill in what is not given; then the password
// is asked for on a terminal). Null after printing the failure, with the
// exit status for it in exitCode.
AGENT_LOGON LogOn(const Args &args, int &exitCode);

// "agentcli: <what>: error N (meaning)" on stderr; returns the exit status
// for the code (ExitCodeFor). FailLocal blames the local side.
int Fail(const std::string &what, uint32_t code);
int FailLocal(const std::string &what, uint32_t code);
int UsageError(const std::string &message);

// A whole decimal (or, with base 0, 0x-prefixed) number within [min, max].
bool ParseNumber(const std::string &text, unsigned long min, unsigned long max, unsigned long &out, int base = 10);

// A --bwlimit RATE as rsync takes it: KiB per second unless a suffix says
// otherwise (K, M, G: powers of 1024, also as KiB...; KB, MB, GB: of 1000),
// a fraction allowed (1.5M), 0 for no limit. Bytes per second, or false
// for a rate that is malformed, below one byte or not below 4 GiB/s.
bool ParseByteRate(const std::string &text, uint32_t &bytesPerSecond);
extern const char kBandwidthHelp[];

// --exclude, --include and their -from files, in command-line order;
// false after printing why a file could not be read.
bool ReadFilter(const Args &args, NameFilter &filter);

// Parses a remote path argument into UTF-16; false after printing why.
// A drive letter without a backslash (C:intl) gets a hint about quoting.
bool RemotePath(const std::string &text, WString &out);

std::string FormatFileTime(const FILETIME &t);
std::string FormatAttributes(DWORD attributes);
std::string FormatBytes(uint64_t bytes);
// A name safe to print: control characters (a remote name's terminal escape
// sequences among them) as \xNN.
std::string Printable(const std::string &text);

} // namespace agentcli

#endif
