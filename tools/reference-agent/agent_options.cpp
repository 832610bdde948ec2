#include "agent_config.h"

#include "utf.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace refagent {

namespace {

const char kUsage[] =
    "usage: reference-agent [options] [DIR]\n"
    "Serves local directories as the drives of a Windows PC over the agent protocol.\n"
    "\n"
    "  DIR                      served as drive C: (same as --drive C=DIR)\n"
    "  --drive L=DIR            serve DIR as drive L: (repeatable)\n"
    "  --user NAME              user name accepted at logon (required)\n"
    "  --password TEXT          password accepted at logon (required; may be empty)\n"
    "  --listen ADDR            TCP address to bind (default 127.0.0.1)\n"
    "  --port N                 TCP port (default 0: any free port)\n"
    "  --port-file FILE         write the bound TCP port into FILE\n"
    "  --max-connections N      logged-on connections served at once (default 128)\n"
    "  --max-pending N          connections waiting to log on (default 1024; the oldest is dropped)\n"
    "  --logon-timeout SEC      close a connection not logged on within SEC seconds (default 10)\n"
    "  --read-timeout SEC       close a connection that stalls inside a request or reply (default 30)\n"
    "  --idle-timeout SEC       close a logged-on connection idle for SEC seconds (default 0: never)\n"
    "  --logon-delay MS[,MAX]   answer the first failed logon of an address after MS milliseconds,\n"
    "                           doubling up to MAX (default 200,5000)\n"
    "  --os-version A.B.C       version reported to clients (default 6.1.7601)\n"
    "  --profile PATH           Windows path of the user profile (default C:\\Users\\<user>)\n"
    "  --read-only              refuse every change with ERROR_WRITE_PROTECT (19)\n"
    "  --discovery-port N       answer discovery probes on UDP port N\n"
    "  --discovery-any-source   also answer probes that do not come from loopback\n"
    "  --name NAME              computer name in discovery replies (default host name)\n"
    "  --verbose                log every request on stderr\n"
    "  --help                   this text\n";

bool ParseUnsigned(const char *text, unsigned long max, unsigned long &out)
{
    if (text == nullptr || *text == 0)
        return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != 0 || v > max || text[0] == '-')
        return false;
    out = v;
    return true;
}

bool ParseVersion(const std::string &text, uint32_t &out)
{
    unsigned major = 0, minor = 0, build = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &build, &tail) != 3 || major > 255 || minor > 255 ||
        build > 0xFFFF)
        return false;
    out = major | minor << 8 | build << 16;
    return true;
}

// The command line, one argument at a time.
class Arguments {
public:
    Arguments(int argc, const char *const *argv) : argc_(argc), argv_(argv) {}
    bool Next()
    {
        if (++i_ >= argc_)
            return false;
        arg_ = argv_[i_];
        return true;
    }
    const std::string &Arg() const { return arg_; }
    // The current option's value, the argument after it.
    bool Value(std::string &out, std::string &message)
    {
        if (i_ + 1 >= argc_) {
            message = arg_ + " needs a value";
            return false;
        }
        out = argv_[++i_];
        return true;
    }

private:
    int argc_;
    const char *const *argv_;
    int i_ = 0;
    std::string arg_;
};

// What parsing carries from one option to the checks at the end.
struct Seen {
    bool user = false;
    bool password = false;
    std::string profile;
};

enum class Outcome { Done, NotMine, Failed };

// A failed option keeps the more precise message set on the way (a missing
// value), else the option's own complaint.
Outcome Fail(std::string &message, const std::string &complaint)
{
    if (message.empty())
        message = complaint;
    return Outcome::Failed;
}

Outcome Check(bool ok, std::string &message, const std::string &complaint)
{
    return ok ? Outcome::Done : Fail(message, complaint);
}

// A value taken as it is.
Outcome Take(Arguments &args, std::string &out, std::string &message)
{
    return args.Value(out, message) ? Outcome::Done : Outcome::Failed;
}

// --user, --password, --profile, --name, --os-version, --drive and DIR.
Outcome ApplyIdentity(Arguments &args, AgentConfig &config, Seen &seen, std::string &message)
{
    const std::string &arg = args.Arg();
    std::string v;
    if (arg == "--drive") {
        if (!args.Value(v, message))
            return Outcome::Failed;
        if (v.size() < 3 || v[1] != '=') {
            message = "--drive wants L=DIR, got " + v;
            return Outcome::Failed;
        }
        return config.drives.Add(v[0], v.substr(2), message) ? Outcome::Done : Outcome::Failed;
    }
    if (arg == "--user") {
        seen.user = true;
        return Check(args.Value(v, message) && ToUtf16(v, config.user) && !config.user.empty(), message,
                     "--user wants a non-empty UTF-8 name");
    }
    if (arg == "--password") {
        seen.password = true;
        return Check(args.Value(v, message) && ToUtf16(v, config.password), message, "--password wants UTF-8 text");
    }
    if (arg == "--os-version")
        return Check(args.Value(v, message) && ParseVersion(v, config.osVersion), message,
                     "--os-version wants MAJOR.MINOR.BUILD");
    if (arg == "--profile")
        return Take(args, seen.profile, message);
    if (arg == "--name")
        return Take(args, config.computerName, message);
    if (!arg.empty() && arg[0] == '-')
        return Outcome::NotMine;
    return config.drives.Add('C', arg, message) ? Outcome::Done : Outcome::Failed;
}

