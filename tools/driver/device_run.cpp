#include "tools/driver/device_run.h"

#include "worker/device_statistics.h"

#include <algorithm>

namespace driver {

namespace {

// Distinct failures kept per device and per item: enough to tell a story, bounded on a long run.
constexpr int MAX_TROUBLES = 8;
// Round trips kept for the median; beyond it every other one is dropped, which keeps their spread.
constexpr size_t MAX_ROUND_TRIPS = size_t(1) << 20;

void noteTrouble(QMap<QString, Span>& troubles, const QString& text, double at)
{
    const auto it = troubles.find(text);
    if (it != troubles.end()) {
        it->last = at;
    } else if (troubles.size() < MAX_TROUBLES) {
        troubles.insert(text, Span{at, at});
    }
}

QString spanText(const Span& span)
{
    const auto seconds = [](double s) { return QString::number(s, 'f', 1) + QStringLiteral(" s"); };
    return span.first == span.last ? QStringLiteral("at ") + seconds(span.first)
                                   : seconds(span.first) + QStringLiteral(" to ") + seconds(span.last);
}

QString symbolOf(const DataItem& data)
{
    return data.item.config.value(QStringLiteral("variable_name"));
}

} // namespace

void LossTally::note(const plc::ads::ConnectionCounters& counters)
{
    const uint64_t reconnections = std::max(latest.reconnections, counters.reconnections);
    if (counters.connection != 0 && counters.connection != connection) {
        carried.ringFull += latest.ringFull;
        carried.unknownHandle += latest.unknownHandle;
        carried.sizeMismatch += latest.sizeMismatch;
        carried.unmatchedReplies += latest.unmatchedReplies;
        connection = counters.connection;
        latest = counters;
    } else if (counters.connection != 0) {
        latest = counters;
    } else {
        // Lost (its final counts) or gone (all zero): what it counted never goes down.
        latest.ringFull = std::max(latest.ringFull, counters.ringFull);
        latest.unknownHandle = std::max(latest.unknownHandle, counters.unknownHandle);
        latest.sizeMismatch = std::max(latest.sizeMismatch, counters.sizeMismatch);
        latest.unmatchedReplies = std::max(latest.unmatchedReplies, counters.unmatchedReplies);
    }
    latest.reconnections = reconnections;
}

plc::ads::ConnectionCounters LossTally::total() const
{
    plc::ads::ConnectionCounters sum = latest;
    sum.ringFull += carried.ringFull;
    sum.unknownHandle += carried.unknownHandle;
    sum.sizeMismatch += carried.sizeMismatch;
    sum.unmatchedReplies += carried.unmatchedReplies;
    return sum;
}

DeviceRun::DeviceRun(const DeviceOption* device, const LogList& batch)
{
    lastView.device = device;
    lastView.batch = batch;
}

void DeviceRun::noteRead(const LogList& batch, bool ok, double at)
{
    lastView.batch = batch;
    lastView.lastReadOk = ok;
    ++lastView.reads;
    everConnected = everConnected || (ok && batch.device.error.isEmpty());
    if (!batch.device.error.isEmpty()) {
        lastDeviceError = batch.device.error;
        noteTrouble(deviceTroubles, batch.device.error, at);
    }
    for (const DataItem& data : batch.items) {
        if (!isIdentity(data) && !data.item.error.isEmpty()) {
            noteTrouble(items[data.item.id].troubles, data.item.error, at);
        }
    }
}

void DeviceRun::noteWrites(const QList<WriteResult>& results)
{
    lastView.writes += results;
}

void DeviceRun::noteStatistics(quint32 deviceId, const plc::ads::ConnectionCounters& connectionLosses,
                               Clock::time_point now)
{
    const Device_Statistics::Snapshot snapshot = Device_Statistics::snapshot(deviceId, pollsSeen);
    pollsSeen = snapshot.polls;
    for (const uint32_t us : snapshot.roundTripsUs) {
        if (roundTripsUs.size() >= MAX_ROUND_TRIPS) {
            for (size_t i = 0; i < roundTripsUs.size() / 2; ++i) {
                roundTripsUs[i] = roundTripsUs[2 * i];
            }
            roundTripsUs.resize(roundTripsUs.size() / 2);
        }
        roundTripsUs.push_back(us);
    }
    for (const auto& [itemId, samples] : snapshot.samples) {
        ItemTrack& item = items[static_cast<int>(itemId)];
        if (samples > item.samples) {
            item.samples = samples;
            item.arrived = true;
            item.latest = now;
        }
    }
    losses.note(connectionLosses);
}

RoundTrips DeviceRun::roundTrips() const
{
    RoundTrips trips;
    trips.polls = pollsSeen;
    if (roundTripsUs.empty()) {
        return trips;
    }
    std::vector<uint32_t> sorted = roundTripsUs;
    const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), middle, sorted.end());
    trips.medianMs = *middle / 1000.0;
    trips.highestMs = *std::max_element(sorted.begin(), sorted.end()) / 1000.0;
    return trips;
}

