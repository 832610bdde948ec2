// libFuzzer target: the input is everything one client sends on one
// connection, from its first byte. The connection starts in the logon lobby
// (not logged on) and, once a logon in the input succeeds, continues as a
// session over a small served tree with links inside, out and in a loop.
// The first input byte picks a read-only or a writable agent.
#include "agent_config.h"
#include "logon_lobby.h"
#include "logon_throttle.h"
#include "session.h"

#include <ace/Init_ACE.h>
#include <ace/SOCK_Stream.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_base;
unsigned g_runs = 0;

void BuildTree()
{
    std::system(("rm -rf '" + g_base + "/root' '" + g_base + "/outside'").c_str());
    for (const char *d : {"/root", "/outside", "/root/docs", "/root/docs/sub", "/root/Users", "/root/Users/alice"})
        ::mkdir((g_base + d).c_str(), 0755);
    std::ofstream(g_base + "/root/docs/a.txt") << "hello";
    std::ofstream(g_base + "/root/docs/sub/b.pst") << "!BDN";
    std::ofstream(g_base + "/outside/secret") << "secret";
    const std::pair<const char *, const char *> links[] = {
        {"../outside/secret", "/root/docs/out"}, {"a.txt", "/root/docs/in"}, {"..", "/root/docs/sub/up"},
        {"gone", "/root/docs/dangling"},         {"loop", "/root/loop"}};
    for (const auto &[target, name] : links)
        (void)!::symlink(target, (g_base + name).c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ACE::init();
    std::signal(SIGPIPE, SIG_IGN);
    char pattern[] = "/tmp/fuzz-agent-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        std::abort();
    g_base = pattern;
    BuildTree();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static refagent::AgentConfig config = [] {
        refagent::AgentConfig c;
        std::string error;
        if (!c.drives.Add('C', g_base + "/root", error))
            std::abort();
        c.user = u"alice";
        c.password = u"s3cret";
        c.profile = u"C:\\Users\\alice";
        c.throttle.first = c.throttle.max = std::chrono::milliseconds(0);
        // Replies that outgrow the socket buffer nobody reads give up fast.
        c.logonTimeout = c.readTimeout = std::chrono::milliseconds(100);
        return c;
    }();
    if (size == 0 || size > 65536)
        return 0;
    // Writes change the tree; it is rebuilt now and then so runs stay alike.
    if (++g_runs % 512 == 0)
        BuildTree();
    config.readOnly = (data[0] & 1) != 0;

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        std::abort();
    refagent::UniqueFd client(ends[0]);
    // The whole input is queued before the agent reads, then the client's
    // side is shut: the agent sees one connection's bytes and its end.
    const int buffer = 1 << 20;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    size_t sent = 1;
    while (sent < size) {
        const ssize_t n = ::send(client.get(), data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    ::shutdown(client.get(), SHUT_WR);

    refagent::LogonThrottle throttle(config.throttle);
    refagent::LogonLobby lobby(
        config, throttle,
        refagent::LogonLobby::Hooks{[] { return true; },
                                    [&](refagent::UniqueFd fd, const std::string &peerName) {
                                        ACE_SOCK_Stream stream;
                                        stream.set_handle(fd.Release());
                                        refagent::Session session(config, stream, 0, throttle, peerName);
                                        session.Run();
                                        stream.close();
                                    }});
    const int fl = ::fcntl(ends[1], F_GETFL);
    ::fcntl(ends[1], F_SETFL, fl | O_NONBLOCK);
    lobby.Admit(refagent::UniqueFd(ends[1]), "fuzz");
    while (lobby.Waiting() > 0)
        lobby.Step(-1, 100);
    return 0;
}
