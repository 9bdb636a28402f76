// The OpenSSL side of the secure transport's credentials: contexts for each mode, the PSK
// key, certificate fingerprints and names, and the library's reasons as text. Every failure
// is a SecureConnectError that names what to check.
#pragma once

#include "SecureSettings.h"

#include <openssl/ssl.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace plc::ads {

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

using PskKeyBytes = std::array<uint8_t, 32>;
// SHA-256 of the upper-cased identity followed by the password.
PskKeyBytes PskKey(const std::string& identity, const std::string& password);

// The reasons queued by the library on this thread, oldest first, joined by "; " (the queue is emptied).
std::string TlsErrorQueue();

// "AB:CD:..." of the DER form's SHA-256.
std::string CertificateFingerprint(X509* certificate);
// A configured fingerprint (hex digits, colons and blanks allowed, any case) in the form above;
// false when it is not 32 bytes of hex.
bool NormalizeFingerprint(const std::string& text, std::string& out);
std::string CommonName(X509* certificate);
// True when the certificate names `host`: a subject alternative name or the common name.
bool CertificateNames(X509* certificate, const std::string& host);

// TLS 1.2, plain PSK suites with AES in CBC mode, and a ClientHello without the extensions
// the library lets us leave out (tickets, encrypt-then-mac, extended master secret, no SNI).
void UsePskSuites(SSL_CTX* ctx);
// Our certificate and key (checked to match); `what` names the mode for the texts.
void LoadCertificateAndKey(SSL_CTX* ctx, const std::string& certificateFile, const std::string& keyFile);
void LoadCa(SSL_CTX* ctx, const std::string& caFile);

// The client context of a route. The PSK identity and key are held by `psk`, which must
// outlive the context's handshakes.
struct PskCredentials {
    std::string identity;
    PskKeyBytes key{};
};
SslCtxPtr NewClientContext(const SecureSettings& settings, PskCredentials& psk);

} // namespace plc::ads
