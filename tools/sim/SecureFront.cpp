// The secure transport of the simulator: its own TLS listener; per client a relay that shakes
// hands, answers the connect info like a PLC and then hands the ADS inside the tunnel to the
// simulator over a socket pair, as if the client had connected to the plain port.
#include "tools/sim/SimServer.h"

#include "ads/ConnectInfo.h"
#include "ads/TlsChannel.h"
#include "ads/TlsCredentials.h"
#include "ads/TunnelFraming.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>

#include <algorithm>
#include <list>

namespace plcsim {
namespace detail {

using plc::ads::ConnectInfo;
using plc::ads::SecureConnectError;
using plc::ads::TlsChannel;

namespace {
// A client gets this long for its handshake and connect info.
constexpr auto kSetUpBound = std::chrono::seconds(10);
constexpr size_t kChunk = 16 * 1024;
// Clients that reconnect for months must not grow the record.
constexpr size_t kMaxClientRecords = 1000;

bool WriteAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

timeval Millis(long ms)
{
    timeval t{};
    t.tv_sec = ms / 1000;
    t.tv_usec = (ms % 1000) * 1000;
    return t;
}

// The client's ClientHello extensions, kept on its session.
int RecordHello(SSL* ssl, int*, void*)
{
    auto* seen = static_cast<std::vector<int>*>(SSL_get_app_data(ssl));
    int* types = nullptr;
    size_t count = 0;
    if (seen && SSL_client_hello_get1_extensions_present(ssl, &types, &count) == 1) {
        seen->assign(types, types + count);
        OPENSSL_free(types);
    }
    return SSL_CLIENT_HELLO_SUCCESS;
}

int AcceptAnyChain(int, X509_STORE_CTX*)
{
    return 1; // a pinned fingerprint or the PLC user decides
}
} // namespace

class SecureFront {
public:
    SecureFront(PlcSimulator::Impl& sim_, const SecureSimOptions& options_, const std::string& bind, uint16_t port)
        : sim(sim_), options(options_), pinned(options_.pinned.begin(), options_.pinned.end())
    {
        context = NewContext();
        in_addr addr{};
        if (::inet_pton(AF_INET, bind.c_str(), &addr) != 1) {
            throw std::runtime_error("invalid listen address '" + bind + "'");
        }
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr = addr;
        sa.sin_port = htons(port);
        socklen_t len = sizeof sa;
        if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listenFd, 64) != 0 || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
            ::pipe2(wakePipe, O_CLOEXEC) != 0) {
            const std::string err = std::strerror(errno);
            if (listenFd >= 0) {
                ::close(listenFd);
            }
            throw std::runtime_error("cannot listen for secure ADS on " + bind + ":" + std::to_string(port) + ": " +
                                     err);
        }
        host = bind == "0.0.0.0" ? "127.0.0.1" : bind;
        boundPort = ntohs(sa.sin_port);
        acceptThread = std::thread(&SecureFront::AcceptLoop, this);
    }

    ~SecureFront()
    {
        const char byte = 1;
        while (::write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
        }
        acceptThread.join();
        std::list<Relay> ending;
        {
            std::lock_guard<std::mutex> lock(mtx);
            for (Relay& relay : relays) {
                ::shutdown(relay.fd, SHUT_RDWR);
            }
            ending.swap(relays);
        }
        for (Relay& relay : ending) {
            relay.thread.join();
        }
        ::close(listenFd);
        ::close(wakePipe[0]);
        ::close(wakePipe[1]);
    }

    std::string HostString() const { return host + ":" + std::to_string(boundPort); }

    std::vector<SecureClient> Clients() const
    {
        std::lock_guard<std::mutex> lock(mtx);
        return clients;
    }

    uint64_t Accepted() const
    {
        std::lock_guard<std::mutex> lock(mtx);
        return accepted;
    }

    std::string OwnFingerprint() const
    {
        return plc::ads::CertificateFingerprint(SSL_CTX_get0_certificate(context.get()));
    }

    std::vector<std::string> Pinned() const
    {
        std::lock_guard<std::mutex> lock(mtx);
        return std::vector<std::string>(pinned.begin(), pinned.end());
    }

private:
    struct Relay {
        int fd;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    plc::ads::SslCtxPtr NewContext()
    {
        using Mode = SecureSimOptions::Mode;
        ERR_clear_error();
        plc::ads::SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
        if (!ctx) {
            throw std::runtime_error("cannot set up TLS");
        }
        SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
        SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
        SSL_CTX_set_client_hello_cb(ctx.get(), RecordHello, nullptr);
        try {
            if (options.mode == Mode::PreSharedKey) {
                plc::ads::UsePskSuites(ctx.get());
                key = plc::ads::PskKey(options.pskIdentity, options.pskPassword);
                SSL_CTX_set_app_data(ctx.get(), this);
                SSL_CTX_set_psk_server_callback(ctx.get(), ServerPsk);
            } else {
                plc::ads::LoadCertificateAndKey(ctx.get(), options.certificateFile, options.keyFile);
                if (options.mode == Mode::SharedCa) {
                    plc::ads::LoadCa(ctx.get(), options.caFile);
                    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
                } else {
                    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAnyChain);
                }
            }
        } catch (const SecureConnectError& e) {
            throw std::runtime_error(e.what());
        }
        return ctx;
    }

