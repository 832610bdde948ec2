// Eight threads share one logon and run a mix of calls against the reference
// agent, which is killed and started again on the same port twice in the
// middle. Every successful result is checked against the served tree; after
// each restart a thread may see at most one failed call, and the pool never
// holds more than 50 idle connections.
#include "agent_stub.h"
#include "test_seams.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using fake::W;
using fake::WString;

constexpr int kThreads = 8;
constexpr int kCallsPerPhase = 30;
constexpr int kPhases = 3; // two restarts between them
constexpr int kFiles = 12;

std::string Content(int i)
{
    // Sizes on both sides of the copy's 4096-byte chunk.
    std::string out(static_cast<size_t>(i * 797 + 13), '\0');
    for (size_t k = 0; k < out.size(); ++k)
        out[k] = static_cast<char>('a' + (k * 7 + static_cast<size_t>(i)) % 26);
    return out;
}

WString RemotePath(int i) { return fake::Utf16("C:\\data\\f" + std::to_string(i) + ".txt"); }

// The reference agent as a child process on a fixed port, so that a restart
// is a real one: every connection the library holds dies with it.
class AgentProcess {
public:
    explicit AgentProcess(std::string root) : root_(std::move(root)) {}
    ~AgentProcess() { Kill(); }

    bool Start()
    {
        const std::string portFile = root_ + ".port";
        std::remove(portFile.c_str());
        std::vector<std::string> args = {REFERENCE_AGENT_PATH, "--user", "alice", "--password", "s3cret",
                                         "--port", std::to_string(port_), "--port-file", portFile,
                                         "--max-connections", "512", "--drive", "C=" + root_};
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return false;
        // The port file appears once the listener is bound.
        for (int i = 0; i < 500; ++i) {
            std::ifstream in(portFile);
            unsigned port = 0;
            if (in >> port && port != 0) {
                port_ = static_cast<uint16_t>(port);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void Kill()
    {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    uint16_t port() const { return port_; }

private:
    std::string root_;
    pid_t pid_ = -1;
    uint16_t port_ = 0; // 0 until the first start picked one
};

// Holds the workers between phases so that the agent restarts while no
// call is in flight.
class Gate {
public:
    // Waits for the phase to open; false when the test gives up.
    bool Enter(int phase)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(120), [&] { return open_ >= phase; });
    }
    void Done()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ++done_;
        changed_.notify_all();
    }
    bool WaitAllDone(int count)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(240), [&] { return done_ >= count; });
    }
    void Open(int phase)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        open_ = phase;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int open_ = 0;
    int done_ = 0;
};

struct Worker {
    int id = 0;
    fs::path local;
    std::vector<int> failures = std::vector<int>(kPhases, 0);
    std::vector<std::string> wrong; // results that came back but were not right
};

std::string ReadLocal(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void AGENTAPI CountEntry(const WCHAR *, const WIN32_FIND_DATAW *, void *context)
{
    ++*static_cast<int *>(context);
}

// One call of the mix; false when the call failed. A call that succeeded
// with a wrong result is recorded in `wrong`.
bool RunCall(AGENT_LOGON logon, Worker &w, int n)
{
    const int i = (w.id * 7 + n) % kFiles;
    const std::string expected = Content(i);
    auto wrong = [&](const std::string &what) {
        w.wrong.push_back(what + " (thread " + std::to_string(w.id) + ", file " + std::to_string(i) + ")");
        return true;
    };
    switch (n % 8) {
    case 0: {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!AgentGetFileAttributesExW(logon, RemotePath(i).c_str(), &data))
            return false;
        if (data.nFileSizeLow != expected.size() || data.nFileSizeHigh != 0 || (data.dwFileAttributes & 0x10) != 0)
            wrong("attributes");
        return true;
    }
    case 1: {
        HANDLE file = AgentCreateFileW(logon, RemotePath(i).c_str(), 0x80000000u, 1, 3, 0);
        if (file == nullptr)
            return false;
        std::string got(expected.size() + 16, '\0');
        DWORD read = 0;
        const BOOL ok = AgentReadFile(file, &got[0], static_cast<DWORD>(got.size()), &read);
        AgentCloseHandle(logon, file);
        if (!ok)
            return false;
        got.resize(read);
        if (got != expected)
            wrong("read");
        return true;
    }
    case 2: {
        const fs::path target = w.local / "copy.bin";
        if (!AgentCopyFileFromAgent(logon, RemotePath(i).c_str(), fake::Utf16(target.string()).c_str()))
            return false;
        if (ReadLocal(target) != expected)
            wrong("copy");
        return true;
    }
    case 3: {
        WIN32_FIND_DATAW data;
        HANDLE search = AgentFindFirstFileW(logon, W(u"C:\\data\\*.txt").c_str(), &data);
        if (search == nullptr)
            return false;
        std::set<WString> names;
        do
            names.insert(data.cFileName);
        while (AgentFindNextFileW(search, &data));
        const DWORD end = GetLastError();
        AgentCloseHandle(logon, search);
        if (end != ERROR_NO_MORE_FILES)
            return false;
        if (names.size() != kFiles || names.count(fake::Utf16("f" + std::to_string(i) + ".txt")) != 1)
            wrong("search");
        return true;
    }
    case 4: {
        int entries = 0;
        AgentGetPathList(logon, W(u"C:\\data").c_str(), CountEntry, &entries);
        if (GetLastError() != ERROR_NO_MORE_FILES)
            return false;
        if (entries != kFiles)
            wrong("path list");
        return true;
    }
    case 5: {
        if (!AgentPathFileExistsW(logon, RemotePath(i).c_str()))
            return false;
        SetLastError(0);
        if (AgentPathFileExistsW(logon, W(u"C:\\data\\missing.txt").c_str()) != 0 || GetLastError() != 2)
            wrong("missing file");
        return true;
    }
    case 6: {
        DWORD spc = 0, bps = 0, freeClusters = 0, total = 0;
        if (!AgentGetDiskFreeSpace(logon, W(u"C:\\data").c_str(), &spc, &bps, &freeClusters, &total))
            return false;
        if (bps != 512 || total == 0 || freeClusters > total)
            wrong("disk space");
        return true;
    }
    default: {
        const DWORD version = AgentGetOSVersion(logon);
        if (version == 0 || version == 0xFFFFFFFFu)
            return false;
        if (version != (6u | 1u << 8 | 7601u << 16))
            wrong("OS version");
        return true;
    }
    }
}

