// backup: a remote folder tree into a local folder (or a check of a past
// backup), with progress on a terminal and a summary that accounts for
// every entry: copied, unchanged, skipped by cause, failed by error.
#include "backup_engine.h"
#include "backup_manifest.h"
#include "backup_verify.h"
#include "cli_common.h"
#include "commands.h"
#include "local_files.h"
#include "local_mirror.h"
#include "name_filter.h"
#include "progress_line.h"
#include "win32_messages.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace agentcli {

namespace {

void PrintSummary(const Args &args, const BackupOptions &options, const BackupReport &report, int verify,
                  uint64_t resumed)
{
    // The rate counts bytes transferred, not those partial files already held.
    const uint64_t moved = report.bytes - std::min<uint64_t>(resumed, report.bytes);
    const double rate = report.seconds > 0 ? moved / 1048576.0 / report.seconds : 0;
    const std::string from = Printable(args.positional[0]), to = Printable(options.localRoot);
    if (verify == 0)
        std::printf("backup %s -> %s: %llu files, %llu folders, %s in %.2f s (%.1f MiB/s), %llu unchanged, "
                    "%llu skipped, %llu failed\n",
                    from.c_str(), to.c_str(), static_cast<unsigned long long>(report.files),
                    static_cast<unsigned long long>(report.folders), FormatBytes(report.bytes).c_str(),
                    report.seconds, rate, static_cast<unsigned long long>(report.unchanged),
                    static_cast<unsigned long long>(report.skippedTotal),
                    static_cast<unsigned long long>(report.failedTotal));
    else
        std::printf("check of %s against %s (%s): %llu files match, %llu folders, %s in %.2f s (%.1f MiB/s), "
                    "%llu skipped, %llu failed\n",
                    from.c_str(), to.c_str(), verify == 2 ? "content" : "sizes and last-write times",
                    static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.folders),
                    FormatBytes(report.bytes).c_str(), report.seconds, rate,
                    static_cast<unsigned long long>(report.skippedTotal),
                    static_cast<unsigned long long>(report.failedTotal));
    if (verify == 0 && args.Has("--dry-run"))
        std::printf("  dry run: nothing was written; the counts are what would be copied\n");
    // Zero counts only under --verbose: the short summary says what happened.
    const bool all = args.Verbose();
    const auto skipped = report.SkippedBy();
    std::string causes;
    for (int i = 0; i < kSkipCauseCount; ++i)
        if (all || skipped[i] != 0)
            causes += std::string(causes.empty() ? "" : ",") + " " + SkipCauseText(static_cast<SkipCause>(i)) + ": " +
                      std::to_string(skipped[i]);
    if (!causes.empty())
        std::printf("  skipped by cause:%s\n", causes.c_str());
    const auto &byError = report.failedBy;
    if (all || !byError.empty()) {
        std::printf("  failed: %llu", static_cast<unsigned long long>(report.failedTotal));
        const char *separator = " (";
        for (const auto &[code, count] : byError) {
            std::printf("%s%llu with %s", separator, static_cast<unsigned long long>(count),
                        DescribeError(code).c_str());
            separator = ", ";
        }
        std::printf("%s\n", byError.empty() ? "" : ")");
    }
}

// After a complete listing, the local entries the agent no longer has:
// removed for --delete, mentioned by a check. Returns how many.
size_t HandleExtras(const Args &args, const BackupOptions &options, const std::set<std::string> &listed,
                    bool remove, uint64_t &failed)
{
    // An excluded local entry is protected, as the exclusion leaves out the
    // agent's entry of that name.
    std::vector<std::string> extras;
    for (const std::string &relative : LocalExtras(options.localRoot, listed))
        if (options.filter == nullptr ||
            !options.filter->Excluded(relative, IsLocalFolder(options.localRoot + "/" + relative)))
            extras.push_back(relative);
    for (const std::string &relative : extras) {
        if (!remove) {
            std::printf("EXTRA %s: not on the agent\n", Printable(relative).c_str());
            continue;
        }
        if (args.Has("--dry-run") || args.Verbose())
            std::printf("%s %s\n", args.Has("--dry-run") ? "would delete" : "deleting", Printable(relative).c_str());
        if (args.Has("--dry-run"))
            continue;
        const uint32_t error = RemoveLocalEntry(options.localRoot, relative);
        if (error != 0) {
            ++failed;
            PrintFailure("FAILED local " + options.localRoot + "/" + relative + " (delete): " + DescribeError(error));
        }
    }
    return extras.size();
}

