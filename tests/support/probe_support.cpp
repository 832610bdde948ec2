#include "probe_support.h"

#include <ace/Time_Value.h>

#include <chrono>

namespace fake {

UdpPeer::UdpPeer(const char *ip, unsigned short port)
{
    const ACE_INET_Addr local(port, ip);
    ok_ = socket_.open(local, PF_INET, 0, 0) == 0;
}

UdpPeer::~UdpPeer()
{
    socket_.close();
}

unsigned short UdpPeer::port() const
{
    ACE_INET_Addr local;
    socket_.get_local_addr(local);
    return local.get_port_number();
}

std::optional<Datagram> UdpPeer::Receive(int ms)
{
    char buffer[2048];
    ACE_INET_Addr from;
    const ACE_Time_Value wait(ms / 1000, (ms % 1000) * 1000);
    const ssize_t n = socket_.recv(buffer, sizeof buffer, from, 0, &wait);
    if (n < 0)
        return std::nullopt;
    return Datagram{std::string(buffer, static_cast<size_t>(n)), from};
}

std::vector<Datagram> UdpPeer::Drain(int ms)
{
    std::vector<Datagram> all;
    while (auto d = Receive(ms))
        all.push_back(*d);
    return all;
}

bool UdpPeer::SendTo(const std::string &bytes, const ACE_INET_Addr &to)
{
    return socket_.send(bytes.data(), bytes.size(), to, 0) == static_cast<ssize_t>(bytes.size());
}

void AGENTAPI ProbeRecorder::Callback(DWORD value, const WCHAR *name, DWORD address, void *context)
{
    auto *self = static_cast<ProbeRecorder *>(context);
    Reply reply{value, name == nullptr, name != nullptr ? WString(name) : WString(), address, context};
    {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->replies_.push_back(reply);
    }
    self->changed_.notify_all();
    if (self->onReply)
        self->onReply(reply);
}

bool ProbeRecorder::WaitForCount(size_t count, int ms)
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::milliseconds(ms), [&] { return replies_.size() >= count; });
}

std::vector<ProbeRecorder::Reply> ProbeRecorder::Replies() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return replies_;
}

size_t ProbeRecorder::Count() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return replies_.size();
}

void InstallNoAdapters()
{
    static const agent::platform::TestAdapter none[1] = {};
    agent::platform::SetAdapterListForTesting(none, 0);
}

} // namespace fake
