#include "SecureStream.h"

#include "ConnectInfo.h"
#include "Log.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

using namespace plc::ads;
using Clock = std::chrono::steady_clock;

namespace {
using Mode = SecureSettings::Mode;

// A wait of at least a microsecond: a zero time-out would not wait at all.
timeval Until(Clock::time_point deadline)
{
    return TimeLeft(deadline, 1);
}

const char* WhatToCheck(Mode mode)
{
    switch (mode) {
    case Mode::PreSharedKey:
        return "check Tls_Mode, Tls_Psk_Identity and Tls_Psk_Password against the PLC's route";
    case Mode::SharedCa:
        return "check Tls_Mode, Tls_Ca_File, Tls_Certificate_File and Tls_Key_File";
    case Mode::SelfSigned:
        return "check Tls_Mode, Tls_Certificate_File and Tls_Key_File";
    }
    return "check the Tls_ columns";
}

// Self-signed certificates the PLC pinned in this process: their credentials are not sent again.
std::mutex pinnedMutex;
std::set<std::string> pinned;

std::string PinKey(const std::string& host, SSL_CTX* context)
{
    return host + '|' + CertificateFingerprint(SSL_CTX_get0_certificate(context));
}

// Failed set-ups by PLC and settings, with when: repeated within the hold-off.
struct Failure {
    Clock::time_point at;
    std::string text;
};
std::mutex failuresMutex;
std::map<std::string, Failure> failures;

std::string OwnHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return std::string();
    }
    return name;
}
} // namespace

std::unique_ptr<SecureStream> SecureStream::Open(const addrinfo* candidates, std::chrono::milliseconds timeout,
                                                 const SecureSettings& settings, const Peer& peer)
{
    const std::string key = peer.endpoint + '|' + settings.SharingKey();
    {
        std::lock_guard<std::mutex> lock(failuresMutex);
        const auto it = failures.find(key);
        if (it != failures.end() && Clock::now() - it->second.at < HOLD_OFF) {
            throw SecureConnectError(it->second.text);
        }
    }
    try {
        return std::make_unique<SecureStream>(candidates, timeout, settings, peer);
    } catch (const SecureConnectError& e) {
        std::lock_guard<std::mutex> lock(failuresMutex);
        const auto now = Clock::now();
        for (auto it = failures.begin(); it != failures.end();) {
            it = now - it->second.at >= HOLD_OFF ? failures.erase(it) : std::next(it);
        }
        failures[key] = Failure{now, e.what()};
        throw;
    }
}

SecureStream::SecureStream(const addrinfo* candidates, std::chrono::milliseconds timeout,
                           const SecureSettings& settings, const Peer& peer_)
    : socket(candidates, timeout), peer(peer_), sharingKey(settings.SharingKey())
{
    std::string expected;
    if (settings.mode == Mode::SelfSigned && !settings.plcFingerprint.empty() &&
        !NormalizeFingerprint(settings.plcFingerprint, expected)) {
        throw SecureConnectError("Tls_Plc_Fingerprint is not a SHA-256 fingerprint (64 hex digits, colons allowed)");
    }
    context = NewClientContext(settings, psk);
    SslPtr session(SSL_new(context.get()));
    if (!session) {
        throw SecureConnectError("Cannot set up TLS: " + TlsErrorQueue());
    }
    channel = std::make_unique<TlsChannel>(socket.Descriptor(), std::move(session), TlsChannel::Role::Client);
    const auto deadline = Clock::now() + timeout;
    Handshake(deadline, settings);
    VerifyPlc(settings);
    ExchangeConnectInfo(deadline, settings);
    plain.reset(new uint8_t[PLAIN_SIZE]);
}

SecureStream::~SecureStream()
{
    Shutdown();
}

void SecureStream::Handshake(Clock::time_point deadline, const SecureSettings& settings)
{
    std::string reason;
    switch (channel->Handshake(deadline, reason)) {
    case TlsChannel::HandshakeEnd::Done:
        return;
    case TlsChannel::HandshakeEnd::Cancelled:
        throw SecureConnectError("TLS handshake given up: the device is being stopped");
    case TlsChannel::HandshakeEnd::TimedOut:
        throw SecureConnectError("TLS handshake with the PLC timed out (is the address and Tls_Port the PLC's "
                                 "secure ADS port?)");
    case TlsChannel::HandshakeEnd::Failed:
        break;
    }
    const long verified = SSL_get_verify_result(channel->Session());
    if (settings.mode == Mode::SharedCa && verified != X509_V_OK) {
        throw SecureConnectError(std::string("PLC certificate not trusted: ") +
                                 X509_verify_cert_error_string(verified) +
                                 " (check Tls_Ca_File: the CA that signed the PLC's certificate, and the dates)");
    }
    throw SecureConnectError("TLS handshake with the PLC failed: " + reason + " (" + WhatToCheck(settings.mode) +
                             ")");
}

