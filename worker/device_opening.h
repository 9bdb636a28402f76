// Opening a device's connection to its PLC: the route and a first request that proves the PLC
// answers, then the PLC's identity. A failure comes with the text that says what to check.
#pragma once

#include "ads/AdsDevice.h"
#include "ads/SecureSettings.h"

#include <QMap>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct Opened_Device {
    std::unique_ptr<AdsDevice> device; // null when the set-up failed
    int32_t error = 0;
    QString failure; // a text of its own for `error` (a refused TCP connection, a NetId in use); empty: the error's
    std::optional<QMap<QString, QString>> identity; // "vendor", "model", "firmware", when the PLC told them
};

// `log` gets the debug lines of the set-up. Nothing is thrown.
Opened_Device openDevice(const QString& deviceName, const QString& address, const AmsNetId& netId, uint16_t port,
                         uint32_t timeoutMs, const plc::ads::SecureSettings* secure,
                         const std::function<void(const QString&)>& log);
