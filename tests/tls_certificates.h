// Certificates made at run time for the secure transport's tests: a temporary folder of PEM
// files (CAs, certificates they sign, self-signed ones, expired ones), removed afterwards.
#pragma once

#include "ads/TlsCredentials.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

namespace tls_test {

class Pki {
public:
    Pki()
    {
        char pattern[] = "/tmp/ads_plc_tls_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made) {
            throw std::runtime_error("mkdtemp failed");
        }
        folder = made;
    }
    ~Pki()
    {
        for (auto& entry : keys) {
            EVP_PKEY_free(entry.second.key);
            X509_free(entry.second.certificate);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    Pki(const Pki&) = delete;
    Pki& operator=(const Pki&) = delete;

    // A certificate `name` with common name `cn`, signed by the earlier `issuer` (empty: by
    // itself), valid from `fromDays` to `toDays` around now; `ca` makes it able to sign.
    // Writes NAME.pem and NAME.key; returns the certificate's path.
    std::string Make(const std::string& name, const std::string& cn, const std::string& issuer = "", bool ca = false,
                     long fromDays = -1, long toDays = 30)
    {
        Entry entry;
        entry.key = EVP_EC_gen("P-256");
        entry.certificate = X509_new();
        X509* cert = entry.certificate;
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), ++serial);
        X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * 86400);
        X509_gmtime_adj(X509_getm_notAfter(cert), toDays * 86400);
        X509_set_pubkey(cert, entry.key);
        X509_NAME* subject = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()),
                                   -1, -1, 0);
        const Entry* signer = issuer.empty() ? &entry : &keys.at(issuer);
        X509_set_issuer_name(cert, X509_get_subject_name(signer->certificate ? signer->certificate : cert));
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, signer->certificate ? signer->certificate : cert, cert, nullptr, nullptr, 0);
        X509_EXTENSION* constraints =
            X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
        X509_add_ext(cert, constraints, -1);
        X509_EXTENSION_free(constraints);
        X509_sign(cert, signer->key, EVP_sha256());
        Forget(name);
        Write(name + ".pem", [&](FILE* f) { return PEM_write_X509(f, cert); });
        Write(name + ".key", [&](FILE* f) {
            return PEM_write_PrivateKey(f, entry.key, nullptr, nullptr, 0, nullptr, nullptr);
        });
        keys.emplace(name, entry);
        return Path(name + ".pem");
    }

    std::string Path(const std::string& file) const { return folder + "/" + file; }
    std::string Key(const std::string& name) const { return Path(name + ".key"); }
    std::string Fingerprint(const std::string& name) const
    {
        return plc::ads::CertificateFingerprint(keys.at(name).certificate);
    }

private:
    struct Entry {
        EVP_PKEY* key = nullptr;
        X509* certificate = nullptr;
    };
    void Forget(const std::string& name)
    {
        const auto it = keys.find(name);
        if (it != keys.end()) {
            EVP_PKEY_free(it->second.key);
            X509_free(it->second.certificate);
            keys.erase(it);
        }
    }
    template <typename F>
    void Write(const std::string& file, F write)
    {
        FILE* f = std::fopen(Path(file).c_str(), "w");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(1, write(f));
        std::fclose(f);
    }

    std::string folder;
    std::map<std::string, Entry> keys;
    long serial = 0;
};

} // namespace tls_test
