#include "remote_files.h"

#include "file_messages.h"

#include <algorithm>
#include <mutex>

namespace fake {

namespace {

constexpr uint32_t kOpenFile = 8, kMovePointer = 9, kCloseFile = 12, kReadAt = 20, kInformation = 23;
constexpr uint32_t kInvalidHandle = 6;

} // namespace

WString OpenedPath(const Request &open) { return OpenOf(open).path; }

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
    // What a connection has open, or null: a client may send a read or a
    // close behind an open the server refuses, which an agent answers with 6.
    auto openOn = [files, opened, lock](const Session &s) -> const RemoteFile * {
        std::lock_guard<std::mutex> g(*lock);
        const auto it = opened->find(s.id);
        return it == opened->end() ? nullptr : &files->at(it->second);
    };
    agent.On(kReadAt, [openOn](const Request &r, Session &s) {
        const RemoteFile *open = openOn(s);
        if (open == nullptr)
            return Send(CountReply(kReadAt, kInvalidHandle, 0));
        const RemoteFile &file = *open;
        if (file.readStatus != 0)
            return Send(CountReply(kReadAt, file.readStatus, 0));
        const agent::protocol::ReadFileAtRequest read = ReadAtOf(r);
        const size_t start = static_cast<size_t>(std::min<uint64_t>(read.offset, file.content.size()));
        const size_t n = std::min<size_t>(read.toRead, file.content.size() - start);
        Bytes data(file.content.begin() + static_cast<long>(start), file.content.begin() + static_cast<long>(start + n));
        return Send(DataReply(kReadAt, 0, data)).After(file.readDelayMs);
    });
    agent.On(kInformation, [openOn](const Request &, Session &s) {
        const RemoteFile *open = openOn(s);
        if (open == nullptr)
            return Send(StatusReply(kInformation, kInvalidHandle));
        const RemoteFile &file = *open;
        const uint64_t size = file.content.size(), ticks = file.lastWrite;
        Payload p;
        p.u32(0).u32(0x20).filetime(0, 0).filetime(0, 0).filetime(uint32_t(ticks), uint32_t(ticks >> 32));
        p.u32(1).u32(uint32_t(size >> 32)).u32(uint32_t(size)).u32(1).u32(0).u32(1);
        return Send(Reply(kInformation, p));
    });
    agent.On(kMovePointer, [](const Request &r, Session &) {
        // Only moves from the start are made by copies: the distance is the position.
        return Send(PositionReply(static_cast<uint64_t>(FilePointerOf(r).distance)));
    });
    agent.On(kCloseFile, [opened, lock](const Request &, Session &s) {
        std::lock_guard<std::mutex> g(*lock);
        return Send(StatusReply(kCloseFile, opened->erase(s.id) == 1 ? 0 : kInvalidHandle));
    });
}

} // namespace fake
