// What decides that a copying run stops early: the agent gone (a few
// connection failures in a row), a silent agent (one time-out), a local
// destination that is full, read-only or denied, or a signal from the
// operator. Every failure passes through here as it happens, so it can be
// printed at once and repeats of one cause collapsed.
#ifndef AGENTCLI_RUN_CONTROL_H
#define AGENTCLI_RUN_CONTROL_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace agentcli {

// Exit statuses, with rsync's meanings where they apply.
enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitLogonRefused = 5,  // the agent refused the user name or password
    kExitUnreachable = 10,  // no connection to the agent could be made
    kExitLocalIo = 11,      // a local file or folder could not be read or written
    kExitStream = 12,       // the connection broke or the agent's reply was not understood
    kExitSignal = 20,       // stopped by SIGINT, SIGTERM or a console close
    kExitPartial = 23,      // some items failed (the agent refused them), the rest was done
    kExitTimeout = 30,      // the agent went silent for longer than --timeout
};

enum class Side { Remote, Local };

// The exit status for a failure with this Win32 or socket code.
int ExitCodeFor(uint32_t code, Side side);
// True for the socket codes of a connection that failed or could not be made.
bool IsConnectionFailure(uint32_t code);

// Installs handlers for SIGINT and SIGTERM (and a console close on Windows)
// that ask running copies to stop; a second signal ends the process.
void InstallInterruptHandlers();
// The signal that asked for a stop, or 0.
int InterruptSignal();
// For tests: as if a signal had arrived (0 clears it).
void SetInterruptSignal(int signal);

struct RunFailure {
    std::string path;   // the remote path, or the local one for a local failure
    uint32_t error = 0;
    std::string where;
    Side side = Side::Remote;
};

class RunControl {
public:
    // Consecutive connection failures that mean the agent is gone.
    static constexpr int kConnectionFailuresToStop = 3;
    // Lines printed per error code before further ones are only counted.
    static constexpr size_t kLinesPerCause = 10;

    // Receives each failure as it happens (null: none printed). `verbose`
    // prints every one instead of collapsing repeats.
    // `list` receives the names of copied files under --verbose or a dry run.
    explicit RunControl(std::function<void(const std::string &)> print = nullptr, bool verbose = false,
                        std::function<void(const std::string &)> list = nullptr);

    // Records a failure; true when the run must stop now. A local failure
    // (disk full, read-only, denied where the copy should land) stops it at
    // once: the folder of `localPath`, when given, is probed to tell a
    // local refusal from the agent's.
    bool Failed(const RunFailure &failure, const std::string &localPath = std::string());
    // A file that came through: the agent is still there. Listed under
    // --verbose (as "would copy" for a dry run).
    void Copied(const std::string &path);
    void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
    bool Stopped() const { return stopped_.load() || InterruptSignal() != 0; }

    // Why the run stopped: the failure that decided it, its exit status and
    // a sentence for the operator. Empty when it did not stop.
    std::string StopMessage() const;
    int StopExitCode() const;
    bool StoppedBySignal() const;
    // Failures not printed because their code had been printed often enough.
    std::map<uint32_t, size_t> Suppressed() const;

private:
    void Stop(const RunFailure &cause, const std::string &why, int exitCode);

    std::function<void(const std::string &)> print_;
    bool verbose_;
    std::function<void(const std::string &)> list_;
    bool dryRun_ = false;
    mutable std::mutex mutex_;
    std::atomic<bool> stopped_{false};
    std::atomic<int> consecutive_{0};
    RunFailure cause_;
    std::string why_;
    int exitCode_ = kExitOk;
    std::map<uint32_t, size_t> printed_, suppressed_;
};

} // namespace agentcli

#endif
