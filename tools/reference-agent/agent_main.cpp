// reference-agent: serves local directories to agent_stub clients.
#include "agent_config.h"
#include "agent_server.h"
#include "discovery_responder.h"

#include <ace/Init_ACE.h>

#include <csignal>
#include <cstdio>
#include <fstream>

namespace {

refagent::AgentServer *g_server = nullptr;

void OnSignal(int)
{
    if (g_server != nullptr)
        g_server->Stop();
}

} // namespace

int main(int argc, char **argv)
{
    refagent::AgentConfig config;
    std::string message;
    const int parsed = refagent::ParseOptions(argc, argv, config, message);
    if (parsed != 0) {
        std::fputs(message.c_str(), parsed > 0 ? stdout : stderr);
        if (parsed < 0)
            std::fputc('\n', stderr);
        return parsed > 0 ? 0 : 2;
    }
    ACE::init();
    // A client that vanishes mid-reply must not end the whole agent.
    std::signal(SIGPIPE, SIG_IGN);
    refagent::AgentServer server(config);
    if (!server.Open(message)) {
        std::fprintf(stderr, "reference-agent: %s\n", message.c_str());
        return 1;
    }
    refagent::DiscoveryResponder discovery;
    if (config.discoveryPort != 0 &&
        !discovery.Start(config.discoveryPort, server.Port(), config.computerName, config.discoveryAnySource, message)) {
        std::fprintf(stderr, "reference-agent: %s\n", message.c_str());
        return 1;
    }
    if (!config.portFile.empty()) {
        const std::string temporary = config.portFile + ".tmp";
        std::ofstream(temporary) << server.Port() << "\n";
        std::rename(temporary.c_str(), config.portFile.c_str()); // readers never see half a number
    }
    std::printf("reference-agent listening on %s:%u", config.listenAddress.c_str(), server.Port());
    for (const refagent::DriveRoot &d : config.drives.Roots())
        std::printf(" %c:=%s", d.letter, d.localRoot.c_str());
    std::printf("\n");
    std::fflush(stdout);

    g_server = &server;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    server.Run();
    g_server = nullptr;
    discovery.Stop();
    ACE::fini();
    return 0;
}
