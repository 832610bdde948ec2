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
         "get [--resume] [--progress|--no-progress] REMOTE-FILE [LOCAL-PATH]\n"
         "Copies a remote file into LOCAL-PATH (or into the current or given folder under its own\n"
         "name). The copy is written under a temporary name and renamed when complete. --resume\n"
         "continues what an interrupted get --resume left, if the remote file has not changed.\n"
         "Progress is shown on a terminal.\n",
         {}, {"--resume", "--progress", "--no-progress"}, true, 1, 2, &RunGet},
        {"put", "copy one local file onto the agent",
         "put [--resume] [--progress|--no-progress] LOCAL-FILE REMOTE-FILE\n"
         "Copies a local file to REMOTE-FILE (or into that remote folder under its own name). The\n"
         "copy is written under a temporary name beside it and renamed only when complete; a file it\n"
         "replaces is kept until then. It gets the local last-write time. --resume continues what an\n"
         "interrupted put --resume left, if the local file has not changed. Progress is shown on a\n"
         "terminal.\n",
         {}, {"--resume", "--progress", "--no-progress"}, true, 2, 2, &RunPut},
        {"backup", "copy a remote folder tree into a local folder",
         "backup [--jobs N] [--chunk-size BYTES] [--follow-links] [--incremental] [--verify[=content]]\n"
         "       [--list-skipped] [--progress|--no-progress] REMOTE-FOLDER LOCAL-FOLDER\n"
         "Copies every file and folder below REMOTE-FOLDER into LOCAL-FOLDER, keeping the structure.\n"
         "Files are copied N at a time (default 4); each is written under a\n"
         "temporary name and renamed when complete, so no half-copied file ever has its final name,\n"
         "and gets the remote file's last-write time.\n"
         "Links: file links are copied as files; directory links and junctions are not descended\n"
         "unless --follow-links is given, and then a folder already copied on this run is a loop.\n"
         "Links leading out of the served folder or to nothing, and names this file system cannot\n"
         "hold, are skipped. --list-skipped prints each skipped path.\n"
         "--incremental keeps local files whose size and last-write time match the listing and\n"
         "resumes partial files of an interrupted run.\n"
         "--verify copies nothing: it checks a past backup in LOCAL-FOLDER against the listing (sizes\n"
         "and last-write times; --verify=content compares every byte with the agent's, read in\n"
         "chunks of --chunk-size, default 1 MiB).\n"
         "The summary counts files and folders copied, bytes, entries skipped by cause and failures\n"
         "by error; every failure is printed. The exit status is 1 if anything failed, 0 when every\n"
         "entry was copied (or found equal) or deliberately skipped.\n",
         {"--jobs", "--chunk-size"},
         {"--progress", "--no-progress", "--follow-links", "--incremental", "--verify", "--verify=content",
          "--list-skipped"},
         true, 2, 2, &RunBackup},
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
         "pst list | pst get [--progress|--no-progress] LOCAL-FOLDER\n"
         "Lists the agent's PST mail stores, or copies each of them into LOCAL-FOLDER (with progress\n"
         "on a terminal).\n",
         {}, {"--progress", "--no-progress"}, true, 1, 2, &RunPst},
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
    std::printf("  --version  the agent_stub library version\n");
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
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("agentcli %d.%d.%d (agent_stub library %d.%d.%d)\n", AGENT_STUB_VERSION_MAJOR,
                    AGENT_STUB_VERSION_MINOR, AGENT_STUB_VERSION_PATCH, AGENT_STUB_VERSION_MAJOR,
                    AGENT_STUB_VERSION_MINOR, AGENT_STUB_VERSION_PATCH);
        return kExitOk;
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