TEST(Stress, EightThreadsOneLogonAcrossTwoAgentRestarts)
{
    const fs::path root = fs::temp_directory_path() / ("agent-stress-" + std::to_string(::getpid()));
    fs::create_directories(root / "data");
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(root / "data" / ("f" + std::to_string(i) + ".txt"), std::ios::binary) << Content(i);

    AgentProcess agent(root.string());
    ASSERT_TRUE(agent.Start()) << "reference agent did not start";
    ASSERT_EQ(AgentInit(), 1);
    AGENT_LOGON logon = AgentLogonW(W(u"127.0.0.1").c_str(), agent.port(), W(u"alice").c_str(), W(u"s3cret").c_str());
    ASSERT_NE(logon, nullptr) << GetLastError();
    // A hung agent fails the test instead of hanging it.
    ASSERT_EQ(AgentSetTimeouts(logon, 10000, 30000), 1);

    Gate gate;
    std::atomic<int> mostIdle{0};
    std::atomic<bool> stop{false};
    std::vector<Worker> workers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        workers[t].id = t;
        workers[t].local = root / ("local" + std::to_string(t));
        fs::create_directories(workers[t].local);
        threads.emplace_back([&, t] {
            Worker &w = workers[t];
            for (int phase = 1; phase <= kPhases; ++phase) {
                if (!gate.Enter(phase))
                    return;
                for (int n = 0; n < kCallsPerPhase; ++n)
                    if (!RunCall(logon, w, n + phase))
                        ++w.failures[phase - 1];
                gate.Done();
            }
        });
    }
    std::thread watcher([&] {
        while (!stop) {
            const int idle = agent::IdleConnections(logon);
            if (idle > mostIdle)
                mostIdle = idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // Workers are always released and joined, also when a phase fails.
    bool restarted = true, finished = true;
    for (int phase = 1; phase <= kPhases && restarted && finished; ++phase) {
        if (phase > 1) {
            agent.Kill();
            restarted = agent.Start();
        }
        gate.Open(phase);
        finished = gate.WaitAllDone(phase * kThreads);
    }
    gate.Open(kPhases + 1);
    for (std::thread &t : threads)
        t.join();
    stop = true;
    watcher.join();
    ASSERT_TRUE(restarted) << "reference agent did not come back on port " << agent.port();
    ASSERT_TRUE(finished) << "workers did not finish a phase";

    for (const Worker &w : workers) {
        for (const std::string &what : w.wrong)
            ADD_FAILURE() << "wrong result: " << what;
        EXPECT_EQ(w.failures[0], 0) << "thread " << w.id << " before any restart";
        for (int phase = 1; phase < kPhases; ++phase)
            EXPECT_LE(w.failures[phase], 1) << "thread " << w.id << " after restart " << phase;
    }
    EXPECT_LE(mostIdle.load(), 50);
    EXPECT_GT(mostIdle.load(), 0);
    EXPECT_EQ(AgentLogoff(logon), 1);
    agent.Kill();
    fs::remove_all(root);
}

} // namespace
