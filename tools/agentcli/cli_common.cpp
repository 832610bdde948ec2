#include "cli_common.h"

#include "local_files.h"
#include "name_filter.h"
#include "win32_messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>
#include <unistd.h>
#endif

namespace agentcli {

const char kConnectionHelp[] =
    "connection options (or the environment variables AGENT_HOST, AGENT_PORT, AGENT_USER, AGENT_PASSWORD):\n"
    "  --host NAME        agent host (default 127.0.0.1)\n"
    "  --port N           agent TCP port (required)\n"
    "  --user NAME        user name (required)\n"
    "  --password TEXT    password (seen by every local user in the process list: prefer\n"
    "                     --password-file, AGENT_PASSWORD or the prompt on a terminal)\n"
    "  --password-file F  read the password from the first line of file F\n"
    "  --timeout SECONDS  give up on a silent agent after this long (default 60, 0 never)\n"
    "  --speed-limit=RATE, --speed-time=SECONDS\n"
    "                     fail a copy (exit 30) that moves less than RATE per second for\n"
    "                     SECONDS, as curl's options (RATE as --bwlimit: KiB unless K, M, G,\n"
    "                     B...; default 1K over 60 s; --speed-limit=0 turns it off)\n"
    "  -v, --verbose      say more;  -q, --quiet  print only failures\n"
    "Every option also takes its value as --option=value.\n";

const char kExitStatusHelp[] =
    "exit status (as rsync's where the meaning is the same):\n"
    "   0  done: everything copied, found equal or deliberately skipped\n"
    "   1  usage error\n"
    "   5  the agent refused the user name or password\n"
    "  10  the agent could not be reached\n"
    "  11  local I/O error (a local file or folder could not be read or written)\n"
    "  12  the connection broke or the agent's reply was not understood\n"
    "  20  stopped by SIGINT, SIGTERM or Ctrl-C (partial files are kept for a restart)\n"
    "  23  partial: the agent refused some items (or the one asked for); the rest was done\n"
    "  30  the agent did not answer within --timeout (or a copy was slower than --speed-limit)\n";

const std::set<std::string> &ConnectionOptions()
{
    static const std::set<std::string> options = {"--host", "--port", "--user", "--password", "--password-file",
                                                  "--timeout", "--speed-limit", "--speed-time"};
    return options;
}

std::string Args::Value(const std::string &name, const std::string &fallback) const
{
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
}

namespace {

// Short options and the long ones they stand for.
const char *LongForm(const std::string &a)
{
    static const std::pair<const char *, const char *> kShort[] = {
        {"-h", "--help"}, {"-v", "--verbose"}, {"-q", "--quiet"}, {"-n", "--dry-run"}};
    for (const auto &s : kShort)
        if (a == s.first)
            return s.second;
    return nullptr;
}

} // namespace

bool ParseArgs(const std::vector<std::string> &argv, const Command &command, Args &args, std::string &error)
{
    auto isValueOption = [&](const std::string &name) {
        return (command.needsLogon && ConnectionOptions().count(name) != 0) || command.valueOptions.count(name) != 0;
    };
    auto isFlag = [&](const std::string &name) {
        return command.flagOptions.count(name) != 0 || name == "--help" || name == "--verbose" || name == "--quiet";
    };
    for (size_t i = 0; i < argv.size(); ++i) {
        std::string a = argv[i];
        if (const char *longForm = LongForm(a))
            a = longForm;
        const size_t equals = a.find('=');
        const std::string name = a.compare(0, 2, "--") == 0 && equals != std::string::npos ? a.substr(0, equals) : a;
        if (isFlag(a)) {
            args.flags.insert(a);
        } else if (isValueOption(name)) {
            std::string value;
            if (name != a) {
                value = a.substr(equals + 1);
            } else if (i + 1 < argv.size()) {
                value = argv[++i];
            } else {
                error = a + " needs a value";
                return false;
            }
            args.values[name] = value;
            args.ordered.emplace_back(name, value);
        } else if (a == "--") {
            args.positional.insert(args.positional.end(), argv.begin() + static_cast<long>(i) + 1, argv.end());
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + argv[i];
            return false;
        } else {
            args.positional.push_back(a);
        }
    }
    if (args.Has("--help"))
        return true;
    if (args.Has("--verbose") && args.Has("--quiet")) {
        error = "--verbose and --quiet exclude each other";
        return false;
    }
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

const char kBandwidthHelp[] =
    "--bwlimit=RATE limits the copy's transfer to RATE KiB per second over all of its\n"
    "connections together (as rsync's option: K, M, G suffixes for KiB, MiB, GiB; KB, MB, GB for\n"
    "powers of 1000; fractions such as 1.5M; 0 for no limit, the default).\n";

bool ParseByteRate(const std::string &text, uint32_t &bytesPerSecond)
{
    size_t digits = 0;
    while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.'))
        ++digits;
    const std::string number = text.substr(0, digits);
    if (number.empty() || number == "." || number.find('.') != number.rfind('.'))
        return false;
    std::string suffix = text.substr(digits);
    for (char &c : suffix)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    static const std::pair<const char *, double> kUnits[] = {
        {"", 1024.0},         {"K", 1024.0},     {"KIB", 1024.0},     {"KB", 1000.0},
        {"M", 1048576.0},     {"MIB", 1048576.0}, {"MB", 1e6},        {"G", 1073741824.0},
        {"GIB", 1073741824.0}, {"GB", 1e9},      {"B", 1.0}};
    for (const auto &unit : kUnits) {
        if (suffix != unit.first)
            continue;
        const double bytes = std::strtod(number.c_str(), nullptr) * unit.second;
        if (bytes == 0) {
            bytesPerSecond = 0;
            return true;
        }
        if (bytes < 1 || bytes >= 4294967296.0)
            return false;
        bytesPerSecond = static_cast<uint32_t>(bytes);
        return true;
    }
    return false;
}

int Fail(const std::string &what, uint32_t code)
{
    std::fprintf(stderr, "agentcli: %s: %s\n", Printable(what).c_str(), DescribeError(code).c_str());
    return ExitCodeFor(code, Side::Remote);
}

int FailLocal(const std::string &what, uint32_t code)
{
    std::fprintf(stderr, "agentcli: local %s: %s\n", Printable(what).c_str(), DescribeError(code).c_str());
    return ExitCodeFor(code, Side::Local);
}

namespace {

// The first line of a file, without its line end.
bool ReadPasswordFile(const std::string &path, std::string &password, uint32_t &error)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(OpenLocalForRead(path), &std::fclose);
    if (!file) {
        error = Win32FromErrno(errno, path);
        return false;
    }
    password.clear();
    for (int c; (c = std::fgetc(file.get())) != EOF && c != '\n';)
        password += static_cast<char>(c);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return true;
}

// Asks on the terminal without echo; false when there is no terminal.
bool PromptPassword(const std::string &prompt, std::string &password)
{
    if (!IsTerminal(stdin) || !IsTerminal(stderr))
        return false;
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
#ifdef _WIN32
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool restore = ::GetConsoleMode(input, &mode) && ::SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
#else
    termios saved;
    const bool restore = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
#endif
    password.clear();
    for (int c; (c = std::fgetc(stdin)) != EOF && c != '\n';)
        password += static_cast<char>(c);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
#ifdef _WIN32
    if (restore)
        ::SetConsoleMode(input, mode);
#else
    if (restore)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#endif
    std::fprintf(stderr, "\n");
    return true;
}

} // namespace

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
    std::string password;
    if (args.values.count("--password-file")) {
        uint32_t error = 0;
        if (!ReadPasswordFile(args.Value("--password-file"), password, error)) {
            exitCode = FailLocal("password file " + args.Value("--password-file"), error);
            return nullptr;
        }
    } else if (args.values.count("--password") || std::getenv("AGENT_PASSWORD") != nullptr) {
        password = pick("--password", "AGENT_PASSWORD", "");
    } else if (!PromptPassword(user + "@" + host + "'s password: ", password)) {
        password.clear(); // no terminal to ask on: an empty password, as before
    }
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
    // A copy from an agent that drips its data, or a network that all but
    // stopped, ends instead of running for ever; 1 KiB/s over a minute
    // spares any link that still moves.
    uint32_t speedLimit = 0;
    unsigned long speedTime = 0;
    if (!ParseByteRate(args.Value("--speed-limit", "1K"), speedLimit)) {
        UsageError("--speed-limit: not a rate: " + args.Value("--speed-limit") + " (KiB/s, or with K, M, G, B)");
        return nullptr;
    }
    if (!ParseNumber(args.Value("--speed-time", "60"), 1, 4294967, speedTime)) {
        UsageError("--speed-time wants seconds from 1 to 4294967");
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
        const uint32_t error = GetLastError();
        exitCode = Fail("logon to " + host + ":" + port + " as " + user, error);
        // A connection that broke is the agent's fault, one never made is reach.
        if (IsConnectionFailure(error) && error != 10060)
            exitCode = kExitUnreachable;
        return nullptr;
    }
    if (!AgentSetSpeedLimit(logon, speedLimit, static_cast<DWORD>(speedTime))) {
        exitCode = Fail("setting the speed limit", GetLastError());
        AgentLogoff(logon);
        return nullptr;
    }
    return logon;
}

