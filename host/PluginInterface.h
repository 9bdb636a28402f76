// The host object a plug-in holds and calls for configuration, items and logging.
// This stand-in keeps its data in the process-wide tavhost::HostState.
#pragma once

#include "host/HostRecords.h"
#include "host/TAVInterface.h"

#include <QList>
#include <QString>

class PluginInterface {
public:
    PluginInterface();
    ~PluginInterface();
    PluginInterface(const PluginInterface&) = delete;
    PluginInterface& operator=(const PluginInterface&) = delete;

    // Registers a plug-in's configuration schema.
    bool initPlugin(const QString& pluginName, unsigned int category, const QList<DatabaseColumnStructure>& columns1,
                    const QList<DatabaseColumnStructure>& itemColumns,
                    const QList<DatabaseColumnStructure>& deviceColumns,
                    const QList<DatabaseColumnStructure>& columns4, const PluginInitOptions& options);

    QList<NetworkInterfaceInstance> getNetworkInterfaces();
    QList<DeviceInstancePlugin> getPluginDevices();
    // True and *item filled when the host knows the uid.
    bool getPluginItem(const QString& uid, ItemInstancePlugin* item);
    bool addPluginItem(ItemInstancePlugin* item);
    QString getSetting(const QString& key);
    void reloadPlugins();

    // Safe to call from any thread.
    void logDebug(const QString& message);
    void logInfo(const QString& message);
    void logWarning(const QString& message);
    void logError(const QString& message);
};
