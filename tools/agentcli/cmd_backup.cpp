// backup: a remote folder tree into a local folder (or a check of a past
// backup), with progress on a terminal and a summary that accounts for
// every entry: copied, unchanged, skipped by cause, failed by error.
#include "backup_engine.h"
#include "backup_verify.h"
#include "cli_common.h"
#include "commands.h"
#include "progress_line.h"
#include "win32_messages.h"

#include <cstdio>
#include <map>
#include <memory>

namespace agentcli {

namespace {

void PrintSummary(const Args &args, const BackupOptions &options, const BackupReport &report, int verify)
{
    const double rate = report.seconds > 0 ? report.bytes / 1048576.0 / report.seconds : 0;
    if (verify == 0)
        std::printf("backup %s -> %s: %llu files, %llu folders, %s in %.2f s (%.1f MiB/s), %llu unchanged, "
                    "%llu skipped, %llu failed\n",
                    args.positional[0].c_str(), options.localRoot.c_str(),
                    static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.folders),
                    FormatBytes(report.bytes).c_str(), report.seconds, rate,
                    static_cast<unsigned long long>(report.unchanged),
                    static_cast<unsigned long long>(report.skippedTotal),
                    static_cast<unsigned long long>(report.failedTotal));
    else
        std::printf("check of %s against %s (%s): %llu files match, %llu folders, %s in %.2f s (%.1f MiB/s), "
                    "%llu skipped, %llu failed\n",
                    args.positional[0].c_str(), options.localRoot.c_str(),
                    verify == 2 ? "content" : "sizes and last-write times",
                    static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.folders),
                    FormatBytes(report.bytes).c_str(), report.seconds, rate,
                    static_cast<unsigned long long>(report.skippedTotal),
                    static_cast<unsigned long long>(report.failedTotal));
    const auto skipped = report.SkippedBy();
    std::printf("  skipped by cause:");
    for (int i = 0; i < kSkipCauseCount; ++i)
        std::printf("%s %s: %llu", i == 0 ? "" : ",", SkipCauseText(static_cast<SkipCause>(i)),
                    static_cast<unsigned long long>(skipped[i]));
    std::printf("\n  failed: %llu", static_cast<unsigned long long>(report.failedTotal));
    const char *separator = " (";
    for (const auto &[code, count] : report.failedBy) {
        std::printf("%s%llu with error %u", separator, static_cast<unsigned long long>(count), code);
        separator = ", ";
    }
    std::printf("%s\n", report.failedBy.empty() ? "" : ")");
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
    if (!ParseNumber(args.Value("--chunk-size", std::to_string(chunk)), 512, 64ul << 20, chunk))
        return UsageError("--chunk-size wants bytes from 512 to 67108864");
    options.jobs = static_cast<unsigned>(jobs);
    options.chunkSize = chunk;
    options.followLinks = args.Has("--follow-links");
    options.incremental = args.Has("--incremental");
    const int verify = args.Has("--verify=content") ? 2 : args.Has("--verify") ? 1 : 0;
    if (verify != 0 && options.incremental)
        return UsageError("--verify checks a past backup and copies nothing: drop --incremental");
    BackupProgress progress;
    BackupReport report;
    {
        std::unique_ptr<ProgressLine> line;
        if (WantProgress(args))
            line = std::make_unique<ProgressLine>(progress);
        report = verify != 0 ? VerifyBackup(logon, options, verify == 2, &progress)
                             : RunBackup(logon, options, &progress);
    }
    if (report.fatal != 0)
        return Fail((verify != 0 ? "check of " : "backup of ") + args.positional[0], report.fatal);
    for (const BackupFailure &f : report.failures)
        std::fprintf(stderr, "FAILED %s (%s): %s\n", f.remotePath.c_str(), f.where.c_str(),
                     DescribeError(f.error).c_str());
    if (args.Has("--list-skipped"))
        for (const SkippedEntry &s : report.skipped)
            std::printf("SKIPPED %s: %s\n", s.remotePath.c_str(), SkipCauseText(s.cause));
    PrintSummary(args, options, report, verify);
    return report.failedTotal == 0 ? kExitOk : kExitFailed;
}

} // namespace agentcli
