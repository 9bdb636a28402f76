#include "worker/connection_watch.h"

std::optional<QString> Connection_Watch::lossWarning(const plc::ads::ConnectionCounters& counters,
                                                     const QString& deviceName)
{
    const uint64_t dropped = counters.Dropped();
    if (dropped < warnedDrops) {
        warnedDrops = dropped; // a new connection counts from 0
    }
    const auto now = std::chrono::steady_clock::now();
    if (dropped == warnedDrops || (warned && now - lastWarning < std::chrono::minutes(1))) {
        return std::nullopt;
    }
    warnedDrops = dropped;
    lastWarning = now;
    warned = true;
    return QStringLiteral("Samples lost on the connection of ") + deviceName + QStringLiteral(": receive buffer full ") +
           QString::number(counters.ringFull) + QStringLiteral(", unknown handle ") +
           QString::number(counters.unknownHandle) + QStringLiteral(", size mismatch ") +
           QString::number(counters.sizeMismatch) + QStringLiteral(", unmatched replies ") +
           QString::number(counters.unmatchedReplies) + QStringLiteral(", reconnections ") +
           QString::number(counters.reconnections);
}
