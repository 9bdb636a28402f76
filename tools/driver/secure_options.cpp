#include "tools/driver/secure_options.h"

#include "worker/secure_transport.h"

#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace driver {

namespace {
struct SecureKey {
    const char* key;
    const char* column;
    QStringList choices; // the texts taken, stored as their index; empty: the text itself
};

const SecureKey* findKey(const QString& key)
{
    using namespace secure_transport;
    static const SecureKey keys[] = {
        {"transport", TRANSPORT, {QStringLiteral("ads"), QStringLiteral("secure")}},
        {"tls_port", PORT, {}},
        {"tls_mode", MODE, {QStringLiteral("psk"), QStringLiteral("ca"), QStringLiteral("self-signed")}},
        {"psk_identity", PSK_IDENTITY, {}},
        {"psk_password", PSK_PASSWORD, {}},
        {"ca_file", CA_FILE, {}},
        {"certificate_file", CERTIFICATE_FILE, {}},
        {"key_file", KEY_FILE, {}},
        {"plc_fingerprint", PLC_FINGERPRINT, {}},
        {"plc_user", PLC_USER, {}},
        {"plc_password", PLC_PASSWORD, {}},
        {"ignore_common_name", IGNORE_CN, {QStringLiteral("no"), QStringLiteral("yes")}},
    };
    const auto it = std::find_if(std::begin(keys), std::end(keys),
                                 [&](const SecureKey& k) { return key == QLatin1String(k.key); });
    return it == std::end(keys) ? nullptr : it;
}
} // namespace

bool isSecureKey(const QString& key)
{
    return findKey(key) != nullptr;
}

QString applySecureKey(const QString& key, const QString& value, QMap<QString, QString>* columns)
{
    const SecureKey* found = findKey(key);
    if (!found) {
        return QStringLiteral("unknown key");
    }
    QString stored = value;
    if (!found->choices.isEmpty()) {
        const int index = found->choices.indexOf(value.trimmed().toLower());
        if (index < 0) {
            return QStringLiteral("must be %1, not '%2'").arg(found->choices.join(QStringLiteral(" or ")), value);
        }
        stored = QString::number(index);
    } else if (key == QLatin1String("tls_port")) {
        bool ok = false;
        const int port = value.trimmed().toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            return QStringLiteral("the TLS port must be a number from 1 to 65535, not '%1'").arg(value);
        }
    }
    columns->insert(QString::fromLatin1(found->column), stored);
    return QString();
}

void printSecureUsage()
{
    std::printf(
        "Secure ADS (TLS on the PLC's port 8016; keys of the same names in the configuration file):\n"
        "  --transport ads|secure      plain ADS (default) or secure ADS\n"
        "  --tls-port N                secure ADS port of the PLC (default 8016; a port in --address wins)\n"
        "  --tls-mode psk|ca|self-signed  pre-shared key (default), shared CA or self-signed certificates\n"
        "  --psk-identity TEXT, --psk-password TEXT   the route's pre-shared key\n"
        "  --ca-file FILE              shared CA: the CA that signed the PLC's certificate (PEM)\n"
        "  --certificate-file FILE, --key-file FILE   this gateway's certificate and key (PEM)\n"
        "  --plc-fingerprint HEX       self-signed: SHA-256 of the PLC's certificate (empty: shown on refusal)\n"
        "  --plc-user TEXT, --plc-password TEXT       self-signed: PLC user for the first connection\n"
        "  --ignore-common-name yes|no shared CA: do not check common names (default no)\n");
}

} // namespace driver
