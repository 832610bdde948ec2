#include "agent_harness.h"
#include "file_messages.h"

#include <ace/INET_Addr.h>
#include <ace/SOCK_Connector.h>
#include <ace/Time_Value.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace refagent_test {

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/refagent-testXXXXXX";
    if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchDir::~ScratchDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }

void ScratchDir::MakeDir(const std::string &relative) const
{
    std::string partial = path_;
    size_t at = 0;
    while (at <= relative.size()) {
        const size_t slash = relative.find('/', at);
        const size_t end = slash == std::string::npos ? relative.size() : slash;
        partial += "/" + relative.substr(at, end - at);
        ::mkdir(partial.c_str(), 0755);
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
}

void ScratchDir::Write(const std::string &relative, const std::string &content) const
{
    const size_t slash = relative.find_last_of('/');
    if (slash != std::string::npos)
        MakeDir(relative.substr(0, slash));
    std::ofstream(path_ + "/" + relative, std::ios::binary) << content;
}

RunningAgent::RunningAgent(const std::string &root, size_t maxConnections, bool readOnly)
    : RunningAgent(root, [&](refagent::AgentConfig &config) {
          config.maxConnections = maxConnections;
          config.readOnly = readOnly;
      })
{
}

RunningAgent::RunningAgent(const std::string &root, const std::function<void(refagent::AgentConfig &)> &adjust)
{
    std::string error;
    if (!config_.drives.Add('C', root, error))
        throw std::runtime_error(error);
    config_.user = u"alice";
    config_.password = u"s3cret";
    config_.profile = u"C:\\Users\\alice";
    config_.computerName = "TESTPC";
    adjust(config_);
    server_ = std::make_unique<refagent::AgentServer>(config_);
    if (!server_->Open(error))
        throw std::runtime_error(error);
    thread_ = std::thread([this] { server_->Run(); });
}

RunningAgent::~RunningAgent()
{
    server_->Stop();
    thread_.join();
}

RawClient::RawClient(uint16_t port)
{
    ACE_SOCK_Connector connector;
    ACE_INET_Addr address(port, "127.0.0.1");
    ACE_Time_Value timeout(5);
    connected_ = connector.connect(stream_, address, &timeout) == 0;
}

RawClient::~RawClient() { stream_.close(); }

bool RawClient::Send(const Bytes &bytes)
{
    ACE_Time_Value timeout(5);
    return stream_.send_n(bytes.data(), bytes.size(), &timeout) == static_cast<ssize_t>(bytes.size());
}

Bytes RawClient::Read(size_t n, int timeoutMs)
{
    Bytes out(n);
    size_t got = 0;
    ACE_Time_Value timeout(timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    if (n > 0)
        stream_.recv_n(out.data(), n, &timeout, &got);
    out.resize(got);
    return out;
}

ReplyMessage RawClient::ReadReply(int timeoutMs)
{
    ReplyMessage m;
    const Bytes h = Read(12, timeoutMs);
    if (h.size() != 12)
        return m;
    m.byteOrder = static_cast<uint16_t>(h[0] | h[1] << 8);
    m.kind = static_cast<uint16_t>(h[2] | h[3] << 8);
    m.opcode = U32(h, 4);
    m.length = U32(h, 8);
    m.payload = Read(m.length, timeoutMs);
    m.ok = m.payload.size() == m.length;
    return m;
}

bool RawClient::ClosedByPeer(int timeoutMs)
{
    char c;
    ACE_Time_Value timeout(timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    for (;;) {
        const ssize_t r = stream_.recv(&c, 1, &timeout);
        if (r == 0)
            return true;
        if (r < 0)
            return errno == ECONNRESET;
    }
}

bool RawClient::Silent(int ms)
{
    char c;
    ACE_Time_Value timeout(ms / 1000, (ms % 1000) * 1000);
    return stream_.recv(&c, 1, &timeout) < 0 && (errno == ETIME || errno == EWOULDBLOCK || errno == EAGAIN);
}

bool RawClient::LogOn(const char16_t *user, const char16_t *password)
{
    if (!Send(fake::LogonRequest(user, password, u"000000000000000000000000", u"TESTHOST", true)))
        return false;
    const ReplyMessage r = ReadReply();
    return r.ok && r.payload.size() >= 4 && U32(r.payload, 0) == 0;
}

uint32_t U32(const Bytes &b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

bool PayloadReader::u32(uint32_t &v)
{
    at_ = (at_ + 3) & ~size_t(3);
    if (at_ + 4 > bytes_.size())
        return false;
    v = U32(bytes_, at_);
    at_ += 4;
    return true;
}

bool PayloadReader::wstr(std::u16string &s)
{
    uint32_t n = 0;
    if (!u32(n) || n % 2 != 0 || at_ + n > bytes_.size())
        return false;
    s.clear();
    for (uint32_t i = 0; i < n; i += 2)
        s += static_cast<char16_t>(bytes_[at_ + i] | bytes_[at_ + i + 1] << 8);
    at_ += n;
    return true;
}

} // namespace refagent_test
