// restore: a backup made by `backup` back onto the agent, with progress on
// a terminal and a summary that accounts for every entry of the backup:
// written, unchanged, skipped by cause, failed by error.
#include "cli_common.h"
#include "commands.h"
#include "local_files.h"
#include "manifest.h"
#include "name_filter.h"
#include "progress_line.h"
#include "restore_engine.h"
#include "win32_messages.h"

#include <cstdio>
#include <memory>

namespace agentcli {

namespace {

void PrintSummary(const Args &args, const RestoreOptions &options, const RestoreReport &report, uint64_t resumed)
{
    const uint64_t moved = report.bytes - std::min<uint64_t>(resumed, report.bytes);
    const double rate = report.seconds > 0 ? moved / 1048576.0 / report.seconds : 0;
    std::printf("restore %s -> %s: %llu files, %llu folders (%llu created), %s in %.2f s (%.1f MiB/s), "
                "%llu unchanged, %llu skipped, %llu failed\n",
                Printable(options.localRoot).c_str(), Printable(Narrow(options.remoteRoot)).c_str(),
                static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.folders),
                static_cast<unsigned long long>(report.foldersCreated), FormatBytes(report.bytes).c_str(),
                report.seconds, rate, static_cast<unsigned long long>(report.unchanged),
                static_cast<unsigned long long>(report.skippedTotal),
                static_cast<unsigned long long>(report.failedTotal));
    const bool all = args.Verbose();
    if (options.dryRun)
        std::printf("  dry run: nothing was written; the counts are what would be restored\n");
    if (all || report.attributesSet != 0)
        std::printf("  attributes put right on %llu unchanged files\n",
                    static_cast<unsigned long long>(report.attributesSet));
    if (report.manifest == ManifestUse::Missing)
        std::printf("  manifest: none in the backup; folders and files got the backup's own times, "
                    "attributes were not restored\n");
    else if (report.manifest == ManifestUse::Damaged)
        std::printf("  manifest: damaged (%s), not used; folders and files got the backup's own times, "
                    "attributes were not restored\n",
                    report.manifestError.c_str());
    else if (report.manifestRefused != 0)
        std::printf("  manifest: %llu entries refused (paths leading outside the backup)\n",
                    static_cast<unsigned long long>(report.manifestRefused));
    if (all && report.manifest == ManifestUse::Used)
        std::printf("  creation times: %s\n",
                    report.creationTimesSet ? "set" : "not set (the agent keeps its own)");
    std::string causes;
    for (int i = 0; i < kRestoreSkipCount; ++i)
        if (all || report.skippedBy[i] != 0)
            causes += std::string(causes.empty() ? "" : ",") + " " + RestoreSkipText(static_cast<RestoreSkip>(i)) +
                      ": " + std::to_string(report.skippedBy[i]);
    if (!causes.empty())
        std::printf("  skipped by cause:%s\n", causes.c_str());
    if (all || !report.failedBy.empty()) {
        std::printf("  failed: %llu", static_cast<unsigned long long>(report.failedTotal));
        const char *separator = " (";
        for (const auto &[code, count] : report.failedBy) {
            std::printf("%s%llu with %s", separator, static_cast<unsigned long long>(count),
                        DescribeError(code).c_str());
            separator = ", ";
        }
        std::printf("%s\n", report.failedBy.empty() ? "" : ")");
    }
}

} // namespace

int RunRestore(const Args &args, AGENT_LOGON logon)
{
    RestoreOptions options;
    options.localRoot = args.positional[0];
    if (!RemotePath(args.positional[1], options.remoteRoot))
        return kExitUsage;
    unsigned long jobs = options.jobs;
    if (!ParseNumber(args.Value("--jobs", std::to_string(jobs)), 1, 64, jobs))
        return UsageError("--jobs wants a number from 1 to 64");
    options.jobs = static_cast<unsigned>(jobs);
    if (args.Has("--incremental") && args.Has("--ignore-times"))
        return UsageError("--incremental and --ignore-times exclude each other");
    options.ignoreTimes = args.Has("--ignore-times");
    options.overwriteNewer = args.Has("--overwrite-newer");
    options.dryRun = args.Has("--dry-run");
    NameFilter filter;
    if (!ReadFilter(args, filter))
        return kExitLocalIo;
    options.filter = &filter;
    options.notice = PrintFailure;
    options.list = PrintListed;
    RunControl control(PrintFailure, args.Verbose(), PrintListed);
    control.SetDryRun(options.dryRun);
    options.control = &control;
    BackupProgress progress;
    const RestoreReport report = WithProgress(args, progress, [&] { return RunRestore(logon, options, &progress); });
    if (report.fatal != 0)
        return report.fatalSide == Side::Local ? FailLocal("backup folder " + options.localRoot, report.fatal)
                                               : Fail("restore into " + args.positional[1], report.fatal);
    if (args.Has("--list-skipped") || args.Verbose())
        for (const auto &[path, cause] : report.skipped)
            std::printf("SKIPPED %s: %s\n", Printable(path).c_str(), RestoreSkipText(cause));
    for (const auto &[code, count] : control.Suppressed())
        std::fprintf(stderr, "agentcli: %zu more failures with %s not listed (--verbose lists all)\n", count,
                     DescribeError(code).c_str());
    if (report.manifest != ManifestUse::Used)
        std::fprintf(stderr, "agentcli: %s/%s: %s: attributes and creation times not restored\n",
                     Printable(options.localRoot).c_str(), kManifestName,
                     report.manifest == ManifestUse::Missing ? "missing" : ("damaged, " + report.manifestError).c_str());
    const bool stopped = control.Stopped();
    const bool manifestTrouble = report.manifest == ManifestUse::Damaged || report.manifestRefused != 0;
    if (!args.Quiet() || stopped || report.failedTotal != 0 || manifestTrouble)
        PrintSummary(args, options, report, progress.bytesResumed);
    if (stopped) {
        std::fprintf(stderr, "agentcli: %s\n", control.StopMessage().c_str());
        std::fprintf(stderr,
                     "agentcli: files not restored yet are left for the next run; the agent keeps partial files: "
                     "run the same restore again to continue%s\n",
                     options.ignoreTimes ? " (without --ignore-times, which starts every file over)" : "");
        return control.StopExitCode();
    }
    if (report.localFailures != 0)
        return kExitLocalIo;
    return report.failedTotal == 0 && !manifestTrouble ? kExitOk : kExitPartial;
}

} // namespace agentcli
