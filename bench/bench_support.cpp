#include "bench_support.h"

#include "ads/AmsHeader.h"
#include "ads/ConnectInfo.h"
#include "ads/TlsChannel.h"
#include "ads/TunnelFraming.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {
using plc::ads::AmsTcpHeader;
using plc::ads::AoEHeader;

void NoDelay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

constexpr size_t kTarget = AmsTcpHeader::SIZE;          // target NetId and port
constexpr size_t kSource = AmsTcpHeader::SIZE + 8;      // source NetId and port
constexpr size_t kInvokeId = AmsTcpHeader::SIZE + 28;
}

CannedServer::CannedServer(bool secure_) : secure(secure_)
{
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("no listening socket");
    }
    port = ntohs(addr.sin_port);

    reply.assign(kReplyBytes, 0);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(kReplyBytes - AmsTcpHeader::SIZE);
    tcp.Encode(reply.data());
    AoEHeader ams;
    ams.targetNetId = AmsNetId{127, 0, 0, 1, 1, 1};
    ams.sourceNetId = AmsNetId{10, 60, 0, 1, 1, 1};
    ams.sourcePort = 851;
    ams.cmdId = 2; // Read
    ams.stateFlags = AoEHeader::AMS_RESPONSE;
    ams.length = 12;
    ams.Encode(reply.data() + AmsTcpHeader::SIZE);
    reply[AmsTcpHeader::SIZE + AoEHeader::SIZE + 4] = 4; // read length; result and data stay 0
    thread = std::thread(&CannedServer::Serve, this);
}

CannedServer::~CannedServer()
{
    stopping = true;
    ::shutdown(listener, SHUT_RDWR);
    const int peer = peerFd.load();
    if (peer >= 0) {
        ::shutdown(peer, SHUT_RDWR);
    }
    thread.join();
    ::close(listener);
}

std::string CannedServer::HostString() const
{
    return "127.0.0.1:" + std::to_string(port);
}

void CannedServer::Serve()
{
    while (!stopping) {
        const int peer = ::accept(listener, nullptr, nullptr);
        if (peer < 0) {
            if (stopping) {
                return;
            }
            continue;
        }
        NoDelay(peer);
        peerFd = peer;
        if (secure) {
            AnswerSecure(peer);
        } else {
            Answer(peer);
        }
        peerFd = -1;
        ::close(peer);
    }
}

bool CannedServer::AnswerFrames(std::vector<uint8_t>& in, size_t& filled, std::vector<uint8_t>& out) const
{
    size_t at = 0;
    out.clear();
    while (filled - at >= AmsTcpHeader::SIZE) {
        const size_t frame = AmsTcpHeader::SIZE + AmsTcpHeader::Decode(in.data() + at).length;
        if (frame > in.size()) {
            return false;
        }
        if (filled - at < frame) {
            break;
        }
        const size_t o = out.size();
        out.insert(out.end(), reply.begin(), reply.end());
        std::memcpy(out.data() + o + kTarget, in.data() + at + kSource, 8);
        std::memcpy(out.data() + o + kInvokeId, in.data() + at + kInvokeId, 4);
        at += frame;
    }
    std::memmove(in.data(), in.data() + at, filled - at);
    filled -= at;
    return true;
}

void CannedServer::Answer(int peer)
{
    std::vector<uint8_t> in(1 << 16);
    std::vector<uint8_t> out;
    size_t filled = 0;
    for (;;) {
        const ssize_t got = ::recv(peer, in.data() + filled, in.size() - filled, 0);
        if (got <= 0) {
            return;
        }
        filled += static_cast<size_t>(got);
        if (!AnswerFrames(in, filled, out) || (!out.empty() && !WriteFully(peer, out.data(), out.size()))) {
            return;
        }
    }
}

namespace {
const plc::ads::PskKeyBytes& BenchKey()
{
    static const plc::ads::PskKeyBytes key = plc::ads::PskKey(CannedServer::PSK_SECRET, CannedServer::PSK_SECRET);
    return key;
}

unsigned int ServerPsk(SSL*, const char*, unsigned char* psk, unsigned int maxPsk)
{
    if (maxPsk < BenchKey().size()) {
        return 0;
    }
    std::memcpy(psk, BenchKey().data(), BenchKey().size());
    return static_cast<unsigned int>(BenchKey().size());
}
} // namespace

void CannedServer::AnswerSecure(int peer)
{
    using namespace plc::ads;
    try {
        SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
        UsePskSuites(ctx.get());
        SSL_CTX_set_psk_server_callback(ctx.get(), ServerPsk);
        TlsChannel channel(peer, SslPtr(SSL_new(ctx.get())), TlsChannel::Role::Server);
        std::string reason;
        if (channel.Handshake(std::chrono::steady_clock::now() + std::chrono::seconds(5), reason) !=
            TlsChannel::HandshakeEnd::Done) {
            return;
        }
        uint8_t block[ConnectInfo::MAX_SIZE];
        size_t have = 0;
        for (size_t wanted = 2; have < wanted;) {
            have += channel.Read(block + have, wanted - have, nullptr);
            if (have == 2 && (wanted = ConnectInfo::Announced(block, have)) == 0) {
                return;
            }
        }
        ConnectInfo answer;
        answer.flags = ConnectInfo::RESPONSE | ConnectInfo::AMS_ALLOWED;
        answer.netId = AmsNetId{10, 60, 0, 1, 1, 1};
        const std::vector<uint8_t> answerBytes = answer.Encode();
        channel.Write(answerBytes.data(), answerBytes.size(), nullptr);

        TunnelDecoder decoder;
        TunnelEncoder encoder;
        std::vector<uint8_t> plain(1 << 14);
        std::vector<uint8_t> in(1 << 16);
        std::vector<uint8_t> out;
        std::vector<uint8_t> tunnel;
        size_t filled = 0;
        for (;;) {
            const size_t got = channel.Read(plain.data(), plain.size(), nullptr);
            for (size_t at = 0; at < got || filled;) {
                size_t used = 0;
                filled += decoder.Decode(plain.data() + at, got - at, used, in.data() + filled, in.size() - filled);
                at += used;
                if (!AnswerFrames(in, filled, out)) {
                    return;
                }
                if (!out.empty()) {
                    tunnel.clear();
                    encoder.Encode(out.data(), out.size(), tunnel);
                    if (channel.Write(tunnel.data(), tunnel.size(), nullptr) != tunnel.size()) {
                        return;
                    }
                }
                if (used == 0) {
                    break;
                }
            }
        }
    } catch (const std::exception&) {
    }
}

std::vector<uint8_t> RawRequest()
{
    std::vector<uint8_t> request(kRequestBytes, 0);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(kRequestBytes - AmsTcpHeader::SIZE);
    tcp.Encode(request.data());
    return request;
}

int ConnectLoopback(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    NoDelay(fd);
    return fd;
}

bool ReadFully(int fd, uint8_t* p, size_t n)
{
    while (n) {
        const ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) {
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteFully(int fd, const uint8_t* p, size_t n)
{
    while (n) {
        const ssize_t put = ::send(fd, p, n, MSG_NOSIGNAL);
        if (put <= 0) {
            return false;
        }
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

size_t ResidentBytes()
{
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) {
        return 0;
    }
    unsigned long total = 0;
    unsigned long resident = 0;
    const int got = std::fscanf(f, "%lu %lu", &total, &resident);
    std::fclose(f);
    return got == 2 ? resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long ProcessContextSwitches()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

} // namespace bench
