#include "file_server.h"

#include <algorithm>
#include <atomic>

namespace fake {

namespace {

uint32_t U32At(const Bytes &payload, size_t at)
{
    if (payload.size() < at + 4)
        return 0;
    return uint32_t(payload[at]) | uint32_t(payload[at + 1]) << 8 | uint32_t(payload[at + 2]) << 16 |
           uint32_t(payload[at + 3]) << 24;
}

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
            return Send(Concat({Header(2, opcode, 8), Payload().u32(options.failReadStatus).u32(0).bytes()}));
        const size_t start = static_cast<size_t>(std::min<uint64_t>(offset, data.size()));
        const size_t count = std::min<size_t>(toRead, data.size() - start);
        Bytes out = Concat({Header(2, opcode, 8), Payload().u32(0).u32(static_cast<uint32_t>(count)).bytes()});
        const size_t sent = number == options.cutRead ? count / 2 : count;
        out.insert(out.end(), data.begin() + static_cast<long>(start), data.begin() + static_cast<long>(start + sent));
        Action action = Send(std::move(out));
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
        Action action = state->ReadReply(10, static_cast<uint64_t>(position), U32At(request.payload, 0));
        const long size = static_cast<long>(state->content->size());
        session.values["position"] = std::min(size, position + static_cast<long>(U32At(request.payload, 0)));
        return action;
    });
    agent.On(20, [state](const Request &request, Session &) {
        if (state->Drop())
            return CloseNow();
        const uint64_t offset = uint64_t(U32At(request.payload, 8)) << 32 | U32At(request.payload, 4);
        return state->ReadReply(20, offset, U32At(request.payload, 0));
    });
    agent.On(9, [state](const Request &request, Session &session) {
        if (state->Drop())
            return CloseNow();
        if (++state->moves == state->options.failMove)
            return Send(StatusReply(9, state->options.failMoveStatus));
        const int64_t distance = static_cast<int64_t>(uint64_t(U32At(request.payload, 4)) << 32 |
                                                      U32At(request.payload, 0));
        const uint32_t method = U32At(request.payload, 8);
        const int64_t base = method == 0   ? 0
                             : method == 1 ? session.values["position"]
                                           : static_cast<int64_t>(state->content->size());
        const uint64_t position = static_cast<uint64_t>(base + distance);
        session.values["position"] = static_cast<long>(position);
        return Send(Reply(9, Payload().u32(0).u32(static_cast<uint32_t>(position)).u32(
                                 static_cast<uint32_t>(position >> 32))));
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
