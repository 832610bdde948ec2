// Everything the reference agent is told on its command line.
#ifndef REFAGENT_AGENT_CONFIG_H
#define REFAGENT_AGENT_CONFIG_H

#include "logon_throttle.h"
#include "path_mapping.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace refagent {

struct AgentConfig {
    DriveMap drives;
    std::u16string user;
    std::u16string password;
    std::string listenAddress = "127.0.0.1";
    uint16_t port = 0;                 // 0: any free port (see portFile)
    std::string portFile;              // the bound port is written here
    size_t maxConnections = 128;       // further logons get ERROR_REQ_NOT_ACCEP
    size_t maxPending = 1024;          // connections not logged on yet; the oldest is dropped beyond
    std::chrono::milliseconds logonTimeout{10000}; // to log on after connecting (or after a logout)
    std::chrono::milliseconds readTimeout{30000};  // longest stall inside a request or a reply
    std::chrono::milliseconds idleTimeout{0};      // between requests once logged on; 0: no limit
    ThrottleSchedule throttle;         // delays before answering failed logons
    uint32_t osVersion = 0x1DB10106;   // GetVersion() layout: 6.1 build 7601
    std::u16string profile;            // shell folders live here; default C:\Users\<user>
    bool readOnly = false;             // refuse every change with ERROR_WRITE_PROTECT
    uint16_t discoveryPort = 0;        // 0: no discovery responder
    bool discoveryAnySource = false;   // by default only loopback probes are answered
    std::string computerName;          // name in discovery replies; default host name
    bool verbose = false;
};

// Parses argv into config. Returns 0 to run, 1 after --help (text in
// message), -1 with the reason in message.
int ParseOptions(int argc, const char *const *argv, AgentConfig &config, std::string &message);

} // namespace refagent

#endif