    static unsigned int ServerPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxPsk)
    {
        const auto* self = static_cast<const SecureFront*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
        if (!self || !identity || self->options.pskIdentity != identity || maxPsk < self->key.size()) {
            return 0; // unknown identity: the handshake fails
        }
        std::memcpy(psk, self->key.data(), self->key.size());
        return static_cast<unsigned int>(self->key.size());
    }

    void AcceptLoop()
    {
        for (;;) {
            pollfd pfds[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
            if (::poll(pfds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (pfds[1].revents != 0 || (pfds[0].revents & (POLLERR | POLLNVAL)) != 0) {
                return;
            }
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            char text[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
            const std::string peerText = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)) + " (TLS)";
            std::lock_guard<std::mutex> lock(mtx);
            ++accepted;
            // The plain port being down (a restart) takes the secure one down with it.
            if (!sim.IsListeningNow() || relays.size() >= kMaxConnections) {
                ::close(fd);
                continue;
            }
            relays.remove_if([](Relay& relay) {
                if (!relay.done) {
                    return false;
                }
                relay.thread.join();
                return true;
            });
            relays.emplace_back();
            Relay& relay = relays.back();
            relay.fd = fd;
            relay.thread = std::thread(&SecureFront::Serve, this, &relay, peerText);
        }
    }

    void Serve(Relay* relay, std::string peerText)
    {
        const int one = 1;
        ::setsockopt(relay->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        try {
            Run(relay->fd, peerText);
        } catch (const std::exception& e) {
            sim.Log("secure " + peerText + ": " + e.what());
        }
        {
            std::lock_guard<std::mutex> lock(mtx);
            ::close(relay->fd);
            relay->fd = -1;
        }
        relay->done = true;
    }

    void Run(int fd, const std::string& peerText)
    {
        std::vector<int> hello;
        plc::ads::SslPtr session(SSL_new(context.get()));
        if (!session) {
            throw std::runtime_error("no TLS session");
        }
        SSL_set_app_data(session.get(), &hello);
        TlsChannel channel(fd, std::move(session), TlsChannel::Role::Server);
        const auto deadline = Clock::now() + kSetUpBound;
        std::string reason;
        if (channel.Handshake(deadline, reason) != TlsChannel::HandshakeEnd::Done) {
            sim.Log("secure " + peerText + ": handshake failed: " + (reason.empty() ? "timed out" : reason));
            return;
        }
        SSL_set_app_data(channel.Session(), nullptr);
        uint8_t block[ConnectInfo::MAX_SIZE];
        size_t have = 0;
        size_t wanted = 2;
        while (have < wanted) {
            timeval left = Millis(static_cast<long>(
                std::max<long long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                                           .count())));
            have += channel.Read(block + have, wanted - have, &left);
            if (have == 2 && (wanted = ConnectInfo::Announced(block, have)) == 0) {
                throw std::runtime_error("malformed connect info");
            }
        }
        ConnectInfo theirs;
        if (!ConnectInfo::Decode(block, have, theirs)) {
            throw std::runtime_error("malformed connect info");
        }
        plc::ads::X509Ptr certificate(SSL_get1_peer_certificate(channel.Session()));
        ConnectInfo answer;
        answer.flags = ConnectInfo::RESPONSE | ConnectInfo::AMS_ALLOWED | ConnectInfo::SERVER_INFO;
        answer.netId = sim.netId;
        answer.hostName = "ads-plc-sim";
        answer.error = Judge(theirs, certificate.get());
        {
            std::lock_guard<std::mutex> lock(mtx);
            SecureClient client;
            client.flags = theirs.flags;
            client.version = theirs.version;
            client.netId = theirs.netId;
            client.hostName = theirs.hostName;
            client.userName = theirs.userName;
            client.passwordLength = theirs.password.size();
            client.error = answer.error;
            client.helloExtensions = hello;
            if (clients.size() >= kMaxClientRecords) {
                clients.erase(clients.begin());
            }
            clients.push_back(std::move(client));
        }
        const std::vector<uint8_t> reply = answer.Encode();
        timeval left = Millis(kSendTimeoutMs);
        if (channel.Write(reply.data(), reply.size(), &left) != reply.size() || answer.error != ConnectInfo::OK) {
            sim.Log("secure " + peerText + ": connect info refused with error " + std::to_string(answer.error));
            channel.Close();
            return;
        }
        Pump(channel, fd, peerText);
    }

    uint8_t Judge(const ConnectInfo& theirs, X509* certificate)
    {
        using Mode = SecureSimOptions::Mode;
        if (theirs.version != ConnectInfo::VERSION) {
            return ConnectInfo::BAD_VERSION;
        }
        if (options.mode == Mode::SharedCa && !options.routeName.empty() &&
            !(theirs.flags & ConnectInfo::IGNORE_CN) && plc::ads::CommonName(certificate) != options.routeName) {
            return ConnectInfo::CN_MISMATCH;
        }
        if (options.mode != Mode::SelfSigned) {
            return ConnectInfo::OK;
        }
        const std::string fingerprint = plc::ads::CertificateFingerprint(certificate);
        std::lock_guard<std::mutex> lock(mtx);
        if (pinned.count(fingerprint)) {
            return ConnectInfo::OK;
        }
        if (theirs.userName.empty()) {
            return ConnectInfo::UNKNOWN_CERTIFICATE;
        }
        if (options.user.empty() || theirs.userName != options.user || theirs.password != options.password) {
            return ConnectInfo::UNKNOWN_USER;
        }
        pinned.insert(fingerprint);
        return ConnectInfo::OK;
    }

    // Tunnel to simulator on this thread, simulator to tunnel on a second one.
    void Pump(TlsChannel& channel, int fd, const std::string& peerText)
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            throw std::runtime_error("no socket pair");
        }
        const int inner = pair[0];
        sim.Adopt(pair[1], peerText);
        std::thread outgoing([&] {
            plc::ads::TunnelEncoder encoder;
            std::vector<uint8_t> in(kChunk);
            std::vector<uint8_t> out;
            for (;;) {
                const ssize_t n = ::recv(inner, in.data(), in.size(), 0);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                out.clear();
                encoder.Encode(in.data(), static_cast<size_t>(n), out);
                timeval left = Millis(kSendTimeoutMs);
                if (channel.Write(out.data(), out.size(), &left) != out.size()) {
                    break;
                }
            }
            // The simulator closed the connection: so does the tunnel.
            channel.Close();
            ::shutdown(fd, SHUT_RDWR);
        });
        plc::ads::TunnelDecoder decoder;
        std::vector<uint8_t> in(kChunk);
        std::vector<uint8_t> out(kChunk + 64);
        try {
            for (;;) {
                const size_t n = channel.Read(in.data(), in.size(), nullptr);
                size_t at = 0;
                while (at < n) {
                    size_t consumed = 0;
                    const size_t produced = decoder.Decode(in.data() + at, n - at, consumed, out.data(), out.size());
                    at += consumed;
                    if (!WriteAll(inner, out.data(), produced)) {
                        throw std::runtime_error("simulator side closed");
                    }
                }
                // A header waiting to be handed out needs no more input.
                for (size_t produced; (produced = DrainHeader(decoder, out)) != 0;) {
                    if (!WriteAll(inner, out.data(), produced)) {
                        throw std::runtime_error("simulator side closed");
                    }
                }
            }
        } catch (const std::exception&) {
        }
        ::shutdown(inner, SHUT_RDWR);
        outgoing.join();
        ::close(inner);
    }

    static size_t DrainHeader(plc::ads::TunnelDecoder& decoder, std::vector<uint8_t>& out)
    {
        size_t consumed = 0;
        return decoder.Decode(nullptr, 0, consumed, out.data(), out.size());
    }

    PlcSimulator::Impl& sim;
    const SecureSimOptions options;
    plc::ads::SslCtxPtr context;
    plc::ads::PskKeyBytes key{};
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::string host;
    uint16_t boundPort = 0;
    std::thread acceptThread;
    mutable std::mutex mtx;
    uint64_t accepted = 0;
    std::list<Relay> relays;
    std::vector<SecureClient> clients;
    std::set<std::string> pinned;
};

} // namespace detail

