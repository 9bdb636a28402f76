#include "worker/device_opening.h"

#include "ads/Sockets.h"
#include "worker/ads_error_texts.h"

#include <cstring>
#include <system_error>

namespace {
// The error value of a set-up step that failed with something other than an AdsException:
// a system error keeps its code, any other standard exception counts as an unreachable target.
// A TCP connection that could not be made also gives its text, which names address and reason.
int32_t setUpFailureCode(QString* text)
{
    try {
        throw;
    } catch (const plc::ads::ConnectError& e) {
        *text = QString::fromLocal8Bit(e.what());
        return e.code().value() != 0 ? e.code().value() : ADS_ERR_TARGET_PORT_NOT_FOUND;
    } catch (const std::system_error& e) {
        return e.code().value();
    } catch (const std::exception&) {
        return ADS_ERR_TARGET_PORT_NOT_FOUND;
    } catch (...) {
        return -1;
    }
}

// The router refuses a second address for a NetId it already routes elsewhere.
QString netIdInUseText(const AmsNetId& netId)
{
    const std::string other = plc::ads::GetRouteAddress(netId);
    if (other.empty()) {
        return errorToString(ROUTERERR_PORTALREADYINUSE);
    }
    return QStringLiteral("AMS NetId ") + QString::fromStdString(netId.ToString()) +
           QStringLiteral(" is already in use for the PLC at ") + QString::fromStdString(other) +
           QStringLiteral("; each PLC needs its own AMS NetId");
}

QMap<QString, QString> identityOf(const AdsDeviceInfo& info)
{
    const QString model = QString::fromLatin1(info.deviceName, static_cast<int>(strnlen(info.deviceName, 16)));
    return {{QStringLiteral("vendor"), QStringLiteral("ADS")},
            {QStringLiteral("model"), model.trimmed()},
            {QStringLiteral("firmware"), QStringLiteral("%1.%2.%3")
                                             .arg(info.deviceVersion.majorVersion)
                                             .arg(info.deviceVersion.minorVersion)
                                             .arg(info.deviceVersion.buildNumber)}};
}
} // namespace

Opened_Device openDevice(const QString& deviceName, const QString& address, const AmsNetId& netId, uint16_t port,
                         uint32_t timeoutMs, const plc::ads::SecureSettings* secure,
                         const std::function<void(const QString&)>& log)
{
    Opened_Device opened;
    try {
        opened.device = std::make_unique<AdsDevice>(address.toStdString(), netId, port, timeoutMs, secure);
        opened.device->SetTimeout(timeoutMs);
        opened.device->GetState();
    } catch (const AdsException& e) {
        opened.error = e.resultCode;
        if (e.resultCode == ROUTERERR_PORTALREADYINUSE) {
            opened.failure = netIdInUseText(netId);
        }
        log(QStringLiteral("Error. Creating route for ") + deviceName + QStringLiteral(" to ") + address +
            QStringLiteral(" failed. ") +
            withErrorCode(opened.failure.isEmpty() ? errorToString(e.resultCode) : opened.failure, e.resultCode));
    } catch (const plc::ads::SecureConnectError& e) {
        opened.error = ADS_ERR_TARGET_PORT_NOT_FOUND;
        opened.failure = QString::fromStdString(e.what());
    } catch (...) {
        opened.error = setUpFailureCode(&opened.failure);
    }
    if (opened.error != 0) {
        opened.device.reset();
        return opened;
    }
    try {
        opened.identity = identityOf(opened.device->GetDeviceInfo());
    } catch (const AdsException& e) {
        log(QStringLiteral("ADS GetDeviceInfo failed. ") + withErrorCode(errorToString(e.resultCode), e.resultCode));
    } catch (...) {
        opened.error = setUpFailureCode(&opened.failure);
        opened.device.reset();
    }
    return opened;
}
