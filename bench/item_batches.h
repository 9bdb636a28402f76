// Host batches of many items of one PLC variable, for the benchmarks that drive the plug-in.
#pragma once

#include "ads/AdsDef.h"
#include "host/HostRecords.h"

#include <QString>

#include <algorithm>
#include <string>

namespace bench {

// A device on the simulated PLC `netId` at `host`, answering within 5 s.
inline DeviceInstancePlugin DeviceFor(int id, const std::string& host, const AmsNetId& netId, int errorWaitSeconds = 1)
{
    DeviceInstancePlugin device;
    device.id = id;
    device.name = QStringLiteral("Device %1").arg(id);
    device.address = QString::fromStdString(host);
    device.errorWaitTimeSeconds = errorWaitSeconds;
    device.config = {{"Ads_Port", "851"},
                     {"Target_AMS_NetId", QString::fromStdString(netId.ToString())},
                     {"Local_AMS_NetId", ""},
                     {"Timeout", "5000"},
                     {"timestamp", "0"}};
    return device;
}

// `items` items numbered from 1, all on `symbol`; a long interval keeps the simulator from
// checking every item for changes ten times a second: its work is the PLC's, not the plug-in's.
inline LogList ItemBatch(const DeviceInstancePlugin& device, int items, const QString& symbol = "MAIN.diDint",
                         const QString& type = "8", const QString& mode = "4", int intervalMs = 60000)
{
    LogList list;
    list.device = device;
    for (int i = 1; i <= items; ++i) {
        ItemInstancePlugin item;
        item.id = i;
        item.uid = QStringLiteral("item_%1_%2").arg(device.id).arg(i);
        item.name = QStringLiteral("Item %1").arg(i);
        item.readIntervalMs = intervalMs;
        item.config = {{"variable_name", symbol}, {"type", type}, {"notification_transmission_mode", mode}};
        list.items.append(DataItem(item));
    }
    return list;
}

// Whether every item of the batch came back with a value.
inline bool AllValuesSet(const LogList& list)
{
    return std::all_of(list.items.begin(), list.items.end(),
                       [](const DataItem& item) { return !item.values.value("value").isEmpty(); });
}

} // namespace bench
