// Runs work(i) for every i below count on up to `jobs` threads (the
// calling one included), each taking the next index when it is free.
#ifndef AGENTCLI_PARALLEL_JOBS_H
#define AGENTCLI_PARALLEL_JOBS_H

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace agentcli {

template <typename Work>
void RunParallel(size_t count, unsigned jobs, Work work)
{
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < count;)
            work(i);
    };
    const size_t threads = std::min<size_t>(std::max(1u, std::min(jobs, 64u)), count);
    std::vector<std::thread> pool;
    for (size_t i = 1; i < threads; ++i)
        pool.emplace_back(worker);
    worker();
    for (std::thread &t : pool)
        t.join();
}

} // namespace agentcli

#endif
