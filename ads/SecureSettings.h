// What a route over the secure transport is configured with, and the one error type of its
// set-up: a text for the device error that names what to check.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace plc::ads {

struct SecureSettings {
    enum class Mode { PreSharedKey, SharedCa, SelfSigned };
    static constexpr uint16_t DEFAULT_PORT = 8016;

    Mode mode = Mode::PreSharedKey;
    uint16_t port = DEFAULT_PORT;
    std::string pskIdentity;
    std::string pskPassword;
    std::string caFile;
    std::string certificateFile;
    std::string keyFile;
    // SHA-256 of the PLC's certificate, hex digits with or without colons.
    std::string plcFingerprint;
    // A PLC user allowing the first self-signed connection; the PLC then pins our certificate.
    std::string plcUser;
    std::string plcPassword;
    bool ignoreCommonName = false;

    // Routes share one connection only when this is equal: a digest, so it holds no secret.
    std::string SharingKey() const;
};

// Not a runtime error on purpose: it passes the request layer unchanged, with its text.
class SecureConnectError : public std::exception {
public:
    explicit SecureConnectError(std::string text) : message(std::move(text)) {}
    const char* what() const noexcept override { return message.c_str(); }

private:
    std::string message;
};

} // namespace plc::ads
