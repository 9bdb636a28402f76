// The device columns of the secure transport: their declaration to the host, and reading a
// device's configuration into the stack's settings. Stored configurations without these
// columns keep plain ADS.
#pragma once

#include "ads/SecureSettings.h"
#include "host/HostRecords.h"

#include <QList>
#include <QMap>
#include <QString>

#include <optional>

namespace secure_transport {

// Column names, in the order they are appended to the device columns.
extern const char* const TRANSPORT;        // "Ads_Transport": "0" ADS, "1" Secure ADS
extern const char* const PORT;             // "Tls_Port"
extern const char* const MODE;             // "Tls_Mode": "0" pre-shared key, "1" shared CA, "2" self-signed
extern const char* const PSK_IDENTITY;     // "Tls_Psk_Identity"
extern const char* const PSK_PASSWORD;     // "Tls_Psk_Password"
extern const char* const CA_FILE;          // "Tls_Ca_File"
extern const char* const CERTIFICATE_FILE; // "Tls_Certificate_File"
extern const char* const KEY_FILE;         // "Tls_Key_File"
extern const char* const PLC_FINGERPRINT;  // "Tls_Plc_Fingerprint"
extern const char* const PLC_USER;         // "Tls_Plc_User"
extern const char* const PLC_PASSWORD;     // "Tls_Plc_Password"
extern const char* const IGNORE_CN;        // "Tls_Ignore_Common_Name": "0" or "1"

void appendColumns(QList<DatabaseColumnStructure>& deviceColumns);

struct Choice {
    // Empty for plain ADS.
    std::optional<plc::ads::SecureSettings> settings;
    // Set when the columns cannot describe a connection; nothing is connected then.
    QString error;
};
Choice fromConfig(const QMap<QString, QString>& config);

} // namespace secure_transport
