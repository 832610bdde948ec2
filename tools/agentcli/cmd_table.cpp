// The commands agentcli knows: names, help texts, options and runners.
#include "cli_common.h"
#include "commands.h"

namespace agentcli {

const std::vector<Command> &Commands()
{
    static const std::vector<Command> commands = {
        {"probe", "find agents by UDP discovery",
         "probe --discovery-port N [--wait-ms MS] [--sweeps N]\n"
         "Broadcasts discovery probes on every local IPv4 subnet and lists the agents that answer\n"
         "(address, the agent's value, its name). Exits 10 when none answers.\n",
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
         "get [--resume] [--progress|--no-progress] [--chmod MODE] [--bwlimit RATE] REMOTE-FILE [LOCAL-PATH]\n"
         "Copies a remote file into LOCAL-PATH (or into the current or given folder under its own\n"
         "name). The copy is written under a temporary name and renamed when complete. --resume\n"
         "continues what an interrupted get left, if the remote file has not changed. Ctrl-C\n"
         "(SIGINT, SIGTERM) stops the copy, keeps the partial file for get --resume and exits 20.\n"
         "Progress is shown on a terminal.\n"
         "Files and folders it creates are private (files 0600, folders 0700, whatever the umask:\n"
         "they hold another PC's data); --chmod=MODE widens that as rsync's option does, applied to\n"
         "0600/0700: go+rX gives 0644/0755, g+rX 0640/0750, D755,F644 the same as go+rX. Files can\n"
         "only get their folders' mode without x (no F644 alone, no go+x). Not on Windows.\n",
         {"--chmod", "--bwlimit"}, {"--resume", "--progress", "--no-progress"}, true, 1, 2, &RunGet},
        {"put", "copy one local file onto the agent",
         "put [--resume] [--progress|--no-progress] [--bwlimit RATE] LOCAL-FILE REMOTE-FILE\n"
         "Copies a local file to REMOTE-FILE (or into that remote folder under its own name). The\n"
         "copy is written under a temporary name beside it and renamed only when complete; a file it\n"
         "replaces is kept until then. It gets the local last-write time. --resume continues what an\n"
         "interrupted put left on the agent, if the local file has not changed. Ctrl-C (SIGINT,\n"
         "SIGTERM) stops the copy, keeps the remote partial file for put --resume and exits 20.\n"
         "Progress is shown on a terminal.\n",
         {"--bwlimit"}, {"--resume", "--progress", "--no-progress"}, true, 2, 2, &RunPut},
        {"backup", "copy a remote folder tree into a local folder",
         "backup [-n] [-v|-q] [--jobs N] [--follow-links] [--ignore-times] [--delete] [--chmod MODE]\n"
         "       [--exclude PATTERN] [--include PATTERN] [--exclude-from FILE] [--include-from FILE]\n"
         "       [--verify[=content] [--chunk-size BYTES]] [--list-skipped] [--no-flush]\n"
         "       [--bwlimit RATE] [--progress|--no-progress] REMOTE-FOLDER LOCAL-FOLDER\n"
         "Copies every file and folder below REMOTE-FOLDER into LOCAL-FOLDER, keeping the structure.\n"
         "At most N files are in flight (default 64): many where files wait on a long round trip\n"
         "or on the destination disk's flushes, few where they wait on neither. Each is written\n"
         "under a temporary name (.agent-partial:NAME) and renamed when complete, so no half-copied\n"
         "file ever has its final name, and gets the remote file's last-write time. Each file\n"
         "reaches the disk before its final name does; --no-flush skips that wait where the\n"
         "destination is made durable some other way. Folders inside LOCAL-FOLDER are entered only\n"
         "as real folders: a link planted there is replaced by a folder or refused, never written\n"
         "through.\n"
         "A local file whose size and last-write time match the listing is kept as it is, and a\n"
         "partial file of an interrupted run is continued (--incremental, the default);\n"
         "--ignore-times copies every file again from its first byte.\n"
         "-n, --dry-run lists what would be copied (and deleted) and writes nothing.\n"
         "-v lists every file copied, every skipped entry and every failure; -q prints nothing\n"
         "unless something failed.\n"
         "--exclude/--include PATTERN (repeatable; --exclude-from/--include-from FILE, one a line):\n"
         "tried in order, the first match decides, no match includes. A pattern without / matches\n"
         "a name at any depth, one with / the path from REMOTE-FOLDER (a leading / anchors it);\n"
         "a trailing / matches folders only; * and ? stay within a name, ** crosses folders.\n"
         "An excluded folder is not descended, and excluded entries are never deleted.\n"
         "--delete removes local files and folders below LOCAL-FOLDER that the agent no longer has\n"
         "(only after a complete listing; never anything outside LOCAL-FOLDER; links are removed,\n"
         "not followed). They are counted in the summary and listed under -v.\n"
         "Links: file links are copied as files; directory links and junctions are not descended\n"
         "unless --follow-links is given, and then a folder already copied on this run is a loop.\n"
         "Links leading out of the served folder or to nothing, and names this file system cannot\n"
         "hold, are skipped. --list-skipped (or -v) prints each skipped path.\n"
         "--verify copies nothing: it checks a past backup in LOCAL-FOLDER against the listing (sizes\n"
         "and last-write times; --verify=content compares every byte with the agent's, read in\n"
         "chunks of --chunk-size, default 1 MiB) and names local entries the agent no longer has.\n"
         "LOCAL-FOLDER/.agent-manifest keeps what the local copy cannot: every entry's Windows\n"
         "attributes, creation, last-write and last-access times and size, and every skipped or\n"
         "failed entry with its cause. A complete run replaces it whole (a stopped or dry run\n"
         "leaves the previous one); an agent's file of that name is excluded. --verify also\n"
         "names entries whose attributes or creation time differ from the manifest's, entries\n"
         "it lacks, and entries gone from both the agent and the copy.\n"
         "Every failure is printed as it happens (after 10 of one error only counted; -v prints all).\n"
         "The run stops early, with one message naming the side and the path, when the agent is\n"
         "gone (3 connection failures in a row, exit 12), silent beyond --timeout (exit 30), or the\n"
         "local destination is full, read-only or denied (exit 11). Ctrl-C (SIGINT, SIGTERM) stops\n"
         "the copies, keeps their partial files and exits 20: the same backup run again continues.\n"
         "The summary counts files and folders copied, bytes, entries skipped by cause and failures\n"
         "by error (counts of zero only with -v).\n"
         "Files and folders it creates are private (files 0600, folders 0700, whatever the umask:\n"
         "they hold another PC's data); --chmod=MODE widens that as rsync's option does, applied to\n"
         "0600/0700: go+rX gives 0644/0755, g+rX 0640/0750, D755,F644 the same as go+rX. Files can\n"
         "only get their folders' mode without x (no F644 alone, no go+x). Not on Windows.\n",
         {"--jobs", "--chunk-size", "--exclude", "--include", "--exclude-from", "--include-from", "--chmod",
          "--bwlimit"},
         {"--progress", "--no-progress", "--follow-links", "--incremental", "--ignore-times", "--dry-run",
          "--delete", "--verify", "--verify=content", "--list-skipped", "--no-flush"},
         true, 2, 2, &RunBackup},
        {"restore", "put a backup back onto the agent",
         "restore [-n] [-v|-q] [--jobs N] [--ignore-times] [--overwrite-newer] [--exclude PATTERN]\n"
         "        [--include PATTERN] [--exclude-from FILE] [--include-from FILE] [--list-skipped]\n"
         "        [--bwlimit RATE] [--progress|--no-progress] LOCAL-FOLDER REMOTE-FOLDER\n"
         "Puts a backup made by backup (LOCAL-FOLDER) back into REMOTE-FOLDER on the agent, any folder,\n"
         "created with its parents when missing: folders, files, last-write times and, from the\n"
         "backup's .agent-manifest, Windows attributes and creation times (where the agent sets them;\n"
         "the summary says so under -v). Attributes and times are set after each file's data, and a\n"
         "folder's once its contents are in. Without a manifest (or with a damaged one, exit 23)\n"
         "files and folders get the backup's own times and no attributes; the run says so.\n"
         "Each file goes to a temporary name beside its target and takes the name only when\n"
         "complete; a file it replaces stays until then.\n"
         "A file the agent holds with the same size and last-write time is left as it is (only its\n"
         "attributes are put right), and a partial file of an interrupted restore is continued\n"
         "(--incremental, the default); --ignore-times writes every file again.\n"
         "The agent's files that are newer than the backup's copy are kept and reported as skipped\n"
         "(\"newer on the agent\"); --overwrite-newer replaces them too. Files and folders the agent\n"
         "has and the backup does not are kept: restore never deletes.\n"
         "A file or link on the agent where the backup has a folder (or a folder where it has a\n"
         "file) is in the way: that entry fails (error 80) and the rest goes on.\n"
         "The backup is read without following links: a link inside LOCAL-FOLDER is skipped and its\n"
         "target never read or sent. Names a remote path cannot hold as they are (\\ or :, Windows'\n"
         "reserved characters, a trailing dot or space, device names such as CON or COM1) are\n"
         "skipped, and nothing is written outside REMOTE-FOLDER. A manifest entry naming a path\n"
         "outside the backup is refused on its own (exit 23).\n"
         "-n, --dry-run lists what would be written, created or changed and writes nothing.\n"
         "-v lists every file written, every skipped entry and every failure; -q prints nothing\n"
         "unless something failed. --exclude/--include work as for backup, on paths below\n"
         "LOCAL-FOLDER. --jobs N caps the files in flight (default 64).\n"
         "Every failure is printed as it happens (after 10 of one error only counted; -v prints all).\n"
         "The run stops early when the agent is gone (exit 12) or silent beyond --timeout (exit 30).\n"
         "Ctrl-C (SIGINT, SIGTERM) stops the copies, keeps the agent's partial files and exits 20:\n"
         "the same restore run again continues. The summary counts files written, folders, bytes,\n"
         "unchanged files, entries skipped by cause and failures by error.\n",
         {"--jobs", "--exclude", "--include", "--exclude-from", "--include-from", "--bwlimit"},
         {"--progress", "--no-progress", "--incremental", "--ignore-times", "--overwrite-newer", "--dry-run",
          "--list-skipped"},
         true, 2, 2, &RunRestore},
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
         "pst list | pst get [--progress|--no-progress] [--chmod MODE] LOCAL-FOLDER\n"
         "Lists the agent's PST mail stores, or copies each of them into LOCAL-FOLDER (with progress\n"
         "on a terminal).\n"
         "Files and folders it creates are private (files 0600, folders 0700, whatever the umask:\n"
         "they hold another PC's data); --chmod=MODE widens that as rsync's option does, applied to\n"
         "0600/0700: go+rX gives 0644/0755, g+rX 0640/0750, D755,F644 the same as go+rX. Files can\n"
         "only get their folders' mode without x (no F644 alone, no go+x). Not on Windows.\n",
         {"--chmod"}, {"--progress", "--no-progress"}, true, 1, 2, &RunPst},
    };
    return commands;
}

} // namespace agentcli