// An exclusion rule for one name at the root, in every spelling that is
// the same local file.
std::string RootNamePattern(const std::string &name)
{
    std::string pattern = "/";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const int lower = std::tolower(byte), upper = std::toupper(byte);
        if (LocalNamesIgnoreCase() && lower != upper)
            pattern += std::string("[") + static_cast<char>(lower) + static_cast<char>(upper) + "]";
        else
            pattern += c;
    }
    return pattern;
}

// A check of the backup's manifest against what the agent lists now.
// Returns how many differences it printed; a backup without a manifest
// (made before there was one) is only mentioned.
uint64_t CheckManifest(const BackupOptions &options, const Manifest &listed)
{
    bool missing = false;
    const ManifestRead read = ReadManifestFile(options.localRoot, &missing);
    if (missing) {
        std::fprintf(stderr, "agentcli: the backup has no manifest: attributes and creation times not checked\n");
        return 0;
    }
    if (!read.ok) {
        PrintFailure("MANIFEST " + options.localRoot + "/" + kManifestName + ": " + read.error);
        return 1;
    }
    uint64_t findings = 0;
    for (const ManifestRefusal &r : read.refused) {
        PrintFailure("MANIFEST line " + std::to_string(r.line) + " refused: " + r.reason);
        ++findings;
    }
    for (const std::string &line : CompareWithManifest(read.manifest, listed, options.localRoot)) {
        std::printf("MANIFEST %s\n", Printable(line).c_str());
        ++findings;
    }
    return findings;
}

} // namespace

