#include "worker/secure_transport.h"

namespace secure_transport {

const char* const TRANSPORT = "Ads_Transport";
const char* const PORT = "Tls_Port";
const char* const MODE = "Tls_Mode";
const char* const PSK_IDENTITY = "Tls_Psk_Identity";
const char* const PSK_PASSWORD = "Tls_Psk_Password";
const char* const CA_FILE = "Tls_Ca_File";
const char* const CERTIFICATE_FILE = "Tls_Certificate_File";
const char* const KEY_FILE = "Tls_Key_File";
const char* const PLC_FINGERPRINT = "Tls_Plc_Fingerprint";
const char* const PLC_USER = "Tls_Plc_User";
const char* const PLC_PASSWORD = "Tls_Plc_Password";
const char* const IGNORE_CN = "Tls_Ignore_Common_Name";

namespace {
using Column = DatabaseColumnStructure;

Column text(const char* name, const char* description)
{
    return Column(QString::fromLatin1(name), Column::Text, 0, QString(), QString::fromLatin1(description));
}

Column choice(const char* name, const char* description, std::initializer_list<const char*> labels)
{
    Column column(QString::fromLatin1(name), Column::Integer, 16, QStringLiteral("0"),
                  QString::fromLatin1(description));
    int value = 0;
    for (const char* label : labels) {
        column.insertSelectionValues(QString::fromLatin1(label), QString::number(value++));
    }
    return column;
}

QString value(const QMap<QString, QString>& config, const char* key)
{
    return config.value(QString::fromLatin1(key));
}

std::string text(const QMap<QString, QString>& config, const char* key)
{
    return value(config, key).toStdString();
}

// Paths and names as configured, without blanks around them.
std::string trimmed(const QMap<QString, QString>& config, const char* key)
{
    return value(config, key).trimmed().toStdString();
}
} // namespace

void appendColumns(QList<DatabaseColumnStructure>& deviceColumns)
{
    deviceColumns.append(choice(TRANSPORT,
                                "Transport to the PLC: ADS (TCP 48898, clear text) or Secure ADS (TLS 1.2 on "
                                "Tls_Port, authenticated and encrypted).",
                                {"ADS", "Secure ADS"}));
    deviceColumns.append(Column(QString::fromLatin1(PORT), Column::Integer, 0, QStringLiteral("8016"),
                                QStringLiteral("TCP port of Secure ADS on the PLC. Default 8016.")));
    deviceColumns.append(choice(MODE,
                                "How Secure ADS authenticates: a pre-shared key (identity and password), "
                                "certificates signed by a shared CA, or self-signed certificates pinned by "
                                "fingerprint.",
                                {"Pre-shared key", "Shared CA", "Self-signed"}));
    deviceColumns.append(text(PSK_IDENTITY, "Pre-shared key mode: the identity of this gateway's route on the PLC."));
    deviceColumns.append(text(PSK_PASSWORD, "Pre-shared key mode: the password of that route; the key is SHA-256 of "
                                            "the upper-cased identity followed by the password."));
    deviceColumns.append(text(CA_FILE, "Shared CA mode: PEM file of the CA that signed the PLC's certificate."));
    deviceColumns.append(text(CERTIFICATE_FILE,
                              "Shared CA and self-signed modes: PEM file of this gateway's certificate."));
    deviceColumns.append(text(KEY_FILE, "Shared CA and self-signed modes: PEM file of the private key of this "
                                        "gateway's certificate (not encrypted)."));
    deviceColumns.append(text(PLC_FINGERPRINT,
                              "Self-signed mode: SHA-256 fingerprint of the PLC's certificate (AB:CD:...). Empty: "
                              "the connection is refused and the device error shows the fingerprint the PLC "
                              "presented, to be checked and entered here."));
    deviceColumns.append(text(PLC_USER, "Self-signed mode: a PLC user name sent on the first connection, after "
                                        "which the PLC pins this gateway's certificate; may be cleared then."));
    deviceColumns.append(text(PLC_PASSWORD, "Self-signed mode: the password of Tls_Plc_User."));
    deviceColumns.append(choice(IGNORE_CN,
                                "Shared CA mode: accept a PLC certificate whatever its common name, and ask the "
                                "PLC not to check the common name of this gateway's certificate.",
                                {"No", "Yes"}));
}

Choice fromConfig(const QMap<QString, QString>& config)
{
    Choice choice;
    const QString transport = value(config, TRANSPORT).trimmed();
    if (transport.isEmpty() || transport == QLatin1String("0")) {
        return choice;
    }
    if (transport != QLatin1String("1")) {
        choice.error = QStringLiteral("Invalid Ads_Transport: 0 for ADS or 1 for Secure ADS");
        return choice;
    }
    plc::ads::SecureSettings settings;
    const QString portText = value(config, PORT).trimmed();
    if (!portText.isEmpty()) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            choice.error = QStringLiteral("Invalid Tls_Port: must be 1 to 65535");
            return choice;
        }
        settings.port = static_cast<uint16_t>(port);
    }
    const QString mode = value(config, MODE).trimmed();
    if (mode.isEmpty() || mode == QLatin1String("0")) {
        settings.mode = plc::ads::SecureSettings::Mode::PreSharedKey;
    } else if (mode == QLatin1String("1")) {
        settings.mode = plc::ads::SecureSettings::Mode::SharedCa;
    } else if (mode == QLatin1String("2")) {
        settings.mode = plc::ads::SecureSettings::Mode::SelfSigned;
    } else {
        choice.error = QStringLiteral("Invalid Tls_Mode: 0 pre-shared key, 1 shared CA or 2 self-signed");
        return choice;
    }
    settings.pskIdentity = text(config, PSK_IDENTITY);
    settings.pskPassword = text(config, PSK_PASSWORD);
    settings.caFile = trimmed(config, CA_FILE);
    settings.certificateFile = trimmed(config, CERTIFICATE_FILE);
    settings.keyFile = trimmed(config, KEY_FILE);
    settings.plcFingerprint = trimmed(config, PLC_FINGERPRINT);
    settings.plcUser = text(config, PLC_USER);
    settings.plcPassword = text(config, PLC_PASSWORD);
    settings.ignoreCommonName = value(config, IGNORE_CN).trimmed() == QLatin1String("1");
    choice.settings = std::move(settings);
    return choice;
}

} // namespace secure_transport