uint16_t PlcSimulator::StartSecure(const SecureSimOptions& secure, uint16_t port)
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    std::string bind;
    {
        std::lock_guard<std::mutex> lock(impl->lifeMtx);
        if (!impl->running) {
            throw std::runtime_error("start the simulator before its secure port");
        }
        bind = impl->bindAddress;
    }
    impl->secure.reset();
    impl->secure = std::make_shared<SecureFront>(*impl, secure, bind, port);
    const std::string text = impl->secure->HostString();
    return static_cast<uint16_t>(std::stoul(text.substr(text.rfind(':') + 1)));
}

std::string PlcSimulator::SecureHostString() const
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    return impl->secure ? impl->secure->HostString() : std::string();
}

std::vector<SecureClient> PlcSimulator::SecureClients() const
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    return impl->secure ? impl->secure->Clients() : std::vector<SecureClient>();
}

std::vector<std::string> PlcSimulator::PinnedFingerprints() const
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    return impl->secure ? impl->secure->Pinned() : std::vector<std::string>();
}

uint64_t PlcSimulator::SecureAcceptedCount() const
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    return impl->secure ? impl->secure->Accepted() : 0;
}

std::string PlcSimulator::SecureCertificateFingerprint() const
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    return impl->secure ? impl->secure->OwnFingerprint() : std::string();
}

} // namespace plcsim