bool RemotePath(const std::string &text, WString &out)
{
    if (!Widen(text, out) || out.empty()) {
        UsageError("not a usable remote path: " + Printable(text));
        return false;
    }
    // A shell eats an unquoted backslash: C:\intl arrives as C:intl.
    if (text.size() > 2 && text[1] == ':' && text[2] != '\\' && text[2] != '/' &&
        ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
        UsageError("remote path " + Printable(text) + " has no backslash after the drive: did the shell eat it? " +
                   "Quote the path ('" + text.substr(0, 2) + "\\" + Printable(text.substr(2)) + "') or double it (" +
                   text.substr(0, 2) + "\\\\...)");
        return false;
    }
    return true;
}

std::string Printable(const std::string &text)
{
    // Most names have nothing to escape: they go out as they are.
    if (std::none_of(text.begin(), text.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        }))
        return text;
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
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

bool ReadFilter(const Args &args, NameFilter &filter)
{
    for (const auto &[name, value] : args.ordered) {
        if (name == "--exclude" || name == "--include") {
            filter.Add(name == "--include", value);
        } else if (name == "--exclude-from" || name == "--include-from") {
            const uint32_t error = filter.AddFromFile(name == "--include-from", value);
            if (error != 0) {
                FailLocal(name.substr(2) + " file " + value, error);
                return false;
            }
        }
    }
    return true;
}

} // namespace agentcli
