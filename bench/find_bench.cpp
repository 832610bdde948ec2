// Enumeration throughput from a fake agent on loopback: a large directory
// search (one record per chunk, one AgentFindNextFileW per entry) and a
// large path list (many entries per chunk, one acknowledgement per chunk).
//
//   find_bench [entries] [entries per path-list chunk]   (default 200000, 100)
#include "agent_test.h"
#include "entries.h"

#include "protocol/fss_util.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

fake::FindEntry Entry(size_t i)
{
    fake::FindEntry e;
    e.sizeLow = static_cast<uint32_t>(i);
    e.name = fake::Utf16("document-" + std::to_string(i) + ".txt");
    return e;
}

void Report(const char *what, size_t entries, size_t exchanges, double seconds)
{
    std::printf("%-28s %12.0f entries/s  (%zu entries, %zu requests, %.3f s)\n", what, entries / seconds, entries,
                exchanges, seconds);
}

void AGENTAPI Count(const WCHAR *, const WIN32_FIND_DATAW *, void *context) { ++*static_cast<size_t *>(context); }

} // namespace

int main(int argc, char **argv)
{
    const size_t entries = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 200000;
    const size_t perChunk = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 100;
    if (entries == 0 || perChunk == 0)
        return 2;
    fake::InstallTestAdapters();
    if (!AgentInit())
        return 1;
    int status = 0;
    {
        fake::FakeAgent agent;
        AGENT_LOGON logon = AgentLogonW(fake::W(u"127.0.0.1").c_str(), agent.port(), fake::W(u"bench").c_str(),
                                        fake::W(u"").c_str());
        if (logon == nullptr) {
            std::fprintf(stderr, "logon failed: %u\n", static_cast<unsigned>(GetLastError()));
            return 1;
        }

        // Search: the whole stream is written at once; the library pulls one chunk per call.
        fake::Bytes search = fake::Header(2, agent::OpFindFirst, 1);
        for (size_t i = 0; i < entries; ++i) {
            const fake::Bytes chunk = fake::Chunk(fake::FindRecord(Entry(i)));
            search.insert(search.end(), chunk.begin(), chunk.end());
        }
        const fake::Bytes end = fake::EndChunk();
        search.insert(search.end(), end.begin(), end.end());
        agent.Queue(agent::OpFindFirst, fake::Send(search));
        std::printf("%zu entries from a fake agent on loopback (search stream %.1f MB)\n", entries,
                    search.size() / 1e6);

        agent.ClearRecords();
        auto start = std::chrono::steady_clock::now();
        WIN32_FIND_DATAW data;
        size_t found = 0;
        HANDLE handle = AgentFindFirstFileW(logon, fake::W(u"C:\\big\\*").c_str(), &data);
        if (handle != nullptr) {
            do
                ++found;
            while (AgentFindNextFileW(handle, &data));
            AgentCloseHandle(logon, handle);
        }
        Report("search (1 entry per chunk)", found, agent.Requests().size(), Seconds(std::chrono::steady_clock::now() - start));
        if (found != entries) {
            std::fprintf(stderr, "search delivered %zu of %zu entries (last error %u)\n", found, entries,
                         static_cast<unsigned>(GetLastError()));
            status = 1;
        }

        // Path list: chunks prepared up front, each sent when the previous one is acknowledged.
        auto chunks = std::make_shared<std::vector<fake::Bytes>>();
        for (size_t first = 0; first < entries; first += perChunk) {
            std::vector<std::pair<fake::WString, fake::FindEntry>> batch;
            for (size_t i = first; i < entries && i < first + perChunk; ++i)
                batch.push_back({fake::Utf16("C:\\big\\document-" + std::to_string(i) + ".txt"), Entry(i)});
            chunks->push_back(fake::Chunk(fake::PathListChunk(batch)));
        }
        auto next = [chunks](fake::Session &s) {
            const long i = s.values["chunk"]++;
            return i < static_cast<long>(chunks->size()) ? (*chunks)[i] : fake::EndChunk();
        };
        agent.On(agent::OpGetPathList, [next](const fake::Request &, fake::Session &s) {
            s.values["chunk"] = 0;
            return fake::Send(fake::Concat({fake::Header(2, agent::OpGetPathList, 0), next(s)}));
        });
        agent.On(agent::OpNextPathList, [next](const fake::Request &, fake::Session &s) { return fake::Send(next(s)); });

        agent.ClearRecords();
        size_t listed = 0;
        start = std::chrono::steady_clock::now();
        // FALSE in every case; the last error tells a complete list.
        const bool complete = !AgentGetPathList(logon, fake::W(u"C:\\big").c_str(), Count, &listed) &&
                              GetLastError() == ERROR_NO_MORE_FILES;
        char label[64];
        std::snprintf(label, sizeof label, "path list (%zu per chunk)", perChunk);
        Report(label, listed, agent.Requests().size(), Seconds(std::chrono::steady_clock::now() - start));
        if (!complete || listed != entries) {
            std::fprintf(stderr, "path list delivered %zu of %zu entries (last error %u)\n", listed, entries,
                         static_cast<unsigned>(GetLastError()));
            status = 1;
        }
        AgentLogoff(logon);
    }
    AgentFini();
    return status;
}
