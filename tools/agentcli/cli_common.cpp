#include "cli_common.h"

#include "win32_messages.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace agentcli {

const char kConnectionHelp[] =
    "connection options (or the environment variables AGENT_HOST, AGENT_PORT, AGENT_USER, AGENT_PASSWORD):\n"
    "  --host NAME        agent host (default 127.0.0.1)\n"
    "  --port N           agent TCP port (required)\n"
    "  --user NAME        user name (required)\n"
    "  --password TEXT    password (default empty)\n"
    "  --timeout SECONDS  give up on a silent agent after this long (default 60, 0 never)\n";

const std::set<std::string> &ConnectionOptions()
{
    static const std::set<std::string> options = {"--host", "--port", "--user", "--password", "--timeout"};
    return options;
}

std::string Args::Value(const std::string &name, const std::string &fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

bool ParseArgs(const std::vector<std::string> &argv, const Command &command, Args &args, std::string &error)
{
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string &a = argv[i];
        const bool connection = command.needsLogon && ConnectionOptions().count(a) != 0;
        if (connection || command.valueOptions.count(a) != 0) {
            if (i + 1 >= argv.size()) {
                error = a + " needs a value";
                return false;
            }
            args.values[a] = argv[++i];
        } else if (command.flagOptions.count(a) != 0 || a == "--help" || a == "-h") {
            args.flags.insert(a == "-h" ? "--help" : a);
        } else if (a.size() > 1 && a[0] == '-' && a != "--") {
            error = "unknown option " + a;
            return false;
        } else if (a == "--") {
            args.positional.insert(args.positional.end(), argv.begin() + static_cast<long>(i) + 1, argv.end());
            break;
        } else {
            args.positional.push_back(a);
        }
    }
    if (args.Has("--help"))
        return true;
    if (args.positional.size() < command.minPositional || args.positional.size() > command.maxPositional) {
        error = "wrong number of arguments";
        return false;
    }
    return true;
}

bool ParseNumber(const std::string &text, unsigned long min, unsigned long max, unsigned long &out, int base)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text.c_str(), &end, base);
    if (errno != 0 || *end != 0 || v < min || v > max)
        return false;
    out = v;
    return true;
}

int Fail(const std::string &what, uint32_t code)
{
    std::fprintf(stderr, "agentcli: %s: %s\n", what.c_str(), DescribeError(code).c_str());
    return kExitFailed;
}

int UsageError(const std::string &message)
{
    std::fprintf(stderr, "agentcli: %s\n", message.c_str());
    return kExitUsage;
}

AGENT_LOGON LogOn(const Args &args, int &exitCode)
{
    exitCode = kExitUsage;
    auto pick = [&](const char *option, const char *variable, const char *fallback) {
        if (args.values.count(option))
            return args.Value(option);
        const char *env = std::getenv(variable);
        return std::string(env != nullptr ? env : fallback);
    };
    const std::string host = pick("--host", "AGENT_HOST", "127.0.0.1");
    const std::string port = pick("--port", "AGENT_PORT", "");
    const std::string user = pick("--user", "AGENT_USER", "");
    const std::string password = pick("--password", "AGENT_PASSWORD", "");
    unsigned long portNumber = 0;
    if (!ParseNumber(port, 1, 65535, portNumber)) {
        UsageError("a TCP port is needed (--port N or AGENT_PORT)");
        return nullptr;
    }
    if (user.empty()) {
        UsageError("a user name is needed (--user NAME or AGENT_USER)");
        return nullptr;
    }
    unsigned long timeoutSeconds = 60;
    if (!ParseNumber(args.Value("--timeout", "60"), 0, 4294967, timeoutSeconds)) {
        UsageError("--timeout wants seconds up to 4294967 (0: no limit)");
        return nullptr;
    }
    WString wHost, wUser, wPassword;
    if (!Widen(host, wHost) || !Widen(user, wUser) || !Widen(password, wPassword)) {
        UsageError("host, user and password must be UTF-8");
        return nullptr;
    }
    // The logon's own connect and reply, and every later connect, send and
    // receive of the logon it makes.
    const DWORD timeoutMs = static_cast<DWORD>(timeoutSeconds * 1000);
    AgentSetDefaultTimeouts(timeoutMs, timeoutMs);
    AGENT_LOGON logon = AgentLogonW(wHost.c_str(), static_cast<DWORD>(portNumber), wUser.c_str(), wPassword.c_str());
    if (logon == nullptr) {
        exitCode = Fail("logon to " + host + ":" + port + " as " + user, GetLastError());
        return nullptr;
    }
    return logon;
}

bool RemotePath(const std::string &text, WString &out)
{
    if (!Widen(text, out) || out.empty()) {
        UsageError("not a usable remote path: " + text);
        return false;
    }
    return true;
}

std::string FormatFileTime(const FILETIME &t)
{
    const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    if (ticks == 0)
        return "-";
    const int64_t seconds = static_cast<int64_t>(ticks / 10000000ull) - 11644473600ll;
    const std::time_t when = static_cast<std::time_t>(seconds);
    // std::gmtime is in both C libraries (gmtime_r is POSIX only); only the
    // main thread prints times.
    const std::tm *tm = std::gmtime(&when);
    if (tm == nullptr)
        return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
    return text;
}

std::string FormatAttributes(DWORD a)
{
    std::string s;
    s += (a & 0x10) ? 'd' : '-';
    s += (a & 0x01) ? 'r' : '-';
    s += (a & 0x02) ? 'h' : '-';
    s += (a & 0x04) ? 's' : '-';
    s += (a & 0x20) ? 'a' : '-';
    return s;
}

std::string FormatBytes(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < (1ull << 20))
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else if (bytes < (1ull << 30))
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / 1048576.0);
    else
        std::snprintf(text, sizeof text, "%.2f GiB", bytes / 1073741824.0);
    return text;
}

} // namespace agentcli
