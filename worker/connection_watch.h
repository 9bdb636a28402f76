// What a device's state poll reads from its connection's counters: whether the connection it
// subscribed on is still the one in use (notifications die with their connection, while a route
// that moved to a new one still answers status reads), and samples lost on the way, warned of
// at most once a minute.
#pragma once

#include "ads/ConnectionCounters.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

class Connection_Watch {
public:
    // The connection the device's items are subscribed on from now.
    void begin(uint64_t connection) { subscribed = connection; }
    bool replaced(const plc::ads::ConnectionCounters& counters) const { return counters.connection != subscribed; }
    // The warning to log about samples lost since the last one, if it is time for one.
    std::optional<QString> lossWarning(const plc::ads::ConnectionCounters& counters, const QString& deviceName);

private:
    uint64_t subscribed = 0;
    uint64_t warnedDrops = 0;
    std::chrono::steady_clock::time_point lastWarning{};
    bool warned = false;
};
