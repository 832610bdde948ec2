#include "remote_files.h"

#include <algorithm>
#include <mutex>

namespace fake {

namespace {

constexpr uint32_t kOpenFile = 8, kMovePointer = 9, kCloseFile = 12, kReadAt = 20, kInformation = 23;

uint32_t U32At(const Bytes &payload, size_t offset)
{
    if (offset + 4 > payload.size())
        return 0;
    return static_cast<uint32_t>(payload[offset]) | static_cast<uint32_t>(payload[offset + 1]) << 8 |
           static_cast<uint32_t>(payload[offset + 2]) << 16 | static_cast<uint32_t>(payload[offset + 3]) << 24;
}

} // namespace

WString OpenedPath(const Request &open)
{
    // Four u32 (flags, disposition, share, access), then the path.
    const uint32_t bytes = U32At(open.payload, 16);
    WString path;
    for (size_t i = 0; i + 1 < bytes && 20 + i + 1 < open.payload.size(); i += 2)
        path.push_back(static_cast<WCHAR>(open.payload[20 + i] | open.payload[20 + i + 1] << 8));
    return path;
}

Bytes Pattern(size_t n, uint8_t seed)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>((i * 7 + i / 4093 + seed * 31) & 0xFF);
    return out;
}

void ServeFiles(FakeAgent &agent, std::shared_ptr<const RemoteFiles> files)
{
    // The open file of a connection: its path, kept as a key into `files`.
    auto opened = std::make_shared<std::map<int, WString>>();
    auto lock = std::make_shared<std::mutex>();
    agent.On(kOpenFile, [files, opened, lock](const Request &r, Session &s) {
        const WString path = OpenedPath(r);
        if (files->find(path) == files->end())
            return Send(StatusReply(kOpenFile, 2));
        std::lock_guard<std::mutex> g(*lock);
        (*opened)[s.id] = path;
        return Send(StatusReply(kOpenFile, 0));
    });
    agent.On(kReadAt, [files, opened, lock](const Request &r, Session &s) {
        WString path;
        {
            std::lock_guard<std::mutex> g(*lock);
            path = (*opened)[s.id];
        }
        const RemoteFile &file = files->at(path);
        if (file.readStatus != 0)
            return Send(Reply(kReadAt, Payload().u32(file.readStatus).u32(0)));
        const uint64_t offset = U32At(r.payload, 4) | static_cast<uint64_t>(U32At(r.payload, 8)) << 32;
        const size_t start = static_cast<size_t>(std::min<uint64_t>(offset, file.content.size()));
        const size_t n = std::min<size_t>(U32At(r.payload, 0), file.content.size() - start);
        Payload p;
        p.u32(0).u32(static_cast<uint32_t>(n));
        Bytes data(file.content.begin() + static_cast<long>(start), file.content.begin() + static_cast<long>(start + n));
        return Send(Concat({Reply(kReadAt, p), data}));
    });
    agent.On(kInformation, [files, opened, lock](const Request &, Session &s) {
        WString path;
        {
            std::lock_guard<std::mutex> g(*lock);
            path = (*opened)[s.id];
        }
        const RemoteFile &file = files->at(path);
        const uint64_t size = file.content.size(), ticks = file.lastWrite;
        Payload p;
        p.u32(0).u32(0x20).filetime(0, 0).filetime(0, 0).filetime(uint32_t(ticks), uint32_t(ticks >> 32));
        p.u32(1).u32(uint32_t(size >> 32)).u32(uint32_t(size)).u32(1).u32(0).u32(1);
        return Send(Reply(kInformation, p));
    });
    agent.On(kMovePointer, [](const Request &r, Session &) {
        // Only moves from the start are made by copies: the distance is the position.
        return Send(Reply(kMovePointer, Payload().u32(0).u32(U32At(r.payload, 0)).u32(U32At(r.payload, 4))));
    });
    agent.On(kCloseFile, [](const Request &, Session &) { return Send(StatusReply(kCloseFile, 0)); });
}

} // namespace fake
