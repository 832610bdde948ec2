#include "file_server.h"

#include "file_messages.h"

#include <algorithm>
#include <atomic>

namespace fake {

namespace {

struct ServerState {
    std::shared_ptr<const Bytes> content;
    FileServerOptions options;
    std::atomic<int> replies{0};
    std::atomic<int> reads{0};
    std::atomic<int> moves{0};

    // True when this reply is the one to drop.
    bool Drop() { return options.dropAtReply > 0 && ++replies == options.dropAtReply; }

    Action ReadReply(uint32_t opcode, uint64_t offset, uint32_t toRead)
    {
        const int number = ++reads;
        const Bytes &data = *content;
        if (number == options.failRead)
            return Send(CountReply(opcode, options.failReadStatus, 0));
        const size_t start = static_cast<size_t>(std::min<uint64_t>(offset, data.size()));
        const size_t count = std::min<size_t>(toRead, data.size() - start);
        // A cut read promises all its bytes and sends half of them.
        const size_t sent = number == options.cutRead ? count / 2 : count;
        Action action = Send(CountReply(opcode, 0, static_cast<uint32_t>(count),
                                        Bytes(data.begin() + static_cast<long>(start),
                                              data.begin() + static_cast<long>(start + sent))));
        if (number == options.cutRead)
            action.ThenClose();
        return action;
    }
};

} // namespace

void ServeFile(FakeAgent &agent, std::shared_ptr<const Bytes> content, FileServerOptions options)
{
    auto state = std::make_shared<ServerState>();
    state->content = std::move(content);
    state->options = options;

    if (options.dropAtReply > 0)
        agent.On(2, [state](const Request &, Session &) {
            return state->Drop() ? CloseNow() : Send(StatusReply(2, 0));
        });
    agent.On(8, [state](const Request &, Session &session) {
        if (state->Drop())
            return CloseNow();
        session.values["position"] = 0;
        return Send(StatusReply(8, state->options.openStatus));
    });
    agent.On(10, [state](const Request &request, Session &session) {
        if (state->Drop())
            return CloseNow();
        const long position = session.values["position"];
        const uint32_t toRead = ReadOf(request).toRead;
        Action action = state->ReadReply(10, static_cast<uint64_t>(position), toRead);
        const long size = static_cast<long>(state->content->size());
        session.values["position"] = std::min(size, position + static_cast<long>(toRead));
        return action;
    });
    agent.On(20, [state](const Request &request, Session &) {
        if (state->Drop())
            return CloseNow();
        const agent::protocol::ReadFileAtRequest read = ReadAtOf(request);
        return state->ReadReply(20, read.offset, read.toRead);
    });
    agent.On(9, [state](const Request &request, Session &session) {
        if (state->Drop())
            return CloseNow();
        if (++state->moves == state->options.failMove)
            return Send(StatusReply(9, state->options.failMoveStatus));
        const agent::protocol::SetFilePointerRequest move = FilePointerOf(request);
        const int64_t distance = move.distance;
        const uint32_t method = move.method;
        const int64_t base = method == 0   ? 0
                             : method == 1 ? session.values["position"]
                                           : static_cast<int64_t>(state->content->size());
        const uint64_t position = static_cast<uint64_t>(base + distance);
        session.values["position"] = static_cast<long>(position);
        return Send(PositionReply(position));
    });
    agent.On(12, [state](const Request &, Session &) {
        if (state->Drop())
            return CloseNow();
        return Send(StatusReply(12, state->options.closeStatus));
    });
}

Bytes PatternBytes(size_t n)
{
    Bytes out(n);
    uint32_t x = 0x12345678u;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

} // namespace fake
