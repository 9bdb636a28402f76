#include "TlsCredentials.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include <strings.h>

namespace plc::ads {

namespace {
// SHA-256 first: a 32-bit gateway computes it faster than SHA-384.
const char* const PSK_SUITES = "PSK-AES128-CBC-SHA256:PSK-AES256-CBC-SHA384:PSK-AES256-CBC-SHA:PSK-AES128-CBC-SHA";

// A file the library would only call "no such file" or worse: the system's reason first.
void RequireReadable(const std::string& path, const char* what, const char* column)
{
    if (path.empty()) {
        throw SecureConnectError(std::string(what) + " is not configured: set " + column);
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        throw SecureConnectError("Cannot read the " + std::string(what) + " '" + path +
                                 "': " + std::system_category().message(errno) + " (check " + column + ")");
    }
    std::fclose(file);
}

unsigned int ClientPsk(SSL* ssl, const char*, char* identity, unsigned int maxIdentity, unsigned char* psk,
                       unsigned int maxPsk)
{
    const auto* credentials = static_cast<const PskCredentials*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!credentials || credentials->identity.size() + 1 > maxIdentity || credentials->key.size() > maxPsk) {
        return 0;
    }
    std::memcpy(identity, credentials->identity.c_str(), credentials->identity.size() + 1);
    std::memcpy(psk, credentials->key.data(), credentials->key.size());
    return static_cast<unsigned int>(credentials->key.size());
}

int AcceptAnyChain(int, X509_STORE_CTX*)
{
    return 1; // the fingerprint decides, after the handshake
}

std::string Hex(const unsigned char* bytes, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        if (i) {
            out += ':';
        }
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}
} // namespace

PskKeyBytes PskKey(const std::string& identity, const std::string& password)
{
    std::string input;
    for (const char c : identity) {
        input += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    input += password;
    PskKeyBytes key{};
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), key.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != key.size()) {
        throw SecureConnectError("Cannot derive the pre-shared key: " + TlsErrorQueue());
    }
    OPENSSL_cleanse(&input[0], input.size());
    return key;
}

std::string TlsErrorQueue()
{
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char reason[256];
        const char* library = ERR_reason_error_string(code);
        if (library) {
            std::snprintf(reason, sizeof(reason), "%s", library);
        } else {
            ERR_error_string_n(code, reason, sizeof(reason));
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += reason;
    }
    return text;
}

std::string CertificateFingerprint(X509* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return std::string();
    }
    return Hex(digest, length);
}

bool NormalizeFingerprint(const std::string& text, std::string& out)
{
    std::string digits;
    for (const char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != ' ' && c != '\t') {
            return false;
        }
    }
    if (digits.size() != 64) {
        return false;
    }
    out.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        if (i) {
            out += ':';
        }
        out += digits.substr(i, 2);
    }
    return true;
}

std::string CommonName(X509* certificate)
{
    char name[256] = {};
    X509_NAME* subject = certificate ? X509_get_subject_name(certificate) : nullptr;
    if (!subject || X509_NAME_get_text_by_NID(subject, NID_commonName, name, sizeof(name)) < 0) {
        return std::string();
    }
    return name;
}

bool CertificateNames(X509* certificate, const std::string& host)
{
    if (!certificate || host.empty()) {
        return false;
    }
    if (X509_check_host(certificate, host.c_str(), host.size(), 0, nullptr) == 1 ||
        X509_check_ip_asc(certificate, host.c_str(), 0) == 1) {
        return true;
    }
    // A PLC certificate often carries its address only as the common name.
    return strcasecmp(CommonName(certificate).c_str(), host.c_str()) == 0;
}

void UsePskSuites(SSL_CTX* ctx)
{
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_ENCRYPT_THEN_MAC | SSL_OP_NO_EXTENDED_MASTER_SECRET |
                                 SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    if (SSL_CTX_set_cipher_list(ctx, PSK_SUITES) != 1) {
        throw SecureConnectError("The TLS library offers no PSK suite with AES in CBC mode: " + TlsErrorQueue());
    }
}

void LoadCertificateAndKey(SSL_CTX* ctx, const std::string& certificateFile, const std::string& keyFile)
{
    RequireReadable(certificateFile, "certificate file", "Tls_Certificate_File");
    RequireReadable(keyFile, "key file", "Tls_Key_File");
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile.c_str()) != 1) {
        throw SecureConnectError("Cannot use the certificate file '" + certificateFile + "': " + TlsErrorQueue() +
                                 " (check Tls_Certificate_File: a PEM certificate)");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH) {
            ERR_clear_error();
            throw SecureConnectError("The key file '" + keyFile + "' does not belong to the certificate '" +
                                     certificateFile + "' (check Tls_Key_File)");
        }
        throw SecureConnectError("Cannot use the key file '" + keyFile + "': " + TlsErrorQueue() +
                                 " (check Tls_Key_File: an unencrypted PEM key)");
    }
}

void LoadCa(SSL_CTX* ctx, const std::string& caFile)
{
    RequireReadable(caFile, "CA file", "Tls_Ca_File");
    if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        throw SecureConnectError("Cannot use the CA file '" + caFile + "': " + TlsErrorQueue() +
                                 " (check Tls_Ca_File: PEM certificates)");
    }
}

SslCtxPtr NewClientContext(const SecureSettings& settings, PskCredentials& psk)
{
    ERR_clear_error();
    SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) {
        throw SecureConnectError("Cannot set up TLS: " + TlsErrorQueue());
    }
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    switch (settings.mode) {
    case SecureSettings::Mode::PreSharedKey:
        if (settings.pskIdentity.empty()) {
            throw SecureConnectError("The PSK identity is empty: set Tls_Psk_Identity");
        }
        UsePskSuites(ctx.get());
        psk.identity = settings.pskIdentity;
        psk.key = PskKey(settings.pskIdentity, settings.pskPassword);
        SSL_CTX_set_app_data(ctx.get(), &psk);
        SSL_CTX_set_psk_client_callback(ctx.get(), ClientPsk);
        break;
    case SecureSettings::Mode::SharedCa:
        LoadCa(ctx.get(), settings.caFile);
        LoadCertificateAndKey(ctx.get(), settings.certificateFile, settings.keyFile);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        break;
    case SecureSettings::Mode::SelfSigned:
        LoadCertificateAndKey(ctx.get(), settings.certificateFile, settings.keyFile);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, AcceptAnyChain);
        break;
    }
    return ctx;
}

std::string SecureSettings::SharingKey() const
{
    std::string all;
    for (const std::string* field : {&pskIdentity, &pskPassword, &caFile, &certificateFile, &keyFile,
                                     &plcFingerprint, &plcUser, &plcPassword}) {
        all += std::to_string(field->size()) + ':' + *field;
    }
    all += std::to_string(static_cast<int>(mode)) + ':' + std::to_string(port) + ':' + (ignoreCommonName ? '1' : '0');
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(all.data(), all.size(), digest, &length, EVP_sha256(), nullptr);
    OPENSSL_cleanse(&all[0], all.size());
    return "tls:" + Hex(digest, length);
}

} // namespace plc::ads
