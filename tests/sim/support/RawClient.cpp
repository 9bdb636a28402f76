#include "RawClient.h"

#include "ads/LittleEndian.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace simtest {

namespace le = plc::ads::le;
using plc::ads::AmsTcpHeader;
using plc::ads::AoEHeader;
using Clock = std::chrono::steady_clock;

AmsAddr PlcAddr(uint16_t port)
{
    return AmsAddr{AmsNetId{127, 0, 0, 1, 1, 1}, port};
}

AmsAddr ClientAddr(uint16_t port)
{
    return AmsAddr{AmsNetId{127, 0, 0, 1, 9, 9}, port};
}

RawClient::RawClient(uint16_t tcpPort)
{
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(tcpPort);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const std::string err = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("connect failed: " + err);
    }
}

RawClient::~RawClient()
{
    ::close(fd);
}

void RawClient::SendBytes(const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        done += static_cast<size_t>(n);
    }
}

uint32_t RawClient::Send(uint16_t cmd, const Bytes& payload, AmsAddr target, AmsAddr source)
{
    AoEHeader h;
    h.targetNetId = target.amsNetId;
    h.targetPort = target.amsPort;
    h.sourceNetId = source.amsNetId;
    h.sourcePort = source.amsPort;
    h.cmdId = cmd;
    h.stateFlags = AoEHeader::AMS_REQUEST;
    h.length = static_cast<uint32_t>(payload.size());
    h.invokeId = nextInvoke++;
    Bytes out(AmsTcpHeader::SIZE + AoEHeader::SIZE);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + payload.size());
    tcp.Encode(out.data());
    h.Encode(out.data() + AmsTcpHeader::SIZE);
    out.insert(out.end(), payload.begin(), payload.end());
    SendBytes(out);
    return h.invokeId;
}

Bytes RawClient::ReceiveRaw(size_t n, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        const ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (NoteEnd(r)) {
            break;
        }
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

std::optional<Packet> RawClient::Receive(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    auto left = [&] {
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    };
    const Bytes head = ReceiveRaw(AmsTcpHeader::SIZE, left());
    if (head.size() != AmsTcpHeader::SIZE) {
        return std::nullopt;
    }
    Packet p;
    p.tcp = AmsTcpHeader::Decode(head.data());
    if (p.tcp.length > 64 * 1024 * 1024) {
        return std::nullopt;
    }
    const Bytes body = ReceiveRaw(p.tcp.length, left());
    if (body.size() != p.tcp.length) {
        return std::nullopt;
    }
    if (body.size() >= AoEHeader::SIZE) {
        p.hasHeader = true;
        p.header = AoEHeader::Decode(body.data());
        p.data.assign(body.begin() + AoEHeader::SIZE, body.end());
    } else {
        p.data = body;
    }
    return p;
}

std::optional<Packet> RawClient::ReceiveReply(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto p = Receive(std::max(left, std::chrono::milliseconds(0)));
        if (!p || !p->hasHeader || p->header.cmdId != ADS_CMD_DEVICE_NOTIFICATION) {
            return p;
        }
        notifications.push_back(std::move(*p));
    }
}

std::optional<Packet> RawClient::Call(uint16_t cmd, const Bytes& payload, AmsAddr target)
{
    Send(cmd, payload, target);
    return ReceiveReply();
}

RawClient::End RawClient::WaitForEnd(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    uint8_t buf[4096];
    for (;;) {
        if (end != End::Open) {
            return end;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd pfd{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            return End::Open;
        }
        if (NoteEnd(::recv(fd, buf, sizeof buf, 0))) {
            return end;
        }
    }
}

bool RawClient::NoteEnd(ssize_t received)
{
    if (received > 0) {
        return false;
    }
    if (received < 0 && errno == EINTR) {
        return false;
    }
    if (end == End::Open) {
        end = received < 0 && errno == ECONNRESET ? End::Reset : End::Closed;
    }
    return true;
}

uint32_t RawClient::Handle(const std::string& name)
{
    auto reply = Call(ADS_CMD_READ_WRITE, ReadWriteReq(ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, Bytes(name.begin(), name.end())));
    if (!reply || ResultOf(*reply) != 0 || reply->data.size() != 12) {
        return 0;
    }
    return le::Read<uint32_t>(reply->data.data() + 8);
}

Bytes U16(uint16_t v)
{
    Bytes b(2);
    le::Write<uint16_t>(b.data(), v);
    return b;
}

Bytes U32(uint32_t v)
{
    Bytes b(4);
    le::Write<uint32_t>(b.data(), v);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes ReadReq(uint32_t group, uint32_t offset, uint32_t length)
{
    return Cat({U32(group), U32(offset), U32(length)});
}

Bytes WriteReq(uint32_t group, uint32_t offset, const Bytes& data)
{
    return Cat({U32(group), U32(offset), U32(static_cast<uint32_t>(data.size())), data});
}

Bytes ReadWriteReq(uint32_t group, uint32_t offset, uint32_t readLength, const Bytes& data)
{
    return Cat({U32(group), U32(offset), U32(readLength), U32(static_cast<uint32_t>(data.size())), data});
}

Bytes AddNotificationReq(uint32_t group, uint32_t offset, uint32_t length, uint32_t mode, uint32_t samplingPeriod100ns,
                         uint32_t maxDelay)
{
    return Cat({U32(group), U32(offset), U32(length), U32(mode), U32(maxDelay), U32(samplingPeriod100ns), Bytes(16, 0)});
}

uint32_t ResultOf(const Packet& p)
{
    return p.data.size() >= 4 ? le::Read<uint32_t>(p.data.data()) : 0xFFFFFFFFu;
}

Bytes ReadDataOf(const Packet& p)
{
    return p.data.size() >= 8 ? Bytes(p.data.begin() + 8, p.data.end()) : Bytes{};
}

std::optional<std::vector<Sample>> ParseSamples(const Bytes& payload)
{
    le::Reader rd(payload.data(), payload.size());
    const uint32_t streamLength = rd.Get<uint32_t>();
    if (!rd.Ok() || streamLength != rd.Remaining()) {
        return std::nullopt;
    }
    std::vector<Sample> out;
    const uint32_t stamps = rd.Get<uint32_t>();
    for (uint32_t s = 0; s < stamps && rd.Ok(); ++s) {
        const uint64_t time = rd.Get<uint64_t>();
        const uint32_t count = rd.Get<uint32_t>();
        for (uint32_t i = 0; i < count && rd.Ok(); ++i) {
            Sample sample;
            sample.time = time;
            sample.handle = rd.Get<uint32_t>();
            const uint32_t size = rd.Get<uint32_t>();
            if (size > rd.Remaining()) {
                return std::nullopt;
            }
            sample.data.resize(size);
            rd.GetBytes(sample.data.data(), size);
            out.push_back(std::move(sample));
        }
    }
    if (!rd.Ok() || rd.Remaining() != 0) {
        return std::nullopt;
    }
    return out;
}

} // namespace simtest