int RunBackup(const Args &args, AGENT_LOGON logon)
{
    BackupOptions options;
    if (!RemotePath(args.positional[0], options.remoteRoot))
        return kExitUsage;
    options.localRoot = args.positional[1];
    unsigned long jobs = options.jobs, chunk = options.chunkSize;
    if (!ParseNumber(args.Value("--jobs", std::to_string(jobs)), 1, 64, jobs))
        return UsageError("--jobs wants a number from 1 to 64");
    const int verify = args.Has("--verify=content") ? 2 : args.Has("--verify") ? 1 : 0;
    // The library chooses the size of a copy's reads; only the content
    // check reads in chunks of its own.
    if (args.values.count("--chunk-size") != 0 && verify != 2)
        return UsageError("--chunk-size sets the reads of --verify=content only");
    if (!ParseNumber(args.Value("--chunk-size", std::to_string(chunk)), 512, 64ul << 20, chunk))
        return UsageError("--chunk-size wants bytes from 512 to 67108864");
    options.jobs = static_cast<unsigned>(jobs);
    options.chunkSize = chunk;
    options.followLinks = args.Has("--follow-links");
    // Unchanged files (same size and last-write time) are kept unless
    // --ignore-times; partial files of an interrupted run are continued.
    options.incremental = !args.Has("--ignore-times");
    options.dryRun = args.Has("--dry-run");
    options.flush = !args.Has("--no-flush");
    if (verify != 0 && (args.Has("--incremental") || args.Has("--ignore-times") || args.Has("--delete") ||
                        options.dryRun))
        return UsageError("--verify checks a past backup and copies nothing: drop the copying options");
    if (args.Has("--incremental") && args.Has("--ignore-times"))
        return UsageError("--incremental and --ignore-times exclude each other");
    NameFilter filter;
    // The manifest's own name at the root is never the agent's to fill.
    filter.Add(false, RootNamePattern(kManifestName));
    filter.Add(false, RootNamePattern(std::string(kManifestName) + ".agent-partial"));
    if (!ReadFilter(args, filter))
        return kExitLocalIo;
    options.filter = &filter;
    // The local side of the listing, for --delete and for a check.
    std::set<std::string> listed;
    bool listingWhole = false, singleFile = false;
    const bool wantExtras = args.Has("--delete") || verify != 0;
    // What the agent listed, as the manifest records it: its entries only,
    // gathered as the listing streams by.
    Manifest manifest;
    manifest.remoteRoot = Narrow(options.remoteRoot);
    const bool wantManifest = verify != 0 || !options.dryRun;
    options.onFolder = [&](const FolderEntry &folder) {
        // A single remote file lands beside whatever the folder holds.
        if (folder.remote.empty())
            singleFile = true;
        if (wantManifest)
            AddToManifest(manifest, folder, options.localRoot);
    };
    if (wantManifest)
        options.onFile = [&](const FileEntry &file) { AddToManifest(manifest, file, options.localRoot); };
    if (wantExtras)
        options.onListing = [&](const TreeListing &listing) {
            listingWhole = listing.fatal == 0 && listing.failures.empty();
            listed = ListedPaths(listing, options.remoteRoot, options.localRoot);
        };
    // A destination that takes no file stops the run before the agent is asked.
    if (verify == 0 && !options.dryRun) {
        LocalStamp before;
        options.rootMade = ReadLocalStamp(options.localRoot, before) == 0 && !before.exists;
        uint32_t error = CreateLocalFolder(options.localRoot);
        if (error == 0)
            error = ProbeLocalFolder(options.localRoot, options.flush ? &options.localFlushSeconds : nullptr);
        if (error != 0)
            return FailLocal("destination " + options.localRoot, error);
    }
    RunControl control(PrintFailure, args.Verbose(), PrintListed);
    control.SetDryRun(options.dryRun);
    options.control = &control;
    BackupProgress progress;
    const BackupReport report = WithProgress(args, progress, [&] {
        return verify != 0 ? VerifyBackup(logon, options, verify == 2, &progress) : RunBackup(logon, options, &progress);
    });
    if (report.fatal != 0)
        return Fail((verify != 0 ? "check of " : "backup of ") + args.positional[0], report.fatal);
    if (args.Has("--list-skipped") || args.Verbose())
        for (const SkippedEntry &s : report.skipped)
            std::printf("SKIPPED %s: %s\n", Printable(s.remotePath).c_str(), SkipCauseText(s.cause));
    for (const auto &[code, count] : control.Suppressed())
        std::fprintf(stderr, "agentcli: %zu more failures with %s not listed (--verbose lists all)\n", count,
                     DescribeError(code).c_str());
    const bool stopped = control.Stopped();
    // Removing what the agent no longer has needs a listing without gaps:
    // a folder that could not be listed would look like one to delete.
    size_t extras = 0;
    uint64_t deleteFailures = 0;
    if (wantExtras && !stopped && !singleFile) {
        if (listingWhole)
            extras = HandleExtras(args, options, listed, verify == 0, deleteFailures);
        else if (verify == 0)
            std::fprintf(stderr, "agentcli: --delete left out: the listing was not complete\n");
    }
    // A stopped run leaves the previous manifest: files it did not reach
    // are as that one describes them. A single file is not a tree to keep.
    uint32_t manifestError = 0;
    uint64_t manifestFindings = 0;
    // The manifest learns what failed or was skipped from the names the run
    // kept; past that many it would describe missing files as copied, so
    // the previous one stays.
    const bool namesKept =
        report.failures.size() == report.failedTotal && report.skipped.size() == report.skippedTotal;
    if (verify == 0 && !options.dryRun && !stopped && !singleFile && !namesKept) {
        manifestError = kLocalWriteFault;
        PrintFailure("FAILED local " + options.localRoot + "/" + kManifestName +
                     " (manifest): more failures and skips than can be recorded; the previous manifest is kept");
    } else if (verify == 0 && !options.dryRun && !stopped && !singleFile) {
        SettleManifest(manifest, report);
        manifestError = WriteManifestFile(options.localRoot, manifest);
        if (manifestError != 0)
            PrintFailure("FAILED local " + options.localRoot + "/" + kManifestName + " (manifest): " +
                         DescribeError(manifestError));
    } else if (verify != 0 && !stopped && !singleFile) {
        manifestFindings = CheckManifest(options, manifest);
    }
    if (!args.Quiet() || stopped || report.failedTotal != 0 || deleteFailures != 0)
        PrintSummary(args, options, report, verify, progress.bytesResumed);
    if (extras != 0 && (!args.Quiet() || verify != 0))
        std::printf("  %zu local %s the agent no longer has%s\n", extras, extras == 1 ? "entry" : "entries",
                    verify != 0 ? "" : options.dryRun ? " (would be deleted)" : " (deleted)");
    if (stopped) {
        const uint64_t done = report.files + report.unchanged;
        const uint64_t left = progress.filesTotal - std::min<uint64_t>(progress.filesTotal, done);
        std::fprintf(stderr, "agentcli: %s\n", control.StopMessage().c_str());
        if (verify == 0)
            std::fprintf(stderr,
                         "agentcli: %llu files not copied yet; partial files are kept: run the same backup again "
                         "to continue%s\n",
                         static_cast<unsigned long long>(left),
                         options.incremental ? "" : " (without --ignore-times, which starts every file over)");
        return control.StopExitCode();
    }
    if (deleteFailures != 0 || manifestError != 0)
        return kExitLocalIo;
    return report.failedTotal == 0 && manifestFindings == 0 ? kExitOk : kExitPartial;
}

} // namespace agentcli
