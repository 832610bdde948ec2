// agentcli: a shell's view of an agent, built on the public exports alone.
#include "cli_common.h"
#include "commands.h"
#include "local_modes.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

void PrintOverview()
{
    std::printf("usage: agentcli COMMAND [options] [arguments]   (agentcli COMMAND --help for more)\n\ncommands:\n");
    for (const agentcli::Command &c : agentcli::Commands())
        std::printf("  %-10s %s\n", c.name, c.summary);
    std::printf("  --version  the agent_stub library version\n");
    std::printf("\n%s", agentcli::kConnectionHelp);
    std::printf("\nFailures print the Win32 error code and its meaning.\n%s", agentcli::kExitStatusHelp);
}

// The arguments as UTF-8. Windows hands a program's char arguments over in
// the ANSI code page, which cannot hold most names: they are taken from
// the wide command line instead.
std::vector<std::string> Arguments(int argc, char **argv)
{
#ifdef _WIN32
    (void)argc;
    (void)argv;
    std::vector<std::string> out;
    int count = 0;
    LPWSTR *wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr)
        return out;
    for (int i = 0; i < count; ++i) {
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? static_cast<size_t>(n) : 1u, '\0');
        if (n > 0)
            ::WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], n, nullptr, nullptr);
        text.resize(std::strlen(text.c_str()));
        out.push_back(std::move(text));
    }
    ::LocalFree(wide);
    // Names go out as UTF-8; the console shows them as such.
    ::SetConsoleOutputCP(CP_UTF8);
    return out;
#else
    return std::vector<std::string>(argv, argv + argc);
#endif
}

int Run(const std::vector<std::string> &argv)
{
    using namespace agentcli;
    if (argv.size() < 2 || argv[1] == "--help" || argv[1] == "-h" || argv[1] == "help") {
        PrintOverview();
        return argv.size() < 2 ? kExitUsage : kExitOk;
    }
    if (argv[1] == "--version") {
        std::printf("agentcli %d.%d.%d (agent_stub library %d.%d.%d)\n", AGENT_STUB_VERSION_MAJOR,
                    AGENT_STUB_VERSION_MINOR, AGENT_STUB_VERSION_PATCH, AGENT_STUB_VERSION_MAJOR,
                    AGENT_STUB_VERSION_MINOR, AGENT_STUB_VERSION_PATCH);
        return kExitOk;
    }
    const Command *command = nullptr;
    for (const Command &c : Commands())
        if (c.name == argv[1])
            command = &c;
    if (command == nullptr) {
        std::fprintf(stderr, "agentcli: unknown command %s (agentcli --help lists them)\n",
                     Printable(argv[1]).c_str());
        return kExitUsage;
    }
    Args args;
    std::string error;
    if (!ParseArgs(std::vector<std::string>(argv.begin() + 2, argv.end()), *command, args, error)) {
        std::fprintf(stderr, "agentcli %s: %s\nusage: agentcli %s", command->name, error.c_str(), command->usage);
        return kExitUsage;
    }
    if (args.Has("--help")) {
        std::printf("usage: agentcli %s", command->usage);
        if (command->needsLogon)
            std::printf("\n%s", kConnectionHelp);
        std::printf("\n%s", kExitStatusHelp);
        return kExitOk;
    }
    if (args.values.count("--chmod") != 0) {
        unsigned mask = 0;
        std::string why;
        if (!CreationMaskForChmod(args.Value("--chmod"), mask, why))
            return UsageError(why);
        SetCreationMask(mask);
    }
    if (!AgentInit())
        return Fail("initialising the library", GetLastError());
    InstallInterruptHandlers();
    int result = kExitPartial;
    if (!command->needsLogon) {
        result = command->run(args, nullptr);
    } else if (AGENT_LOGON logon = LogOn(args, result)) {
        result = command->run(args, logon);
        AgentLogoff(logon);
    }
    AgentFini();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    // Nothing may end the program with an uncaught exception: every
    // failure is a message and an exit status.
    try {
        // Private before anything is created; --chmod widens it.
        agentcli::SetCreationMask(agentcli::kPrivateCreationMask);
        return Run(Arguments(argc, argv));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "agentcli: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "agentcli: unexpected failure\n");
    }
    return agentcli::kExitLocalIo;
}
