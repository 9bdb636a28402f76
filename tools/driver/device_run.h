// What a run saw of one device: its last view, what failed on the way, the samples and round
// trips, the losses; and the judgement on it at the end of the run.
#pragma once

#include "ads/ConnectionCounters.h"
#include "tools/driver/output.h"

#include <QHash>
#include <QMap>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <vector>

namespace driver {

// When a failure was seen, in seconds after the start.
struct Span {
    double first = 0;
    double last = 0;
};

// The loss counters of a run: those of earlier connections are kept when the route moves on.
class LossTally {
public:
    void note(const plc::ads::ConnectionCounters& counters);
    plc::ads::ConnectionCounters total() const;

private:
    uint64_t connection = 0; // the connection `latest` belongs to
    plc::ads::ConnectionCounters latest;
    plc::ads::ConnectionCounters carried; // of the connections before it
};

class DeviceRun {
public:
    using Clock = std::chrono::steady_clock;

    // Before the first read the view shows `batch` as it was built.
    DeviceRun(const DeviceOption* device, const LogList& batch);

    // One read of the device, `at` seconds after the start.
    void noteRead(const LogList& batch, bool ok, double at);
    void noteWrites(const QList<WriteResult>& results);
    // What the plug-in reads the items as (see valueTypesOf in run.cpp).
    void noteValueTypes(const QHash<int, std::shared_ptr<const Plc_Type>>& types) { lastView.valueTypes = types; }
    // The plug-in's counts of the device (see Device_Statistics) and its connection's losses.
    void noteStatistics(quint32 deviceId, const plc::ads::ConnectionCounters& losses, Clock::time_point now);

    const DeviceView& view() const { return lastView; }
    // The view with its statistics as of `now`.
    DeviceView viewWithStatistics(Clock::time_point now) const;

    // What falls short at the end: not connected, items without a value, writes not done.
    QStringList shortcomings() const;
    // Failures seen during the run that the end no longer shows, with when.
    QStringList failedOnTheWay() const;
    // The summary's lines about losses and statistics.
    QString lossesLine() const;
    QStringList statisticsLines(Clock::time_point now) const;

private:
    struct ItemTrack {
        quint64 samples = 0;
        bool arrived = false;
        Clock::time_point latest; // when the driver saw the latest sample's count go up
        QMap<QString, Span> troubles;
    };

    RoundTrips roundTrips() const;
    ItemStatistics itemStatistics(int itemId, Clock::time_point now) const;

    DeviceView lastView;
    bool everConnected = false;
    QString lastDeviceError;
    QMap<QString, Span> deviceTroubles;
    QHash<int, ItemTrack> items;
    std::vector<uint32_t> roundTripsUs;
    uint64_t pollsSeen = 0;
    LossTally losses;
};

} // namespace driver
