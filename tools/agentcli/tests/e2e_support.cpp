#include "e2e_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace e2e {

namespace fs = std::filesystem;

TempDir::TempDir()
{
    char pattern[] = "/tmp/agent-e2e-XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string PseudoRandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        const uint32_t v = rng();
        for (size_t k = 0; k < 4 && i + k < n; ++k)
            s[i + k] = static_cast<char>(v >> (8 * k));
    }
    return s;
}

void WriteFile(const std::string &path, const std::string &content)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void MakeSampleTree(const std::string &root, unsigned seed, size_t bigFileBytes)
{
    WriteFile(root + "/readme.txt", "sample tree " + std::to_string(seed) + "\n");
    WriteFile(root + "/empty.dat", "");
    WriteFile(root + "/docs/report 2024.docx", PseudoRandomBytes(70001, seed + 1));
    WriteFile(root + "/docs/notes/a/b/c/deep.txt", "deep\n");
    WriteFile(root + "/docs/notes/a/empty-too", "");
    WriteFile(root + "/media/big.bin", PseudoRandomBytes(bigFileBytes, seed + 2));
    WriteFile(root + "/media/odd-size.bin", PseudoRandomBytes((3u << 20) + 4097, seed + 3));
    WriteFile(root + "/media/exact-chunk.bin", PseudoRandomBytes(1u << 20, seed + 4));
    WriteFile(root + "/Ünïcödé/日本語のファイル.txt", "こんにちは\n");
    WriteFile(root + "/Ünïcödé/emoji 😀.txt", PseudoRandomBytes(12345, seed + 5));
    WriteFile(root + "/Ünïcödé/Ελληνικά/κείμενο.txt", "γεια\n");
    fs::create_directories(root + "/empty folder/also empty");
    for (int i = 0; i < 40; ++i)
        WriteFile(root + "/many/file-" + std::to_string(i) + ".txt", PseudoRandomBytes(static_cast<size_t>(i * 97), seed + 10 + i));
}

std::map<std::string, std::string> Snapshot(const std::string &root)
{
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        // The manifest a backup keeps beside its copy is no part of the copy.
        if (relative == ".agent-manifest")
            continue;
        out[relative] = it->is_directory() ? std::string("<dir>") : "file:" + ReadFile(it->path().string());
    }
    return out;
}

std::string CompareTrees(const std::string &expected, const std::string &actual)
{
    const auto a = Snapshot(expected);
    const auto b = Snapshot(actual);
    for (const auto &[path, content] : a) {
        auto it = b.find(path);
        if (it == b.end())
            return "missing: " + path;
        if (it->second != content)
            return "different: " + path;
    }
    for (const auto &entry : b)
        if (a.count(entry.first) == 0)
            return "extra: " + entry.first;
    return std::string();
}

namespace {
std::vector<std::string> FilesWhoseName(const std::string &root, const std::function<bool(const std::string &)> &test)
{
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (test(it->path().filename().string()))
            out.push_back(fs::relative(it->path(), root).string());
    return out;
}
} // namespace

std::vector<std::string> PartialFiles(const std::string &root)
{
    return FilesWhoseName(root, [](const std::string &name) { return name.rfind(".agent-partial", 0) == 0; });
}

std::vector<std::string> FilesEndingWith(const std::string &root, const std::string &suffix)
{
    return FilesWhoseName(root, [&](const std::string &name) {
        return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

size_t WholeFiles(const std::string &root)
{
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        n += it->path().filename().string().rfind(".agent-partial", 0) != 0 && it->is_regular_file(ec);
    return n;
}

uint64_t SizeOf(const std::string &path)
{
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
}

Child::~Child()
{
    if (pid_ > 0) {
        Kill(SIGKILL);
        Wait();
    }
}

bool Child::Start(const std::vector<std::string> &argv, const std::string &outFile, const std::string &errFile)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return true;
}

void Child::Kill(int signal)
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

namespace {
int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
} // namespace

int Child::WaitFor(int seconds)
{
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, seconds)) {
        Kill(SIGKILL);
        Wait();
        return -1;
    }
    pid_ = -1;
    return ExitStatus(status);
}

int Child::Wait()
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return ExitStatus(status);
}

RunResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutSeconds)
{
    TempDir io;
    RunResult result;
    std::vector<std::string> full;
    if (!env.empty()) {
        full.push_back("/usr/bin/env");
        full.insert(full.end(), env.begin(), env.end());
    }
    full.insert(full.end(), argv.begin(), argv.end());
    Child child;
    if (!child.Start(full, io / "out", io / "err"))
        return result;
    result.status = child.WaitFor(timeoutSeconds);
    if (result.status < 0)
        result.status = 128 + SIGKILL;
    result.out = ReadFile(io / "out");
    result.err = ReadFile(io / "err");
    return result;
}

bool WaitUntil(const std::function<bool()> &condition, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

bool CanRunAsNobody()
{
    std::vector<std::string> argv = kAsNobody;
    argv.push_back("/bin/true");
    return ::geteuid() == 0 && Run(argv, {}, 20).status == 0;
}

std::vector<std::string> CliArgv(uint16_t port, std::vector<std::string> args)
{
    args.insert(args.begin() + (args.empty() ? 0 : 1),
                {"--port=" + std::to_string(port), "--user=alice", "--password=s3cret"});
    args.insert(args.begin(), AGENTCLI_PATH);
    return args;
}

RunResult RunCli(uint16_t port, const std::vector<std::string> &args) { return Run(CliArgv(port, args)); }

AgentProcess::AgentProcess(const std::string &root, const std::vector<std::string> &extra,
                           const std::vector<std::string> &prefix)
{
    // An agent running as another user writes its port file here too.
    if (!prefix.empty())
        fs::permissions(work_.path(), fs::perms::all);
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {REFERENCE_AGENT_PATH, "--user", "alice", "--password", "s3cret", "--listen",
                             "127.0.0.1", "--port", "0", "--port-file", work_ / "port", root});
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!child_.Start(argv, work_ / "agent.out", work_ / "agent.err"))
        throw std::runtime_error("cannot start the reference agent");
    for (int i = 0; i < 500 && port_ == 0; ++i) {
        const std::string text = ReadFile(work_ / "port");
        if (!text.empty())
            port_ = static_cast<uint16_t>(std::atoi(text.c_str()));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port_ == 0)
        throw std::runtime_error("reference agent did not start: " + ReadFile(work_ / "agent.err"));
}

AgentProcess::~AgentProcess()
{
    child_.Kill(SIGTERM);
    child_.Wait();
}

} // namespace e2e