void SecureStream::VerifyPlc(const SecureSettings& settings)
{
    if (settings.mode == Mode::PreSharedKey) {
        return; // the key proves both sides
    }
    X509Ptr certificate(SSL_get1_peer_certificate(channel->Session()));
    if (!certificate) {
        throw SecureConnectError("The PLC presented no certificate (" + std::string(WhatToCheck(settings.mode)) + ")");
    }
    if (settings.mode == Mode::SharedCa) {
        if (!settings.ignoreCommonName && !CertificateNames(certificate.get(), peer.host)) {
            throw SecureConnectError("PLC certificate common name mismatch: it names '" +
                                     CommonName(certificate.get()) + "', the device address is '" + peer.host +
                                     "' (check the address, or set Tls_Ignore_Common_Name)");
        }
        return;
    }
    const std::string seen = CertificateFingerprint(certificate.get());
    std::string expected;
    if (!NormalizeFingerprint(settings.plcFingerprint, expected)) {
        LOG_WARN("PLC at " << peer.host << " presented a certificate with SHA-256 fingerprint " << seen);
        throw SecureConnectError("PLC certificate fingerprint not configured: the PLC presented " + seen +
                                 " (check it on the PLC and set Tls_Plc_Fingerprint to it)");
    }
    if (seen != expected) {
        LOG_WARN("PLC at " << peer.host << " presented fingerprint " << seen << ", expected " << expected);
        throw SecureConnectError("PLC certificate fingerprint mismatch: expected " + expected +
                                 ", the PLC presented " + seen + " (check Tls_Plc_Fingerprint)");
    }
}

void SecureStream::ExchangeConnectInfo(Clock::time_point deadline, const SecureSettings& settings)
{
    ConnectInfo mine;
    mine.netId = peer.localNetId ? peer.localNetId : AmsNetId(socket.Connect());
    mine.hostName = OwnHostName();
    const std::string pinKey = PinKey(peer.host, context.get());
    if (settings.mode == Mode::SharedCa && settings.ignoreCommonName) {
        mine.flags |= ConnectInfo::IGNORE_CN;
    }
    if (settings.mode == Mode::SelfSigned) {
        mine.flags |= ConnectInfo::SELF_SIGNED;
        std::lock_guard<std::mutex> lock(pinnedMutex);
        if (!settings.plcUser.empty() && !pinned.count(pinKey)) {
            mine.flags |= ConnectInfo::ADD_REMOTE;
            mine.userName = settings.plcUser;
            mine.password = settings.plcPassword;
        }
    }
    std::vector<uint8_t> block;
    try {
        block = mine.Encode();
    } catch (const std::length_error&) {
        throw SecureConnectError("Tls_Plc_User and Tls_Plc_Password are limited to 255 bytes each");
    }
    timeval left = Until(deadline);
    const size_t sent = channel->Write(block.data(), block.size(), &left);
    OPENSSL_cleanse(block.data(), block.size());
    if (sent != block.size()) {
        throw SecureConnectError("Cannot send the connect info to the PLC: the connection failed or stalled");
    }

    uint8_t answer[ConnectInfo::MAX_SIZE];
    size_t have = 0;
    size_t wanted = 2;
    try {
        while (have < wanted) {
            left = Until(deadline);
            have += channel->Read(answer + have, wanted - have, &left);
            if (have == 2) {
                wanted = ConnectInfo::Announced(answer, have);
                if (wanted == 0) {
                    throw SecureConnectError("The PLC's connect info is malformed (length " +
                                             std::to_string(answer[0] | (answer[1] << 8)) + ")");
                }
            }
        }
    } catch (const Socket::TimeoutEx&) {
        throw SecureConnectError("The PLC did not answer the connect info in time");
    } catch (const std::runtime_error&) {
        throw SecureConnectError("The PLC closed the connection instead of answering the connect info (" +
                                 std::string(WhatToCheck(settings.mode)) + ", and the route on the PLC)");
    }
    ConnectInfo theirs;
    if (!ConnectInfo::Decode(answer, have, theirs) || !(theirs.flags & ConnectInfo::RESPONSE)) {
        throw SecureConnectError("The PLC's connect info is malformed");
    }
    if (theirs.error != ConnectInfo::OK) {
        if (theirs.error == ConnectInfo::UNKNOWN_CERTIFICATE) {
            std::lock_guard<std::mutex> lock(pinnedMutex);
            pinned.erase(pinKey);
        }
        throw SecureConnectError("PLC refused the connect info: " + ConnectInfoErrorText(theirs.error));
    }
    if (mine.flags & ConnectInfo::ADD_REMOTE) {
        std::lock_guard<std::mutex> lock(pinnedMutex);
        pinned.insert(pinKey);
    }
    plcNetId = theirs.netId;
    if (peer.target && plcNetId != peer.target) {
        LOG_WARN("PLC at " << peer.host << " answered as AMS NetId " << plcNetId << ", the route is for "
                           << peer.target << ": requests go to the route's NetId");
    }
}

size_t SecureStream::read(uint8_t* buffer, size_t maxBytes, timeval* timeout)
{
    if (maxBytes == 0) {
        return 0;
    }
    for (;;) {
        size_t consumed = 0;
        const size_t produced = decoder.Decode(plain.get() + plainBegin, plainEnd - plainBegin, consumed, buffer,
                                               maxBytes);
        plainBegin += consumed;
        if (produced) {
            return produced;
        }
        // Emptied first: a read that times out must not leave old bytes to be decoded again.
        plainBegin = 0;
        plainEnd = 0;
        plainEnd = channel->Read(plain.get(), PLAIN_SIZE, timeout);
    }
}

size_t SecureStream::write(const uint8_t* data, size_t size, timeval* timeout)
{
    sendBuffer.clear();
    encoder.Encode(data, size, sendBuffer);
    if (sendBuffer.empty()) {
        return size;
    }
    const size_t written = channel->Write(sendBuffer.data(), sendBuffer.size(), timeout);
    return written == sendBuffer.size() ? size : encoder.InputFor(written);
}

void SecureStream::Shutdown()
{
    if (channel) {
        channel->Close();
    }
    socket.Shutdown();
}

bool SecureStream::IsConnectedTo(const addrinfo* candidates, const std::string& key) const
{
    return key == sharingKey && socket.IsConnectedTo(candidates);
}