ItemStatistics DeviceRun::itemStatistics(int itemId, Clock::time_point now) const
{
    ItemStatistics stats;
    const auto it = items.constFind(itemId);
    if (it != items.constEnd()) {
        stats.samples = it->samples;
        stats.ageSeconds = it->arrived ? std::chrono::duration<double>(now - it->latest).count() : -1;
    }
    return stats;
}

DeviceView DeviceRun::viewWithStatistics(Clock::time_point now) const
{
    DeviceView view = lastView;
    for (const DataItem& data : view.batch.items) {
        if (!isIdentity(data)) {
            view.itemStatistics.insert(data.item.id, itemStatistics(data.item.id, now));
        }
    }
    view.roundTrips = roundTrips();
    return view;
}

QStringList DeviceRun::shortcomings() const
{
    QStringList reasons;
    const LogList& batch = lastView.batch;
    const bool connected = lastView.lastReadOk && batch.device.error.isEmpty();
    const QString error = batch.device.error.isEmpty() ? lastDeviceError : batch.device.error;
    const QString because = error.isEmpty() ? QString() : QStringLiteral(": ") + error;
    if (!everConnected) {
        reasons.append(QStringLiteral("never connected") + because);
    } else if (!connected) {
        reasons.append(QStringLiteral("not connected at the end") + because);
    } else {
        // Items of a device that is not connected have no value for that reason alone.
        for (const DataItem& data : batch.items) {
            if (!isIdentity(data) && !data.values.contains(QStringLiteral("value"))) {
                reasons.append(QStringLiteral("no value for ") + symbolOf(data) +
                               (data.item.error.isEmpty() ? QString() : QStringLiteral(": ") + data.item.error));
            }
        }
    }
    const QList<WriteOption>& writes = lastView.device->writes;
    for (int i = 0; i < writes.size(); ++i) {
        if (i >= lastView.writes.size()) {
            reasons.append(QStringLiteral("write ") + writes.at(i).symbol + QStringLiteral(" = ") +
                           writes.at(i).value + QStringLiteral(" not applied"));
        } else if (!lastView.writes.at(i).ok) {
            reasons.append(QStringLiteral("write ") + writeResultText(lastView.writes.at(i)));
        }
    }
    return reasons;
}

QStringList DeviceRun::failedOnTheWay() const
{
    QStringList lines;
    const LogList& batch = lastView.batch;
    for (auto it = deviceTroubles.constBegin(); it != deviceTroubles.constEnd(); ++it) {
        // One the end still shows is among the shortcomings.
        if (it.key() != batch.device.error && (everConnected || it.key() != lastDeviceError)) {
            lines.append(QStringLiteral("device: ") + it.key() + QStringLiteral(" (") + spanText(*it) +
                         QLatin1Char(')'));
        }
    }
    for (const DataItem& data : batch.items) {
        const auto item = items.constFind(data.item.id);
        if (isIdentity(data) || item == items.constEnd()) {
            continue;
        }
        for (auto it = item->troubles.constBegin(); it != item->troubles.constEnd(); ++it) {
            if (it.key() != data.item.error) {
                lines.append(symbolOf(data) + QStringLiteral(": ") + it.key() + QStringLiteral(" (") +
                             spanText(*it) + QLatin1Char(')'));
            }
        }
    }
    return lines;
}

QString DeviceRun::lossesLine() const
{
    const plc::ads::ConnectionCounters total = losses.total();
    return QStringLiteral("losses of %1: receive buffer full %2, unknown handle %3, size mismatch %4, "
                          "unmatched replies %5, reconnections %6")
        .arg(lastView.device->name)
        .arg(total.ringFull)
        .arg(total.unknownHandle)
        .arg(total.sizeMismatch)
        .arg(total.unmatchedReplies)
        .arg(total.reconnections);
}

QStringList DeviceRun::statisticsLines(Clock::time_point now) const
{
    QStringList lines;
    lines.append(QStringLiteral("statistics of ") + lastView.device->name + QStringLiteral(": ") + roundTripText(roundTrips()));
    for (const DataItem& data : lastView.batch.items) {
        if (isIdentity(data)) {
            continue;
        }
        const ItemStatistics stats = itemStatistics(data.item.id, now);
        lines.append(QStringLiteral("  ") + symbolOf(data) + QStringLiteral(": ") +
                     (stats.ageSeconds < 0 ? QStringLiteral("no samples")
                                           : QStringLiteral("%1 %2, latest %3 s ago")
                                                 .arg(stats.samples)
                                                 .arg(stats.samples == 1 ? QStringLiteral("sample")
                                                                         : QStringLiteral("samples"))
                                                 .arg(QString::number(stats.ageSeconds, 'f', 1))));
    }
    return lines;
}

} // namespace driver
