// The secure transport of a connection: TCP, a TLS 1.2 session authenticated by a pre-shared
// key, a shared CA or pinned self-signed certificates, the connect info, and AMS frames in the
// tunnel's form. The PLC is always verified; nothing falls back to plain ADS.
#pragma once

#include "AdsDef.h"
#include "ByteStream.h"
#include "SecureSettings.h"
#include "TlsChannel.h"
#include "TunnelFraming.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class SecureStream : public ByteStream {
public:
    struct Peer {
        std::string endpoint;    // the host text as configured, a port included
        std::string host;        // without a port: the name the PLC's certificate must carry
        AmsNetId target{0u};     // the route's NetId
        AmsNetId localNetId{0u}; // ours; unset takes the connection's local address
    };
    // Each phase (TCP connect, then handshake with connect info) is bounded by `timeout`.
    // Throws SecureConnectError naming what to check, or the socket's errors for the TCP connect.
    // Some PLCs refuse connections in quick succession: within HOLD_OFF of a failed set-up to
    // the same PLC with the same settings (by any device) the failure is repeated without a try.
    static std::unique_ptr<SecureStream> Open(const addrinfo* candidates, std::chrono::milliseconds timeout,
                                              const plc::ads::SecureSettings& settings, const Peer& peer);
    static constexpr std::chrono::milliseconds HOLD_OFF{1000};

    SecureStream(const addrinfo* candidates, std::chrono::milliseconds timeout,
                 const plc::ads::SecureSettings& settings, const Peer& peer);
    ~SecureStream() override;

    size_t read(uint8_t* buffer, size_t maxBytes, timeval* timeout) override;
    size_t write(const uint8_t* data, size_t size, timeval* timeout) override;
    using ByteStream::write;
    void Shutdown() override;
    bool IsConnectedTo(const addrinfo* candidates, const std::string& sharingKey) const override;
    uint32_t LocalIp() const override { return socket.Connect(); }
    std::string PeerText() const override { return socket.PeerText(); }

    // The NetId the PLC announced in its connect info.
    const AmsNetId& PlcNetId() const { return plcNetId; }

private:
    void Handshake(std::chrono::steady_clock::time_point deadline, const plc::ads::SecureSettings& settings);
    void VerifyPlc(const plc::ads::SecureSettings& settings);
    void ExchangeConnectInfo(std::chrono::steady_clock::time_point deadline,
                             const plc::ads::SecureSettings& settings);

    TcpSocket socket;
    const Peer peer;
    const std::string sharingKey;
    plc::ads::PskCredentials psk;
    plc::ads::SslCtxPtr context;
    std::unique_ptr<plc::ads::TlsChannel> channel;
    AmsNetId plcNetId{0u};
    // Writer only.
    plc::ads::TunnelEncoder encoder;
    std::vector<uint8_t> sendBuffer;
    // Receive thread only: decrypted bytes not yet handed out as frames.
    plc::ads::TunnelDecoder decoder;
    static constexpr size_t PLAIN_SIZE = 16 * 1024;
    std::unique_ptr<uint8_t[]> plain;
    size_t plainBegin = 0;
    size_t plainEnd = 0;
};
