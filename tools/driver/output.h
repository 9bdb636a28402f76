// The driver's views of the batches: a table sized to its content, CSV rows or JSON lines.
#pragma once

#include "host/HostRecords.h"
#include "tools/driver/options.h"
#include "worker/values/plc_type.h"

#include <QHash>
#include <QStringList>

#include <memory>

namespace driver {

// One device as a view shows it.
struct DeviceView {
    const DeviceOption* device = nullptr;
    LogList batch;
    bool lastReadOk = false;
    quint64 reads = 0;
    QStringList writeResults; // "SYMBOL = VALUE: sent" or ": failed: reason", in order
    QHash<int, std::shared_ptr<const Plc_Type>> valueTypes; // by item id: what the plug-in reads it as
};

class ViewPrinter {
public:
    explicit ViewPrinter(Format format) : format(format) {}
    // Prints every device's batch as seen `elapsed` seconds after the start.
    void print(const QList<DeviceView>& devices, double elapsed);

private:
    QString table(const DeviceView& view, double elapsed) const;
    QString csv(const DeviceView& view, double elapsed);
    QString json(const DeviceView& view, double elapsed) const;

    Format format;
    bool csvHeaderDone = false;
};

// Identity items carry the PLC's device information, not a variable of its program.
bool isIdentity(const DataItem& data);

// RFC 4180: a field with a comma, quote or line break is quoted, quotes doubled.
QString csvField(const QString& text);

} // namespace driver