// --listen, --port, --port-file and the discovery options.
Outcome ApplyNetwork(Arguments &args, AgentConfig &config, std::string &message)
{
    const std::string &arg = args.Arg();
    std::string v;
    unsigned long n = 0;
    if (arg == "--listen")
        return Take(args, config.listenAddress, message);
    if (arg == "--port-file")
        return Take(args, config.portFile, message);
    if (arg == "--port" || arg == "--discovery-port") {
        if (!args.Value(v, message) || !ParseUnsigned(v.c_str(), 65535, n))
            return Fail(message, arg + " wants a port number");
        (arg == "--port" ? config.port : config.discoveryPort) = static_cast<uint16_t>(n);
        return Outcome::Done;
    }
    if (arg == "--discovery-any-source") {
        config.discoveryAnySource = true;
        return Outcome::Done;
    }
    return Outcome::NotMine;
}

// The connection limits, time-outs and the logon delay.
Outcome ApplyLimits(Arguments &args, AgentConfig &config, std::string &message)
{
    const std::string &arg = args.Arg();
    std::string v;
    unsigned long n = 0;
    if (arg == "--max-connections" || arg == "--max-pending") {
        const bool connections = arg == "--max-connections";
        const unsigned long max = connections ? 4096 : 65536;
        if (!args.Value(v, message) || !ParseUnsigned(v.c_str(), max, n) || n == 0)
            return Fail(message, arg + " wants a number from 1 to " + std::to_string(max));
        (connections ? config.maxConnections : config.maxPending) = n;
        return Outcome::Done;
    }
    if (arg == "--logon-timeout" || arg == "--read-timeout" || arg == "--idle-timeout") {
        const bool zeroAllowed = arg == "--idle-timeout";
        if (!args.Value(v, message) || !ParseUnsigned(v.c_str(), 86400, n) || (n == 0 && !zeroAllowed))
            return Fail(message, arg + (zeroAllowed ? " wants seconds (0 to 86400)" : " wants seconds (1 to 86400)"));
        const std::chrono::milliseconds ms(static_cast<long long>(n) * 1000);
        (arg == "--logon-timeout" ? config.logonTimeout
                                  : arg == "--read-timeout" ? config.readTimeout : config.idleTimeout) = ms;
        return Outcome::Done;
    }
    if (arg == "--logon-delay") {
        unsigned long first = 0, max = 0;
        const size_t comma = args.Value(v, message) ? v.find(',') : std::string::npos;
        const std::string firstText = v.substr(0, comma);
        const std::string maxText = comma == std::string::npos ? firstText : v.substr(comma + 1);
        if (v.empty() || !ParseUnsigned(firstText.c_str(), 600000, first) ||
            !ParseUnsigned(maxText.c_str(), 600000, max) || max < first)
            return Fail(message, "--logon-delay wants MS or MS,MAX with MAX >= MS");
        config.throttle.first = std::chrono::milliseconds(first);
        config.throttle.max = std::chrono::milliseconds(max);
        return Outcome::Done;
    }
    return Outcome::NotMine;
}

// --read-only and --verbose.
Outcome ApplyFlag(const std::string &arg, AgentConfig &config)
{
    if (arg == "--read-only")
        config.readOnly = true;
    else if (arg == "--verbose")
        config.verbose = true;
    else
        return Outcome::NotMine;
    return Outcome::Done;
}

// What the options leave to be filled in or refused as a whole.
bool Complete(AgentConfig &config, const Seen &seen, std::string &message)
{
    if (!seen.user || !seen.password) {
        message = "--user and --password are required (see --help)";
        return false;
    }
    if (config.drives.Empty()) {
        message = "no directory to serve (give DIR or --drive L=DIR)";
        return false;
    }
    if (!seen.profile.empty()) {
        if (!ToUtf16(seen.profile, config.profile)) {
            message = "--profile wants UTF-8 text";
            return false;
        }
    } else {
        config.profile = std::u16string(1, static_cast<char16_t>(config.drives.Roots()[0].letter)) + u":\\Users\\" +
                         config.user;
    }
    if (config.computerName.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0 && host[0] != 0)
            config.computerName = host;
        else
            config.computerName = "REFERENCE-AGENT";
    }
    return true;
}

} // namespace

int ParseOptions(int argc, const char *const *argv, AgentConfig &config, std::string &message)
{
    Arguments args(argc, argv);
    Seen seen;
    while (args.Next()) {
        const std::string &arg = args.Arg();
        if (arg == "--help" || arg == "-h") {
            message = kUsage;
            return 1;
        }
        Outcome outcome = ApplyFlag(arg, config);
        if (outcome == Outcome::NotMine)
            outcome = ApplyNetwork(args, config, message);
        if (outcome == Outcome::NotMine)
            outcome = ApplyLimits(args, config, message);
        if (outcome == Outcome::NotMine)
            outcome = ApplyIdentity(args, config, seen, message);
        if (outcome == Outcome::NotMine) {
            message = "unknown option " + arg + " (see --help)";
            return -1;
        }
        if (outcome == Outcome::Failed)
            return -1;
    }
    return Complete(config, seen, message) ? 0 : -1;
}

} // namespace refagent
