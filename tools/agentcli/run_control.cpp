#include "run_control.h"

#include "local_files.h"
#include "win32_messages.h"

#include <csignal>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace agentcli {

namespace {

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int signal)
{
    // A second signal ends the process at once, as the operator expects.
    if (g_signal.exchange(signal) != 0)
        std::_Exit(128 + signal);
}

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        OnSignal(SIGINT);
        return TRUE;
    }
    return FALSE;
}
#endif

constexpr uint32_t kTimedOut = 10060;

} // namespace

bool IsConnectionFailure(uint32_t code)
{
    switch (code) {
    case 10050: // network down
    case 10051: // network unreachable
    case 10053: // aborted
    case 10054: // reset
    case 10057: // not connected
    case 10060: // timed out
    case 10061: // refused
    case 10064: // host down
    case 10065: // host unreachable
    case 11001: // host unknown
        return true;
    default:
        return false;
    }
}

int ExitCodeFor(uint32_t code, Side side)
{
    if (side == Side::Local)
        return kExitLocalIo;
    switch (code) {
    case 0:
        return kExitOk;
    case kTimedOut:
        return kExitTimeout;
    case 1326: // wrong user name or password
        return kExitLogonRefused;
    case 10050:
    case 10051:
    case 10061:
    case 10064:
    case 10065:
    case 11001:
        return kExitUnreachable;
    case 13:    // a reply the library could not understand
    case 10040: // a reply larger than any the protocol allows
    case 10053:
    case 10054:
    case 10057:
        return kExitStream;
    case 1235: // stopped on request
        return kExitSignal;
    default:
        return kExitPartial;
    }
}

void InstallInterruptHandlers()
{
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
#ifdef _WIN32
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#endif
}

int InterruptSignal() { return g_signal.load(); }
void SetInterruptSignal(int signal) { g_signal = signal; }

RunControl::RunControl(std::function<void(const std::string &)> print, bool verbose,
                       std::function<void(const std::string &)> list)
    : print_(std::move(print)), verbose_(verbose), list_(std::move(list))
{
}

bool RunControl::Failed(const RunFailure &given, const std::string &localPath)
{
    RunFailure failure = given;
    const size_t cut = localPath.find_last_of("/\\");
    const std::string localFolder =
        localPath.empty() ? std::string() : cut == std::string::npos ? std::string(".") : localPath.substr(0, cut == 0 ? 1 : cut);
    // The library reports a refused local create or write with the same
    // codes an agent may send: a folder that takes no new file decides.
    if (failure.side == Side::Remote && !localFolder.empty() &&
        (failure.error == kLocalAccessDenied || failure.error == kLocalWriteProtect ||
         failure.error == kLocalDiskFull || failure.error == kLocalPathNotFound || failure.error == kLocalWriteFault)) {
        const uint32_t local = ProbeLocalFolder(localFolder);
        if (local != 0 || failure.error == kLocalDiskFull) {
            failure.side = Side::Local;
            failure.path = local != 0 ? localFolder : localPath;
            if (local != 0)
                failure.error = local;
        }
    }
    // Once stopped, the copies that were still running fail for the same
    // reason (or were stopped): they are not news.
    if (stopped_.load())
        return true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (print_) {
            if (verbose_ || printed_[failure.error] < kLinesPerCause) {
                ++printed_[failure.error];
                print_("FAILED " + std::string(failure.side == Side::Local ? "local " : "") + failure.path + " (" +
                       failure.where + "): " + DescribeError(failure.error));
            } else {
                ++suppressed_[failure.error];
            }
        }
    }
    if (failure.side == Side::Local &&
        (failure.error == kLocalDiskFull || failure.error == kLocalWriteProtect ||
         failure.error == kLocalAccessDenied || failure.error == kLocalPathNotFound)) {
        Stop(failure, "the local destination takes no more files", kExitLocalIo);
        return true;
    }
    if (failure.error == kTimedOut) {
        Stop(failure, "the agent did not answer within the time-out", kExitTimeout);
        return true;
    }
    if (IsConnectionFailure(failure.error)) {
        if (++consecutive_ >= kConnectionFailuresToStop) {
            Stop(failure, "the agent is gone (" + std::to_string(kConnectionFailuresToStop) +
                              " connection failures in a row)",
                 kExitStream);
            return true;
        }
    } else {
        consecutive_ = 0;
    }
    return false;
}

void RunControl::Copied(const std::string &path)
{
    consecutive_ = 0;
    if (verbose_ || dryRun_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (list_)
            list_((dryRun_ ? "would copy " : "copied ") + path);
    }
}

void RunControl::Stop(const RunFailure &cause, const std::string &why, int exitCode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_.exchange(true))
        return;
    cause_ = cause;
    why_ = why;
    exitCode_ = exitCode;
}

bool RunControl::StoppedBySignal() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return !stopped_.load() && InterruptSignal() != 0;
}

std::string RunControl::StopMessage() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_.load()) {
        if (InterruptSignal() != 0)
            return "interrupted by signal " + std::to_string(InterruptSignal());
        return std::string();
    }
    return "stopped: " + why_ + ": " + (cause_.side == Side::Local ? "local " : "remote ") + cause_.path + ": " +
           DescribeError(cause_.error);
}

int RunControl::StopExitCode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_.load())
        return exitCode_;
    return InterruptSignal() != 0 ? kExitSignal : kExitOk;
}

std::map<uint32_t, size_t> RunControl::Suppressed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return suppressed_;
}

} // namespace agentcli
