// The driver's views of the batches: a table sized to its content, CSV rows or JSON lines.
#pragma once

#include "host/HostRecords.h"
#include "tools/driver/options.h"
#include "worker/values/plc_type.h"

#include <QHash>
#include <QJsonValue>
#include <QStringList>

#include <memory>

namespace driver {

// The result of one write call.
struct WriteResult {
    QString symbol;
    QString value;
    bool ok = false;
    QString error; // why it failed; empty when it landed or no reason was given
};

// "SYMBOL = VALUE: sent", "SYMBOL = VALUE: failed: reason"
QString writeResultText(const WriteResult& result);

struct ItemStatistics {
    quint64 samples = 0;
    double ageSeconds = -1; // since the latest sample arrived, as the driver saw it; -1 before any
};

// The round trips of a device's state poll.
struct RoundTrips {
    quint64 polls = 0;
    double medianMs = 0;
    double highestMs = 0;
};

// One device as a view shows it.
struct DeviceView {
    const DeviceOption* device = nullptr;
    LogList batch;
    bool lastReadOk = false;
    quint64 reads = 0;
    QList<WriteResult> writes; // in order
    // Shown with --stats.
    QHash<int, ItemStatistics> itemStatistics; // by item id
    RoundTrips roundTrips;
    QHash<int, std::shared_ptr<const Plc_Type>> valueTypes; // by item id: what the plug-in reads it as
};

class ViewPrinter {
public:
    ViewPrinter(Format format, bool statistics) : format(format), statistics(statistics) {}
    // Prints every device's batch as seen `elapsed` seconds after the start.
    void print(const QList<DeviceView>& devices, double elapsed);

private:
    QString table(const DeviceView& view, double elapsed) const;
    QString csv(const DeviceView& view, double elapsed);
    QString json(const DeviceView& view, double elapsed) const;

    Format format;
    bool statistics;
    bool csvHeaderDone = false;
};

// An item's value as JSON, as its type allows: integers as numbers while a double holds them
// exactly (beyond 2^53 the decimal text, so that no digit is lost), BOOL 0 and 1 as false and
// true, REAL and LREAL as numbers when finite; text otherwise, and null for no value.
QJsonValue jsonValue(const QString& text, int type);

// "state poll round trip median 0.42 ms, highest 3.1 ms (57 polls)"
QString roundTripText(const RoundTrips& trips);

// Identity items carry the PLC's device information, not a variable of its program.
bool isIdentity(const DataItem& data);

// RFC 4180: a field with a comma, quote or line break is quoted, quotes doubled.
QString csvField(const QString& text);

} // namespace driver
