// End-to-end test support: sample trees, tree comparison, and child
// processes (the reference agent, agentcli) with their output.
#ifndef AGENTCLI_TEST_E2E_SUPPORT_H
#define AGENTCLI_TEST_E2E_SUPPORT_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// A tree with nested and empty folders, empty files, files of several MiB
// and non-ASCII names; contents are pseudo-random from `seed`.
void MakeSampleTree(const std::string &root, unsigned seed, size_t bigFileBytes = 5u << 20);
void WriteFile(const std::string &path, const std::string &content);
std::string PseudoRandomBytes(size_t n, unsigned seed);

// Every folder and file below root: relative path -> "<dir>", or "file:" and
// the file's bytes.
std::map<std::string, std::string> Snapshot(const std::string &root);
// An empty string when both trees hold the same folders and the same files
// with the same bytes; else the first difference.
std::string CompareTrees(const std::string &expected, const std::string &actual);
// Relative paths of the partial files (of unfinished copies) under root.
std::vector<std::string> PartialFiles(const std::string &root);
// Relative paths of the files under root whose names end in suffix.
std::vector<std::string> FilesEndingWith(const std::string &root, const std::string &suffix);
// How many regular files below root are not partial files (0 when root is
// missing), and a file's size (0 when it is missing): safe to poll while a
// run writes.
size_t WholeFiles(const std::string &root);
uint64_t SizeOf(const std::string &path);

class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    // Starts argv[0] with stdout and stderr going to the given files.
    bool Start(const std::vector<std::string> &argv, const std::string &outFile, const std::string &errFile);
    void Kill(int signal);
    int Wait(); // exit status, or 128 + signal
    // Wait() for at most `seconds`; -1 (and the child killed) past that.
    int WaitFor(int seconds);

private:
    pid_t pid_ = -1;
};

struct RunResult {
    int status = -1;
    std::string out, err;
};
// Runs a program to its end (killed after timeoutSeconds).
RunResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
              int timeoutSeconds = 120);

// Polls condition until it holds (true) or `seconds` have passed (false).
bool WaitUntil(const std::function<bool()> &condition, int seconds = 30);
// How often `what` occurs in text.
size_t Count(const std::string &text, const std::string &what);

// The prefix that runs a program as nobody, and whether it works here
// (it needs root and setpriv).
extern const std::vector<std::string> kAsNobody;
bool CanRunAsNobody();

// A reference agent serving `root` on loopback as C: for alice / s3cret;
// `prefix` goes before its command line (kAsNobody).
class AgentProcess {
public:
    AgentProcess(const std::string &root, const std::vector<std::string> &extra = {},
                 const std::vector<std::string> &prefix = {});
    ~AgentProcess();
    uint16_t port() const { return port_; }
    void Kill() { child_.Kill(9); child_.Wait(); }
    void Signal(int signal) { child_.Kill(signal); } // SIGSTOP freezes it, SIGCONT thaws it

private:
    TempDir work_;
    Child child_;
    uint16_t port_ = 0;
};

std::string ReadFile(const std::string &path);

// agentcli's command line for `args` (the command first), logged on to the
// agent at port.
std::vector<std::string> CliArgv(uint16_t port, std::vector<std::string> args);
RunResult RunCli(uint16_t port, const std::vector<std::string> &args);

} // namespace e2e

#endif
