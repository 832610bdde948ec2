// agentcli: a shell's view of an agent, built on the public exports alone.
#include "cli_common.h"
#include "commands.h"

#include <cstdio>
#include <cstring>

namespace agentcli {

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {"probe", "find agents by UDP discovery",
         "probe --discovery-port N [--wait-ms MS] [--sweeps N]\n"
         "Broadcasts discovery probes on every local IPv4 subnet and lists the agents that answer\n"
         "(address, the agent's value, its name). Exits 1 when none answers.\n",
         {"--discovery-port", "--wait-ms", "--sweeps"}, {}, false, 0, 0, &RunProbe},
        {"ls", "list a remote folder",
         "ls [--all] REMOTE-PATH\n"
         "Lists a remote folder (or the entries matching a * ? pattern): attributes (d r h s a),\n"
         "size, last write time (UTC), name. --all also shows . and ..\n",
         {}, {"--all"}, true, 1, 1, &RunLs},
        {"stat", "show one remote file's attributes",
         "stat REMOTE-PATH\nShows kind, attributes, size and times of a remote file or folder.\n", {}, {}, true, 1, 1,
         &RunStat},
        {"get", "copy one remote file here",
         "get [--resume] REMOTE-FILE [LOCAL-PATH]\n"
         "Copies a remote file into LOCAL-PATH (or into the current or given folder under its own\n"
         "name). The copy is written under a temporary name and renamed when complete. --resume\n"
         "continues what an interrupted get --resume left, if the remote file has not changed.\n",
         {}, {"--resume"}, true, 1, 2, &RunGet},
        {"backup", "copy a remote folder tree into a local folder",
         "backup [--jobs N] [--chunk-size BYTES] [--progress|--no-progress] REMOTE-FOLDER LOCAL-FOLDER\n"
         "Copies every file and folder below REMOTE-FOLDER into LOCAL-FOLDER, keeping the structure.\n"
         "Files are copied N at a time (default 4) in chunks (default 1 MiB); each is written under a\n"
         "temporary name and renamed when complete, so no half-copied file ever has its final name.\n"
         "Progress is shown on a terminal; every file that could not be copied is reported, and the\n"
         "exit status is 1 if any was.\n",
         {"--jobs", "--chunk-size"}, {"--progress", "--no-progress"}, true, 2, 2, &RunBackup},
        {"drives", "list the agent's drives",
         "drives\nLists the agent's logical drives: root, label and the agent's nine values.\n", {}, {}, true, 0, 0,
         &RunDrives},
        {"df", "disk space of a remote volume",
         "df REMOTE-PATH\nShows free and total space of the volume holding REMOTE-PATH.\n", {}, {}, true, 1, 1,
         &RunDf},
        {"os", "the agent's OS version", "os\nShows the agent's OS version value.\n", {}, {}, true, 0, 0, &RunOs},
        {"folders", "shell folder paths",
         "folders [--default] [CSIDL...]\n"
         "Shows the paths of the user's shell folders (all well-known ones, or the CSIDL numbers\n"
         "given). --default asks for default rather than current paths.\n",
         {}, {"--default"}, true, 0, 16, &RunFolders},
        {"bookmarks", "browser bookmark locations",
         "bookmarks [--get LOCAL-FILE]\n"
         "Shows where the Firefox 3 bookmarks and the Internet Explorer favorites are;\n"
         "--get copies the Firefox 3 bookmark file into LOCAL-FILE.\n",
         {"--get"}, {}, true, 0, 0, &RunBookmarks},
        {"pst", "Outlook mail stores",
         "pst list | pst get LOCAL-FOLDER\n"
         "Lists the agent's PST mail stores, or copies each of them into LOCAL-FOLDER.\n",
         {}, {}, true, 1, 2, &RunPst},
    };
    return commands;
}

} // namespace agentcli

namespace {

void PrintOverview()
{
    std::printf("usage: agentcli COMMAND [options] [arguments]   (agentcli COMMAND --help for more)\n\ncommands:\n");
    for (const agentcli::Command &c : agentcli::Commands())
        std::printf("  %-10s %s\n", c.name, c.summary);
    std::printf("\n%s", agentcli::kConnectionHelp);
    std::printf("\nFailures print the Win32 error code and its meaning; the exit status is then 1 (2 for usage errors).\n");
}

} // namespace

int main(int argc, char **argv)
{
    using namespace agentcli;
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        PrintOverview();
        return argc < 2 ? kExitUsage : kExitOk;
    }
    const Command *command = nullptr;
    for (const Command &c : Commands())
        if (c.name == std::string(argv[1]))
            command = &c;
    if (command == nullptr) {
        std::fprintf(stderr, "agentcli: unknown command %s (agentcli --help lists them)\n", argv[1]);
        return kExitUsage;
    }
    Args args;
    std::string error;
    if (!ParseArgs(std::vector<std::string>(argv + 2, argv + argc), *command, args, error)) {
        std::fprintf(stderr, "agentcli %s: %s\nusage: agentcli %s", command->name, error.c_str(), command->usage);
        return kExitUsage;
    }
    if (args.Has("--help")) {
        std::printf("usage: agentcli %s", command->usage);
        if (command->needsLogon)
            std::printf("\n%s", kConnectionHelp);
        return kExitOk;
    }
    if (!AgentInit())
        return Fail("initialising the library", GetLastError());
    int result = kExitFailed;
    if (!command->needsLogon) {
        result = command->run(args, nullptr);
    } else if (AGENT_LOGON logon = LogOn(args, result)) {
        result = command->run(args, logon);
        AgentLogoff(logon);
    }
    AgentFini();
    return result;
}
