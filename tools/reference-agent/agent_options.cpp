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

} // namespace

int ParseOptions(int argc, const char *const *argv, AgentConfig &config, std::string &message)
{
    bool haveUser = false, havePassword = false;
    std::string profile;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                message = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        unsigned long n = 0;
        if (arg == "--help" || arg == "-h") {
            message = kUsage;
            return 1;
        } else if (arg == "--drive") {
            if (!value(v))
                return -1;
            if (v.size() < 3 || v[1] != '=') {
                message = "--drive wants L=DIR, got " + v;
                return -1;
            }
            if (!config.drives.Add(v[0], v.substr(2), message))
                return -1;
        } else if (arg == "--user") {
            if (!value(v) || !ToUtf16(v, config.user) || config.user.empty()) {
                if (message.empty())
                    message = "--user wants a non-empty UTF-8 name";
                return -1;
            }
            haveUser = true;
        } else if (arg == "--password") {
            if (!value(v) || !ToUtf16(v, config.password)) {
                if (message.empty())
                    message = "--password wants UTF-8 text";
                return -1;
            }
            havePassword = true;
        } else if (arg == "--listen") {
            if (!value(config.listenAddress))
                return -1;
        } else if (arg == "--port" || arg == "--discovery-port") {
            if (!value(v) || !ParseUnsigned(v.c_str(), 65535, n)) {
                if (message.empty())
                    message = arg + " wants a port number";
                return -1;
            }
            (arg == "--port" ? config.port : config.discoveryPort) = static_cast<uint16_t>(n);
        } else if (arg == "--port-file") {
            if (!value(config.portFile))
                return -1;
        } else if (arg == "--max-connections") {
            if (!value(v) || !ParseUnsigned(v.c_str(), 4096, n) || n == 0) {
                if (message.empty())
                    message = "--max-connections wants a number from 1 to 4096";
                return -1;
            }
            config.maxConnections = n;
        } else if (arg == "--max-pending") {
            if (!value(v) || !ParseUnsigned(v.c_str(), 65536, n) || n == 0) {
                if (message.empty())
                    message = "--max-pending wants a number from 1 to 65536";
                return -1;
            }
            config.maxPending = n;
        } else if (arg == "--logon-timeout" || arg == "--read-timeout" || arg == "--idle-timeout") {
            const bool zeroAllowed = arg == "--idle-timeout";
            if (!value(v) || !ParseUnsigned(v.c_str(), 86400, n) || (n == 0 && !zeroAllowed)) {
                if (message.empty())
                    message = arg + (zeroAllowed ? " wants seconds (0 to 86400)" : " wants seconds (1 to 86400)");
                return -1;
            }
            const std::chrono::milliseconds ms(static_cast<long long>(n) * 1000);
            (arg == "--logon-timeout" ? config.logonTimeout
                                      : arg == "--read-timeout" ? config.readTimeout : config.idleTimeout) = ms;
        } else if (arg == "--logon-delay") {
            unsigned long first = 0, max = 0;
            const size_t comma = value(v) ? v.find(',') : std::string::npos;
            const std::string firstText = v.substr(0, comma);
            const std::string maxText = comma == std::string::npos ? firstText : v.substr(comma + 1);
            if (v.empty() || !ParseUnsigned(firstText.c_str(), 600000, first) ||
                !ParseUnsigned(maxText.c_str(), 600000, max) || max < first) {
                if (message.empty())
                    message = "--logon-delay wants MS or MS,MAX with MAX >= MS";
                return -1;
            }
            config.throttle.first = std::chrono::milliseconds(first);
            config.throttle.max = std::chrono::milliseconds(max);
        } else if (arg == "--os-version") {
            if (!value(v) || !ParseVersion(v, config.osVersion)) {
                if (message.empty())
                    message = "--os-version wants MAJOR.MINOR.BUILD";
                return -1;
            }
        } else if (arg == "--profile") {
            if (!value(profile))
                return -1;
        } else if (arg == "--read-only") {
            config.readOnly = true;
        } else if (arg == "--discovery-any-source") {
            config.discoveryAnySource = true;
        } else if (arg == "--name") {
            if (!value(config.computerName))
                return -1;
        } else if (arg == "--verbose") {
            config.verbose = true;
        } else if (!arg.empty() && arg[0] == '-') {
            message = "unknown option " + arg + " (see --help)";
            return -1;
        } else {
            if (!config.drives.Add('C', arg, message))
                return -1;
        }
    }
    if (!haveUser || !havePassword) {
        message = "--user and --password are required (see --help)";
        return -1;
    }
    if (config.drives.Empty()) {
        message = "no directory to serve (give DIR or --drive L=DIR)";
        return -1;
    }
    if (!profile.empty()) {
        if (!ToUtf16(profile, config.profile)) {
            message = "--profile wants UTF-8 text";
            return -1;
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
    return 0;
}

} // namespace refagent
